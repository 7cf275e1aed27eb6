// The AVX2 kernel set: 32 pixels, or 256 bits of a plane, at a time. Every
// function carries its target, so GCC and clang build it without
// instruction-set flags for the file, and nothing here is an inline function
// that code for other CPUs could end up calling.
#include <immintrin.h>

#include "erode_kernels.h"

#define VORLIN_AVX2 __attribute__((target("avx2")))

namespace {

constexpr size_t kPrefetchAhead = 1024;

// The rule on 32 pixels.
VORLIN_AVX2 inline __m256i erode32(const uint8_t* above, const uint8_t* row, const uint8_t* below,
                                   size_t x) {
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

VORLIN_AVX2 inline uint64_t bits_of(__m256i bytes) {
  return static_cast<uint32_t>(_mm256_movemask_epi8(bytes));
}

// The black and 255 bits of 64 pixels.
VORLIN_AVX2 inline void pack64(uint64_t* black, uint64_t* white, const uint8_t* pixels) {
  const __m256i low = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(pixels));
  const __m256i high = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(pixels + 32));
  const __m256i zero = _mm256_setzero_si256();
  const __m256i full = _mm256_set1_epi8(static_cast<char>(0xFF));
  *black = bits_of(_mm256_cmpeq_epi8(low, zero)) | bits_of(_mm256_cmpeq_epi8(high, zero)) << 32;
  *white = bits_of(_mm256_cmpeq_epi8(low, full)) | bits_of(_mm256_cmpeq_epi8(high, full)) << 32;
}

constexpr int kLeastWhiteSum = 3 * (kWhiteAverage + 1);

// Four pixels of each 16-byte half (window), from byte skip on, each moved
// into a 32-bit lane of its own with a zero fourth byte.
VORLIN_AVX2 inline __m256i pixel_lanes(char skip) {
  const char z = static_cast<char>(0x80);  // a shuffle index that gives 0
  return _mm256_setr_epi8(skip, skip + 1, skip + 2, z, skip + 3, skip + 4, skip + 5, z, skip + 6,
                          skip + 7, skip + 8, z, skip + 9, skip + 10, skip + 11, z, skip, skip + 1,
                          skip + 2, z, skip + 3, skip + 4, skip + 5, z, skip + 6, skip + 7,
                          skip + 8, z, skip + 9, skip + 10, skip + 11, z);
}

// The sums of the four pixels of the window at low and of the one at high,
// as 32-bit lanes: byte pairs added to 16 bits (blue + green, red + 0),
// then those pairs.
VORLIN_AVX2 inline __m256i sums8(const uint8_t* low, const uint8_t* high, __m256i lanes) {
  const __m256i windows = _mm256_inserti128_si256(
      _mm256_castsi128_si256(_mm_loadu_si128(reinterpret_cast<const __m128i*>(low))),
      _mm_loadu_si128(reinterpret_cast<const __m128i*>(high)), 1);
  const __m256i pixels = _mm256_shuffle_epi8(windows, lanes);
  return _mm256_madd_epi16(_mm256_maddubs_epi16(pixels, _mm256_set1_epi8(1)), _mm256_set1_epi16(1));
}

// 32 pixels from bgr as 255 or 0; the windows of four pixels start skip
// bytes before the pixels, which lanes skips again. The instructions pack
// within each 128-bit half, so the low half gathers pixels 0 to 15 and the
// high half pixels 16 to 31, and the bytes come out in order.
VORLIN_AVX2 inline __m256i threshold32(const uint8_t* bgr, __m256i lanes, size_t skip) {
  const uint8_t* w = bgr - skip;
  const __m256i least = _mm256_set1_epi16(kLeastWhiteSum - 1);
  // Sums of at most 765 keep their value when packed to 16 bits.
  const __m256i low = _mm256_packs_epi32(sums8(w, w + 48, lanes), sums8(w + 12, w + 60, lanes));
  const __m256i high =
      _mm256_packs_epi32(sums8(w + 24, w + 72, lanes), sums8(w + 36, w + 84, lanes));
  return _mm256_packs_epi16(_mm256_cmpgt_epi16(low, least), _mm256_cmpgt_epi16(high, least));
}

// 0xFF in each byte whose bit of the 32-bit mask is set.
VORLIN_AVX2 inline __m256i bytes_of_bits(uint32_t mask) {
  const __m256i spread = _mm256_shuffle_epi8(
      _mm256_set1_epi32(static_cast<int>(mask)),
      _mm256_setr_epi64x(0, 0x0101010101010101LL, 0x0202020202020202LL, 0x0303030303030303LL));
  const __m256i bits = _mm256_set1_epi64x(static_cast<long long>(0x8040201008040201ULL));
  return _mm256_cmpeq_epi8(_mm256_and_si256(spread, bits), bits);
}

}  // namespace

