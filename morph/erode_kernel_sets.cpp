// The table of the erosion's kernel sets and the choice among them. The x86
// sets are in the build only on x86 targets (VORLIN_KERNELS_SSE2), their
// availability asked of the CPU once; NEON only on 64-bit ARM, where every
// CPU has it.
#include "erode_kernels.h"

namespace {

bool always() { return true; }

#if defined(VORLIN_KERNELS_SSE2)
bool has_sse2() {
  static const bool supported = __builtin_cpu_supports("sse2") != 0;
  return supported;
}

bool has_ssse3() {
  static const bool supported = __builtin_cpu_supports("ssse3") != 0;
  return supported;
}

bool has_avx2() {
  // Its file is built for BMI2 too, as every AVX2 file is.
  static const bool supported =
      __builtin_cpu_supports("avx2") != 0 && __builtin_cpu_supports("bmi2") != 0;
  return supported;
}

bool has_avx512() {
  static const bool supported = has_avx2() && __builtin_cpu_supports("avx512f") != 0 &&
                                __builtin_cpu_supports("avx512bw") != 0 &&
                                __builtin_cpu_supports("avx512dq") != 0 &&
                                __builtin_cpu_supports("avx512vl") != 0;
  return supported;
}
#endif

}  // namespace

const ErodeKernelSet kErodeKernelSets[] = {
#if defined(VORLIN_KERNELS_SSE2)
    // erode_once, now the fallback and the tests' yardstick, keeps the AVX2
    // row; so does the threshold.
    {ErodeKernelId::kAvx512, "avx512", has_avx512, erode_row_avx2, pack_row_avx512,
     erode_bits_avx512, clear_eroded_avx512, threshold_row_avx2},
    {ErodeKernelId::kAvx2, "avx2", has_avx2, erode_row_avx2, pack_row_avx2, erode_bits_avx2,
     clear_eroded_avx2, threshold_row_avx2},
    // SSSE3 adds the byte shuffle the threshold needs and nothing the erosion uses.
    {ErodeKernelId::kSsse3, "ssse3", has_ssse3, erode_row_sse2, pack_row_sse2, erode_bits_sse2,
     clear_eroded_sse2, threshold_row_ssse3},
    {ErodeKernelId::kSse2, "sse2", has_sse2, erode_row_sse2, pack_row_sse2, erode_bits_sse2,
     clear_eroded_sse2, threshold_row_portable},
#endif
#if defined(VORLIN_KERNELS_NEON)
    {ErodeKernelId::kNeon, "neon", always, erode_row_neon, pack_row_neon, erode_bits_neon,
     clear_eroded_neon, threshold_row_neon},
#endif
    {ErodeKernelId::kPortable, "portable", always, erode_row_portable, pack_row_portable,
     erode_bits_portable, clear_eroded_portable, threshold_row_portable},
};

const size_t kErodeKernelSetCount = sizeof kErodeKernelSets / sizeof kErodeKernelSets[0];

const ErodeKernelSet& best_erode_kernel_set() {
  for (size_t s = 0; s < kErodeKernelSetCount; ++s) {
    if (kErodeKernelSets[s].available()) return kErodeKernelSets[s];
  }
  return kErodeKernelSets[kErodeKernelSetCount - 1];
}
