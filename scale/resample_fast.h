// The fast resampler: the reference resampler's arithmetic, step for step,
// on direct row pointers with per-band column tables, the inner loops taken
// from a kernel set. Each result byte equals resample_image_reference's.
#ifndef VORLIN_SCALE_RESAMPLE_FAST_H
#define VORLIN_SCALE_RESAMPLE_FAST_H

#include "raster_image.h"
#include "resample_kernel_sets.h"

// Fills result's zero-filled pixel array (result has the source's depth and
// its own new size) with the given kernel set, which must be available.
// Returns false, having written nothing and printed nothing, when its
// scratch could not be allocated or this build cannot reproduce the
// reference's arithmetic; the caller then runs the reference.
bool resample_pixels_with(const RasterImage* source, RasterImage* result,
                          const ResampleKernelSet& set);

#endif  // VORLIN_SCALE_RESAMPLE_FAST_H
