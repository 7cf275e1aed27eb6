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
//   load_h(h), store_h(h, v)   4 doubles at h (the cache of blended rows)
//   put(p, v)    truncate, clamp to 0..255, write exactly N bytes
//   put_wide(p, v)  the same, but may write a 4th byte of no meaning
#ifndef VORLIN_SCALE_RESAMPLE_KERNELS_H
#define VORLIN_SCALE_RESAMPLE_KERNELS_H

#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "raster_image.h"

namespace {

// Output columns per band. The band's tables and its two cached rows (4
// doubles a column) come to 42 KiB, whatever the image size.
constexpr int32_t kBlendBand = 512;

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

// One band's columns: x0, fx and gx = 1 - fx for each, and how many leading
// columns read both their neighbours directly from a row (the rest sample
// past the right edge and go through the bounds-checked accessors).
struct BandTable {
  int32_t* x0;
  double* fx;
  double* gx;
  int32_t count;
  int32_t interior;
};

// A horizontally blended source row, c00 * gx + c10 * fx per channel and
// column, with the source row it holds (-1 for none).
struct HeldRow {
  double* h;
  int32_t y;
};

// Asks for the cache lines of a source row span that the next output row
// reads. Bands make the rows' spans short and far apart, too short for the
// hardware to see a stream in them. A hint only: it changes no result.
inline void prefetch_span(const uint8_t* p, size_t bytes) {
#if defined(__GNUC__)
  for (size_t offset = 0; offset < bytes; offset += 64) {
    __builtin_prefetch(p + offset);
  }
  __builtin_prefetch(p + bytes - 1);
#else
  (void)p;
  (void)bytes;
#endif
}

template <template <int> class Ops, int N>
inline void put_pixel(uint8_t* p, typename Ops<N>::Vec v, bool wide) {
  if (N == 4 || wide) {
    Ops<N>::put_wide(p, v);
  } else {
    Ops<N>::put(p, v);
  }
}

// Output pixels 0 .. t.interior - 1 of one band row, straight from the
// source rows (row1 unused when fy is 0). ends_band: nothing is written after
// the last pixel, so it must not write past its own bytes.
template <template <int> class Ops, int N>
void blend_row_direct(uint8_t* out, const uint8_t* row0, const uint8_t* row1, const RowSample& r,
                      const BandTable& t, bool ends_band) {
  using V = Ops<N>;
  using Vec = typename V::Vec;
  int32_t count = t.interior;
  if (r.fy == 0.0) {
    for (int32_t k = 0; k < count; ++k) {
      const uint8_t* p = row0 + static_cast<size_t>(t.x0[k]) * N;
      bool wide = k + 1 < count || !ends_band;
      if (t.fx[k] == 0.0) {
        // The blend is c00 itself: the source pixel's bytes.
        if (N == 4 || wide) {
          memcpy(out + static_cast<size_t>(k) * N, p, 4);
        } else {
          memcpy(out + static_cast<size_t>(k) * N, p, N);
        }
      } else {
        Vec v = V::add(V::mul(V::load(p), V::splat(t.gx[k])),
                       V::mul(V::load(p + N), V::splat(t.fx[k])));
        put_pixel<Ops, N>(out + static_cast<size_t>(k) * N, v, wide);
      }
    }
    return;
  }
  Vec gy = V::splat(r.gy);
  Vec fy = V::splat(r.fy);
  for (int32_t k = 0; k < count; ++k) {
    size_t offset = static_cast<size_t>(t.x0[k]) * N;
    const uint8_t* p0 = row0 + offset;
    const uint8_t* p1 = row1 + offset;
    Vec v;
    if (t.fx[k] == 0.0) {
      v = V::add(V::mul(V::load(p0), gy), V::mul(V::load(p1), fy));
    } else {
      Vec gx = V::splat(t.gx[k]);
      Vec fx = V::splat(t.fx[k]);
      Vec upper = V::add(V::mul(V::load(p0), gx), V::mul(V::load(p0 + N), fx));
      Vec lower = V::add(V::mul(V::load(p1), gx), V::mul(V::load(p1 + N), fx));
      v = V::add(V::mul(upper, gy), V::mul(lower, fy));
    }
    put_pixel<Ops, N>(out + static_cast<size_t>(k) * N, v, k + 1 < count || !ends_band);
  }
}

// Blends source row y horizontally for every column of the band.
template <template <int> class Ops, int N>
void blend_source_row(double* h, const RasterImage* source, int32_t y, int64_t stride,
                      const BandTable& t) {
  using V = Ops<N>;
  const uint8_t* row = source->pixels + static_cast<size_t>(y) * static_cast<size_t>(stride);
  for (int32_t k = 0; k < t.interior; ++k) {
    const uint8_t* p = row + static_cast<size_t>(t.x0[k]) * N;
    if (t.fx[k] == 0.0) {
      V::store_h(h + 4 * k, V::load(p));
    } else {
      V::store_h(h + 4 * k, V::add(V::mul(V::load(p), V::splat(t.gx[k])),
                                   V::mul(V::load(p + N), V::splat(t.fx[k]))));
    }
  }
  // Past the right edge the neighbour reads as 0 through the accessor.
  for (int32_t k = t.interior; k < t.count; ++k) {
    uint32_t s0 = get_pixel(source, t.x0[k], y);
    uint32_t s1 = get_pixel(source, t.x0[k] + 1, y);
    for (int c = 0; c < 4; ++c) {
      double c00 = static_cast<double>((s0 >> (8 * c)) & 0xFFu);
      double c10 = static_cast<double>((s1 >> (8 * c)) & 0xFFu);
      h[4 * k + c] = c00 * t.gx[k] + c10 * t.fx[k];
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
template <template <int> class Ops, int N>
void blend_row_cached(uint8_t* out, const double* h0, const double* h1, const RowSample& r,
                      int32_t count) {
  using V = Ops<N>;
  using Vec = typename V::Vec;
  if (r.fy == 0.0) {
    for (int32_t k = 0; k < count; ++k) {
      put_pixel<Ops, N>(out + static_cast<size_t>(k) * N, V::load_h(h0 + 4 * k), k + 1 < count);
    }
    return;
  }
  Vec gy = V::splat(r.gy);
  Vec fy = V::splat(r.fy);
  for (int32_t k = 0; k < count; ++k) {
    Vec v = V::add(V::mul(V::load_h(h0 + 4 * k), gy), V::mul(V::load_h(h1 + 4 * k), fy));
    put_pixel<Ops, N>(out + static_cast<size_t>(k) * N, v, k + 1 < count);
  }
}

// The whole 24- or 32-bit result, band by band. Returns 0 (nothing written)
// when the scratch block cannot be allocated.
template <template <int> class Ops, int N>
int blend_image(const RasterImage* source, RasterImage* result) {
  const size_t doubles = 2 * static_cast<size_t>(kBlendBand) + 2 * 4 * static_cast<size_t>(kBlendBand);
  uint8_t* block = static_cast<uint8_t*>(
      malloc(doubles * sizeof(double) + static_cast<size_t>(kBlendBand) * sizeof(int32_t)));
  if (block == nullptr) {
    return 0;
  }
  double* d = reinterpret_cast<double*>(block);
  BandTable t;
  t.fx = d;
  t.gx = d + kBlendBand;
  HeldRow held[2] = {{d + 2 * kBlendBand, -1}, {d + 6 * kBlendBand, -1}};
  t.x0 = reinterpret_cast<int32_t*>(block + doubles * sizeof(double));

  const int64_t source_stride = row_size(source->width, source->bits_per_pixel);
  const size_t result_stride = static_cast<size_t>(row_size(result->width, result->bits_per_pixel));
  const double scale_x = static_cast<double>(source->width) / static_cast<double>(result->width);
  const double scale_y = static_cast<double>(source->height) / static_cast<double>(result->height);

  for (int32_t j0 = 0; j0 < result->width; j0 += kBlendBand) {
    t.count = result->width - j0 < kBlendBand ? result->width - j0 : kBlendBand;
    t.interior = 0;
    bool inside = true;
    for (int32_t k = 0; k < t.count; ++k) {
      double sx = static_cast<double>(j0 + k) * scale_x;
      int32_t x0 = static_cast<int32_t>(sx);
      t.x0[k] = x0;
      t.fx[k] = sx - static_cast<double>(x0);
      t.gx[k] = 1.0 - t.fx[k];
      // Both neighbours inside the row, and 4 bytes readable at the right one.
      inside = inside && x0 >= 0 && x0 + 1 < source->width &&
               (static_cast<int64_t>(x0) + 1) * N + 4 <= source_stride;
      if (inside) {
        t.interior = k + 1;
      }
    }
    held[0].y = -1;
    held[1].y = -1;
    // The source bytes a row of this band reads, for prefetching.
    const size_t span_first = static_cast<size_t>(t.x0[0]) * N;
    const size_t span_bytes = t.interior > 0 ? static_cast<size_t>(t.x0[t.interior - 1] + 1) * N +
                                                   4 - span_first
                                             : 0;

    RowSample previous = {0, 0.0, 1.0, false};
    RowSample current = sample_row(0, scale_y, source->height);
    for (int32_t i = 0; i < result->height; ++i) {
      RowSample next = i + 1 < result->height ? sample_row(i + 1, scale_y, source->height)
                                              : RowSample{0, 0.0, 1.0, false};
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
        if (next.fast && next.y0 != r.y0 && span_bytes > 0) {
          const uint8_t* ahead =
              source->pixels + static_cast<size_t>(next.y0) * static_cast<size_t>(source_stride);
          prefetch_span(ahead + span_first, span_bytes);
          if (next.fy != 0.0) {
            prefetch_span(ahead + source_stride + span_first, span_bytes);
          }
        }
        blend_row_direct<Ops, N>(out, row0, row1, r, t, t.interior == t.count);
        if (t.interior < t.count) {
          resample_span_reference(source, result, i, j0 + t.interior, j0 + t.count);
        }
      }
      previous = current;
      current = next;
    }
  }
  free(block);
  return 1;
}

// Entry for one instruction set: the 24- and 32-bit images.
template <template <int> class Ops>
int blend_pixels(const RasterImage* source, RasterImage* result) {
  if (result->bits_per_pixel == 32) {
    return blend_image<Ops, 4>(source, result);
  }
  if (result->bits_per_pixel == 24) {
    return blend_image<Ops, 3>(source, result);
  }
  return 0;
}

}  // namespace

#endif  // VORLIN_SCALE_RESAMPLE_KERNELS_H
