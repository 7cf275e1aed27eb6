// BMPErosion, the one export of VorlinMorph: converts the paths, checks the
// pass count, loads, erodes pass after pass, saves, releases, and returns
// the module's status. Every message, errors included, goes to standard
// output.
#include "erosion_entry.h"

#include <cstdio>

#include "erode.h"
#include "gray_bmp_loader.h"
#include "gray_bmp_writer.h"
#include "path_convert.h"
#include "vorlin/vorlin.h"

namespace {

void print_pass_done(int32_t pass, void* /*context*/) { printf("  Pass %d complete\n", pass); }

int32_t erode_call(const wchar_t* input_path, const wchar_t* output_path, int32_t passes,
                   const ErodeKernelSet& kernels) {
  printf("=== Bitmap Erosion Application (eVC 3.0 Safe) ===\n\n");

  char input[kPathBufferSize];
  char output[kPathBufferSize];
  // Both conversions come before any check; an over-long path is reported
  // only after the pass check, and nothing has been opened then.
  bool input_fits = convert_path_into(input_path, input, sizeof input);
  bool output_fits = convert_path_into(output_path, output, sizeof output);

  if (passes < VORLIN_ERODE_MIN_PASSES || passes > VORLIN_ERODE_MAX_PASSES) {
    printf("Error: Erosion passes must be between 1 and 100\n");
    return VORLIN_ERODE_FAILED;
  }
  if (!input_fits) {
    printf("Error: Input path is too long\n");
    return VORLIN_ERODE_FAILED;
  }
  if (!output_fits) {
    printf("Error: Output path is too long\n");
    return VORLIN_ERODE_FAILED;
  }

  printf("Loading: %s\n", input);
  InputOrigin origin = {input, {}};
  GrayImage* current = load_gray_bmp(input, kernels, &origin.identity);
  if (current == nullptr) {
    return VORLIN_ERODE_FAILED;
  }

  printf("Applying %d erosion pass(es)...\n", passes);
  // All passes in place, in one image. Without the scratch for that, pass
  // after pass into a new image: each reads the previous result, and at
  // most two images are alive.
  const bool in_place =
      erode_passes_with(current, passes, kernels, passes, print_pass_done, nullptr);
  for (int32_t k = 1; !in_place && k <= passes; ++k) {
    GrayImage* next = erode_once_with(current, kernels);
    if (next == nullptr) {
      printf("Error: Erosion failed at pass %d\n", k);
      free_gray_image(current);
      return VORLIN_ERODE_FAILED;
    }
    free_gray_image(current);
    printf("  Pass %d complete\n", k);
    current = next;
  }

  printf("Saving: %s\n", output);
  bool saved = save_gray_bmp(current, output, &origin);
  free_gray_image(current);
  if (!saved) {
    return VORLIN_ERODE_FAILED;
  }
  printf("Erosion complete!\n");
  return VORLIN_ERODE_OK;
}

}  // namespace

int32_t erode_with_kernels(const wchar_t* input_path, const wchar_t* output_path, int32_t passes,
                           const ErodeKernelSet& kernels) {
  int32_t status = erode_call(input_path, output_path, passes, kernels);
  // Every line of the call is out when the host gets the status, even if it
  // writes to the same stream.
  fflush(stdout);
  return status;
}

// The one choice of kernel set for the call.
extern "C" VORLIN_API int32_t BMPErosion(const wchar_t* input_path, const wchar_t* output_path,
                                         int32_t passes) {
  return erode_with_kernels(input_path, output_path, passes, best_erode_kernel_set());
}
