// The table of the resampler's kernel sets and every check of what the CPU
// runs. The x86 sets are in the build only on 64-bit x86 targets, NEON only
// on 64-bit ARM (VORLIN_KERNELS_<SET>); each check asks the CPU once.
#if defined(VORLIN_KERNELS_AVX2)
#include <cpuid.h>
#endif

#include "resample_kernels.h"

static bool always() { return true; }

static bool never(int32_t, bool) { return false; }

#if defined(VORLIN_KERNELS_AVX2)
// Each asked once: cpuid can trap to a hypervisor.
static bool has_avx2() {
  static const bool available = __builtin_cpu_supports("avx2") && __builtin_cpu_supports("bmi2");
  return available;
}

// Whether BMI2's bit extract is one quick instruction: on Intel, and on AMD
// from family 19h (earlier AMD parts run it as microcode, slower than the
// lookup tables).
static bool probe_bit_extract() {
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

bool bit_extract_is_fast() {
  static const bool fast = probe_bit_extract();
  return fast;
}
#endif

#if defined(VORLIN_KERNELS_AVX512)
// Four channels in doubles blend pixel by pixel (see resample_avx512.cpp).
static bool avx512_reads_windows(int32_t channels, bool sixteenths) {
  return sixteenths || channels == 3;
}

static bool has_avx512() {
  static const bool available =
      has_avx2() && __builtin_cpu_supports("avx512f") && __builtin_cpu_supports("avx512bw") &&
      __builtin_cpu_supports("avx512dq") && __builtin_cpu_supports("avx512vl");
  return available;
}
#endif

const ResampleKernelSet kResampleKernelSets[] = {
#if defined(VORLIN_KERNELS_AVX512)
    {ResampleKernelId::kAvx512, "avx512", has_avx512, avx512_reads_windows, plan_two_bit_bmi2,
     sample_two_bit_bmi2, &kAvx512Blends},
#endif
#if defined(VORLIN_KERNELS_AVX2)
    {ResampleKernelId::kAvx2, "avx2", has_avx2, never, plan_two_bit_bmi2, sample_two_bit_bmi2,
     &kAvx2Blends},
#endif
#if defined(VORLIN_KERNELS_SSE2)
    {ResampleKernelId::kSse2, "sse2", always, never, plan_two_bit_portable, sample_two_bit_portable,
     &kSse2Blends},
#endif
#if defined(VORLIN_KERNELS_NEON)
    {ResampleKernelId::kNeon, "neon", always, never, plan_two_bit_portable, sample_two_bit_portable,
     &kNeonBlends},
#endif
    {ResampleKernelId::kPortable, "portable", always, never, plan_two_bit_portable,
     sample_two_bit_portable, &kPortableBlends},
};

const size_t kResampleKernelSetCount = sizeof kResampleKernelSets / sizeof kResampleKernelSets[0];

const ResampleKernelSet& best_resample_kernel_set() {
  for (size_t s = 0; s < kResampleKernelSetCount; ++s) {
    if (kResampleKernelSets[s].available()) return kResampleKernelSets[s];
  }
  return kResampleKernelSets[kResampleKernelSetCount - 1];
}
