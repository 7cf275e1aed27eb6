// The fast resampler's dispatch, its portable and SSE2 blend operations, and
// the sampling of 2-, 8- and 16-bit images by direct row pointers (2-bit
// output bytes from per-band lookup tables, or on CPUs with a quick BMI2 bit
// extract, a group of columns at a time).
#include "resample_fast.h"

#include <cfloat>
#include <cstdint>
#include <cstdlib>
#include <cstring>

#if defined(VORLIN_RESAMPLE_SSE2)
#include <emmintrin.h>
#endif
// The 2-bit bit-extract path rides with the AVX2 kernels' run-time choice;
// it reads 64-bit words, so 64-bit x86 only.
#if defined(VORLIN_RESAMPLE_AVX2) && defined(__x86_64__)
#define VORLIN_TWO_BIT_GATHER 1
#include <cpuid.h>
#include <immintrin.h>
#endif

#include "resample_kernels.h"
#include "resample_spans.h"
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

// The byte-table 2-bit path: each whole output byte is the OR of three
// lookups, one for each of the three source bytes from its first pixel's on,
// each in a 256-entry table that moves that byte's chosen pixels to their
// places in the output byte (or gives 0). A band uses at most this many
// tables; table 0 gives 0.
constexpr int32_t kByteTables = 48;
// Output bytes a band has at most.
constexpr int32_t kBandBytes = kSampleBand / 4;
// A choice of pixels for one output byte from one source byte: three bits an
// output pixel, 0 for none or 1 + its pixel in the source byte.
constexpr int32_t kChoiceKeys = 1 << 12;

// The byte-table path's plan for one band: for its first output bytes, the
// source byte start[k] of the first pixel and the offsets table[3 k + m] of
// the tables for the bytes start[k] + m. The three bytes must lie within the
// source row and hold all four pixels. table_of: kChoiceKeys bytes of scratch.
// *reach: 1 + the last of the three bytes any planned byte takes a pixel from.
// Returns the number of output bytes planned (0: the band is sampled pixel by
// pixel); the pixels after them are left to the per-pixel path.
int32_t plan_two_bit_bytes(const int32_t* x0, int32_t count, size_t source_stride,
                           uint32_t* start, uint16_t* table, uint8_t* tables,
                           uint8_t* table_of, int32_t* reach) {
  memset(table_of, 0xFF, kChoiceKeys);
  memset(tables, 0, 256);
  table_of[0] = 0;
  int32_t used = 1;
  int32_t planned = count / 4;
  *reach = 1;
  for (int32_t k = 0; k < planned; ++k) {
    const int32_t* x = x0 + 4 * static_cast<size_t>(k);
    uint32_t first = static_cast<uint32_t>(x[0]) / 4;
    if (static_cast<size_t>(first) + 3 > source_stride) {
      return k;  // starts only grow: the rest of the band is past the row's end too
    }
    uint32_t keys[3] = {0, 0, 0};
    for (int32_t q = 0; q < 4; ++q) {
      uint32_t m = static_cast<uint32_t>(x[q]) / 4 - first;
      if (m > 2) {
        return 0;
      }
      keys[m] |= (1u + (static_cast<uint32_t>(x[q]) & 3u)) << (3 * q);
    }
    for (int32_t m = *reach; m < 3; ++m) {
      if (keys[m] != 0) {
        *reach = m + 1;
      }
    }
    for (int32_t m = 0; m < 3; ++m) {
      uint32_t key = keys[m];
      if (table_of[key] == 0xFF) {
        if (used == kByteTables) {
          return 0;
        }
        uint8_t* t = tables + 256 * static_cast<size_t>(used);
        for (uint32_t v = 0; v < 256; ++v) {
          uint32_t byte = 0;
          for (uint32_t q = 0; q < 4; ++q) {
            uint32_t choice = (key >> (3 * q)) & 7u;
            if (choice != 0) {
              byte |= ((v >> (8 - 2 * choice)) & 3u) << (6 - 2 * q);
            }
          }
          t[v] = static_cast<uint8_t>(byte);
        }
        table_of[key] = static_cast<uint8_t>(used++);
      }
      table[3 * static_cast<size_t>(k) + m] = static_cast<uint16_t>(256 * table_of[key]);
    }
    start[k] = first;
  }
  return planned;
}

