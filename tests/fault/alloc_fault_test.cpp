// Every heap allocation of each export failed in turn, alone and together
// with every later one: each run must end with the status and the message
// that failure has, and with no block, stream or descriptor left behind and
// no output file where the call did not get to write one. The expected
// outcome is worked out from which allocation failed (the interposer logs
// who asked for each block), following each module's documented steps.
#include <dirent.h>
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <csignal>
#include <cstdio>
#include <functional>
#include <string>
#include <vector>

#include "alloc_interposer.h"
#include "export_calls.h"
#include "gray_bmp_writer.h"
#include "raster_image.h"
#include "resample_fast.h"
#include "test_support.h"
#include "vorlin/vorlin.h"

namespace {

int open_descriptors() {
  int n = 0;
  DIR* dir = opendir("/proc/self/fd");
  if (dir == nullptr) return -1;
  while (readdir(dir) != nullptr) ++n;
  closedir(dir);
  return n;
}

struct Outcome {
  int32_t status = 0;
  std::string out;
  std::string err;
  bool output_exists = false;
  Bytes output;
};

// What the module's design says a run with these failures ends with.
struct Expected {
  int32_t status;
  std::string out;
  std::string err;
  bool output_exists;     // and then equal to the clean run's output...
  size_t partial_output;  // ...unless this is non-zero: a file of this size
};

std::vector<std::string> lines_of(const std::string& text) {
  std::vector<std::string> lines;
  size_t start = 0;
  while (start < text.size()) {
    size_t end = text.find('\n', start);
    end = end == std::string::npos ? text.size() : end + 1;
    lines.push_back(text.substr(start, end - start));
    start = end;
  }
  return lines;
}

// The first count lines of a transcript.
std::string first_lines(const std::string& text, size_t count) {
  std::vector<std::string> lines = lines_of(text);
  std::string prefix;
  for (size_t i = 0; i < count && i < lines.size(); ++i) prefix += lines[i];
  return prefix;
}

const char* origin_name(AllocOrigin origin) {
  switch (origin) {
    case AllocOrigin::kModule: return "module";
    case AllocOrigin::kFopen: return "fopen";
    default: return "libc";
  }
}

std::string describe(FailMode mode, long n, const FaultRun& run) {
  std::string text = std::string(mode == FailMode::kOnlyNth ? "only" : "from") + " allocation " +
                     std::to_string(n) + ":";
  for (const AllocEvent& e : run.events) {
    text += std::string(" ") + origin_name(e.origin) + "#" + std::to_string(e.ordinal) + "(" +
            std::to_string(e.size) + (e.failed ? ",failed)" : ")");
  }
  return text;
}

class AllocFault : public ::testing::Test {
 protected:
  std::string dir = make_temp_dir();
  std::string input = dir + "/in.bmp";
  std::string output = dir + "/out.bmp";
  std::wstring wide_input = widen(input);
  std::wstring wide_output = widen(output);

  // One call under the interposer; descriptors are counted around it.
  Outcome run(FailMode mode, long n, const std::function<int32_t()>& call, FaultRun* log) {
    remove(output.c_str());
    Outcome outcome;
    begin_capture();
    int before = open_descriptors();
    fault_arm(mode, n);
    outcome.status = call();
    *log = fault_disarm();
    int after = open_descriptors();
    Captured captured = end_capture();
    EXPECT_EQ(after, before) << "descriptor left open";
    outcome.out = captured.out;
    outcome.err = captured.err;
    outcome.output_exists = file_exists(output);
    if (outcome.output_exists) outcome.output = read_file(output);
    return outcome;
  }

