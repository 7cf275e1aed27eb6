// Predicted reader outcomes; see bmp_claims.h.
#include "bmp_claims.h"

#include "fuzz_support.h"

namespace {

constexpr int64_t kMax32 = 0xFFFFFFFFLL;

}  // namespace

uint8_t byte_or_zero(const uint8_t* data, size_t size, uint64_t offset) {
  return offset < size ? data[offset] : 0;
}

ScaleClaim claim_scale(const uint8_t* data, size_t size) {
  ScaleClaim c = {};
  c.pixel_offset = fuzz_le32(data, size, 10);
  uint32_t header_size = fuzz_le32(data, size, 14);
  c.width = fuzz_le32s(data, size, 18);
  c.height = fuzz_le32s(data, size, 22);
  c.bits_per_pixel = static_cast<uint16_t>(fuzz_le16(data, size, 28));
  uint32_t compression = fuzz_le32(data, size, 30);
  uint32_t colors_used = fuzz_le32(data, size, 46);
  uint32_t bits = c.bits_per_pixel;

  if (fuzz_le16(data, size, 0) != 0x4D42 || header_size < 40 || compression != 0 ||
      !(bits == 2 || bits == 8 || bits == 16 || bits == 24 || bits == 32)) {
    return c;
  }
  if (bits <= 8) {
    c.palette_count = colors_used != 0 ? colors_used : (bits == 2 ? 4 : 256);
    c.palette_offset = header_size > 40 ? 14ull + header_size : 54;
    if (c.palette_count * 4 > kMax32) return c;
    if (c.palette_count * 4 > kFuzzAllocationCap) c.over_cap = true;
  }
  if (c.width <= 0 || c.height <= 0) return c;
  int64_t stride = (static_cast<int64_t>(c.width) * bits + 31) / 32 * 4;
  if (c.height > kMax32 / stride) return c;  // the pixel array would not fit 32 bits
  c.pixel_bytes = stride * c.height;
  if (c.pixel_bytes > kFuzzAllocationCap) c.over_cap = true;
  c.loads = true;
  return c;
}

GrayClaim claim_gray(const uint8_t* data, size_t size) {
  GrayClaim c = {};
  if (size < 54 || fuzz_le16(data, size, 0) != 0x4D42 || fuzz_le32(data, size, 14) < 40) return c;
  c.bits_per_pixel = static_cast<int32_t>(fuzz_le16(data, size, 28));
  if ((c.bits_per_pixel != 8 && c.bits_per_pixel != 24) || fuzz_le32(data, size, 30) != 0) {
    return c;
  }
  c.pixel_offset = fuzz_le32(data, size, 10);
  c.width = fuzz_le32s(data, size, 18);
  c.height = fuzz_le32s(data, size, 22);
  if (c.width < 1 || c.height < 1) return c;
  int64_t pixels = static_cast<int64_t>(c.width) * c.height;
  if (pixels > kMax32) return c;
  int64_t row_bytes = c.bits_per_pixel == 24 ? 3 * static_cast<int64_t>(c.width) : c.width;
  c.row_size = (row_bytes + 3) / 4 * 4;
  // The image and one row buffer are allocated before any row is read.
  if (pixels > kFuzzAllocationCap || c.row_size > kFuzzAllocationCap) c.over_cap = true;
  // Rows are read one after another from the pixel offset; each must be whole.
  uint64_t end = static_cast<uint64_t>(c.pixel_offset) +
                 static_cast<uint64_t>(c.row_size) * static_cast<uint64_t>(c.height);
  c.loads = end <= size;
  return c;
}

uint8_t claimed_gray_pixel(const GrayClaim& c, const uint8_t* data, int32_t x, int32_t y) {
  // The file stores the bottom row of the picture first.
  uint64_t row = static_cast<uint64_t>(c.height - 1 - y);
  const uint8_t* p = data + c.pixel_offset + row * static_cast<uint64_t>(c.row_size);
  if (c.bits_per_pixel == 8) return p[x];
  const uint8_t* q = p + 3 * static_cast<uint64_t>(x);
  unsigned average = (static_cast<unsigned>(q[0]) + q[1] + q[2]) / 3;
  return average > 128 ? 255 : 0;
}
