// The benchmark groups, each registered by its own file, and the pieces
// they share: random source images and the memcpy limit.
#ifndef VORLIN_BENCH_BENCH_CASES_H
#define VORLIN_BENCH_BENCH_CASES_H

#include <benchmark/benchmark.h>

#include <cstddef>
#include <cstdint>

#include "raster_image.h"

void register_resize_benchmarks();
void register_erode_benchmarks();
void register_export_benchmarks();

// A RasterImage of random pixels, with a gray palette for 2 and 8 bits.
RasterImage* make_random_raster(int32_t width, int32_t height, uint16_t bits, uint32_t seed);

// memcpy of bytes between two buffers already in use, repeats times an
// iteration: the limit a kernel that writes that many bytes is measured against.
void run_memcpy_of(benchmark::State& state, size_t bytes, int repeats = 1);

#endif  // VORLIN_BENCH_BENCH_CASES_H
