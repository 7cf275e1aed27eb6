// The AVX2 kernel set (compiled for AVX2 and BMI2, run only on CPUs with
// both): one pixel's four channels in one register, and the 2-bit sampling
// by bit extract where the CPU runs BMI2's pext quickly. No fused
// multiply-add: contraction is off and every product is its own step.
#include <cpuid.h>

#include <cstring>

#include "resample_kernels.h"

namespace {

// Sixteen values truncated and packed to bytes: signed then unsigned
// saturation is the clamp to 0..255.
inline __m128i pack16(const __m256d v[4]) {
  const __m128i ab = _mm_packs_epi32(_mm256_cvttpd_epi32(v[0]), _mm256_cvttpd_epi32(v[1]));
  const __m128i cd = _mm_packs_epi32(_mm256_cvttpd_epi32(v[2]), _mm256_cvttpd_epi32(v[3]));
  return _mm_packus_epi16(ab, cd);
}

// Whether BMI2's bit extract is one quick instruction: on Intel, and on AMD
// from family 19h (earlier AMD parts run it as microcode, slower than the
// lookup tables).
bool probe_bit_extract() {
  unsigned eax = 0;
  unsigned ebx = 0;
  unsigned ecx = 0;
  unsigned edx = 0;
  if (!__get_cpuid(0, &eax, &ebx, &ecx, &edx)) {
    return false;
  }
  // The vendor string's words: "GenuineIntel", "AuthenticAMD".
  const bool intel = ebx == 0x756E6547u && edx == 0x49656E69u && ecx == 0x6C65746Eu;
  const bool amd = ebx == 0x68747541u && edx == 0x69746E65u && ecx == 0x444D4163u;
  if (intel || !amd || !__get_cpuid(1, &eax, &ebx, &ecx, &edx)) {
    return intel;
  }
  unsigned family = (eax >> 8) & 0xFu;
  if (family == 0xFu) {
    family += (eax >> 20) & 0xFFu;
  }
  return family >= 0x19u;
}

// Asked once: cpuid can trap to a hypervisor.
bool bit_extract_is_fast() {
  static const bool fast = probe_bit_extract();
  return fast;
}

// A group of size output pixels from x: the first of the eight source bytes
// it reads, and the bits of those bytes (read big-endian) it takes. False
// when its positions do not strictly grow (an extract cannot repeat a
// pixel) or one lies past the eight bytes.
bool plan_group(const int32_t* x, int32_t size, uint32_t* start, uint64_t* mask) {
  const uint32_t first = static_cast<uint32_t>(x[0]) / 4;
  uint64_t bits = 0;
  for (int32_t q = 0; q < size; ++q) {
    const int64_t d = int64_t{x[q]} - 4 * int64_t{first};
    if (d >= 32 || (q > 0 && x[q] <= x[q - 1])) {
      return false;
    }
    bits |= uint64_t{3} << (62 - 2 * d);
  }
  *start = first;
  *mask = bits;
  return true;
}

// Groups of size pixels from the left while their eight bytes lie in the
// row; 0 when any group does not fit.
int32_t plan_groups(TwoBitPlan* plan, const int32_t* x0, int32_t count, int64_t row_bytes,
                    int32_t size) {
  const int32_t groups = count / size;
  for (int32_t g = 0; g < groups; ++g) {
    const int32_t* x = x0 + g * size;
    if (x[0] / 4 + int64_t{8} > row_bytes) {
      return g;  // starts only grow: the rest of the band is past the row's end too
    }
    if (!plan_group(x, size, &plan->start[g], &plan->mask[g])) {
      return 0;
    }
  }
  return groups;
}

// Each group's pixels extracted in order, the leftmost on top, stored with
// the leftmost first (x86 is little-endian, so the words are swapped).
template <int32_t Size>
void extract_groups(uint8_t* out, const uint8_t* row, const TwoBitPlan& plan) {
  for (int32_t g = 0; g < plan.groups; ++g) {
    uint64_t word;
    memcpy(&word, row + plan.start[g], 8);
    const uint64_t pixels = _pext_u64(__builtin_bswap64(word), plan.mask[g]);
    if (Size == 16) {
      const uint32_t bytes = __builtin_bswap32(static_cast<uint32_t>(pixels));
      memcpy(out + 4 * g, &bytes, 4);
    } else if (Size == 8) {
      const uint16_t bytes = __builtin_bswap16(static_cast<uint16_t>(pixels));
      memcpy(out + 2 * g, &bytes, 2);
    } else {
      out[g] = static_cast<uint8_t>(pixels);
    }
  }
}

}  // namespace

