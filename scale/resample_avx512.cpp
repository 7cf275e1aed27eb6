// The AVX-512 kernel set (F, BW, DQ and VL; run only on CPUs with all four).
// A source row is blended across a band sixteen values at a time: the 32
// bytes of a window, widened to words, give every value's two samples in
// one permute, which the weights of the integer blend, or of the double
// blend of three channels, then combine. Columns past the planned windows,
// and four channels in doubles (a pixel fills a register: the permutes cost
// more than they save), go pixel by pixel as in AVX2. Rows of values blend
// sixteen doubles or 32 words a step. No fused multiply-add: contraction is
// off and every product is its own step.

// GCC 12's AVX-512 intrinsics start from a self-initialised "undefined"
// vector, which -Wmaybe-uninitialized reports at every use (GCC bug 105593).
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#endif

#include "resample_ops.h"

namespace {

// Window w's left samples (words 0..15) and right samples (words 16..31).
inline __m512i window_samples(const uint8_t* row, const BlendColumns& c, int32_t w) {
  const __m256i* at = reinterpret_cast<const __m256i*>(row + c.window[w]);
  const __m512i picks = _mm512_loadu_si512(c.picks + 2 * kWindowValues * w);
  return _mm512_permutexvar_epi16(picks, _mm512_cvtepu8_epi16(_mm256_loadu_si256(at)));
}

// Eight words as doubles.
inline __m512d to_doubles(__m128i words) {
  return _mm512_cvtepi32_pd(_mm256_cvtepu16_epi32(words));
}

// (c00 gx) + (c10 fx) for eight values, gx = 1 - fx.
inline __m512d blend_pair(__m128i c00, __m128i c10, const double* fx) {
  const __m512d f = _mm512_loadu_pd(fx);
  const __m512d g = _mm512_sub_pd(_mm512_set1_pd(1.0), f);
  return _mm512_add_pd(_mm512_mul_pd(to_doubles(c00), g), _mm512_mul_pd(to_doubles(c10), f));
}

struct Avx512Rows {
  typedef double Doubles __attribute__((vector_size(64)));
  typedef uint16_t Words __attribute__((vector_size(64)));
  static constexpr size_t kDoublePack = 2;
  static constexpr size_t kWordPack = 1;
  // Clamped to 0 first, then by unsigned saturation to 255.
  static void store_bytes(uint8_t* out, const Doubles v[2]) {
    const __m512i t = _mm512_inserti64x4(_mm512_castsi256_si512(_mm512_cvttpd_epi32(v[0])),
                                         _mm512_cvttpd_epi32(v[1]), 1);
    _mm_storeu_si128(reinterpret_cast<__m128i*>(out),
                     _mm512_cvtusepi32_epi8(_mm512_max_epi32(t, _mm512_setzero_si512())));
  }
  static void store_high_bytes(uint8_t* out, const Words v[1]) {
    _mm256_storeu_si256(reinterpret_cast<__m256i*>(out),
                        _mm512_cvtepi16_epi8(_mm512_srli_epi16((__m512i)v[0], 8)));
  }
};

void blend_columns_avx512(double* h, const uint8_t* row, const BlendColumns& c) {
  const BlendColumns plan = c;  // a local: the stores may alias anything
  for (int32_t w = 0; w < plan.windows; ++w) {
    const __m512i s = window_samples(row, plan, w);
    const double* fx = plan.value_fx + w * kWindowValues;
    double* to = h + w * kWindowValues;
    _mm512_storeu_pd(to,
                     blend_pair(_mm512_castsi512_si128(s), _mm512_extracti32x4_epi32(s, 2), fx));
    _mm512_storeu_pd(to + 8, blend_pair(_mm512_extracti32x4_epi32(s, 1),
                                        _mm512_extracti32x4_epi32(s, 3), fx + 8));
  }
  blend_columns_from<Avx2Ops>(h, row, c, c.windows * kWindowValues / c.channels);
}

void blend_columns_sixteenths_avx512(uint16_t* h, const uint8_t* row, const BlendColumns& c) {
  const BlendColumns plan = c;  // a local: the stores may alias anything
  for (int32_t w = 0; w < plan.windows; ++w) {
    const __m512i weights = _mm512_loadu_si512(plan.value_weights + 2 * kWindowValues * w);
    const __m512i products = _mm512_mullo_epi16(window_samples(row, plan, w), weights);
    const __m256i sums =
        _mm256_add_epi16(_mm512_castsi512_si256(products), _mm512_extracti64x4_epi64(products, 1));
    _mm256_storeu_si256(reinterpret_cast<__m256i*>(h + w * kWindowValues), sums);
  }
  blend_columns_sixteenths_from<Avx2Ops>(h, row, c, c.windows * kWindowValues / c.channels);
}

}  // namespace

const ResampleBlends kAvx512Blends = {blend_columns_avx512, blend_columns_sixteenths_avx512,
                                      blend_rows_over<Avx512Rows>,
                                      blend_rows_sixteenths_over<Avx512Rows>};
