// The resizer's in-memory image: pixel bytes laid out exactly as a BMP file's
// pixel array (rows in file order, each padded to 4 bytes), an optional
// palette that is only carried along, and bounds-checked pixel access per
// depth.
#ifndef VORLIN_SCALE_RASTER_IMAGE_H
#define VORLIN_SCALE_RASTER_IMAGE_H

#include <cstdint>

#include "bmp_format.h"  // bmp_row_bytes: a stored row's padded length

struct PaletteEntry {
  uint8_t blue;
  uint8_t green;
  uint8_t red;
  uint8_t reserved;
};

struct RasterImage {
  uint8_t* pixels;  // bmp_row_bytes(width, bits_per_pixel) x height bytes
  int32_t width;
  int32_t height;
  uint16_t bits_per_pixel;  // 2, 8, 16, 24 or 32
  PaletteEntry* palette;    // null when there is none
  int32_t palette_count;    // 0 when palette is null
};

// bmp_row_bytes x height, or -1 when a dimension is negative or the product does
// not fit a 32-bit size field.
int64_t pixel_array_size(int32_t width, int32_t height, uint16_t bits_per_pixel);

// Size of the BMP file that save_bmp writes for this image, or -1 when it
// would not fit the 32-bit file-size field.
int64_t bmp_file_size(const RasterImage* image);

// Per-depth accessors. Outside 0 <= x < width, 0 <= y < height a read gives 0
// and a write does nothing.
uint32_t get_pixel_32(const RasterImage* image, int32_t x, int32_t y);
uint32_t get_pixel_24(const RasterImage* image, int32_t x, int32_t y);
uint32_t get_pixel_16(const RasterImage* image, int32_t x, int32_t y);
uint32_t get_pixel_8(const RasterImage* image, int32_t x, int32_t y);
uint32_t get_pixel_2(const RasterImage* image, int32_t x, int32_t y);
void set_pixel_32(RasterImage* image, int32_t x, int32_t y, uint32_t value);
void set_pixel_24(RasterImage* image, int32_t x, int32_t y, uint32_t value);
void set_pixel_16(RasterImage* image, int32_t x, int32_t y, uint32_t value);
void set_pixel_8(RasterImage* image, int32_t x, int32_t y, uint32_t value);
void set_pixel_2(RasterImage* image, int32_t x, int32_t y, uint32_t value);

// Dispatch on bits_per_pixel; any other depth reads 0 and writes nothing.
uint32_t get_pixel(const RasterImage* image, int32_t x, int32_t y);
void set_pixel(RasterImage* image, int32_t x, int32_t y, uint32_t value);

// A fresh record of this size and depth, with no pixels and no palette, or
// null when the record cannot be allocated. Prints nothing.
RasterImage* new_raster_record(int32_t width, int32_t height, uint16_t bits_per_pixel);

// Releases the pixel array, the palette, then the record; nothing for null.
void free_image(RasterImage* image);

#endif  // VORLIN_SCALE_RASTER_IMAGE_H
