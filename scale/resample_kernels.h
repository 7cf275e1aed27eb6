// The 24- and 32-bit blend of the fast resampler, written once over a small
// set of per-pixel vector operations and compiled once for each instruction
// set (portable, SSE2, AVX2). Included only by the files that instantiate it;
// everything here has internal linkage, so each copy keeps its own code.
//
// Every value is computed with the reference blend's operations in the
// reference's order; the shortcuts taken are exact identities of IEEE
// arithmetic on the values that occur (channels 0..255, fractions in [0, 1)):
//   c * 1.0 == c,  c * 0.0 == +0.0,  x + 0.0 == x for x >= 0.
// So a zero horizontal fraction makes a row's pair c00 * gx + c10 * fx equal
// c00, and a zero vertical fraction makes the blend equal its upper pair.
//
// Ops<N> is a struct of static functions on Vec, a pixel of N channels (3 or
// 4) held as doubles, one lane per byte in memory order:
//   load(p)      the N bytes at p (may read 4 bytes: callers keep 4 readable)
//   splat(d), add(a, b), mul(a, b)
//   store_h(h, v)   N doubles at h (may write 4)
//   put(p, v)    truncate, clamp to 0..255, write exactly N bytes
//   put_wide(p, v)  the same, but may write a 4th byte of no meaning
// and two operations on flat runs of values (truncated and clamped alike):
//   truncate_values(out, h0, n)            out[i] = h0[i]
//   blend_values(out, h0, h1, gy, fy, n)   out[i] = (h0[i] * gy) + (h1[i] * fy)
#ifndef VORLIN_SCALE_RESAMPLE_KERNELS_H
#define VORLIN_SCALE_RESAMPLE_KERNELS_H

#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "raster_image.h"
#include "resample_spans.h"

