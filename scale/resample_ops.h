// The blends written once over a small vocabulary of vector operations that
// each kernel file defines for its instruction set, and the scalar row
// blends. Only the kernel files include this; everything here has internal
// linkage, so a file built for one instruction set keeps its own copy of the
// code and none stands in for another's.
//
// Every value is computed with the reference blend's operations in the
// reference's order: h = (c00 * gx) + (c10 * fx) with gx = 1.0 - fx, then
// (h0 * gy) + (h1 * fy). Where every fraction is a whole number of
// sixteenths the same steps are exact in integers (see resample_fast.cpp).
//
// Ops<N> (N = 3 or 4 channels) is a struct of static functions on Vec, one
// pixel's channels as doubles, for the column blends:
//   load(p)         the pixel at p (reads 4 bytes)
//   splat(d), add(a, b), mul(a, b)
//   store(h, v)     its N values at h (may write h[N] too)
//   blend_pixel(h, p, w)  in 16-bit integers: h[i] = p[i] (w & 0xFFFF) +
//                   p[N + i] (w >> 16) for i < N (reads 4 bytes at p and p +
//                   N; may write h[N] too)
// Rows names a set's vector types for the row blends, Doubles and Words (of
// unsigned 16-bit lanes; cast to the set's integer vectors for its shifts
// and packs), and its two packs; a step takes kDoublePack
// vectors of doubles or kWordPack of words. LaneOps loads and splats them
// for every set alike.
//   store_bytes(out, v)  v[0 .. kDoublePack - 1] truncated toward zero,
//                   clamped to 0..255 and stored as bytes
//   store_high_bytes(out, v)  the top byte of each word of v[0 .. kWordPack
//                   - 1] (each word shifted right by 8), stored as bytes
#ifndef VORLIN_SCALE_RESAMPLE_OPS_H
#define VORLIN_SCALE_RESAMPLE_OPS_H

#include <cstddef>
#include <cstdint>
#include <cstring>

#if defined(__AVX2__)
#include <immintrin.h>
#endif

#include "resample_kernels.h"

