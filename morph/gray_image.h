// The erosion module's image: one byte a pixel, rows top to bottom without
// padding, with bounds-checked pixel access, and the 8/24-bit BMP loader that
// fills it. Every message of the loader goes to standard output.
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
GrayImage* create_gray_image(int32_t width, int32_t height);

// The same, with the pixel bytes left unset: for a caller that writes every
// one of them (a zero fill would only be overwritten).
GrayImage* create_gray_image_unfilled(int32_t width, int32_t height);

// Releases the pixel block, then the record; nothing for null.
void free_gray_image(GrayImage* image);

// Pixel value 0-255 inside the image, 0 outside it.
int32_t gray_at(const GrayImage* image, int32_t x, int32_t y);

// Stores the low byte of value inside the image; does nothing outside it.
void set_gray(GrayImage* image, int32_t x, int32_t y, int32_t value);

// How many stored rows of row_size bytes the loader and the writer move per
// read or write call for an image of width x height pixels: one call per row
// would cost a system call for every row of a large picture. The block stays
// within 64 KiB, or within the image's own size (up to 256 KiB), so it never
// raises the peak of two images alive during the passes by more than 64 KiB.
// At least 1, at most height (height > 0).
int64_t gray_rows_per_block(int64_t row_size, int32_t width, int32_t height);

// Reads an uncompressed 8-bit or 24-bit BMP. 8-bit pixel bytes are taken as
// they are (the palette is not looked at); a 24-bit pixel becomes 255 when
// the average of its three bytes is above 128, else 0. Row 0 of the result
// is the picture's top row. Returns the image, owned by the caller, or null:
// after one message for a file that cannot be opened or read or is not a
// supported BMP, silently when the image or row buffer cannot be allocated
// (including sizes create_gray_image refuses). The file is closed and the
// row buffer released on every path.
GrayImage* load_gray_bmp(const char* path);

#endif  // VORLIN_MORPH_GRAY_IMAGE_H
