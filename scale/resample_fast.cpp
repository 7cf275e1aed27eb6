// The fast resampler's walk over the result: bands of output columns, each
// with its table of source columns, and for 24 and 32 bits strips of output
// rows, so that a strip's rows stay in cache while every band fills its part.
// The inner loops come from the kernel set the caller chose.
//
// 24- and 32-bit images are blended in the reference's two steps: each source
// row a band needs is blended across the band's columns once (c00 gx + c10 fx
// per channel) and kept while output rows still read it; each output row then
// blends its two source rows ((h0 gy) + (h1 fy)). Where every fraction is a
// whole number of sixteenths the same steps run in 16-bit integers, exactly:
// with fx = a/16 and fy = b/16 no step of the reference rounds (c00 gx + c10
// fx is h/16 with h = c00 (16 - a) + c10 a <= 4080, the blend (h0 (16 - b) +
// h1 b) / 256 with a numerator of at most 65280, far inside 53 bits), so the
// double the reference truncates is that fraction, and its truncation is the
// numerator shifted right by 8.
#include "resample_fast.h"

#include <cfloat>
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "resample_spans.h"

namespace {

// Doubles evaluated in wider registers (x87) would round differently from the
// stored values, so such builds keep to the reference.
#if defined(FLT_EVAL_METHOD) && FLT_EVAL_METHOD != 0
constexpr bool kExactDoubles = false;
#else
constexpr bool kExactDoubles = true;
#endif

// Result rows per strip (128 rows of 2048 32-bit pixels are 1 MiB), times
// the result rows a source row makes when enlarging: each band plans its
// columns again for every strip, which should pay for itself over as many
// source rows.
constexpr int32_t kStripRows = 128;

inline double scale_of(int32_t from, int32_t to) {
  return static_cast<double>(from) / static_cast<double>(to);
}

// Where column k of a band samples the source: the reference's j * scale_x.
inline double sample_x(Span band, int32_t k, double scale_x) {
  return static_cast<double>(int64_t{band.first} + k) * scale_x;
}

inline size_t row_bytes_of(const RasterImage* image) {
  return static_cast<size_t>(bmp_row_bytes(image->width, image->bits_per_pixel));
}

// Asks for the cache line at p, which a later row reads. A hint only.
inline void prefetch(const uint8_t* p) {
#if defined(__GNUC__)
  __builtin_prefetch(p);
#else
  (void)p;
#endif
}

inline const uint8_t* source_row(const ResampleRows& rows, int32_t y) {
  if (rows.table != nullptr) {
    return rows.table[y - rows.table_first];
  }
  return rows.source_base + static_cast<size_t>(y) * row_bytes_of(rows.source);
}

inline uint8_t* result_row(const ResampleRows& rows, int32_t i) {
  return rows.out + static_cast<size_t>(i - rows.strip.first) * row_bytes_of(rows.result);
}

// The sampling path's band table and 2-bit plan.
struct SampleScratch {
  int32_t x0[kSampleBand];
  TwoBitPlan plan;
};

// Output pixels per step of the gather, with one prefetch a step.
constexpr int32_t kGatherStep = 16;

// Whole-byte pixels: out[k] = pixel x0[k] of row. A 3-byte pixel is copied
// as 4 bytes where they are readable, the next pixel, written after it,
// taking the 4th. ahead: the row the next output row reads, asked for at the
// same columns as this one goes, or null.
template <int Bytes>
void gather_bytes(uint8_t* out, const uint8_t* row, int64_t row_bytes, const int32_t* x0,
                  int32_t count, const uint8_t* ahead) {
  constexpr size_t kCopy = Bytes == 3 ? 4 : Bytes;
  int32_t k = 0;
  for (; k + kGatherStep < count &&
         (Bytes != 3 || int64_t{x0[k + kGatherStep - 1]} * Bytes + 4 <= row_bytes);
       k += kGatherStep) {
    if (ahead != nullptr) {
      prefetch(ahead + static_cast<size_t>(x0[k]) * Bytes);
      if (Bytes >= 3) prefetch(ahead + static_cast<size_t>(x0[k + kGatherStep / 2]) * Bytes);
    }
    for (int32_t q = k; q < k + kGatherStep; ++q) {
      memcpy(out + static_cast<size_t>(q) * Bytes, row + static_cast<size_t>(x0[q]) * Bytes, kCopy);
    }
  }
  for (; k < count; ++k) {
    memcpy(out + static_cast<size_t>(k) * Bytes, row + static_cast<size_t>(x0[k]) * Bytes, Bytes);
  }
}

void gather_pixels(uint8_t* out, const uint8_t* row, int64_t row_bytes, const int32_t* x0,
                   int32_t count, uint32_t bytes, const uint8_t* ahead) {
  switch (bytes) {
    case 1: gather_bytes<1>(out, row, row_bytes, x0, count, ahead); break;
    case 2: gather_bytes<2>(out, row, row_bytes, x0, count, ahead); break;
    case 3: gather_bytes<3>(out, row, row_bytes, x0, count, ahead); break;
    default: gather_bytes<4>(out, row, row_bytes, x0, count, ahead); break;
  }
}

// ----------------------------------------- 2, 8 and 16 bits, and fractions 0

// The rows of one strip across one band. An output row that samples the
// same source row as the row before it is that row again, so it is copied.
void sample_band(const ResampleRows& rows, const ResampleKernelSet& set, const int32_t* x0,
                 const TwoBitPlan* plan, Span band) {
  const RasterImage* source = rows.source;
  const RasterImage* result = rows.result;
  const uint32_t bits = result->bits_per_pixel;
  const size_t source_row_bytes = row_bytes_of(source);
  const double scale_y = scale_of(source->height, result->height);
  // Bands start on whole bytes: kSampleBand is a multiple of 4.
  const size_t first = static_cast<size_t>(band.first) * bits / 8;
  const size_t bytes = (static_cast<size_t>(band.count) * bits + 7) / 8;
  const int32_t end = rows.strip.first + rows.strip.count;
  int32_t previous = -1;
  int32_t y0 = static_cast<int32_t>(static_cast<double>(rows.strip.first) * scale_y);
  for (int32_t i = rows.strip.first; i < end; ++i) {
    const int32_t next =
        i + 1 < end ? static_cast<int32_t>(static_cast<double>(i + 1) * scale_y) : y0;
    uint8_t* out = result_row(rows, i) + first;
    const uint8_t* row = source_row(rows, y0);
    // The next row is asked for only where it is held (a whole image).
    const uint8_t* ahead = next != y0 && rows.table == nullptr ? source_row(rows, next) : nullptr;
    if (y0 == previous) {
      memcpy(out, result_row(rows, i - 1) + first, bytes);
    } else if (bits == 2) {
      set.sample_two_bit(out, row, *plan, x0, band.count);
    } else {
      gather_pixels(out, row, static_cast<int64_t>(source_row_bytes), x0, band.count, bits / 8,
                    ahead);
    }

    previous = y0;
    y0 = next;
  }
}

// 2-, 8- and 16-bit images, and 24- and 32-bit ones whose every fraction is
// 0: each output pixel is the source pixel at the truncated position.
void sample_pixels(const ResampleRows& rows, const ResampleKernelSet& set, SampleScratch* s) {
  const double scale_x = scale_of(rows.source->width, rows.result->width);
  const int32_t width = rows.result->width;
  const int64_t source_row_bytes = bmp_row_bytes(rows.source->width, rows.source->bits_per_pixel);
  for (Span band = next_span({0, 0}, width, kSampleBand); band.count > 0;
       band = next_span(band, width, kSampleBand)) {
    for (int32_t k = 0; k < band.count; ++k) {
      s->x0[k] = static_cast<int32_t>(sample_x(band, k, scale_x));
    }
    if (rows.result->bits_per_pixel == 2) {
      set.plan_two_bit(&s->plan, s->x0, band.count, source_row_bytes);
    }
    sample_band(rows, set, s->x0, &s->plan, band);
  }
}

// ---------------------------------------------------------- 24 and 32 bits

// A fraction in sixteenths, or -1 when it is not a whole number of them.
// Multiplying by 16 is exact, so the test is too.
inline int32_t sixteenths_of(double fraction) {
  double scaled = fraction * 16.0;
  int32_t whole = static_cast<int32_t>(scaled);
  return static_cast<double>(whole) == scaled ? whole : -1;
}

// What the fractions of the positions j * scale, j < count, are.
enum class Fractions { kZero, kSixteenths, kOther };

Fractions fractions_of(int32_t count, double scale) {
  Fractions all = Fractions::kZero;
  for (int32_t j = 0; j < count && all != Fractions::kOther; ++j) {
    double s = static_cast<double>(j) * scale;
    const int32_t a = sixteenths_of(s - static_cast<double>(static_cast<int32_t>(s)));
    if (a != 0) {
      all = a < 0 ? Fractions::kOther : Fractions::kSixteenths;
    }
  }
  return all;
}

// Where an output row samples the source, computed as the reference does.
struct RowSample {
  int32_t y0;
  double fy;
  double gy;
};

inline RowSample sample_row(int32_t i, double scale_y) {
  double sy = static_cast<double>(i) * scale_y;
  int32_t y0 = static_cast<int32_t>(sy);
  double fy = sy - static_cast<double>(y0);
  return {y0, fy, 1.0 - fy};
}

// What one 24- or 32-bit strip works with.
struct BlendJob {
  const RasterImage* source;
  const RasterImage* result;
  const ResampleRows* rows;
  const ResampleKernelSet* set;
  int32_t channels;
  int64_t source_row_bytes;
  size_t result_row_bytes;
  double scale_x;
  double scale_y;
};

// One band's tables and blended source rows; H is double, or uint16_t for
// the blend in sixteenths. About 32 KiB either way.
template <class H>
struct BlendScratch {
  static constexpr bool kDoubles = sizeof(H) == sizeof(double);
  static constexpr size_t kColumns = kDoubles ? 256 : 512;
  static constexpr size_t kValues = 4 * kColumns;
  int32_t x0[kColumns];
  double fx[kColumns];
  double gx[kColumns];        // 1 - fx, as the reference computes it
  uint32_t weight[kColumns];  // in sixteenths: (a << 16) | (16 - a) for a fraction a/16
  int64_t window[kValues / kWindowValues];
  uint16_t picks[2 * kValues];
  H weights[kDoubles ? kValues : 2 * kValues];  // value_fx, or value_weights
  H held[2][kValues + 4];  // two blended source rows (a 4-value store may spill)
  int32_t held_y[2];       // the source rows they hold, -1 for none
  bool whole;              // every column samples one source pixel (all fractions 0)
};

inline void put_weights(BlendScratch<double>* s, int32_t w, int32_t i, int32_t k) {
  s->weights[w * kWindowValues + i] = s->fx[k];
}

inline void put_weights(BlendScratch<uint16_t>* s, int32_t w, int32_t i, int32_t k) {
  uint16_t* weights = s->weights + 2 * kWindowValues * w;
  weights[i] = static_cast<uint16_t>(s->weight[k] & 0xFFFFu);
  weights[kWindowValues + i] = static_cast<uint16_t>(s->weight[k] >> 16);
}

// Window w's picks and weights; false when a sample lies outside the window.
template <class H>
bool plan_window(BlendScratch<H>* s, int32_t channels, int32_t w, int64_t start) {
  uint16_t* picks = s->picks + 2 * kWindowValues * w;
  int32_t k = w * kWindowValues / channels;  // the column of value i, and its channel
  int32_t ch = w * kWindowValues - k * channels;
  for (int32_t i = 0; i < kWindowValues; ++i) {
    const int64_t at = int64_t{channels} * s->x0[k] + ch - start;
    if (at + channels >= kWindowBytes) {
      return false;
    }
    picks[i] = static_cast<uint16_t>(at);
    picks[kWindowValues + i] = static_cast<uint16_t>(at + channels);
    put_weights(s, w, i, k);
    if (++ch == channels) {
      ch = 0;
      ++k;
    }
  }
  return true;
}

// The band's windows from the left, as long as each one's samples lie
// within kWindowBytes readable bytes from its first pixel. Returns how many.
template <class H>
int32_t plan_windows(BlendScratch<H>* s, int32_t channels, int32_t interior, int64_t row_bytes) {
  const int32_t runs = channels * interior / kWindowValues;
  for (int32_t w = 0; w < runs; ++w) {
    const int64_t start = int64_t{channels} * s->x0[w * kWindowValues / channels];
    if (start + kWindowBytes > row_bytes || !plan_window(s, channels, w, start)) {
      return w;
    }
    s->window[w] = start;
  }
  return runs;
}

inline void point_weights(BlendColumns* c, BlendScratch<double>* s) { c->value_fx = s->weights; }
inline void point_weights(BlendColumns* c, BlendScratch<uint16_t>* s) {
  c->value_weights = s->weights;
}

// The band's columns, sampled as the reference samples them.
template <class H>
BlendColumns fill_band(BlendScratch<H>* s, const BlendJob& job, Span band) {
  const int32_t n = job.channels;
  const int64_t width = job.source->width;
  BlendColumns c = {s->x0, s->fx, s->gx, s->weight, n, 0, 0, s->window, s->picks, nullptr, nullptr};
  bool inside = true;
  s->whole = true;
  for (int32_t k = 0; k < band.count; ++k) {
    const double sx = sample_x(band, k, job.scale_x);
    const int32_t x0 = static_cast<int32_t>(sx);
    s->x0[k] = x0;
    s->fx[k] = sx - static_cast<double>(x0);
    s->gx[k] = 1.0 - s->fx[k];
    const uint32_t a =
        BlendScratch<H>::kDoubles ? 0 : static_cast<uint32_t>(sixteenths_of(s->fx[k]));
    s->weight[k] = (a << 16) | (16 - a);
    s->whole = s->whole && s->fx[k] == 0.0 && x0 < width;
    // Both samples in the row, and 4 bytes readable at the right one.
    inside = inside && x0 + int64_t{1} < width && (x0 + int64_t{1}) * n + 4 <= job.source_row_bytes;
    if (inside) {
      c.interior = k + 1;
    }
  }
  point_weights(&c, s);
  c.windows = job.set->reads_windows(n, !BlendScratch<H>::kDoubles)
                  ? plan_windows(s, n, c.interior, job.source_row_bytes)
                  : 0;
  return c;
}

inline void put_edge_value(double* h, uint32_t c00, uint32_t c10, const BlendScratch<double>& s,
                           int32_t k) {
  *h = static_cast<double>(c00) * s.gx[k] + static_cast<double>(c10) * s.fx[k];
}

inline void put_edge_value(uint16_t* h, uint32_t c00, uint32_t c10, const BlendScratch<uint16_t>& s,
                           int32_t k) {
  *h = static_cast<uint16_t>(c00 * (s.weight[k] & 0xFFFFu) + c10 * (s.weight[k] >> 16));
}

// Columns interior .. count - 1 of a source row, whose right samples lie
// past the row's end (and read 0): through the bounds-checked accessors, on
// a one-row image that is that row.
template <class H>
void blend_edge_columns(H* h, const BlendJob& job, const BlendScratch<H>& s, int32_t interior,
                        int32_t count, const uint8_t* row) {
  const RasterImage line = {const_cast<uint8_t*>(row),  job.source->width, 1,
                            job.source->bits_per_pixel, nullptr,           0};
  for (int32_t k = interior; k < count; ++k) {
    const int32_t x0 = s.x0[k];
    const uint32_t s0 = get_pixel(&line, x0, 0);
    const uint32_t s1 = x0 < job.source->width ? get_pixel(&line, x0 + 1, 0) : 0;
    H* values = h + static_cast<size_t>(k) * static_cast<size_t>(job.channels);
    for (int32_t ch = 0; ch < job.channels; ++ch) {
      const uint32_t shift = 8u * static_cast<uint32_t>(ch);
      put_edge_value(values + ch, (s0 >> shift) & 0xFFu, (s1 >> shift) & 0xFFu, s, k);
    }
  }
}

inline void blend_columns_of(const ResampleKernelSet& set, double* h, const uint8_t* row,
                             const BlendColumns& c) {
  set.blends->blend_columns(h, row, c);
}

inline void blend_columns_of(const ResampleKernelSet& set, uint16_t* h, const uint8_t* row,
                             const BlendColumns& c) {
  set.blends->blend_columns_sixteenths(h, row, c);
}

// Source row y blended across the band, computed into the slot not holding
// row keep unless already held. Rows past the last one read 0 everywhere.
template <class H>
const H* held_row(BlendScratch<H>* s, const BlendJob& job, const BlendColumns& c, int32_t count,
                  int32_t y, int32_t keep) {
  for (int32_t slot = 0; slot < 2; ++slot) {
    if (s->held_y[slot] == y) {
      return s->held[slot];
    }
  }
  const int32_t slot = s->held_y[0] != keep ? 0 : 1;
  H* h = s->held[slot];
  s->held_y[slot] = y;
  if (y >= job.source->height) {
    memset(h, 0, sizeof(H) * static_cast<size_t>(count) * static_cast<size_t>(job.channels));
  } else {
    const uint8_t* row = source_row(*job.rows, y);
    blend_columns_of(*job.set, h, row, c);
    blend_edge_columns(h, job, *s, c.interior, count, row);
  }
  return h;
}

inline void blend_rows_of(const ResampleKernelSet& set, uint8_t* out, const double* h0,
                          const double* h1, const RowSample& r, size_t n) {
  set.blends->blend_rows(out, h0, h1, r.gy, r.fy, n);
}

inline void blend_rows_of(const ResampleKernelSet& set, uint8_t* out, const uint16_t* h0,
                          const uint16_t* h1, const RowSample& r, size_t n) {
  set.blends->blend_rows_sixteenths(out, h0, h1, static_cast<uint32_t>(sixteenths_of(r.fy)), n);
}

// Output row i across one band.
template <class H>
void blend_band_row(BlendScratch<H>* s, const BlendJob& job, const BlendColumns& c, Span band,
                    int32_t i) {
  const RowSample r = sample_row(i, job.scale_y);
  const size_t channels = static_cast<size_t>(job.channels);
  uint8_t* out = result_row(*job.rows, i) + static_cast<size_t>(band.first) * channels;
  if (r.y0 >= job.source->height) {
    // Never for a result row (i < the new height keeps sy below the
    // source's height); should it happen, every sample reads 0, as in the
    // reference.
    memset(out, 0, static_cast<size_t>(band.count) * channels);
  } else if (r.fy == 0.0 && s->whole) {
    const uint8_t* row = source_row(*job.rows, r.y0);
    gather_pixels(out, row, job.source_row_bytes, s->x0, band.count,
                  static_cast<uint32_t>(job.channels), nullptr);
  } else {
    const bool two_rows = r.fy != 0.0;
    const H* h0 = held_row(s, job, c, band.count, r.y0, two_rows ? r.y0 + 1 : -1);
    const H* h1 = two_rows ? held_row(s, job, c, band.count, r.y0 + 1, r.y0) : nullptr;
    blend_rows_of(*job.set, out, h0, h1, r, static_cast<size_t>(band.count) * channels);
  }
}

// One strip of a 24- or 32-bit result, band by band.
template <class H>
void blend_strip(const BlendJob& job, BlendScratch<H>* s) {
  const int32_t width = job.result->width;
  const int32_t columns = static_cast<int32_t>(BlendScratch<H>::kColumns);
  const Span strip = job.rows->strip;
  for (Span band = next_span({0, 0}, width, columns); band.count > 0;
       band = next_span(band, width, columns)) {
    const BlendColumns c = fill_band(s, job, band);
    s->held_y[0] = -1;
    s->held_y[1] = -1;
    for (int32_t i = strip.first; i < strip.first + strip.count; ++i) {
      blend_band_row(s, job, c, band, i);
    }
  }
}

}  // namespace

