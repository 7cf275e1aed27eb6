// BMPResizers given hostile inputs and I/O faults, by every route: a full
// device, directories where files belong, missing directories, one path for
// input and output, truncation at every byte, impossible sizes, palette
// counts, pixel offsets, and every depth and compression it does not take.
// Each gets its message and status, and the input file is never changed,
// except that a successful call whose output path is its input path
// replaces the input with its result.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <climits>
#include <csignal>
#include <cstdio>
#include <random>
#include <string>
#include <vector>

#include "bad_input_support.h"
#include "output_file.h"
#include "export_calls.h"
#include "test_support.h"
#include "vorlin/vorlin.h"

namespace {

class ScaleBadInput : public RoutedBadInput {};

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

TEST_P(ScaleBadInput, ResizerRowsGetTheirMessageAndKeepTheInput) {
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
    ExportCall run = resize(in, out, row.width, row.height);
    EXPECT_EQ(run.status, row.status);
    EXPECT_EQ(run.err, fill(row.err, in, out));
    EXPECT_EQ(run.out.find("Saved:"), std::string::npos);
    EXPECT_EQ(read_file(input), before) << "the input changed";
    EXPECT_FALSE(file_exists(output)) << "an output appeared";
    struct stat st;
    EXPECT_TRUE(stat(subdir.c_str(), &st) == 0 && S_ISDIR(st.st_mode));
  }
}

TEST_P(ScaleBadInput, ResizerSamePathSuccessReplacesTheInputWithTheResult) {
  for (uint16_t bits : {2, 8, 16, 24, 32}) {
    ++cases;
    Bytes original = picture(bits, 5, 3);
    write_file(input, original);
    remove(output.c_str());
    ASSERT_EQ(resize(input, output, 9, 4).status, VORLIN_RESIZE_OK);
    Bytes separate = read_file(output);
    ExportCall run = resize(input, input, 9, 4);
    EXPECT_EQ(run.status, VORLIN_RESIZE_OK) << bits;
    EXPECT_EQ(read_file(input), separate) << bits;
  }
}

