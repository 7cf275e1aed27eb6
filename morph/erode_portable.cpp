// The portable kernel set: plain C++ that any CPU runs, and that compilers
// may vectorise on their own. Bits are placed by value, never through the
// bytes of a word, so big- and little-endian machines build the same planes.
#include "erode_kernels.h"

namespace {

constexpr uint8_t kForeground = 255;
constexpr uint8_t kBackground = 0;

// One pixel; branch-free, so that compilers can vectorise it.
inline uint8_t erode1(const uint8_t* above, const uint8_t* row, const uint8_t* below, size_t x) {
  uint8_t vertical = above[x] < below[x] ? above[x] : below[x];
  uint8_t horizontal = row[x - 1] < row[x + 1] ? row[x - 1] : row[x + 1];
  uint8_t least = vertical < horizontal ? vertical : horizontal;
  uint8_t keep = (row[x] == kForeground && least == kBackground) ? 0x00 : 0xFF;
  return static_cast<uint8_t>(row[x] & keep);
}

// Eight pixels as one value, pixel k in bits 8k to 8k + 7 on any byte order
// (compilers make one load or store of each).
inline uint64_t load8(const uint8_t* pixels) {
  uint64_t v = 0;
  for (size_t k = 0; k < 8; ++k) v |= static_cast<uint64_t>(pixels[k]) << (8 * k);
  return v;
}

inline void store8(uint8_t* pixels, uint64_t v) {
  for (size_t k = 0; k < 8; ++k) pixels[k] = static_cast<uint8_t>(v >> (8 * k));
}

// Bit i set for each byte i of 8 whose high bit is set (the other bits 0).
inline uint64_t high_bits(uint64_t flags) {
  // Moves byte i's bit 7 (at 8i + 7) to bit 56 + i; no two products share a bit.
  return ((flags >> 7) * 0x0102040810204080ull) >> 56;
}

// The black and 255 bits of count (at most 64) pixels, eight tested at once.
inline void pack_word(uint64_t* black, uint64_t* white, const uint8_t* pixels, size_t count) {
  uint64_t b = 0;
  uint64_t w = 0;
  size_t i = 0;
  for (; i + 8 <= count; i += 8) {
    const uint64_t v = load8(pixels + i);
    // Per byte, with no carry into the next: low + 0x7F reaches bit 7 unless
    // the low seven bits are 0, low + 1 only when they are all 1.
    const uint64_t low = v & 0x7F7F7F7F7F7F7F7Full;
    const uint64_t zero = ~((low + 0x7F7F7F7F7F7F7F7Full) | v) & 0x8080808080808080ull;
    const uint64_t full = (low + 0x0101010101010101ull) & v & 0x8080808080808080ull;
    b |= high_bits(zero) << i;
    w |= high_bits(full) << i;
  }
  for (; i < count; ++i) {
    b |= static_cast<uint64_t>(pixels[i] == kBackground) << i;
    w |= static_cast<uint64_t>(pixels[i] == kForeground) << i;
  }
  *black = b;
  *white = w;
}

}  // namespace

// A pixel of 255 with a 0 above, below, left or right becomes 0; every other
// pixel keeps its value ("a neighbour is 0" is "the least of the four is 0").
void erode_row_portable(uint8_t* out, const uint8_t* above, const uint8_t* row,
                        const uint8_t* below, size_t width, size_t /*ahead*/) {
  for (size_t x = 1; x + 1 < width; ++x) {
    out[x] = erode1(above, row, below, x);
  }
  out[0] = row[0];
  out[width - 1] = row[width - 1];
}

bool pack_row_portable(uint64_t* black, uint64_t* erodable, const uint8_t* row, size_t width) {
  const size_t words = (width + 63) / 64;
  for (size_t j = 0; j < words; ++j) {
    const size_t start = j * 64;
    pack_word(&black[j], &erodable[j], row + start, width - start < 64 ? width - start : 64);
  }
  finish_planes(black, erodable, words, width);
  uint64_t any = 0;
  for (size_t j = 0; j < words; ++j) any |= erodable[j];
  return any != 0;
}

ErodeSpan erode_bits_portable(uint64_t* out, const uint64_t* above, const uint64_t* row,
                              const uint64_t* below, const uint64_t* erodable, ErodeSpan blocks) {
  ErodeSpan changed = kErodeNoBlocks;
  // Word j's left neighbour as before[j]: row[j - 1] would add the unsigned
  // j - 1, which wraps for j = 0. The word before the first is the block of
  // zeros in front of the plane, so before points into the same allocation.
  const uint64_t* before = row - 1;
  for (uint32_t b = blocks.first; b < blocks.end; ++b) {
    const size_t block = size_t{b} * kErodeBlockWords;
    uint64_t differ = 0;
    for (size_t j = block; j < block + kErodeBlockWords; ++j) {
      const uint64_t left = (row[j] << 1) | (before[j] >> 63);
      const uint64_t right = (row[j] >> 1) | (row[j + 1] << 63);
      const uint64_t next = row[j] | (erodable[j] & (above[j] | below[j] | left | right));
      out[j] = next;
      differ |= next ^ row[j];
    }
    changed = erode_span_with(changed, b, differ != 0);
  }
  return changed;
}

void clear_eroded_portable(uint8_t* row, const uint64_t* black, const uint64_t* erodable,
                           size_t width) {
  const size_t words = (width + 63) / 64;
  for (size_t j = 0; j < words; ++j) {
    const uint64_t eroded = black[j] & erodable[j];
    if (eroded == 0) continue;
    const size_t start = j * 64;
    const size_t count = width - start < 64 ? width - start : 64;
    size_t i = 0;
    for (; i + 8 <= count; i += 8) {
      const uint64_t bits = (eroded >> i) & 0xFF;
      if (bits == 0) continue;
      // Bit k to byte k as 0x01 (seven bits by one product, the eighth apart),
      // then 0xFF; eight pixels are cleared as one value.
      const uint64_t ones =
          (((bits & 0x7F) * 0x0002040810204081ull) & 0x0101010101010101ull) | ((bits & 0x80) << 49);
      uint8_t* at = row + start + i;
      store8(at, load8(at) & ~(ones * 0xFF));
    }
    for (; i < count; ++i) {
      if ((eroded >> i) & 1) row[start + i] = kBackground;
    }
  }
}

// The definition the vector rows are held to, byte for byte.
void threshold_row_portable(uint8_t* out, const uint8_t* bgr, size_t width) {
  for (size_t x = 0; x < width; ++x) {
    const uint8_t* p = bgr + 3 * x;
    const uint32_t average = (static_cast<uint32_t>(p[0]) + p[1] + p[2]) / 3;
    out[x] = average > kWhiteAverage ? kForeground : kBackground;
  }
}
