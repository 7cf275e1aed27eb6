// Writes a GrayImage as an uncompressed 8-bit BMP with a 256-level gray
// palette, so each pixel byte shows as the gray of the same value.
#ifndef VORLIN_MORPH_GRAY_BMP_WRITER_H
#define VORLIN_MORPH_GRAY_BMP_WRITER_H

#include <cstdint>

#include "gray_image.h"
#include "output_file.h"

// Size of the file save_gray_bmp writes for a width x height image (headers,
// palette and rows padded to 4 bytes), or -1 when it would not fit the
// 32-bit file-size field.
int64_t gray_bmp_file_size(int32_t width, int32_t height);

// Writes the image to path, picture's top row (image row 0) stored last.
// Returns true when every byte reached the file, after printing the success
// line; false after printing one message otherwise. An image too large for a
// BMP is refused before the file is opened; after a failed write the file
// is left with whatever reached it. The image is not modified.
// input is the file the image came from: when path names that same file, the
// result replaces it only once complete, and a failed write leaves it as it
// was (see open_output).
bool save_gray_bmp(const GrayImage* image, const char* path, const InputOrigin* input = nullptr);

#endif  // VORLIN_MORPH_GRAY_BMP_WRITER_H
