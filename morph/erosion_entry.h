// The erosion call behind BMPErosion with its kernel set given: the export
// passes the CPU's best, and the tests pass each set in turn, so that every
// set runs the whole call.
#ifndef VORLIN_MORPH_EROSION_ENTRY_H
#define VORLIN_MORPH_EROSION_ENTRY_H

#include <cstdint>

#include "erode_kernels.h"

// BMPErosion with kernels (available) doing the work: the same messages,
// status codes and output bytes, standard output flushed on return.
int32_t erode_with_kernels(const wchar_t* input_path, const wchar_t* output_path, int32_t passes,
                           const ErodeKernelSet& kernels);

#endif  // VORLIN_MORPH_EROSION_ENTRY_H
