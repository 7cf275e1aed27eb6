// The SSE2 kernel set: 16 pixels, or 128 bits of a plane, at a time. Every
// function carries its target, so GCC and clang build it without
// instruction-set flags for the file.
#include <emmintrin.h>

#include "erode_kernels.h"

#define VORLIN_SSE2 __attribute__((target("sse2")))

namespace {

// How far ahead in the row below the sweep asks for source bytes: the
// hardware's own prefetch does not look across the rows' page boundaries.
constexpr size_t kPrefetchAhead = 1024;

// The least of a pixel's four neighbours, and the rule applied to 16 pixels.
VORLIN_SSE2 inline __m128i erode16(const uint8_t* above, const uint8_t* row, const uint8_t* below,
                                   size_t x) {
  const __m128i centre = _mm_loadu_si128(reinterpret_cast<const __m128i*>(row + x));
  const __m128i least =
      _mm_min_epu8(_mm_min_epu8(_mm_loadu_si128(reinterpret_cast<const __m128i*>(above + x)),
                                _mm_loadu_si128(reinterpret_cast<const __m128i*>(below + x))),
                   _mm_min_epu8(_mm_loadu_si128(reinterpret_cast<const __m128i*>(row + x - 1)),
                                _mm_loadu_si128(reinterpret_cast<const __m128i*>(row + x + 1))));
  const __m128i eroded =
      _mm_and_si128(_mm_cmpeq_epi8(centre, _mm_set1_epi8(static_cast<char>(0xFF))),
                    _mm_cmpeq_epi8(least, _mm_setzero_si128()));
  return _mm_andnot_si128(eroded, centre);
}

// The black and 255 bits of 64 pixels.
VORLIN_SSE2 inline void pack64(uint64_t* black, uint64_t* white, const uint8_t* pixels) {
  uint64_t b = 0;
  uint64_t w = 0;
  for (int i = 0; i < 4; ++i) {
    const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(pixels + 16 * i));
    const int zero = _mm_movemask_epi8(_mm_cmpeq_epi8(v, _mm_setzero_si128()));
    const int full = _mm_movemask_epi8(_mm_cmpeq_epi8(v, _mm_set1_epi8(static_cast<char>(0xFF))));
    b |= static_cast<uint64_t>(static_cast<uint32_t>(zero)) << (16 * i);
    w |= static_cast<uint64_t>(static_cast<uint32_t>(full)) << (16 * i);
  }
  *black = b;
  *white = w;
}

// 0xFF in each byte whose bit of the 16-bit mask is set.
VORLIN_SSE2 inline __m128i bytes_of_bits(uint32_t mask) {
  __m128i spread = _mm_cvtsi32_si128(static_cast<int>(mask));
  spread = _mm_unpacklo_epi8(spread, spread);   // l l h h
  spread = _mm_unpacklo_epi16(spread, spread);  // l l l l h h h h
  spread = _mm_unpacklo_epi32(spread, spread);  // l x 8, h x 8
  const __m128i bits = _mm_set1_epi64x(static_cast<long long>(0x8040201008040201ULL));
  return _mm_cmpeq_epi8(_mm_and_si128(spread, bits), bits);
}

}  // namespace

// erode_row in 16-pixel blocks. A row of at least two blocks and its borders
// is done in blocks only: one unaligned block at pixel 1, aligned blocks, one
// unaligned block ending at the last interior pixel. The blocks may overlap;
// each pixel is computed from the source alone, so it is written the same.
// The first and last pixels are put back as copies at the end.
VORLIN_SSE2 void erode_row_sse2(uint8_t* out, const uint8_t* above, const uint8_t* row,
                                const uint8_t* below, size_t width, size_t ahead) {
  if (width < 18) {
    erode_row_portable(out, above, row, below, width, ahead);
    return;
  }
  _mm_storeu_si128(reinterpret_cast<__m128i*>(out + 1), erode16(above, row, below, 1));
  // The first aligned block after the one at pixel 1.
  size_t x = (16 - reinterpret_cast<uintptr_t>(out) % 16) % 16;
  if (x == 0) x = 16;
  const size_t first = x;
  // Pixels x .. x + 15 read row[x - 1 .. x + 16].
  for (; x + 16 <= width; x += 16) {
    if (x % 64 == first % 64 && x + kPrefetchAhead < ahead) {
      _mm_prefetch(reinterpret_cast<const char*>(below + x + kPrefetchAhead), _MM_HINT_T0);
    }
    _mm_store_si128(reinterpret_cast<__m128i*>(out + x), erode16(above, row, below, x));
  }
  if (x + 1 < width) {
    _mm_storeu_si128(reinterpret_cast<__m128i*>(out + width - 17),
                     erode16(above, row, below, width - 17));
  }
  out[0] = row[0];
  out[width - 1] = row[width - 1];
}

