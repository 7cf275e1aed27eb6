// I/O faults and hostile inputs for each export, loaded as a host loads it:
// a full device, directories where files belong, missing directories, one
// path for input and output, truncation at every byte, impossible sizes,
// palette counts, pixel offsets, and every depth and compression a module
// does not take. Each gets its message and status, and the input file is
// never changed, except that a successful call whose output path is its
// input path replaces the input with its result (the input has been read
// whole and closed before the output is opened).
#include <gtest/gtest.h>
#include <sys/stat.h>
#if defined(_WIN32)
#include <direct.h>
#else
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <sys/xattr.h>
#include <unistd.h>
#endif

#include <algorithm>
#include <climits>
#include <csignal>
#include <cstdio>
#include <functional>
#include <string>
#include <vector>

#include "output_file.h"
#include "test_support.h"
#include "vorlin/vorlin.h"

namespace {

VorlinResizeFn resize_fn() {
  static VorlinResizeFn fn =
      reinterpret_cast<VorlinResizeFn>(load_module_symbol(VORLINSCALE_PATH, "BMPResizers"));
  return fn;
}
VorlinErodeFn erode_fn() {
  static VorlinErodeFn fn =
      reinterpret_cast<VorlinErodeFn>(load_module_symbol(VORLINMORPH_PATH, "BMPErosion"));
  return fn;
}
VorlinProbeFn probe_fn() {
  static VorlinProbeFn fn =
      reinterpret_cast<VorlinProbeFn>(load_module_symbol(VORLINPROBE_PATH, "BMPSizeChecker"));
  return fn;
}

struct Call {
  int32_t status;
  std::string out;
  std::string err;
};

Call resize(const std::string& in, const std::string& out, int32_t width, int32_t height) {
  std::wstring win = widen(in), wout = widen(out);
  begin_capture();
  int32_t status = resize_fn()(win.c_str(), wout.c_str(), width, height);
  Captured c = end_capture();
  return {status, c.out, c.err};
}

Call erode(const std::string& in, const std::string& out, int32_t passes) {
  std::wstring win = widen(in), wout = widen(out);
  begin_capture();
  int32_t status = erode_fn()(win.c_str(), wout.c_str(), passes);
  Captured c = end_capture();
  return {status, c.out, c.err};
}

Call probe(const std::string& in, int32_t query) {
  std::wstring win = widen(in);
  begin_capture();
  int32_t status = probe_fn()(win.c_str(), query);
  Captured c = end_capture();
  return {status, c.out, c.err};
}

// A small picture: width x height at a depth, colours_used entries (or the
// depth's default), pixel offset where build_bmp puts it unless given.
Bytes picture(uint16_t bits, int32_t width, int32_t height, uint32_t colors_used = 0,
              uint32_t pixel_offset = 0) {
  BmpFields f;
  f.bits_per_pixel = bits;
  f.width = width;
  f.height = height;
  f.colors_used = colors_used;
  f.pixel_data_offset = pixel_offset;
  size_t entries = bits > 8 ? 0 : colors_used != 0 ? colors_used : bits == 2 ? 4 : 256;
  // A huge colours-used claim comes with an ordinary palette in the file.
  if (entries > 1024) entries = 1024;
  int32_t rows = height > 0 && height < 1000 ? height : 1;
  int32_t columns = width > 0 && width < 1000 ? width : 1;
  return build_bmp(f, random_bytes(entries * 4, bits + 11),
                   random_bytes(test_row_size(columns, bits) * static_cast<size_t>(rows), bits));
}

// An 8-bit 4 x 2 picture with a short information header as OS/2 tools
// write it: 12 bytes (16-bit width and height) with 3-byte palette entries,
// or 16 bytes (32-bit width and height) with 4-byte entries. Palette entry 0
// is black, so a reader that took 40 header bytes would see no compression.
Bytes short_header_picture(uint32_t header_size) {
  const size_t entry = header_size == 12 ? 3 : 4;
  const uint32_t offset = static_cast<uint32_t>(14 + header_size + 256 * entry);
  Bytes b = {'B', 'M'};
  auto put = [&](uint32_t value, int bytes) {
    for (int i = 0; i < bytes; ++i) b.push_back(static_cast<uint8_t>(value >> (8 * i)));
  };
  put(offset + 8, 4);
  put(0, 4);
  put(offset, 4);
  put(header_size, 4);
  put(4, header_size == 12 ? 2 : 4);
  put(2, header_size == 12 ? 2 : 4);
  put(1, 2);
  put(8, 2);
  for (uint32_t i = 0; i < 256; ++i) put((255 - i) * 0x10101u, static_cast<int>(entry));
  Bytes pixels = random_bytes(8, 12);
  b.insert(b.end(), pixels.begin(), pixels.end());
  return b;
}

// Rewrites bytes of an existing file in place: a sweep over 65536 values
// must not pay for truncating and rewriting the file each time.
void patch_file(const std::string& path, size_t offset, uint32_t value, size_t bytes) {
  FILE* file = fopen(path.c_str(), "r+b");
  ASSERT_NE(file, nullptr);
  uint8_t le[4] = {static_cast<uint8_t>(value), static_cast<uint8_t>(value >> 8),
                   static_cast<uint8_t>(value >> 16), static_cast<uint8_t>(value >> 24)};
  ASSERT_EQ(fseek(file, static_cast<long>(offset), SEEK_SET), 0);
  ASSERT_EQ(fwrite(le, 1, bytes, file), bytes);
  ASSERT_EQ(fclose(file), 0);
}

bool ends_with(const std::string& text, const std::string& tail) {
  return text.size() >= tail.size() && text.compare(text.size() - tail.size(), tail.size(), tail) == 0;
}

std::string replace_all(std::string text, const std::string& from, const std::string& to) {
  for (size_t at = text.find(from); at != std::string::npos; at = text.find(from, at + to.size())) {
    text.replace(at, from.size(), to);
  }
  return text;
}

#if !defined(_WIN32)
// fork, with the child's standard output and error on the null device: a
// child that calls a module thousands of times keeps its lines to itself.
pid_t quiet_fork() {
  pid_t child = fork();
  if (child == 0) {
    int quiet = open("/dev/null", O_WRONLY);
    dup2(quiet, 1);
    dup2(quiet, 2);
  }
  return child;
}
#endif

class BadInput : public ::testing::Test {
 protected:
  std::string dir = make_temp_dir();
  std::string input = dir + "/in.bmp";
  std::string output = dir + "/out.bmp";
  std::string subdir = dir + "/a-directory";
  std::string missing = dir + "/no-such-directory/out.bmp";
  long cases = 0;

  void SetUp() override {
#if defined(_WIN32)
    ASSERT_EQ(_mkdir(subdir.c_str()), 0);
#else
    ASSERT_EQ(mkdir(subdir.c_str(), 0700), 0);
#endif
  }

  // Where a row's input or output goes.
  std::string place(const std::string& kind) const {
    if (kind == "file") return output;
    if (kind == "full") return "/dev/full";
    if (kind == "dir") return subdir;
    if (kind == "missing") return missing;
    if (kind == "same") return input;
    return kind;
  }

  std::string fill(const std::string& text, const std::string& in, const std::string& out) const {
    return replace_all(replace_all(text, "{in}", in), "{out}", out);
  }

