// The erosion module's BMP loader: reads an 8-bit or 24-bit BMP file into a
// GrayImage, and sizes the blocks of rows that it and the writer move per
// call. Every message of the loader goes to standard output.
#ifndef VORLIN_MORPH_GRAY_BMP_LOADER_H
#define VORLIN_MORPH_GRAY_BMP_LOADER_H

#include <cstdint>

#include "gray_image.h"

// How many stored rows of row_size bytes the loader and the writer move per
// read or write call for an image of width x height pixels: one call per row
// would cost a system call for every row of a large picture. The block stays
// within 64 KiB, or within the image's own size (up to 256 KiB), so it never
// raises the peak of two images alive during the passes by more than 64 KiB.
// At least 1, at most height (height > 0).
int64_t gray_rows_per_block(int64_t row_size, int32_t width, int32_t height);

// Reads an uncompressed 8-bit or 24-bit BMP whose information header is 40
// bytes or longer. 8-bit pixel bytes are taken as they are (the palette is not
// looked at); a 24-bit pixel becomes 255 when the average of its three bytes is
// above 128, else 0. Row 0 of the result is the picture's top row. Returns the
// image, owned by the caller, or null: after one message for a file that cannot
// be opened or read or is not a supported BMP, silently when the image or row
// buffer cannot be allocated (including sizes create_gray_image refuses). The
// file is closed and the row buffer released on every path.
GrayImage* load_gray_bmp(const char* path);

#endif  // VORLIN_MORPH_GRAY_BMP_LOADER_H