ResampleMode resample_mode(const RasterImage* source, const RasterImage* result) {
  const uint16_t bits = result->bits_per_pixel;
  if (!kExactDoubles || source->width < 1 || source->height < 1 || source->bits_per_pixel != bits ||
      (bits != 2 && bits != 8 && bits != 16 && bits != 24 && bits != 32)) {
    return ResampleMode::kDecline;
  }
  const double scale_x = scale_of(source->width, result->width);
  const double scale_y = scale_of(source->height, result->height);
  // Positions only grow with the index, so the last ones bound them all.
  if (static_cast<int32_t>(static_cast<double>(result->width - 1) * scale_x) >= source->width ||
      static_cast<int32_t>(static_cast<double>(result->height - 1) * scale_y) >= source->height) {
    return ResampleMode::kDecline;
  }
  const Fractions x = bits >= 24 ? fractions_of(result->width, scale_x) : Fractions::kZero;
  const Fractions y =
      bits < 24 || x == Fractions::kOther ? x : fractions_of(result->height, scale_y);
  // With every fraction 0 each output pixel is its source pixel, bytes and
  // all: the blend of the reference reduces to c00 (c00 1 + c10 0 = c00).
  if (bits < 24 || (x == Fractions::kZero && y == Fractions::kZero)) {
    return ResampleMode::kSample;
  }
  return x != Fractions::kOther && y != Fractions::kOther ? ResampleMode::kSixteenths
                                                          : ResampleMode::kDoubles;
}

