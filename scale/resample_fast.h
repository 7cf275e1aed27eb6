// The fast resampler: the reference resampler's arithmetic, step for step,
// on direct row pointers with per-band column tables, the inner loops taken
// from a kernel set. Each result byte equals resample_image_reference's.
#ifndef VORLIN_SCALE_RESAMPLE_FAST_H
#define VORLIN_SCALE_RESAMPLE_FAST_H

#include "raster_image.h"
#include "resample_kernels.h"
#include "resample_spans.h"

// New image of new_width x new_height (both >= 1) with the source's depth and
// palette, filled by resampling the source. Returns null after printing the
// failed allocation to standard error. The source is left untouched.
// Uses the fast kernels (resample_image.cpp); the bytes are those of
// resample_image_reference.
RasterImage* resample_image(const RasterImage* source, int32_t new_width, int32_t new_height);

// How the fast resampler makes a result: by sampling (2, 8 and 16 bits, and
// 24 and 32 bits whose every fraction is 0), by the blend in sixteenths, by
// the blend in doubles; or not at all, where only the reference can.
enum class ResampleMode { kDecline, kSample, kSixteenths, kDoubles };

// The mode for resampling source into result (each with its size and depth;
// their pixels are not looked at).
ResampleMode resample_mode(const RasterImage* source, const RasterImage* result);

// A strip of result rows in the making. source and result give the sizes
// and depth (their pixels are not used). Source row y lies at source_base +
// y * its row size, or, where table is set, at table[y - table_first]; only
// the rows the strip reads (source_rows_of) need be there. Result row i of
// the strip lies at out + (i - strip.first) * the result's row size.
struct ResampleRows {
  const RasterImage* source;
  const RasterImage* result;
  Span strip;
  const uint8_t* source_base;
  const uint8_t* const* table;
  int32_t table_first;
  uint8_t* out;
};

// The source rows result row i reads in a mode: *first, and *second (-1 when
// it reads one row). Either may lie past the source's last row, which then
// reads as 0 and need not be there.
void source_rows_of(const RasterImage* source, const RasterImage* result, ResampleMode mode,
                    int32_t i, int32_t* first, int32_t* second);

// The fast resampler's tables and blended rows for one call (about 50 KiB).
union ResampleScratch;
// Null when it cannot be allocated.
ResampleScratch* new_resample_scratch();
void free_resample_scratch(ResampleScratch* scratch);

// Makes the strip's result rows in a mode other than kDecline, with a kernel
// set this CPU runs. Every byte equals resample_image_reference's.
void resample_rows_with(const ResampleRows& rows, ResampleMode mode, const ResampleKernelSet& set,
                        ResampleScratch* scratch);

// Fills result's zero-filled pixel array (result has the source's depth and
// its own new size) with the given kernel set, which must be available.
// Returns false, having written nothing and printed nothing, when its
// scratch could not be allocated or this build cannot reproduce the
// reference's arithmetic; the caller then runs the reference.
bool resample_pixels_with(const RasterImage* source, RasterImage* result,
                          const ResampleKernelSet& set);

#endif  // VORLIN_SCALE_RESAMPLE_FAST_H