namespace {

inline uint8_t clamp_truncated(double v) {
  int32_t t = static_cast<int32_t>(v);  // truncation toward zero
  if (t > 255) t = 255;
  if (t < 0) t = 0;
  return static_cast<uint8_t>(t);
}

// The row blends value by value: the portable set's, and the rest of each
// row the vector steps leave. (Over a one-lane vocabulary the template below
// made the 4x enlargement in sixteenths 3.2 times slower: GCC no longer
// vectorised the loop.)
inline void blend_rows_scalar(uint8_t* out, const double* h0, const double* h1, double gy,
                              double fy, size_t n) {
  for (size_t i = 0; i < n; ++i) {
    out[i] = clamp_truncated(h1 == nullptr ? h0[i] : (h0[i] * gy) + (h1[i] * fy));
  }
}

// At most 255 * 16 * 16: the sum fits 16 bits, and the result 8.
inline void blend_rows_sixteenths_scalar(uint8_t* out, const uint16_t* h0, const uint16_t* h1,
                                         uint32_t b, size_t n) {
  for (size_t i = 0; i < n; ++i) {
    uint32_t v = h1 == nullptr ? h0[i] * 16u : h0[i] * (16u - b) + h1[i] * b;
    out[i] = static_cast<uint8_t>(v >> 8);
  }
}

// Loads and splats of a vector type V of Lane values. The arithmetic is the
// operators of GCC's and clang's vector extensions: the set's own vector
// instructions, lane by lane, each product and sum its own step.
template <class V, class Lane>
struct LaneOps {
  static constexpr size_t kLanes = sizeof(V) / sizeof(Lane);
  static V load(const Lane* p) {
    V v;
    memcpy(&v, p, sizeof v);
    return v;
  }
  static V splat(Lane x) {
    V v{};
    for (size_t i = 0; i < kLanes; ++i) v[i] = x;
    return v;
  }
};

// The arithmetic of Ops<N> where a pixel's four doubles are two vectors of
// two (SSE2, NEON); the set adds load and blend_pixel.
template <class Half>
struct HalvesOps {
  struct Vec {
    Half lo;
    Half hi;
  };
  static Vec splat(double d) {
    return {LaneOps<Half, double>::splat(d), LaneOps<Half, double>::splat(d)};
  }
  static Vec add(Vec a, Vec b) { return {a.lo + b.lo, a.hi + b.hi}; }
  static Vec mul(Vec a, Vec b) { return {a.lo * b.lo, a.hi * b.hi}; }
  static void store(double* h, Vec v) {
    memcpy(h, &v.lo, sizeof v.lo);
    memcpy(h + 2, &v.hi, sizeof v.hi);
  }
};

// Whole steps of the row blend in doubles, then the rest value by value.
template <class Rows>
void blend_rows_over(uint8_t* out, const double* h0, const double* h1, double gy, double fy,
                     size_t n) {
  using D = LaneOps<typename Rows::Doubles, double>;
  constexpr size_t kLanes = D::kLanes;
  constexpr size_t kPack = Rows::kDoublePack;
  const typename Rows::Doubles g = D::splat(gy);
  const typename Rows::Doubles f = D::splat(fy);
  size_t i = 0;
  for (; i + kLanes * kPack <= n; i += kLanes * kPack) {
    typename Rows::Doubles v[kPack];
    for (size_t q = 0; q < kPack; ++q) {
      v[q] = D::load(h0 + i + kLanes * q);
      if (h1 != nullptr) {
        v[q] = (v[q] * g) + (D::load(h1 + i + kLanes * q) * f);
      }
    }
    Rows::store_bytes(out + i, v);
  }
  blend_rows_scalar(out + i, h0 + i, h1 == nullptr ? nullptr : h1 + i, gy, fy, n - i);
}

// The same in sixteenths. h0 (16 - b) + h1 b is at most 65280: the 16-bit
// sum does not wrap, and the shift is unsigned. With b = 0 (h1 null) it is
// h0 16, whose shift is h0's by 4.
template <class Rows>
void blend_rows_sixteenths_over(uint8_t* out, const uint16_t* h0, const uint16_t* h1, uint32_t b,
                                size_t n) {
  using W = LaneOps<typename Rows::Words, uint16_t>;
  constexpr size_t kLanes = W::kLanes;
  constexpr size_t kPack = Rows::kWordPack;
  const typename Rows::Words upper = W::splat(static_cast<uint16_t>(16 - b));
  const typename Rows::Words lower = W::splat(static_cast<uint16_t>(b));
  size_t i = 0;
  for (; i + kLanes * kPack <= n; i += kLanes * kPack) {
    typename Rows::Words v[kPack];
    for (size_t q = 0; q < kPack; ++q) {
      v[q] = W::load(h0 + i + kLanes * q) * upper;
      if (h1 != nullptr) {
        v[q] = v[q] + W::load(h1 + i + kLanes * q) * lower;
      }
    }
    Rows::store_high_bytes(out + i, v);
  }
  blend_rows_sixteenths_scalar(out + i, h0 + i, h1 == nullptr ? nullptr : h1 + i, b, n - i);
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

template <template <int> class Ops>
void blend_columns_over(double* h, const uint8_t* row, const BlendColumns& c) {
  blend_columns_from<Ops>(h, row, c, 0);
}

template <template <int> class Ops>
void blend_columns_sixteenths_over(uint16_t* h, const uint8_t* row, const BlendColumns& c) {
  blend_columns_sixteenths_from<Ops>(h, row, c, 0);
}

// A set's blends, all four written over its vocabulary.
template <template <int> class Ops, class Rows>
constexpr ResampleBlends blends_over() {
  return {blend_columns_over<Ops>, blend_columns_sixteenths_over<Ops>, blend_rows_over<Rows>,
          blend_rows_sixteenths_over<Rows>};
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

#endif  // VORLIN_SCALE_RESAMPLE_OPS_H
