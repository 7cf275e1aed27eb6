// BMPResizers end to end on any input file, by each kernel set in turn. The
// requested size comes from the two reserved header fields (read and ignored
// by the resizer): mostly -1 to 48 each way, sometimes a width or a height
// anywhere in the 32-bit range with the other 1. The status is predicted
// from the size and the header, and a written file must say what was asked
// for, carry the palette and hold the pixels resample_image_reference
// computes from the file's. Results above kResultCap bytes are skipped
// (refused ones cost nothing).
#include <cstdlib>
#include <cstring>
#include <string>
#include <utility>

#include "bmp_claims.h"
#include "fuzz_support.h"
#include "raster_image.h"
#include "resample_reference.h"
#include "resize_entry.h"
#include "vorlin/vorlin.h"

namespace {

// The reference takes a few tens of nanoseconds a pixel.
constexpr int64_t kResultCap = 1 << 22;

struct Request {
  int32_t width;
  int32_t height;
};

Request request_of(const uint8_t* data, size_t size) {
  const uint32_t low = fuzz_le16(data, size, 6);
  const uint32_t high = fuzz_le16(data, size, 8);
  const uint32_t both = (high << 16) | low;
  const int32_t any =
      both <= 0x7FFFFFFFu ? static_cast<int32_t>(both) : -static_cast<int32_t>(~both) - 1;
  switch ((both >> 8) & 3u) {
    case 2: return {any, 1};
    case 3: return {1, any};
    default: return {static_cast<int32_t>(low % 50) - 1, static_cast<int32_t>(high % 50) - 1};
  }
}

// The source as the resizer's reader must make it: the file's pixel bytes,
// 0 where the file ends.
RasterImage* claimed_source(const ScaleClaim& claim, const uint8_t* data, size_t size) {
  RasterImage* image = new_raster_record(claim.width, claim.height, claim.bits_per_pixel);
  image->pixels = static_cast<uint8_t*>(malloc(static_cast<size_t>(claim.pixel_bytes)));
  for (int64_t i = 0; i < claim.pixel_bytes; ++i) {
    image->pixels[i] = byte_or_zero(data, size, claim.pixel_offset + static_cast<uint64_t>(i));
  }
  return image;
}

void check_headers(const std::string& written, const ScaleClaim& claim, Request r,
                   uint32_t pixel_bytes) {
  const uint32_t palette_bytes = static_cast<uint32_t>(claim.palette_count) * 4;
  FUZZ_CHECK(written.size() == 54u + palette_bytes + pixel_bytes);
  FUZZ_CHECK(fuzz_file_le(written, 0, 2) == 0x4D42);
  FUZZ_CHECK(fuzz_file_le(written, 2, 4) == written.size());
  FUZZ_CHECK(fuzz_file_le(written, 10, 4) == 54u + palette_bytes);
  FUZZ_CHECK(fuzz_file_le(written, 14, 4) == 40u);
  FUZZ_CHECK(fuzz_file_le(written, 18, 4) == static_cast<uint32_t>(r.width));
  FUZZ_CHECK(fuzz_file_le(written, 22, 4) == static_cast<uint32_t>(r.height));
  FUZZ_CHECK(fuzz_file_le(written, 28, 2) == claim.bits_per_pixel);
  FUZZ_CHECK(fuzz_file_le(written, 30, 4) == 0u);
  FUZZ_CHECK(fuzz_file_le(written, 34, 4) == pixel_bytes);
  FUZZ_CHECK(fuzz_file_le(written, 46, 4) == static_cast<uint32_t>(claim.palette_count));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const ScaleClaim claim = claim_scale(data, size);
  const Request r = request_of(data, size);
  const bool positive = r.width >= 1 && r.height >= 1;
  // The whole file within the 32-bit size fields (dividing before multiplying).
  const int64_t stride = positive ? (int64_t{r.width} * claim.bits_per_pixel + 31) / 32 * 4 : 0;
  const int64_t room = 0xFFFFFFFFLL - 54 - claim.palette_count * 4;
  const bool fits = positive && stride > 0 && room >= 0 && r.height <= room / stride;
  const int64_t pixel_bytes = fits ? stride * r.height : 0;
  if (claim.over_cap || (positive && claim.loads && fits && pixel_bytes > kResultCap)) {
    ++fuzz_skipped_inputs;
    return 0;
  }
  // Every kernel set this CPU has runs the input; the first one's result is
  // checked below, and each other must give its status and bytes.
  std::wstring input = fuzz_wide(fuzz_input_path(data, size));
  SetsAgree agree;
  for (size_t k = 0; k < kResampleKernelSetCount; ++k) {
    const ResampleKernelSet& set = kResampleKernelSets[k];
    if (!set.available()) continue;
    std::wstring output = fuzz_wide(fuzz_output_path());
    fuzz_agree(&agree, set.name,
               resize_with_kernels(input.c_str(), output.c_str(), r.width, r.height, set));
  }
  const int32_t status = agree.status;
  const std::string& written = agree.written;
  const int32_t expected = !positive      ? VORLIN_RESIZE_BAD_SIZE
                           : !claim.loads ? VORLIN_RESIZE_LOAD_FAILED
                           : !fits        ? VORLIN_RESIZE_CREATE_FAILED
                                          : VORLIN_RESIZE_OK;
  FUZZ_CHECK(status == expected);
  if (status != VORLIN_RESIZE_OK) {
    FUZZ_CHECK(written.empty());
    return 0;
  }
  check_headers(written, claim, r, static_cast<uint32_t>(pixel_bytes));
  // The palette is carried over byte for byte.
  const size_t palette_bytes = static_cast<size_t>(claim.palette_count) * 4;
  for (size_t i = 0; i < palette_bytes; ++i) {
    FUZZ_CHECK(static_cast<uint8_t>(written[54 + i]) ==
               byte_or_zero(data, size, claim.palette_offset + i));
  }
  RasterImage* source = claimed_source(claim, data, size);
  RasterImage* reference = resample_image_reference(source, r.width, r.height);
  FUZZ_CHECK(reference != nullptr);
  FUZZ_CHECK(memcmp(written.data() + 54 + palette_bytes, reference->pixels,
                    static_cast<size_t>(pixel_bytes)) == 0);
  free_image(reference);
  free_image(source);
  return 0;
}
