// erode_once, and erode_once_reference: the pass written pixel by pixel the
// way it is defined, through the bounds-checked accessors. The fast form
// must match the reference bit for bit; the tests hold them to it.
#include "erode.h"

#include <cstdint>
#include <cstring>

#if defined(__SSE2__) || defined(_M_X64) || (defined(_M_IX86_FP) && _M_IX86_FP >= 2)
#include <emmintrin.h>
#define VORLIN_ERODE_SSE2 1
#endif
// The AVX2 row is compiled with a target attribute and chosen at run time.
#if defined(VORLIN_ERODE_SSE2) && defined(__GNUC__) && !defined(__clang__) && \
    (defined(__x86_64__) || defined(__i386__))
#include <immintrin.h>
#define VORLIN_ERODE_AVX2 1
#endif

namespace {

constexpr int32_t kForeground = 255;
constexpr int32_t kBackground = 0;

// How far ahead in the row below the sweep asks for source bytes: the
// hardware's own prefetch does not look across the rows' page boundaries.
constexpr size_t kPrefetchAhead = 1024;

// The least of a row's four neighbour sets, and the rule applied to 16 pixels.
#if defined(VORLIN_ERODE_SSE2)
inline __m128i erode16(const uint8_t* above, const uint8_t* row, const uint8_t* below, size_t x) {
  const __m128i centre = _mm_loadu_si128(reinterpret_cast<const __m128i*>(row + x));
  const __m128i least =
      _mm_min_epu8(_mm_min_epu8(_mm_loadu_si128(reinterpret_cast<const __m128i*>(above + x)),
                                _mm_loadu_si128(reinterpret_cast<const __m128i*>(below + x))),
                   _mm_min_epu8(_mm_loadu_si128(reinterpret_cast<const __m128i*>(row + x - 1)),
                                _mm_loadu_si128(reinterpret_cast<const __m128i*>(row + x + 1))));
  const __m128i eroded =
      _mm_and_si128(_mm_cmpeq_epi8(centre, _mm_set1_epi8(static_cast<char>(0xFF))),
                    _mm_cmpeq_epi8(least, _mm_setzero_si128()));
  return _mm_andnot_si128(eroded, centre);
}
#endif

#if defined(VORLIN_ERODE_AVX2)
// The same rule on 32 pixels.
__attribute__((target("avx2"))) inline __m256i erode32(const uint8_t* above, const uint8_t* row,
                                                       const uint8_t* below, size_t x) {
  const __m256i centre = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(row + x));
  const __m256i least = _mm256_min_epu8(
      _mm256_min_epu8(_mm256_loadu_si256(reinterpret_cast<const __m256i*>(above + x)),
                      _mm256_loadu_si256(reinterpret_cast<const __m256i*>(below + x))),
      _mm256_min_epu8(_mm256_loadu_si256(reinterpret_cast<const __m256i*>(row + x - 1)),
                      _mm256_loadu_si256(reinterpret_cast<const __m256i*>(row + x + 1))));
  const __m256i eroded =
      _mm256_and_si256(_mm256_cmpeq_epi8(centre, _mm256_set1_epi8(static_cast<char>(0xFF))),
                       _mm256_cmpeq_epi8(least, _mm256_setzero_si256()));
  return _mm256_andnot_si256(eroded, centre);
}
#endif

// One pixel; branch-free, so that compilers can vectorise it without SSE2.
inline uint8_t erode1(const uint8_t* above, const uint8_t* row, const uint8_t* below, size_t x) {
  uint8_t vertical = above[x] < below[x] ? above[x] : below[x];
  uint8_t horizontal = row[x - 1] < row[x + 1] ? row[x - 1] : row[x + 1];
  uint8_t least = vertical < horizontal ? vertical : horizontal;
  uint8_t keep = (row[x] == kForeground && least == kBackground) ? 0x00 : 0xFF;
  return static_cast<uint8_t>(row[x] & keep);
}

