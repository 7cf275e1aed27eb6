// BMPErosion end to end, loaded with dlopen as a host loads it and with each
// kernel set in turn: status codes, the whole text a call prints, and the
// bytes of the written file.
#include <gtest/gtest.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "export_calls.h"
#include "test_support.h"
#include "vorlin/vorlin.h"

namespace {

const char* const kBanner = "=== Bitmap Erosion Application (eVC 3.0 Safe) ===\n\n";

// Every case by every route: the module as a host loads it, and each
// kernel set this CPU has.
class ErosionExport : public ::testing::TestWithParam<ExportRoute> {
 protected:
  ExportCall erode(const std::string& in, const std::string& out, int32_t passes) {
    return call_erode(GetParam(), in, out, passes);
  }
  ExportCall erode(const std::wstring* in, const std::wstring* out, int32_t passes) {
    return call_erode(GetParam(), in != nullptr ? in->c_str() : nullptr,
                      out != nullptr ? out->c_str() : nullptr, passes);
  }

  std::string dir = make_temp_dir();
  std::string input = dir + "/in.bmp";
  std::string output = dir + "/out.bmp";

  // 7x7 24-bit picture, white except one black pixel at the centre (3, 3).
  void write_dot_input() {
    BmpFields f;
    f.width = 7;
    f.height = 7;
    f.bits_per_pixel = 24;
    Bytes pixels(test_row_size(7, 24) * 7, 0);
    for (size_t s = 0; s < 7; ++s) {
      for (size_t i = 0; i < 21; ++i) {
        pixels[s * 24 + i] = (s == 3 && i / 3 == 3) ? 0 : 250;
      }
    }
    write_file(input, build_bmp(f, {}, pixels));
  }

