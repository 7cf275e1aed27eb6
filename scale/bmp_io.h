// The resizer's BMP reader and writer. The pixel array moves in one block in
// each direction: its layout in a RasterImage is the file's layout.
#ifndef VORLIN_SCALE_BMP_IO_H
#define VORLIN_SCALE_BMP_IO_H

#include <cstdio>

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

// Writes the image as a BMP of its depth with its palette. True when every
// byte reached the file, false after printing why it could not be opened or
// written (a partial file is left as it is). The image is not modified.
// input is the file the image came from: when path names that same file, the
// result replaces it only once complete, and a failed write leaves it as it
// was (see open_output).
bool save_bmp(const RasterImage* image, const char* path, const InputOrigin* input = nullptr);

// Where a file's pixel array starts, and how far the reads before it went.
struct BmpPlace {
  uint32_t pixel_data_offset;
  uint64_t position;
};

// What load_bmp reads before the pixels: the headers, checked, and the
// palette of a 2- or 8-bit image. Returns the record with its palette and no
// pixels, with place filled in, or null after printing the same message as
// load_bmp (the file stays open either way).
RasterImage* read_bmp_head(FILE* file, BmpPlace* place);

// The pixel array, read from the pixel data offset as load_bmp reads it.
// False after printing the image-data allocation message (also for every
// size no array can have).
bool read_bmp_pixels(FILE* file, RasterImage* image, const BmpPlace& place);

// What save_bmp writes before the pixels: the header fields, then the
// palette. file_size is bmp_file_size(image). True when every write was
// accepted.
bool write_bmp_head(OutputFile* file, const RasterImage* image, int64_t file_size);

#endif  // VORLIN_SCALE_BMP_IO_H
