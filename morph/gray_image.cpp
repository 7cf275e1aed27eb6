// GrayImage: creation, release and bounds-checked pixel access.
#include "gray_image.h"

#include <cstdlib>

#include "bmp_format.h"

namespace {

bool inside(const GrayImage* image, int32_t x, int32_t y) {
  return x >= 0 && x < image->width && y >= 0 && y < image->height;
}

size_t offset_of(const GrayImage* image, int32_t x, int32_t y) {
  return static_cast<size_t>(static_cast<int64_t>(y) * image->width + x);
}

}  // namespace

namespace {

GrayImage* new_gray_image_with(int32_t width, int32_t height, bool zero_filled) {
  // Each sign on its own: a negative width times a negative height must not
  // pass as a positive size. Zero-sized images are refused too: there is
  // nothing to erode and nothing a BMP could show.
  if (width < 1 || height < 1) {
    return nullptr;
  }
  int64_t size = static_cast<int64_t>(width) * height;
  if (size > kMaxField32 || static_cast<uint64_t>(size) > SIZE_MAX) {
    return nullptr;
  }
  GrayImage* image = static_cast<GrayImage*>(malloc(sizeof(GrayImage)));
  if (image == nullptr) {
    return nullptr;
  }
  image->pixels = static_cast<uint8_t*>(zero_filled ? calloc(static_cast<size_t>(size), 1)
                                                    : malloc(static_cast<size_t>(size)));
  if (image->pixels == nullptr) {
    free(image);
    return nullptr;
  }
  image->width = width;
  image->height = height;
  return image;
}

}  // namespace

GrayImage* new_gray_image(int32_t width, int32_t height) {
  return new_gray_image_with(width, height, true);
}

GrayImage* new_gray_image_unfilled(int32_t width, int32_t height) {
  return new_gray_image_with(width, height, false);
}

void free_gray_image(GrayImage* image) {
  if (image == nullptr) {
    return;
  }
  free(image->pixels);
  free(image);
}

int32_t gray_at(const GrayImage* image, int32_t x, int32_t y) {
  if (!inside(image, x, y)) {
    return 0;
  }
  return image->pixels[offset_of(image, x, y)];
}

void set_gray(GrayImage* image, int32_t x, int32_t y, int32_t value) {
  if (inside(image, x, y)) {
    image->pixels[offset_of(image, x, y)] = static_cast<uint8_t>(value & 0xFF);
  }
}
