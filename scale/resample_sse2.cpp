// The SSE2 kernel set: every 64-bit x86 CPU has it. One pixel's four
// channels in two registers of two doubles; x86 is little-endian, so a
// pixel's bytes load and store as one 32-bit word.
#include <emmintrin.h>

#include <cstring>

#include "resample_ops.h"

namespace {

template <int N>
struct Sse2Ops {
  struct Vec {
    __m128d lo;
    __m128d hi;
  };
  static Vec load(const uint8_t* p) {
    int32_t w;
    memcpy(&w, p, 4);
    const __m128i zero = _mm_setzero_si128();
    const __m128i d = _mm_unpacklo_epi16(_mm_unpacklo_epi8(_mm_cvtsi32_si128(w), zero), zero);
    return {_mm_cvtepi32_pd(d), _mm_cvtepi32_pd(_mm_shuffle_epi32(d, _MM_SHUFFLE(3, 2, 3, 2)))};
  }
  static Vec splat(double d) { return {_mm_set1_pd(d), _mm_set1_pd(d)}; }
  static Vec add(Vec a, Vec b) { return {_mm_add_pd(a.lo, b.lo), _mm_add_pd(a.hi, b.hi)}; }
  static Vec mul(Vec a, Vec b) { return {_mm_mul_pd(a.lo, b.lo), _mm_mul_pd(a.hi, b.hi)}; }
  static void store(double* h, Vec v) {
    _mm_storeu_pd(h, v.lo);
    _mm_storeu_pd(h + 2, v.hi);
  }
  // The pixel's channels against its right neighbour's, interleaved as
  // 16-bit pairs and multiplied by the weight pair: madd adds each pair's
  // two products, c00 (16 - a) + c10 a for all four channels in one step.
  static void blend_pixel(uint16_t* h, const uint8_t* p, uint32_t w) {
    int32_t left;
    int32_t right;
    memcpy(&left, p, 4);
    memcpy(&right, p + N, 4);
    const __m128i pairs = _mm_unpacklo_epi8(
        _mm_unpacklo_epi8(_mm_cvtsi32_si128(left), _mm_cvtsi32_si128(right)), _mm_setzero_si128());
    const __m128i sums = _mm_madd_epi16(pairs, _mm_set1_epi32(static_cast<int32_t>(w)));
    _mm_storel_epi64(reinterpret_cast<__m128i*>(h), _mm_packs_epi32(sums, sums));
  }
};

// Rows of values two doubles or eight words to a register.
struct Sse2Rows {
  using Doubles = __m128d;
  using Words = __m128i;
  static constexpr size_t kDoubleLanes = 2;
  static constexpr size_t kDoublePack = 4;
  static constexpr size_t kWordLanes = 8;
  static constexpr size_t kWordPack = 2;
  static Doubles load_doubles(const double* p) { return _mm_loadu_pd(p); }
  static Doubles splat(double d) { return _mm_set1_pd(d); }
  static Doubles add(Doubles a, Doubles b) { return _mm_add_pd(a, b); }
  static Doubles mul(Doubles a, Doubles b) { return _mm_mul_pd(a, b); }
  // Signed then unsigned saturation is the clamp to 0..255.
  static void store_bytes(uint8_t* out, const Doubles v[4]) {
    const __m128i ab = _mm_unpacklo_epi64(_mm_cvttpd_epi32(v[0]), _mm_cvttpd_epi32(v[1]));
    const __m128i cd = _mm_unpacklo_epi64(_mm_cvttpd_epi32(v[2]), _mm_cvttpd_epi32(v[3]));
    const __m128i w = _mm_packs_epi32(ab, cd);
    _mm_storel_epi64(reinterpret_cast<__m128i*>(out), _mm_packus_epi16(w, w));
  }
  static Words load_words(const uint16_t* p) {
    return _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
  }
  static Words splat_words(uint16_t w) { return _mm_set1_epi16(static_cast<int16_t>(w)); }
  static Words add_words(Words a, Words b) { return _mm_add_epi16(a, b); }
  static Words mul_words(Words a, Words b) { return _mm_mullo_epi16(a, b); }
  static void store_high_bytes(uint8_t* out, const Words v[2]) {
    _mm_storeu_si128(reinterpret_cast<__m128i*>(out),
                     _mm_packus_epi16(_mm_srli_epi16(v[0], 8), _mm_srli_epi16(v[1], 8)));
  }
};

}  // namespace

const ResampleBlends kSse2Blends = blends_over<Sse2Ops, Sse2Rows>();
