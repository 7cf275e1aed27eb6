// The NEON kernel set: every 64-bit ARM CPU has it. One pixel's four
// channels in two registers of two doubles, as in SSE2; rows of values two
// doubles or eight words to a register. AArch64 is little-endian, so a
// pixel's bytes load as one 32-bit word. No fused multiply-add: every
// product is its own multiply (vmulq, or the vector operator) and every sum
// its own add (never vfmaq or vmlaq), and contraction is off. The 2-bit
// plan is the portable one.
#include <arm_neon.h>

#include <cstring>

#include "resample_ops.h"

namespace {

// The four bytes at p, widened to 16 bits (lanes 4..7 repeat them).
inline uint16x8_t widen_bytes(const uint8_t* p) {
  uint32_t w;
  memcpy(&w, p, 4);
  return vmovl_u8(vreinterpret_u8_u32(vdup_n_u32(w)));
}

template <int N>
struct NeonOps : HalvesOps<float64x2_t> {
  static Vec load(const uint8_t* p) {
    const uint32x4_t d = vmovl_u16(vget_low_u16(widen_bytes(p)));
    return {vcvtq_f64_u64(vmovl_u32(vget_low_u32(d))), vcvtq_f64_u64(vmovl_u32(vget_high_u32(d)))};
  }
  // c00 (16 - a) + c10 a for four channels in 16-bit lanes: at most 4080.
  static void blend_pixel(uint16_t* h, const uint8_t* p, uint32_t w) {
    const uint16x4_t left =
        vmul_n_u16(vget_low_u16(widen_bytes(p)), static_cast<uint16_t>(w & 0xFFFFu));
    const uint16x4_t right =
        vmul_n_u16(vget_low_u16(widen_bytes(p + N)), static_cast<uint16_t>(w >> 16));
    vst1_u16(h, vadd_u16(left, right));
  }
};

struct NeonRows {
  using Doubles = float64x2_t;
  using Words = uint16x8_t;
  static constexpr size_t kDoublePack = 4;
  static constexpr size_t kWordPack = 2;
  // vcvtq truncates toward zero; the saturating narrowings, signed then
  // unsigned, are the clamp to 0..255.
  static void store_bytes(uint8_t* out, const Doubles v[4]) {
    int32x4_t t[2];
    for (int q = 0; q < 2; ++q) {
      t[q] = vcombine_s32(vqmovn_s64(vcvtq_s64_f64(v[2 * q])),
                          vqmovn_s64(vcvtq_s64_f64(v[2 * q + 1])));
    }
    vst1_u8(out, vqmovun_s16(vcombine_s16(vqmovn_s32(t[0]), vqmovn_s32(t[1]))));
  }
  static void store_high_bytes(uint8_t* out, const Words v[2]) {
    vst1q_u8(out, vcombine_u8(vshrn_n_u16(v[0], 8), vshrn_n_u16(v[1], 8)));
  }
};

}  // namespace

const ResampleBlends kNeonBlends = blends_over<NeonOps, NeonRows>();
