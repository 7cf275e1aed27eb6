// The SSE2 kernel set: 16 pixels, or two plane words, at a time; the kernels
// are those of erode_ops.h.
#include <emmintrin.h>

#include "erode_ops.h"

namespace {

struct Sse2Ops : ErodeVectors<16> {
  static constexpr decltype(&erode_row_portable) kNarrowErodeRow = erode_row_portable;

  static Bytes least(Bytes a, Bytes b) { return (Bytes)_mm_min_epu8((__m128i)a, (__m128i)b); }

  static bool any(Words w) {
    return _mm_movemask_epi8(_mm_cmpeq_epi8((__m128i)w, _mm_setzero_si128())) != 0xFFFF;
  }

  static uint64_t bits64(const Bytes* flags) {
    uint64_t bits = 0;
    for (int i = 0; i < 4; ++i) {
      bits |= uint64_t{static_cast<uint32_t>(_mm_movemask_epi8((__m128i)flags[i]))} << (16 * i);
    }
    return bits;
  }

  static Bytes bytes_of_bits(uint32_t mask) {
    __m128i spread = _mm_cvtsi32_si128(static_cast<int>(mask));
    spread = _mm_unpacklo_epi8(spread, spread);   // l l h h
    spread = _mm_unpacklo_epi16(spread, spread);  // l l l l h h h h
    spread = _mm_unpacklo_epi32(spread, spread);  // l x 8, h x 8
    const __m128i bits = _mm_set1_epi64x(static_cast<long long>(0x8040201008040201ULL));
    return (Bytes)_mm_cmpeq_epi8(_mm_and_si128(spread, bits), bits);
  }
};

}  // namespace

void erode_row_sse2(uint8_t* out, const uint8_t* above, const uint8_t* row, const uint8_t* below,
                    size_t width, size_t ahead) {
  erode_row_with<Sse2Ops>(out, above, row, below, width, ahead);
}

bool pack_row_sse2(uint64_t* black, uint64_t* erodable, const uint8_t* row, size_t width) {
  return pack_row_with<Sse2Ops>(black, erodable, row, width);
}

ErodeSpan erode_bits_sse2(uint64_t* out, const uint64_t* above, const uint64_t* row,
                          const uint64_t* below, const uint64_t* erodable, ErodeSpan blocks) {
  return erode_bits_with<Sse2Ops>(out, above, row, below, erodable, blocks);
}

void clear_eroded_sse2(uint8_t* row, const uint64_t* black, const uint64_t* erodable,
                       size_t width) {
  clear_eroded_with<Sse2Ops>(row, black, erodable, width);
}