  std::string loader_lines() const {
    return "Loading: " + input + "\n" + "Loading: width=7, height=7, bits=24, offset=54\n" +
           "Processing: bits_per_pixel=24, row_size=24\n" +
           "Successfully loaded BMP: 7x7 (row_size=24, bits=24)\n";
  }
};

TEST_P(ErosionExport, ThreePassesPrintEveryStepAndGrowTheDotIntoADiamond) {
  write_dot_input();
  ExportCall call = erode(input, output, 3);
  EXPECT_EQ(call.status, VORLIN_ERODE_OK);
  EXPECT_EQ(call.out, std::string(kBanner) + loader_lines() +
                                   "Applying 3 erosion pass(es)...\n" + "  Pass 1 complete\n" +
                                   "  Pass 2 complete\n" + "  Pass 3 complete\n" + "Saving: " +
                                   output + "\n" + "Successfully saved BMP: " + output +
                                   " (7x7, row_size=8)\n" + "Erosion complete!\n");
  EXPECT_EQ(call.err, "");

  Bytes file = read_file(output);
  ASSERT_EQ(file.size(), 1078u + 8 * 7);
  EXPECT_EQ(get_le32(file, 2), 1078u + 8 * 7);
  EXPECT_EQ(get_le32(file, 18), 7u);
  EXPECT_EQ(get_le32(file, 22), 7u);
  // Three passes reach every interior pixel within three steps of the dot;
  // the border is never changed.
  for (int s = 0; s < 7; ++s) {
    for (int i = 0; i < 8; ++i) {
      int x = i, y = 6 - s;
      bool interior = x >= 1 && x <= 5 && y >= 1 && y <= 5;
      uint8_t want = i >= 7 ? 0 : (interior && std::abs(x - 3) + std::abs(y - 3) <= 3) ? 0 : 255;
      ASSERT_EQ(file[1078 + 8 * s + i], want) << "x " << x << " y " << y;
    }
  }
}

TEST_P(ErosionExport, PassesOutsideOneToHundredAreRejectedAfterTheBanner) {
  write_dot_input();
  const int32_t rejected[] = {0, 101, -1, INT32_MIN, INT32_MAX};
  for (int32_t passes : rejected) {
    ExportCall call = erode(input, output, passes);
    EXPECT_EQ(call.status, VORLIN_ERODE_FAILED) << passes;
    EXPECT_EQ(call.out,
              std::string(kBanner) + "Error: Erosion passes must be between 1 and 100\n");
    EXPECT_FALSE(file_exists(output)) << passes;
  }
  const int32_t accepted[] = {1, 100};
  for (int32_t passes : accepted) {
    ExportCall call = erode(input, output, passes);
    EXPECT_EQ(call.status, VORLIN_ERODE_OK) << passes;
    std::string last = "  Pass " + std::to_string(passes) + " complete\n";
    EXPECT_NE(call.out.find(last), std::string::npos) << passes;
    EXPECT_EQ(call.out.substr(call.out.size() - 18), "Erosion complete!\n");
    EXPECT_TRUE(file_exists(output));
  }
}

TEST_P(ErosionExport, AnOutputNamingTheInputIsReplacedByTheResult) {
  write_dot_input();
  ASSERT_EQ(erode(input, output, 2).status, VORLIN_ERODE_OK);
  Bytes separate = read_file(output);
  remove(output.c_str());
  const std::string before = file_identity(input);
  ASSERT_FALSE(before.empty());
  ExportCall call = erode(input, input, 2);
  EXPECT_EQ(call.status, VORLIN_ERODE_OK);
  EXPECT_NE(file_identity(input), before) << "written into the input itself";
  EXPECT_EQ(read_file(input), separate);
  EXPECT_EQ(list_dir(dir), std::vector<std::string>{"in.bmp"});
}

TEST_P(ErosionExport, FailuresPrintTheirReasonAndReturnOne) {
  write_dot_input();
  std::string missing = dir + "/missing.bmp";
  std::string long_name = dir + "/" + std::string(200, 'n') + ".bmp";
  std::string saving_prefix = std::string(kBanner) + loader_lines() +
                              "Applying 1 erosion pass(es)...\n  Pass 1 complete\nSaving: ";
  struct Case {
    std::string in, out;
    int32_t passes;
    std::string expected;
  };
  const Case cases[] = {
      {missing, output, 1,
       std::string(kBanner) + "Loading: " + missing + "\nError: Cannot open file '" + missing +
           "'\n"},
      {long_name, output, 1, std::string(kBanner) + "Error: Input path is too long\n"},
      {input, long_name, 1, std::string(kBanner) + "Error: Output path is too long\n"},
      {long_name, long_name, 0,
       std::string(kBanner) + "Error: Erosion passes must be between 1 and 100\n"},
      {input, "/dev/full", 1,
       saving_prefix + "/dev/full\nError: Cannot write output file '/dev/full'\n"},
      {input, dir + "/no/dir/out.bmp", 1,
       saving_prefix + dir + "/no/dir/out.bmp\nError: Cannot create output file '" + dir +
           "/no/dir/out.bmp'\n"},
  };
  for (const Case& c : cases) {
    ExportCall call = erode(c.in, c.out, c.passes);
    EXPECT_EQ(call.status, VORLIN_ERODE_FAILED) << c.in << " -> " << c.out;
    EXPECT_EQ(call.out, c.expected);
    EXPECT_EQ(call.err, "");
    EXPECT_FALSE(file_exists(output));
  }

  // A null path reads as the empty path, which cannot be opened.
  std::wstring win = widen(input), wout = widen(output);
  ExportCall call = erode(nullptr, &wout, 1);
  EXPECT_EQ(call.status, VORLIN_ERODE_FAILED);
  EXPECT_EQ(call.out, std::string(kBanner) + "Loading: \nError: Cannot open file ''\n");
  call = erode(&win, nullptr, 1);
  EXPECT_EQ(call.status, VORLIN_ERODE_FAILED);
  EXPECT_EQ(call.out, saving_prefix + "\nError: Cannot create output file ''\n");
}

INSTANTIATE_TEST_SUITE_P(Routes, ErosionExport, ::testing::ValuesIn(erode_routes(VORLINMORPH_PATH)),
                         route_test_name);

}  // namespace