// erode_row in 32-pixel blocks, laid out as the SSE2 row is; narrower rows
// go to the 16-pixel form.
VORLIN_AVX2 void erode_row_avx2(uint8_t* out, const uint8_t* above, const uint8_t* row,
                                const uint8_t* below, size_t width, size_t ahead) {
  if (width < 34) {
    erode_row_sse2(out, above, row, below, width, ahead);
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

VORLIN_AVX2 bool pack_row_avx2(uint64_t* black, uint64_t* erodable, const uint8_t* row,
                               size_t width) {
  const size_t whole = width / 64;
  __m256i any = _mm256_setzero_si256();
  for (size_t j = 0; j < whole; ++j) {
    pack64(&black[j], &erodable[j], row + 64 * j);
  }
  const size_t words = (width + 63) / 64;
  if (words > whole) {
    alignas(32) uint8_t tail[64];
    for (size_t i = 0; i < 64; ++i) tail[i] = 1;  // neither 0 nor 255
    for (size_t i = 64 * whole; i < width; ++i) tail[i - 64 * whole] = row[i];
    pack64(&black[whole], &erodable[whole], tail);
  }
  const size_t padded = finish_planes(black, erodable, words, width);
  for (size_t j = 0; j < padded; j += 4) {
    any = _mm256_or_si256(any, _mm256_load_si256(reinterpret_cast<const __m256i*>(erodable + j)));
  }
  return !_mm256_testz_si256(any, any);
}

VORLIN_AVX2 ErodeSpan erode_bits_avx2(uint64_t* out, const uint64_t* above, const uint64_t* row,
                                      const uint64_t* below, const uint64_t* erodable,
                                      ErodeSpan blocks) {
  ErodeSpan changed = kErodeNoBlocks;
  for (uint32_t b = blocks.first; b < blocks.end; ++b) {
    const size_t block = size_t{b} * kErodeBlockWords;
    __m256i differ = _mm256_setzero_si256();
    for (size_t j = block; j < block + kErodeBlockWords; j += 4) {
      const __m256i mid = _mm256_load_si256(reinterpret_cast<const __m256i*>(row + j));
      const __m256i before = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(row + j - 1));
      const __m256i after = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(row + j + 1));
      const __m256i left =
          _mm256_or_si256(_mm256_slli_epi64(mid, 1), _mm256_srli_epi64(before, 63));
      const __m256i right =
          _mm256_or_si256(_mm256_srli_epi64(mid, 1), _mm256_slli_epi64(after, 63));
      const __m256i vertical =
          _mm256_or_si256(_mm256_load_si256(reinterpret_cast<const __m256i*>(above + j)),
                          _mm256_load_si256(reinterpret_cast<const __m256i*>(below + j)));
      const __m256i touched = _mm256_or_si256(vertical, _mm256_or_si256(left, right));
      const __m256i eroded = _mm256_andnot_si256(
          mid, _mm256_and_si256(_mm256_load_si256(reinterpret_cast<const __m256i*>(erodable + j)),
                                touched));
      _mm256_store_si256(reinterpret_cast<__m256i*>(out + j), _mm256_or_si256(mid, eroded));
      differ = _mm256_or_si256(differ, eroded);
    }
    changed = erode_span_with(changed, b, !_mm256_testz_si256(differ, differ));
  }
  return changed;
}

VORLIN_AVX2 void clear_eroded_avx2(uint8_t* row, const uint64_t* black, const uint64_t* erodable,
                                   size_t width) {
  const size_t words = (width + 63) / 64;
  for (size_t j = 0; j < words; ++j) {
    const uint64_t eroded = black[j] & erodable[j];
    if (eroded == 0) continue;
    const size_t start = 64 * j;
    if (start + 64 > width) {  // the last part word: no full vectors past the width
      clear_eroded_portable(row + start, &black[j], &erodable[j], width - start);
      continue;
    }
    for (size_t i = 0; i < 2; ++i) {
      const uint32_t mask = static_cast<uint32_t>(eroded >> (32 * i));
      if (mask == 0) continue;
      __m256i* at = reinterpret_cast<__m256i*>(row + start + 32 * i);
      _mm256_storeu_si256(at, _mm256_andnot_si256(bytes_of_bits(mask), _mm256_loadu_si256(at)));
    }
  }
}

// threshold_row in groups of 32 pixels, laid out as the SSSE3 row is (the
// first group's windows read past its pixels, the later ones before them);
// narrower rows go to the 16-pixel form. A 512-bit form measured slower on
// an AVX-512 CPU (its gathers cost more than they save), so the AVX-512 set
// runs this one too.
VORLIN_AVX2 void threshold_row_avx2(uint8_t* out, const uint8_t* bgr, size_t width) {
  if (width < 34) {  // the first group reads 100 bytes
    threshold_row_ssse3(out, bgr, width);
    return;
  }
  _mm256_storeu_si256(reinterpret_cast<__m256i*>(out), threshold32(bgr, pixel_lanes(0), 0));
  const __m256i lanes = pixel_lanes(4);
  size_t x = 32;
  for (; x + 32 <= width; x += 32) {
    _mm256_storeu_si256(reinterpret_cast<__m256i*>(out + x), threshold32(bgr + 3 * x, lanes, 4));
  }
  if (x < width) {
    x = width - 32;
    _mm256_storeu_si256(reinterpret_cast<__m256i*>(out + x), threshold32(bgr + 3 * x, lanes, 4));
  }
}
