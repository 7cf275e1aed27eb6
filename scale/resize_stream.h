// The resize call that streams its rows: source rows are read in file order
// only as result rows need them, into a small ring; result rows are made a
// strip at a time into a buffer that stays in cache and written as each strip
// fills. What it holds grows with the widths, never with the heights. Its
// messages, their order, its outcome and every output byte are those of the
// whole-image pipeline (load_bmp, resample_image, save_bmp).
#ifndef VORLIN_SCALE_RESIZE_STREAM_H
#define VORLIN_SCALE_RESIZE_STREAM_H

#include <cstdint>

#include "resample_kernels.h"

// Which step of a resize ended the call.
enum class ResizeOutcome { kSaved, kLoadFailed, kCreateFailed, kSaveFailed };

// Resizes the BMP at input into output (new_width, new_height >= 1), printing
// the loaded, resizing and saved lines to standard output and each failure's
// one message to standard error, as the pipeline does. Every block is
// allocated before the output is opened. Where the fast resampler cannot make
// the result (a build whose doubles are wider than stored), the whole-image
// pipeline does.
ResizeOutcome resize_streamed(const char* input, const char* output, int32_t new_width,
                              int32_t new_height, const ResampleKernelSet& set);

// The whole-image pipeline with the same lines: the definition the streamed
// call is held to.
ResizeOutcome resize_whole(const char* input, const char* output, int32_t new_width,
                           int32_t new_height);

#endif  // VORLIN_SCALE_RESIZE_STREAM_H
