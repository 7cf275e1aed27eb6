// erode_once, and erode_once_reference: the pass written pixel by pixel the
// way it is defined, through the bounds-checked accessors. The fast form
// must match the reference bit for bit; the tests hold them to it.
#include "erode.h"

#include <cstring>

#if defined(__SSE2__) || defined(_M_X64) || (defined(_M_IX86_FP) && _M_IX86_FP >= 2)
#include <emmintrin.h>
#define VORLIN_ERODE_SSE2 1
#endif

namespace {

constexpr int32_t kForeground = 255;
constexpr int32_t kBackground = 0;

// One interior row of the result in one sweep: a pixel of 255 with a 0 above,
// below, left or right becomes 0; every other pixel keeps its value. "A
// neighbour is 0" is "the least of the four is 0". The first and last pixels
// of the row are border pixels and are copied.
void erode_row(uint8_t* out, const uint8_t* above, const uint8_t* row, const uint8_t* below,
               size_t width) {
  out[0] = row[0];
  size_t x = 1;
#if defined(VORLIN_ERODE_SSE2)
  const __m128i zero = _mm_setzero_si128();
  const __m128i white = _mm_set1_epi8(static_cast<char>(0xFF));
  // Pixels x .. x + 15 read row[x - 1 .. x + 16]: all inside while x + 16 < width.
  for (; x + 16 < width; x += 16) {
    __m128i centre = _mm_loadu_si128(reinterpret_cast<const __m128i*>(row + x));
    __m128i least = _mm_min_epu8(
        _mm_min_epu8(_mm_loadu_si128(reinterpret_cast<const __m128i*>(above + x)),
                     _mm_loadu_si128(reinterpret_cast<const __m128i*>(below + x))),
        _mm_min_epu8(_mm_loadu_si128(reinterpret_cast<const __m128i*>(row + x - 1)),
                     _mm_loadu_si128(reinterpret_cast<const __m128i*>(row + x + 1))));
    __m128i eroded = _mm_and_si128(_mm_cmpeq_epi8(centre, white), _mm_cmpeq_epi8(least, zero));
    _mm_storeu_si128(reinterpret_cast<__m128i*>(out + x), _mm_andnot_si128(eroded, centre));
  }
#endif
  // Branch-free, so that compilers can vectorise it where there is no SSE2.
  for (; x + 1 < width; ++x) {
    uint8_t vertical = above[x] < below[x] ? above[x] : below[x];
    uint8_t horizontal = row[x - 1] < row[x + 1] ? row[x - 1] : row[x + 1];
    uint8_t least = vertical < horizontal ? vertical : horizontal;
    uint8_t keep = (row[x] == kForeground && least == kBackground) ? 0x00 : 0xFF;
    out[x] = static_cast<uint8_t>(row[x] & keep);
  }
  out[width - 1] = row[width - 1];
}

}  // namespace

GrayImage* erode_once(const GrayImage* source) {
  GrayImage* result = create_gray_image(source->width, source->height);
  if (result == nullptr) {
    return nullptr;
  }
  // create_gray_image has checked that width x height fits.
  const size_t width = static_cast<size_t>(source->width);
  const size_t height = static_cast<size_t>(source->height);
  for (size_t y = 0; y < height; ++y) {
    const uint8_t* row = source->pixels + y * width;
    uint8_t* out = result->pixels + y * width;
    // The outermost rows and columns never change; under 3 of either, nothing does.
    if (y == 0 || y + 1 == height || width < 3) {
      memcpy(out, row, width);
    } else {
      erode_row(out, row - width, row, row + width, width);
    }
  }
  return result;
}

GrayImage* erode_once_reference(const GrayImage* source) {
  GrayImage* result = create_gray_image(source->width, source->height);
  if (result == nullptr) {
    return nullptr;
  }
  // create_gray_image has checked that this product fits.
  size_t size = static_cast<size_t>(static_cast<int64_t>(source->width) * source->height);
  memcpy(result->pixels, source->pixels, size);

  for (int32_t y = 1; y < source->height - 1; ++y) {
    for (int32_t x = 1; x < source->width - 1; ++x) {
      if (gray_at(source, x, y) != kForeground) {
        continue;
      }
      if (gray_at(source, x, y - 1) == kBackground || gray_at(source, x, y + 1) == kBackground ||
          gray_at(source, x - 1, y) == kBackground || gray_at(source, x + 1, y) == kBackground) {
        set_gray(result, x, y, kBackground);
      }
    }
  }
  return result;
}
