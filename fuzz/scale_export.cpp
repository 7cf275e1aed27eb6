// BMPResizers end to end on any input file. The requested size comes from
// the two reserved header fields (read and ignored by the resizer), kept
// small: 1 to 48 pixels each way. Status 999 exactly when the input loads,
// and then a file whose headers and palette say what was asked for.
#include <string>

#include "bmp_claims.h"
#include "fuzz_support.h"
#include "vorlin/vorlin.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  ScaleClaim claim = claim_scale(data, size);
  if (claim.over_cap) {
    ++fuzz_skipped_inputs;
    return 0;
  }
  int32_t width = 1 + static_cast<int32_t>(fuzz_le16(data, size, 6) % 48);
  int32_t height = 1 + static_cast<int32_t>(fuzz_le16(data, size, 8) % 48);
  std::wstring input = fuzz_wide(fuzz_input_path(data, size));
  std::wstring output = fuzz_wide(fuzz_output_path());
  int32_t status = BMPResizers(input.c_str(), output.c_str(), width, height);
  FUZZ_CHECK(status == (claim.loads ? VORLIN_RESIZE_OK : VORLIN_RESIZE_LOAD_FAILED));

  std::string written = fuzz_read_output();
  if (!claim.loads) {
    FUZZ_CHECK(written.empty());
    return 0;
  }
  uint32_t bits = claim.bits_per_pixel;
  uint32_t palette_bytes = static_cast<uint32_t>(claim.palette_count) * 4;
  uint32_t pixel_bytes = static_cast<uint32_t>((static_cast<int64_t>(width) * bits + 31) / 32 * 4) *
                         static_cast<uint32_t>(height);
  FUZZ_CHECK(written.size() == 54u + palette_bytes + pixel_bytes);
  FUZZ_CHECK(fuzz_file_le(written, 0, 2) == 0x4D42);
  FUZZ_CHECK(fuzz_file_le(written, 2, 4) == written.size());
  FUZZ_CHECK(fuzz_file_le(written, 10, 4) == 54u + palette_bytes);
  FUZZ_CHECK(fuzz_file_le(written, 14, 4) == 40u);
  FUZZ_CHECK(fuzz_file_le(written, 18, 4) == static_cast<uint32_t>(width));
  FUZZ_CHECK(fuzz_file_le(written, 22, 4) == static_cast<uint32_t>(height));
  FUZZ_CHECK(fuzz_file_le(written, 28, 2) == bits);
  FUZZ_CHECK(fuzz_file_le(written, 30, 4) == 0u);
  FUZZ_CHECK(fuzz_file_le(written, 34, 4) == pixel_bytes);
  FUZZ_CHECK(fuzz_file_le(written, 46, 4) == static_cast<uint32_t>(claim.palette_count));
  // The palette is carried over byte for byte.
  for (uint32_t i = 0; i < palette_bytes; ++i) {
    FUZZ_CHECK(static_cast<uint8_t>(written[54 + i]) ==
               byte_or_zero(data, size, claim.palette_offset + i));
  }
  return 0;
}
