// erode_once, and erode_once_reference: the pass written pixel by pixel the
// way it is defined, through the bounds-checked accessors. The fast form
// must match the reference bit for bit; the tests hold them to it.
#include "erode.h"

#include <cstdint>
#include <cstring>

namespace {

constexpr int32_t kForeground = 255;
constexpr int32_t kBackground = 0;

}  // namespace

GrayImage* erode_once(const GrayImage* source) {
  return erode_once_with(source, best_erode_kernel_set());
}

GrayImage* erode_once_with(const GrayImage* source, const ErodeKernelSet& kernels) {
  // Every result byte is written below; a zero fill first would only cost time.
  GrayImage* result = new_gray_image_unfilled(source->width, source->height);
  if (result == nullptr) {
    return nullptr;
  }
  // The image was created, so width x height fits.
  const size_t width = static_cast<size_t>(source->width);
  const size_t height = static_cast<size_t>(source->height);
  for (size_t y = 0; y < height; ++y) {
    const uint8_t* row = source->pixels + y * width;
    uint8_t* out = result->pixels + y * width;
    // The outermost rows and columns never change; under 3 of either, none do.
    if (y == 0 || y + 1 == height || width < 3) {
      memcpy(out, row, width);
    } else {
      kernels.erode_row(out, row - width, row, row + width, width, (height - y - 1) * width);
    }
  }
  return result;
}

GrayImage* erode_once_reference(const GrayImage* source) {
  GrayImage* result = new_gray_image(source->width, source->height);
  if (result == nullptr) {
    return nullptr;
  }
  // new_gray_image has checked that this product fits.
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
