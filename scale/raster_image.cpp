// RasterImage: the pixel array and file sizes, per-depth pixel
// access, and the record's making and freeing.
#include "raster_image.h"

#include <cstdlib>

int64_t pixel_array_size(int32_t width, int32_t height, uint16_t bits_per_pixel) {
  // A negative width times a negative height is positive: refuse each sign on its own.
  if (width < 0 || height < 0) {
    return -1;
  }
  int64_t row_bytes = bmp_row_bytes(width, bits_per_pixel);
  if (row_bytes > 0 && height > kMaxField32 / row_bytes) {
    return -1;
  }
  return row_bytes * height;
}

int64_t bmp_file_size(const RasterImage* image) {
  int64_t pixels = pixel_array_size(image->width, image->height, image->bits_per_pixel);
  if (pixels < 0 || image->palette_count < 0) {
    return -1;
  }
  int64_t size =
      static_cast<int64_t>(image->palette_count) * kPaletteEntrySize + kHeadersSize + pixels;
  return size <= kMaxField32 ? size : -1;
}

namespace {

inline bool inside(const RasterImage* image, int32_t x, int32_t y) {
  return x >= 0 && x < image->width && y >= 0 && y < image->height;
}

// Start of row y; only called for rows inside the image.
inline uint8_t* row_at(const RasterImage* image, int32_t y) {
  return image->pixels + static_cast<size_t>(y) * static_cast<size_t>(bmp_row_bytes(
                                                      image->width, image->bits_per_pixel));
}

}  // namespace

uint32_t get_pixel_32(const RasterImage* image, int32_t x, int32_t y) {
  if (!inside(image, x, y)) return 0;
  return le32(row_at(image, y) + 4 * static_cast<size_t>(x));
}

uint32_t get_pixel_24(const RasterImage* image, int32_t x, int32_t y) {
  if (!inside(image, x, y)) return 0;
  const uint8_t* p = row_at(image, y) + 3 * static_cast<size_t>(x);
  return static_cast<uint32_t>(p[0]) | (static_cast<uint32_t>(p[1]) << 8) |
         (static_cast<uint32_t>(p[2]) << 16);
}

uint32_t get_pixel_16(const RasterImage* image, int32_t x, int32_t y) {
  if (!inside(image, x, y)) return 0;
  return le16(row_at(image, y) + 2 * static_cast<size_t>(x));
}

uint32_t get_pixel_8(const RasterImage* image, int32_t x, int32_t y) {
  if (!inside(image, x, y)) return 0;
  return row_at(image, y)[x];
}

// Four pixels a byte, the leftmost in the two most significant bits.
uint32_t get_pixel_2(const RasterImage* image, int32_t x, int32_t y) {
  if (!inside(image, x, y)) return 0;
  unsigned shift = 6u - 2u * (static_cast<unsigned>(x) % 4u);
  return (static_cast<uint32_t>(row_at(image, y)[x / 4]) >> shift) & 0x3u;
}

void set_pixel_32(RasterImage* image, int32_t x, int32_t y, uint32_t value) {
  if (!inside(image, x, y)) return;
  put_le32(row_at(image, y) + 4 * static_cast<size_t>(x), value);
}

void set_pixel_24(RasterImage* image, int32_t x, int32_t y, uint32_t value) {
  if (!inside(image, x, y)) return;
  uint8_t* p = row_at(image, y) + 3 * static_cast<size_t>(x);
  p[0] = static_cast<uint8_t>(value & 0xFFu);
  p[1] = static_cast<uint8_t>((value >> 8) & 0xFFu);
  p[2] = static_cast<uint8_t>((value >> 16) & 0xFFu);
}

void set_pixel_16(RasterImage* image, int32_t x, int32_t y, uint32_t value) {
  if (!inside(image, x, y)) return;
  put_le16(row_at(image, y) + 2 * static_cast<size_t>(x), value);
}

void set_pixel_8(RasterImage* image, int32_t x, int32_t y, uint32_t value) {
  if (!inside(image, x, y)) return;
  row_at(image, y)[x] = static_cast<uint8_t>(value & 0xFFu);
}

// Only the pixel's two bits change; the byte's other three pixels stay.
void set_pixel_2(RasterImage* image, int32_t x, int32_t y, uint32_t value) {
  if (!inside(image, x, y)) return;
  unsigned shift = 6u - 2u * (static_cast<unsigned>(x) % 4u);
  uint8_t* p = row_at(image, y) + x / 4;
  *p = static_cast<uint8_t>((*p & ~(0x3u << shift)) | ((value & 0x3u) << shift));
}

uint32_t get_pixel(const RasterImage* image, int32_t x, int32_t y) {
  switch (image->bits_per_pixel) {
    case 32: return get_pixel_32(image, x, y);
    case 24: return get_pixel_24(image, x, y);
    case 16: return get_pixel_16(image, x, y);
    case 8: return get_pixel_8(image, x, y);
    case 2: return get_pixel_2(image, x, y);
    default: return 0;
  }
}

void set_pixel(RasterImage* image, int32_t x, int32_t y, uint32_t value) {
  switch (image->bits_per_pixel) {
    case 32: set_pixel_32(image, x, y, value); break;
    case 24: set_pixel_24(image, x, y, value); break;
    case 16: set_pixel_16(image, x, y, value); break;
    case 8: set_pixel_8(image, x, y, value); break;
    case 2: set_pixel_2(image, x, y, value); break;
    default: break;
  }
}

RasterImage* new_raster_record(int32_t width, int32_t height, uint16_t bits_per_pixel) {
  RasterImage* image = static_cast<RasterImage*>(malloc(sizeof(RasterImage)));
  if (image != nullptr) {
    image->pixels = nullptr;
    image->width = width;
    image->height = height;
    image->bits_per_pixel = bits_per_pixel;
    image->palette = nullptr;
    image->palette_count = 0;
  }
  return image;
}

void free_image(RasterImage* image) {
  if (image == nullptr) {
    return;
  }
  free(image->pixels);
  free(image->palette);
  free(image);
}