void plan_two_bit_bmi2(TwoBitPlan* plan, const int32_t* x0, int32_t count, int64_t row_bytes) {
  const int32_t sizes[] = {16, 8, 4};
  for (int32_t size : sizes) {
    const int32_t groups =
        bit_extract_is_fast() ? plan_groups(plan, x0, count, row_bytes, size) : 0;
    if (groups > 0) {
      plan->groups = groups;
      plan->group_pixels = size;
      return;
    }
  }
  plan_two_bit_portable(plan, x0, count, row_bytes);
}

void sample_two_bit_bmi2(uint8_t* out, const uint8_t* row, const TwoBitPlan& plan,
                         const int32_t* x0, int32_t count) {
  if (plan.groups == 0) {
    sample_two_bit_portable(out, row, plan, x0, count);
    return;
  }
  switch (plan.group_pixels) {
    case 16: extract_groups<16>(out, row, plan); break;
    case 8: extract_groups<8>(out, row, plan); break;
    default: extract_groups<4>(out, row, plan); break;
  }
  sample_two_bit_pixels(out, row, x0, plan.groups * plan.group_pixels, count);
}

void blend_columns_avx2(double* h, const uint8_t* row, const BlendColumns& c) {
  blend_columns_from<Avx2Ops>(h, row, c, 0);
}

void blend_columns_sixteenths_avx2(uint16_t* h, const uint8_t* row, const BlendColumns& c) {
  blend_columns_sixteenths_from<Avx2Ops>(h, row, c, 0);
}

void blend_rows_avx2(uint8_t* out, const double* h0, const double* h1, double gy, double fy,
                     size_t n) {
  const __m256d g = _mm256_set1_pd(gy);
  const __m256d f = _mm256_set1_pd(fy);
  size_t i = 0;
  for (; i + 16 <= n; i += 16) {
    __m256d v[4];
    for (size_t q = 0; q < 4; ++q) {
      v[q] = _mm256_loadu_pd(h0 + i + 4 * q);
      if (h1 != nullptr) {
        v[q] = _mm256_add_pd(_mm256_mul_pd(v[q], g),
                             _mm256_mul_pd(_mm256_loadu_pd(h1 + i + 4 * q), f));
      }
    }
    _mm_storeu_si128(reinterpret_cast<__m128i*>(out + i), pack16(v));
  }
  blend_rows_from(out, h0, h1, gy, fy, i, n);
}

void blend_rows_sixteenths_avx2(uint8_t* out, const uint16_t* h0, const uint16_t* h1, uint32_t b,
                                size_t n) {
  // At most 65280 (h0 16 when b = 0): no wrap, and the shift is unsigned.
  const __m256i upper = _mm256_set1_epi16(static_cast<int16_t>(16 - b));
  const __m256i lower = _mm256_set1_epi16(static_cast<int16_t>(b));
  size_t i = 0;
  for (; i + 32 <= n; i += 32) {
    __m256i v[2];
    for (size_t q = 0; q < 2; ++q) {
      v[q] = _mm256_mullo_epi16(
          _mm256_loadu_si256(reinterpret_cast<const __m256i*>(h0 + i + 16 * q)), upper);
      if (h1 != nullptr) {
        const __m256i c = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(h1 + i + 16 * q));
        v[q] = _mm256_add_epi16(v[q], _mm256_mullo_epi16(c, lower));
      }
      v[q] = _mm256_srli_epi16(v[q], 8);
    }
    // The pack works within 128-bit halves; the permute puts them in order.
    const __m256i bytes = _mm256_permute4x64_epi64(_mm256_packus_epi16(v[0], v[1]), 0xD8);
    _mm256_storeu_si256(reinterpret_cast<__m256i*>(out + i), bytes);
  }
  blend_rows_sixteenths_from(out, h0, h1, b, i, n);
}
