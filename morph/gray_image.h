// The erosion module's image: one byte a pixel, rows top to bottom without
// padding, with bounds-checked pixel access. The loader that fills it from a
// BMP file is in gray_bmp_loader.h, the writer in gray_bmp_writer.h.
#ifndef VORLIN_MORPH_GRAY_IMAGE_H
#define VORLIN_MORPH_GRAY_IMAGE_H

#include <cstdint>

struct GrayImage {
  uint8_t* pixels;  // width x height bytes; pixel (x, y) is at y x width + x
  int32_t width;
  int32_t height;
};

// New image with every pixel 0, or null. Refuses a width or height below 1
// and a pixel block too large for a 32-bit size field (kMaxField32), both
// before allocating; null
// also when an allocation fails. Prints nothing.
GrayImage* new_gray_image(int32_t width, int32_t height);

// The same, with the pixel bytes left unset: for a caller that writes every
// one of them (a zero fill would only be overwritten).
GrayImage* new_gray_image_unfilled(int32_t width, int32_t height);

// Releases the pixel block, then the record; nothing for null.
void free_gray_image(GrayImage* image);

// Pixel value 0-255 inside the image, 0 outside it.
int32_t gray_at(const GrayImage* image, int32_t x, int32_t y);

// Stores the low byte of value inside the image; does nothing outside it.
void set_gray(GrayImage* image, int32_t x, int32_t y, int32_t value);

#endif  // VORLIN_MORPH_GRAY_IMAGE_H
