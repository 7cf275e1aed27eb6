// The benchmark groups, each registered by its own file, and the pieces
// they share: random source images and the memcpy limit.
#ifndef VORLIN_BENCH_BENCH_CASES_H
#define VORLIN_BENCH_BENCH_CASES_H

#include <benchmark/benchmark.h>

#include <cstddef>
#include <cstdint>
#include <string>

#include "raster_image.h"

void register_resize_benchmarks();
void register_erode_benchmarks();
void register_export_benchmarks();

// A RasterImage of random pixels, with a gray palette for 2 and 8 bits.
RasterImage* make_random_raster(int32_t width, int32_t height, uint16_t bits, uint32_t seed);

// memcpy of bytes between two buffers already in use, repeats times an
// iteration: the limit a kernel that writes that many bytes is measured against.
void run_memcpy_of(benchmark::State& state, size_t bytes, int repeats = 1);

// Registers group/which/role, timed on the wall clock in milliseconds (file
// I/O is part of the exports' calls).
template <class... Args>
benchmark::internal::Benchmark* add_benchmark(const std::string& group, const std::string& which,
                                              const char* role,
                                              void (*run)(benchmark::State&, Args...),
                                              Args... args) {
  return benchmark::RegisterBenchmark((group + "/" + which + "/" + role).c_str(), run, args...)
      ->UseRealTime()
      ->Unit(benchmark::kMillisecond);
}

// Every run reports the one counter heap_KiB (the CSV output needs the same
// counters in every run): for a kernel, the heap it used beyond its source
// and result; for an export, the most heap in use during the call; -1 where
// nothing was measured.
inline void report_heap(benchmark::State& state, double kib) { state.counters["heap_KiB"] = kib; }

#endif  // VORLIN_BENCH_BENCH_CASES_H
