// The benchmark program: Vorlin's kernels and exports beside OpenCV, single-
// threaded, with the memcpy and plain file I/O limits. scripts/bench turns
// its CSV output into the comparison table.
#include <benchmark/benchmark.h>

#include <cstdlib>
#include <cstring>
#include <opencv2/core.hpp>

#include "bench_cases.h"
#include "bench_support.h"

RasterImage* make_random_raster(int32_t width, int32_t height, uint16_t bits, uint32_t seed) {
  RasterImage* image = static_cast<RasterImage*>(malloc(sizeof(RasterImage)));
  size_t size = static_cast<size_t>(bmp_row_bytes(width, bits)) * static_cast<size_t>(height);
  image->pixels = static_cast<uint8_t*>(malloc(size));
  fill_random(image->pixels, size, seed);
  image->width = width;
  image->height = height;
  image->bits_per_pixel = bits;
  image->palette = nullptr;
  image->palette_count = 0;
  if (bits <= 8) {
    image->palette_count = bits == 2 ? 4 : 256;
    image->palette = static_cast<PaletteEntry*>(malloc(sizeof(PaletteEntry) * 256));
    for (int32_t i = 0; i < image->palette_count; ++i) {
      uint8_t level = static_cast<uint8_t>(bits == 2 ? i * 85 : i);
      image->palette[i] = {level, level, level, 0};
    }
  }
  return image;
}

void run_memcpy_of(benchmark::State& state, size_t bytes, int repeats) {
  uint8_t* from = static_cast<uint8_t*>(malloc(bytes));
  uint8_t* to = static_cast<uint8_t*>(malloc(bytes));
  fill_random(from, bytes, 3);
  memset(to, 0, bytes);
  for (auto _ : state) {
    for (int k = 0; k < repeats; ++k) {
      memcpy(to, from, bytes);
      benchmark::DoNotOptimize(to);
      benchmark::ClobberMemory();
    }
  }
  free(from);
  free(to);
  report_heap(state, -1);
}

int main(int argc, char** argv) {
  cv::setNumThreads(1);
  register_resize_benchmarks();
  register_erode_benchmarks();
  register_export_benchmarks();
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) {
    return 1;
  }
  benchmark::AddCustomContext("opencv", CV_VERSION);
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}
