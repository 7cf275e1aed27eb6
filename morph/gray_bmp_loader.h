// The erosion module's BMP loader: reads an 8-bit or 24-bit BMP file into a
// GrayImage. Every message of the loader goes to standard output.
#ifndef VORLIN_MORPH_GRAY_BMP_LOADER_H
#define VORLIN_MORPH_GRAY_BMP_LOADER_H

#include "erode_kernels.h"
#include "file_io.h"
#include "gray_image.h"

// Reads an uncompressed 8-bit or 24-bit BMP whose information header is 40
// bytes or longer. 8-bit pixel bytes are taken as they are (the palette is not
// looked at); a 24-bit pixel becomes 255 when the average of its three bytes is
// above 128, else 0 (the threshold_row of kernels). Row 0 of the
// result is the picture's top row. Returns the image, owned by the caller, or
// null: after one message for a file that cannot be opened or read or is not a
// supported BMP, silently when the image or row buffer cannot be allocated
// (including sizes new_gray_image refuses). The file is closed and the row
// buffer released on every path. A directory is a file that cannot be opened.
// When identity is given, it receives the identity of the file opened, for
// the in-place decision of save_gray_bmp.
GrayImage* load_gray_bmp(const char* path, const ErodeKernelSet& kernels,
                         FileIdentity* identity = nullptr);

#endif  // VORLIN_MORPH_GRAY_BMP_LOADER_H
