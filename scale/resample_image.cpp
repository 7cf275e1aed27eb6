// resample_image: the result record, its pixels from the fast resampler with
// the best kernel set this CPU runs, or from the reference should the fast
// path decline (its scratch could not be had).
#include "raster_image.h"
#include "resample_fast.h"
#include "resample_kernels.h"
#include "resample_reference.h"

RasterImage* resample_image(const RasterImage* source, int32_t new_width, int32_t new_height) {
  RasterImage* result = new_resampled_image(source, new_width, new_height);
  if (result != nullptr && !resample_pixels_with(source, result, best_resample_kernel_set())) {
    resample_pixels_reference(source, result);
  }
  return result;
}
