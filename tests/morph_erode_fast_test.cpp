// erode_once and erode_passes against erode_once_reference: byte-for-byte
// equality on random images of every size from 1x1 up, with 0, 255 and other
// values, pass after pass, on every kernel set this CPU runs; and each set's
// 24-bit threshold row against the portable one.
#include <gtest/gtest.h>

#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "erode.h"
#include "gray_image.h"
#include "test_support.h"

namespace {

// Pictures of four kinds: white with sparse black, even black and white,
// black and white with values next to them (1, 254, 128), any byte at all.
GrayImage* random_picture(std::mt19937& rng, int32_t width, int32_t height) {
  GrayImage* image = new_gray_image(width, height);
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
  for (size_t s = 0; s < kErodeKernelSetCount; ++s) {
    const ErodeKernelSet& set = kErodeKernelSets[s];
    if (!set.available()) continue;
    GrayImage* fast = erode_once_with(source, set);
    ::testing::AssertionResult same = same_pixels(fast, reference);
    free_gray_image(fast);
    if (!same) return same << " (kernels " << set.name << ")";
  }
  return ::testing::AssertionSuccess();
}

TEST(ErodeFast, TheTableEndsWithThePortableSetAndTheBestIsTheFirstAvailable) {
  ASSERT_GT(kErodeKernelSetCount, 0u);
  const ErodeKernelSet& last = kErodeKernelSets[kErodeKernelSetCount - 1];
  EXPECT_EQ(last.id, ErodeKernelId::kPortable);
  EXPECT_TRUE(last.available());
  size_t first = 0;
  while (!kErodeKernelSets[first].available()) ++first;
  EXPECT_EQ(&best_erode_kernel_set(), &kErodeKernelSets[first]);
  for (size_t s = 0; s + 1 < kErodeKernelSetCount; ++s) {
    EXPECT_STRNE(kErodeKernelSets[s].name, last.name);
    EXPECT_GT(kErodeKernelSets[s].id, kErodeKernelSets[s + 1].id) << "best first";
  }
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

// ------------------------------------------------ many passes in place

GrayImage* copy_of(const GrayImage* image) {
  GrayImage* copy = new_gray_image(image->width, image->height);
  memcpy(copy->pixels, image->pixels,
         static_cast<size_t>(image->width) * static_cast<size_t>(image->height));
  return copy;
}

// chain[k]: the source after k chained reference passes, k = 0 ... passes.
std::vector<GrayImage*> reference_chain(const GrayImage* source, int32_t passes) {
  std::vector<GrayImage*> chain = {copy_of(source)};
  bool still = false;
  for (int32_t k = 1; k <= passes; ++k) {
    // Once a pass changes nothing, every later one gives the same image.
    chain.push_back(still ? copy_of(chain.back()) : erode_once_reference(chain.back()));
    still = still || same_pixels(chain[chain.size() - 2], chain.back());
  }
  return chain;
}

void free_chain(std::vector<GrayImage*>& chain) {
  for (GrayImage* image : chain) free_gray_image(image);
  chain.clear();
}

void record_pass(int32_t pass, void* context) {
  static_cast<std::vector<int32_t>*>(context)->push_back(pass);
}

const int32_t kPassCounts[] = {1, 2, 3, 7, 64, 100};

// erode_passes on a copy of the source with every kernel set, all passes in
// one sweep and in sweeps of 3, against chain (as made by reference_chain):
// the same pixels, and every pass reported once, in order.
::testing::AssertionResult passes_match_chain(const GrayImage* source,
                                              const std::vector<GrayImage*>& chain) {
  for (int32_t passes : kPassCounts) {
    if (static_cast<size_t>(passes) >= chain.size()) break;
    std::vector<int32_t> all(static_cast<size_t>(passes));
    for (int32_t k = 1; k <= passes; ++k) all[static_cast<size_t>(k - 1)] = k;
    for (size_t s = 0; s < kErodeKernelSetCount; ++s) {
      const ErodeKernelSet& set = kErodeKernelSets[s];
      if (!set.available()) continue;
      for (int32_t levels : {passes, 3}) {
        GrayImage* image = copy_of(source);
        std::vector<int32_t> reported;
        bool done = erode_passes_with(image, passes, set, levels, record_pass, &reported);
        ::testing::AssertionResult same = same_pixels(image, chain[static_cast<size_t>(passes)]);
        free_gray_image(image);
        if (!done) same = ::testing::AssertionFailure() << "not done";
        if (same && reported != all)
          same = ::testing::AssertionFailure() << "passes reported out of turn";
        if (!same) {
          return same << " (" << passes << " passes, " << levels << " a sweep, kernels " << set.name
                      << ")";
        }
      }
    }
  }
  return ::testing::AssertionSuccess();
}

// Every width up to past two blocks of plane words (1024 pixels is one),
// the thin and short images included, pictures of every kind.
TEST(ErodePasses, MatchChainedReferencePassesAtEveryNarrowSize) {
  std::mt19937 rng(11);
  for (int32_t width = 1; width <= 130; ++width) {
    for (int32_t height = 1; height <= 9; ++height) {
      GrayImage* source = random_picture(rng, width, height);
      std::vector<GrayImage*> chain = reference_chain(source, 100);
      EXPECT_TRUE(passes_match_chain(source, chain)) << width << "x" << height;
      free_chain(chain);
      free_gray_image(source);
      if (HasFailure()) return;  // one report is enough to start from
    }
  }
  // Across the 512-pixel blocks the passes skip and redo.
  for (int32_t width : {511, 512, 513, 1023, 1024, 1025, 1537}) {
    GrayImage* source = random_picture(rng, width, 7);
    std::vector<GrayImage*> chain = reference_chain(source, 100);
    EXPECT_TRUE(passes_match_chain(source, chain)) << width << "x7";
    free_chain(chain);
    free_gray_image(source);
  }
  // A lone black dot in white: its row's front crosses from one block into
  // the next, leftwards and rightwards, with no change above or below there.
  for (int32_t dot : {560, 1000}) {
    for (int32_t height : {3, 5}) {
      GrayImage* source = new_gray_image(1100, height);
      memset(source->pixels, 255, static_cast<size_t>(1100 * height));
      set_gray(source, dot, height / 2, 0);
      std::vector<GrayImage*> chain = reference_chain(source, 100);
      EXPECT_TRUE(passes_match_chain(source, chain)) << "dot at " << dot << ", height " << height;
      free_chain(chain);
      free_gray_image(source);
    }
  }
}

// White blocks that a hundred passes do not wear away, with dots of black and
// of other values inside and on the borders; and a random 0/255 picture that
// stops changing after a few passes.
TEST(ErodePasses, MatchChainedReferencePassesOnLargePictures) {
#if defined(VORLIN_EMULATED_TEST_RUN)
  const int32_t width = 700, height = 300;  // a quarter of the work under emulation
#else
  const int32_t width = 1400, height = 600;
#endif
  std::mt19937 rng(13);
  GrayImage* blocks = new_gray_image(width, height);
  for (int32_t y = 0; y < height; ++y) {
    for (int32_t x = 0; x < width; ++x) {
      const bool white = x % 260 >= 20 && x % 260 < 250 && y % 270 >= 15 && y % 270 < 262;
      uint32_t r = rng();
      uint8_t value = white ? 255 : 0;
      if (r % 20000 == 0) value = 0;
      if (r % 4000 == 1) value = static_cast<uint8_t>(1 + (r >> 12) % 254);
      set_gray(blocks, x, y, value);
    }
  }
  GrayImage* random = new_gray_image(width, height);
  for (int32_t y = 0; y < height; ++y) {
    for (int32_t x = 0; x < width; ++x) set_gray(random, x, y, rng() % 2 == 0 ? 0 : 255);
  }
  std::vector<GrayImage*> chain = reference_chain(blocks, 100);
  EXPECT_FALSE(same_pixels(chain[99], chain[100])) << "the blocks must still wear at pass 100";
  EXPECT_TRUE(passes_match_chain(blocks, chain)) << "blocks";
  free_chain(chain);
  chain = reference_chain(random, 100);
  EXPECT_TRUE(same_pixels(chain[20], chain[21])) << "the random picture must come to rest";
  EXPECT_TRUE(passes_match_chain(random, chain)) << "random";
  free_chain(chain);
  free_gray_image(blocks);
  free_gray_image(random);
}

// A picture too wide for a hundred passes in one sweep of erode_passes's
// scratch: it takes several, and gives what chained erode_once passes give.
TEST(ErodePasses, WidePicturesTakeSeveralSweeps) {
  std::mt19937 rng(17);
  const int32_t sizes[][2] = {{70001, 6}, {200003, 4}};
  for (const auto& size : sizes) {
    GrayImage* source = random_picture(rng, size[0], size[1]);
    const uint32_t count = static_cast<uint32_t>(size[0]) * static_cast<uint32_t>(size[1]);
    for (uint32_t i = 0; i < count / 64; ++i) source->pixels[rng() % count] = 0;
    GrayImage* image = copy_of(source);
    std::vector<int32_t> reported;
    ASSERT_TRUE(erode_passes(image, 100, record_pass, &reported));
    GrayImage* chained = copy_of(source);
    for (int k = 0; k < 100; ++k) {
      GrayImage* next = erode_once(chained);
      free_gray_image(chained);
      chained = next;
    }
    EXPECT_TRUE(same_pixels(image, chained)) << size[0] << "x" << size[1];
    EXPECT_EQ(reported.size(), 100u);
    // Nobody to tell: the same image.
    memcpy(image->pixels, source->pixels, count);
    ASSERT_TRUE(erode_passes(image, 100, nullptr, nullptr));
    EXPECT_TRUE(same_pixels(image, chained)) << size[0] << "x" << size[1] << ", no callback";
    free_gray_image(chained);
    free_gray_image(image);
    free_gray_image(source);
  }
}

}  // namespace

// ------------------------------------------------ the loader's threshold

namespace {

// The first pixel where a set's row differs from the portable row, or width.
size_t first_difference(const uint8_t* got, const uint8_t* expected, size_t width) {
  size_t x = 0;
  while (x < width && got[x] == expected[x]) ++x;
  return x;
}

// Every triple of bytes, as rows of 65536 pixels (blue and green run through
// all pairs) for each red: the portable row follows the rule, and every set
// the CPU runs gives the portable row's bytes.
TEST(ErodeFast, ThresholdRowOnEveryByteTriple) {
  const size_t width = 65536;
  std::vector<uint8_t> bgr(3 * width);
  std::vector<uint8_t> expected(width);
  std::vector<uint8_t> got(width);
  for (uint32_t red = 0; red < 256 && !HasFailure(); ++red) {
    for (size_t x = 0; x < width; ++x) {
      bgr[3 * x] = static_cast<uint8_t>(x);
      bgr[3 * x + 1] = static_cast<uint8_t>(x >> 8);
      bgr[3 * x + 2] = static_cast<uint8_t>(red);
    }
    threshold_row_portable(expected.data(), bgr.data(), width);
    for (size_t x = 0; x < width; ++x) {
      const uint32_t average = ((x & 0xFF) + (x >> 8) + red) / 3;
      if (expected[x] != (average > 128 ? 255 : 0)) {
        ADD_FAILURE() << "portable: (" << (x & 0xFF) << ", " << (x >> 8) << ", " << red
                      << ") gives " << int(expected[x]);
        break;
      }
    }
    for (size_t s = 0; s < kErodeKernelSetCount; ++s) {
      const ErodeKernelSet& set = kErodeKernelSets[s];
      if (!set.available()) continue;
      set.threshold_row(got.data(), bgr.data(), width);
      const size_t x = first_difference(got.data(), expected.data(), width);
      EXPECT_EQ(x, width) << set.name << ": (" << (x & 0xFF) << ", " << (x >> 8) << ", " << red
                          << ") gives " << int(got[x % width]);
    }
  }
}

// Every width up to past a few groups of 16 and 32 pixels (and the last group
// that ends at the row's end), a few long ones, from starts at any byte: each
// row is the exact end of its allocation, so a read past it is a read past
// the block, and bytes past out's width must stay as they were.
TEST(ErodeFast, ThresholdRowAtEveryWidthAndStart) {
  std::mt19937 rng(29);
  std::vector<size_t> widths;
  for (size_t width = 0; width <= 200; ++width) widths.push_back(width);
  for (size_t width : {1023, 1024, 1025, 4096, 4097, 4099}) widths.push_back(width);
  for (size_t width : widths) {
    for (size_t start : {0, 1, 5}) {
      std::vector<uint8_t> bytes(start + 3 * width);
      uint8_t* bgr = bytes.data() + start;
      for (size_t x = 0; x < width; ++x) {
        // Half the pixels within a few of the threshold's sum, 387.
        const uint32_t blue = rng() % 256, green = rng() % 256;
        const int32_t red =
            387 - static_cast<int32_t>(blue + green) + static_cast<int32_t>(rng() % 7) - 3;
        bgr[3 * x] = static_cast<uint8_t>(blue);
        bgr[3 * x + 1] = static_cast<uint8_t>(green);
        bgr[3 * x + 2] = rng() % 2 == 0 && red >= 0 && red <= 255 ? static_cast<uint8_t>(red)
                                                                  : static_cast<uint8_t>(rng());
      }
      std::vector<uint8_t> expected(width + 64, 0xA5);
      threshold_row_portable(expected.data(), bgr, width);
      for (size_t s = 0; s < kErodeKernelSetCount; ++s) {
        const ErodeKernelSet& set = kErodeKernelSets[s];
        if (!set.available()) continue;
        std::vector<uint8_t> got(width + 64, 0xA5);
        set.threshold_row(got.data(), bgr, width);
        EXPECT_EQ(got, expected) << set.name << ", width " << width << ", start " << start
                                 << ": first difference at "
                                 << first_difference(got.data(), expected.data(), width + 64);
      }
      if (HasFailure()) return;  // one report is enough to start from
    }
  }
}

}  // namespace
