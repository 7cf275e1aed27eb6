// The fast resampler's dispatch, its portable and SSE2 blend operations, and
// the sampling of 2-, 8- and 16-bit images by direct row pointers.
#include "resample_fast.h"

#include <cfloat>
#include <cstdint>
#include <cstdlib>
#include <cstring>

#if defined(VORLIN_RESAMPLE_SSE2)
#include <emmintrin.h>
#endif

#include "resample_kernels.h"
#include "resample_sixteenths.h"

namespace {

// Doubles evaluated in wider registers (x87) would round differently from the
// stored tables, so such builds keep to the reference.
#if defined(FLT_EVAL_METHOD) && FLT_EVAL_METHOD != 0
constexpr bool kExactDoubles = false;
#else
constexpr bool kExactDoubles = true;
#endif

// Plain C++ on N channels; byte by byte, so any byte order gives the same result.
template <int N>
struct PortableOps {
  struct Vec {
    double c[N];
  };
  static Vec load(const uint8_t* p) {
    Vec v;
    for (int c = 0; c < N; ++c) v.c[c] = static_cast<double>(p[c]);
    return v;
  }
  static Vec splat(double d) {
    Vec v;
    for (int c = 0; c < N; ++c) v.c[c] = d;
    return v;
  }
  static Vec add(Vec a, Vec b) {
    for (int c = 0; c < N; ++c) a.c[c] = a.c[c] + b.c[c];
    return a;
  }
  static Vec mul(Vec a, Vec b) {
    for (int c = 0; c < N; ++c) a.c[c] = a.c[c] * b.c[c];
    return a;
  }
  static void store_h(double* h, Vec v) {
    for (int c = 0; c < N; ++c) h[c] = v.c[c];
  }
  static void put(uint8_t* p, Vec v) {
    for (int c = 0; c < N; ++c) p[c] = clamp_truncated(v.c[c]);
  }
  static void put_wide(uint8_t* p, Vec v) { put(p, v); }
  static void truncate_values(uint8_t* out, const double* h0, size_t n) {
    truncate_values_scalar(out, h0, 0, n);
  }
  static void blend_values(uint8_t* out, const double* h0, const double* h1, double gy, double fy,
                           size_t n) {
    blend_values_scalar(out, h0, h1, gy, fy, 0, n);
  }
};

template <int N>
struct PortableSixteenths {
  static void blend_pixel(uint16_t* h, const uint8_t* p, uint32_t w) {
    for (int c = 0; c < N; ++c) {
      h[c] = static_cast<uint16_t>(p[c] * (w & 0xFFFFu) + p[N + c] * (w >> 16));
    }
  }
  static void blend_rows(uint8_t* out, const uint16_t* h0, const uint16_t* h1, uint32_t b,
                         size_t n) {
    blend_rows_scalar(out, h0, h1, b, 0, n);
  }
  static void shift_row(uint8_t* out, const uint16_t* h0, size_t n) {
    shift_row_scalar(out, h0, 0, n);
  }
};

#if defined(VORLIN_RESAMPLE_SSE2)
// One pixel's channels against its right neighbour's, interleaved as 16-bit
// pairs and multiplied by the weight pair: h = c00 (16 - a) + c10 a for all
// four channels in one step (madd adds each pair's two products).
inline void sse2_blend_pixel16(uint16_t* h, const uint8_t* p, const uint8_t* right, uint32_t w) {
  int32_t left_bytes;
  int32_t right_bytes;
  memcpy(&left_bytes, p, 4);
  memcpy(&right_bytes, right, 4);
  __m128i pairs = _mm_unpacklo_epi8(
      _mm_unpacklo_epi8(_mm_cvtsi32_si128(left_bytes), _mm_cvtsi32_si128(right_bytes)),
      _mm_setzero_si128());
  __m128i sums = _mm_madd_epi16(pairs, _mm_set1_epi32(static_cast<int32_t>(w)));
  _mm_storel_epi64(reinterpret_cast<__m128i*>(h), _mm_packs_epi32(sums, sums));
}

template <int N>
struct Sse2Sixteenths {
  static void blend_pixel(uint16_t* h, const uint8_t* p, uint32_t w) {
    sse2_blend_pixel16(h, p, p + N, w);
  }
  static void blend_rows(uint8_t* out, const uint16_t* h0, const uint16_t* h1, uint32_t b,
                         size_t n) {
    const __m128i upper = _mm_set1_epi16(static_cast<int16_t>(16 - b));
    const __m128i lower = _mm_set1_epi16(static_cast<int16_t>(b));
    size_t i = 0;
    for (; i + 16 <= n; i += 16) {
      __m128i v[2];
      for (int q = 0; q < 2; ++q) {
        __m128i a = _mm_loadu_si128(reinterpret_cast<const __m128i*>(h0 + i + 8 * q));
        __m128i c = _mm_loadu_si128(reinterpret_cast<const __m128i*>(h1 + i + 8 * q));
        // At most 65280: the 16-bit sum does not wrap, and the shift is unsigned.
        v[q] = _mm_srli_epi16(_mm_add_epi16(_mm_mullo_epi16(a, upper), _mm_mullo_epi16(c, lower)), 8);
      }
      _mm_storeu_si128(reinterpret_cast<__m128i*>(out + i), _mm_packus_epi16(v[0], v[1]));
    }
    blend_rows_scalar(out, h0, h1, b, i, n);
  }
  static void shift_row(uint8_t* out, const uint16_t* h0, size_t n) {
    size_t i = 0;
    for (; i + 16 <= n; i += 16) {
      __m128i a = _mm_srli_epi16(_mm_loadu_si128(reinterpret_cast<const __m128i*>(h0 + i)), 4);
      __m128i c = _mm_srli_epi16(_mm_loadu_si128(reinterpret_cast<const __m128i*>(h0 + i + 8)), 4);
      _mm_storeu_si128(reinterpret_cast<__m128i*>(out + i), _mm_packus_epi16(a, c));
    }
    shift_row_scalar(out, h0, i, n);
  }
};

// Four channels in two registers. x86 is little-endian, so a pixel's bytes
// load and store as one 32-bit word. Packing with signed then unsigned
// saturation is the clamp to 0..255 of the truncated values.
template <int N>
struct Sse2Ops {
  struct Vec {
    __m128d lo;
    __m128d hi;
  };
  static Vec load(const uint8_t* p) {
    int32_t w;
    memcpy(&w, p, 4);
    __m128i zero = _mm_setzero_si128();
    __m128i d = _mm_unpacklo_epi16(_mm_unpacklo_epi8(_mm_cvtsi32_si128(w), zero), zero);
    return {_mm_cvtepi32_pd(d), _mm_cvtepi32_pd(_mm_shuffle_epi32(d, _MM_SHUFFLE(3, 2, 3, 2)))};
  }
  static Vec splat(double d) { return {_mm_set1_pd(d), _mm_set1_pd(d)}; }
  static Vec add(Vec a, Vec b) { return {_mm_add_pd(a.lo, b.lo), _mm_add_pd(a.hi, b.hi)}; }
  static Vec mul(Vec a, Vec b) { return {_mm_mul_pd(a.lo, b.lo), _mm_mul_pd(a.hi, b.hi)}; }
  static void store_h(double* h, Vec v) {
    _mm_storeu_pd(h, v.lo);
    _mm_storeu_pd(h + 2, v.hi);
  }
  static int32_t pack(Vec v) {
    __m128i t = _mm_unpacklo_epi64(_mm_cvttpd_epi32(v.lo), _mm_cvttpd_epi32(v.hi));
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
  // Eight values a step: four pairs truncated, packed to eight bytes.
  static __m128i pack8(__m128d a, __m128d b, __m128d c, __m128d d) {
    __m128i ab = _mm_unpacklo_epi64(_mm_cvttpd_epi32(a), _mm_cvttpd_epi32(b));
    __m128i cd = _mm_unpacklo_epi64(_mm_cvttpd_epi32(c), _mm_cvttpd_epi32(d));
    __m128i w = _mm_packs_epi32(ab, cd);
    return _mm_packus_epi16(w, w);
  }
  static void truncate_values(uint8_t* out, const double* h0, size_t n) {
    size_t i = 0;
    for (; i + 8 <= n; i += 8) {
      _mm_storel_epi64(reinterpret_cast<__m128i*>(out + i),
                       pack8(_mm_loadu_pd(h0 + i), _mm_loadu_pd(h0 + i + 2),
                             _mm_loadu_pd(h0 + i + 4), _mm_loadu_pd(h0 + i + 6)));
    }
    truncate_values_scalar(out, h0, i, n);
  }
  static void blend_values(uint8_t* out, const double* h0, const double* h1, double gy, double fy,
                           size_t n) {
    __m128d g = _mm_set1_pd(gy);
    __m128d f = _mm_set1_pd(fy);
    size_t i = 0;
    for (; i + 8 <= n; i += 8) {
      __m128d v[4];
      for (int q = 0; q < 4; ++q) {
        v[q] = _mm_add_pd(_mm_mul_pd(_mm_loadu_pd(h0 + i + 2 * q), g),
                          _mm_mul_pd(_mm_loadu_pd(h1 + i + 2 * q), f));
      }
      _mm_storel_epi64(reinterpret_cast<__m128i*>(out + i), pack8(v[0], v[1], v[2], v[3]));
    }
    blend_values_scalar(out, h0, h1, gy, fy, i, n);
  }
};
#endif

// Output columns per band of the sampling path; its table is 16 KiB.
constexpr int32_t kSampleBand = 4096;

// The source pixel of a 2-bit row at x: the leftmost pixel of a byte is in
// its two most significant bits.
inline uint32_t two_bit_at(const uint8_t* row, int32_t x) {
  uint32_t u = static_cast<uint32_t>(x);  // never negative here
  return (static_cast<uint32_t>(row[u >> 2]) >> ((~u & 3u) << 1)) & 0x3u;
}

// Output pixels per step of the sampling loops, with one prefetch a step.
constexpr int32_t kSampleStep = 16;

// One band row of 2-bit pixels, four to a byte. Bits past the last pixel stay
// 0. ahead: the source row of the next output row, or null.
void sample_two_bit(uint8_t* out, const uint8_t* row, const int32_t* x0, int32_t count,
                    const uint8_t* ahead) {
  int32_t whole = count / 4 * 4;
  int32_t k = 0;
  for (; k + kSampleStep <= whole; k += kSampleStep) {
    if (ahead != nullptr) prefetch(ahead + static_cast<uint32_t>(x0[k]) / 4);
    for (int32_t q = k; q < k + kSampleStep; q += 4) {
      out[q / 4] = static_cast<uint8_t>((two_bit_at(row, x0[q]) << 6) |
                                        (two_bit_at(row, x0[q + 1]) << 4) |
                                        (two_bit_at(row, x0[q + 2]) << 2) | two_bit_at(row, x0[q + 3]));
    }
  }
  for (; k < whole; k += 4) {
    out[k / 4] = static_cast<uint8_t>((two_bit_at(row, x0[k]) << 6) |
                                      (two_bit_at(row, x0[k + 1]) << 4) |
                                      (two_bit_at(row, x0[k + 2]) << 2) | two_bit_at(row, x0[k + 3]));
  }
  if (whole < count) {
    uint32_t byte = 0;
    for (int32_t q = 0; whole + q < count; ++q) {
      byte |= two_bit_at(row, x0[whole + q]) << (6 - 2 * q);
    }
    out[whole / 4] = static_cast<uint8_t>(byte);
  }
}

// 2-bit rows are first spread out to a byte a pixel over the span a band row
// samples, when that span is at most this many pixels; each source byte
// becomes four bytes through a 256-entry table.
constexpr int32_t kSpreadPixels = 16384;

// table[4 v + q] = pixel q of the source byte v (the leftmost in the top bits).
void fill_spread_table(uint8_t* table) {
  for (uint32_t v = 0; v < 256; ++v) {
    for (uint32_t q = 0; q < 4; ++q) {
      table[4 * v + q] = static_cast<uint8_t>((v >> (6 - 2 * q)) & 0x3u);
    }
  }
}

// The same band row through the spread-out span: spread[x - first] is the
// source pixel x, first a multiple of 4.
void sample_two_bit_spread(uint8_t* out, const uint8_t* row, const int32_t* x0, int32_t count,
                           uint8_t* spread, const uint8_t* table) {
  const int32_t first = x0[0] / 4 * 4;
  const int32_t last_byte = x0[count - 1] / 4;
  for (int32_t b = first / 4; b <= last_byte; ++b) {
    memcpy(spread + 4 * (b - first / 4), table + 4 * static_cast<uint32_t>(row[b]), 4);
  }
  const uint8_t* pixel = spread - first;  // pixel[x] for x in the span
  int32_t whole = count / 4 * 4;
  for (int32_t k = 0; k < whole; k += 4) {
    out[k / 4] = static_cast<uint8_t>((pixel[x0[k]] << 6) | (pixel[x0[k + 1]] << 4) |
                                      (pixel[x0[k + 2]] << 2) | pixel[x0[k + 3]]);
  }
  if (whole < count) {
    uint32_t byte = 0;
    for (int32_t q = 0; whole + q < count; ++q) {
      byte |= static_cast<uint32_t>(pixel[x0[whole + q]]) << (6 - 2 * q);
    }
    out[whole / 4] = static_cast<uint8_t>(byte);
  }
}

// One band row of whole-byte pixels (8 or 16 bits), copied unchanged.
template <int Bytes>
void sample_bytes(uint8_t* out, const uint8_t* row, const int32_t* x0, int32_t count,
                  const uint8_t* ahead) {
  int32_t k = 0;
  for (; k + kSampleStep <= count; k += kSampleStep) {
    if (ahead != nullptr) prefetch(ahead + static_cast<size_t>(x0[k]) * Bytes);
    for (int32_t q = k; q < k + kSampleStep; ++q) {
      memcpy(out + static_cast<size_t>(q) * Bytes, row + static_cast<size_t>(x0[q]) * Bytes, Bytes);
    }
  }
  for (; k < count; ++k) {
    memcpy(out + static_cast<size_t>(k) * Bytes, row + static_cast<size_t>(x0[k]) * Bytes, Bytes);
  }
}

// 2-, 8- and 16-bit images: each output pixel is the source pixel at the
// truncated position. An output row sampling the same source row as the row
// before it is that row again, so it is copied. Returns 0 (nothing written)
// when the table cannot be allocated or a sample would fall outside.
int sample_pixels(const RasterImage* source, RasterImage* result) {
  const int bits = result->bits_per_pixel;
  const double scale_x = static_cast<double>(source->width) / static_cast<double>(result->width);
  const double scale_y = static_cast<double>(source->height) / static_cast<double>(result->height);
  // Positions only grow with the index, so the last ones bound them all.
  if (static_cast<int32_t>(static_cast<double>(result->width - 1) * scale_x) >= source->width ||
      static_cast<int32_t>(static_cast<double>(result->height - 1) * scale_y) >= source->height) {
    return 0;
  }
  // The column table, and for 2 bits the spread-out span and its table: 33 KiB.
  size_t scratch = kSampleBand * sizeof(int32_t) + (bits == 2 ? kSpreadPixels + 1024 : 0);
  int32_t* x0 = static_cast<int32_t*>(malloc(scratch));
  if (x0 == nullptr) {
    return 0;
  }
  uint8_t* spread = reinterpret_cast<uint8_t*>(x0 + kSampleBand);
  uint8_t* spread_table = spread + kSpreadPixels;
  if (bits == 2) {
    fill_spread_table(spread_table);
  }
  const size_t source_stride = static_cast<size_t>(row_size(source->width, source->bits_per_pixel));
  const size_t result_stride = static_cast<size_t>(row_size(result->width, result->bits_per_pixel));
  for (int32_t j0 = 0; j0 < result->width; j0 += kSampleBand) {
    int32_t count = result->width - j0 < kSampleBand ? result->width - j0 : kSampleBand;
    for (int32_t k = 0; k < count; ++k) {
      x0[k] = static_cast<int32_t>(static_cast<double>(j0 + k) * scale_x);
    }
    // The band's bytes: bands start on whole bytes (kSampleBand is a multiple of 4).
    size_t first = static_cast<size_t>(j0) * static_cast<size_t>(bits) / 8;
    size_t bytes = bits == 2 ? (static_cast<size_t>(count) + 3) / 4
                             : static_cast<size_t>(count) * static_cast<size_t>(bits / 8);
    int32_t previous_y = -1;
    int32_t y0 = 0;  // row 0 samples source row 0
    for (int32_t i = 0; i < result->height; ++i) {
      int32_t next_y = i + 1 < result->height
                           ? static_cast<int32_t>(static_cast<double>(i + 1) * scale_y)
                           : y0;
      uint8_t* out = result->pixels + static_cast<size_t>(i) * result_stride + first;
      const uint8_t* row = source->pixels + static_cast<size_t>(y0) * source_stride;
      const uint8_t* ahead =
          next_y != y0 ? source->pixels + static_cast<size_t>(next_y) * source_stride : nullptr;
      if (y0 == previous_y) {
        memcpy(out, out - result_stride, bytes);
      } else if (bits == 16) {
        sample_bytes<2>(out, row, x0, count, ahead);
      } else if (bits == 8) {
        sample_bytes<1>(out, row, x0, count, ahead);
      } else if (x0[count - 1] - x0[0] / 4 * 4 < kSpreadPixels) {
        sample_two_bit_spread(out, row, x0, count, spread, spread_table);
      } else {
        sample_two_bit(out, row, x0, count, ahead);
      }
      previous_y = y0;
      y0 = next_y;
    }
  }
  free(x0);
  return 1;
}

}  // namespace

int resample_kernels_available(int kernels) {
  switch (kernels) {
    case kResamplePortable:
      return 1;
#if defined(VORLIN_RESAMPLE_SSE2)
    case kResampleSse2:
      return 1;
#endif
#if defined(VORLIN_RESAMPLE_AVX2)
    case kResampleAvx2:
      return __builtin_cpu_supports("avx2") ? 1 : 0;
#endif
    default:
      return 0;
  }
}

int resample_pixels_with(const RasterImage* source, RasterImage* result, int kernels) {
  if (!kExactDoubles || source->width < 1 || source->height < 1 || source->pixels == nullptr ||
      source->bits_per_pixel != result->bits_per_pixel) {
    return 0;
  }
  switch (result->bits_per_pixel) {
    case 2:
    case 8:
    case 16:
      return sample_pixels(source, result);
    case 24:
    case 32:
      break;
    default:
      return 0;
  }
  switch (kernels) {
#if defined(VORLIN_RESAMPLE_AVX2)
    case kResampleAvx2:
      return blend_pixels_avx2(source, result);
#endif
#if defined(VORLIN_RESAMPLE_SSE2)
    case kResampleSse2:
      return blend_pixels<Sse2Ops, Sse2Sixteenths>(source, result);
#endif
    default:
      return blend_pixels<PortableOps, PortableSixteenths>(source, result);
  }
}

int resample_pixels_fast(const RasterImage* source, RasterImage* result) {
  if (resample_kernels_available(kResampleAvx2)) {
    return resample_pixels_with(source, result, kResampleAvx2);
  }
  if (resample_kernels_available(kResampleSse2)) {
    return resample_pixels_with(source, result, kResampleSse2);
  }
  return resample_pixels_with(source, result, kResamplePortable);
}
