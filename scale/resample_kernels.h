// What the kernel files share: each set's entry points (the table's rows are
// made of them), the scalar forms of the row operations, and the column
// blends written once over a small vocabulary of per-pixel vector
// operations that each instruction set defines. Everything defined here has
// internal linkage, so a file built for one instruction set keeps its own
// copy of the code.
//
// Every value is computed with the reference blend's operations in the
// reference's order: h = (c00 * gx) + (c10 * fx) with gx = 1.0 - fx, then
// (h0 * gy) + (h1 * fy). Where every fraction is a whole number of
// sixteenths the same steps are exact in integers (see resample_fast.cpp).
//
// Ops<N> (N = 3 or 4 channels) is a struct of static functions on Vec, one
// pixel's channels as doubles:
//   load(p)         the pixel at p (reads 4 bytes)
//   splat(d), add(a, b), mul(a, b)
//   store(h, v)     its N values at h (may write h[N] too)
//   blend_pixel(h, p, w)  in 16-bit integers: h[i] = p[i] (w & 0xFFFF) +
//                   p[N + i] (w >> 16) for i < N (reads 4 bytes at p and p +
//                   N; may write h[N] too)
#ifndef VORLIN_SCALE_RESAMPLE_KERNELS_H
#define VORLIN_SCALE_RESAMPLE_KERNELS_H

#include <cstddef>
#include <cstdint>
#include <cstring>

#if defined(__AVX2__)
#include <immintrin.h>
#endif

#include "resample_kernel_sets.h"

// The rows of kResampleKernelSets, each defined in its set's file.
void plan_two_bit_portable(TwoBitPlan* plan, const int32_t* x0, int32_t count, int64_t row_bytes);
void sample_two_bit_portable(uint8_t* out, const uint8_t* row, const TwoBitPlan& plan,
                             const int32_t* x0, int32_t count);
// 2-bit pixels first .. count - 1 (first a multiple of 4), one by one.
void sample_two_bit_pixels(uint8_t* out, const uint8_t* row, const int32_t* x0, int32_t first,
                           int32_t count);
void blend_columns_portable(double* h, const uint8_t* row, const BlendColumns& c);
void blend_columns_sixteenths_portable(uint16_t* h, const uint8_t* row, const BlendColumns& c);
void blend_rows_portable(uint8_t* out, const double* h0, const double* h1, double gy, double fy,
                         size_t n);
void blend_rows_sixteenths_portable(uint8_t* out, const uint16_t* h0, const uint16_t* h1,
                                    uint32_t b, size_t n);

#if defined(VORLIN_KERNELS_SSE2)
void blend_columns_sse2(double* h, const uint8_t* row, const BlendColumns& c);
void blend_columns_sixteenths_sse2(uint16_t* h, const uint8_t* row, const BlendColumns& c);
void blend_rows_sse2(uint8_t* out, const double* h0, const double* h1, double gy, double fy,
                     size_t n);
void blend_rows_sixteenths_sse2(uint8_t* out, const uint16_t* h0, const uint16_t* h1, uint32_t b,
                                size_t n);

// The AVX2 file also holds the bit-extract 2-bit sampling (BMI2).
void plan_two_bit_bmi2(TwoBitPlan* plan, const int32_t* x0, int32_t count, int64_t row_bytes);
void sample_two_bit_bmi2(uint8_t* out, const uint8_t* row, const TwoBitPlan& plan,
                         const int32_t* x0, int32_t count);
void blend_columns_avx2(double* h, const uint8_t* row, const BlendColumns& c);
void blend_columns_sixteenths_avx2(uint16_t* h, const uint8_t* row, const BlendColumns& c);
void blend_rows_avx2(uint8_t* out, const double* h0, const double* h1, double gy, double fy,
                     size_t n);
void blend_rows_sixteenths_avx2(uint8_t* out, const uint16_t* h0, const uint16_t* h1, uint32_t b,
                                size_t n);

void blend_columns_avx512(double* h, const uint8_t* row, const BlendColumns& c);
void blend_columns_sixteenths_avx512(uint16_t* h, const uint8_t* row, const BlendColumns& c);
void blend_rows_avx512(uint8_t* out, const double* h0, const double* h1, double gy, double fy,
                       size_t n);