// The planned output bytes of one band row, from Reach source bytes each.
template <int Reach>
void sample_two_bit_reach(uint8_t* out, const uint8_t* row, const uint32_t* start,
                          const uint16_t* table, const uint8_t* tables, int32_t planned) {
  for (int32_t k = 0; k < planned; ++k) {
    const uint8_t* b = row + start[k];
    const uint16_t* t = table + 3 * static_cast<size_t>(k);
    uint32_t byte = tables[t[0] + b[0]];
    if (Reach >= 2) byte |= tables[t[1] + b[1]];
    if (Reach == 3) byte |= tables[t[2] + b[2]];
    out[k] = static_cast<uint8_t>(byte);
  }
}

// reach: how many of the three source bytes the planned bytes need.
void sample_two_bit_bytes(uint8_t* out, const uint8_t* row, const uint32_t* start,
                          const uint16_t* table, const uint8_t* tables, int32_t planned,
                          int32_t reach) {
  if (reach == 1) {
    sample_two_bit_reach<1>(out, row, start, table, tables, planned);
  } else if (reach == 2) {
    sample_two_bit_reach<2>(out, row, start, table, tables, planned);
  } else {
    sample_two_bit_reach<3>(out, row, start, table, tables, planned);
  }
}

// Groups of the gathered 2-bit path a band can have at most (of the smallest size).
constexpr int32_t kMostGroups = kSampleBand / 4;

#if defined(VORLIN_TWO_BIT_GATHER)
// 1 when BMI2's bit extract is one quick instruction: on Intel, and on AMD
// from family 19h (earlier AMD parts run it as microcode, slower than the
// byte-at-a-time path).
bool probe_bit_extract() {
  if (!__builtin_cpu_supports("bmi2")) {
    return false;
  }
  unsigned eax = 0;
  unsigned ebx = 0;
  unsigned ecx = 0;
  unsigned edx = 0;
  if (!__get_cpuid(0, &eax, &ebx, &ecx, &edx)) {
    return false;
  }
  // The vendor string's words: "GenuineIntel", "AuthenticAMD".
  const bool intel = ebx == 0x756E6547u && edx == 0x49656E69u && ecx == 0x6C65746Eu;
  const bool amd = ebx == 0x68747541u && edx == 0x69746E65u && ecx == 0x444D4163u;
  if (intel) {
    return true;
  }
  if (!amd || !__get_cpuid(1, &eax, &ebx, &ecx, &edx)) {
    return false;
  }
  unsigned family = (eax >> 8) & 0xFu;
  if (family == 0xFu) {
    family += (eax >> 20) & 0xFFu;
  }
  return family >= 0x19u;
}

// Asked once: cpuid can trap to a hypervisor.
bool bit_extract_is_fast() {
  static const bool fast = probe_bit_extract();
  return fast;
}

// Output pixels a group of the gathered 2-bit path may hold, largest first.
constexpr int32_t kGroupSizes[] = {16, 8, 4};

