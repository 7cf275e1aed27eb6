// The reference resampler, the definition every faster path must match byte
// for byte: the bilinear blends of packed samples, the result record of a
// resize, and the pixels computed one by one through the bounds-checked
// accessors.
#ifndef VORLIN_SCALE_RESAMPLE_REFERENCE_H
#define VORLIN_SCALE_RESAMPLE_REFERENCE_H

#include <cstdint>

#include "raster_image.h"

// Bilinear blend of four packed samples (s00 at (x0, y0), s10 at (x0 + 1, y0),
// s01 at (x0, y0 + 1), s11 at (x0 + 1, y0 + 1)) with fractions fx, fy.
// The 32-bit form blends four channels, the 24-bit form three (bits 24-31 zero).
uint32_t blend_bilinear_32(uint32_t s00, uint32_t s10, uint32_t s01, uint32_t s11, double fx,
                           double fy);
uint32_t blend_bilinear_24(uint32_t s00, uint32_t s10, uint32_t s01, uint32_t s11, double fx,
                           double fy);

// The result of a resize before its pixels: new_width x new_height (both
// >= 1), the source's depth, a copy of its palette, zero-filled pixels. Null
// after printing which allocation failed; a result whose file would not fit
// the 32-bit size fields is refused as a failed pixel allocation, before the
// palette is allocated or copied.
RasterImage* new_resampled_image(const RasterImage* source, int32_t new_width, int32_t new_height);

// Every pixel of result computed the reference way from the source.
void resample_pixels_reference(const RasterImage* source, RasterImage* result);

// The same image computed pixel by pixel through the bounds-checked
// accessors: the definition every faster path must match byte for byte.
RasterImage* resample_image_reference(const RasterImage* source, int32_t new_width,
                                      int32_t new_height);

// Pixels first_column .. end_column - 1 of one result row, computed the
// reference way. The result's size and depth say how the source is sampled.
void resample_span_reference(const RasterImage* source, RasterImage* result, int32_t row,
                             int32_t first_column, int32_t end_column);

#endif  // VORLIN_SCALE_RESAMPLE_REFERENCE_H
