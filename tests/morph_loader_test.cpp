// The gray loader: its messages and their order, the 24-bit threshold, row
// sizes and orientation, short rows, and what it refuses.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>

#include "bmp_format.h"
#include "gray_blocks.h"
#include "gray_bmp_loader.h"
#include "gray_bmp_writer.h"
#include "test_support.h"

namespace {

struct LoadResult {
  GrayImage* image;
  std::string out;
  std::string err;
};

LoadResult load(const std::string& path, const ErodeKernelSet& kernels = best_erode_kernel_set()) {
  begin_capture();
  GrayImage* image = load_gray_bmp(path.c_str(), kernels);
  Captured captured = end_capture();
  return {image, captured.out, captured.err};
}

Bytes pixels_of(const GrayImage* image) {
  return Bytes(image->pixels, image->pixels + image->width * image->height);
}

BmpFields fields(int32_t width, int32_t height, uint16_t bits) {
  BmpFields f;
  f.width = width;
  f.height = height;
  f.bits_per_pixel = bits;
  return f;
}

std::string loading_line(int32_t width, int32_t height, int bits, uint32_t offset) {
  return "Loading: width=" + std::to_string(width) + ", height=" + std::to_string(height) +
         ", bits=" + std::to_string(bits) + ", offset=" + std::to_string(offset) + "\n";
}

std::string processing_line(int bits, int row_bytes) {
  return "Processing: bits_per_pixel=" + std::to_string(bits) +
         ", row_size=" + std::to_string(row_bytes) + "\n";
}

class GrayLoader : public ::testing::Test {
 protected:
  std::string dir = make_temp_dir();
  std::string path = dir + "/in.bmp";
};

TEST_F(GrayLoader, RejectsWithOneMessageBeforeAnythingIsPrinted) {
  struct Case {
    const char* name;
    Bytes file;
    const char* expected;
  };
  Bytes valid = build_bmp(fields(2, 2, 8), {}, Bytes(8, 0));
  BmpFields mb = fields(2, 2, 8);
  mb.signature = 0x424D;
  BmpFields rle8 = fields(2, 2, 8);
  rle8.compression = 1;
  BmpFields bitfields24 = fields(2, 2, 24);
  bitfields24.compression = 3;
  BmpFields rle_and_16 = fields(2, 2, 16);
  rle_and_16.compression = 1;
  BmpFields os2 = fields(2, 2, 8);
  os2.header_size = 12;
  BmpFields short_and_16 = fields(2, 2, 16);
  short_and_16.header_size = 16;
  const char* depth = "Error: Only 8-bit (grayscale) and 24-bit (RGB) BMP supported\n";
  const Case cases[] = {
      {"empty", {}, "Error: Cannot read file header\n"},
      {"13 bytes", Bytes(valid.begin(), valid.begin() + 13), "Error: Cannot read file header\n"},
      {"MB", build_bmp(mb, {}, Bytes(8, 0)), "Error: Invalid BMP file (signature mismatch)\n"},
      {"MB, short", Bytes(2, 'M'), "Error: Cannot read file header\n"},
      {"14 bytes", Bytes(valid.begin(), valid.begin() + 14), "Error: Cannot read info header\n"},
      {"53 bytes", Bytes(valid.begin(), valid.begin() + 53), "Error: Cannot read info header\n"},
      {"12-byte header", build_bmp(os2, {}, Bytes(8, 0)),
       "Error: Unsupported BMP header size: 12\n"},
      {"header size before depth", build_bmp(short_and_16, {}, Bytes(8, 0)),
       "Error: Unsupported BMP header size: 16\n"},
      {"1-bit", build_bmp(fields(2, 2, 1), {}, Bytes(8, 0)), depth},
      {"16-bit", build_bmp(fields(2, 2, 16), {}, Bytes(8, 0)), depth},
      {"32-bit", build_bmp(fields(2, 2, 32), {}, Bytes(16, 0)), depth},
      {"32-bit, headers only", Bytes(build_bmp(fields(2, 2, 32), {}, {})), depth},
      {"depth before compression", build_bmp(rle_and_16, {}, Bytes(8, 0)), depth},
      {"RLE8", build_bmp(rle8, {}, Bytes(8, 0)), "Error: Compressed BMPs are not supported\n"},
      {"24-bit bitfields", build_bmp(bitfields24, {}, Bytes(16, 0)),
       "Error: Compressed BMPs are not supported\n"},
  };
  for (const Case& c : cases) {
    write_file(path, c.file);
    LoadResult r = load(path);
    EXPECT_EQ(r.image, nullptr) << c.name;
    EXPECT_EQ(r.out, c.expected) << c.name;
    EXPECT_EQ(r.err, "") << c.name;
  }
  std::string missing = dir + "/missing.bmp";
  LoadResult r = load(missing);
  EXPECT_EQ(r.image, nullptr);
  EXPECT_EQ(r.out, "Error: Cannot open file '" + missing + "'\n");
}

TEST_F(GrayLoader, SizesNoImageCanHaveFailSilentlyAfterTheLoadingLine) {
  const int32_t sizes[][2] = {{0, 3},         {3, 0},         {-2, 3},
                              {3, -2},        {-2, -2},       {INT32_MIN, 1},
                              {65536, 65536}, {70000, 70000}, {INT32_MAX, 3}};
  for (const auto& s : sizes) {
    write_file(path, build_bmp(fields(s[0], s[1], 8), {}, Bytes(64, 0xFF)));
    LoadResult r = load(path);
    EXPECT_EQ(r.image, nullptr) << s[0] << "x" << s[1];
    EXPECT_EQ(r.out, loading_line(s[0], s[1], 8, 54)) << s[0] << "x" << s[1];
  }
}

TEST_F(GrayLoader, ThresholdsTheAverageOfTheThreeBytes) {
  struct Case {
    uint8_t b, g, r;
    uint8_t expected;
  };
  const Case cases[] = {
      {129, 128, 128, 0},                                          // 385 / 3 = 128: not above 128
      {129, 129, 128, 0},                                          // 386 / 3 = 128
      {129, 129, 129, 255},                                        // 129
      {128, 128, 131, 255},                                        // 387 / 3 = 129
      {255, 0, 130, 0},                                            // 385
      {0, 0, 0, 0},         {255, 255, 255, 255}, {0, 0, 255, 0},  // 85
  };
  // The cases over and over, to past a few vector groups of every set's
  // threshold, each row one pixel shorter than the one above it.
  const int32_t count = sizeof cases / sizeof cases[0];
  const int32_t width = 7 * count, height = 3;
  Bytes rows;
  for (int32_t s = 0; s < height; ++s) {
    const int32_t used = width - (height - 1 - s);  // stored row s is picture row height-1-s
    for (int32_t x = 0; x < width; ++x) {
      const Case& c = cases[x % count];
      const bool inside = x < used;
      // Byte by byte: GCC 12 on s390x warns (wrongly) about an
      // initializer-list insert.
      rows.push_back(inside ? c.b : 0);
      rows.push_back(inside ? c.g : 0);
      rows.push_back(inside ? c.r : 0);
    }
    rows.resize(static_cast<size_t>(s + 1) * test_row_size(width, 24), 0);
  }
  write_file(path, build_bmp(fields(width, height, 24), {}, rows));
  // Each set the CPU runs, given to the loader: its threshold makes the image.
  for (size_t k = 0; k < kErodeKernelSetCount; ++k) {
    const ErodeKernelSet& set = kErodeKernelSets[k];
    if (!set.available()) continue;
    LoadResult r = load(path, set);
    ASSERT_NE(r.image, nullptr) << set.name;
    for (int32_t y = 0; y < height; ++y) {
      for (int32_t x = 0; x < width; ++x) {
        const int32_t want = x < width - y ? cases[x % count].expected : 0;
        ASSERT_EQ(gray_at(r.image, x, y), want) << set.name << " pixel " << x << " row " << y;
      }
    }
    free_gray_image(r.image);
  }
}

// The loader thresholds through the set it is given, one call a row, and
// through no other.
TEST_F(GrayLoader, ThresholdsThroughTheKernelsItIsGiven) {
  static int rows_seen;
  ErodeKernelSet marking = kErodeKernelSets[kErodeKernelSetCount - 1];
  marking.threshold_row = [](uint8_t* out, const uint8_t* /*bgr*/, size_t width) {
    ++rows_seen;
    for (size_t x = 0; x < width; ++x) out[x] = 7;
  };
  write_file(path, build_bmp(fields(5, 4, 24), {}, Bytes(4 * test_row_size(5, 24), 200)));
  rows_seen = 0;
  LoadResult r = load(path, marking);
  ASSERT_NE(r.image, nullptr);
  EXPECT_EQ(rows_seen, 4);
  EXPECT_EQ(pixels_of(r.image), Bytes(20, 7));
  free_gray_image(r.image);
}

TEST_F(GrayLoader, RowSizesOrientationAndMessages) {
  struct Case {
    int32_t width, height;
    uint16_t bits;
    int row_bytes;
    size_t gap;
  };
  const Case cases[] = {{1, 3, 24, 4, 0}, {2, 2, 24, 8, 0}, {4, 2, 24, 12, 5}, {5, 3, 8, 8, 0},
                        {4, 2, 8, 4, 0},  {1, 1, 8, 4, 3},  {7, 4, 8, 8, 1},   {3, 5, 24, 12, 0}};
  for (const Case& c : cases) {
    // Stored row s (bottom of the picture first) has every byte s + 1, so a
    // misplaced row or a wrong row size shows in the pixels.
    Bytes pixels;
    for (int32_t s = 0; s < c.height; ++s) {
      Bytes stored(static_cast<size_t>(c.row_bytes), static_cast<uint8_t>(s + 1));
      if (c.bits == 24) {
        std::fill(stored.begin(), stored.end(), s % 2 == 0 ? 200 : 10);
      }
      pixels.insert(pixels.end(), stored.begin(), stored.end());
    }
    // Palette and gap bytes before the pixels are skipped, whatever they hold.
    Bytes palette = c.bits == 8 ? random_bytes(1024, 5) : Bytes();
    Bytes bmp = build_bmp(fields(c.width, c.height, c.bits), palette, pixels, c.gap);
    write_file(path, bmp);
    LoadResult r = load(path);
    ASSERT_NE(r.image, nullptr) << c.width << "x" << c.height << "/" << c.bits;
    std::string size = std::to_string(c.width) + "x" + std::to_string(c.height);
    EXPECT_EQ(r.out, loading_line(c.width, c.height, c.bits, get_le32(bmp, 10)) +
                         processing_line(c.bits, c.row_bytes) + "Successfully loaded BMP: " + size +
                         " (row_size=" + std::to_string(c.row_bytes) +
                         ", bits=" + std::to_string(c.bits) + ")\n");
    EXPECT_EQ(r.image->width, c.width);
    EXPECT_EQ(r.image->height, c.height);
    for (int32_t y = 0; y < c.height; ++y) {
      int32_t s = c.height - 1 - y;  // image row 0 is the last stored row
      int32_t want = c.bits == 8 ? s + 1 : (s % 2 == 0 ? 255 : 0);
      for (int32_t x = 0; x < c.width; ++x) {
        ASSERT_EQ(gray_at(r.image, x, y), want) << size << " x " << x << " y " << y;
      }
    }
    free_gray_image(r.image);
  }
}

TEST_F(GrayLoader, EightBitBytesAreTakenAsTheyAreWhateverThePalette) {
  Bytes palette(1024, 0);  // every entry black
  Bytes pixels = {0, 100, 255, 0};
  write_file(path, build_bmp(fields(3, 1, 8), palette, pixels));
  LoadResult r = load(path);
  ASSERT_NE(r.image, nullptr);
  EXPECT_EQ(pixels_of(r.image), (Bytes{0, 100, 255}));
  free_gray_image(r.image);
}

TEST_F(GrayLoader, ShortRowsNameTheRowThatWasNotRead) {
  struct Case {
    const char* name;
    int32_t width, height;
    uint16_t bits;
    size_t cut;       // bytes removed from the end of the file
    uint32_t offset;  // 0: right after the headers and palette
    const char* error;
  };
  const Case cases[] = {
      {"8-bit, last row one byte short", 5, 3, 8, 1, 0,
       "Error: Cannot read 8-bit pixel row 0 (expected 8 bytes)\n"},
      {"8-bit, two rows missing", 5, 3, 8, 9, 0,
       "Error: Cannot read 8-bit pixel row 1 (expected 8 bytes)\n"},
      {"8-bit, offset past the end", 4, 2, 8, 0, 5000,
       "Error: Cannot read 8-bit pixel row 1 (expected 4 bytes)\n"},
      {"24-bit, last row one byte short", 2, 3, 24, 1, 0,
       "Error: Cannot read 24-bit pixel row 0\n"},
      {"24-bit, no pixels at all", 2, 3, 24, 24, 0, "Error: Cannot read 24-bit pixel row 2\n"},
  };
  for (const Case& c : cases) {
    BmpFields f = fields(c.width, c.height, c.bits);
    f.pixel_data_offset = c.offset;
    size_t row = test_row_size(c.width, c.bits);
    Bytes palette = c.bits == 8 ? Bytes(1024, 1) : Bytes();
    Bytes bmp = build_bmp(f, palette, Bytes(row * c.height, 0xFF));
    bmp.resize(bmp.size() - c.cut);
    write_file(path, bmp);
    LoadResult r = load(path);
    EXPECT_EQ(r.image, nullptr) << c.name;
    EXPECT_EQ(r.out, loading_line(c.width, c.height, c.bits, get_le32(bmp, 10)) +
                         processing_line(c.bits, static_cast<int>(row)) + c.error)
        << c.name;
  }
}

TEST_F(GrayLoader, APipeIsReadForwardToThePixelsAndNeverBack) {
#if defined(_WIN32)
  GTEST_SKIP() << "needs a POSIX named pipe";
#else
  // A pipe cannot seek: the loader reads on to an offset ahead of the 54
  // header bytes, and one behind them is out of reach like a short row.
  struct Case {
    uint32_t offset;  // 0: after the palette
    const char* tail;
  };
  const Case cases[] = {
      {0, "Successfully loaded BMP: 4x2 (row_size=4, bits=8)\n"},
      {54, "Successfully loaded BMP: 4x2 (row_size=4, bits=8)\n"},
      {30, "Error: Cannot read 8-bit pixel row 1 (expected 4 bytes)\n"},
  };
  for (const Case& c : cases) {
    BmpFields f = fields(4, 2, 8);
    f.pixel_data_offset = c.offset;
    Bytes pixels = {1, 2, 3, 4, 5, 6, 7, 8};
    Bytes bmp = build_bmp(f, c.offset == 54 ? Bytes() : Bytes(1024, 0), pixels);
    std::string fifo = dir + "/pipe.bmp";
    FifoFeed feed;
    start_fifo_feed(&feed, fifo, bmp, bmp.size(), 0);
    LoadResult r = load(fifo);
    finish_fifo_feed(&feed);
    EXPECT_EQ(r.out, loading_line(4, 2, 8, get_le32(bmp, 10)) + processing_line(8, 4) + c.tail)
        << c.offset;
    if (c.offset != 30) {
      ASSERT_NE(r.image, nullptr);
      EXPECT_EQ(pixels_of(r.image), (Bytes{5, 6, 7, 8, 1, 2, 3, 4}));
    }
    free_gray_image(r.image);
  }
#endif
}

}  // namespace

