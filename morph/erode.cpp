// erode_once, written pixel by pixel the way the pass is defined, so that it
// can serve as the reference any faster form must match bit for bit.
#include "erode.h"

#include <cstring>

namespace {

constexpr int32_t kForeground = 255;
constexpr int32_t kBackground = 0;

}  // namespace

GrayImage* erode_once(const GrayImage* source) {
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
