// The loader's and the writer's row blocks: their size and placement.
#include "gray_blocks.h"

int64_t gray_rows_per_block(int64_t row_bytes, int32_t height) {
  const int64_t kBlock = int64_t{1} << 20;
  int64_t rows = kBlock / row_bytes;
  if (rows < 1) rows = 1;
  return rows < height ? rows : height;
}

uint8_t* gray_block_rows(uint8_t* block, const uint8_t* partner) {
  const uintptr_t half_page = 2048;
  const uintptr_t shift =
      (reinterpret_cast<uintptr_t>(partner) + half_page - reinterpret_cast<uintptr_t>(block)) %
      kGrayBlockSlack;
  return block + shift;
}
