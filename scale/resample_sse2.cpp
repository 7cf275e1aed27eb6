// The SSE2 kernel set: every 64-bit x86 CPU has it. One pixel's four
// channels in two registers of two doubles; x86 is little-endian, so a
// pixel's bytes load and store as one 32-bit word.
#include <emmintrin.h>

#include <cstring>

#include "resample_ops.h"

namespace {

typedef double Doubles2 __attribute__((vector_size(16)));

template <int N>
struct Sse2Ops : HalvesOps<Doubles2> {
  static Vec load(const uint8_t* p) {
    int32_t w;
    memcpy(&w, p, 4);
    const __m128i zero = _mm_setzero_si128();
    const __m128i d = _mm_unpacklo_epi16(_mm_unpacklo_epi8(_mm_cvtsi32_si128(w), zero), zero);
    return {_mm_cvtepi32_pd(d), _mm_cvtepi32_pd(_mm_shuffle_epi32(d, _MM_SHUFFLE(3, 2, 3, 2)))};
  }
  // The pixel's channels against its right neighbour's, interleaved as
  // 16-bit pairs and multiplied by the weight pair: madd adds each pair's
  // two products, c00 (16 - a) + c10 a for all four channels in one step.
  static void blend_pixel(uint16_t* h, const uint8_t* p, uint32_t w) {
    int32_t left;
    int32_t right;
    memcpy(&left, p, 4);
    memcpy(&right, p + N, 4);
    const __m128i pairs = _mm_unpacklo_epi8(
        _mm_unpacklo_epi8(_mm_cvtsi32_si128(left), _mm_cvtsi32_si128(right)), _mm_setzero_si128());
    const __m128i sums = _mm_madd_epi16(pairs, _mm_set1_epi32(static_cast<int32_t>(w)));
    _mm_storel_epi64(reinterpret_cast<__m128i*>(h), _mm_packs_epi32(sums, sums));
  }
};

struct Sse2Rows {
  using Doubles = Doubles2;
  typedef uint16_t Words __attribute__((vector_size(16)));
  static constexpr size_t kDoublePack = 4;
  static constexpr size_t kWordPack = 2;
  // Signed then unsigned saturation is the clamp to 0..255.
  static void store_bytes(uint8_t* out, const Doubles v[4]) {
    const __m128i ab = _mm_unpacklo_epi64(_mm_cvttpd_epi32(v[0]), _mm_cvttpd_epi32(v[1]));
    const __m128i cd = _mm_unpacklo_epi64(_mm_cvttpd_epi32(v[2]), _mm_cvttpd_epi32(v[3]));
    const __m128i w = _mm_packs_epi32(ab, cd);
    _mm_storel_epi64(reinterpret_cast<__m128i*>(out), _mm_packus_epi16(w, w));
  }
  static void store_high_bytes(uint8_t* out, const Words v[2]) {
    const __m128i bytes =
        _mm_packus_epi16(_mm_srli_epi16((__m128i)v[0], 8), _mm_srli_epi16((__m128i)v[1], 8));
    _mm_storeu_si128(reinterpret_cast<__m128i*>(out), bytes);
  }
};

}  // namespace

const ResampleBlends kSse2Blends = blends_over<Sse2Ops, Sse2Rows>();