TEST_P(ScaleBadInput, ResizerPaletteCountsAndPixelOffsets) {
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
    ExportCall run = resize(input, output, 4, 2);
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

TEST_P(ScaleBadInput, ResizerRefusesEveryOtherDepthAndEveryCompression) {
  BmpFields f;
  f.width = 2;
  f.height = 2;
  Bytes file = build_bmp(f, {}, Bytes(16, 0x5A));
  std::string want;
  write_file(input, file);
  const std::wstring in = widen(input), out = widen(output);
  // A depth is refused before any kernel runs: the module route sweeps
  // every one, a set route the first 65 and every 61st after them.
  const uint32_t step = GetParam().module_path != nullptr ? 1 : 61;
  begin_capture();
  for (uint32_t bits = 0; bits <= 0xFFFF; bits += bits < 64 ? 1 : step) {
    if (bits == 2 || bits == 8 || bits == 16 || bits == 24 || bits == 32) continue;
    patch_file(input, 28, bits, 2);
    if (run_resize(GetParam(), in.c_str(), out.c_str(), 2, 2) != 2) want += "status!";
    want += "Error: Unsupported bit depth: " + std::to_string(bits) + "\n";
    ++cases;
  }
  // Compression is refused before the depth is looked at.
  const uint32_t compressions[] = {1, 2, 3, 4, 5, 6, 11, 12, 13, 0x80, 0x10000, 0xFFFFFFFFu};
  for (uint32_t compression : compressions) {
    for (uint16_t bits : {1, 4, 24}) {
      patch_file(input, 28, bits, 2);
      patch_file(input, 30, compression, 4);
      if (run_resize(GetParam(), in.c_str(), out.c_str(), 2, 2) != 2) want += "status!";
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

TEST_P(ScaleBadInput, ResizerTruncatedFileReadsAsZeros) {
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
      ExportCall want = resize(input, output, 4, 4);
      Bytes want_output = read_file(output);
      write_file(input, cut);
      remove(output.c_str());
      ExportCall got = resize(input, output, 4, 4);
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

TEST_P(ScaleBadInput, PipesAndInterruptedReadsGiveWhatTheFileGives) {
  check_pipes({
      {"8 bits, 16 colours, pixels after the palette", 'r', picture(8, 5, 3, 16), false},
      {"2 bits, 124-byte header, gap before the pixels", 'r', with_header(2, 124, 9), false},
      {"24 bits, gap of 7 bytes", 'r', picture(24, 6, 2, 0, 54 + 7), false},
      {"32 bits, offset beyond the end", 'r', picture(32, 3, 2, 0, 5000), false},
      {"16 bits, cut in the pixels", 'r', cut_end(picture(16, 5, 3), 5), false},
      {"8 bits, larger than a pipe holds", 'r', picture(8, 300, 300), false},
      {"8 bits, offset inside the palette", 'r', picture(8, 4, 3, 16, 60), true},
      {"24 bits, offset inside the headers", 'r', picture(24, 4, 3, 0, 30), true},
  });
}

TEST_P(ScaleBadInput, AnOutputNamingTheInputReplacesItOnlyWhenComplete) {
  check_in_place(
      {
          {"resize, same path", 'r', InPlaceOut::kSame, 0},
          {"resize, same path spelled another way", 'r', InPlaceOut::kOtherSpelling, 0},
          {"resize, a link to the input", 'r', InPlaceOut::kLink, 0},
          {"resize, a relative link in another directory", 'r', InPlaceOut::kFarLink, 0},
          {"resize, same path, disk full", 'r', InPlaceOut::kSame, 2000},
          {"resize, a link to the input, disk full", 'r', InPlaceOut::kLink, 2000},
          {"resize, a second hard link", 'r', InPlaceOut::kHardLink, 0},
      },
      {{'r', 06755, 1234, 4321}, {'r', 0444, 0, 0}});
  if (HasFatalFailure()) return;

#if defined(__linux__)
  // A call killed at any moment: the input is whole, old or new, and no new
  // file is left beside it (it has no name until it replaces the input).
  const Bytes original = picture(24, 600, 400);
  std::mt19937 rng(20261209);
  if (GetParam().module_path != nullptr) (void)module_export(GetParam());  // loaded before the fork
  // The replacement is the output file's, the set only how soon the pixels
  // come: the module route is killed 12 times, a set route 4.
  const int kills = GetParam().module_path != nullptr ? 12 : 4;
  for (int k = 0; k < kills; ++k) {
    ++cases;
    write_file(input, original);
    const std::vector<std::string> names = list_dir(dir);
    pid_t child = quiet_fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
      std::wstring wide = widen(input);
      _exit(run_resize(GetParam(), wide.c_str(), wide.c_str(), 3000, 2000) == VORLIN_RESIZE_OK ? 0
                                                                                             : 1);
    }
    usleep(static_cast<useconds_t>(std::uniform_int_distribution<int>(0, 60000)(rng)));
    kill(child, SIGKILL);
    waitpid(child, nullptr, 0);
    SCOPED_TRACE("killed run " + std::to_string(k));
    EXPECT_EQ(list_dir(dir), names) << "something was left beside the input";
    const Bytes now = read_file(input);
    EXPECT_TRUE(now == original || now.size() == 54 + 3000u * 3 * 2000) << now.size();
  }
#endif
}

// Another program replaces the input between the read and the write: the
// input's own path then names a file the call never read, which is left as
// it is rather than truncated and overwritten. The output file's own check,
// once, with each module's picture.
TEST_F(BadInput, AnInputReplacedBeforeTheWriteIsLeftAsItIs) {
  const Bytes pictures[] = {picture(24, 4, 4), picture(8, 40, 40)};
  for (int k = 0; k < 2; ++k) {
    ++cases;
    SCOPED_TRACE(k == 0 ? "replaced meanwhile, r" : "replaced meanwhile, e");
    write_file(input, pictures[k]);
    const Bytes other = pictures[1 - k];
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
    EXPECT_EQ(list_dir(dir), (std::vector<std::string>{"a-directory", "in.bmp"}));
  }
}

TEST_P(ScaleBadInput, AnInPlaceCallRacedByALinkSwapReplacesNoOtherFile) {
  check_link_swap_race({{"resize, root", 'r', false}, {"resize, an unprivileged victim", 'r', true}});
}

TEST_P(ScaleBadInput, EveryLineIsOutWhenTheStatusComesBack) {
  const std::wstring in = widen(input), out = widen(output), none = widen(dir + "/none.bmp");
  check_lines_out_on_return({
      {"resize", [&] { return run_resize(GetParam(), in.c_str(), out.c_str(), 3, 3); }},
      {"resize, error", [&] { return run_resize(GetParam(), none.c_str(), out.c_str(), 3, 3); }},
  });
}

INSTANTIATE_TEST_SUITE_P(Routes, ScaleBadInput, ::testing::ValuesIn(resize_routes(VORLINSCALE_PATH)),
                         route_test_name);

}  // namespace
