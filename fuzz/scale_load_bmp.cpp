// load_bmp on any bytes: null exactly when the header says so, otherwise an
// image whose fields, palette and pixel bytes are the file's (0 where the
// file ends). Leaks and stray reads are the sanitizers' part.
#include <cstring>

#include "bmp_claims.h"
#include "bmp_io.h"
#include "fuzz_support.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  ScaleClaim claim = claim_scale(data, size);
  if (claim.over_cap) {
    ++fuzz_skipped_inputs;
    return 0;
  }
  RasterImage* image = load_bmp(fuzz_input_path(data, size));
  FUZZ_CHECK((image != nullptr) == claim.loads);
  if (image == nullptr) return 0;

  FUZZ_CHECK(image->width == claim.width && image->height == claim.height);
  FUZZ_CHECK(image->bits_per_pixel == claim.bits_per_pixel);
  FUZZ_CHECK(image->palette_count == claim.palette_count);
  FUZZ_CHECK((image->palette != nullptr) == (claim.palette_count > 0));
  const uint8_t* palette = reinterpret_cast<const uint8_t*>(image->palette);
  for (int64_t i = 0; i < claim.palette_count * 4; ++i) {
    FUZZ_CHECK(palette[i] == byte_or_zero(data, size, claim.palette_offset + i));
  }
  // Every byte that can come from the file, then a stretch of the zeros after it.
  int64_t from_file = static_cast<int64_t>(size) - claim.pixel_offset;
  int64_t checked = (from_file > 0 ? from_file : 0) + 4096;
  if (checked > claim.pixel_bytes) checked = claim.pixel_bytes;
  for (int64_t i = 0; i < checked; ++i) {
    FUZZ_CHECK(image->pixels[i] ==
               byte_or_zero(data, size, claim.pixel_offset + static_cast<uint64_t>(i)));
  }
  free_image(image);
  return 0;
}
