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
#include "resample_sixteenths.h"

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

template <int N>
struct Avx2Sixteenths {
  // One pixel at a time, as in SSE2 (the VEX forms of the same steps).
  static void blend_pixel(uint16_t* h, const uint8_t* p, uint32_t w) {
    int32_t left_bytes;
    int32_t right_bytes;
    memcpy(&left_bytes, p, 4);
    memcpy(&right_bytes, p + N, 4);
    __m128i pairs = _mm_cvtepu8_epi16(
        _mm_unpacklo_epi8(_mm_cvtsi32_si128(left_bytes), _mm_cvtsi32_si128(right_bytes)));
    __m128i sums = _mm_madd_epi16(pairs, _mm_set1_epi32(static_cast<int32_t>(w)));
    _mm_storel_epi64(reinterpret_cast<__m128i*>(h), _mm_packs_epi32(sums, sums));
  }
  static void blend_rows(uint8_t* out, const uint16_t* h0, const uint16_t* h1, uint32_t b,
                         size_t n) {
    const __m256i upper = _mm256_set1_epi16(static_cast<int16_t>(16 - b));
    const __m256i lower = _mm256_set1_epi16(static_cast<int16_t>(b));
    size_t i = 0;
    for (; i + 32 <= n; i += 32) {
      __m256i v[2];
      for (int q = 0; q < 2; ++q) {
        __m256i a = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(h0 + i + 16 * q));
        __m256i c = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(h1 + i + 16 * q));
        // At most 65280: the 16-bit sum does not wrap, and the shift is unsigned.
        v[q] = _mm256_srli_epi16(
            _mm256_add_epi16(_mm256_mullo_epi16(a, upper), _mm256_mullo_epi16(c, lower)), 8);
      }
      // The pack works within 128-bit halves; the permute puts them in order.
      __m256i bytes = _mm256_permute4x64_epi64(_mm256_packus_epi16(v[0], v[1]), 0xD8);
      _mm256_storeu_si256(reinterpret_cast<__m256i*>(out + i), bytes);
    }
    blend_rows_scalar(out, h0, h1, b, i, n);
  }
  static void shift_row(uint8_t* out, const uint16_t* h0, size_t n) {
    size_t i = 0;
    for (; i + 32 <= n; i += 32) {
      __m256i a = _mm256_srli_epi16(_mm256_loadu_si256(reinterpret_cast<const __m256i*>(h0 + i)), 4);
      __m256i c =
          _mm256_srli_epi16(_mm256_loadu_si256(reinterpret_cast<const __m256i*>(h0 + i + 16)), 4);
      __m256i bytes = _mm256_permute4x64_epi64(_mm256_packus_epi16(a, c), 0xD8);
      _mm256_storeu_si256(reinterpret_cast<__m256i*>(out + i), bytes);
    }
    shift_row_scalar(out, h0, i, n);
  }
};

}  // namespace

int blend_pixels_avx2(const RasterImage* source, RasterImage* result) {
  return blend_pixels<Avx2Ops, Avx2Sixteenths>(source, result);
}

#pragma GCC pop_options

#endif  // VORLIN_RESAMPLE_AVX2
