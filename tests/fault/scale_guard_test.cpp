// The resizer's guards that no file can reach through BMPResizers, because
// an earlier step already refuses what they refuse: they still hold when
// their functions are called directly.
#include <gtest/gtest.h>

#include <cstdlib>
#include <string>

#include "bmp_io.h"
#include "raster_image.h"
#include "resample_fast.h"
#include "resample_reference.h"
#include "test_support.h"

namespace {

TEST(ScaleGuards, SaveRefusesAnImageTooLargeForItsSizeFieldsBeforeOpening) {
  // 70000 x 70000 at 8 bits: the pixel array alone is over 4 GiB. The guard
  // comes first, so no pixel array is needed to show it.
  RasterImage image = {nullptr, 70000, 70000, 8, nullptr, 0};
  EXPECT_EQ(bmp_file_size(&image), -1);
  std::string path = make_temp_dir() + "/never.bmp";
  begin_capture();
  bool saved = save_bmp(&image, path.c_str());
  Captured c = end_capture();
  EXPECT_FALSE(saved);
  EXPECT_EQ(c.err, "Error: Could not write output file '" + path + "'\n");
  EXPECT_FALSE(file_exists(path));

  // A negative palette count never describes a file.
  RasterImage odd = {nullptr, 1, 1, 8, nullptr, -1};
  EXPECT_EQ(bmp_file_size(&odd), -1);
}

TEST(ScaleGuards, BlendClampsFractionsOutsideTheUnitInterval) {
  // Resampling only passes fractions in [0, 1); the blend still clamps each
  // channel to 0..255 for any fraction it is given.
  EXPECT_EQ(blend_bilinear_24(0x000000u, 0xFFFFFFu, 0, 0, 2.0, 0.0), 0xFFFFFFu);  // 510 -> 255
  EXPECT_EQ(blend_bilinear_24(0xFFFFFFu, 0xFFFFFFu, 0, 0, 0.0, -1.0), 0xFFFFFFu);
  EXPECT_EQ(blend_bilinear_24(0x000000u, 0xFFFFFFu, 0, 0, -1.0, 0.0), 0u);  // -255 -> 0
  EXPECT_EQ(blend_bilinear_32(0u, 0xFFFFFFFFu, 0, 0, 2.0, 0.0), 0xFFFFFFFFu);
  EXPECT_EQ(blend_bilinear_32(0u, 0xFFFFFFFFu, 0, 0, -1.0, 0.0), 0u);
}

TEST(ScaleGuards, APaletteWithoutEntriesIsNotCopied) {
  PaletteEntry entry = {1, 2, 3, 0};
  uint8_t pixels[4] = {7, 7, 7, 7};
  RasterImage source = {pixels, 4, 1, 8, &entry, 0};
  begin_capture();
  RasterImage* result = resample_image(&source, 2, 1);
  end_capture();
  ASSERT_NE(result, nullptr);
  EXPECT_EQ(result->palette, nullptr);
  EXPECT_EQ(result->palette_count, 0);
  EXPECT_EQ(result->pixels[0], 7);
  free_image(result);
}

}  // namespace
