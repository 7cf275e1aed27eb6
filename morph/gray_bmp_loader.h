// The erosion module's BMP loader: reads an 8-bit or 24-bit BMP file into a
// GrayImage, and sizes the blocks of rows that it and the writer move per
// call. Every message of the loader goes to standard output.
#ifndef VORLIN_MORPH_GRAY_BMP_LOADER_H
#define VORLIN_MORPH_GRAY_BMP_LOADER_H

#include <cstddef>
#include <cstdint>

#include "file_io.h"
#include "gray_image.h"

// How many stored rows of row_size bytes the loader and the writer move per
// read or write call for an image of height rows: as many as fit 1 MiB, at
// least 1, at most height (height > 0). Each call is a system call, and
// those of a few kilobytes cost more than the copying; the block is alive
// beside the one image only while that is read or written.
int64_t gray_rows_per_block(int64_t row_size, int32_t height);

// Bytes a block buffer holds beyond its rows, for gray_block_rows to move them.
constexpr size_t kGrayBlockSlack = 4096;

// Where the rows of a block buffer start (within its first kGrayBlockSlack
// bytes) for copies to or from the image rows that begin at partner: half a
// page from them. x86 CPUs check a load against earlier stores by the low 12
// address bits first, so a copy whose stores run just ahead of its loads at
// the same offset within another 4 KiB page stalls on every line (half speed
// in a test here); rows whose width is a multiple of 4096 keep that offset
// all the way down whenever the heap happens to place the two buffers so.
uint8_t* gray_block_rows(uint8_t* block, const uint8_t* partner);

// Reads an uncompressed 8-bit or 24-bit BMP whose information header is 40
// bytes or longer. 8-bit pixel bytes are taken as they are (the palette is not
// looked at); a 24-bit pixel becomes 255 when the average of its three bytes is
// above 128, else 0 (the threshold_row of the best kernel set). Row 0 of the
// result is the picture's top row. Returns the image, owned by the caller, or
// null: after one message for a file that cannot be opened or read or is not a
// supported BMP, silently when the image or row buffer cannot be allocated
// (including sizes create_gray_image refuses). The file is closed and the row
// buffer released on every path. A directory is a file that cannot be opened.
// When identity is given, it receives the identity of the file opened, for
// the in-place decision of save_gray_bmp.
GrayImage* load_gray_bmp(const char* path, FileIdentity* identity = nullptr);

#endif  // VORLIN_MORPH_GRAY_BMP_LOADER_H
