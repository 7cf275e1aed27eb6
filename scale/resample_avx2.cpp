// The 24- and 32-bit blend kernels built for AVX2: one pixel's four channels
// in one register. Only called when the CPU reports AVX2. No fused
// multiply-add: AVX2 alone does not enable it, and contraction is off.
#include "resample_fast.h"

#if defined(VORLIN_RESAMPLE_AVX2)

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <immintrin.h>

#pragma GCC push_options
#pragma GCC target("avx2")

#include "resample_kernels.h"

namespace {

template <int N>
struct Avx2Ops {
  using Vec = __m256d;
  static Vec load(const uint8_t* p) {
    int32_t w;
    memcpy(&w, p, 4);
    return _mm256_cvtepi32_pd(_mm_cvtepu8_epi32(_mm_cvtsi32_si128(w)));
  }
  static Vec splat(double d) { return _mm256_set1_pd(d); }
  static Vec add(Vec a, Vec b) { return _mm256_add_pd(a, b); }
  static Vec mul(Vec a, Vec b) { return _mm256_mul_pd(a, b); }
  static void store_h(double* h, Vec v) { _mm256_storeu_pd(h, v); }
  // Signed then unsigned saturation: the clamp to 0..255 of the truncated values.
  static int32_t pack(Vec v) {
    __m128i t = _mm256_cvttpd_epi32(v);
    __m128i w = _mm_packs_epi32(t, t);
    return _mm_cvtsi128_si32(_mm_packus_epi16(w, w));
  }
  static void put(uint8_t* p, Vec v) {
    int32_t w = pack(v);
    memcpy(p, &w, N);
  }
  static void put_wide(uint8_t* p, Vec v) {
    int32_t w = pack(v);
    memcpy(p, &w, 4);
  }
  // Sixteen values a step: four registers truncated, packed to sixteen bytes.
  static __m128i pack16(Vec a, Vec b, Vec c, Vec d) {
    __m128i ab = _mm_packs_epi32(_mm256_cvttpd_epi32(a), _mm256_cvttpd_epi32(b));
    __m128i cd = _mm_packs_epi32(_mm256_cvttpd_epi32(c), _mm256_cvttpd_epi32(d));
    return _mm_packus_epi16(ab, cd);
  }
  static void truncate_values(uint8_t* out, const double* h0, size_t n) {
    size_t i = 0;
    for (; i + 16 <= n; i += 16) {
      _mm_storeu_si128(reinterpret_cast<__m128i*>(out + i),
                       pack16(_mm256_loadu_pd(h0 + i), _mm256_loadu_pd(h0 + i + 4),
                              _mm256_loadu_pd(h0 + i + 8), _mm256_loadu_pd(h0 + i + 12)));
    }
    truncate_values_scalar(out, h0, i, n);
  }
  static void blend_values(uint8_t* out, const double* h0, const double* h1, double gy, double fy,
                           size_t n) {
    Vec g = _mm256_set1_pd(gy);
    Vec f = _mm256_set1_pd(fy);
    size_t i = 0;
    for (; i + 16 <= n; i += 16) {
      Vec v[4];
      for (int q = 0; q < 4; ++q) {
        v[q] = _mm256_add_pd(_mm256_mul_pd(_mm256_loadu_pd(h0 + i + 4 * q), g),
                             _mm256_mul_pd(_mm256_loadu_pd(h1 + i + 4 * q), f));
      }
      _mm_storeu_si128(reinterpret_cast<__m128i*>(out + i), pack16(v[0], v[1], v[2], v[3]));
    }
    blend_values_scalar(out, h0, h1, gy, fy, i, n);
  }
};

}  // namespace

int blend_pixels_avx2(const RasterImage* source, RasterImage* result) {
  return blend_pixels<Avx2Ops>(source, result);
}

#pragma GCC pop_options

#endif  // VORLIN_RESAMPLE_AVX2
