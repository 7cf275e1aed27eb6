// save_gray_bmp: headers assembled byte by byte in memory, written as blocks,
// every write checked up to the close.
#include "gray_bmp_writer.h"

#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "bmp_format.h"
#include "gray_blocks.h"
#include "output_file.h"

namespace {

constexpr uint32_t kGrayLevels = 256;
constexpr uint32_t kPaletteSize = kGrayLevels * kPaletteEntrySize;  // 1024
constexpr uint32_t kGrayPixelOffset = kHeadersSize + kPaletteSize;  // 1078

}  // namespace

int64_t gray_bmp_file_size(int32_t width, int32_t height) {
  int64_t size = bmp_row_bytes(width, 8) * height + kGrayPixelOffset;
  return size <= kMaxField32 ? size : -1;
}

namespace {

// The rows, bottom row of the picture first, in blocks as the loader reads
// them. Returns true when the output took them all, or false after the one
// message that says why not.
bool write_gray_rows(OutputFile* file, const GrayImage* image) {
  const int32_t height = image->height;
  // The file-size check bounds row_bytes well below SIZE_MAX (a width below
  // 2^31 keeps it there with the slack), and a block holds at most 1 MiB or
  // one row.
  const size_t row_bytes = static_cast<size_t>(bmp_row_bytes(image->width, 8));
  const size_t width_bytes = static_cast<size_t>(image->width);
  const size_t rows_per_block =
      static_cast<size_t>(gray_rows_per_block(static_cast<int64_t>(row_bytes), height));
  uint8_t* block = static_cast<uint8_t*>(calloc(rows_per_block * row_bytes + kGrayBlockSlack, 1));
  if (block == nullptr) {
    printf("Error: Memory allocation failed\n");
    return false;
  }
  // The first row written is the picture's bottom row.
  uint8_t* stored =
      gray_block_rows(block, image->pixels + static_cast<size_t>(height - 1) * width_bytes);
  // Bottom row of the picture first; the pad bytes stay 0 from calloc. A
  // short write leaves the file with what came before it, as row by row would.
  bool ok = true;
  int32_t y = height - 1;
  while (y >= 0 && ok) {
    size_t rows = 0;
    for (; rows < rows_per_block && y >= 0; ++rows, --y) {
      memcpy(stored + rows * row_bytes, image->pixels + static_cast<size_t>(y) * width_bytes,
             width_bytes);
    }
    if (!write_output(file, stored, rows * row_bytes)) {
      printf("Error: Cannot write pixel data\n");
      ok = false;
    }
  }
  free(block);
  return ok;
}

// Headers, palette and rows, each write checked. Returns true when the
// output took every byte, or false after the one message naming the part
// that failed.
bool write_gray_bmp(OutputFile* file, const GrayImage* image, int64_t file_size) {
  const int32_t width = image->width;
  const int32_t height = image->height;
  const uint32_t image_size = static_cast<uint32_t>(file_size - kGrayPixelOffset);

  uint8_t file_header[kFileHeaderSize] = {};
  put_le16(file_header + kOffSignature, kBmpSignature);
  put_le32(file_header + kOffFileSize, static_cast<uint32_t>(file_size));
  put_le32(file_header + kOffPixelDataOffset, kGrayPixelOffset);

  uint8_t info_header[kInfoHeaderSize] = {};
  put_le32(info_header + kOffHeaderSize, kInfoHeaderSize);
  put_le32(info_header + kOffWidth, static_cast<uint32_t>(width));
  put_le32(info_header + kOffHeight, static_cast<uint32_t>(height));
  put_le16(info_header + kOffPlanes, 1);
  put_le16(info_header + kOffBitsPerPixel, 8);
  put_le32(info_header + kOffCompression, 0);
  put_le32(info_header + kOffImageSize, image_size);
  put_le32(info_header + kOffXResolution, kPixelsPerMetre);
  put_le32(info_header + kOffYResolution, kPixelsPerMetre);
  put_le32(info_header + kOffColorsUsed, kGrayLevels);
  put_le32(info_header + kOffColorsImportant, 0);

  if (!write_output(file, file_header, sizeof file_header)) {
    printf("Error: Cannot write file header\n");
    return false;
  }
  if (!write_output(file, info_header, sizeof info_header)) {
    printf("Error: Cannot write info header\n");
    return false;
  }
  uint8_t palette[kPaletteSize];
  for (uint32_t i = 0; i < kGrayLevels; ++i) {
    uint8_t* entry = palette + i * kPaletteEntrySize;
    entry[0] = entry[1] = entry[2] = static_cast<uint8_t>(i);
    entry[3] = 0;
  }
  if (!write_output(file, palette, sizeof palette)) {
    printf("Error: Cannot write color table\n");
    return false;
  }
  return write_gray_rows(file, image);
}

}  // namespace

bool save_gray_bmp(const GrayImage* image, const char* path, const InputOrigin* input) {
  // Checked before the file is touched: no size field may wrap.
  const int64_t file_size = gray_bmp_file_size(image->width, image->height);
  if (file_size < 0) {
    printf("Error: Image too large for a BMP file\n");
    return false;
  }
  OutputFile output;
  if (!open_output(&output, path, input)) {
    printf("Error: Cannot create output file '%s'\n", path);
    return false;
  }
  bool written = write_gray_bmp(&output, image, file_size);
  // Writes are buffered: a full disk may show only when the rest goes out.
  // A write that failed earlier has been reported already.
  int closed = close_output(&output, written);
  if (written && !closed) {
    printf("Error: Cannot write output file '%s'\n", path);
  }
  if (!written || !closed) {
    return false;
  }
  printf("Successfully saved BMP: %s (%dx%d, row_size=%" PRId64 ")\n", path, image->width,
         image->height, bmp_row_bytes(image->width, 8));
  return true;
}
