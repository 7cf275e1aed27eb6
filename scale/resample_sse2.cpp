// The SSE2 kernel set: every 64-bit x86 CPU has it. One pixel's four
// channels in two registers of two doubles; x86 is little-endian, so a
// pixel's bytes load and store as one 32-bit word.
#include <emmintrin.h>

#include <cstring>

#include "resample_kernels.h"

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

// Eight values truncated and packed to bytes: signed then unsigned
// saturation is the clamp to 0..255.
inline __m128i pack8(__m128d a, __m128d b, __m128d c, __m128d d) {
  const __m128i ab = _mm_unpacklo_epi64(_mm_cvttpd_epi32(a), _mm_cvttpd_epi32(b));
  const __m128i cd = _mm_unpacklo_epi64(_mm_cvttpd_epi32(c), _mm_cvttpd_epi32(d));
  const __m128i w = _mm_packs_epi32(ab, cd);
  return _mm_packus_epi16(w, w);
}

}  // namespace

void blend_columns_sse2(double* h, const uint8_t* row, const BlendColumns& c) {
  blend_columns_from<Sse2Ops>(h, row, c, 0);
}

void blend_columns_sixteenths_sse2(uint16_t* h, const uint8_t* row, const BlendColumns& c) {
  blend_columns_sixteenths_from<Sse2Ops>(h, row, c, 0);
}

void blend_rows_sse2(uint8_t* out, const double* h0, const double* h1, double gy, double fy,
                     size_t n) {
  const __m128d g = _mm_set1_pd(gy);
  const __m128d f = _mm_set1_pd(fy);
  size_t i = 0;
  for (; i + 8 <= n; i += 8) {
    __m128d v[4];
    for (size_t q = 0; q < 4; ++q) {
      v[q] = _mm_loadu_pd(h0 + i + 2 * q);
      if (h1 != nullptr) {
        v[q] = _mm_add_pd(_mm_mul_pd(v[q], g), _mm_mul_pd(_mm_loadu_pd(h1 + i + 2 * q), f));
      }
    }
    _mm_storel_epi64(reinterpret_cast<__m128i*>(out + i), pack8(v[0], v[1], v[2], v[3]));
  }
  blend_rows_from(out, h0, h1, gy, fy, i, n);
}

void blend_rows_sixteenths_sse2(uint8_t* out, const uint16_t* h0, const uint16_t* h1, uint32_t b,
                                size_t n) {
  // h0 (16 - b) + h1 b is at most 65280: the 16-bit sum does not wrap, and
  // the shift is unsigned. With b = 0 it is h0 16, whose shift is h0's by 4.
  const __m128i upper = _mm_set1_epi16(static_cast<int16_t>(16 - b));
  const __m128i lower = _mm_set1_epi16(static_cast<int16_t>(b));
  size_t i = 0;
  for (; i + 16 <= n; i += 16) {
    __m128i v[2];
    for (size_t q = 0; q < 2; ++q) {
      const __m128i* p0 = reinterpret_cast<const __m128i*>(h0 + i + 8 * q);
      v[q] = _mm_mullo_epi16(_mm_loadu_si128(p0), upper);
      if (h1 != nullptr) {
        const __m128i* p1 = reinterpret_cast<const __m128i*>(h1 + i + 8 * q);
        v[q] = _mm_add_epi16(v[q], _mm_mullo_epi16(_mm_loadu_si128(p1), lower));
      }
      v[q] = _mm_srli_epi16(v[q], 8);
    }
    _mm_storeu_si128(reinterpret_cast<__m128i*>(out + i), _mm_packus_epi16(v[0], v[1]));
  }
  blend_rows_sixteenths_from(out, h0, h1, b, i, n);
}
