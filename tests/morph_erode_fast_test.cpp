// erode_once against erode_once_reference: byte-for-byte equality on random
// images of every size from 1x1 up, with 0, 255 and other values, pass after
// pass.
#include <gtest/gtest.h>

#include <cstring>
#include <random>
#include <string>

#include "erode.h"
#include "gray_image.h"
#include "test_support.h"

namespace {

// Pictures of four kinds: white with sparse black, even black and white,
// black and white with values next to them (1, 254, 128), any byte at all.
GrayImage* random_picture(std::mt19937& rng, int32_t width, int32_t height) {
  GrayImage* image = create_gray_image(width, height);
  const uint8_t near[] = {1, 254, 128};
  int kind = static_cast<int>(rng() % 4);
  size_t size = static_cast<size_t>(width) * static_cast<size_t>(height);
  for (size_t i = 0; i < size; ++i) {
    uint32_t r = rng();
    switch (kind) {
      case 0: image->pixels[i] = r % 16 == 0 ? 0 : 255; break;
      case 1: image->pixels[i] = r % 2 == 0 ? 0 : 255; break;
      case 2: image->pixels[i] = r % 5 < 2 ? 0 : (r % 5 < 4 ? 255 : near[(r >> 8) % 3]); break;
      default: image->pixels[i] = static_cast<uint8_t>(r >> 8); break;
    }
  }
  return image;
}

::testing::AssertionResult same_pixels(const GrayImage* fast, const GrayImage* reference) {
  if (fast == nullptr || reference == nullptr) {
    return ::testing::AssertionFailure() << "no image";
  }
  if (fast->width != reference->width || fast->height != reference->height) {
    return ::testing::AssertionFailure() << "size differs";
  }
  size_t size = static_cast<size_t>(fast->width) * static_cast<size_t>(fast->height);
  for (size_t i = 0; i < size; ++i) {
    if (fast->pixels[i] != reference->pixels[i]) {
      return ::testing::AssertionFailure()
             << "pixel (" << i % static_cast<size_t>(fast->width) << ", "
             << i / static_cast<size_t>(fast->width) << ") is " << int(fast->pixels[i])
             << ", the reference has " << int(reference->pixels[i]);
    }
  }
  return ::testing::AssertionSuccess();
}

// Every kernel set this CPU runs against the reference, on one source.
::testing::AssertionResult all_kernels_match(const GrayImage* source, const GrayImage* reference) {
  for (int kernels : {kErodePortable, kErodeSse2, kErodeAvx2}) {
    if (!erode_kernels_available(kernels)) continue;
    GrayImage* fast = erode_once_with(source, kernels);
    ::testing::AssertionResult same = same_pixels(fast, reference);
    free_gray_image(fast);
    if (!same) return same << " (kernels " << kernels << ")";
  }
  return ::testing::AssertionSuccess();
}

TEST(ErodeFast, PortableKernelsAreAlwaysThere) {
  EXPECT_TRUE(erode_kernels_available(kErodePortable));
  EXPECT_FALSE(erode_kernels_available(99));
}

TEST(ErodeFast, MatchesReferenceOnRandomPictures) {
  std::mt19937 rng(20240612);
  const int kCases = 10000;
  for (int n = 0; n < kCases; ++n) {
    GrayImage* source = random_picture(rng, random_size(rng, 300), random_size(rng, 300));
    // Up to three chained passes, each fed the fast result.
    int passes = 1 + static_cast<int>(rng() % 3);
    for (int k = 0; k < passes && !HasFailure(); ++k) {
      GrayImage* fast = erode_once(source);
      GrayImage* reference = erode_once_reference(source);
      EXPECT_TRUE(same_pixels(fast, reference))
          << "case " << n << ", pass " << k + 1 << ": " << source->width << "x" << source->height;
      EXPECT_TRUE(all_kernels_match(source, reference))
          << "case " << n << ", pass " << k + 1 << ": " << source->width << "x" << source->height;
      free_gray_image(reference);
      free_gray_image(source);
      source = fast;
    }
    free_gray_image(source);
    if (HasFailure()) break;  // one report is enough to start from
  }
}

// Widths around the 16- and 32-pixel steps and the thinnest images, all sizes.
TEST(ErodeFast, MatchesReferenceAroundBlockWidths) {
  std::mt19937 rng(3);
  for (int32_t width = 1; width <= 99; ++width) {
    for (int32_t height = 1; height <= 5; ++height) {
      GrayImage* source = random_picture(rng, width, height);
      GrayImage* fast = erode_once(source);
      GrayImage* reference = erode_once_reference(source);
      EXPECT_TRUE(same_pixels(fast, reference)) << width << "x" << height;
      EXPECT_TRUE(all_kernels_match(source, reference)) << width << "x" << height;
      free_gray_image(fast);
      free_gray_image(reference);
      free_gray_image(source);
    }
  }
}

// Pictures of several megabytes, wider than the prefetch distance.
TEST(ErodeFast, MatchesReferenceOnLargePictures) {
  std::mt19937 rng(5);
  const int32_t sizes[][2] = {{2053, 2049}, {4096, 1100}};
  for (const auto& size : sizes) {
    GrayImage* source = random_picture(rng, size[0], size[1]);
    GrayImage* fast = erode_once(source);
    GrayImage* reference = erode_once_reference(source);
    EXPECT_TRUE(same_pixels(fast, reference)) << size[0] << "x" << size[1];
    EXPECT_TRUE(all_kernels_match(source, reference)) << size[0] << "x" << size[1];
    free_gray_image(fast);
    free_gray_image(reference);
    free_gray_image(source);
  }
}

}  // namespace