  // Fails allocation 1, 2, 3, ... of the call, alone and from there on,
  // until a run no longer gets that far; returns the failure points run.
  long exercise(const std::function<int32_t()>& call,
                const std::function<Expected(const FaultRun&, const Outcome&)>& model) {
    FaultRun clean_log;
    Outcome clean = run(FailMode::kNone, 0, call, &clean_log);
    EXPECT_EQ(clean_log.live_blocks, 0);
    EXPECT_EQ(clean_log.open_streams, 0);
    long points = 0;
    for (FailMode mode : {FailMode::kOnlyNth, FailMode::kFromNth}) {
      for (long n = 1; n < 1000; ++n) {
        FaultRun log;
        Outcome got = run(mode, n, call, &log);
        std::string context = describe(mode, n, log);
        EXPECT_FALSE(log.overflowed) << context;
        EXPECT_EQ(log.live_blocks, 0) << "leaked blocks, " << context;
        EXPECT_EQ(log.open_streams, 0) << "unclosed streams, " << context;
        if (static_cast<long>(log.events.size()) < n) {
          // Nothing failed: the run must be the clean one.
          EXPECT_EQ(got.status, clean.status) << context;
          EXPECT_EQ(got.out, clean.out) << context;
          EXPECT_EQ(got.err, clean.err) << context;
          EXPECT_EQ(got.output, clean.output) << context;
          break;
        }
        ++points;
        Expected want = model(log, clean);
        EXPECT_EQ(got.status, want.status) << context;
        EXPECT_EQ(got.out, want.out) << context;
        EXPECT_EQ(got.err, want.err) << context;
        EXPECT_EQ(got.output_exists, want.output_exists) << context;
        if (want.output_exists && want.partial_output == 0) {
          EXPECT_EQ(got.output, clean.output) << context;
        } else if (want.output_exists) {
          EXPECT_EQ(got.output.size(), want.partial_output) << context;
        }
        if (::testing::Test::HasFailure()) return points;
      }
    }
    return points;
  }
};

// The resizer's and the erosion's sweeps by each kernel set this CPU has,
// called in-process (a loaded module's blocks would not be told from the C
// library's): the same allocations, in the same order, with every set.
class ScaleAllocFault : public AllocFault, public ::testing::WithParamInterface<ExportRoute> {};
class MorphAllocFault : public AllocFault, public ::testing::WithParamInterface<ExportRoute> {};

bool failed_module(const FaultRun& log, int ordinal) {
  return fault_failed(log, AllocOrigin::kModule, ordinal);
}
bool failed_fopen(const FaultRun& log, int ordinal) {
  return fault_failed(log, AllocOrigin::kFopen, ordinal);
}

// BMPResizers: module allocations in order are the two path temporaries,
// then the source's record, palette (2 and 8 bits only), ring of source rows
// and the ring's row numbers, then the result's record, its strip of rows,
// the strip's table of source rows and the resampler's scratch (every block
// before the output is opened); fopen 0 is the input. The blocks of one step
// are all asked for before they are checked, so one message stands for them.
Expected resize_model(const FaultRun& log, const Outcome& clean, bool palette,
                      const std::string& input, const std::string& output) {
  std::string in = failed_module(log, 0) ? "" : input;
  std::string out = failed_module(log, 1) ? "" : output;
  int next = 2;
  auto fails_next = [&](bool present) { return present && failed_module(log, next++); };
  auto any_fails = [&](int blocks) {
    bool failed = false;
    for (int b = 0; b < blocks; ++b) failed = fails_next(true) || failed;
    return failed;
  };
  if (in.empty() || failed_fopen(log, 0)) {
    return {2, "", "Error: Could not open input file '" + in + "'\n", false, 0};
  }
  if (fails_next(true)) return {2, "", "Error: Memory allocation failed\n", false, 0};
  if (fails_next(palette)) return {2, "", "Error: Memory allocation failed for color table\n", false, 0};
  if (any_fails(2)) return {2, "", "Error: Memory allocation failed for image data\n", false, 0};
  std::string progress = first_lines(clean.out, 2);  // the loaded and resizing lines
  if (fails_next(true)) return {3, progress, "Error: Memory allocation failed\n", false, 0};
  if (any_fails(3)) {
    return {3, progress, "Error: Memory allocation failed for image data\n", false, 0};
  }
  // The output is opened without allocating: no failure reaches it.
  if (out.empty()) {
    return {4, progress, "Error: Could not open output file '" + out + "'\n", false, 0};
  }
  return {999, clean.out, "", true, 0};
}

TEST_P(ScaleAllocFault, ResizerReleasesEverythingAtEveryFailedAllocation) {
  struct Input {
    uint16_t bits;
    uint32_t colors_used;
  };
  const Input inputs[] = {{2, 0}, {2, 3}, {8, 0}, {8, 16}, {16, 0}, {24, 0}, {24, 16}, {32, 0}};
  long points = 0;
  for (const Input& in : inputs) {
    BmpFields f;
    f.width = 5;
    f.height = 3;
    f.bits_per_pixel = in.bits;
    f.colors_used = in.colors_used;
    bool palette = in.bits <= 8;
    size_t entries = !palette ? 0 : in.colors_used != 0 ? in.colors_used : in.bits == 2 ? 4 : 256;
    write_file(input, build_bmp(f, random_bytes(entries * 4, 5),
                                random_bytes(test_row_size(5, in.bits) * 3, in.bits)));
    SCOPED_TRACE("depth " + std::to_string(in.bits) + ", colours used " +
                 std::to_string(in.colors_used));
    points += exercise([&] { return run_resize(GetParam(), wide_input.c_str(), wide_output.c_str(), 7, 2); },
                       [&](const FaultRun& log, const Outcome& clean) {
                         return resize_model(log, clean, palette, input, output);
                       });
  }
  printf("VorlinScale: %ld allocation failure points exercised over %zu inputs\n", points,
         sizeof inputs / sizeof inputs[0]);
  RecordProperty("failure_points", static_cast<int>(points));
  EXPECT_GT(points, 0);
}

// What a resize holds grows with the widths, never with the heights: every
// block of the call together stays within 1.5 MiB for a source of any
// height, also one whose headers claim rows the file does not have (whose
// result is black, read from nothing).
// Every kernel set in one test, each source written once: the sources run
// to hundreds of megabytes.
TEST_F(AllocFault, AResizeHoldsWhatItsWidthsNeedWhateverTheHeights) {
  const std::vector<ExportRoute> sets = resize_routes(nullptr);
  struct Row {
    const char* name;
    int32_t width, height, new_width, new_height;
    uint16_t bits;
    bool claimed;  // the file is the headers alone
  };
  const Row rows[] = {
      {"4096 wide, 2048 high, halved", 4096, 2048, 2048, 1024, 24, false},
      {"4096 wide, ten times as high", 4096, 20480, 2048, 1024, 24, false},
      {"1024 wide, 32 bits, to 4096 wide", 1024, 768, 4096, 700, 32, false},
      {"1024 wide, 32 bits, ten times as high", 1024, 7680, 4096, 700, 32, false},
      {"1024 wide, 32 bits, enlarged 4 times", 1024, 768, 4096, 3072, 32, false},
      {"8 bits with 256 colours", 4096, 4096, 2048, 2048, 8, false},
      {"headers claiming 30000 x 30000", 30000, 30000, 64, 64, 24, true},
  };
  std::vector<std::vector<size_t>> held(sets.size(),
                                        std::vector<size_t>(sizeof rows / sizeof rows[0]));
  for (size_t r = 0; r < sizeof rows / sizeof rows[0]; ++r) {
    const Row& row = rows[r];
    SCOPED_TRACE(row.name);
    BmpFields f;
    f.width = row.width;
    f.height = row.height;
    f.bits_per_pixel = row.bits;
    const size_t entries = row.bits == 8 ? 256 : 0;
    const size_t pixels = row.claimed ? 0 : test_row_size(row.width, row.bits) *
                                                static_cast<size_t>(row.height);
    Bytes file = build_bmp(f, random_bytes(entries * 4, 3), Bytes(pixels, 0x5A));
    write_file(input, file);
    for (size_t k = 0; k < sets.size(); ++k) {
      SCOPED_TRACE("kernel set " + sets[k].name);
      FaultRun log;
      Outcome got = run(FailMode::kNone, 0,
                        [&] {
                          return run_resize(sets[k], wide_input.c_str(), wide_output.c_str(),
                                            row.new_width, row.new_height);
                        },
                        &log);
      ASSERT_EQ(got.status, VORLIN_RESIZE_OK) << got.err;
      for (const AllocEvent& e : log.events) {
        if (e.origin == AllocOrigin::kModule) held[k][r] += e.size;
      }
      EXPECT_LE(held[k][r], size_t{1536} * 1024) << "bytes held";
      EXPECT_EQ(log.live_blocks, 0);
      if (row.claimed) {
        // Every pixel of the result is black: no row was there to read.
        ASSERT_EQ(got.output.size(), 54 + test_row_size(64, 24) * 64);
        EXPECT_TRUE(std::all_of(got.output.begin() + 54, got.output.end(),
                                [](uint8_t b) { return b == 0; }));
      }
    }
  }
  // Ten times the height, the same blocks (an enlargement has other ones,
  // within the same bound).
  for (size_t k = 0; k < sets.size(); ++k) {
    EXPECT_EQ(held[k][1], held[k][0]) << sets[k].name;
    EXPECT_EQ(held[k][3], held[k][2]) << sets[k].name;
  }
}

// A result whose file would not fit the 32-bit size fields is refused
// before its palette is allocated or copied: only the record is allocated
// (every later allocation would fail, so a palette copy could not hide).
// The source's palette claims far more entries than it has, as an 8-bit
// file's colours-used field can.
TEST(ResamplerAllocations, RefusesAnOversizedResultBeforeThePalette) {
  struct Case {
    int32_t width, height, palette_count;
  };
  const Case cases[] = {
      {1, 1, 0x3FFFFFFF},        // a 4 GiB palette alone pushes the file past
      {65536, 65535, 20000},     // the pixels fit, the palette pushes the file past
      {65536, 65536, 256},       // the pixels alone do not fit
  };
  PaletteEntry entry = {1, 2, 3, 0};
  uint8_t pixel[4] = {9, 0, 0, 0};
  for (const Case& c : cases) {
    RasterImage source = {pixel, 1, 1, 8, &entry, c.palette_count};
    begin_capture();
    fault_arm(FailMode::kFromNth, 2);
    RasterImage* result = resample_image(&source, c.width, c.height);
    FaultRun log = fault_disarm();
    Captured captured = end_capture();
    EXPECT_EQ(result, nullptr);
    EXPECT_EQ(captured.err, "Error: Memory allocation failed for image data\n");
    ASSERT_EQ(log.events.size(), 1u) << c.width << "x" << c.height;
    EXPECT_EQ(log.events[0].size, sizeof(RasterImage));
    EXPECT_EQ(log.live_blocks, 0);
    free_image(result);
  }
}

// BMPErosion: module allocations in order are the two path temporaries,
// the loaded image's record and pixels, the loader's row buffer, the
// erosion's scratch (without it, the record and pixels of each pass's image
// instead), and the writer's row buffer; fopen 0 is
// the input, fopen 1 the output. Every message goes to standard output, and
// the clean transcript's lines are, in order: the banner and its blank line,
// "Loading: IN", the loader's three lines, "Applying", one line a pass,
// "Saving: OUT", the writer's line and "Erosion complete!".
Expected erode_model(const FaultRun& log, const Outcome& clean, int passes,
                     const std::string& input, const std::string& output) {
  const std::string banner = first_lines(clean.out, 2);
  std::string in = failed_module(log, 0) ? "" : input;
  std::string out = failed_module(log, 1) ? "" : output;
  if (in.empty()) return {1, banner + "Loading: \nError: Cannot open file ''\n", "", false, 0};
  if (failed_fopen(log, 0)) {
    return {1, first_lines(clean.out, 3) + "Error: Cannot open file '" + in + "'\n", "", false, 0};
  }
  // create_gray_image and the row buffer fail silently.
  if (failed_module(log, 2) || failed_module(log, 3)) return {1, first_lines(clean.out, 4), "", false, 0};
  if (failed_module(log, 4)) return {1, first_lines(clean.out, 5), "", false, 0};
  int writer_buffer = 6;
  if (failed_module(log, 5)) {  // no scratch: the passes chained, each into a new image
    for (int k = 1; k <= passes; ++k) {
      if (failed_module(log, 4 + 2 * k) || failed_module(log, 5 + 2 * k)) {
        return {1,
                first_lines(clean.out, 6 + static_cast<size_t>(k)) +
                    "Error: Erosion failed at pass " + std::to_string(k) + "\n",
                "", false, 0};
      }
    }
    writer_buffer = 6 + 2 * passes;
  }
  const size_t saving = 7 + static_cast<size_t>(passes);  // lines before "Saving:"
  if (out.empty()) {
    return {1, first_lines(clean.out, saving) + "Saving: \nError: Cannot create output file ''\n",
            "", false, 0};
  }
  if (failed_module(log, writer_buffer)) {
    // Headers and palette were written before the row buffer was asked for.
    return {1, first_lines(clean.out, saving + 1) + "Error: Memory allocation failed\n", "", true, 1078};
  }
  return {999, clean.out, "", true, 0};
}

TEST_P(MorphAllocFault, ErosionReleasesEverythingAtEveryFailedAllocation) {
  struct Input {
    uint16_t bits;
    uint32_t colors_used;
    int passes;
  };
  const Input inputs[] = {{8, 0, 1}, {8, 16, 3}, {24, 0, 2}, {24, 0, 1}};
  long points = 0;
  for (const Input& in : inputs) {
    BmpFields f;
    f.width = 6;
    f.height = 5;
    f.bits_per_pixel = in.bits;
    f.colors_used = in.colors_used;
    size_t entries = in.bits == 24 ? 0 : in.colors_used != 0 ? in.colors_used : 256;
    Bytes pixels = random_bytes(test_row_size(6, in.bits) * 5, in.bits + 1);
    for (uint8_t& p : pixels) p = (p & 3) == 0 ? 0 : 255;  // something to erode
    write_file(input, build_bmp(f, random_bytes(entries * 4, 7), pixels));
    SCOPED_TRACE("depth " + std::to_string(in.bits) + ", passes " + std::to_string(in.passes));
    points += exercise(
        [&] { return run_erode(GetParam(), wide_input.c_str(), wide_output.c_str(), in.passes); },
        [&](const FaultRun& log, const Outcome& clean) {
          return erode_model(log, clean, in.passes, input, output);
        });
  }
  printf("VorlinMorph: %ld allocation failure points exercised over %zu inputs\n", points,
         sizeof inputs / sizeof inputs[0]);
  RecordProperty("failure_points", static_cast<int>(points));
  EXPECT_GT(points, 0);
}

// BMPSizeChecker: one module allocation (the path temporary) and one fopen.
TEST_F(AllocFault, ProbeReleasesEverythingAtEveryFailedAllocation) {
  long points = 0;
  int inputs = 0;
  for (uint16_t bits : {8, 24}) {
    BmpFields f;
    f.width = 321;
    f.height = -45;
    f.bits_per_pixel = bits;
    write_file(input, build_bmp(f, Bytes(bits == 8 ? 1024 : 0, 0), Bytes(16, 0)));
    for (int32_t query : {VORLIN_QUERY_HEIGHT, VORLIN_QUERY_WIDTH, VORLIN_QUERY_BITS}) {
      ++inputs;
      SCOPED_TRACE("depth " + std::to_string(bits) + ", query " + std::to_string(query));
      points += exercise(
          [&] { return BMPSizeChecker(wide_input.c_str(), query); },
          [&](const FaultRun& log, const Outcome& clean) -> Expected {
            const std::string closing = "Failed to read BMP file information\n";
            if (failed_module(log, 0)) return {999, "", "Error: Cannot open file ''\n" + closing, false, 0};
            if (failed_fopen(log, 0)) {
              return {999, "", "Error: Cannot open file '" + input + "'\n" + closing, false, 0};
            }
            return {clean.status, "", "", false, 0};
          });
    }
  }
  printf("VorlinProbe: %ld allocation failure points exercised over %d calls\n", points, inputs);
  RecordProperty("failure_points", static_cast<int>(points));
  EXPECT_GT(points, 0);
}

// ------------------------------------------- writes cut short, unbuffered

// Standard output and error into pipes: unlike the capture files, a pipe
// is not bound by the file size limit the next test sets.
struct PipeCapture {
  int saved[2] = {-1, -1};
  int read_end[2] = {-1, -1};
};

void begin_pipe_capture(PipeCapture& c) {
  fflush(stdout);
  fflush(stderr);
  for (int i = 0; i < 2; ++i) {
    int fds[2];
    ASSERT_EQ(pipe(fds), 0);
    c.saved[i] = dup(1 + i);
    dup2(fds[1], 1 + i);
    close(fds[1]);
    c.read_end[i] = fds[0];
  }
}

Captured end_pipe_capture(PipeCapture& c) {
  fflush(stdout);
  fflush(stderr);
  std::string text[2];
  for (int i = 0; i < 2; ++i) {
    dup2(c.saved[i], 1 + i);
    close(c.saved[i]);
    char chunk[4096];
    ssize_t got;
    while ((got = read(c.read_end[i], chunk, sizeof chunk)) > 0) text[i].append(chunk, static_cast<size_t>(got));
    close(c.read_end[i]);
  }
  return {text[0], text[1]};
}

// The writers gather small writes in a buffer of their own, as a stream
// would, so with a file size limit a cut shows at the write that sends the
// buffer out: the close for a small file, the first large block otherwise.
// Each row is: the limit in bytes, and the message that write has.
struct CutCase {
  long limit;
  int32_t status;
  std::string message;  // {out} is the output path
};

class CutWrites : public AllocFault, public ::testing::WithParamInterface<ExportRoute> {
 protected:
  // Runs the call with the file size limited; the outcome and whether every
  // block and stream went.
  Outcome cut(const std::function<int32_t()>& call, long limit, FaultRun* log) {
    remove(output.c_str());
    Outcome outcome;
    PipeCapture capture;
    begin_pipe_capture(capture);
    struct rlimit saved;
    getrlimit(RLIMIT_FSIZE, &saved);
    struct rlimit limited = saved;
    limited.rlim_cur = static_cast<rlim_t>(limit);
    setrlimit(RLIMIT_FSIZE, &limited);
    fault_arm(FailMode::kNone, 0);
    outcome.status = call();
    *log = fault_disarm();
    setrlimit(RLIMIT_FSIZE, &saved);
    Captured captured = end_pipe_capture(capture);
    outcome.out = captured.out;
    outcome.err = captured.err;
    outcome.output_exists = file_exists(output);
    if (outcome.output_exists) outcome.output = read_file(output);
    return outcome;
  }

