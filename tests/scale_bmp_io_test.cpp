// The resizer's reader and writer: messages and their order, which header
// fields matter, palettes and offsets, short input, and the written bytes.
#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>

#include "bmp_io.h"
#include "test_support.h"

namespace {

struct LoadResult {
  RasterImage* image;
  Captured captured;
};

LoadResult load(const std::string& path) {
  begin_capture();
  RasterImage* image = load_bmp(path.c_str());
  Captured captured = end_capture();
  return {image, captured};
}

Bytes pixel_bytes(const RasterImage* image) {
  size_t size = static_cast<size_t>(bmp_row_bytes(image->width, image->bits_per_pixel)) *
                static_cast<size_t>(image->height);
  return Bytes(image->pixels, image->pixels + size);
}

Bytes gray_palette(int count) {
  Bytes palette;
  for (int i = 0; i < count; ++i) {
    uint8_t v = static_cast<uint8_t>(i * 255 / (count > 1 ? count - 1 : 1));
    palette.push_back(v);
    palette.push_back(static_cast<uint8_t>(v ^ 0x5A));
    palette.push_back(static_cast<uint8_t>(255 - v));
    palette.push_back(0);
  }
  return palette;
}

class BmpIo : public ::testing::Test {
 protected:
  std::string dir = make_temp_dir();
  std::string path(const char* name) { return dir + "/" + name; }
};

TEST_F(BmpIo, RejectsWhatItCannotReadWithOneMessage) {
  struct Case {
    const char* name;
    BmpFields fields;
    const char* expected;
  };
  BmpFields mb;
  mb.signature = 0x424D;  // 'M', 'B'
  BmpFields rle4;
  rle4.bits_per_pixel = 4;
  rle4.compression = 2;
  BmpFields four;
  four.bits_per_pixel = 4;
  BmpFields one;
  one.bits_per_pixel = 1;
  BmpFields bitfields;
  bitfields.bits_per_pixel = 32;
  bitfields.compression = 3;
  BmpFields negative_both;
  negative_both.width = -4;
  negative_both.height = -4;
  BmpFields negative_height;
  negative_height.width = 4;
  negative_height.height = -480;
  BmpFields zero_width;
  zero_width.width = 0;
  zero_width.height = 3;
  BmpFields zero_height;
  zero_height.width = 3;
  zero_height.height = 0;
  BmpFields huge;
  huge.width = 65536;
  huge.height = 65536;
  huge.bits_per_pixel = 8;
  BmpFields os2;
  os2.header_size = 12;
  BmpFields short_and_rle4 = rle4;
  short_and_rle4.header_size = 16;
  BmpFields palette_too_big;
  palette_too_big.bits_per_pixel = 8;
  palette_too_big.width = 1;
  palette_too_big.height = 1;
  palette_too_big.colors_used = 1u << 30;  // 4 GiB of entries
  const Case cases[] = {
      {"mb", mb, "Error: Not a valid BMP file (magic: 0x424D)\n"},
      {"os2", os2, "Error: Unsupported BMP header size: 12\n"},
      {"short_and_rle4", short_and_rle4, "Error: Unsupported BMP header size: 16\n"},
      {"rle4", rle4, "Error: Compressed BMPs are not supported\n"},
      {"bitfields", bitfields, "Error: Compressed BMPs are not supported\n"},
      {"four", four, "Error: Unsupported bit depth: 4\n"},
      {"one", one, "Error: Unsupported bit depth: 1\n"},
      {"negative_both", negative_both, "Error: Memory allocation failed for image data\n"},
      {"negative_height", negative_height, "Error: Memory allocation failed for image data\n"},
      {"zero_width", zero_width, "Error: Memory allocation failed for image data\n"},
      {"zero_height", zero_height, "Error: Memory allocation failed for image data\n"},
      {"huge", huge, "Error: Memory allocation failed for image data\n"},
      {"palette_too_big", palette_too_big, "Error: Memory allocation failed for color table\n"},
  };
  for (const Case& c : cases) {
    write_file(path(c.name), build_bmp(c.fields, {}, Bytes(64, 0)));
    LoadResult r = load(path(c.name));
    EXPECT_EQ(r.image, nullptr) << c.name;
    EXPECT_EQ(r.captured.err, c.expected) << c.name;
    EXPECT_EQ(r.captured.out, "") << c.name;
    free_image(r.image);
  }
  LoadResult missing = load(path("missing.bmp"));
  EXPECT_EQ(missing.image, nullptr);
  EXPECT_EQ(missing.captured.err,
            "Error: Could not open input file '" + path("missing.bmp") + "'\n");
  LoadResult directory = load(dir);
  EXPECT_EQ(directory.image, nullptr);
  EXPECT_FALSE(directory.captured.err.empty());
}

TEST_F(BmpIo, PaletteCountComesFromColoursUsedOnlyForIndexedDepths) {
  struct Case {
    uint16_t bits;
    uint32_t colors_used;
    int32_t expected_count;
  };
  const Case cases[] = {{8, 16, 16}, {8, 0, 256}, {8, 1, 1},    {8, 257, 257}, {2, 0, 4},
                        {2, 3, 3},   {24, 5, 0},  {16, 256, 0}, {32, 0, 0}};
  for (const Case& c : cases) {
    BmpFields f;
    f.width = 5;
    f.height = 2;
    f.bits_per_pixel = c.bits;
    f.colors_used = c.colors_used;
    Bytes palette = gray_palette(c.expected_count);
    Bytes pixels = random_bytes(test_row_size(5, c.bits) * 2, c.bits);
    write_file(path("p.bmp"), build_bmp(f, palette, pixels));
    LoadResult r = load(path("p.bmp"));
    ASSERT_NE(r.image, nullptr) << c.bits << "/" << c.colors_used;
    EXPECT_EQ(r.captured.err, "");
    EXPECT_EQ(r.image->palette_count, c.expected_count);
    EXPECT_EQ(r.image->palette == nullptr, c.expected_count == 0);
    if (c.expected_count > 0) {
      EXPECT_EQ(Bytes(reinterpret_cast<uint8_t*>(r.image->palette),
                      reinterpret_cast<uint8_t*>(r.image->palette) + palette.size()),
                palette);
    }
    EXPECT_EQ(pixel_bytes(r.image), pixels);
    free_image(r.image);
  }
}

TEST_F(BmpIo, HonoursThePixelOffsetAndFindsThePaletteAfterAnyHeader) {
  struct Case {
    uint32_t header_size;
    size_t gap;
  };
  // 108 and 124 are the V4 and V5 headers most current tools write.
  const Case cases[] = {{40, 0}, {40, 10}, {56, 0}, {108, 0}, {124, 6}};
  for (const Case& c : cases) {
    BmpFields f;
    f.header_size = c.header_size;
    f.width = 3;
    f.height = 2;
    f.bits_per_pixel = 8;
    f.colors_used = 4;
    Bytes palette = gray_palette(4);
    Bytes pixels = random_bytes(8, c.header_size);
    write_file(path("h.bmp"), build_bmp(f, palette, pixels, c.gap));
    LoadResult r = load(path("h.bmp"));
    ASSERT_NE(r.image, nullptr) << c.header_size;
    uint8_t* entries = reinterpret_cast<uint8_t*>(r.image->palette);
    EXPECT_EQ(Bytes(entries, entries + 16), palette) << c.header_size;
    EXPECT_EQ(pixel_bytes(r.image), pixels) << c.header_size << " gap " << c.gap;
    free_image(r.image);
  }
}

TEST_F(BmpIo, MissingBytesReadAsZeroAndAreNotReported) {
  BmpFields f;
  f.width = 4;
  f.height = 3;
  f.bits_per_pixel = 8;
  f.colors_used = 2;
  Bytes palette = {1, 2, 3, 0, 4, 5, 6, 0};
  Bytes pixels = random_bytes(12, 7);
  Bytes whole = build_bmp(f, palette, pixels);

  // Cut inside the pixel array: the missing tail is 0.
  write_file(path("short.bmp"), Bytes(whole.begin(), whole.end() - 5));
  LoadResult r = load(path("short.bmp"));
  ASSERT_NE(r.image, nullptr);
  EXPECT_EQ(r.captured.err, "");
  Bytes expected = pixels;
  std::fill(expected.end() - 5, expected.end(), 0);
  EXPECT_EQ(pixel_bytes(r.image), expected);
  free_image(r.image);

  // Cut inside the palette: the second entry is half missing.
  write_file(path("short2.bmp"), Bytes(whole.begin(), whole.begin() + 54 + 6));
  r = load(path("short2.bmp"));
  ASSERT_NE(r.image, nullptr);
  const uint8_t* entries = reinterpret_cast<const uint8_t*>(r.image->palette);
  EXPECT_EQ(Bytes(entries, entries + 8), (Bytes{1, 2, 3, 0, 4, 5, 0, 0}));
  EXPECT_EQ(pixel_bytes(r.image), Bytes(12, 0));
  free_image(r.image);

  // Cut before the header-size field: it reads as 0, and is refused.
  write_file(path("short4.bmp"), Bytes(whole.begin(), whole.begin() + 14));
  r = load(path("short4.bmp"));
  EXPECT_EQ(r.image, nullptr);
  EXPECT_EQ(r.captured.err, "Error: Unsupported BMP header size: 0\n");

  // Cut inside the header: the depth reads as 0.
  write_file(path("short3.bmp"), Bytes(whole.begin(), whole.begin() + 20));
  r = load(path("short3.bmp"));
  EXPECT_EQ(r.image, nullptr);
  EXPECT_EQ(r.captured.err, "Error: Unsupported bit depth: 0\n");

  // A pixel offset beyond the end of the file gives an all-zero image.
  BmpFields far = f;
  far.pixel_data_offset = 0xFFFFFFF0u;
  write_file(path("far.bmp"), build_bmp(far, palette, pixels));
  r = load(path("far.bmp"));
  ASSERT_NE(r.image, nullptr);
  EXPECT_EQ(pixel_bytes(r.image), Bytes(12, 0));
  free_image(r.image);
}

TEST_F(BmpIo, WritesEveryHeaderFieldAndPlacesPixelsAfterThePalette) {
  struct Case {
    uint16_t bits;
    int32_t width, height;
    uint32_t colors_used;
    uint32_t offset, image_size, file_size, colors;
  };
  const Case cases[] = {
      {24, 3, 2, 0, 54, 24, 78, 0},
      {24, 3, 2, 7, 54, 24, 78, 0},  // colours used ignored for 24 bits
      {8, 5, 2, 16, 118, 16, 134, 16},
      {8, 1, 1, 0, 1078, 4, 1082, 256},
      {2, 5, 3, 0, 70, 12, 82, 4},
      {16, 3, 1, 0, 54, 8, 62, 0},
      {32, 2, 2, 0, 54, 16, 70, 0},
  };
  for (const Case& c : cases) {
    BmpFields f;
    f.width = c.width;
    f.height = c.height;
    f.bits_per_pixel = c.bits;
    f.colors_used = c.colors_used;
    f.x_resolution = 1;  // not carried over: the writer always puts 2835
    f.image_size = 12345;
    uint32_t entries = c.bits <= 8 ? c.colors : 0;
    Bytes palette = gray_palette(static_cast<int>(entries));
    Bytes pixels = random_bytes(test_row_size(c.width, c.bits) * c.height, c.width);
    write_file(path("in.bmp"), build_bmp(f, palette, pixels, 3));
    LoadResult r = load(path("in.bmp"));
    ASSERT_NE(r.image, nullptr);
    begin_capture();
    bool saved = save_bmp(r.image, path("out.bmp").c_str());
    Captured captured = end_capture();
    EXPECT_TRUE(saved);
    EXPECT_EQ(captured.err, "");
    free_image(r.image);

    Bytes out = read_file(path("out.bmp"));
    ASSERT_EQ(out.size(), c.file_size) << c.bits;
    const uint32_t fields[][3] = {
        {0, 2, 0x4D42},
        {2, 4, c.file_size},
        {6, 2, 0},
        {8, 2, 0},
        {10, 4, c.offset},
        {14, 4, 40},
        {18, 4, uint32_t(c.width)},
        {22, 4, uint32_t(c.height)},
        {26, 2, 1},
        {28, 2, c.bits},
        {30, 4, 0},
        {34, 4, c.image_size},
        {38, 4, 2835},
        {42, 4, 2835},
        {46, 4, c.colors},
        {50, 4, c.colors},
    };
    for (const auto& field : fields) {
      uint32_t got = field[1] == 2 ? get_le16(out, field[0]) : get_le32(out, field[0]);
      EXPECT_EQ(got, field[2]) << "depth " << c.bits << " offset " << field[0];
    }
    EXPECT_EQ(Bytes(out.begin() + 54, out.begin() + c.offset), palette);
    EXPECT_EQ(Bytes(out.begin() + c.offset, out.end()), pixels);
  }
}

TEST_F(BmpIo, ReportsOutputsThatCannotBeOpenedOrWritten) {
  BmpFields f;
  f.width = 64;
  f.height = 64;
  write_file(path("in.bmp"), build_bmp(f, {}, random_bytes(64 * 64 * 3, 3)));
  LoadResult r = load(path("in.bmp"));
  ASSERT_NE(r.image, nullptr);
  struct Case {
    std::string out;
    const char* format;
  };
  const Case cases[] = {
      {path("no/such/dir.bmp"), "Error: Could not open output file '%s'\n"},
      {dir, "Error: Could not open output file '%s'\n"},
      {"/dev/full", "Error: Could not write output file '%s'\n"},
  };
  for (const Case& c : cases) {
    begin_capture();
    bool saved = save_bmp(r.image, c.out.c_str());
    Captured captured = end_capture();
    EXPECT_FALSE(saved) << c.out;
    char expected[512];
    snprintf(expected, sizeof expected, c.format, c.out.c_str());
    EXPECT_EQ(captured.err, expected);
    EXPECT_EQ(captured.out, "");
  }
  free_image(r.image);
}

}  // namespace
