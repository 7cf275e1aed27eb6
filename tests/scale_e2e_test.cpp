// BMPResizers end to end, loaded with dlopen as a host loads it and with each
// kernel set in turn: status codes, the exact text on each stream, and the
// bytes of the written file.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "export_calls.h"
#include "test_support.h"
#include "vorlin/vorlin.h"

#if defined(_WIN32)
#include <windows.h>
#endif

namespace {

// Every case by every route: the module as a host loads it, and each
// kernel set this CPU has.
class ResizeExport : public ::testing::TestWithParam<ExportRoute> {
 protected:
  ExportCall resize(const std::string& in, const std::string& out, int32_t width, int32_t height) {
    return call_resize(GetParam(), in, out, width, height);
  }
  ExportCall resize(const std::wstring* in, const std::wstring* out, int32_t width,
                    int32_t height) {
    return call_resize(GetParam(), in != nullptr ? in->c_str() : nullptr,
                       out != nullptr ? out->c_str() : nullptr, width, height);
  }

  std::string dir = make_temp_dir();
  std::string input = dir + "/in.bmp";
  std::string output = dir + "/out.bmp";

  Bytes make_input(int32_t width, int32_t height, uint16_t bits, uint32_t colors_used = 0) {
    BmpFields f;
    f.width = width;
    f.height = height;
    f.bits_per_pixel = bits;
    f.colors_used = colors_used;
    size_t entries = bits > 8 ? 0 : colors_used != 0 ? colors_used : bits == 2 ? 4 : 256;
    Bytes bmp = build_bmp(f, random_bytes(entries * 4, 99),
                          random_bytes(test_row_size(width, bits) * height, bits + width));
    write_file(input, bmp);
    return bmp;
  }
};

TEST_P(ResizeExport, SuccessPrintsThreeLinesAndCopiesAtTheSameSize) {
  const uint16_t depths[] = {2, 8, 16, 24, 32};
  for (uint16_t bits : depths) {
    Bytes bmp = make_input(6, 4, bits, bits == 8 ? 16 : 0);
    ExportCall call = resize(input, output, 6, 4);
    EXPECT_EQ(call.status, VORLIN_RESIZE_OK) << bits;
    std::string depth = std::to_string(bits);
    EXPECT_EQ(call.out, "Loaded: " + input + " (6x4, " + depth + "-bit)\n" +
                                     "Resizing to: 6x4\n" + "Saved: " + output + " (6x4, " +
                                     depth + "-bit)\n");
    EXPECT_EQ(call.err, "");
    Bytes written = read_file(output);
    // Same size: every pixel copied; padding bytes of the output are 0.
    size_t stride = test_row_size(6, bits), used = (6 * bits + 7) / 8;
    uint32_t in_offset = get_le32(bmp, 10), out_offset = get_le32(written, 10);
    ASSERT_EQ(written.size(), out_offset + stride * 4);
    for (size_t row = 0; row < 4; ++row) {
      for (size_t i = 0; i < stride; ++i) {
        uint8_t want = i < used ? bmp[in_offset + row * stride + i] : 0;
        if (bits == 2 && i == used - 1) want &= 0xF0;  // pixels 4 and 5 only
        ASSERT_EQ(written[out_offset + row * stride + i], want) << bits << " row " << row;
      }
    }
  }
}

TEST_P(ResizeExport, EachFailureHasItsStatusAndMessage) {
  make_input(4, 4, 24);
  write_file(dir + "/bad.bmp", Bytes{'B', 'A', 0, 0});
  const std::string long_name = dir + "/" + std::string(200, 'x');
  struct Case {
    std::string in, out;
    int32_t width, height;
    int32_t status;
    std::string out_text, err_text;
  };
  const std::string loaded = "Loaded: " + input + " (4x4, 24-bit)\nResizing to: ";
  const Case cases[] = {
      {input, output, 0, 5, 1, "", "Error: Width and height must be positive integers\n"},
      {input, output, 5, -3, 1, "", "Error: Width and height must be positive integers\n"},
      {long_name, output, 0, 1, 1, "", "Error: Width and height must be positive integers\n"},
      {dir + "/none.bmp", output, 2, 2, 2, "",
       "Error: Could not open input file '" + dir + "/none.bmp'\n"},
      {dir + "/bad.bmp", output, 2, 2, 2, "", "Error: Not a valid BMP file (magic: 0x4142)\n"},
      {long_name, output, 2, 2, 2, "", "Error: Input path is too long\n"},
      {input, long_name, 2, 2, 4, "", "Error: Output path is too long\n"},
      {input, dir + "/no/out.bmp", 2, 2, 4, loaded + "2x2\n",
       "Error: Could not open output file '" + dir + "/no/out.bmp'\n"},
      {input, "/dev/full", 2, 2, 4, loaded + "2x2\n",  // fits the stream buffer: fails at close
       "Error: Could not write output file '/dev/full'\n"},
      {input, "/dev/full", 900, 900, 4, loaded + "900x900\n",
       "Error: Could not write output file '/dev/full'\n"},
      {input, output, 2147483647, 2147483647, 3, loaded + "2147483647x2147483647\n",
       "Error: Memory allocation failed for image data\n"},
  };
  for (const Case& c : cases) {
    ExportCall call = resize(c.in, c.out, c.width, c.height);
    EXPECT_EQ(call.status, c.status) << c.in << " -> " << c.out;
    EXPECT_EQ(call.out, c.out_text) << c.in << " -> " << c.out;
    EXPECT_EQ(call.err, c.err_text) << c.in << " -> " << c.out;
    EXPECT_FALSE(file_exists(output));
    EXPECT_FALSE(file_exists(long_name));
  }
}

TEST_P(ResizeExport, NullPathsActAsEmptyPaths) {
  make_input(2, 2, 8);
  std::wstring out = widen(output);
  ExportCall call = resize(nullptr, &out, 1, 1);
  EXPECT_EQ(call.status, VORLIN_RESIZE_LOAD_FAILED);
  EXPECT_EQ(call.err, "Error: Could not open input file ''\n");

  std::wstring in = widen(input);
  call = resize(&in, nullptr, 1, 1);
  EXPECT_EQ(call.status, VORLIN_RESIZE_SAVE_FAILED);
  EXPECT_EQ(call.err, "Error: Could not open output file ''\n");
}

TEST_P(ResizeExport, NonAsciiPathsReachTheFileSystemAsUtf8) {
  const std::string name = dir + "/\xC3\xA9t\xC3\xA9-\xE2\x82\xAC.bmp";
#if defined(_WIN32)
  // The module sees and prints the name in the ANSI code page.
  if (GetACP() != 1252) GTEST_SKIP() << "expected name is for ANSI code page 1252";
  const std::string printed = dir + "/\xE9t\xE9-\x80.bmp";
#else
  const std::string printed = name;
#endif
  BmpFields f;
  f.width = 2;
  f.height = 2;
  write_file(name, build_bmp(f, {}, random_bytes(16, 1)));
  ExportCall call = resize(name, output, 4, 4);
  EXPECT_EQ(call.status, VORLIN_RESIZE_OK);
  EXPECT_EQ(call.out.rfind("Loaded: " + printed + " (2x2, 24-bit)\n", 0), 0u);
  EXPECT_TRUE(file_exists(output));
}

TEST_P(ResizeExport, AnOutputNamingTheInputIsReplacedByTheResult) {
  // Written beside the input and moved over it once complete: the result is
  // the one a separate output gets, and nothing else is left in the folder.
  for (uint16_t bits : {8, 24}) {
    make_input(5, 3, bits);
    ASSERT_EQ(resize(input, output, 9, 4).status, VORLIN_RESIZE_OK);
    Bytes separate = read_file(output);
    remove(output.c_str());
    for (const std::string& same : {input, dir + "/./in.bmp"}) {
      const std::string before = file_identity(input);
      ASSERT_FALSE(before.empty());
      ExportCall call = resize(input, same, 9, 4);
      EXPECT_NE(file_identity(input), before) << "written into the input itself";
      EXPECT_EQ(call.status, VORLIN_RESIZE_OK) << same;
      EXPECT_EQ(call.err, "");
      EXPECT_EQ(read_file(input), separate) << same;
      EXPECT_EQ(list_dir(dir), std::vector<std::string>{"in.bmp"});
      make_input(5, 3, bits);
    }
  }
}

TEST_P(ResizeExport, PaletteAndDepthCarryThroughAResize) {
  Bytes bmp = make_input(5, 3, 8, 16);
  ExportCall call = resize(input, output, 10, 7);
  ASSERT_EQ(call.status, VORLIN_RESIZE_OK);
  Bytes written = read_file(output);
  EXPECT_EQ(get_le32(written, 10), 118u);
  EXPECT_EQ(get_le32(written, 18), 10u);
  EXPECT_EQ(get_le32(written, 22), 7u);
  EXPECT_EQ(get_le16(written, 28), 8u);
  EXPECT_EQ(get_le32(written, 46), 16u);
  EXPECT_EQ(Bytes(written.begin() + 54, written.begin() + 118),
            Bytes(bmp.begin() + 54, bmp.begin() + 118));
  // Output pixel (j, i) is source pixel (j / 2, i * 3 / 7).
  for (int i = 0; i < 7; ++i)
    for (int j = 0; j < 10; ++j)
      ASSERT_EQ(written[118 + i * 12 + j], bmp[118 + (i * 3 / 7) * 8 + j / 2]) << j << "," << i;
}

INSTANTIATE_TEST_SUITE_P(Routes, ResizeExport, ::testing::ValuesIn(resize_routes(VORLINSCALE_PATH)),
                         route_test_name);

}  // namespace