// One interior row of the result in one sweep: a pixel of 255 with a 0 above,
// below, left or right becomes 0; every other pixel keeps its value ("a
// neighbour is 0" is "the least of the four is 0"). The row's first and last
// pixels are border pixels: the blocks may compute them from the neighbouring
// rows' bytes (an interior row has rows above and below), and they are put
// back as copies at the end. A row of at least two blocks and its borders is
// done in blocks only: one unaligned block at pixel 1, aligned blocks, one
// unaligned block ending at the last interior pixel. The blocks may overlap;
// each pixel is computed from the source alone, so it is written the same.
// ahead: how many source bytes follow the start of the row below.
// kernels: the instruction set of the blocks (an ErodeKernels value).
void erode_row(uint8_t* out, const uint8_t* above, const uint8_t* row, const uint8_t* below,
               size_t width, size_t ahead, int kernels) {
#if defined(VORLIN_ERODE_SSE2)
  if (kernels == kErodeSse2 && width >= 18) {
    _mm_storeu_si128(reinterpret_cast<__m128i*>(out + 1), erode16(above, row, below, 1));
    // The first aligned block after the one at pixel 1.
    size_t x = (16 - reinterpret_cast<uintptr_t>(out) % 16) % 16;
    if (x == 0) x = 16;
    const size_t first = x;
    // Pixels x .. x + 15 read row[x - 1 .. x + 16].
    for (; x + 16 <= width; x += 16) {
      if (x % 64 == first % 64 && x + kPrefetchAhead < ahead) {
        _mm_prefetch(reinterpret_cast<const char*>(below + x + kPrefetchAhead), _MM_HINT_T0);
      }
      _mm_store_si128(reinterpret_cast<__m128i*>(out + x), erode16(above, row, below, x));
    }
    if (x + 1 < width) {
      _mm_storeu_si128(reinterpret_cast<__m128i*>(out + width - 17),
                       erode16(above, row, below, width - 17));
    }
    out[0] = row[0];
    out[width - 1] = row[width - 1];
    return;
  }
#else
  (void)ahead;
  (void)kernels;
#endif
  for (size_t x = 1; x + 1 < width; ++x) {
    out[x] = erode1(above, row, below, x);
  }
  out[0] = row[0];
  out[width - 1] = row[width - 1];
}

#if defined(VORLIN_ERODE_AVX2)
// erode_row in 32-pixel blocks, laid out the same way; narrower rows go to
// the 16-pixel form.
__attribute__((target("avx2"))) void erode_row_avx2(uint8_t* out, const uint8_t* above,
                                                    const uint8_t* row, const uint8_t* below,
                                                    size_t width, size_t ahead) {
  if (width < 34) {
    erode_row(out, above, row, below, width, ahead, kErodeSse2);
    return;
  }
  _mm256_storeu_si256(reinterpret_cast<__m256i*>(out + 1), erode32(above, row, below, 1));
  size_t x = (32 - reinterpret_cast<uintptr_t>(out) % 32) % 32;
  if (x == 0) x = 32;
  const size_t first = x;
  // Pixels x .. x + 31 read row[x - 1 .. x + 32].
  for (; x + 32 <= width; x += 32) {
    if (x % 64 == first % 64 && x + kPrefetchAhead < ahead) {
      _mm_prefetch(reinterpret_cast<const char*>(below + x + kPrefetchAhead), _MM_HINT_T0);
    }
    _mm256_store_si256(reinterpret_cast<__m256i*>(out + x), erode32(above, row, below, x));
  }
  if (x + 1 < width) {
    _mm256_storeu_si256(reinterpret_cast<__m256i*>(out + width - 33),
                        erode32(above, row, below, width - 33));
  }
  out[0] = row[0];
  out[width - 1] = row[width - 1];
}
#endif

}  // namespace

int erode_kernels_available(int kernels) {
  switch (kernels) {
    case kErodePortable: return 1;
#if defined(VORLIN_ERODE_SSE2)
    case kErodeSse2: return 1;
#endif
#if defined(VORLIN_ERODE_AVX2)
    case kErodeAvx2: return __builtin_cpu_supports("avx2") ? 1 : 0;
#endif
    default: return 0;
  }
}

GrayImage* erode_once(const GrayImage* source) {
  const int kernels = erode_kernels_available(kErodeAvx2)   ? kErodeAvx2
                      : erode_kernels_available(kErodeSse2) ? kErodeSse2
                                                            : kErodePortable;
  return erode_once_with(source, kernels);
}

GrayImage* erode_once_with(const GrayImage* source, int kernels) {
  // Every result byte is written below; a zero fill first would only cost time.
  GrayImage* result = create_gray_image_unfilled(source->width, source->height);
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
      const size_t ahead = (height - y - 1) * width;
#if defined(VORLIN_ERODE_AVX2)
      if (kernels == kErodeAvx2) {
        erode_row_avx2(out, row - width, row, row + width, width, ahead);
        continue;
      }
#endif
      erode_row(out, row - width, row, row + width, width, ahead, kernels);
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