VORLIN_SSE2 bool pack_row_sse2(uint64_t* black, uint64_t* erodable, const uint8_t* row,
                               size_t width) {
  const size_t whole = width / 64;
  for (size_t j = 0; j < whole; ++j) {
    pack64(&black[j], &erodable[j], row + 64 * j);
  }
  // The last part word through a copy padded with a value that is neither 0 nor 255.
  const size_t words = (width + 63) / 64;
  if (words > whole) {
    alignas(16) uint8_t tail[64];
    for (size_t i = 0; i < 64; ++i) tail[i] = 1;
    for (size_t i = 64 * whole; i < width; ++i) tail[i - 64 * whole] = row[i];
    pack64(&black[whole], &erodable[whole], tail);
  }
  finish_planes(black, erodable, words, width);
  uint64_t any = 0;
  for (size_t j = 0; j < words; ++j) any |= erodable[j];
  return any != 0;
}

VORLIN_SSE2 ErodeSpan erode_bits_sse2(uint64_t* out, const uint64_t* above, const uint64_t* row,
                                      const uint64_t* below, const uint64_t* erodable,
                                      ErodeSpan blocks) {
  ErodeSpan changed = kErodeNoBlocks;
  for (uint32_t b = blocks.first; b < blocks.end; ++b) {
    const size_t block = size_t{b} * kErodeBlockWords;
    __m128i differ = _mm_setzero_si128();
    for (size_t j = block; j < block + kErodeBlockWords; j += 2) {
      const __m128i mid = _mm_load_si128(reinterpret_cast<const __m128i*>(row + j));
      const __m128i before = _mm_loadu_si128(reinterpret_cast<const __m128i*>(row + j - 1));
      const __m128i after = _mm_loadu_si128(reinterpret_cast<const __m128i*>(row + j + 1));
      const __m128i left = _mm_or_si128(_mm_slli_epi64(mid, 1), _mm_srli_epi64(before, 63));
      const __m128i right = _mm_or_si128(_mm_srli_epi64(mid, 1), _mm_slli_epi64(after, 63));
      const __m128i vertical =
          _mm_or_si128(_mm_load_si128(reinterpret_cast<const __m128i*>(above + j)),
                       _mm_load_si128(reinterpret_cast<const __m128i*>(below + j)));
      const __m128i touched = _mm_or_si128(vertical, _mm_or_si128(left, right));
      const __m128i eroded = _mm_andnot_si128(
          mid,
          _mm_and_si128(_mm_load_si128(reinterpret_cast<const __m128i*>(erodable + j)), touched));
      _mm_store_si128(reinterpret_cast<__m128i*>(out + j), _mm_or_si128(mid, eroded));
      differ = _mm_or_si128(differ, eroded);
    }
    changed = erode_span_with(
        changed, b, _mm_movemask_epi8(_mm_cmpeq_epi8(differ, _mm_setzero_si128())) != 0xFFFF);
  }
  return changed;
}

VORLIN_SSE2 void clear_eroded_sse2(uint8_t* row, const uint64_t* black, const uint64_t* erodable,
                                   size_t width) {
  const size_t words = (width + 63) / 64;
  for (size_t j = 0; j < words; ++j) {
    const uint64_t eroded = black[j] & erodable[j];
    if (eroded == 0) continue;
    const size_t start = 64 * j;
    if (start + 64 > width) {  // the last part word: no full vectors past the width
      clear_eroded_portable(row + start, &black[j], &erodable[j], width - start);
      continue;
    }
    for (size_t i = 0; i < 4; ++i) {
      const uint32_t mask = static_cast<uint32_t>(eroded >> (16 * i)) & 0xFFFF;
      if (mask == 0) continue;
      __m128i* at = reinterpret_cast<__m128i*>(row + start + 16 * i);
      _mm_storeu_si128(at, _mm_andnot_si128(bytes_of_bits(mask), _mm_loadu_si128(at)));
    }
  }
}
