// load_gray_bmp: both headers as whole blocks, then the pixel rows in blocks
// of several rows, thresholded (24 bits) or copied (8 bits) into the image.
#include "gray_bmp_loader.h"

#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "bmp_format.h"
#include "file_io.h"
#include "gray_blocks.h"

namespace {

// Where the pixel rows are and how they are stored, from the headers.
struct GrayBmpLayout {
  int32_t width;
  int32_t height;
  int32_t bits_per_pixel;  // 8 or 24
  uint32_t pixel_data_offset;
  int64_t row_bytes;  // bytes of one stored row, padding included
};

// Reads both headers and checks them. Returns true with the layout filled in
// and the loading line printed, or false after the one message that says why
// the file cannot be loaded.
bool read_gray_headers(FILE* file, GrayBmpLayout* layout) {
  uint8_t file_header[kFileHeaderSize];
  if (read_fully(file, file_header, sizeof file_header) != sizeof file_header) {
    printf("Error: Cannot read file header\n");
    return false;
  }
  if (le16(file_header + kOffSignature) != kBmpSignature) {
    printf("Error: Invalid BMP file (signature mismatch)\n");
    return false;
  }
  uint8_t info_header[kInfoHeaderSize];
  if (read_fully(file, info_header, sizeof info_header) != sizeof info_header) {
    printf("Error: Cannot read info header\n");
    return false;
  }
  // A shorter (OS/2-style) header would have its palette taken for the
  // fields read here.
  const uint32_t header_size = le32(info_header + kOffHeaderSize);
  if (header_size < kInfoHeaderSize) {
    printf("Error: Unsupported BMP header size: %u\n", static_cast<unsigned>(header_size));
    return false;
  }
  int32_t bits_per_pixel = le16(info_header + kOffBitsPerPixel);
  if (bits_per_pixel != 8 && bits_per_pixel != 24) {
    printf("Error: Only 8-bit (grayscale) and 24-bit (RGB) BMP supported\n");
    return false;
  }
  // Compressed pixel data would be taken for raw rows and give garbage.
  if (le32(info_header + kOffCompression) != 0) {
    printf("Error: Compressed BMPs are not supported\n");
    return false;
  }
  layout->width = le32s(info_header + kOffWidth);
  layout->height = le32s(info_header + kOffHeight);
  layout->bits_per_pixel = bits_per_pixel;
  layout->pixel_data_offset = le32(file_header + kOffPixelDataOffset);
  layout->row_bytes = bmp_row_bytes(layout->width, static_cast<uint32_t>(bits_per_pixel));
  // The offset is shown as the signed 32-bit number it was always shown as.
  printf("Loading: width=%d, height=%d, bits=%d, offset=%d\n", layout->width, layout->height,
         bits_per_pixel, le32s(file_header + kOffPixelDataOffset));
  return true;
}

// Fills every row of the image from the file's pixel rows, which start at
// the pixel data offset, bottom row of the picture first; 24-bit rows go
// through the kernels' threshold. Returns true, or false silently when the
// block buffer cannot be allocated, or after naming the first row not read
// in full. The block is released on every path.
bool read_gray_rows(FILE* file, GrayImage* image, const GrayBmpLayout& layout,
                    const ErodeKernelSet& kernels) {
  // An offset the stream cannot reach (beyond its end, or behind the
  // headers on a stream that cannot seek) shows up as the first row not read.
  int positioned = reach_offset(file, layout.pixel_data_offset, kHeadersSize);
  printf("Processing: bits_per_pixel=%d, row_size=%" PRId64 "\n", layout.bits_per_pixel,
         layout.row_bytes);

  const int64_t rows_per_block = gray_rows_per_block(layout.row_bytes, layout.height);
  // At most 1 MiB or one row (under 2^33 bytes), plus the slack.
  const uint64_t block_bytes =
      static_cast<uint64_t>(rows_per_block * layout.row_bytes) + kGrayBlockSlack;
  uint8_t* block = nullptr;
  if (block_bytes <= SIZE_MAX) {
    block = static_cast<uint8_t*>(malloc(static_cast<size_t>(block_bytes)));
  }
  if (block == nullptr) {
    return false;
  }
  const size_t row_bytes = static_cast<size_t>(layout.row_bytes);
  const size_t width_bytes = static_cast<size_t>(layout.width);
  // The first row read is the picture's bottom row.
  uint8_t* rows =
      gray_block_rows(block, image->pixels + static_cast<size_t>(layout.height - 1) * width_bytes);

  // A block that comes up short names its first row not read in full, as
  // reading row by row would.
  bool complete = true;
  int32_t n = layout.height - 1;
  while (n >= 0 && complete) {
    size_t wanted =
        n + 1 < rows_per_block ? static_cast<size_t>(n) + 1 : static_cast<size_t>(rows_per_block);
    size_t got = positioned ? read_fully(file, rows, wanted * row_bytes) / row_bytes : 0;
    for (size_t r = 0; r < got; ++r, --n) {
      const uint8_t* row = rows + r * row_bytes;
      uint8_t* target = image->pixels + static_cast<size_t>(n) * width_bytes;
      if (layout.bits_per_pixel == 24) {
        kernels.threshold_row(target, row, width_bytes);
      } else {
        memcpy(target, row, width_bytes);
      }
    }
    if (got < wanted) {
      if (layout.bits_per_pixel == 24) {
        printf("Error: Cannot read 24-bit pixel row %d\n", n);
      } else {
        printf("Error: Cannot read 8-bit pixel row %d (expected %" PRId64 " bytes)\n", n,
               layout.row_bytes);
      }
      complete = false;
    }
  }
  free(block);
  return complete;
}

// Everything load_gray_bmp does between opening and closing the file: the
// image, or null after one failure path releases it.
GrayImage* read_gray_bmp(FILE* file, GrayBmpLayout* layout, const ErodeKernelSet& kernels) {
  GrayImage* image = nullptr;
  bool ok = read_gray_headers(file, layout);
  if (ok) {
    // Sizes no image can have are refused here, silently. Every pixel is
    // written before the image is handed out, so it is not zero-filled first.
    image = new_gray_image_unfilled(layout->width, layout->height);
    ok = image != nullptr;
  }
  if (ok) {
    ok = read_gray_rows(file, image, *layout, kernels);
  }
  if (!ok) {
    free_gray_image(image);
    return nullptr;
  }
  return image;
}

}  // namespace

GrayImage* load_gray_bmp(const char* path, const ErodeKernelSet& kernels, FileIdentity* identity) {
  FILE* file = open_for_reading(path, identity);
  if (file == nullptr) {
    printf("Error: Cannot open file '%s'\n", path);
    return nullptr;
  }
  GrayBmpLayout layout = {};
  GrayImage* image = read_gray_bmp(file, &layout, kernels);
  fclose(file);
  if (image != nullptr) {
    printf("Successfully loaded BMP: %dx%d (row_size=%" PRId64 ", bits=%d)\n", layout.width,
           layout.height, layout.row_bytes, layout.bits_per_pixel);
  }
  return image;
}
