// The 24- and 32-bit blend in integers, for images whose every sampling
// fraction is a whole number of sixteenths (the usual ratios: 2, 4, 1.5,
// 0.75, ...). Included and compiled like resample_kernels.h, once for each
// instruction set; everything here has internal linkage.
//
// Why it is exact: with fx = a/16 and fy = b/16, every step of the reference
// blend is exact in double precision. gx = (16 - a)/16; c00 * gx + c10 * fx
// is h/16 with h = c00 (16 - a) + c10 a <= 4080; the blend is
// (h0 (16 - b) + h1 b) / 256, a numerator of at most 65280: all well inside
// 53 bits, so no operation rounds. The double the reference truncates is
// that fraction exactly, and its truncation is the numerator shifted right
// by 8 (or h0 shifted right by 4 when fy is 0). The values never leave 0..255.
//
// SixteenthsOps<N> is a struct of static functions:
//   blend_pixel(h, p, w)   h[c] = p[c] (w & 0xFFFF) + p[N + c] (w >> 16), c < N
//                          (reads 4 bytes at p and p + N; may write h[N])
//   blend_rows(out, h0, h1, b, n)   out[i] = (h0[i] (16 - b) + h1[i] b) >> 8
//   shift_row(out, h0, n)           out[i] = h0[i] >> 4
#ifndef VORLIN_SCALE_RESAMPLE_SIXTEENTHS_H
#define VORLIN_SCALE_RESAMPLE_SIXTEENTHS_H

#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "raster_image.h"
#include "resample_kernels.h"

