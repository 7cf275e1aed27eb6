// What each reader must make of a given file, worked out from the header
// bytes alone and written independently of the readers, so that a fuzz
// target checks results instead of only watching for crashes.
#ifndef VORLIN_FUZZ_BMP_CLAIMS_H
#define VORLIN_FUZZ_BMP_CLAIMS_H

#include <cstddef>
#include <cstdint>

// The resizer's reader: missing bytes read as 0, so every input has a
// defined outcome.
struct ScaleClaim {
  bool loads;               // load_bmp returns an image
  bool over_cap;            // it would allocate more than the harness allows
  int32_t width;
  int32_t height;
  uint16_t bits_per_pixel;
  int64_t palette_count;    // 0 for 16, 24 and 32 bits
  uint64_t palette_offset;  // where the palette is read from
  uint32_t pixel_offset;
  int64_t pixel_bytes;      // row stride x height
};
ScaleClaim claim_scale(const uint8_t* data, size_t size);

// The erosion loader: the headers must be whole, every row must be in the file.
struct GrayClaim {
  bool loads;
  bool over_cap;
  int32_t width;
  int32_t height;
  int32_t bits_per_pixel;   // 8 or 24 when the headers are accepted
  uint32_t pixel_offset;
  int64_t row_size;         // stored row, padded to 4 bytes
};
GrayClaim claim_gray(const uint8_t* data, size_t size);

// Pixel (x, y) of the picture the erosion loader must produce (row 0 on top).
uint8_t claimed_gray_pixel(const GrayClaim& claim, const uint8_t* data, int32_t x, int32_t y);

// Byte at offset of the file, 0 beyond its end.
uint8_t byte_or_zero(const uint8_t* data, size_t size, uint64_t offset);

#endif  // VORLIN_FUZZ_BMP_CLAIMS_H
