// Four-neighbour binary erosion of the white (255) regions of a GrayImage:
// one pass into a new image, and many passes in place.
#ifndef VORLIN_MORPH_ERODE_H
#define VORLIN_MORPH_ERODE_H

#include "erode_kernels.h"
#include "gray_image.h"

// New image of the source's size, owned by the caller, or null when it
// cannot be created. A pixel of exactly 255 becomes 0 when one of its four
// neighbours is exactly 0; every decision is taken on the source, which is
// left untouched. The outermost rows and columns are copied unchanged, so an
// image under 3 rows or columns comes back as a plain copy. Prints nothing.
// Each result row is made in one sweep over three source rows. With the
// best kernel set; the export passes the one it chose to erode_once_with.
GrayImage* erode_once(const GrayImage* source);

// erode_once with the given kernels, which must be available.
GrayImage* erode_once_with(const GrayImage* source, const ErodeKernelSet& kernels);

// The same pass pixel by pixel through the bounds-checked accessors, after a
// copy of the whole image: the definition erode_once must match byte for byte.
GrayImage* erode_once_reference(const GrayImage* source);

// Told that pass `pass` (1-based) has been applied to the whole image.
typedef void (*ErodePassDone)(int32_t pass, void* context);

// passes passes in place: the image ends as passes chained erode_once calls
// would leave it. pass_done (may be null) is called for pass 1, 2, ...
// passes in order, each once that pass has been applied to the whole image;
// several may come at once, and all that remain once a pass changes nothing.
// Returns true, or false without touching the image or calling pass_done
// when the scratch (bit planes of a band of rows: at most 2 MiB, or about 4
// bytes a pixel of one row for rows over 550,000 pixels wide) cannot be
// allocated. Prints nothing. With the best kernel set, as erode_once.
bool erode_passes(GrayImage* image, int32_t passes, ErodePassDone pass_done, void* context);

// erode_passes with the given kernels (available), running at most
// max_levels passes (at least 1) per sweep over the image; erode_passes runs
// as many as its scratch allows, all 100 for rows up to 50,176 pixels wide.
bool erode_passes_with(GrayImage* image, int32_t passes, const ErodeKernelSet& kernels,
                       int32_t max_levels, ErodePassDone pass_done, void* context);

#endif  // VORLIN_MORPH_ERODE_H
