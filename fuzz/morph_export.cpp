// BMPErosion end to end on any input file, by each kernel set in turn, with
// 1 to 4 passes taken from the first reserved header field (ignored by the
// module). Status 999 exactly
// when the input loads, and then an 8-bit gray file of the picture's size in
// which erosion only ever turned an interior 255 into 0, and did so wherever
// the loaded picture had a 0 right next to it.
#include <string>
#include <utility>

#include "bmp_claims.h"
#include "erosion_entry.h"
#include "fuzz_support.h"
#include "vorlin/vorlin.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  GrayClaim claim = claim_gray(data, size);
  if (claim.over_cap) {
    ++fuzz_skipped_inputs;
    return 0;
  }
  int32_t passes = 1 + static_cast<int32_t>(fuzz_le16(data, size, 6) % 4);
  // Every kernel set this CPU has runs the input; the first one's result is
  // checked below, and each other must give its status and bytes.
  std::wstring input = fuzz_wide(fuzz_input_path(data, size));
  SetsAgree agree;
  for (size_t k = 0; k < kErodeKernelSetCount; ++k) {
    const ErodeKernelSet& set = kErodeKernelSets[k];
    if (!set.available()) continue;
    std::wstring output = fuzz_wide(fuzz_output_path());
    fuzz_agree(&agree, set.name, erode_with_kernels(input.c_str(), output.c_str(), passes, set));
  }
  const int32_t status = agree.status;
  const std::string& written = agree.written;
  FUZZ_CHECK(status == (claim.loads ? VORLIN_ERODE_OK : VORLIN_ERODE_FAILED));

  if (!claim.loads) {
    FUZZ_CHECK(written.empty());
    return 0;
  }
  const int32_t w = claim.width, h = claim.height;
  const size_t row = (static_cast<size_t>(w) + 3) / 4 * 4;
  FUZZ_CHECK(written.size() == 1078 + row * static_cast<size_t>(h));
  FUZZ_CHECK(fuzz_file_le(written, 0, 2) == 0x4D42 && fuzz_file_le(written, 10, 4) == 1078u);
  FUZZ_CHECK(fuzz_file_le(written, 18, 4) == static_cast<uint32_t>(w));
  FUZZ_CHECK(fuzz_file_le(written, 22, 4) == static_cast<uint32_t>(h));
  FUZZ_CHECK(fuzz_file_le(written, 28, 2) == 8u && fuzz_file_le(written, 46, 4) == 256u);
  for (uint32_t i = 0; i < 256; ++i) {
    FUZZ_CHECK(fuzz_file_le(written, 54 + 4 * i, 4) == i * 0x010101u);
  }

  auto loaded = [&](int32_t x, int32_t y) { return claimed_gray_pixel(claim, data, x, y); };
  for (int32_t y = 0; y < h; ++y) {
    // Stored bottom row first, padded with zeros.
    size_t start = 1078 + static_cast<size_t>(h - 1 - y) * row;
    for (size_t pad = static_cast<size_t>(w); pad < row; ++pad)
      FUZZ_CHECK(written[start + pad] == 0);
    for (int32_t x = 0; x < w; ++x) {
      uint8_t before = loaded(x, y);
      uint8_t after = static_cast<uint8_t>(written[start + static_cast<size_t>(x)]);
      bool interior = x > 0 && y > 0 && x < w - 1 && y < h - 1;
      if (after != before) FUZZ_CHECK(interior && before == 255 && after == 0);
      if (interior && before == 255 &&
          (loaded(x, y - 1) == 0 || loaded(x, y + 1) == 0 || loaded(x - 1, y) == 0 ||
           loaded(x + 1, y) == 0)) {
        FUZZ_CHECK(after == 0);
      }
    }
  }
  return 0;
}
