// The blocks of stored rows that the loader and the writer move per read or
// write call.
#ifndef VORLIN_MORPH_GRAY_BLOCKS_H
#define VORLIN_MORPH_GRAY_BLOCKS_H

#include <cstddef>
#include <cstdint>

// How many stored rows of row_bytes bytes the loader and the writer move per
// read or write call for an image of height rows: as many as fit 1 MiB, at
// least 1, at most height (height > 0). Each call is a system call, and
// those of a few kilobytes cost more than the copying; the block is alive
// beside the one image only while that is read or written.
int64_t gray_rows_per_block(int64_t row_bytes, int32_t height);

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

#endif  // VORLIN_MORPH_GRAY_BLOCKS_H
