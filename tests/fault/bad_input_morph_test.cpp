// BMPErosion given hostile inputs and I/O faults, by every route: a full
// device, directories where files belong, missing directories, one path for
// input and output, truncation at every byte, impossible sizes, palette
// counts, pixel offsets, and every depth it does not take. Each gets its
// message and status, and the input file is never changed, except that a
// successful call whose output path is its input path replaces the input
// with its result.
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
#include "export_calls.h"
#include "test_support.h"
#include "vorlin/vorlin.h"

namespace {

class MorphBadInput : public RoutedBadInput {};

struct ErodeCase {
  const char* name;
  Bytes file;
  const char* input;    // "file" or "dir"
  const char* output;   // "file", "full", "dir", "missing", "same"
  int32_t passes;
  const char* tail;     // the end of standard output; {in} and {out} are the paths
  bool output_left;     // a partial output file is left by design
};

TEST_P(MorphBadInput, ErosionRowsGetTheirMessageAndKeepTheInput) {
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
    ExportCall run = erode(in, out, row.passes);
    EXPECT_EQ(run.status, VORLIN_ERODE_FAILED);
    std::string tail = fill(row.tail, in, out);
    EXPECT_TRUE(ends_with(run.out, tail)) << run.out << "--- should end with ---\n" << tail;
    EXPECT_EQ(run.out.find("Erosion complete!"), std::string::npos);
    EXPECT_EQ(run.err, "");
    EXPECT_EQ(read_file(input), before) << "the input changed";
    EXPECT_EQ(file_exists(output), row.output_left);
  }
}

TEST_P(MorphBadInput, ErosionSamePathSuccessReplacesTheInputWithTheResult) {
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

TEST_P(MorphBadInput, ErosionIgnoresThePaletteAndHonoursThePixelOffset) {
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
    ExportCall run = erode(input, output, 1);
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

TEST_P(MorphBadInput, ErosionRefusesEveryOtherDepth) {
  write_file(input, picture(8, 2, 2));
  const std::wstring in = widen(input), out = widen(output);
  std::string want;
  // A depth is refused before any kernel runs: the module route sweeps
  // every one, a set route the first 65 and every 61st after them.
  const uint32_t step = GetParam().module_path != nullptr ? 1 : 61;
  begin_capture();
  for (uint32_t bits = 0; bits <= 0xFFFF; bits += bits < 64 ? 1 : step) {
    if (bits == 8 || bits == 24) continue;
    patch_file(input, 28, bits, 2);
    if (run_erode(GetParam(), in.c_str(), out.c_str(), 1) != 1) want += "status!";
    want += "=== Bitmap Erosion Application (eVC 3.0 Safe) ===\n\nLoading: " + input +
            "\nError: Only 8-bit (grayscale) and 24-bit (RGB) BMP supported\n";
    ++cases;
  }
  Captured c = end_capture();
  EXPECT_TRUE(c.out == want) << "standard output differs";
  EXPECT_EQ(c.err, "");
  EXPECT_FALSE(file_exists(output));
}

TEST_P(MorphBadInput, ErosionTruncatedFileNamesTheMissingPart) {
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
      ExportCall run = erode(input, output, 1);
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

TEST_P(MorphBadInput, PipesAndInterruptedReadsGiveWhatTheFileGives) {
  check_pipes({
      {"8 bits, 256 colours skipped", 'e', picture(8, 5, 3), false},
      {"24 bits, 108-byte header and a gap", 'e', with_header(24, 108, 5), false},
      {"24 bits, larger than a pipe holds", 'e', picture(24, 200, 120), false},
      {"8 bits, a result larger than a pipe holds", 'e', picture(8, 600, 300), false},
      {"8 bits, cut in a row", 'e', cut_end(picture(8, 5, 3), 3), false},
      {"24 bits, offset beyond the end", 'e', picture(24, 4, 2, 0, 5000), false},
      {"8 bits, offset inside the palette, ahead", 'e', picture(8, 4, 3, 0, 60), false},
      {"24 bits, offset inside the headers", 'e', picture(24, 4, 3, 0, 30), true},
  });
}

TEST_P(MorphBadInput, AnOutputNamingTheInputReplacesItOnlyWhenComplete) {
  check_in_place(
      {
          {"erode, same path", 'e', InPlaceOut::kSame, 0},
          {"erode, a link to the input", 'e', InPlaceOut::kLink, 0},
          {"erode, same path, disk full", 'e', InPlaceOut::kSame, 1200},
          {"erode, a link to the input, disk full", 'e', InPlaceOut::kFarLink, 1200},
      },
      {{'e', 0640, 1234, 4321}, {'e', 02711, 0, 4321}});
}

TEST_P(MorphBadInput, AnInPlaceCallRacedByALinkSwapReplacesNoOtherFile) {
  check_link_swap_race({{"erode, root", 'e', false}, {"erode, an unprivileged victim", 'e', true}});
}

TEST_P(MorphBadInput, EveryLineIsOutWhenTheStatusComesBack) {
  const std::wstring in = widen(input), out = widen(output), none = widen(dir + "/none.bmp");
  check_lines_out_on_return({
      {"erode", [&] { return run_erode(GetParam(), in.c_str(), out.c_str(), 2); }},
      {"erode, error", [&] { return run_erode(GetParam(), none.c_str(), out.c_str(), 2); }},
  });
}

INSTANTIATE_TEST_SUITE_P(Routes, MorphBadInput, ::testing::ValuesIn(erode_routes(VORLINMORPH_PATH)),
                         route_test_name);

}  // namespace
