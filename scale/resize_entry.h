// The resize call behind BMPResizers with its kernel set given: the export
// passes the CPU's best, and the tests pass each set in turn, so that every
// set runs the whole call.
#ifndef VORLIN_SCALE_RESIZE_ENTRY_H
#define VORLIN_SCALE_RESIZE_ENTRY_H

#include <cstdint>

#include "resample_kernels.h"

// BMPResizers with set (available) doing the resampling: the same messages,
// status codes and output bytes, both streams flushed on return.
int32_t resize_with_kernels(const wchar_t* input_path, const wchar_t* output_path, int32_t width,
                            int32_t height, const ResampleKernelSet& set);

#endif  // VORLIN_SCALE_RESIZE_ENTRY_H
