// The fast resampler: the reference resampler's arithmetic, step for step, on
// direct row pointers with per-column tables, vectorised where the CPU allows.
// Each result byte equals resample_image_reference's.
#ifndef VORLIN_SCALE_RESAMPLE_FAST_H
#define VORLIN_SCALE_RESAMPLE_FAST_H

#include "raster_image.h"

#if defined(__SSE2__) || defined(_M_X64) || (defined(_M_IX86_FP) && _M_IX86_FP >= 2)
#define VORLIN_RESAMPLE_SSE2 1
#endif
// The AVX2 kernels are compiled with a target pragma, which only GCC takes.
#if defined(__GNUC__) && !defined(__clang__) && (defined(__x86_64__) || defined(__i386__))
#define VORLIN_RESAMPLE_AVX2 1
#endif

// Instruction sets the blend kernels are built for.
enum ResampleKernels {
  kResamplePortable = 0,  // plain C++, any CPU and byte order
  kResampleSse2 = 1,      // x86 with SSE2
  kResampleAvx2 = 2,      // x86 with AVX2, chosen at run time (2-bit sampling then also
                          // takes BMI2's bit extract on CPUs where it is quick)
};

// Fills result's zero-filled pixel array (result has the source's depth and
// its own new size) with the best kernels this CPU runs. Returns 1 when done,
// or 0 having written nothing and printed nothing, when its scratch tables
// could not be allocated or this build cannot reproduce the reference's
// arithmetic; the caller then runs the reference.
int resample_pixels_fast(const RasterImage* source, RasterImage* result);

// 1 when this build and CPU can run the given kernels.
int resample_kernels_available(int kernels);

// resample_pixels_fast with the given kernels, which must be available.
int resample_pixels_with(const RasterImage* source, RasterImage* result, int kernels);

#if defined(VORLIN_RESAMPLE_AVX2)
// The 24- and 32-bit blend in AVX2 (resample_avx2.cpp); only for CPUs that have it.
int blend_pixels_avx2(const RasterImage* source, RasterImage* result);
#endif

#endif  // VORLIN_SCALE_RESAMPLE_FAST_H
