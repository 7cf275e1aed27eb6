// The NEON kernel set: every 64-bit ARM CPU has it. One pixel's four
// channels in two registers of two doubles, as in SSE2; rows of values two
// doubles or eight words to a register. AArch64 is little-endian, so a
// pixel's bytes load as one 32-bit word. No fused multiply-add: every
// product is its own vmulq and every sum its own vaddq (never vfmaq or
// vmlaq), and contraction is off. The 2-bit plan is the portable one.
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
struct NeonOps {
  struct Vec {
    float64x2_t lo;
    float64x2_t hi;
  };
  static Vec load(const uint8_t* p) {
    const uint32x4_t d = vmovl_u16(vget_low_u16(widen_bytes(p)));
    return {vcvtq_f64_u64(vmovl_u32(vget_low_u32(d))), vcvtq_f64_u64(vmovl_u32(vget_high_u32(d)))};
  }
  static Vec splat(double d) { return {vdupq_n_f64(d), vdupq_n_f64(d)}; }
  static Vec add(Vec a, Vec b) { return {vaddq_f64(a.lo, b.lo), vaddq_f64(a.hi, b.hi)}; }
  static Vec mul(Vec a, Vec b) { return {vmulq_f64(a.lo, b.lo), vmulq_f64(a.hi, b.hi)}; }
  static void store(double* h, Vec v) {
    vst1q_f64(h, v.lo);
    vst1q_f64(h + 2, v.hi);
  }
  // c00 (16 - a) + c10 a for four channels in 16-bit lanes: at most 4080.
  static void blend_pixel(uint16_t* h, const uint8_t* p, uint32_t w) {
    const uint16x4_t left = vmul_n_u16(vget_low_u16(widen_bytes(p)), static_cast<uint16_t>(w & 0xFFFFu));
    const uint16x4_t right = vmul_n_u16(vget_low_u16(widen_bytes(p + N)), static_cast<uint16_t>(w >> 16));
    vst1_u16(h, vadd_u16(left, right));
  }
};

struct NeonRows {
  using Doubles = float64x2_t;
  using Words = uint16x8_t;
  static constexpr size_t kDoubleLanes = 2;
  static constexpr size_t kDoublePack = 4;
  static constexpr size_t kWordLanes = 8;
  static constexpr size_t kWordPack = 2;
  static Doubles load_doubles(const double* p) { return vld1q_f64(p); }
  static Doubles splat(double d) { return vdupq_n_f64(d); }
  static Doubles add(Doubles a, Doubles b) { return vaddq_f64(a, b); }
  static Doubles mul(Doubles a, Doubles b) { return vmulq_f64(a, b); }
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
  static Words load_words(const uint16_t* p) { return vld1q_u16(p); }
  static Words splat_words(uint16_t w) { return vdupq_n_u16(w); }
  static Words add_words(Words a, Words b) { return vaddq_u16(a, b); }
  static Words mul_words(Words a, Words b) { return vmulq_u16(a, b); }
  static void store_high_bytes(uint8_t* out, const Words v[2]) {
    vst1q_u8(out, vcombine_u8(vshrn_n_u16(v[0], 8), vshrn_n_u16(v[1], 8)));
  }
};

}  // namespace

const ResampleBlends kNeonBlends = blends_over<NeonOps, NeonRows>();