namespace {

// Pictures of many rows go through the file in blocks of several rows: each
// row still lands in its place, a file cut anywhere names the first row not
// read in full, and the writer puts back exactly the bytes of the file.
TEST_F(GrayLoader, LargePicturesCrossReadAndWriteBlocksRowForRow) {
  struct Case {
    int32_t width, height;
    uint16_t bits;
  };
  // Two blocks of 255 rows and 45; three blocks of 85, 85 and 30 rows of 24
  // bits; 8-byte rows, 131072 a block; one block of three long rows; rows
  // longer than a block.
  const Case cases[] = {
      {4100, 300, 8}, {4100, 200, 24}, {5, 140000, 8}, {40000, 3, 8}, {350000, 2, 24}};
  for (const Case& c : cases) {
    const size_t row = test_row_size(c.width, c.bits);
    BmpFields f = fields(c.width, c.height, c.bits);
    Bytes palette = c.bits == 8 ? Bytes(1024, 0) : Bytes();
    Bytes pixels = random_bytes(row * c.height, static_cast<uint32_t>(c.width + c.height));
    for (size_t y = 0; y < static_cast<size_t>(c.height); ++y) {
      for (size_t x = static_cast<size_t>(c.width) * (c.bits / 8); x < row; ++x) {
        pixels[y * row + x] = 0;  // pad bytes, as the writer writes them
      }
    }
    Bytes bmp = build_bmp(f, palette, pixels);
    write_file(path, bmp);
    LoadResult r = load(path);
    ASSERT_NE(r.image, nullptr) << c.width << "x" << c.height;
    // Stored bottom row first: file row k is picture row height - 1 - k.
    bool rows_in_place = true;
    for (size_t k = 0; k < static_cast<size_t>(c.height) && rows_in_place; ++k) {
      const uint8_t* stored = pixels.data() + k * row;
      const uint8_t* loaded = r.image->pixels + (c.height - 1 - k) * static_cast<size_t>(c.width);
      for (size_t x = 0; x < static_cast<size_t>(c.width) && rows_in_place; ++x) {
        if (c.bits == 8) {
          rows_in_place = loaded[x] == stored[x];
        } else {
          const int sum = stored[3 * x] + stored[3 * x + 1] + stored[3 * x + 2];
          rows_in_place = loaded[x] == (sum / 3 > 128 ? 255 : 0);
        }
      }
    }
    EXPECT_TRUE(rows_in_place) << c.width << "x" << c.height;
    if (c.bits == 8) {
      std::string copy = dir + "/copy.bmp";
      begin_capture();
      bool saved = save_gray_bmp(r.image, copy.c_str());
      end_capture();
      EXPECT_TRUE(saved);
      Bytes written = read_file(copy);
      ASSERT_EQ(written.size(), bmp.size());
      EXPECT_TRUE(std::equal(written.end() - static_cast<std::ptrdiff_t>(pixels.size()),
                             written.end(), pixels.begin()))
          << c.width << "x" << c.height;
    }
    free_gray_image(r.image);

    // Cut inside the first row, at a row's end, and one byte short of the end.
    const size_t start = bmp.size() - row * c.height;
    for (size_t kept : {size_t{1}, row * (c.height / 2), row * c.height - 1}) {
      Bytes cut(bmp.begin(), bmp.begin() + static_cast<std::ptrdiff_t>(start + kept));
      write_file(path, cut);
      LoadResult s = load(path);
      EXPECT_EQ(s.image, nullptr);
      const int32_t first_missing = c.height - 1 - static_cast<int32_t>(kept / row);
      const std::string error =
          c.bits == 24
              ? "Error: Cannot read 24-bit pixel row " + std::to_string(first_missing) + "\n"
              : "Error: Cannot read 8-bit pixel row " + std::to_string(first_missing) +
                    " (expected " + std::to_string(row) + " bytes)\n";
      EXPECT_EQ(s.out, loading_line(c.width, c.height, c.bits, get_le32(bmp, 10)) +
                           processing_line(c.bits, static_cast<int>(row)) + error)
          << c.width << "x" << c.height << " cut to " << kept;
    }
  }
}

// A block is at most 1 MiB, or a single row longer than that, and never
// more rows than the picture has.
TEST(GrayBlocks, RowsPerBlockStayWithinOneMebibyte) {
  const int32_t widths[] = {1, 5, 1000, 4096, 21845, 70000, 349525, 349526, 1 << 20};
  const int32_t heights[] = {1, 2, 7, 100, 5000, 1 << 16};
  for (int32_t width : widths) {
    for (int32_t height : heights) {
      for (int bits : {8, 24}) {
        int64_t row = bmp_row_bytes(width, static_cast<uint32_t>(bits));
        int64_t rows = gray_rows_per_block(row, height);
        EXPECT_GE(rows, 1);
        EXPECT_LE(rows, height);
        EXPECT_TRUE(rows * row <= (int64_t{1} << 20) || rows == 1)
            << width << "x" << height << "x" << bits << ": " << rows << " rows of " << row;
        // Fewer rows than fit would only cost more calls.
        EXPECT_TRUE(rows == height || (rows + 1) * row > (int64_t{1} << 20))
            << width << "x" << height << "x" << bits << ": " << rows << " rows of " << row;
      }
    }
  }
}

}  // namespace
