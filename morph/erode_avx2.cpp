// The AVX2 kernel set: 32 pixels, or four plane words, at a time; the
// kernels are those of erode_ops.h. Narrower rows go to the SSE2 set.
#include <immintrin.h>

#include "erode_ops.h"

namespace {

// Four pixels of each 16-byte half (window), from byte skip on, each moved
// into a 32-bit lane of its own with a zero fourth byte.
inline __m256i pixel_lanes(char skip) {
  const char z = static_cast<char>(0x80);  // a shuffle index that gives 0
  return _mm256_setr_epi8(skip, skip + 1, skip + 2, z, skip + 3, skip + 4, skip + 5, z, skip + 6,
                          skip + 7, skip + 8, z, skip + 9, skip + 10, skip + 11, z, skip, skip + 1,
                          skip + 2, z, skip + 3, skip + 4, skip + 5, z, skip + 6, skip + 7,
                          skip + 8, z, skip + 9, skip + 10, skip + 11, z);
}

// The sums of the four pixels of the window at low and of the one at high,
// as 32-bit lanes: byte pairs added to 16 bits (blue + green, red + 0),
// then those pairs.
inline __m256i sums8(const uint8_t* low, const uint8_t* high, __m256i lanes) {
  const __m256i windows = _mm256_inserti128_si256(
      _mm256_castsi128_si256(_mm_loadu_si128(reinterpret_cast<const __m128i*>(low))),
      _mm_loadu_si128(reinterpret_cast<const __m128i*>(high)), 1);
  const __m256i pixels = _mm256_shuffle_epi8(windows, lanes);
  return _mm256_madd_epi16(_mm256_maddubs_epi16(pixels, _mm256_set1_epi8(1)), _mm256_set1_epi16(1));
}

// 32 pixels from bgr as 255 or 0; the windows of four pixels start skip
// bytes before the pixels, which lanes skips again. The instructions pack
// within each 128-bit half, so the low half gathers pixels 0 to 15 and the
// high half pixels 16 to 31, and the bytes come out in order.
inline __m256i threshold32(const uint8_t* bgr, __m256i lanes, size_t skip) {
  const uint8_t* w = bgr - skip;
  const __m256i least = _mm256_set1_epi16(kLeastWhiteSum - 1);
  // Sums of at most 765 keep their value when packed to 16 bits.
  const __m256i low = _mm256_packs_epi32(sums8(w, w + 48, lanes), sums8(w + 12, w + 60, lanes));
  const __m256i high =
      _mm256_packs_epi32(sums8(w + 24, w + 72, lanes), sums8(w + 36, w + 84, lanes));
  return _mm256_packs_epi16(_mm256_cmpgt_epi16(low, least), _mm256_cmpgt_epi16(high, least));
}

struct Avx2Ops : ErodeVectors<32> {
  static constexpr decltype(&erode_row_sse2) kNarrowErodeRow = erode_row_sse2;

  static Bytes least(Bytes a, Bytes b) { return (Bytes)_mm256_min_epu8((__m256i)a, (__m256i)b); }

  static bool any(Words w) { return !_mm256_testz_si256((__m256i)w, (__m256i)w); }

  static uint64_t bits64(const Bytes* flags) {
    const uint32_t low = static_cast<uint32_t>(_mm256_movemask_epi8((__m256i)flags[0]));
    return low | uint64_t{static_cast<uint32_t>(_mm256_movemask_epi8((__m256i)flags[1]))} << 32;
  }

  static Bytes bytes_of_bits(uint32_t mask) {
    const __m256i spread = _mm256_shuffle_epi8(
        _mm256_set1_epi32(static_cast<int>(mask)),
        _mm256_setr_epi64x(0, 0x0101010101010101LL, 0x0202020202020202LL, 0x0303030303030303LL));
    const __m256i bits = _mm256_set1_epi64x(static_cast<long long>(0x8040201008040201ULL));
    return (Bytes)_mm256_cmpeq_epi8(_mm256_and_si256(spread, bits), bits);
  }

  // The first group's windows read past its pixels (it needs 100 bytes),
  // the later ones before them.
  static constexpr size_t kThresholdMinWidth = 34;
  static constexpr decltype(&threshold_row_ssse3) kNarrowThreshold = threshold_row_ssse3;
  static Bytes threshold(const uint8_t* bgr, size_t skip) {
    return (Bytes)threshold32(bgr, pixel_lanes(static_cast<char>(skip)), skip);
  }
};

}  // namespace

void erode_row_avx2(uint8_t* out, const uint8_t* above, const uint8_t* row, const uint8_t* below,
                    size_t width, size_t ahead) {
  erode_row_with<Avx2Ops>(out, above, row, below, width, ahead);
}

bool pack_row_avx2(uint64_t* black, uint64_t* erodable, const uint8_t* row, size_t width) {
  return pack_row_with<Avx2Ops>(black, erodable, row, width);
}

ErodeSpan erode_bits_avx2(uint64_t* out, const uint64_t* above, const uint64_t* row,
                          const uint64_t* below, const uint64_t* erodable, ErodeSpan blocks) {
  return erode_bits_with<Avx2Ops>(out, above, row, below, erodable, blocks);
}

void clear_eroded_avx2(uint8_t* row, const uint64_t* black, const uint64_t* erodable,
                       size_t width) {
  clear_eroded_with<Avx2Ops>(row, black, erodable, width);
}

// A 512-bit form measured slower on an AVX-512 CPU (its gathers cost more
// than they save), so the AVX-512 set runs this one too.
void threshold_row_avx2(uint8_t* out, const uint8_t* bgr, size_t width) {
  threshold_row_with<Avx2Ops>(out, bgr, width);
}
