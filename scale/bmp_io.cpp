// load_bmp and save_bmp: headers field by field, little-endian byte by byte.
#include "bmp_io.h"

#include <cstdio>
#include <cstdlib>

#include "bmp_format.h"
#include "file_io.h"

static_assert(sizeof(PaletteEntry) == kPaletteEntrySize, "a palette entry is 4 bytes");

namespace {

uint16_t read_field16(FILE* file) {
  uint8_t bytes[2];
  read_or_zero(file, bytes, sizeof bytes);
  return le16(bytes);
}

uint32_t read_field32(FILE* file) {
  uint8_t bytes[4];
  read_or_zero(file, bytes, sizeof bytes);
  return le32(bytes);
}

int32_t read_field32s(FILE* file) {
  uint8_t bytes[4];
  read_or_zero(file, bytes, sizeof bytes);
  return le32s(bytes);
}

int write_field16(FILE* file, uint32_t value) {
  uint8_t bytes[2];
  put_le16(bytes, value);
  return fwrite(bytes, 1, sizeof bytes, file) == sizeof bytes;
}

int write_field32(FILE* file, uint32_t value) {
  uint8_t bytes[4];
  put_le32(bytes, value);
  return fwrite(bytes, 1, sizeof bytes, file) == sizeof bytes;
}

bool supported_depth(uint32_t bits) {
  return bits == 2 || bits == 8 || bits == 16 || bits == 24 || bits == 32;
}

}  // namespace

RasterImage* load_bmp(const char* path) {
  FILE* file = fopen(path, "rb");
  if (file == nullptr) {
    fprintf(stderr, "Error: Could not open input file '%s'\n", path);
    return nullptr;
  }

  uint16_t signature = read_field16(file);
  if (signature != kBmpSignature) {
    fprintf(stderr, "Error: Not a valid BMP file (magic: 0x%04X)\n", signature);
    fclose(file);
    return nullptr;
  }
  (void)read_field32(file);  // file size
  (void)read_field16(file);  // reserved
  (void)read_field16(file);  // reserved
  uint32_t pixel_data_offset = read_field32(file);
  uint32_t header_size = read_field32(file);
  int32_t width = read_field32s(file);
  int32_t height = read_field32s(file);
  (void)read_field16(file);  // planes
  uint16_t bits_per_pixel = read_field16(file);
  uint32_t compression = read_field32(file);
  (void)read_field32(file);  // image size
  (void)read_field32(file);  // horizontal resolution
  (void)read_field32(file);  // vertical resolution
  uint32_t colors_used = read_field32(file);
  (void)read_field32(file);  // important colours

  if (compression != 0) {
    fprintf(stderr, "Error: Compressed BMPs are not supported\n");
    fclose(file);
    return nullptr;
  }
  if (!supported_depth(bits_per_pixel)) {
    fprintf(stderr, "Error: Unsupported bit depth: %d\n", bits_per_pixel);
    fclose(file);
    return nullptr;
  }

  RasterImage* image = new_raster_record(width, height, bits_per_pixel);
  if (image == nullptr) {
    fprintf(stderr, "Error: Memory allocation failed\n");
    fclose(file);
    return nullptr;
  }

  if (bits_per_pixel <= 8) {
    uint32_t count = colors_used != 0 ? colors_used : (bits_per_pixel == 2 ? 4u : 256u);
    // Any colours-used value is taken; its size must still fit a 32-bit field.
    int64_t bytes = static_cast<int64_t>(count) * kPaletteEntrySize;
    if (bytes <= kMaxField32) {
      image->palette = static_cast<PaletteEntry*>(calloc(count, sizeof(PaletteEntry)));
    }
    if (image->palette == nullptr) {
      fprintf(stderr, "Error: Memory allocation failed for color table\n");
      free(image);
      fclose(file);
      return nullptr;
    }
    image->palette_count = static_cast<int32_t>(count);
    // The palette follows the information header, whatever its size; a
    // header of 40 bytes or less puts it at offset 54.
    uint64_t palette_offset = header_size > kInfoHeaderSize
                                  ? static_cast<uint64_t>(kFileHeaderSize) + header_size
                                  : kHeadersSize;
    // An unreachable offset leaves the palette zero, like any short input.
    if (palette_offset == kHeadersSize || seek_from_start(file, palette_offset)) {
      // calloc left it zero: entries the file lacks stay 0 without a fill.
      (void)fread(image->palette, 1, static_cast<size_t>(bytes), file);
    }
  }

  // Zero-sized images are refused here as well: there is nothing to resample.
  int64_t size = pixel_array_size(width, height, bits_per_pixel);
  if (size > 0) {
    image->pixels = static_cast<uint8_t*>(calloc(static_cast<size_t>(size), 1));
  }
  if (image->pixels == nullptr) {
    fprintf(stderr, "Error: Memory allocation failed for image data\n");
    free(image->palette);
    free(image);
    fclose(file);
    return nullptr;
  }
  // Missing pixel bytes stay 0 (calloc); a short read is not an error here.
  if (seek_from_start(file, pixel_data_offset)) {
    (void)fread(image->pixels, 1, static_cast<size_t>(size), file);
  }
  fclose(file);
  return image;
}

int save_bmp(const RasterImage* image, const char* path) {
  // Checked before the file is touched: no size field may wrap.
  int64_t file_size = bmp_file_size(image);
  if (file_size < 0) {
    fprintf(stderr, "Error: Could not write output file '%s'\n", path);
    return 0;
  }
  FILE* file = fopen(path, "wb");
  if (file == nullptr) {
    fprintf(stderr, "Error: Could not open output file '%s'\n", path);
    return 0;
  }
  uint32_t pixel_bytes = static_cast<uint32_t>(
      pixel_array_size(image->width, image->height, image->bits_per_pixel));
  uint32_t palette_count = static_cast<uint32_t>(image->palette_count);
  uint32_t offset = palette_count * kPaletteEntrySize + kHeadersSize;

  int ok = write_field16(file, kBmpSignature) && write_field32(file, static_cast<uint32_t>(file_size)) &&
           write_field16(file, 0) && write_field16(file, 0) && write_field32(file, offset) &&
           write_field32(file, kInfoHeaderSize) &&
           write_field32(file, static_cast<uint32_t>(image->width)) &&
           write_field32(file, static_cast<uint32_t>(image->height)) && write_field16(file, 1) &&
           write_field16(file, image->bits_per_pixel) && write_field32(file, 0) &&
           write_field32(file, pixel_bytes) && write_field32(file, kPixelsPerMetre) &&
           write_field32(file, kPixelsPerMetre) && write_field32(file, palette_count) &&
           write_field32(file, palette_count);
  if (ok && image->palette != nullptr) {
    ok = fwrite(image->palette, sizeof(PaletteEntry), palette_count, file) == palette_count;
  }
  if (ok) {
    ok = fwrite(image->pixels, 1, pixel_bytes, file) == pixel_bytes;
  }
  // A stream buffers: a full disk may show only when it is flushed and closed.
  if (!close_written(file) || !ok) {
    fprintf(stderr, "Error: Could not write output file '%s'\n", path);
    return 0;
  }
  return 1;
}
