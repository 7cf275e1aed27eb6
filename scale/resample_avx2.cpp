// The AVX2 kernel set (compiled for AVX2 and BMI2, run only on CPUs with
// both): one pixel's four channels in one register, and the 2-bit sampling
// by bit extract where the CPU runs BMI2's pext quickly. No fused
// multiply-add: contraction is off and every product is its own step.
#include <cstring>

#include "resample_ops.h"

namespace {

struct Avx2Rows {
  typedef double Doubles __attribute__((vector_size(32)));
  typedef uint16_t Words __attribute__((vector_size(32)));
  static constexpr size_t kDoublePack = 4;
  static constexpr size_t kWordPack = 2;
  // Signed then unsigned saturation is the clamp to 0..255.
  static void store_bytes(uint8_t* out, const Doubles v[4]) {
    const __m128i ab = _mm_packs_epi32(_mm256_cvttpd_epi32(v[0]), _mm256_cvttpd_epi32(v[1]));
    const __m128i cd = _mm_packs_epi32(_mm256_cvttpd_epi32(v[2]), _mm256_cvttpd_epi32(v[3]));
    _mm_storeu_si128(reinterpret_cast<__m128i*>(out), _mm_packus_epi16(ab, cd));
  }
  // The pack works within 128-bit halves; the permute puts them in order.
  static void store_high_bytes(uint8_t* out, const Words v[2]) {
    const __m256i bytes = _mm256_packus_epi16(_mm256_srli_epi16((__m256i)v[0], 8),
                                              _mm256_srli_epi16((__m256i)v[1], 8));
    _mm256_storeu_si256(reinterpret_cast<__m256i*>(out), _mm256_permute4x64_epi64(bytes, 0xD8));
  }
};

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

const ResampleBlends kAvx2Blends = blends_over<Avx2Ops, Avx2Rows>();