  void check_cuts(const std::function<int32_t()>& call, const std::vector<CutCase>& cases,
                  size_t full_size, bool messages_on_stdout) {
    std::signal(SIGXFSZ, SIG_IGN);  // a write past the limit fails with EFBIG instead
    for (const CutCase& c : cases) {
      SCOPED_TRACE("limit " + std::to_string(c.limit));
      FaultRun log;
      Outcome got = cut(call, c.limit, &log);
      EXPECT_EQ(log.live_blocks, 0);
      EXPECT_EQ(log.open_streams, 0);
      EXPECT_EQ(got.status, c.status);
      std::string message = replace_path(c.message);
      // Progress, the success line included, is always on standard output.
      bool on_stdout = messages_on_stdout || c.status == 999;
      const std::string& channel = on_stdout ? got.out : got.err;
      EXPECT_TRUE(channel.size() >= message.size() &&
                  channel.compare(channel.size() - message.size(), message.size(), message) == 0)
          << channel;
      // Whatever fitted under the limit is in the file; a success writes it all.
      EXPECT_EQ(got.output.size(), std::min(full_size, static_cast<size_t>(c.limit)));
    }
    std::signal(SIGXFSZ, SIG_DFL);
  }

  std::string replace_path(std::string text) const {
    size_t at = text.find("{out}");
    if (at != std::string::npos) text.replace(at, 5, output);
    return text;
  }
};

class ScaleCutWrites : public CutWrites {};
class MorphCutWrites : public CutWrites {};

TEST_P(ScaleCutWrites, ResizerReportsAWriteCutShortAtEveryField) {
  // 8 bits with 16 colours, resized to 7 x 2: 54 header bytes, 64 palette
  // bytes, 16 pixel bytes.
  BmpFields f;
  f.width = 5;
  f.height = 3;
  f.bits_per_pixel = 8;
  f.colors_used = 16;
  write_file(input, build_bmp(f, random_bytes(64, 3), random_bytes(test_row_size(5, 8) * 3, 4)));
  const std::string failed = "Error: Could not write output file '{out}'\n";
  std::vector<CutCase> cases;
  // Each header field's first byte, one byte into a field, the palette, the pixels.
  for (long limit : {0L, 1L, 2L, 6L, 8L, 10L, 14L, 18L, 22L, 26L, 28L, 30L, 34L, 38L, 42L, 46L,
                     50L, 53L, 54L, 100L, 118L, 133L}) {
    cases.push_back({limit, VORLIN_RESIZE_SAVE_FAILED, failed});
  }
  cases.push_back({134, VORLIN_RESIZE_OK, "Saved: {out} (7x2, 8-bit)\n"});
  check_cuts([&] { return run_resize(GetParam(), wide_input.c_str(), wide_output.c_str(), 7, 2); },
             cases,
             134, false);
}

TEST_P(MorphCutWrites, ErosionReportsAWriteCutShortWhereTheBufferGoesOut) {
  struct Picture {
    int32_t width;
    int32_t height;
    std::vector<CutCase> cases;
  };
  const std::string at_close = "Error: Cannot write output file '{out}'\n";
  const std::string at_pixels = "Error: Cannot write pixel data\n";
  const Picture pictures[] = {
      // Rows of 8 bytes after the 1078 bytes of headers and palette: all of
      // it waits in the buffer until the close.
      {6, 2, {{0, VORLIN_ERODE_FAILED, at_close}, {13, VORLIN_ERODE_FAILED, at_close},
              {54, VORLIN_ERODE_FAILED, at_close}, {1077, VORLIN_ERODE_FAILED, at_close},
              {1078, VORLIN_ERODE_FAILED, at_close}, {1093, VORLIN_ERODE_FAILED, at_close},
              {1094, VORLIN_ERODE_OK, "Erosion complete!\n"}}},
      // 5000 pixel bytes in one block: it sends the headers out, then goes
      // out itself.
      {100, 50, {{0, VORLIN_ERODE_FAILED, at_pixels}, {1077, VORLIN_ERODE_FAILED, at_pixels},
                 {1078, VORLIN_ERODE_FAILED, at_pixels}, {6077, VORLIN_ERODE_FAILED, at_pixels},
                 {6078, VORLIN_ERODE_OK, "Erosion complete!\n"}}},
  };
  for (const Picture& p : pictures) {
    SCOPED_TRACE(std::to_string(p.width) + " x " + std::to_string(p.height));
    BmpFields f;
    f.width = p.width;
    f.height = p.height;
    f.bits_per_pixel = 24;
    write_file(input, build_bmp(f, {}, random_bytes(test_row_size(p.width, 24) *
                                                        static_cast<size_t>(p.height), 9)));
    check_cuts([&] { return run_erode(GetParam(), wide_input.c_str(), wide_output.c_str(), 1); },
               p.cases,
               static_cast<size_t>(gray_bmp_file_size(p.width, p.height)), true);
  }
}

INSTANTIATE_TEST_SUITE_P(Sets, ScaleAllocFault, ::testing::ValuesIn(resize_routes(nullptr)),
                         route_test_name);
INSTANTIATE_TEST_SUITE_P(Sets, MorphAllocFault, ::testing::ValuesIn(erode_routes(nullptr)),
                         route_test_name);
INSTANTIATE_TEST_SUITE_P(Sets, ScaleCutWrites, ::testing::ValuesIn(resize_routes(nullptr)),
                         route_test_name);
INSTANTIATE_TEST_SUITE_P(Sets, MorphCutWrites, ::testing::ValuesIn(erode_routes(nullptr)),
                         route_test_name);

}  // namespace
