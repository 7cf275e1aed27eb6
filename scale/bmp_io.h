// The resizer's BMP reader and writer. The pixel array moves in one block in
// each direction: its layout in a RasterImage is the file's layout.
#ifndef VORLIN_SCALE_BMP_IO_H
#define VORLIN_SCALE_BMP_IO_H

#include "output_file.h"
#include "raster_image.h"

// Reads an uncompressed 2, 8, 16, 24 or 32-bit BMP whose information header is
// 40 bytes or longer. Returns the image, owned by the caller, or null after
// printing one message to standard error; the file is closed and everything
// allocated is released on every path. Bytes the file does not have (a short
// header, palette or pixel array) read as 0 and are not reported. A directory
// is a file that cannot be opened. When identity is given, it receives the
// identity of the file opened, for the in-place decision of save_bmp.
RasterImage* load_bmp(const char* path, FileIdentity* identity = nullptr);

// Writes the image as a BMP of its depth with its palette. Returns 1 when
// every byte reached the file, 0 after printing why it could not be opened or
// written (a partial file is left as it is). The image is not modified.
// input is the file the image came from: when path names that same file, the
// result replaces it only once complete, and a failed write leaves it as it
// was (see open_output).
int save_bmp(const RasterImage* image, const char* path, const InputOrigin* input = nullptr);

#endif  // VORLIN_SCALE_BMP_IO_H
