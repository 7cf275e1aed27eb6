// The SSSE3 kernel set's own kernel: the 24-bit threshold, 16 pixels at a
// time. Its byte shuffle gathers the three bytes of each pixel, which plain
// SSE2 cannot do at any useful speed; the set's erosion kernels are the SSE2
// ones.
#include <tmmintrin.h>

#include "erode_ops.h"

namespace {

// Four pixels of a 16-byte window, from byte skip on, each moved into a
// 32-bit lane of its own with a zero fourth byte.
inline __m128i pixel_lanes(char skip) {
  const char z = static_cast<char>(0x80);  // a shuffle index that gives 0
  return _mm_setr_epi8(skip, skip + 1, skip + 2, z, skip + 3, skip + 4, skip + 5, z, skip + 6,
                       skip + 7, skip + 8, z, skip + 9, skip + 10, skip + 11, z);
}

// The sums of the four pixels of the window at bytes, as 32-bit lanes:
// byte pairs added to 16 bits (blue + green, red + 0), then those pairs.
inline __m128i sums4(const uint8_t* bytes, __m128i lanes) {
  const __m128i pixels =
      _mm_shuffle_epi8(_mm_loadu_si128(reinterpret_cast<const __m128i*>(bytes)), lanes);
  return _mm_madd_epi16(_mm_maddubs_epi16(pixels, _mm_set1_epi8(1)), _mm_set1_epi16(1));
}

// 16 pixels from bgr as 255 or 0; the windows of four pixels start skip
// bytes before the pixels, which lanes skips again.
inline __m128i threshold16(const uint8_t* bgr, __m128i lanes, size_t skip) {
  const uint8_t* w = bgr - skip;
  const __m128i least = _mm_set1_epi16(kLeastWhiteSum - 1);
  // Sums of at most 765 keep their value when packed to 16 bits.
  const __m128i low = _mm_packs_epi32(sums4(w, lanes), sums4(w + 12, lanes));
  const __m128i high = _mm_packs_epi32(sums4(w + 24, lanes), sums4(w + 36, lanes));
  return _mm_packs_epi16(_mm_cmpgt_epi16(low, least), _mm_cmpgt_epi16(high, least));
}

// A window reads 16 bytes for its 12 pixel bytes: the first group takes the 4
// past its pixels (52 bytes in all), every later one the 4 before them.
struct Ssse3Ops : ErodeVectors<16> {
  static constexpr size_t kThresholdMinWidth = 18;
  static constexpr decltype(&threshold_row_portable) kNarrowThreshold = threshold_row_portable;
  static Bytes threshold(const uint8_t* bgr, size_t skip) {
    return (Bytes)threshold16(bgr, pixel_lanes(static_cast<char>(skip)), skip);
  }
};

}  // namespace

void threshold_row_ssse3(uint8_t* out, const uint8_t* bgr, size_t width) {
  threshold_row_with<Ssse3Ops>(out, bgr, width);
}
