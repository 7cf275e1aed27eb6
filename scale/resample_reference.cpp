// The reference resampler and the result record of a resize.
#include "resample_reference.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

// One channel at bit position shift. The grouping is the documented one and
// must not be reordered: the bits of the result depend on it.
inline uint32_t blend_channel(uint32_t s00, uint32_t s10, uint32_t s01, uint32_t s11,
                              unsigned shift, double fx, double fy, double gx, double gy) {
  double c00 = static_cast<double>((s00 >> shift) & 0xFFu);
  double c10 = static_cast<double>((s10 >> shift) & 0xFFu);
  double c01 = static_cast<double>((s01 >> shift) & 0xFFu);
  double c11 = static_cast<double>((s11 >> shift) & 0xFFu);
  double v = ((c00 * gx + c10 * fx) * gy) + ((c01 * gx + c11 * fx) * fy);
  int32_t t = static_cast<int32_t>(v);  // truncation toward zero
  if (t > 255) t = 255;
  if (t < 0) t = 0;
  return static_cast<uint32_t>(t) << shift;
}

}  // namespace

uint32_t blend_bilinear_24(uint32_t s00, uint32_t s10, uint32_t s01, uint32_t s11, double fx,
                           double fy) {
  double gx = 1.0 - fx;
  double gy = 1.0 - fy;
  uint32_t red = blend_channel(s00, s10, s01, s11, 16, fx, fy, gx, gy);
  uint32_t green = blend_channel(s00, s10, s01, s11, 8, fx, fy, gx, gy);
  uint32_t blue = blend_channel(s00, s10, s01, s11, 0, fx, fy, gx, gy);
  return red | green | blue;
}

// The 24-bit blend and the fourth channel: each channel is blended alone.
uint32_t blend_bilinear_32(uint32_t s00, uint32_t s10, uint32_t s01, uint32_t s11, double fx,
                           double fy) {
  return blend_bilinear_24(s00, s10, s01, s11, fx, fy) |
         blend_channel(s00, s10, s01, s11, 24, fx, fy, 1.0 - fx, 1.0 - fy);
}

namespace {

// The result's palette (a copy of the source's) and zero-filled pixels.
// Returns the message of the allocation that failed, or null.
const char* fill_resampled(RasterImage* result, const RasterImage* source) {
  const bool palette = source->palette != nullptr && source->palette_count > 0;
  result->palette_count = palette ? source->palette_count : 0;
  // The whole file must stay describable by its 32-bit size fields: checked
  // before anything is allocated or copied, so a huge palette costs nothing.
  const int64_t pixel_bytes =
      pixel_array_size(result->width, result->height, result->bits_per_pixel);
  if (pixel_bytes <= 0 || bmp_file_size(result) < 0) {
    return "Error: Memory allocation failed for image data\n";
  }
  if (palette) {
    const size_t bytes = static_cast<size_t>(source->palette_count) * sizeof(PaletteEntry);
    result->palette = static_cast<PaletteEntry*>(malloc(bytes));
    if (result->palette == nullptr) {
      return "Error: Memory allocation failed for color table\n";
    }
    memcpy(result->palette, source->palette, bytes);
  }
  result->pixels = static_cast<uint8_t*>(calloc(static_cast<size_t>(pixel_bytes), 1));
  return result->pixels == nullptr ? "Error: Memory allocation failed for image data\n" : nullptr;
}

}  // namespace

RasterImage* new_resampled_image(const RasterImage* source, int32_t new_width, int32_t new_height) {
  RasterImage* result = new_raster_record(new_width, new_height, source->bits_per_pixel);
  const char* failure =
      result == nullptr ? "Error: Memory allocation failed\n" : fill_resampled(result, source);
  if (failure != nullptr) {
    fprintf(stderr, "%s", failure);
    free_image(result);
    result = nullptr;
  }
  return result;
}

void resample_span_reference(const RasterImage* source, RasterImage* result, int32_t row,
                             int32_t first_column, int32_t end_column) {
  double scale_x = static_cast<double>(source->width) / static_cast<double>(result->width);
  double scale_y = static_cast<double>(source->height) / static_cast<double>(result->height);
  double sy = static_cast<double>(row) * scale_y;
  int32_t y0 = static_cast<int32_t>(sy);
  double fy = sy - static_cast<double>(y0);
  int32_t y1 = y0 + 1;
  for (int32_t j = first_column; j < end_column; ++j) {
    double sx = static_cast<double>(j) * scale_x;
    int32_t x0 = static_cast<int32_t>(sx);
    double fx = sx - static_cast<double>(x0);
    int32_t x1 = x0 + 1;
    if (result->bits_per_pixel == 32) {
      uint32_t v =
          blend_bilinear_32(get_pixel_32(source, x0, y0), get_pixel_32(source, x1, y0),
                            get_pixel_32(source, x0, y1), get_pixel_32(source, x1, y1), fx, fy);
      set_pixel_32(result, j, row, v);
    } else if (result->bits_per_pixel == 24) {
      uint32_t v =
          blend_bilinear_24(get_pixel_24(source, x0, y0), get_pixel_24(source, x1, y0),
                            get_pixel_24(source, x0, y1), get_pixel_24(source, x1, y1), fx, fy);
      set_pixel_24(result, j, row, v);
    } else {
      set_pixel(result, j, row, get_pixel(source, x0, y0));
    }
  }
}

void resample_pixels_reference(const RasterImage* source, RasterImage* result) {
  for (int32_t i = 0; i < result->height; ++i) {
    resample_span_reference(source, result, i, 0, result->width);
  }
}

RasterImage* resample_image_reference(const RasterImage* source, int32_t new_width,
                                      int32_t new_height) {
  RasterImage* result = new_resampled_image(source, new_width, new_height);
  if (result != nullptr) {
    resample_pixels_reference(source, result);
  }
  return result;
}