namespace {

// Columns per band. With no two output rows reading a common source row, a
// band is wide: its table is 12 bytes a column. When they do, each band also
// keeps two horizontally blended source rows (4 doubles a column each), and
// bands are narrow. Either way the scratch block stays at 52 KiB.
constexpr int32_t kWideBand = 4096;
constexpr int32_t kNarrowBand = 512;
constexpr size_t kScratchDoubles = kNarrowBand * 9 > kWideBand ? kNarrowBand * 9 : kWideBand;
constexpr size_t kScratchInts = kWideBand;
// Result rows per strip: the strip's rows stay in cache while every band fills
// its part of them (64 rows of 4096 32-bit pixels are 1 MiB).
constexpr int32_t kStripRows = 64;

// Where an output row samples the source, computed as the reference does.
struct RowSample {
  int32_t y0;
  double fy;
  double gy;
  bool fast;  // every source row it reads exists (else the reference does the row)
};

inline RowSample sample_row(int32_t i, double scale_y, int32_t source_height) {
  RowSample r;
  double sy = static_cast<double>(i) * scale_y;
  r.y0 = static_cast<int32_t>(sy);
  r.fy = sy - static_cast<double>(r.y0);
  r.gy = 1.0 - r.fy;
  // A zero fraction never looks at row y0 + 1, which may lie past the end.
  r.fast = r.y0 >= 0 && r.y0 < source_height && (r.fy == 0.0 || r.y0 + 1 < source_height);
  return r;
}

// Whether two output rows read a common source row: then the horizontally
// blended source rows are worth keeping for the next output row.
inline bool share_source_row(const RowSample& a, const RowSample& b) {
  if (!a.fast || !b.fast) {
    return false;
  }
  bool a2 = a.fy != 0.0;
  bool b2 = b.fy != 0.0;
  return a.y0 == b.y0 || (a2 && a.y0 + 1 == b.y0) || (b2 && b.y0 + 1 == a.y0);
}

// One band's columns: x0 and fx for each (gx = 1 - fx is recomputed where
// needed, with the reference's very operation), and how many leading
// columns read both their neighbours directly from a row (the rest sample
// past the right edge and go through the bounds-checked accessors).
struct BandTable {
  int32_t* x0;
  double* fx;
  int32_t count;
  int32_t interior;
};

// The columns j0 .. j0 + count - 1, sampled as the reference samples them.
inline void fill_band_table(BandTable* t, int32_t j0, int32_t count, double scale_x,
                            int32_t source_width, int64_t source_stride, int bytes_per_pixel) {
  t->count = count;
  t->interior = 0;
  bool inside = true;
  for (int32_t k = 0; k < count; ++k) {
    double sx = static_cast<double>(j0 + k) * scale_x;
    int32_t x0 = static_cast<int32_t>(sx);
    t->x0[k] = x0;
    t->fx[k] = sx - static_cast<double>(x0);
    // Both neighbours inside the row, and 4 bytes readable at the right one.
    inside = inside && x0 >= 0 && x0 + 1 < source_width &&
             (static_cast<int64_t>(x0) + 1) * bytes_per_pixel + 4 <= source_stride;
    if (inside) {
      t->interior = k + 1;
    }
  }
}

// A horizontally blended source row, c00 * gx + c10 * fx per channel and
// column, with the source row it holds (-1 for none).
struct HeldRow {
  double* h;
  int32_t y;
};

// Asks for the cache line at p, which the next output row reads: its source
// rows are taken in as this row goes, so each row starts on data in cache.
// A hint only: it changes no result.
inline void prefetch(const uint8_t* p) {
#if defined(__GNUC__)
  __builtin_prefetch(p);
#else
  (void)p;
#endif
}

// Prefetches for every eighth column: a cache line's worth of source pixels
// at the usual scales.
constexpr int32_t kPrefetchEvery = 8;

template <template <int> class Ops, int N>
inline void put_pixel(uint8_t* p, typename Ops<N>::Vec v, bool wide) {
  if (N == 4 || wide) {
    Ops<N>::put_wide(p, v);
  } else {
    Ops<N>::put(p, v);
  }
}

// Output pixels 0 .. t.interior - 1 of one band row, straight from the
// source rows (row1 unused when fy is 0). ahead0 and ahead1 are the source
// rows of the next output row, or null. ends_band: nothing is written after
// the last pixel, so it must not write past its own bytes.
template <template <int> class Ops, int N>
void blend_row_direct(uint8_t* out, const uint8_t* row0, const uint8_t* row1, const RowSample& r,
                      const BandTable& t, bool ends_band, const uint8_t* ahead0,
                      const uint8_t* ahead1) {
  using V = Ops<N>;
  using Vec = typename V::Vec;
  // Locals: the vector stores may alias anything, the table included.
  const int32_t* x0 = t.x0;
  const double* fxs = t.fx;
  const int32_t count = t.interior;
  if (r.fy == 0.0) {
    for (int32_t k = 0; k < count; ++k) {
      size_t offset = static_cast<size_t>(x0[k]) * N;
      if (k % kPrefetchEvery == 0 && ahead0 != nullptr) {
        prefetch(ahead0 + offset);
        if (ahead1 != nullptr) prefetch(ahead1 + offset);
      }
      const uint8_t* p = row0 + offset;
      bool wide = k + 1 < count || !ends_band;
      if (fxs[k] == 0.0) {
        // The blend is c00 itself: the source pixel's bytes.
        if (N == 4 || wide) {
          memcpy(out + static_cast<size_t>(k) * N, p, 4);
        } else {
          memcpy(out + static_cast<size_t>(k) * N, p, N);
        }
      } else {
        Vec v = V::add(V::mul(V::load(p), V::splat(1.0 - fxs[k])),
                       V::mul(V::load(p + N), V::splat(fxs[k])));
        put_pixel<Ops, N>(out + static_cast<size_t>(k) * N, v, wide);
      }
    }
    return;
  }
  Vec gy = V::splat(r.gy);
  Vec fy = V::splat(r.fy);
  for (int32_t k = 0; k < count; ++k) {
    size_t offset = static_cast<size_t>(x0[k]) * N;
    if (k % kPrefetchEvery == 0 && ahead0 != nullptr) {
      prefetch(ahead0 + offset);
      if (ahead1 != nullptr) prefetch(ahead1 + offset);
    }
    const uint8_t* p0 = row0 + offset;
    const uint8_t* p1 = row1 + offset;
    Vec v;
    if (fxs[k] == 0.0) {
      v = V::add(V::mul(V::load(p0), gy), V::mul(V::load(p1), fy));
    } else {
      Vec gx = V::splat(1.0 - fxs[k]);
      Vec fx = V::splat(fxs[k]);
      Vec upper = V::add(V::mul(V::load(p0), gx), V::mul(V::load(p0 + N), fx));
      Vec lower = V::add(V::mul(V::load(p1), gx), V::mul(V::load(p1 + N), fx));
      v = V::add(V::mul(upper, gy), V::mul(lower, fy));
    }
    put_pixel<Ops, N>(out + static_cast<size_t>(k) * N, v, k + 1 < count || !ends_band);
  }
}

// Blends source row y horizontally for every column of the band: N values a
// column, column k at h + N * k. (A 4-lane store of a 3-channel column spills
// into the next column's first value, which is written after it.)
template <template <int> class Ops, int N>
void blend_source_row(double* h, const RasterImage* source, int32_t y, int64_t stride,
                      const BandTable& t) {
  using V = Ops<N>;
  const uint8_t* row = source->pixels + static_cast<size_t>(y) * static_cast<size_t>(stride);
  const int32_t* x0 = t.x0;
  const double* fxs = t.fx;
  const int32_t interior = t.interior;
  for (int32_t k = 0; k < interior; ++k) {
    const uint8_t* p = row + static_cast<size_t>(x0[k]) * N;
    if (fxs[k] == 0.0) {
      V::store_h(h + N * k, V::load(p));
    } else {
      V::store_h(h + N * k, V::add(V::mul(V::load(p), V::splat(1.0 - fxs[k])),
                                   V::mul(V::load(p + N), V::splat(fxs[k]))));
    }
  }
  // Past the right edge the neighbour reads as 0 through the accessor.
  for (int32_t k = t.interior; k < t.count; ++k) {
    uint32_t s0 = get_pixel(source, t.x0[k], y);
    uint32_t s1 = get_pixel(source, t.x0[k] + 1, y);
    for (int c = 0; c < N; ++c) {
      double c00 = static_cast<double>((s0 >> (8 * c)) & 0xFFu);
      double c10 = static_cast<double>((s1 >> (8 * c)) & 0xFFu);
      h[N * k + c] = c00 * (1.0 - t.fx[k]) + c10 * t.fx[k];
    }
  }
}

// The cached blend of source row y; computes it into a slot not holding keep.
template <template <int> class Ops, int N>
const double* held_source_row(HeldRow* held, int32_t y, int32_t keep, const RasterImage* source,
                              int64_t stride, const BandTable& t) {
  for (int s = 0; s < 2; ++s) {
    if (held[s].y == y) {
      return held[s].h;
    }
  }
  HeldRow* slot = held[0].y != keep ? &held[0] : &held[1];
  blend_source_row<Ops, N>(slot->h, source, y, stride, t);
  slot->y = y;
  return slot->h;
}

// Every pixel of one band row from the cached rows (h1 unused when fy is 0).
// The rows hold their channels one after another, so the row's bytes are
// computed as one flat run of values, whatever the pixel size.
template <template <int> class Ops, int N>
void blend_row_cached(uint8_t* out, const double* h0, const double* h1, const RowSample& r,
                      int32_t count) {
  size_t values = static_cast<size_t>(count) * N;
  if (r.fy == 0.0) {
    Ops<N>::truncate_values(out, h0, values);
  } else {
    Ops<N>::blend_values(out, h0, h1, r.gy, r.fy, values);
  }
}

// The scalar forms of the flat row operations, for every instruction set's
// tail and for the portable kernels.
inline uint8_t clamp_truncated(double v) {
  int32_t t = static_cast<int32_t>(v);  // truncation toward zero
  if (t > 255) t = 255;
  if (t < 0) t = 0;
  return static_cast<uint8_t>(t);
}

inline void truncate_values_scalar(uint8_t* out, const double* h0, size_t first, size_t end) {
  for (size_t i = first; i < end; ++i) {
    out[i] = clamp_truncated(h0[i]);
  }
}

inline void blend_values_scalar(uint8_t* out, const double* h0, const double* h1, double gy,
                                double fy, size_t first, size_t end) {
  for (size_t i = first; i < end; ++i) {
    out[i] = clamp_truncated((h0[i] * gy) + (h1[i] * fy));
  }
}

// The whole 24- or 32-bit result, in strips of rows and bands of columns.
// Returns 0 (nothing written) when the scratch block cannot be allocated.
template <template <int> class Ops, int N>
int blend_image(const RasterImage* source, RasterImage* result) {
  const int64_t source_stride = row_size(source->width, source->bits_per_pixel);
  const size_t result_stride = static_cast<size_t>(row_size(result->width, result->bits_per_pixel));
  const double scale_x = static_cast<double>(source->width) / static_cast<double>(result->width);
  const double scale_y = static_cast<double>(source->height) / static_cast<double>(result->height);

  bool caching = false;
  RowSample above = sample_row(0, scale_y, source->height);
  for (int32_t i = 1; i < result->height && !caching; ++i) {
    RowSample here = sample_row(i, scale_y, source->height);
    caching = share_source_row(above, here);
    above = here;
  }

  uint8_t* block = static_cast<uint8_t*>(
      malloc(kScratchDoubles * sizeof(double) + kScratchInts * sizeof(int32_t)));
  if (block == nullptr) {
    return 0;
  }
  const int32_t band = caching ? kNarrowBand : kWideBand;
  double* d = reinterpret_cast<double*>(block);
  BandTable t;
  t.fx = d;
  t.x0 = reinterpret_cast<int32_t*>(block + kScratchDoubles * sizeof(double));
  HeldRow held[2] = {{d + band, -1}, {d + 5 * band, -1}};  // used when caching only

  // Strips of rows, each band by band: a strip's result rows stay in cache
  // until every band has filled its part of them.
  const RowSample none = {0, 0.0, 1.0, false};
  for (Span strip = next_span({0, 0}, result->height, kStripRows); strip.count > 0;
       strip = next_span(strip, result->height, kStripRows)) {
    const int32_t i0 = strip.first;
    const int32_t i1 = strip.first + strip.count;
    for (Span b = next_span({0, 0}, result->width, band); b.count > 0;
         b = next_span(b, result->width, band)) {
      const int32_t j0 = b.first;
      fill_band_table(&t, j0, b.count, scale_x, source->width, source_stride, N);
      held[0].y = -1;
      held[1].y = -1;

      RowSample previous = i0 > 0 ? sample_row(i0 - 1, scale_y, source->height) : none;
      RowSample current = sample_row(i0, scale_y, source->height);
      for (int32_t i = i0; i < i1; ++i) {
        RowSample next = i + 1 < result->height ? sample_row(i + 1, scale_y, source->height) : none;
        const RowSample& r = current;
        uint8_t* out = result->pixels + static_cast<size_t>(i) * result_stride +
                       static_cast<size_t>(j0) * N;
        bool two_rows = r.fy != 0.0;
        if (!r.fast) {
          resample_span_reference(source, result, i, j0, j0 + t.count);
        } else if (share_source_row(r, previous) || share_source_row(r, next)) {
          const double* h0 = held_source_row<Ops, N>(held, r.y0, two_rows ? r.y0 + 1 : -1, source,
                                                     source_stride, t);
          const double* h1 =
              two_rows ? held_source_row<Ops, N>(held, r.y0 + 1, r.y0, source, source_stride, t)
                       : nullptr;
          blend_row_cached<Ops, N>(out, h0, h1, r, t.count);
        } else {
          const uint8_t* row0 =
              source->pixels + static_cast<size_t>(r.y0) * static_cast<size_t>(source_stride);
          const uint8_t* row1 = two_rows ? row0 + source_stride : nullptr;
          const uint8_t* ahead0 = nullptr;
          const uint8_t* ahead1 = nullptr;
          if (next.fast && next.y0 != r.y0) {
            ahead0 =
                source->pixels + static_cast<size_t>(next.y0) * static_cast<size_t>(source_stride);
            ahead1 = next.fy != 0.0 ? ahead0 + source_stride : nullptr;
          }
          blend_row_direct<Ops, N>(out, row0, row1, r, t, t.interior == t.count, ahead0, ahead1);
          if (t.interior < t.count) {
            resample_span_reference(source, result, i, j0 + t.interior, j0 + t.count);
          }
        }
        previous = current;
        current = next;
      }
    }
  }
  free(block);
  return 1;
}

}  // namespace

#endif  // VORLIN_SCALE_RESAMPLE_KERNELS_H
