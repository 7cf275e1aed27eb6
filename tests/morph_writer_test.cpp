// The grayscale writer: every header number, the gray palette, row order and
// padding, and each way the file can fail to be written.
#include <gtest/gtest.h>

#include <string>

#include "gray_bmp_writer.h"
#include "gray_image.h"
#include "test_support.h"

namespace {

struct SaveResult {
  bool ok;
  std::string out;
};

SaveResult save(const GrayImage* image, const std::string& path) {
  begin_capture();
  bool ok = save_gray_bmp(image, path.c_str());
  Captured captured = end_capture();
  EXPECT_EQ(captured.err, "");
  return {ok, captured.out};
}

class GrayWriter : public ::testing::Test {
 protected:
  std::string dir = make_temp_dir();
  std::string path = dir + "/out.bmp";
};

TEST_F(GrayWriter, WritesHeadersPaletteAndPaddedRowsBottomUp) {
  struct Case {
    int32_t width, height;
    uint32_t row_bytes;
  };
  const Case cases[] = {{5, 2, 8}, {4, 3, 4}, {1, 1, 4}, {7, 1, 8}, {6, 5, 8}, {8, 2, 8}};
  for (const Case& c : cases) {
    GrayImage* image = new_gray_image(c.width, c.height);
    for (int32_t y = 0; y < c.height; ++y) {
      for (int32_t x = 0; x < c.width; ++x) {
        set_gray(image, x, y, 16 * y + x + 1);
      }
    }
    SaveResult r = save(image, path);
    std::string name = std::to_string(c.width) + "x" + std::to_string(c.height);
    EXPECT_EQ(r.ok, 1) << name;
    EXPECT_EQ(r.out, "Successfully saved BMP: " + path + " (" + name +
                         ", row_size=" + std::to_string(c.row_bytes) + ")\n");
    Bytes file = read_file(path);
    uint32_t image_size = c.row_bytes * static_cast<uint32_t>(c.height);
    ASSERT_EQ(file.size(), image_size + 1078u) << name;
    const uint32_t header[][3] = {// offset, size, value
                                  {0, 2, 0x4D42},
                                  {2, 4, image_size + 1078},
                                  {6, 2, 0},
                                  {8, 2, 0},
                                  {10, 4, 1078},
                                  {14, 4, 40},
                                  {18, 4, static_cast<uint32_t>(c.width)},
                                  {22, 4, static_cast<uint32_t>(c.height)},
                                  {26, 2, 1},
                                  {28, 2, 8},
                                  {30, 4, 0},
                                  {34, 4, image_size},
                                  {38, 4, 2835},
                                  {42, 4, 2835},
                                  {46, 4, 256},
                                  {50, 4, 0}};
    for (const auto& h : header) {
      uint32_t got = h[1] == 2 ? get_le16(file, h[0]) : get_le32(file, h[0]);
      EXPECT_EQ(got, h[2]) << name << " offset " << h[0];
    }
    for (uint32_t i = 0; i < 256; ++i) {
      ASSERT_EQ(
          Bytes(file.begin() + 54 + 4 * i, file.begin() + 58 + 4 * i),
          (Bytes{static_cast<uint8_t>(i), static_cast<uint8_t>(i), static_cast<uint8_t>(i), 0}))
          << "palette entry " << i;
    }
    for (int32_t s = 0; s < c.height; ++s) {
      int32_t y = c.height - 1 - s;  // the first stored row is the bottom one
      for (uint32_t i = 0; i < c.row_bytes; ++i) {
        uint8_t want =
            i < static_cast<uint32_t>(c.width) ? static_cast<uint8_t>(16 * y + i + 1) : 0;
        ASSERT_EQ(file[1078 + s * c.row_bytes + i], want) << name << " stored row " << s;
      }
    }
    free_gray_image(image);
  }
}

TEST_F(GrayWriter, TheSizeCheckStopsJustBeforeTheFileSizeWouldWrap) {
  // R x H + 1078 must fit 32 bits: for width 4, H = 1073741554 is the last.
  EXPECT_EQ(gray_bmp_file_size(4, 1073741554), 4294967294LL);
  EXPECT_EQ(gray_bmp_file_size(4, 1073741555), -1);
  EXPECT_EQ(gray_bmp_file_size(1, INT32_MAX), -1);
  EXPECT_EQ(gray_bmp_file_size(INT32_MAX, 2), -1);
  EXPECT_EQ(gray_bmp_file_size(5, 2), 1094);

  // A one-pixel-wide image of 2^31 - 1 rows fits a 32-bit pixel block but
  // not a BMP: refused before the file is opened, pixels never touched.
  GrayImage tall = {nullptr, 1, INT32_MAX};
  SaveResult r = save(&tall, path);
  EXPECT_EQ(r.ok, 0);
  EXPECT_EQ(r.out, "Error: Image too large for a BMP file\n");
  EXPECT_FALSE(file_exists(path));
}

TEST_F(GrayWriter, ReportsFilesThatCannotBeCreatedOrWritten) {
  struct Case {
    std::string path;
    int32_t width, height;
    std::string expected;
  };
  std::string nowhere = dir + "/no/such/dir/out.bmp";
  const Case cases[] = {
      {nowhere, 2, 2, "Error: Cannot create output file '" + nowhere + "'\n"},
      {dir, 2, 2, "Error: Cannot create output file '" + dir + "'\n"},
      // Fits the stream buffer: every fwrite succeeds, the flush fails.
      {"/dev/full", 2, 2, "Error: Cannot write output file '/dev/full'\n"},
      // Larger than the buffer: a row write comes back short.
      {"/dev/full", 300, 300, "Error: Cannot write pixel data\n"},
  };
  for (const Case& c : cases) {
    GrayImage* image = new_gray_image(c.width, c.height);
    SaveResult r = save(image, c.path);
    EXPECT_EQ(r.ok, 0) << c.path;
    EXPECT_EQ(r.out, c.expected) << c.path;
    free_gray_image(image);
  }
}

}  // namespace