// The gathered 2-bit path's plan for one band: its first output pixels in
// groups of *group_pixels, each group within the eight source bytes from
// start[g] on, whose bits mask[g] marks in those bytes read as one
// big-endian word. Each group's positions must strictly grow (a bit extract
// cannot repeat a pixel), and its eight bytes must lie within the source row.
// Returns the number of groups (0: the band is sampled pixel by pixel); the
// pixels after them are left to the per-pixel path.
int32_t plan_two_bit_groups(const int32_t* x0, int32_t count, size_t source_stride,
                            uint32_t* start, uint64_t* mask, int32_t* group_pixels) {
  for (int32_t size : kGroupSizes) {
    int32_t groups = count / size;
    bool fits = true;
    for (int32_t g = 0; g < groups && fits; ++g) {
      const int32_t* x = x0 + static_cast<size_t>(g) * static_cast<size_t>(size);
      uint32_t first = static_cast<uint32_t>(x[0]) / 4;
      if (static_cast<size_t>(first) + 8 > source_stride) {
        groups = g;  // starts only grow: the rest of the band is past the row's end too
        break;
      }
      uint64_t bits = 0;
      for (int32_t q = 0; q < size; ++q) {
        int32_t d = x[q] - static_cast<int32_t>(4 * first);
        if (d >= 32 || (q > 0 && x[q] <= x[q - 1])) {
          fits = false;
          break;
        }
        bits |= uint64_t{3} << (62 - 2 * d);
      }
      start[g] = first;
      mask[g] = bits;
    }
    if (fits) {
      *group_pixels = size;
      return groups;
    }
  }
  return 0;
}

// The groups of one band row: the eight source bytes as a big-endian word
// (x86 is little-endian), the group's pixels extracted in order, the leftmost
// on top, stored with the leftmost first.
template <int32_t Size>
__attribute__((target("bmi2"))) void gather_two_bit_groups(uint8_t* out, const uint8_t* row,
                                                           const uint32_t* start,
                                                           const uint64_t* mask, int32_t groups) {
  for (int32_t g = 0; g < groups; ++g) {
    uint64_t word;
    memcpy(&word, row + start[g], 8);
    uint64_t pixels = _pext_u64(__builtin_bswap64(word), mask[g]);
    if (Size == 16) {
      uint32_t bytes = __builtin_bswap32(static_cast<uint32_t>(pixels));
      memcpy(out + 4 * g, &bytes, 4);
    } else if (Size == 8) {
      uint16_t bytes = __builtin_bswap16(static_cast<uint16_t>(pixels));
      memcpy(out + 2 * g, &bytes, 2);
    } else {
      out[g] = static_cast<uint8_t>(pixels);
    }
  }
}

