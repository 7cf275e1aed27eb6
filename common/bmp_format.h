// The BMP vocabulary shared by the modules: signature, header sizes, field
// offsets, and little-endian helpers that assemble and split fields byte by
// byte, so the result is the same on any host byte order.
#ifndef VORLIN_COMMON_BMP_FORMAT_H
#define VORLIN_COMMON_BMP_FORMAT_H

#include <cstdint>

constexpr uint16_t kBmpSignature = 0x4D42;  // the bytes 'B', 'M'
constexpr uint32_t kFileHeaderSize = 14;
constexpr uint32_t kInfoHeaderSize = 40;
constexpr uint32_t kHeadersSize = kFileHeaderSize + kInfoHeaderSize;  // 54
constexpr uint32_t kPaletteEntrySize = 4;                             // blue, green, red, 0
constexpr uint32_t kPixelsPerMetre = 2835;                            // 72 dots per inch

// Offsets in the file header.
constexpr uint32_t kOffSignature = 0;
constexpr uint32_t kOffFileSize = 2;
constexpr uint32_t kOffReserved1 = 6;
constexpr uint32_t kOffReserved2 = 8;
constexpr uint32_t kOffPixelDataOffset = 10;

// Offsets in the information header.
constexpr uint32_t kOffHeaderSize = 0;
constexpr uint32_t kOffWidth = 4;
constexpr uint32_t kOffHeight = 8;
constexpr uint32_t kOffPlanes = 12;
constexpr uint32_t kOffBitsPerPixel = 14;
constexpr uint32_t kOffCompression = 16;
constexpr uint32_t kOffImageSize = 20;
constexpr uint32_t kOffXResolution = 24;
constexpr uint32_t kOffYResolution = 28;
constexpr uint32_t kOffColorsUsed = 32;
constexpr uint32_t kOffColorsImportant = 36;

// Largest value a 32-bit size field can hold. Every file, pixel block and
// palette the modules make stays within it, so no size field ever wraps.
constexpr int64_t kMaxField32 = 0xFFFFFFFFLL;

// Bytes of one stored pixel row: width pixels of bits_per_pixel rounded up to
// whole 32-bit words. In 64 bits, so any 32-bit width and 16-bit depth give
// the exact value.
inline int64_t bmp_row_bytes(int32_t width, uint32_t bits_per_pixel) {
  return (static_cast<int64_t>(width) * bits_per_pixel + 31) / 32 * 4;
}

inline uint16_t le16(const uint8_t* p) {
  return static_cast<uint16_t>(static_cast<uint32_t>(p[0]) | (static_cast<uint32_t>(p[1]) << 8));
}

inline uint32_t le32(const uint8_t* p) {
  return static_cast<uint32_t>(p[0]) | (static_cast<uint32_t>(p[1]) << 8) |
         (static_cast<uint32_t>(p[2]) << 16) | (static_cast<uint32_t>(p[3]) << 24);
}

// Two's complement reinterpretation without relying on implementation-defined casts.
inline int32_t le32s(const uint8_t* p) {
  uint32_t u = le32(p);
  return u <= 0x7FFFFFFFu ? static_cast<int32_t>(u) : -static_cast<int32_t>(~u) - 1;
}

inline void put_le16(uint8_t* p, uint32_t v) {
  p[0] = static_cast<uint8_t>(v & 0xFFu);
  p[1] = static_cast<uint8_t>((v >> 8) & 0xFFu);
}

inline void put_le32(uint8_t* p, uint32_t v) {
  p[0] = static_cast<uint8_t>(v & 0xFFu);
  p[1] = static_cast<uint8_t>((v >> 8) & 0xFFu);
  p[2] = static_cast<uint8_t>((v >> 16) & 0xFFu);
  p[3] = static_cast<uint8_t>((v >> 24) & 0xFFu);
}

#endif  // VORLIN_COMMON_BMP_FORMAT_H
