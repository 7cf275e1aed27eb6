// The erosion benchmarks' pictures: random 0/255 pixels, and large white
// blocks on black that survive a hundred passes.
#ifndef VORLIN_BENCH_ERODE_PICTURES_H
#define VORLIN_BENCH_ERODE_PICTURES_H

#include "gray_image.h"

GrayImage* make_random_binary(int32_t width, int32_t height);
GrayImage* make_blocks(int32_t width, int32_t height);

#endif  // VORLIN_BENCH_ERODE_PICTURES_H
