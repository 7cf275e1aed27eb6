// One pass of four-neighbour binary erosion of the white (255) regions of a
// GrayImage.
#ifndef VORLIN_MORPH_ERODE_H
#define VORLIN_MORPH_ERODE_H

#include "gray_image.h"

// New image of the source's size, owned by the caller, or null when it
// cannot be created. A pixel of exactly 255 becomes 0 when one of its four
// neighbours is exactly 0; every decision is taken on the source, which is
// left untouched. The outermost rows and columns are copied unchanged, so an
// image under 3 rows or columns comes back as a plain copy. Prints nothing.
// Each result row is made in one sweep over three source rows.
GrayImage* erode_once(const GrayImage* source);

// Instruction sets the pass is built for.
enum ErodeKernels {
  kErodePortable = 0,  // plain C++, any CPU
  kErodeSse2 = 1,      // x86 with SSE2
  kErodeAvx2 = 2,      // x86 with AVX2, chosen at run time
};

// 1 when this build and CPU can run the given kernels.
int erode_kernels_available(int kernels);

// erode_once with the given kernels, which must be available; erode_once
// takes the best this CPU runs.
GrayImage* erode_once_with(const GrayImage* source, int kernels);

// The same pass pixel by pixel through the bounds-checked accessors, after a
// copy of the whole image: the definition erode_once must match byte for byte.
GrayImage* erode_once_reference(const GrayImage* source);

#endif  // VORLIN_MORPH_ERODE_H