void source_rows_of(const RasterImage* source, const RasterImage* result, ResampleMode mode,
                    int32_t i, int32_t* first, int32_t* second) {
  const RowSample r = sample_row(i, scale_of(source->height, result->height));
  *first = r.y0;
  // A blend reads the row below only where it weighs something.
  *second = mode != ResampleMode::kSample && r.fy != 0.0 ? r.y0 + 1 : -1;
}

// A call uses one mode, so one of them at a time.
union ResampleScratch {
  SampleScratch sample;
  BlendScratch<double> doubles;
  BlendScratch<uint16_t> sixteenths;
};

ResampleScratch* new_resample_scratch() {
  return static_cast<ResampleScratch*>(malloc(sizeof(ResampleScratch)));
}

void free_resample_scratch(ResampleScratch* scratch) { free(scratch); }

void resample_rows_with(const ResampleRows& rows, ResampleMode mode, const ResampleKernelSet& set,
                        ResampleScratch* scratch) {
  if (mode == ResampleMode::kSample) {
    sample_pixels(rows, set, &scratch->sample);
    return;
  }
  const BlendJob job = {rows.source,
                        rows.result,
                        &rows,
                        &set,
                        rows.result->bits_per_pixel / 8,
                        bmp_row_bytes(rows.source->width, rows.source->bits_per_pixel),
                        row_bytes_of(rows.result),
                        scale_of(rows.source->width, rows.result->width),
                        scale_of(rows.source->height, rows.result->height)};
  if (mode == ResampleMode::kSixteenths) {
    blend_strip(job, &scratch->sixteenths);
  } else {
    blend_strip(job, &scratch->doubles);
  }
}

bool resample_pixels_with(const RasterImage* source, RasterImage* result,
                          const ResampleKernelSet& set) {
  const ResampleMode mode =
      source->pixels == nullptr ? ResampleMode::kDecline : resample_mode(source, result);
  ResampleScratch* scratch = mode != ResampleMode::kDecline ? new_resample_scratch() : nullptr;
  if (scratch == nullptr) {
    return false;
  }
  const int32_t height = result->height;
  // Sampling walks every row within each band; a blend keeps strips of rows
  // in cache while every band fills its part.
  int64_t rows = height;
  if (mode != ResampleMode::kSample) {
    rows = kStripRows * (1 + int64_t{height} / source->height);
  }
  const int32_t strip_rows = static_cast<int32_t>(rows < height ? rows : height);
  for (Span strip = next_span({0, 0}, height, strip_rows); strip.count > 0;
       strip = next_span(strip, height, strip_rows)) {
    const ResampleRows part = {
        source,
        result,
        strip,
        source->pixels,
        nullptr,
        0,
        result->pixels + static_cast<size_t>(strip.first) * row_bytes_of(result)};
    resample_rows_with(part, mode, set, scratch);
  }
  free_resample_scratch(scratch);
  return true;
}
