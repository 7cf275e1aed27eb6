// BMPResizers, the one export of VorlinScale: converts the paths, checks the
// requested size, resizes with the rows streamed, and maps the outcome to the
// module's status codes. Errors go to standard error, progress to standard
// output.
#include "resize_entry.h"

#include <cstdio>

#include "path_convert.h"
#include "resize_stream.h"
#include "vorlin/vorlin.h"

namespace {

int32_t resize_call(const wchar_t* input_path, const wchar_t* output_path, int32_t width,
                    int32_t height, const ResampleKernelSet& set) {
  char input[kPathBufferSize];
  char output[kPathBufferSize];
  // Both conversions come before any check; an over-long path is reported
  // only after the size check, and nothing has been opened then.
  bool input_fits = convert_path_into(input_path, input, sizeof input) != 0;
  bool output_fits = convert_path_into(output_path, output, sizeof output) != 0;

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

  switch (resize_streamed(input, output, width, height, set)) {
    case ResizeOutcome::kSaved: return VORLIN_RESIZE_OK;
    case ResizeOutcome::kLoadFailed: return VORLIN_RESIZE_LOAD_FAILED;
    case ResizeOutcome::kCreateFailed: return VORLIN_RESIZE_CREATE_FAILED;
    case ResizeOutcome::kSaveFailed: break;
  }
  return VORLIN_RESIZE_SAVE_FAILED;
}

}  // namespace

int32_t resize_with_kernels(const wchar_t* input_path, const wchar_t* output_path, int32_t width,
                            int32_t height, const ResampleKernelSet& set) {
  int32_t status = resize_call(input_path, output_path, width, height, set);
  // Every line of the call is out when the host gets the status, even if it
  // writes to the same streams or merges them.
  fflush(stdout);
  fflush(stderr);
  return status;
}

// The one choice of kernel set for the call.
extern "C" VORLIN_API int32_t BMPResizers(const wchar_t* input_path, const wchar_t* output_path,
                                          int32_t width, int32_t height) {
  return resize_with_kernels(input_path, output_path, width, height, best_resample_kernel_set());
}
