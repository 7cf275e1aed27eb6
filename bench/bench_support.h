// What the benchmark files share: a temporary directory, fast pseudo-random
// fill, silencing the exports' progress lines, and the heap counter that
// replaces the C heap functions of the benchmark program.
#ifndef VORLIN_BENCH_BENCH_SUPPORT_H
#define VORLIN_BENCH_BENCH_SUPPORT_H

#include <cstddef>
#include <cstdint>
#include <string>

// A directory made on first use and removed (with its files) at exit.
const std::string& bench_temp_dir();

// Deterministic pseudo-random bytes.
void fill_random(uint8_t* bytes, size_t count, uint32_t seed);

// Standard output to the null device and back (the exports print progress).
int quiet_stdout_begin();
void quiet_stdout_end(int saved);

// Bytes of heap in use now, and the most in use since the last reset.
size_t heap_live();
size_t heap_peak();
void heap_reset_peak();

#endif  // VORLIN_BENCH_BENCH_SUPPORT_H
