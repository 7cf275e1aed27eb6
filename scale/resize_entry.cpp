// BMPResizers, the one export of VorlinScale: converts the paths, checks the
// requested size, loads, resamples, saves, releases, and maps the outcome to
// the module's status codes. Errors go to standard error, progress to
// standard output.
#include <cstdio>

#include "bmp_io.h"
#include "path_convert.h"
#include "raster_image.h"
#include "vorlin/vorlin.h"

namespace {

int32_t resize_call(const wchar_t* input_path, const wchar_t* output_path, int32_t width,
                    int32_t height) {
  char input[kPathBufferSize];
  char output[kPathBufferSize];
  // Both conversions come before any check; an over-long path is reported
  // only after the size check, and nothing has been opened then.
  int input_fits = convert_path_into(input_path, input, sizeof input);
  int output_fits = convert_path_into(output_path, output, sizeof output);

  if (width < 1 || height < 1) {
    fprintf(stderr, "Error: Width and height must be positive integers\n");
    return VORLIN_RESIZE_BAD_SIZE;
  }
  if (!input_fits) {
    fprintf(stderr, "Error: Input path is too long\n");
    return VORLIN_RESIZE_LOAD_FAILED;
  }
  if (!output_fits) {
    fprintf(stderr, "Error: Output path is too long\n");
    return VORLIN_RESIZE_SAVE_FAILED;
  }

  InputOrigin origin = {input, {}};
  RasterImage* source = load_bmp(input, &origin.identity);
  if (source == nullptr) {
    return VORLIN_RESIZE_LOAD_FAILED;
  }
  printf("Loaded: %s (%dx%d, %d-bit)\n", input, source->width, source->height,
         source->bits_per_pixel);
  printf("Resizing to: %dx%d\n", width, height);

  RasterImage* result = resample_image(source, width, height);
  if (result == nullptr) {
    free_image(source);
    return VORLIN_RESIZE_CREATE_FAILED;
  }

  int32_t status = VORLIN_RESIZE_SAVE_FAILED;
  if (save_bmp(result, output, &origin)) {
    printf("Saved: %s (%dx%d, %d-bit)\n", output, result->width, result->height,
           result->bits_per_pixel);
    status = VORLIN_RESIZE_OK;
  }
  free_image(source);
  free_image(result);
  return status;
}

}  // namespace

extern "C" VORLIN_API int32_t BMPResizers(const wchar_t* input_path, const wchar_t* output_path,
                                          int32_t width, int32_t height) {
  int32_t status = resize_call(input_path, output_path, width, height);
  // Every line of the call is out when the host gets the status, even if it
  // writes to the same streams or merges them.
  fflush(stdout);
  fflush(stderr);
  return status;
}