  void TearDown() override {
    printf("%s: %ld bad inputs tried\n",
           ::testing::UnitTest::GetInstance()->current_test_info()->name(), cases);
    RecordProperty("bad_inputs", static_cast<int>(cases));
  }
};

// ---------------------------------------------------------------- resizer

struct ResizeCase {
  const char* name;
  Bytes file;           // written to the input path unless input is "dir"
  const char* input;    // "file" or "dir"
  const char* output;   // "file", "full", "dir", "missing", "same"
  int32_t width;
  int32_t height;
  int32_t status;
  const char* err;      // exact standard error; {in} and {out} are the paths
};

TEST_F(BadInput, ResizerRowsGetTheirMessageAndKeepTheInput) {
  const std::string mem = "Error: Memory allocation failed for image data\n";
  const std::string size = "Error: Width and height must be positive integers\n";
  const ResizeCase rows[] = {
      {"full device", picture(24, 40, 40), "file", "full", 30, 30, 4,
       "Error: Could not write output file '{out}'\n"},
      // A directory opens on POSIX but is refused as a file that cannot be.
      {"input is a directory", {}, "dir", "file", 4, 4, 2,
       "Error: Could not open input file '{in}'\n"},
      {"output is a directory", picture(8, 4, 4), "file", "dir", 4, 4, 4,
       "Error: Could not open output file '{out}'\n"},
      {"output in a missing directory", picture(8, 4, 4), "file", "missing", 4, 4, 4,
       "Error: Could not open output file '{out}'\n"},
      {"same path, size refused", picture(24, 4, 4), "file", "same", 0, 4, 1, size.c_str()},
      {"same path, load refused", picture(4, 4, 4), "file", "same", 4, 4, 2,
       "Error: Unsupported bit depth: 4\n"},
      {"same path, result too large", picture(24, 4, 4), "file", "same", 100000, 100000, 3,
       mem.c_str()},
      {"width 0", picture(24, 4, 4), "file", "file", 0, 4, 1, size.c_str()},
      {"height 0", picture(24, 4, 4), "file", "file", 4, 0, 1, size.c_str()},
      {"width -1", picture(24, 4, 4), "file", "file", -1, 4, 1, size.c_str()},
      {"height INT_MIN", picture(24, 4, 4), "file", "file", 4, INT_MIN, 1, size.c_str()},
      {"both INT_MIN", picture(24, 4, 4), "file", "file", INT_MIN, INT_MIN, 1, size.c_str()},
      {"result 100000 x 100000", picture(24, 4, 4), "file", "file", 100000, 100000, 3, mem.c_str()},
      {"result 65536 x 65536 at 8 bits", picture(8, 4, 4), "file", "file", 65536, 65536, 3,
       mem.c_str()},
      {"result INT_MAX x 1 at 32 bits", picture(32, 4, 4), "file", "file", INT_MAX, 1, 3,
       mem.c_str()},
      {"result INT_MAX x INT_MAX", picture(16, 4, 4), "file", "file", INT_MAX, INT_MAX, 3,
       mem.c_str()},
      {"file width 0", picture(24, 0, 4), "file", "file", 4, 4, 2, mem.c_str()},
      {"file height 0", picture(24, 4, 0), "file", "file", 4, 4, 2, mem.c_str()},
      {"file width -4", picture(24, -4, 4), "file", "file", 4, 4, 2, mem.c_str()},
      {"file height -4 (top-down)", picture(24, 4, -4), "file", "file", 4, 4, 2, mem.c_str()},
      {"file both negative", picture(24, -4, -4), "file", "file", 4, 4, 2, mem.c_str()},
      {"file width INT_MIN", picture(8, INT_MIN, 4), "file", "file", 4, 4, 2, mem.c_str()},
      {"file 70000 x 70000", picture(24, 70000, 70000), "file", "file", 4, 4, 2, mem.c_str()},
      {"file INT_MAX x INT_MAX", picture(2, INT_MAX, INT_MAX), "file", "file", 4, 4, 2,
       mem.c_str()},
      {"palette count 2^30", picture(8, 4, 4, 1u << 30), "file", "file", 4, 4, 2,
       "Error: Memory allocation failed for color table\n"},
      {"palette count 2^32 - 1", picture(8, 4, 4, 0xFFFFFFFFu), "file", "file", 4, 4, 2,
       "Error: Memory allocation failed for color table\n"},
      {"compression before depth", [] {
         BmpFields f; f.width = 4; f.height = 4; f.bits_per_pixel = 4; f.compression = 2;
         return build_bmp(f, Bytes(64, 0), Bytes(8, 0)); }(), "file", "file", 4, 4, 2,
       "Error: Compressed BMPs are not supported\n"},
      {"empty file", Bytes(), "file", "file", 4, 4, 2, "Error: Not a valid BMP file (magic: 0x0000)\n"},
      {"signature MB", [] { Bytes b = picture(24, 2, 2); b[0] = 'M'; b[1] = 'B'; return b; }(),
       "file", "file", 4, 4, 2, "Error: Not a valid BMP file (magic: 0x424D)\n"},
      {"12-byte information header", short_header_picture(12), "file", "file", 4, 4, 2,
       "Error: Unsupported BMP header size: 12\n"},
      {"16-byte information header", short_header_picture(16), "file", "file", 8, 8, 2,
       "Error: Unsupported BMP header size: 16\n"},
      {"header size before compression", [] {
         BmpFields f; f.width = 4; f.height = 4; f.bits_per_pixel = 4; f.compression = 2;
         f.header_size = 39; return build_bmp(f, Bytes(64, 0), Bytes(8, 0)); }(), "file", "file",
       4, 4, 2, "Error: Unsupported BMP header size: 39\n"},
  };
  for (const ResizeCase& row : rows) {
    ++cases;
    SCOPED_TRACE(row.name);
    remove(output.c_str());
    std::string in = std::string(row.input) == "dir" ? subdir : input;
    std::string out = place(row.output);
    if (in == input) write_file(input, row.file);
    Bytes before = read_file(input);
    Call run = resize(in, out, row.width, row.height);
    EXPECT_EQ(run.status, row.status);
    EXPECT_EQ(run.err, fill(row.err, in, out));
    EXPECT_EQ(run.out.find("Saved:"), std::string::npos);
    EXPECT_EQ(read_file(input), before) << "the input changed";
    EXPECT_FALSE(file_exists(output)) << "an output appeared";
    struct stat st;
    EXPECT_TRUE(stat(subdir.c_str(), &st) == 0 && S_ISDIR(st.st_mode));
  }
}

TEST_F(BadInput, ResizerSamePathSuccessReplacesTheInputWithTheResult) {
  for (uint16_t bits : {2, 8, 16, 24, 32}) {
    ++cases;
    Bytes original = picture(bits, 5, 3);
    write_file(input, original);
    remove(output.c_str());
    ASSERT_EQ(resize(input, output, 9, 4).status, VORLIN_RESIZE_OK);
    Bytes separate = read_file(output);
    Call run = resize(input, input, 9, 4);
    EXPECT_EQ(run.status, VORLIN_RESIZE_OK) << bits;
    EXPECT_EQ(read_file(input), separate) << bits;
  }
}

TEST_F(BadInput, ResizerPaletteCountsAndPixelOffsets) {
  // 8 bits, 4 x 2: no row padding, so a same-size copy is the 8 bytes at the
  // pixel offset (0 beyond the end of the file).
  struct Row {
    const char* name;
    uint32_t colors_used;
    uint32_t offset;  // 0: right after the palette
  };
  const Row rows[] = {
      {"colours used 0 (256)", 0, 0}, {"colours used 1", 1, 0},
      {"colours used 256", 256, 0},   {"colours used 257", 257, 0},
      {"offset 0, before the headers", 16, 1}, {"offset 30, inside the headers", 16, 30},
      {"offset 60, inside the palette", 16, 60}, {"offset at the end", 16, 54 + 64 + 8},
      {"offset beyond the end", 16, 5000}, {"offset 2^32 - 1", 16, 0xFFFFFFFFu},
  };
  for (const Row& row : rows) {
    ++cases;
    SCOPED_TRACE(row.name);
    // build_bmp treats 0 as "after the palette"; 1 stands for a real 0 here.
    Bytes file = picture(8, 4, 2, row.colors_used, row.offset == 1 ? 0 : row.offset);
    if (row.offset == 1) file[10] = file[11] = file[12] = file[13] = 0;
    write_file(input, file);
    remove(output.c_str());
    Call run = resize(input, output, 4, 2);
    EXPECT_EQ(run.status, VORLIN_RESIZE_OK);
    EXPECT_EQ(run.err, "");
    EXPECT_EQ(read_file(input), file);
    Bytes written = read_file(output);
    uint32_t entries = row.colors_used != 0 ? row.colors_used : 256;
    ASSERT_EQ(written.size(), 54 + entries * 4 + 8);
    EXPECT_EQ(get_le32(written, 46), entries);
    EXPECT_EQ(Bytes(written.begin() + 54, written.begin() + 54 + entries * 4),
              Bytes(file.begin() + 54, file.begin() + 54 + entries * 4));
    uint64_t offset = get_le32(file, 10);
    for (size_t i = 0; i < 8; ++i) {
      uint8_t want = offset + i < file.size() ? file[offset + i] : 0;
      EXPECT_EQ(written[54 + entries * 4 + i], want) << i;
    }
  }
}

TEST_F(BadInput, ResizerRefusesEveryOtherDepthAndEveryCompression) {
  BmpFields f;
  f.width = 2;
  f.height = 2;
  Bytes file = build_bmp(f, {}, Bytes(16, 0x5A));
  std::string want;
  write_file(input, file);
  const std::wstring in = widen(input), out = widen(output);
  begin_capture();
  for (uint32_t bits = 0; bits <= 0xFFFF; ++bits) {
    if (bits == 2 || bits == 8 || bits == 16 || bits == 24 || bits == 32) continue;
    patch_file(input, 28, bits, 2);
    if (resize_fn()(in.c_str(), out.c_str(), 2, 2) != 2) want += "status!";
    want += "Error: Unsupported bit depth: " + std::to_string(bits) + "\n";
    ++cases;
  }
  // Compression is refused before the depth is looked at.
  const uint32_t compressions[] = {1, 2, 3, 4, 5, 6, 11, 12, 13, 0x80, 0x10000, 0xFFFFFFFFu};
  for (uint32_t compression : compressions) {
    for (uint16_t bits : {1, 4, 24}) {
      patch_file(input, 28, bits, 2);
      patch_file(input, 30, compression, 4);
      if (resize_fn()(in.c_str(), out.c_str(), 2, 2) != 2) want += "status!";
      want += "Error: Compressed BMPs are not supported\n";
      ++cases;
    }
  }
  Captured c = end_capture();
  EXPECT_TRUE(c.err == want) << "standard error differs from the expected "
                             << std::count(want.begin(), want.end(), '\n') << " messages";
  EXPECT_EQ(c.out, "");
  EXPECT_FALSE(file_exists(output));
}

TEST_F(BadInput, ResizerTruncatedFileReadsAsZeros) {
  // Missing bytes read as 0 and are not reported, so a file cut at any length
  // must give exactly what the whole file with those bytes zeroed gives.
  for (uint16_t bits : {2, 8, 16, 24, 32}) {
    Bytes whole = picture(bits, 5, 3, bits <= 8 ? 3 : 0);
    for (size_t length = 0; length < whole.size(); ++length) {
      ++cases;
      SCOPED_TRACE("depth " + std::to_string(bits) + ", " + std::to_string(length) + " bytes");
      Bytes cut(whole.begin(), whole.begin() + static_cast<long>(length));
      Bytes zeroed = whole;
      std::fill(zeroed.begin() + static_cast<long>(length), zeroed.end(), 0);
      write_file(input, zeroed);
      remove(output.c_str());
      Call want = resize(input, output, 4, 4);
      Bytes want_output = read_file(output);
      write_file(input, cut);
      remove(output.c_str());
      Call got = resize(input, output, 4, 4);
      EXPECT_EQ(got.status, want.status);
      EXPECT_EQ(got.err, want.err);
      // A file cut before the end of the header-size field reads it as 0.
      if (length >= 2 && length <= 14) {
        EXPECT_EQ(got.err, "Error: Unsupported BMP header size: 0\n");
      }
      EXPECT_EQ(got.out, want.out);
      EXPECT_EQ(read_file(output), want_output);
      EXPECT_EQ(file_exists(output), got.status == VORLIN_RESIZE_OK);
      EXPECT_EQ(read_file(input), cut);
      if (HasFailure()) return;
    }
  }
}

// ---------------------------------------------------------------- erosion

struct ErodeCase {
  const char* name;
  Bytes file;
  const char* input;    // "file" or "dir"
  const char* output;   // "file", "full", "dir", "missing", "same"
  int32_t passes;
  const char* tail;     // the end of standard output; {in} and {out} are the paths
  bool output_left;     // a partial output file is left by design
};

TEST_F(BadInput, ErosionRowsGetTheirMessageAndKeepTheInput) {
  const std::string passes = "Error: Erosion passes must be between 1 and 100\n";
  const std::string depth = "Error: Only 8-bit (grayscale) and 24-bit (RGB) BMP supported\n";
  const ErodeCase rows[] = {
      // A small file fits the stream's buffer: the failure shows at the close.
      {"full device, small", picture(8, 4, 4), "file", "full", 1,
       "Saving: {out}\nError: Cannot write output file '{out}'\n", false},
      // A larger one fails at the row whose write has to flush the buffer.
      {"full device, large", picture(8, 100, 100), "file", "full", 1,
       "Saving: {out}\nError: Cannot write pixel data\n", false},
      {"input is a directory", {}, "dir", "file", 1, "Error: Cannot open file '{in}'\n", false},
      {"output is a directory", picture(24, 4, 4), "file", "dir", 1,
       "Error: Cannot create output file '{out}'\n", false},
      {"output in a missing directory", picture(24, 4, 4), "file", "missing", 1,
       "Error: Cannot create output file '{out}'\n", false},
      {"same path, passes refused", picture(8, 4, 4), "file", "same", 0, passes.c_str(), false},
      {"same path, load refused", picture(16, 4, 4), "file", "same", 1, depth.c_str(), false},
      {"passes 0", picture(8, 4, 4), "file", "file", 0, passes.c_str(), false},
      {"passes -1", picture(8, 4, 4), "file", "file", -1, passes.c_str(), false},
      {"passes 101", picture(8, 4, 4), "file", "file", 101, passes.c_str(), false},
      {"passes INT_MIN", picture(8, 4, 4), "file", "file", INT_MIN, passes.c_str(), false},
      {"passes INT_MAX", picture(8, 4, 4), "file", "file", INT_MAX, passes.c_str(), false},
      // Sizes create_gray_image refuses fail silently, after the header line.
      {"file width 0", picture(8, 0, 4), "file", "file", 1,
       "Loading: width=0, height=4, bits=8, offset=1078\n", false},
      {"file height 0", picture(24, 4, 0), "file", "file", 1,
       "Loading: width=4, height=0, bits=24, offset=54\n", false},
      {"file height -4 (top-down)", picture(24, 4, -4), "file", "file", 1,
       "Loading: width=4, height=-4, bits=24, offset=54\n", false},
      {"file both negative", picture(8, -4, -4), "file", "file", 1,
       "Loading: width=-4, height=-4, bits=8, offset=1078\n", false},
      {"file INT_MIN wide", picture(8, INT_MIN, 1), "file", "file", 1,
       "Loading: width=-2147483648, height=1, bits=8, offset=1078\n", false},
      {"file 70000 x 70000", picture(8, 70000, 70000), "file", "file", 1,
       "Loading: width=70000, height=70000, bits=8, offset=1078\n", false},
      {"file INT_MAX x INT_MAX", picture(24, INT_MAX, INT_MAX), "file", "file", 1,
       "Loading: width=2147483647, height=2147483647, bits=24, offset=54\n", false},
      {"offset beyond the end", picture(8, 4, 2, 0, 5000), "file", "file", 1,
       "Error: Cannot read 8-bit pixel row 1 (expected 4 bytes)\n", false},
      {"offset 2^32 - 1", picture(24, 4, 2, 0, 0xFFFFFFFFu), "file", "file", 1,
       "Error: Cannot read 24-bit pixel row 1\n", false},
      {"compression 1", [] {
         BmpFields f; f.width = 4; f.height = 4; f.bits_per_pixel = 8; f.compression = 1;
         return build_bmp(f, Bytes(1024, 0), Bytes(16, 0)); }(), "file", "file", 1,
       "Error: Compressed BMPs are not supported\n", false},
      {"empty file", Bytes(), "file", "file", 1, "Error: Cannot read file header\n", false},
      {"signature MB", [] { Bytes b = picture(8, 2, 2); b[0] = 'M'; b[1] = 'B'; return b; }(),
       "file", "file", 1, "Error: Invalid BMP file (signature mismatch)\n", false},
      {"12-byte information header", short_header_picture(12), "file", "file", 1,
       "Loading: {in}\nError: Unsupported BMP header size: 12\n", false},
      {"16-byte information header", short_header_picture(16), "file", "file", 1,
       "Loading: {in}\nError: Unsupported BMP header size: 16\n", false},
      {"header size before depth", [] {
         BmpFields f; f.width = 4; f.height = 4; f.bits_per_pixel = 16; f.header_size = 0;
         return build_bmp(f, {}, Bytes(32, 0)); }(), "file", "file", 1,
       "Loading: {in}\nError: Unsupported BMP header size: 0\n", false},
  };
  for (const ErodeCase& row : rows) {
    ++cases;
    SCOPED_TRACE(row.name);
    remove(output.c_str());
    std::string in = std::string(row.input) == "dir" ? subdir : input;
    std::string out = place(row.output);
    if (in == input) write_file(input, row.file);
    Bytes before = read_file(input);
    Call run = erode(in, out, row.passes);
    EXPECT_EQ(run.status, VORLIN_ERODE_FAILED);
    std::string tail = fill(row.tail, in, out);
    EXPECT_TRUE(ends_with(run.out, tail)) << run.out << "--- should end with ---\n" << tail;
    EXPECT_EQ(run.out.find("Erosion complete!"), std::string::npos);
    EXPECT_EQ(run.err, "");
    EXPECT_EQ(read_file(input), before) << "the input changed";
    EXPECT_EQ(file_exists(output), row.output_left);
  }
}

TEST_F(BadInput, ErosionSamePathSuccessReplacesTheInputWithTheResult) {
  for (uint16_t bits : {8, 24}) {
    ++cases;
    write_file(input, picture(bits, 6, 5));
    remove(output.c_str());
    ASSERT_EQ(erode(input, output, 2).status, VORLIN_ERODE_OK);
    Bytes separate = read_file(output);
    EXPECT_EQ(erode(input, input, 2).status, VORLIN_ERODE_OK) << bits;
    EXPECT_EQ(read_file(input), separate) << bits;
  }
}

TEST_F(BadInput, ErosionIgnoresThePaletteAndHonoursThePixelOffset) {
  // 8 bits, 4 x 2 and one pass: the picture is too small to erode, so the
  // output rows are the 8 bytes at the pixel offset.
  struct Row {
    const char* name;
    uint32_t colors_used;
    uint32_t offset;  // 0: right after the palette; 1 stands for a real 0
  };
  const Row rows[] = {
      {"colours used 0", 0, 0}, {"colours used 1", 1, 0}, {"colours used 256", 256, 0},
      {"colours used 257", 257, 0}, {"colours used 2^30", 1u << 30, 0},
      {"offset 0, before the headers", 16, 1}, {"offset 30, inside the headers", 16, 30},
      {"offset 60, inside the palette", 16, 60},
  };
  for (const Row& row : rows) {
    ++cases;
    SCOPED_TRACE(row.name);
    Bytes file = picture(8, 4, 2, row.colors_used, row.offset);
    if (row.offset == 1) file[10] = file[11] = file[12] = file[13] = 0;
    write_file(input, file);
    remove(output.c_str());
    Call run = erode(input, output, 1);
    EXPECT_EQ(run.status, VORLIN_ERODE_OK);
    EXPECT_EQ(read_file(input), file);
    Bytes written = read_file(output);
    ASSERT_EQ(written.size(), 1078u + 8u);
    uint32_t offset = get_le32(file, 10);
    // Stored rows go out in the order they came in.
    EXPECT_EQ(Bytes(written.begin() + 1078, written.end()),
              Bytes(file.begin() + offset, file.begin() + offset + 8));
  }
}

TEST_F(BadInput, ErosionRefusesEveryOtherDepth) {
  write_file(input, picture(8, 2, 2));
  const std::wstring in = widen(input), out = widen(output);
  std::string want;
  begin_capture();
  for (uint32_t bits = 0; bits <= 0xFFFF; ++bits) {
    if (bits == 8 || bits == 24) continue;
    patch_file(input, 28, bits, 2);
    if (erode_fn()(in.c_str(), out.c_str(), 1) != 1) want += "status!";
    want += "=== Bitmap Erosion Application (eVC 3.0 Safe) ===\n\nLoading: " + input +
            "\nError: Only 8-bit (grayscale) and 24-bit (RGB) BMP supported\n";
    ++cases;
  }
  Captured c = end_capture();
  EXPECT_TRUE(c.out == want) << "standard output differs";
  EXPECT_EQ(c.err, "");
  EXPECT_FALSE(file_exists(output));
}

TEST_F(BadInput, ErosionTruncatedFileNamesTheMissingPart) {
  for (uint16_t bits : {8, 24}) {
    Bytes whole = picture(bits, 5, 3, bits == 8 ? 4 : 0);
    const size_t offset = get_le32(whole, 10);
    const size_t row = test_row_size(5, bits);
    for (size_t length = 0; length < whole.size(); ++length) {
      ++cases;
      SCOPED_TRACE("depth " + std::to_string(bits) + ", " + std::to_string(length) + " bytes");
      Bytes cut(whole.begin(), whole.begin() + static_cast<long>(length));
      write_file(input, cut);
      remove(output.c_str());
      Call run = erode(input, output, 1);
      std::string want;
      if (length < 14) {
        want = "Error: Cannot read file header\n";
      } else if (length < 54) {
        want = "Error: Cannot read info header\n";
      } else {
        // Rows are stored bottom first: the first incomplete one names it.
        size_t stored = length > offset ? (length - offset) / row : 0;
        int n = 2 - static_cast<int>(stored);
        want = bits == 24 ? "Error: Cannot read 24-bit pixel row " + std::to_string(n) + "\n"
                          : "Error: Cannot read 8-bit pixel row " + std::to_string(n) +
                                " (expected " + std::to_string(row) + " bytes)\n";
      }
      EXPECT_EQ(run.status, VORLIN_ERODE_FAILED);
      EXPECT_TRUE(ends_with(run.out, want)) << run.out;
      EXPECT_FALSE(file_exists(output));
      EXPECT_EQ(read_file(input), cut);
      if (HasFailure()) return;
    }
  }
}

// ------------------------------------- pipes, and reads a signal interrupts

#if !defined(_WIN32)
// How the input reaches a module: as a regular file; through a FIFO fed as
// fast as it is read; or through a FIFO fed a few bytes at a time while a
// timer signal interrupts the reads that wait for them. Or the output leaves
// through a FIFO drained slowly while the timer interrupts the writes.
enum class Feed { kFile, kFifo, kFifoInterrupted, kFifoOutInterrupted };
#endif

TEST_F(BadInput, PipesAndInterruptedReadsGiveWhatTheFileGives) {
#if defined(_WIN32)
  GTEST_SKIP() << "needs POSIX FIFOs and interval timers";
#else
  struct Row {
    const char* name;
    char module;  // 'r' resize to 4 x 3, 'e' erode once, 'p' probe the width
    Bytes file;
    bool behind;  // the pixel offset lies in bytes a pipe has already passed
  };
  auto with_header = [](uint16_t bits, uint32_t header_size, size_t gap) {
    BmpFields f;
    f.width = 5;
    f.height = 3;
    f.bits_per_pixel = bits;
    f.header_size = header_size;
    size_t entries = bits == 2 ? 4 : bits == 8 ? 256 : 0;
    return build_bmp(f, random_bytes(entries * 4, 3),
                     random_bytes(test_row_size(5, bits) * 3, bits), gap);
  };
  auto cut = [](Bytes b, size_t bytes) { b.resize(b.size() - bytes); return b; };
  auto first = [](Bytes b, size_t bytes) { b.resize(bytes); return b; };
  const Row rows[] = {
      {"8 bits, 16 colours, pixels after the palette", 'r', picture(8, 5, 3, 16), false},
      {"2 bits, 124-byte header, gap before the pixels", 'r', with_header(2, 124, 9), false},
      {"24 bits, gap of 7 bytes", 'r', picture(24, 6, 2, 0, 54 + 7), false},
      {"32 bits, offset beyond the end", 'r', picture(32, 3, 2, 0, 5000), false},
      {"16 bits, cut in the pixels", 'r', cut(picture(16, 5, 3), 5), false},
      {"8 bits, larger than a pipe holds", 'r', picture(8, 300, 300), false},
      {"8 bits, offset inside the palette", 'r', picture(8, 4, 3, 16, 60), true},
      {"24 bits, offset inside the headers", 'r', picture(24, 4, 3, 0, 30), true},
      {"8 bits, 256 colours skipped", 'e', picture(8, 5, 3), false},
      {"24 bits, 108-byte header and a gap", 'e', with_header(24, 108, 5), false},
      {"24 bits, larger than a pipe holds", 'e', picture(24, 200, 120), false},
      {"8 bits, a result larger than a pipe holds", 'e', picture(8, 600, 300), false},
      {"8 bits, cut in a row", 'e', cut(picture(8, 5, 3), 3), false},
      {"24 bits, offset beyond the end", 'e', picture(24, 4, 2, 0, 5000), false},
      {"8 bits, offset inside the palette, ahead", 'e', picture(8, 4, 3, 0, 60), false},
      {"24 bits, offset inside the headers", 'e', picture(24, 4, 3, 0, 30), true},
      {"whole headers", 'p', picture(24, 77, 5), false},
      {"cut in the width", 'p', first(picture(24, 77, 5), 20), false},
  };
  struct Outcome {
    Call call;
    bool output_exists;
    Bytes output;
  };
  long signals = 0;
  // The output FIFO takes a result larger than a pipe holds, so the writes
  // wait for the slow reader and the timer interrupts them.
  auto run = [&](const Row& row, Feed feed, bool large) {
    remove(output.c_str());
    FifoFeed fifo;
    if (feed == Feed::kFile) {
      write_file(input, row.file);
    } else if (feed == Feed::kFifo) {
      start_fifo_feed(&fifo, input, row.file, row.file.size(), 0);
    } else if (feed == Feed::kFifoInterrupted) {
      // About 40 chunks, each after a pause of several timer periods.
      start_fifo_feed(&fifo, input, row.file, std::max<size_t>(61, row.file.size() / 40), 300);
      start_interrupting(100);
    }
    FifoFeed drain;
    if (feed == Feed::kFifoOutInterrupted) {
      write_file(input, row.file);
      start_fifo_drain(&drain, output, 4096, 300);
      start_interrupting(100);
    }
    Outcome o;
    o.call = row.module == 'r'   ? resize(input, output, large ? 500 : 4, large ? 300 : 3)
             : row.module == 'e' ? erode(input, output, 1)
                                 : probe(input, VORLIN_QUERY_WIDTH);
    if (feed == Feed::kFifoInterrupted || feed == Feed::kFifoOutInterrupted) {
      signals += stop_interrupting();
    }
    if (feed == Feed::kFifo || feed == Feed::kFifoInterrupted) finish_fifo_feed(&fifo);
    if (feed == Feed::kFifoOutInterrupted) {
      o.output = finish_fifo_drain(&drain);
      // What came through, as the file would hold it; nothing if no output.
      o.output_exists = !o.output.empty();
      return o;
    }
    o.output_exists = file_exists(output);
    if (o.output_exists) o.output = read_file(output);
    return o;
  };
  for (const Row& row : rows) {
    for (Feed feed : {Feed::kFifo, Feed::kFifoInterrupted, Feed::kFifoOutInterrupted}) {
      if (feed == Feed::kFifoOutInterrupted && row.module == 'p') continue;  // writes nothing
      ++cases;
      SCOPED_TRACE(std::string(row.name) +
                   (feed == Feed::kFifo              ? ", FIFO"
                    : feed == Feed::kFifoInterrupted ? ", FIFO with interrupted reads"
                                                     : ", output to a FIFO, interrupted writes"));
      const bool large = feed == Feed::kFifoOutInterrupted;
      Outcome file = run(row, Feed::kFile, large);
      Outcome pipe = run(row, feed, large);
      if (!row.behind || large) {
        EXPECT_EQ(pipe.call.status, file.call.status);
        EXPECT_EQ(pipe.call.out, file.call.out);
        EXPECT_EQ(pipe.call.err, file.call.err);
        EXPECT_EQ(pipe.output_exists, file.output_exists);
        EXPECT_TRUE(pipe.output == file.output) << "the outputs differ";
      } else if (row.module == 'r') {
        // Missing bytes read as 0: the headers and palette as from the
        // file, every pixel 0.
        Bytes zeroed = file.output;
        ASSERT_GE(zeroed.size(), 54u);
        std::fill(zeroed.begin() + get_le32(zeroed, 10), zeroed.end(), 0);
        EXPECT_EQ(pipe.call.status, VORLIN_RESIZE_OK);
        EXPECT_EQ(pipe.call.err, "");
        EXPECT_TRUE(pipe.output == zeroed) << "the pixels are not all 0";
      } else {
        // The first stored row is the first one not read.
        const uint32_t bits = get_le16(row.file, 28);
        const int32_t top = static_cast<int32_t>(get_le32(row.file, 22)) - 1;
        const size_t stride = test_row_size(static_cast<int32_t>(get_le32(row.file, 18)),
                                            static_cast<int>(bits));
        std::string want = bits == 24 ? "Error: Cannot read 24-bit pixel row " +
                                            std::to_string(top) + "\n"
                                      : "Error: Cannot read 8-bit pixel row " +
                                            std::to_string(top) + " (expected " +
                                            std::to_string(stride) + " bytes)\n";
        EXPECT_EQ(pipe.call.status, VORLIN_ERODE_FAILED);
        EXPECT_TRUE(ends_with(pipe.call.out, want)) << pipe.call.out;
        EXPECT_FALSE(pipe.output_exists);
      }
    }
  }
  // The slow feeds kept the reads waiting while the timer ran.
  EXPECT_GT(signals, static_cast<long>(sizeof rows / sizeof rows[0]));
#endif
}

// ------------------------------------------- an output that names the input

TEST_F(BadInput, AnOutputNamingTheInputReplacesItOnlyWhenComplete) {
#if defined(_WIN32)
  GTEST_SKIP() << "needs POSIX links and file size limits";
#else
  // The output names the input by the same path, another spelling of it, a
  // link to it, or a second hard link. A file size limit stands in for a
  // disk that fills up: the result (4854 bytes resized, 2678 eroded) does
  // not fit under it, the messages do.
  const std::string link = dir + "/link.bmp";
  const std::string far_link = subdir + "/far.bmp";
  const std::string hard = dir + "/hard.bmp";
  ASSERT_EQ(symlink(input.c_str(), link.c_str()), 0);
  ASSERT_EQ(symlink("../in.bmp", far_link.c_str()), 0);
  struct Row {
    const char* name;
    char module;  // 'r' resize to 40 x 40 at 24 bits, 'e' erode 40 x 40 at 8 bits once
    std::string out;
    long limit;   // file size limit in bytes, 0 for none
  };
  const Row rows[] = {
      {"resize, same path", 'r', input, 0},
      {"resize, same path spelled another way", 'r', dir + "/./a-directory/../in.bmp", 0},
      {"resize, a link to the input", 'r', link, 0},
      {"resize, a relative link in another directory", 'r', far_link, 0},
      {"resize, same path, disk full", 'r', input, 2000},
      {"resize, a link to the input, disk full", 'r', link, 2000},
      {"erode, same path", 'e', input, 0},
      {"erode, a link to the input", 'e', link, 0},
      {"erode, same path, disk full", 'e', input, 1200},
      {"erode, a link to the input, disk full", 'e', far_link, 1200},
      {"resize, a second hard link", 'r', hard, 0},
  };
  auto row_picture = [](char module) {
    return module == 'r' ? picture(24, 4, 4) : picture(8, 40, 40);
  };
  std::signal(SIGXFSZ, SIG_IGN);  // a write past the limit fails with EFBIG instead
  for (const Row& row : rows) {
    ++cases;
    SCOPED_TRACE(row.name);
    const Bytes original = row_picture(row.module);
    write_file(input, original);
    ASSERT_EQ(chmod(input.c_str(), 0640), 0);
    remove(output.c_str());
    Call separate = row.module == 'r' ? resize(input, output, 40, 40) : erode(input, output, 1);
    const int32_t ok = row.module == 'r' ? int32_t{VORLIN_RESIZE_OK} : int32_t{VORLIN_ERODE_OK};
    ASSERT_EQ(separate.status, ok);
    const Bytes result = read_file(output);
    ASSERT_EQ(remove(output.c_str()), 0);
    remove(hard.c_str());
    if (row.out == hard) {
      ASSERT_EQ(::link(input.c_str(), hard.c_str()), 0);
    }
    const std::vector<std::string> names = list_dir(dir);

    struct rlimit saved;
    getrlimit(RLIMIT_FSIZE, &saved);
    if (row.limit > 0) {
      struct rlimit limited = saved;
      limited.rlim_cur = static_cast<rlim_t>(row.limit);
      setrlimit(RLIMIT_FSIZE, &limited);
    }
    Call run = row.module == 'r' ? resize(input, row.out, 40, 40) : erode(input, row.out, 1);
    setrlimit(RLIMIT_FSIZE, &saved);

    // Nothing is left beside the input either way.
    EXPECT_EQ(list_dir(dir), names);
    EXPECT_EQ(list_dir(subdir), std::vector<std::string>{"far.bmp"});
    struct stat st;
    ASSERT_EQ(lstat(link.c_str(), &st), 0);
    EXPECT_TRUE(S_ISLNK(st.st_mode)) << "the link was replaced";
    if (row.limit > 0) {
      EXPECT_EQ(read_file(input), original) << "the input changed";
      if (row.module == 'r') {
        EXPECT_EQ(run.status, VORLIN_RESIZE_SAVE_FAILED);
        EXPECT_EQ(run.err, "Error: Could not write output file '" + row.out + "'\n");
      } else {
        EXPECT_EQ(run.status, VORLIN_ERODE_FAILED);
        EXPECT_TRUE(ends_with(run.out, "Error: Cannot write output file '" + row.out + "'\n"))
            << run.out;
      }
    } else if (row.out == hard) {
      // The result takes the output's name; the input's name keeps the picture.
      EXPECT_EQ(run.status, VORLIN_RESIZE_OK);
      EXPECT_EQ(read_file(hard), result);
      EXPECT_EQ(read_file(input), original);
    } else {
      EXPECT_EQ(run.status, ok);
      EXPECT_EQ(run.err, "");
      EXPECT_EQ(read_file(input), result) << "the input was not replaced by the result";
      ASSERT_EQ(stat(input.c_str(), &st), 0);
      EXPECT_EQ(st.st_mode & 0777, 0640u) << "the permissions changed";
    }
  }
  std::signal(SIGXFSZ, SIG_DFL);
  remove(hard.c_str());

  // What the file is stays: its owner and group (which root may set), its
  // mode with the set-id bits, and an extended attribute.
  if (geteuid() == 0) {
    struct Keep {
      char module;
      mode_t mode;
      uid_t uid;
      gid_t gid;
    };
    const Keep keeps[] = {{'r', 06755, 1234, 4321}, {'e', 0640, 1234, 4321}, {'r', 0444, 0, 0},
                          {'e', 02711, 0, 4321}};
    for (const Keep& keep : keeps) {
      ++cases;
      SCOPED_TRACE(std::string("keeps ") + keep.module + " mode " + std::to_string(keep.mode));
      write_file(input, row_picture(keep.module));
      ASSERT_EQ(chown(input.c_str(), keep.uid, keep.gid), 0);
      ASSERT_EQ(chmod(input.c_str(), keep.mode), 0);
      ASSERT_EQ(setxattr(input.c_str(), "user.vorlin", "kept", 4, 0), 0);
      struct stat before;
      ASSERT_EQ(stat(input.c_str(), &before), 0);
      Call run = keep.module == 'r' ? resize(input, input, 40, 40) : erode(input, input, 1);
      EXPECT_EQ(run.status, keep.module == 'r' ? int32_t{VORLIN_RESIZE_OK} : int32_t{VORLIN_ERODE_OK});
      struct stat st;
      ASSERT_EQ(stat(input.c_str(), &st), 0);
      EXPECT_NE(st.st_ino, before.st_ino) << "not replaced";
      EXPECT_EQ(st.st_uid, keep.uid);
      EXPECT_EQ(st.st_gid, keep.gid);
      EXPECT_EQ(st.st_mode & 07777, keep.mode);
      char value[16] = {};
      EXPECT_EQ(getxattr(input.c_str(), "user.vorlin", value, sizeof value), 4);
      EXPECT_STREQ(value, "kept");
    }
  }

#if defined(__linux__)
  // A call killed at any moment: the input is whole, old or new, and no new
  // file is left beside it (it has no name until it replaces the input).
  {
    const Bytes original = picture(24, 600, 400);
    std::mt19937 rng(20261209);
    (void)resize_fn();  // loaded before the fork
    for (int k = 0; k < 12; ++k) {
      ++cases;
      write_file(input, original);
      const std::vector<std::string> names = list_dir(dir);
      pid_t child = quiet_fork();
      ASSERT_GE(child, 0);
      if (child == 0) {
        std::wstring wide = widen(input);
        _exit(resize_fn()(wide.c_str(), wide.c_str(), 3000, 2000) == VORLIN_RESIZE_OK ? 0 : 1);
      }
      usleep(static_cast<useconds_t>(std::uniform_int_distribution<int>(0, 60000)(rng)));
      kill(child, SIGKILL);
      waitpid(child, nullptr, 0);
      SCOPED_TRACE("killed run " + std::to_string(k));
      EXPECT_EQ(list_dir(dir), names) << "something was left beside the input";
      const Bytes now = read_file(input);
      EXPECT_TRUE(now == original || now.size() == 54 + 3000u * 3 * 2000) << now.size();
    }
  }
#endif

  // Another program replaces the input between the read and the write: the
  // input's own path then names a file the call never read, which is left
  // as it is rather than truncated and overwritten.
  for (char module : {'r', 'e'}) {
    ++cases;
    SCOPED_TRACE(std::string("replaced meanwhile, ") + module);
    write_file(input, row_picture(module));
    const Bytes other = row_picture(module == 'r' ? 'e' : 'r');
    const std::string stand_in = dir + "/other.bmp";
    write_file(stand_in, other);
    // The stand-in takes the input's name as the output opens: the FIFO's
    // reader opens the output only after the pixels were read, so here a
    // regular file's rename beforehand shows the same lookup.
    FileIdentity identity = {};
    FILE* opened = open_for_reading(input.c_str(), &identity);
    ASSERT_NE(opened, nullptr);
    fclose(opened);
    ASSERT_EQ(rename(stand_in.c_str(), input.c_str()), 0);
    InputOrigin origin = {input.c_str(), identity};
    OutputFile out;
    EXPECT_EQ(open_output(&out, input.c_str(), &origin), 0);
    EXPECT_TRUE(read_file(input) == other) << "the other program's file changed";
    EXPECT_EQ(list_dir(dir).size(), 3u);  // in.bmp, link.bmp, a-directory
  }
#endif
}

// A hostile user who owns the picture swaps it with a link to a file of the
// victim's, as fast as it can, while the victim resizes or erodes it in
// place: the victim's file must never change, whatever the timing.
TEST_F(BadInput, AnInPlaceCallRacedByALinkSwapReplacesNoOtherFile) {
#if !defined(__linux__)
  GTEST_SKIP() << "needs Linux's exchanging rename";
#else
  if (geteuid() != 0) {
    GTEST_SKIP() << "needs root, to act as two unprivileged users";
  }
  const uid_t attacker = 64101;
  const uid_t victim = 64102;
  const std::string shared = dir + "/shared";  // the attacker's, open to all
  const std::string home = dir + "/home";      // the victim's
  const std::string notes = home + "/notes.txt";
  const std::string picture_path = shared + "/x.bmp";
  const std::string swap = shared + "/swap";
  ASSERT_EQ(chmod(dir.c_str(), 0755), 0);
  ASSERT_EQ(mkdir(shared.c_str(), 0777), 0);
  ASSERT_EQ(chmod(shared.c_str(), 0777), 0);
  ASSERT_EQ(chown(shared.c_str(), attacker, attacker), 0);
  ASSERT_EQ(mkdir(home.c_str(), 0755), 0);
  ASSERT_EQ(chown(home.c_str(), victim, victim), 0);
  const Bytes secret = {'m', 'i', 'n', 'e', '\n'};
  struct Row {
    const char* name;
    char module;  // 'r' resize, 'e' erode
    uid_t as;     // the victim's user: root may write anything
  };
  const Row rows[] = {
      {"resize, root", 'r', 0},
      {"erode, root", 'e', 0},
      {"resize, an unprivileged victim", 'r', victim},
      {"erode, an unprivileged victim", 'e', victim},
  };
#if defined(VORLIN_EMULATED_TEST_RUN)
  const int rounds = 300;
#else
  const int rounds = 3000;
#endif
  (void)resize_fn();  // loaded before the fork
  (void)erode_fn();
  for (const Row& row : rows) {
    ++cases;
    SCOPED_TRACE(row.name);
    write_file(notes, secret);
    ASSERT_EQ(chown(notes.c_str(), victim, victim), 0);
    ASSERT_EQ(chmod(notes.c_str(), 0444), 0);
    remove(picture_path.c_str());
    remove(swap.c_str());
    write_file(picture_path, picture(24, 8, 8));
    ASSERT_EQ(chown(picture_path.c_str(), attacker, attacker), 0);
    ASSERT_EQ(chmod(picture_path.c_str(), 0666), 0);
    ASSERT_EQ(symlink(notes.c_str(), swap.c_str()), 0);
    ASSERT_EQ(lchown(swap.c_str(), attacker, attacker), 0);

    pid_t swapper = fork();
    ASSERT_GE(swapper, 0);
    if (swapper == 0) {
      if (setgid(attacker) != 0 || setuid(attacker) != 0) _exit(2);
      for (;;) {
        syscall(SYS_renameat2, AT_FDCWD, picture_path.c_str(), AT_FDCWD, swap.c_str(),
                2 /* RENAME_EXCHANGE */);
      }
    }
    int pipe_ends[2];
    ASSERT_EQ(pipe(pipe_ends), 0);
    pid_t caller = quiet_fork();
    ASSERT_GE(caller, 0);
    if (caller == 0) {
      if (row.as != 0 && (setgid(row.as) != 0 || setuid(row.as) != 0)) _exit(2);
      std::wstring wide = widen(picture_path);
      int32_t done = 0;
      for (int i = 0; i < rounds; ++i) {
        int32_t status = row.module == 'r' ? resize_fn()(wide.c_str(), wide.c_str(), 8, 8)
                                           : erode_fn()(wide.c_str(), wide.c_str(), 1);
        done += status == 999 ? 1 : 0;
      }
      ssize_t sent = write(pipe_ends[1], &done, sizeof done);
      _exit(sent == sizeof done ? 0 : 3);
    }
    close(pipe_ends[1]);
    int32_t replaced = -1;
    ssize_t got = read(pipe_ends[0], &replaced, sizeof replaced);
    close(pipe_ends[0]);
    int status = 0;
    waitpid(caller, &status, 0);
    kill(swapper, SIGKILL);
    waitpid(swapper, nullptr, 0);
    EXPECT_EQ(got, static_cast<ssize_t>(sizeof replaced));
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    struct stat st;
    ASSERT_EQ(lstat(notes.c_str(), &st), 0);
    EXPECT_TRUE(read_file(notes) == secret) << "the victim's file was replaced";
    EXPECT_TRUE(S_ISREG(st.st_mode) && (st.st_mode & 07777) == 0444 && st.st_uid == victim)
        << "the victim's file changed";
    EXPECT_EQ(list_dir(home), std::vector<std::string>{"notes.txt"});
    // Without the swapper, the same call by root (who may carry the
    // attacker's ownership over) runs in place: the refusals above were the
    // race's doing, not the setup's. The unprivileged victim's calls cannot
    // carry it over, so they are all refused.
    struct stat now;
    ASSERT_EQ(lstat(picture_path.c_str(), &now), 0);
    if (S_ISLNK(now.st_mode)) {
      ASSERT_EQ(syscall(SYS_renameat2, AT_FDCWD, picture_path.c_str(), AT_FDCWD, swap.c_str(), 2),
                0);
    }
    Call calm = row.module == 'r' ? resize(picture_path, picture_path, 8, 8)
                                  : erode(picture_path, picture_path, 1);
    EXPECT_EQ(calm.status, 999) << calm.out << calm.err;
    if (row.as != 0) {
      EXPECT_EQ(replaced, 0);
    }
    printf("%s: %d rounds, %d replaced the picture\n", row.name, rounds, replaced);
  }
#endif
}

// ------------------------------------------------ streams flushed on return

TEST_F(BadInput, EveryLineIsOutWhenTheStatusComesBack) {
#if defined(_WIN32)
  GTEST_SKIP() << "switches the streams' buffering after use, which glibc allows";
#else
  // A host whose streams are fully buffered (a pipe, a file) sees every line
  // of a call in the file before it prints anything of its own.
  write_file(input, picture(8, 4, 4));
  struct Row {
    const char* name;
    std::function<int32_t()> call;
  };
  const std::wstring in = widen(input), out = widen(output), none = widen(dir + "/none.bmp");
  const Row rows[] = {
      {"resize", [&] { return resize_fn()(in.c_str(), out.c_str(), 3, 3); }},
      {"resize, error", [&] { return resize_fn()(none.c_str(), out.c_str(), 3, 3); }},
      {"erode", [&] { return erode_fn()(in.c_str(), out.c_str(), 2); }},
      {"erode, error", [&] { return erode_fn()(none.c_str(), out.c_str(), 2); }},
      {"probe, error", [&] { return probe_fn()(none.c_str(), VORLIN_QUERY_WIDTH); }},
  };
  for (const Row& row : rows) {
    ++cases;
    SCOPED_TRACE(row.name);
    begin_capture();
    // Standard error is unbuffered: it takes a buffer of its own.
    static char err_buffer[BUFSIZ];
    setvbuf(stdout, nullptr, _IOFBF, BUFSIZ);
    setvbuf(stderr, err_buffer, _IOFBF, sizeof err_buffer);
    row.call();
    Captured seen = peek_capture();
    setvbuf(stderr, nullptr, _IONBF, 0);
    Captured all = end_capture();
    EXPECT_FALSE(all.out.empty() && all.err.empty());
    EXPECT_EQ(seen.out, all.out);
    EXPECT_EQ(seen.err, all.err);
  }
#endif
}

// ------------------------------------------------------------------ probe

TEST_F(BadInput, ProbeTruncatedFileNamesTheMissingField) {
  const char* const messages[] = {
      "Error: Cannot read file signature\n", "Error: Cannot read file size\n",
      "Error: Cannot read reserved fields\n", "Error: Cannot read pixel data offset\n",
      "Error: Cannot read info header size\n", "Error: Cannot read width\n",
      "Error: Cannot read height\n", "Error: Cannot read planes\n",
      "Error: Cannot read bits per pixel\n"};
  const size_t ends[] = {2, 6, 10, 14, 18, 22, 26, 28, 30};  // where each field ends
  for (uint16_t bits : {2, 8, 16, 24, 32}) {
    Bytes whole = picture(bits, 5, 3);
    for (size_t length = 0; length <= 54; ++length) {
      ++cases;
      Bytes cut(whole.begin(), whole.begin() + static_cast<long>(length));
      write_file(input, cut);
      Call run = probe(input, VORLIN_QUERY_BITS);
      size_t field = 0;
      while (field < 9 && length >= ends[field]) ++field;
      if (field == 9) {
        EXPECT_EQ(run.status, bits) << length;
        EXPECT_EQ(run.err, "") << length;
      } else {
        EXPECT_EQ(run.status, VORLIN_PROBE_NO_ANSWER) << length;
        EXPECT_EQ(run.err, std::string(messages[field]) + "Failed to read BMP file information\n")
            << length;
      }
      EXPECT_EQ(read_file(input), cut);
    }
  }
}

TEST_F(BadInput, ProbeAnswersWhatIsStoredAndFailsOnWhatIsNotABmp) {
  const std::string closing = "Failed to read BMP file information\n";
  struct Row {
    const char* name;
    Bytes file;
    bool directory;
    int32_t query;
    int32_t answer;
    std::string err;
  };
  const Row rows[] = {
      {"input is a directory", {}, true, 1, 999, "Error: Cannot open file '" + subdir + "'\n" + closing},
      {"signature BA", [] { Bytes b = picture(24, 2, 2); b[1] = 'A'; return b; }(), false, 1, 999,
       "Error: Invalid BMP file signature\n" + closing},
      {"width 0", picture(24, 0, 3), false, 2, 0, ""},
      {"width INT_MIN", picture(24, INT_MIN, 3), false, 2, INT_MIN, ""},
      {"height -480", picture(24, 4, -480), false, 1, -480, ""},
      {"height INT_MAX", picture(24, 4, INT_MAX), false, 1, INT_MAX, ""},
      {"depth 4", picture(4, 4, 4), false, 3, 4, ""},
      {"depth 65535", picture(65535, 4, 4), false, 3, 65535, ""},
      {"compressed", [] {
         BmpFields f; f.width = 4; f.height = 4; f.bits_per_pixel = 8; f.compression = 1;
         return build_bmp(f, {}, Bytes(16, 0)); }(), false, 3, 8, ""},
      {"palette count 2^30", picture(8, 4, 4, 1u << 30), false, 2, 4, ""},
      {"query 0", picture(24, 4, 4), false, 0, 999, ""},
      {"query -1", picture(24, 4, 4), false, -1, 999, ""},
      {"query INT_MAX", picture(24, 4, 4), false, INT_MAX, 999, ""},
  };
  for (const Row& row : rows) {
    ++cases;
    SCOPED_TRACE(row.name);
    std::string in = row.directory ? subdir : input;
    if (!row.directory) write_file(input, row.file);
    Bytes before = read_file(input);
    Call run = probe(in, row.query);
    EXPECT_EQ(run.status, row.answer);
    EXPECT_EQ(run.err, row.err);
    EXPECT_EQ(run.out, "");
    EXPECT_EQ(read_file(input), before);
  }
}

}  // namespace
