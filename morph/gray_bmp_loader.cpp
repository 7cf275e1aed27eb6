// load_gray_bmp: both headers as whole blocks, then the pixel rows in blocks
// of several rows, thresholded (24 bits) or copied (8 bits) into the image.
#include "gray_bmp_loader.h"

#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "bmp_format.h"
#include "file_io.h"

namespace {

// A 24-bit pixel is white only when its average is strictly above this.
constexpr uint32_t kWhiteThreshold = 128;

}  // namespace

int64_t gray_rows_per_block(int64_t row_size, int32_t width, int32_t height) {
  const int64_t kSmallBlock = int64_t{64} << 10;
  const int64_t kLargeBlock = int64_t{256} << 10;
  const int64_t image = static_cast<int64_t>(width) * height;
  int64_t limit = image < kLargeBlock ? image : kLargeBlock;
  if (limit < kSmallBlock) limit = kSmallBlock;
  int64_t rows = limit / row_size;
  if (rows < 1) rows = 1;
  return rows < height ? rows : height;
}

GrayImage* load_gray_bmp(const char* path) {
  FILE* file = fopen(path, "rb");
  if (file == nullptr) {
    printf("Error: Cannot open file '%s'\n", path);
    return nullptr;
  }

  uint8_t file_header[kFileHeaderSize];
  if (fread(file_header, sizeof file_header, 1, file) != 1) {
    printf("Error: Cannot read file header\n");
    fclose(file);
    return nullptr;
  }
  if (le16(file_header + kOffSignature) != kBmpSignature) {
    printf("Error: Invalid BMP file (signature mismatch)\n");
    fclose(file);
    return nullptr;
  }
  uint8_t info_header[kInfoHeaderSize];
  if (fread(info_header, sizeof info_header, 1, file) != 1) {
    printf("Error: Cannot read info header\n");
    fclose(file);
    return nullptr;
  }
  int32_t bits_per_pixel = le16(info_header + kOffBitsPerPixel);
  if (bits_per_pixel != 8 && bits_per_pixel != 24) {
    printf("Error: Only 8-bit (grayscale) and 24-bit (RGB) BMP supported\n");
    fclose(file);
    return nullptr;
  }
  // Compressed pixel data would be taken for raw rows and give garbage.
  if (le32(info_header + kOffCompression) != 0) {
    printf("Error: Compressed BMPs are not supported\n");
    fclose(file);
    return nullptr;
  }
  int32_t width = le32s(info_header + kOffWidth);
  int32_t height = le32s(info_header + kOffHeight);
  uint32_t pixel_data_offset = le32(file_header + kOffPixelDataOffset);
  // The offset is shown as the signed 32-bit number it was always shown as.
  printf("Loading: width=%d, height=%d, bits=%d, offset=%d\n", width, height, bits_per_pixel,
         le32s(file_header + kOffPixelDataOffset));

  GrayImage* image = create_gray_image(width, height);
  if (image == nullptr) {
    fclose(file);
    return nullptr;
  }
  // An offset the stream cannot reach shows up as the first row not read.
  int positioned = seek_from_start(file, pixel_data_offset);
  int64_t row_size = bmp_row_bytes(width, static_cast<uint32_t>(bits_per_pixel));
  printf("Processing: bits_per_pixel=%d, row_size=%" PRId64 "\n", bits_per_pixel, row_size);

  const int64_t rows_per_block = gray_rows_per_block(row_size, width, height);
  uint8_t* block = nullptr;
  if (static_cast<uint64_t>(row_size) <= SIZE_MAX) {
    block = static_cast<uint8_t*>(
        malloc(static_cast<size_t>(rows_per_block) * static_cast<size_t>(row_size)));
  }
  if (block == nullptr) {
    free_gray_image(image);
    fclose(file);
    return nullptr;
  }
  const size_t row_bytes = static_cast<size_t>(row_size);
  const size_t width_bytes = static_cast<size_t>(width);

  // The file stores the picture's bottom row first. A block that comes up
  // short names its first row not read in full, as reading row by row would.
  int32_t n = height - 1;
  while (n >= 0) {
    size_t wanted =
        n + 1 < rows_per_block ? static_cast<size_t>(n) + 1 : static_cast<size_t>(rows_per_block);
    size_t got = positioned ? fread(block, row_bytes, wanted, file) : 0;
    for (size_t r = 0; r < got; ++r, --n) {
      const uint8_t* row = block + r * row_bytes;
      uint8_t* target = image->pixels + static_cast<size_t>(n) * width_bytes;
      if (bits_per_pixel == 24) {
        for (size_t x = 0; x < width_bytes; ++x) {
          const uint8_t* p = row + 3 * x;
          uint32_t average = (static_cast<uint32_t>(p[0]) + p[1] + p[2]) / 3;
          target[x] = average > kWhiteThreshold ? 255 : 0;
        }
      } else {
        memcpy(target, row, width_bytes);
      }
    }
    if (got < wanted) {
      if (bits_per_pixel == 24) {
        printf("Error: Cannot read 24-bit pixel row %d\n", n);
      } else {
        printf("Error: Cannot read 8-bit pixel row %d (expected %" PRId64 " bytes)\n", n, row_size);
      }
      free(block);
      free_gray_image(image);
      fclose(file);
      return nullptr;
    }
  }

  free(block);
  fclose(file);
  printf("Successfully loaded BMP: %dx%d (row_size=%" PRId64 ", bits=%d)\n", width, height,
         row_size, bits_per_pixel);
  return image;
}