void blend_rows_sixteenths_avx512(uint8_t* out, const uint16_t* h0, const uint16_t* h1, uint32_t b,
                                  size_t n);
#endif

namespace {

inline uint8_t clamp_truncated(double v) {
  int32_t t = static_cast<int32_t>(v);  // truncation toward zero
  if (t > 255) t = 255;
  if (t < 0) t = 0;
  return static_cast<uint8_t>(t);
}

// The row operations on values first .. n - 1, one value at a time.
inline void blend_rows_from(uint8_t* out, const double* h0, const double* h1, double gy, double fy,
                            size_t first, size_t n) {
  for (size_t i = first; i < n; ++i) {
    out[i] = clamp_truncated(h1 == nullptr ? h0[i] : (h0[i] * gy) + (h1[i] * fy));
  }
}

// At most 255 * 16 * 16: the sum fits 16 bits, and the result 8.
inline void blend_rows_sixteenths_from(uint8_t* out, const uint16_t* h0, const uint16_t* h1,
                                       uint32_t b, size_t first, size_t n) {
  for (size_t i = first; i < n; ++i) {
    uint32_t v = h1 == nullptr ? h0[i] * 16u : h0[i] * (16u - b) + h1[i] * b;
    out[i] = static_cast<uint8_t>(v >> 8);
  }
}

// Columns first .. c.interior - 1 of a source row blended pixel by pixel.
template <template <int> class Ops, int N>
void blend_pixels_from(double* h, const uint8_t* row, const BlendColumns& c, int32_t first) {
  using V = Ops<N>;
  // Locals: the vector stores may alias anything, the table included.
  const int32_t* x0 = c.x0;
  const double* fx = c.fx;
  const double* gx = c.gx;
  const int32_t interior = c.interior;
  for (int32_t k = first; k < interior; ++k) {
    const uint8_t* p = row + static_cast<size_t>(x0[k]) * N;
    V::store(h + static_cast<size_t>(k) * N,
             V::add(V::mul(V::load(p), V::splat(gx[k])), V::mul(V::load(p + N), V::splat(fx[k]))));
  }
}

template <template <int> class Ops, int N>
void blend_pixels_sixteenths_from(uint16_t* h, const uint8_t* row, const BlendColumns& c,
                                  int32_t first) {
  const int32_t* x0 = c.x0;
  const uint32_t* weight = c.weight;
  const int32_t interior = c.interior;
  for (int32_t k = first; k < interior; ++k) {
    Ops<N>::blend_pixel(h + static_cast<size_t>(k) * N, row + static_cast<size_t>(x0[k]) * N,
                        weight[k]);
  }
}

template <template <int> class Ops>
void blend_columns_from(double* h, const uint8_t* row, const BlendColumns& c, int32_t first) {
  if (c.channels == 4) {
    blend_pixels_from<Ops, 4>(h, row, c, first);
  } else {
    blend_pixels_from<Ops, 3>(h, row, c, first);
  }
}

template <template <int> class Ops>
void blend_columns_sixteenths_from(uint16_t* h, const uint8_t* row, const BlendColumns& c,
                                   int32_t first) {
  if (c.channels == 4) {
    blend_pixels_sixteenths_from<Ops, 4>(h, row, c, first);
  } else {
    blend_pixels_sixteenths_from<Ops, 3>(h, row, c, first);
  }
}

#if defined(__AVX2__)
// The files built for AVX2 and above: one pixel's four channels in one register.
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
  static void store(double* h, Vec v) { _mm256_storeu_pd(h, v); }
  // As in SSE2: the pixel and its right neighbour as 16-bit pairs, madd.
  static void blend_pixel(uint16_t* h, const uint8_t* p, uint32_t w) {
    int32_t left;
    int32_t right;
    memcpy(&left, p, 4);
    memcpy(&right, p + N, 4);
    const __m128i pairs =
        _mm_cvtepu8_epi16(_mm_unpacklo_epi8(_mm_cvtsi32_si128(left), _mm_cvtsi32_si128(right)));
    const __m128i sums = _mm_madd_epi16(pairs, _mm_set1_epi32(static_cast<int32_t>(w)));
    _mm_storel_epi64(reinterpret_cast<__m128i*>(h), _mm_packs_epi32(sums, sums));
  }
};
#endif

}  // namespace

#endif  // VORLIN_SCALE_RESAMPLE_KERNELS_H
