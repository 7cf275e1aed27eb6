// The NEON kernel set of 64-bit ARM: 16 pixels, or two plane words, at a
// time; the kernels are those of erode_ops.h. NEON has no byte mask move:
// bits64 and bytes_of_bits go through the bit weights 1, 2, ..., 128 of the
// bytes of a half, gathered by pairwise adds or tested per byte.
#include <arm_neon.h>

#include "erode_ops.h"

namespace {

inline uint8x16_t bit_weights() {
  const uint8x8_t half = vcreate_u8(0x8040201008040201ULL);
  return vcombine_u8(half, half);
}

struct NeonOps : ErodeVectors<16> {
  static constexpr decltype(&erode_row_portable) kNarrowErodeRow = erode_row_portable;

  static Bytes least(Bytes a, Bytes b) { return (Bytes)vminq_u8((uint8x16_t)a, (uint8x16_t)b); }

  static bool any(Words w) { return vmaxvq_u32((uint32x4_t)w) != 0; }

  // Each byte keeps its weight; three rounds of pairwise adds (no two
  // weights of a sum collide) leave byte k as the bits of pixels 8k to 8k + 7.
  static uint64_t bits64(const Bytes* flags) {
    const uint8x16_t weights = bit_weights();
    const uint8x16_t a = vandq_u8((uint8x16_t)flags[0], weights);
    const uint8x16_t b = vandq_u8((uint8x16_t)flags[1], weights);
    const uint8x16_t c = vandq_u8((uint8x16_t)flags[2], weights);
    const uint8x16_t d = vandq_u8((uint8x16_t)flags[3], weights);
    const uint8x16_t sums = vpaddq_u8(vpaddq_u8(a, b), vpaddq_u8(c, d));
    return vgetq_lane_u64(vreinterpretq_u64_u8(vpaddq_u8(sums, sums)), 0);
  }

  static Bytes bytes_of_bits(uint32_t mask) {
    const uint8x16_t spread = vcombine_u8(vdup_n_u8(static_cast<uint8_t>(mask)),
                                          vdup_n_u8(static_cast<uint8_t>(mask >> 8)));
    return (Bytes)vtstq_u8(spread, bit_weights());
  }

  // vld3q_u8 parts the 16 pixels' blue, green and red bytes, reading just
  // their 48: no group reads outside its pixels.
  static constexpr size_t kThresholdMinWidth = 16;
  static constexpr decltype(&threshold_row_portable) kNarrowThreshold = threshold_row_portable;
  static Bytes threshold(const uint8_t* bgr, size_t /*skip*/) {
    const uint8x16x3_t p = vld3q_u8(bgr);
    const uint16x8_t low =
        vaddw_u8(vaddl_u8(vget_low_u8(p.val[0]), vget_low_u8(p.val[1])), vget_low_u8(p.val[2]));
    const uint16x8_t high = vaddw_high_u8(vaddl_high_u8(p.val[0], p.val[1]), p.val[2]);
    const uint16x8_t least = vdupq_n_u16(kLeastWhiteSum - 1);
    return (Bytes)vcombine_u8(vmovn_u16(vcgtq_u16(low, least)), vmovn_u16(vcgtq_u16(high, least)));
  }
};

}  // namespace

void erode_row_neon(uint8_t* out, const uint8_t* above, const uint8_t* row, const uint8_t* below,
                    size_t width, size_t ahead) {
  erode_row_with<NeonOps>(out, above, row, below, width, ahead);
}

bool pack_row_neon(uint64_t* black, uint64_t* erodable, const uint8_t* row, size_t width) {
  return pack_row_with<NeonOps>(black, erodable, row, width);
}

ErodeSpan erode_bits_neon(uint64_t* out, const uint64_t* above, const uint64_t* row,
                          const uint64_t* below, const uint64_t* erodable, ErodeSpan blocks) {
  return erode_bits_with<NeonOps>(out, above, row, below, erodable, blocks);
}

void clear_eroded_neon(uint8_t* row, const uint64_t* black, const uint64_t* erodable,
                       size_t width) {
  clear_eroded_with<NeonOps>(row, black, erodable, width);
}

void threshold_row_neon(uint8_t* out, const uint8_t* bgr, size_t width) {
  threshold_row_with<NeonOps>(out, bgr, width);
}
