// RasterImage: row bytes, per-depth layout and bounds, the blends' grouping and
// truncation, and where the resampler takes its samples.
#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>

#include "raster_image.h"
#include "resample_fast.h"
#include "resample_reference.h"
#include "test_support.h"

namespace {

// A zero-filled image owned by the test; release with free_image.
RasterImage* blank_image(int32_t width, int32_t height, uint16_t bits, int32_t palette_count = 0) {
  RasterImage* image = static_cast<RasterImage*>(malloc(sizeof(RasterImage)));
  image->width = width;
  image->height = height;
  image->bits_per_pixel = bits;
  size_t size = static_cast<size_t>(bmp_row_bytes(width, bits)) * static_cast<size_t>(height);
  image->pixels = static_cast<uint8_t*>(calloc(size == 0 ? 1 : size, 1));
  image->palette = nullptr;
  image->palette_count = palette_count;
  if (palette_count > 0) {
    image->palette = static_cast<PaletteEntry*>(calloc(palette_count, sizeof(PaletteEntry)));
    for (int32_t i = 0; i < palette_count; ++i) {
      image->palette[i] = {static_cast<uint8_t>(i), static_cast<uint8_t>(255 - i),
                           static_cast<uint8_t>(i * 7), 0};
    }
  }
  return image;
}

size_t byte_count(const RasterImage* image) {
  return static_cast<size_t>(bmp_row_bytes(image->width, image->bits_per_pixel)) *
         static_cast<size_t>(image->height);
}

TEST(RowSize, RoundsRowBitsUpToWholeWords) {
  struct Case {
    int32_t width;
    uint16_t bits;
    int64_t expected;
  };
  const Case cases[] = {
      {1, 2, 4},
      {5, 2, 4},
      {16, 2, 4},
      {17, 2, 8},
      {1, 8, 4},
      {4, 8, 4},
      {5, 8, 8},
      {1, 16, 4},
      {3, 16, 8},
      {1, 24, 4},
      {3, 24, 12},
      {4, 24, 12},
      {5, 24, 16},
      {1, 32, 4},
      {7, 32, 28},
      {0, 24, 0},
      {2147483647, 32, 8589934588LL},  // no 32-bit wrap for the widest row
  };
  for (const Case& c : cases) {
    EXPECT_EQ(bmp_row_bytes(c.width, c.bits), c.expected) << c.width << "x" << c.bits;
  }
}

TEST(RowSize, PixelArraySizeRefusesNegativeAndOversizedImages) {
  struct Case {
    int32_t width, height;
    uint16_t bits;
    int64_t expected;
  };
  const Case cases[] = {
      {3, 2, 24, 24},
      {-4, -4, 8, -1},  // negative times negative would look positive
      {-4, 4, 8, -1},
      {4, -4, 8, -1},
      {65536, 65535, 8, 65536LL * 65535},  // just under 4 GiB
      {65536, 65536, 8, -1},               // exactly 4 GiB does not fit
      {2147483647, 2147483647, 32, -1},
      {0, 5, 8, 0},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(pixel_array_size(c.width, c.height, c.bits), c.expected)
        << c.width << "x" << c.height << "x" << c.bits;
  }
}

TEST(PixelAccess, EachDepthStoresItsValueAtItsBytes) {
  struct Case {
    uint16_t bits;
    uint32_t value;      // written at (1, 1) of a 3x2 image
    uint32_t read_back;  // what the depth keeps of it
    size_t offset;       // first byte of the pixel
    Bytes bytes;         // the bytes there
  };
  const Case cases[] = {
      {32, 0x11223344u, 0x11223344u, 12 + 4, {0x44, 0x33, 0x22, 0x11}},
      {24, 0xAA112233u, 0x00112233u, 12 + 3, {0x33, 0x22, 0x11}},
      {16, 0xFFFFABCDu, 0xABCDu, 8 + 2, {0xCD, 0xAB}},
      {8, 0x1FFu, 0xFFu, 4 + 1, {0xFF}},
      {2, 0x7u, 0x3u, 4 + 0, {0x30}},  // pixel 1 of its byte: bits 4 and 5
  };
  for (const Case& c : cases) {
    RasterImage* image = blank_image(3, 2, c.bits);
    set_pixel(image, 1, 1, c.value);
    EXPECT_EQ(get_pixel(image, 1, 1), c.read_back) << c.bits;
    Bytes expected(byte_count(image), 0);
    std::copy(c.bytes.begin(), c.bytes.end(), expected.begin() + c.offset);
    EXPECT_EQ(Bytes(image->pixels, image->pixels + byte_count(image)), expected) << c.bits;
    free_image(image);
  }
}

TEST(PixelAccess, OutsideTheImageReadsZeroAndWritesNothing) {
  const uint16_t depths[] = {2, 8, 16, 24, 32};
  const int32_t positions[][2] = {{3, 0},         {0, 2}, {-1, 0}, {0, -1}, {-2147483647 - 1, 0},
                                  {2147483647, 1}};
  for (uint16_t bits : depths) {
    RasterImage* image = blank_image(3, 2, bits);
    memset(image->pixels, 0xFF, byte_count(image));
    for (const auto& p : positions) {
      EXPECT_EQ(get_pixel(image, p[0], p[1]), 0u) << bits;
      set_pixel(image, p[0], p[1], 0);
    }
    for (size_t i = 0; i < byte_count(image); ++i) {
      ASSERT_EQ(image->pixels[i], 0xFF) << bits << " byte " << i;
    }
    free_image(image);
  }
}

TEST(PixelAccess, TwoBitPixelsPackLeftmostInTheHighBits) {
  RasterImage* image = blank_image(5, 1, 2);
  EXPECT_EQ(bmp_row_bytes(5, 2), 4);
  memset(image->pixels, 0x55, 4);  // every pixel 1
  set_pixel_2(image, 4, 0, 2);
  const Bytes after_pixel4 = {0x55, 0x95, 0x55, 0x55};  // only the second byte's top bits
  EXPECT_EQ(Bytes(image->pixels, image->pixels + 4), after_pixel4);
  set_pixel_2(image, 0, 0, 3);
  set_pixel_2(image, 3, 0, 0);
  EXPECT_EQ(image->pixels[0], 0xD4);
  const uint32_t expected[] = {3, 1, 1, 0, 2};
  for (int32_t x = 0; x < 5; ++x) EXPECT_EQ(get_pixel_2(image, x, 0), expected[x]) << x;
  free_image(image);
}

TEST(PixelAccess, OtherDepthsReadZeroAndWriteNothing) {
  RasterImage* image = blank_image(2, 2, 8);
  memset(image->pixels, 0x77, byte_count(image));
  image->bits_per_pixel = 4;
  EXPECT_EQ(get_pixel(image, 0, 0), 0u);
  set_pixel(image, 0, 0, 1);
  image->bits_per_pixel = 8;
  EXPECT_EQ(get_pixel(image, 0, 0), 0x77u);
  free_image(image);
}

TEST(Blend, KeepsTheDocumentedGroupingAndTruncates) {
  // Values where expanding the products, or blending columns first, gives a
  // different integer: only the documented grouping yields these.
  struct Case {
    uint32_t c00, c10, c01, c11;
    double fx, fy;
    uint32_t expected;
  };
  const Case cases[] = {
      {197, 56, 156, 214, 3.0 / 7.0, 0.1, 140},        // other groupings give 141
      {5, 27, 201, 149, 0.5, 2.0 / 3.0, 121},          // other groupings give 122
      {233, 158, 221, 75, 5.0 / 6.0, 3.0 / 7.0, 140},  // other groupings give 139
      {255, 0, 0, 0, 0.5, 0.0, 127},                   // 127.5 truncated
      {255, 255, 255, 255, 0.3, 0.7, 255},
      {10, 20, 30, 40, 0.0, 0.0, 10},
  };
  for (const Case& c : cases) {
    // The same channel in every position of the 24-bit form.
    auto spread = [](uint32_t v) { return v | v << 8 | v << 16; };
    uint32_t got =
        blend_bilinear_24(spread(c.c00), spread(c.c10), spread(c.c01), spread(c.c11), c.fx, c.fy);
    EXPECT_EQ(got, spread(c.expected)) << c.c00 << "," << c.c10 << "," << c.c01 << "," << c.c11;
  }
}

TEST(Blend, ChannelsStayInPlaceAndOnlyTheFourChannelFormKeepsTheTopByte) {
  uint32_t a = 0xC8643210u, b = 0x00000000u;
  // Halfway along x with a black right neighbour halves every channel.
  EXPECT_EQ(blend_bilinear_32(a, b, b, b, 0.5, 0.0), 0x64321908u);
  EXPECT_EQ(blend_bilinear_24(a, b, b, b, 0.5, 0.0), 0x00321908u);
  EXPECT_EQ(blend_bilinear_24(0xFF000000u, 0xFF000000u, 0xFF000000u, 0xFF000000u, 0.25, 0.25), 0u);
}

TEST(Resample, SameSizeCopiesEveryDepthExactly) {
  const uint16_t depths[] = {2, 8, 16, 24, 32};
  for (uint16_t bits : depths) {
    RasterImage* source = blank_image(7, 5, bits, bits <= 8 ? 4 : 0);
    Bytes noise = random_bytes(byte_count(source), bits);
    memcpy(source->pixels, noise.data(), noise.size());
    // Padding is not copied pixel by pixel; compare the pixels themselves.
    RasterImage* result = resample_image(source, 7, 5);
    ASSERT_NE(result, nullptr);
    for (int32_t y = 0; y < 5; ++y)
      for (int32_t x = 0; x < 7; ++x)
        ASSERT_EQ(get_pixel(result, x, y), get_pixel(source, x, y)) << bits << " " << x << "," << y;
    free_image(source);
    free_image(result);
  }
}

TEST(Resample, HalvingTakesEverySecondColumnAndDoublingAverages) {
  RasterImage* source = blank_image(4, 1, 24);
  const uint32_t columns[] = {0x102030u, 0x405060u, 0xFF01FEu, 0x0B0C0Du};
  for (int32_t x = 0; x < 4; ++x) set_pixel_24(source, x, 0, columns[x]);

  RasterImage* half = resample_image(source, 2, 1);
  ASSERT_NE(half, nullptr);
  EXPECT_EQ(get_pixel_24(half, 0, 0), columns[0]);
  EXPECT_EQ(get_pixel_24(half, 1, 0), columns[2]);

  RasterImage* twice = resample_image(source, 8, 1);
  ASSERT_NE(twice, nullptr);
  const uint32_t expected[] = {0x102030u, 0x283848u, 0x405060u, 0x9F28AFu,
                               0xFF01FEu, 0x850685u, 0x0B0C0Du, 0x050606u};
  for (int32_t x = 0; x < 8; ++x) EXPECT_EQ(get_pixel_24(twice, x, 0), expected[x]) << x;
  free_image(source);
  free_image(half);
  free_image(twice);
}

TEST(Resample, EnlargingOnePixelMixesInBlackBeyondTheEdge) {
  RasterImage* source = blank_image(1, 1, 32);
  set_pixel_32(source, 0, 0, 0xFF8040C9u);
  RasterImage* result = resample_image(source, 2, 2);
  ASSERT_NE(result, nullptr);
  EXPECT_EQ(get_pixel_32(result, 0, 0), 0xFF8040C9u);
  EXPECT_EQ(get_pixel_32(result, 1, 0), 0x7F402064u);
  EXPECT_EQ(get_pixel_32(result, 0, 1), 0x7F402064u);
  EXPECT_EQ(get_pixel_32(result, 1, 1), 0x3F201032u);
  free_image(source);
  free_image(result);
}

TEST(Resample, IndexedDepthsSampleTheTruncatedPositionAndKeepThePalette) {
  const uint16_t depths[] = {2, 8, 16};
  for (uint16_t bits : depths) {
    RasterImage* source = blank_image(5, 3, bits, bits == 16 ? 0 : 16);
    for (int32_t y = 0; y < 3; ++y)
      for (int32_t x = 0; x < 5; ++x)
        set_pixel(source, x, y, static_cast<uint32_t>(x * 3 + y * 7 + 1));
    RasterImage* result = resample_image(source, 7, 4);
    ASSERT_NE(result, nullptr);
    EXPECT_EQ(result->bits_per_pixel, bits);
    EXPECT_EQ(result->palette_count, source->palette_count);
    if (source->palette != nullptr) {
      ASSERT_NE(result->palette, nullptr);
      EXPECT_NE(result->palette, source->palette);
      EXPECT_EQ(memcmp(result->palette, source->palette, 16 * sizeof(PaletteEntry)), 0);
    } else {
      EXPECT_EQ(result->palette, nullptr);
    }
    // j * 5/7 and i * 3/4, truncated.
    const int32_t sx[] = {0, 0, 1, 2, 2, 3, 4};
    const int32_t sy[] = {0, 0, 1, 2};
    for (int32_t i = 0; i < 4; ++i)
      for (int32_t j = 0; j < 7; ++j)
        EXPECT_EQ(get_pixel(result, j, i), get_pixel(source, sx[j], sy[i]))
            << bits << " " << j << "," << i;
    free_image(source);
    free_image(result);
  }
}

TEST(Resample, RefusesResultsWhoseSizeFieldsWouldWrap) {
  struct Case {
    int32_t width, height;
    uint16_t bits;
    int32_t palette;
  };
  const Case cases[] = {
      {65536, 65536, 8, 256},  // pixel array of 4 GiB
      {2147483647, 2147483647, 32, 0},
      {1073741823, 1, 32, 0},    // 4 GiB - 4 of pixels, plus 54 of headers
      {65536, 65535, 8, 20000},  // pixels fit, the palette pushes the file past
  };
  for (const Case& c : cases) {
    RasterImage* source = blank_image(2, 2, c.bits, c.palette);
    begin_capture();
    RasterImage* result = resample_image(source, c.width, c.height);
    Captured captured = end_capture();
    EXPECT_EQ(result, nullptr);
    EXPECT_EQ(captured.err, "Error: Memory allocation failed for image data\n");
    EXPECT_EQ(captured.out, "");
    free_image(result);
    free_image(source);
  }
}

}  // namespace
