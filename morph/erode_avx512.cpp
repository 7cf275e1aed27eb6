// The AVX-512 kernel set (F, BW, DQ, VL): 64 pixels, or a block of 512 bits
// of a plane, at a time. A comparison of 64 bytes gives a plane word
// directly, and a masked store clears the eroded bytes of a word: another
// design from the 16- and 32-byte sets of erode_ops.h, so written out here.
#include <immintrin.h>

#include "erode_kernels.h"

namespace {

// The black and 255 bits of the pixels of one word; count 1 to 64. The load
// is masked, so nothing past the row is read.
inline void pack_word(uint64_t* black, uint64_t* white, const uint8_t* pixels, size_t count) {
  const __mmask64 inside = count == 64 ? ~__mmask64{0} : (__mmask64{1} << count) - 1;
  const __m512i v = _mm512_maskz_loadu_epi8(inside, pixels);
  *black = _mm512_mask_cmpeq_epi8_mask(inside, v, _mm512_setzero_si512());
  *white = _mm512_mask_cmpeq_epi8_mask(inside, v, _mm512_set1_epi8(static_cast<char>(0xFF)));
}

}  // namespace

bool pack_row_avx512(uint64_t* black, uint64_t* erodable, const uint8_t* row, size_t width) {
  const size_t words = (width + 63) / 64;
  for (size_t j = 0; j < words; ++j) {
    const size_t start = 64 * j;
    pack_word(&black[j], &erodable[j], row + start, width - start < 64 ? width - start : 64);
  }
  const size_t padded = finish_planes(black, erodable, words, width);
  __m512i any = _mm512_setzero_si512();
  for (size_t j = 0; j < padded; j += kErodeBlockWords) {
    any = _mm512_or_si512(any, _mm512_load_si512(erodable + j));
  }
  return _mm512_test_epi64_mask(any, any) != 0;
}

ErodeSpan erode_bits_avx512(uint64_t* out, const uint64_t* above, const uint64_t* row,
                            const uint64_t* below, const uint64_t* erodable, ErodeSpan blocks) {
  ErodeSpan changed = kErodeNoBlocks;
  // The blocks before and after each one, for the words next to its ends.
  const size_t first = size_t{blocks.first} * kErodeBlockWords;
  __m512i before = _mm512_load_si512(row + first - kErodeBlockWords);
  __m512i mid = _mm512_load_si512(row + first);
  for (uint32_t b = blocks.first; b < blocks.end; ++b) {
    const size_t block = size_t{b} * kErodeBlockWords;
    const __m512i after = _mm512_load_si512(row + block + kErodeBlockWords);
    // Each word's left neighbour bits come from the word before, right from the word after.
    // The masked shifts say what the plain ones leave to the compiler (GCC
    // 12 then warns of an unset operand).
    const __m512i left = _mm512_or_si512(
        _mm512_add_epi64(mid, mid),
        _mm512_maskz_srli_epi64(0xFF, _mm512_maskz_alignr_epi64(0xFF, mid, before, 7), 63));
    const __m512i right = _mm512_or_si512(
        _mm512_maskz_srli_epi64(0xFF, mid, 1),
        _mm512_maskz_slli_epi64(0xFF, _mm512_maskz_alignr_epi64(0xFF, after, mid, 1), 63));
    // (above | below | left), then (that | right) & erodable.
    const __m512i touched = _mm512_ternarylogic_epi64(_mm512_load_si512(above + block),
                                                      _mm512_load_si512(below + block), left, 0xFE);
    const __m512i reached =
        _mm512_ternarylogic_epi64(touched, right, _mm512_load_si512(erodable + block), 0xA8);
    const __m512i next = _mm512_or_si512(mid, reached);
    _mm512_store_si512(out + block, next);
    changed = erode_span_with(changed, b, _mm512_cmpneq_epi64_mask(next, mid) != 0);
    before = mid;
    mid = after;
  }
  return changed;
}

void clear_eroded_avx512(uint8_t* row, const uint64_t* black, const uint64_t* erodable,
                         size_t width) {
  const size_t words = (width + 63) / 64;
  const __m512i zero = _mm512_setzero_si512();
  for (size_t j = 0; j < words; ++j) {
    // No erodable bit lies past the width, so the store stays inside the row.
    const uint64_t eroded = black[j] & erodable[j];
    if (eroded != 0) _mm512_mask_storeu_epi8(row + 64 * j, eroded, zero);
  }
}
