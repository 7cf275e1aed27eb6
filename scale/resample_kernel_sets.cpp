// The table of the resampler's kernel sets and the choice among them. The x86
// sets are in the build only on 64-bit x86 targets (VORLIN_KERNELS_SSE2);
// their availability is asked of the CPU once.
#include "resample_kernel_sets.h"

#include "resample_kernels.h"

namespace {

bool always() { return true; }

bool never(int32_t, bool) { return false; }

#if defined(VORLIN_KERNELS_SSE2)
// Each asked once: cpuid can trap to a hypervisor.
bool has_avx2() {
  static const bool available = __builtin_cpu_supports("avx2") && __builtin_cpu_supports("bmi2");
  return available;
}

// Four channels in doubles blend pixel by pixel (see resample_avx512.cpp).
bool avx512_reads_windows(int32_t channels, bool sixteenths) { return sixteenths || channels == 3; }

bool has_avx512() {
  static const bool available =
      has_avx2() && __builtin_cpu_supports("avx512f") && __builtin_cpu_supports("avx512bw") &&
      __builtin_cpu_supports("avx512dq") && __builtin_cpu_supports("avx512vl");
  return available;
}
#endif

}  // namespace

const ResampleKernelSet kResampleKernelSets[] = {
#if defined(VORLIN_KERNELS_SSE2)
    {ResampleKernelId::kAvx512, "avx512", has_avx512, avx512_reads_windows, plan_two_bit_bmi2,
     sample_two_bit_bmi2, blend_columns_avx512, blend_columns_sixteenths_avx512, blend_rows_avx512,
     blend_rows_sixteenths_avx512},
    {ResampleKernelId::kAvx2, "avx2", has_avx2, never, plan_two_bit_bmi2, sample_two_bit_bmi2,
     blend_columns_avx2, blend_columns_sixteenths_avx2, blend_rows_avx2,
     blend_rows_sixteenths_avx2},
    {ResampleKernelId::kSse2, "sse2", always, never, plan_two_bit_portable, sample_two_bit_portable,
     blend_columns_sse2, blend_columns_sixteenths_sse2, blend_rows_sse2,
     blend_rows_sixteenths_sse2},
#endif
    {ResampleKernelId::kPortable, "portable", always, never, plan_two_bit_portable,
     sample_two_bit_portable, blend_columns_portable, blend_columns_sixteenths_portable,
     blend_rows_portable, blend_rows_sixteenths_portable},
};

const size_t kResampleKernelSetCount = sizeof kResampleKernelSets / sizeof kResampleKernelSets[0];

const ResampleKernelSet& best_resample_kernel_set() {
  for (size_t s = 0; s < kResampleKernelSetCount; ++s) {
    if (kResampleKernelSets[s].available()) return kResampleKernelSets[s];
  }
  return kResampleKernelSets[kResampleKernelSetCount - 1];
}