namespace {

// Output columns per band: its table (8 bytes a column) and two blended
// source rows (4 values of 2 bytes a column each) come to 48 KiB.
constexpr int32_t kSixteenthsBand = 2048;

// A fraction in sixteenths, or -1 when it is not a whole number of them.
// Multiplying by 16 is exact, so the test is too.
inline int32_t sixteenths_of(double fraction) {
  double scaled = fraction * 16.0;
  int32_t whole = static_cast<int32_t>(scaled);
  return static_cast<double>(whole) == scaled ? whole : -1;
}

inline void blend_rows_scalar(uint8_t* out, const uint16_t* h0, const uint16_t* h1, uint32_t b,
                              size_t first, size_t end) {
  for (size_t i = first; i < end; ++i) {
    out[i] = static_cast<uint8_t>((h0[i] * (16u - b) + h1[i] * b) >> 8);
  }
}

inline void shift_row_scalar(uint8_t* out, const uint16_t* h0, size_t first, size_t end) {
  for (size_t i = first; i < end; ++i) {
    out[i] = static_cast<uint8_t>(h0[i] >> 4);
  }
}

// Whether every column and row of this resize samples at whole sixteenths.
inline bool samples_at_sixteenths(const RasterImage* source, const RasterImage* result) {
  const double scale_x = static_cast<double>(source->width) / static_cast<double>(result->width);
  const double scale_y = static_cast<double>(source->height) / static_cast<double>(result->height);
  for (int32_t j = 0; j < result->width; ++j) {
    double sx = static_cast<double>(j) * scale_x;
    if (sixteenths_of(sx - static_cast<double>(static_cast<int32_t>(sx))) < 0) return false;
  }
  for (int32_t i = 0; i < result->height; ++i) {
    if (sixteenths_of(sample_row(i, scale_y, source->height).fy) < 0) return false;
  }
  return true;
}

// One band's columns: x0 and the weight pair (a << 16) | (16 - a).
struct SixteenthsTable {
  int32_t* x0;
  uint32_t* weights;
  int32_t count;
  int32_t interior;  // leading columns whose neighbours are read directly
  bool whole;        // every column samples at a whole pixel (a = 0) and
                     // 4 bytes are readable at each column but the last
};

struct HeldSixteenths {
  uint16_t* h;
  int32_t y;
};

// Source row y blended horizontally for every column of the band, N values
// a column. ahead: a row to prefetch at the same columns (the next one), or null.
template <template <int> class Ops, int N>
void blend_source_row16(uint16_t* h, const RasterImage* source, int32_t y, int64_t stride,
                        const SixteenthsTable& t, const uint8_t* ahead) {
  const uint8_t* row = source->pixels + static_cast<size_t>(y) * static_cast<size_t>(stride);
  // Locals: the vector stores may alias anything, the table included.
  const int32_t* x0 = t.x0;
  const uint32_t* weights = t.weights;
  const int32_t interior = t.interior;
  int32_t k = 0;
  for (; k + kPrefetchEvery <= interior; k += kPrefetchEvery) {
    if (ahead != nullptr) prefetch(ahead + static_cast<size_t>(x0[k]) * N);
    for (int32_t q = k; q < k + kPrefetchEvery; ++q) {
      Ops<N>::blend_pixel(h + N * q, row + static_cast<size_t>(x0[q]) * N, weights[q]);
    }
  }
  for (; k < interior; ++k) {
    Ops<N>::blend_pixel(h + N * k, row + static_cast<size_t>(x0[k]) * N, weights[k]);
  }
  // Past the right edge the neighbour reads as 0 through the accessor.
  for (k = interior; k < t.count; ++k) {
    uint32_t s0 = get_pixel(source, x0[k], y);
    uint32_t s1 = get_pixel(source, x0[k] + 1, y);
    for (int c = 0; c < N; ++c) {
      h[N * k + c] = static_cast<uint16_t>(((s0 >> (8 * c)) & 0xFFu) * (weights[k] & 0xFFFFu) +
                                           ((s1 >> (8 * c)) & 0xFFu) * (weights[k] >> 16));
    }
  }
}

template <template <int> class Ops, int N>
const uint16_t* held_source_row16(HeldSixteenths* held, int32_t y, int32_t keep,
                                  const RasterImage* source, int64_t stride,
                                  const SixteenthsTable& t) {
  for (int s = 0; s < 2; ++s) {
    if (held[s].y == y) {
      return held[s].h;
    }
  }
  HeldSixteenths* slot = held[0].y != keep ? &held[0] : &held[1];
  const uint8_t* ahead = y + 1 < source->height
                             ? source->pixels + static_cast<size_t>(y + 1) * static_cast<size_t>(stride)
                             : nullptr;
  blend_source_row16<Ops, N>(slot->h, source, y, stride, t, ahead);
  slot->y = y;
  return slot->h;
}

// A row at a whole source row and whole columns: the source pixels' bytes.
template <int N>
void copy_samples(uint8_t* out, const uint8_t* row, const SixteenthsTable& t,
                  const uint8_t* ahead) {
  const int32_t* x0 = t.x0;
  const int32_t count = t.count;
  for (int32_t k = 0; k < count; ++k) {
    size_t offset = static_cast<size_t>(x0[k]) * N;
    if (k % kPrefetchEvery == 0 && ahead != nullptr) prefetch(ahead + offset);
    // A 4-byte copy of a 3-byte pixel spills into the next pixel, written next.
    memcpy(out + static_cast<size_t>(k) * N, row + offset, N == 4 || k + 1 < count ? 4 : N);
  }
}

// The whole result when every fraction is a whole number of sixteenths.
// Returns 0 (nothing written) when they are not, or without scratch memory.
template <template <int> class Ops, int N>
int blend_image_sixteenths(const RasterImage* source, RasterImage* result) {
  if (!samples_at_sixteenths(source, result)) {
    return 0;
  }
  const size_t row_values = 4 * static_cast<size_t>(kSixteenthsBand) + 4;  // + a spill
  uint8_t* block = static_cast<uint8_t*>(
      malloc(static_cast<size_t>(kSixteenthsBand) * (sizeof(int32_t) + sizeof(uint32_t)) +
             2 * row_values * sizeof(uint16_t)));
  if (block == nullptr) {
    return 0;
  }
  SixteenthsTable t;
  t.x0 = reinterpret_cast<int32_t*>(block);
  t.weights = reinterpret_cast<uint32_t*>(t.x0 + kSixteenthsBand);
  uint16_t* rows = reinterpret_cast<uint16_t*>(t.weights + kSixteenthsBand);
  HeldSixteenths held[2] = {{rows, -1}, {rows + row_values, -1}};

  const int64_t source_stride = row_size(source->width, source->bits_per_pixel);
  const size_t result_stride = static_cast<size_t>(row_size(result->width, result->bits_per_pixel));
  const double scale_x = static_cast<double>(source->width) / static_cast<double>(result->width);
  const double scale_y = static_cast<double>(source->height) / static_cast<double>(result->height);
  for (Span strip = next_span({0, 0}, result->height, kStripRows); strip.count > 0;
       strip = next_span(strip, result->height, kStripRows)) {
    const int32_t i0 = strip.first;
    const int32_t i1 = strip.first + strip.count;
    for (Span band = next_span({0, 0}, result->width, kSixteenthsBand); band.count > 0;
         band = next_span(band, result->width, kSixteenthsBand)) {
      const int32_t j0 = band.first;
      t.count = band.count;
      t.interior = 0;
      t.whole = true;
      bool inside = true;
      for (int32_t k = 0; k < t.count; ++k) {
        double sx = static_cast<double>(j0 + k) * scale_x;
        int32_t x0 = static_cast<int32_t>(sx);
        uint32_t a = static_cast<uint32_t>(sixteenths_of(sx - static_cast<double>(x0)));
        t.x0[k] = x0;
        t.weights[k] = (a << 16) | (16u - a);
        t.whole = t.whole && a == 0 &&
                  (k + 1 == t.count || static_cast<int64_t>(x0) * N + 4 <= source_stride);
        // Both neighbours inside the row, and 4 bytes readable at the right one.
        inside = inside && x0 >= 0 && x0 + 1 < source->width &&
                 (static_cast<int64_t>(x0) + 1) * N + 4 <= source_stride;
        if (inside) t.interior = k + 1;
      }
      held[0].y = -1;
      held[1].y = -1;
      for (int32_t i = i0; i < i1; ++i) {
        RowSample r = sample_row(i, scale_y, source->height);
        uint8_t* out =
            result->pixels + static_cast<size_t>(i) * result_stride + static_cast<size_t>(j0) * N;
        if (!r.fast) {
          resample_span_reference(source, result, i, j0, j0 + t.count);
          continue;
        }
        uint32_t b = static_cast<uint32_t>(sixteenths_of(r.fy));
        const uint8_t* row0 =
            source->pixels + static_cast<size_t>(r.y0) * static_cast<size_t>(source_stride);
        if (b == 0 && t.whole) {
          const uint8_t* ahead = nullptr;
          if (i + 1 < result->height) {
            RowSample next = sample_row(i + 1, scale_y, source->height);
            if (next.fast && next.y0 != r.y0) {
              ahead = source->pixels +
                      static_cast<size_t>(next.y0) * static_cast<size_t>(source_stride);
            }
          }
          copy_samples<N>(out, row0, t, ahead);
          continue;
        }
        const uint16_t* h0 = held_source_row16<Ops, N>(held, r.y0, b != 0 ? r.y0 + 1 : -1, source,
                                                       source_stride, t);
        size_t values = static_cast<size_t>(t.count) * N;
        if (b == 0) {
          Ops<N>::shift_row(out, h0, values);
        } else {
          const uint16_t* h1 =
              held_source_row16<Ops, N>(held, r.y0 + 1, r.y0, source, source_stride, t);
          Ops<N>::blend_rows(out, h0, h1, b, values);
        }
      }
    }
  }
  free(block);
  return 1;
}

// Entry for one instruction set: the 24- and 32-bit images, in integers
// when every fraction allows it, else in doubles.
template <template <int> class Ops, template <int> class Ops16>
int blend_pixels(const RasterImage* source, RasterImage* result) {
  if (result->bits_per_pixel == 32) {
    return blend_image_sixteenths<Ops16, 4>(source, result) || blend_image<Ops, 4>(source, result);
  }
  if (result->bits_per_pixel == 24) {
    return blend_image_sixteenths<Ops16, 3>(source, result) || blend_image<Ops, 3>(source, result);
  }
  return 0;
}

}  // namespace

#endif  // VORLIN_SCALE_RESAMPLE_SIXTEENTHS_H