void gather_two_bit(uint8_t* out, const uint8_t* row, const uint32_t* start, const uint64_t* mask,
                    int32_t groups, int32_t group_pixels) {
  switch (group_pixels) {
    case 16:
      gather_two_bit_groups<16>(out, row, start, mask, groups);
      break;
    case 8:
      gather_two_bit_groups<8>(out, row, start, mask, groups);
      break;
    default:
      gather_two_bit_groups<4>(out, row, start, mask, groups);
      break;
  }
}
#endif

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
// gather: 2-bit bands may take the bit-extract path.
int sample_pixels(const RasterImage* source, RasterImage* result, bool gather) {
  const int bits = result->bits_per_pixel;
  const double scale_x = static_cast<double>(source->width) / static_cast<double>(result->width);
  const double scale_y = static_cast<double>(source->height) / static_cast<double>(result->height);
  // Positions only grow with the index, so the last ones bound them all.
  if (static_cast<int32_t>(static_cast<double>(result->width - 1) * scale_x) >= source->width ||
      static_cast<int32_t>(static_cast<double>(result->height - 1) * scale_y) >= source->height) {
    return 0;
  }
  // The column table, and for 2 bits the spread-out span, or in its place
  // one of the two per-band plans, and the spreading table: 43 KiB.
  constexpr size_t kBytePlan = kBandBytes * (sizeof(uint32_t) + 3 * sizeof(uint16_t)) +
                               256 * kByteTables + kChoiceKeys;
  constexpr size_t kPlanRoom = kBytePlan > kSpreadPixels ? kBytePlan : kSpreadPixels;
  static_assert(kMostGroups * (sizeof(uint64_t) + sizeof(uint32_t)) <= kPlanRoom,
                "the group plan fits in the spread-out span's place");
  size_t scratch = kSampleBand * sizeof(int32_t) + (bits == 2 ? kPlanRoom + 1024 : 0);
  int32_t* x0 = static_cast<int32_t*>(malloc(scratch));
  if (x0 == nullptr) {
    return 0;
  }
  // For 2 bits: the span or a plan, and the spreading table after them. The
  // byte-table plan puts its widest parts first to keep them aligned (the
  // room is 16 KiB into the block), and so does the group plan.
  uint8_t* spread = nullptr;
  uint8_t* spread_table = nullptr;
  uint32_t* byte_start = nullptr;
  uint16_t* byte_table = nullptr;
  uint8_t* byte_tables = nullptr;
  uint8_t* table_of = nullptr;
#if defined(VORLIN_TWO_BIT_GATHER)
  uint64_t* group_mask = nullptr;
  uint32_t* group_start = nullptr;
#else
  (void)gather;
#endif
  if (bits == 2) {
    spread = reinterpret_cast<uint8_t*>(x0 + kSampleBand);
    spread_table = spread + kPlanRoom;
    fill_spread_table(spread_table);
    byte_start = reinterpret_cast<uint32_t*>(spread);
    byte_table = reinterpret_cast<uint16_t*>(byte_start + kBandBytes);
    byte_tables = reinterpret_cast<uint8_t*>(byte_table + 3 * kBandBytes);
    table_of = byte_tables + 256 * kByteTables;
#if defined(VORLIN_TWO_BIT_GATHER)
    group_mask = reinterpret_cast<uint64_t*>(spread);
    group_start = reinterpret_cast<uint32_t*>(group_mask + kMostGroups);
#endif
  }
  const size_t source_stride = static_cast<size_t>(row_size(source->width, source->bits_per_pixel));
  const size_t result_stride = static_cast<size_t>(row_size(result->width, result->bits_per_pixel));
  for (Span b = next_span({0, 0}, result->width, kSampleBand); b.count > 0;
       b = next_span(b, result->width, kSampleBand)) {
    const int32_t j0 = b.first;
    const int32_t count = b.count;
    for (int32_t k = 0; k < count; ++k) {
      x0[k] = static_cast<int32_t>(static_cast<double>(j0 + k) * scale_x);
    }
    // The band's bytes: bands start on whole bytes (kSampleBand is a multiple of 4).
    size_t first = static_cast<size_t>(j0) * static_cast<size_t>(bits) / 8;
    size_t bytes = bits == 2 ? (static_cast<size_t>(count) + 3) / 4
                             : static_cast<size_t>(count) * static_cast<size_t>(bits / 8);
#if defined(VORLIN_TWO_BIT_GATHER)
    int32_t group_pixels = 0;
    const int32_t groups =
        bits == 2 && gather ? plan_two_bit_groups(x0, count, source_stride, group_start,
                                                  group_mask, &group_pixels)
                            : 0;
    const int32_t gathered = groups * group_pixels;  // a multiple of 4
#else
    const int32_t groups = 0;
#endif
    int32_t reach = 3;
    const int32_t planned = bits == 2 && groups == 0
                                ? plan_two_bit_bytes(x0, count, source_stride, byte_start,
                                                     byte_table, byte_tables, table_of, &reach)
                                : 0;
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
#if defined(VORLIN_TWO_BIT_GATHER)
      } else if (groups > 0) {
        gather_two_bit(out, row, group_start, group_mask, groups, group_pixels);
        if (gathered < count) {
          sample_two_bit(out + gathered / 4, row, x0 + gathered, count - gathered, ahead);
        }
#endif
      } else if (planned > 0) {
        sample_two_bit_bytes(out, row, byte_start, byte_table, byte_tables, planned, reach);
        if (4 * planned < count) {
          sample_two_bit(out + planned, row, x0 + 4 * planned, count - 4 * planned, ahead);
        }
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
    case 16: {
      bool gather = false;
#if defined(VORLIN_TWO_BIT_GATHER)
      gather = kernels == kResampleAvx2 && bit_extract_is_fast();
#endif
      return sample_pixels(source, result, gather);
    }
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
