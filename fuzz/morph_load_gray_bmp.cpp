// load_gray_bmp on any bytes: null exactly when the headers are not an
// uncompressed 8/24-bit BMP of a usable size or a row is missing, otherwise
// the picture the rows hold (8-bit bytes as they are, 24-bit thresholded).
#include "bmp_claims.h"
#include "fuzz_support.h"
#include "gray_bmp_loader.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  GrayClaim claim = claim_gray(data, size);
  if (claim.over_cap) {
    ++fuzz_skipped_inputs;
    return 0;
  }
  GrayImage* image = load_gray_bmp(fuzz_input_path(data, size), best_erode_kernel_set());
  FUZZ_CHECK((image != nullptr) == claim.loads);
  if (image == nullptr) return 0;

  FUZZ_CHECK(image->width == claim.width && image->height == claim.height);
  for (int32_t y = 0; y < claim.height; ++y) {
    for (int32_t x = 0; x < claim.width; ++x) {
      FUZZ_CHECK(gray_at(image, x, y) == claimed_gray_pixel(claim, data, x, y));
    }
  }
  free_gray_image(image);
  return 0;
}
