// resample_image at every depth on four sizes, beside OpenCV's resize of
// the same pixel counts (bilinear for 24 and 32 bits, nearest for the
// others), the straightforward reference, and a memcpy of the result's bytes.
// Each run is labelled with the kernel set it used; the kernels alone are
// also timed with every other set this CPU runs (role: the set's name).
#include <benchmark/benchmark.h>

#include <cstdlib>
#include <cstring>
#include <opencv2/core.hpp>
#include <opencv2/imgproc.hpp>

#include "bench_cases.h"
#include "bench_support.h"
#include "raster_image.h"
#include "resample_fast.h"
#include "resample_kernels.h"
#include "resample_reference.h"

namespace {

struct ResizeCase {
  int32_t width, height, new_width, new_height;
};

const ResizeCase kResizeCases[] = {
    {4096, 4096, 2048, 2048},
    {1024, 768, 4096, 3072},
    {1920, 1080, 1280, 720},
    // A ratio (1.6) whose fractions are not sixteenths: the double-precision kernels.
    {1600, 1200, 1000, 750},
};
const uint16_t kResizeDepths[] = {24, 32, 2, 8, 16};

std::string case_name(const ResizeCase& c, uint16_t bits) {
  return std::to_string(bits) + "bit_" + std::to_string(c.width) + "x" + std::to_string(c.height) +
         "_to_" + std::to_string(c.new_width) + "x" + std::to_string(c.new_height);
}

// The source of the case being measured; the next case replaces it.
const RasterImage* source_for(const ResizeCase& c, uint16_t bits) {
  static RasterImage* held = nullptr;
  if (held == nullptr || held->width != c.width || held->height != c.height ||
      held->bits_per_pixel != bits) {
    free_image(held);
    held = make_random_raster(c.width, c.height, bits, 1);
  }
  return held;
}

int cv_type(uint16_t bits) {
  switch (bits) {
    case 32: return CV_8UC4;
    case 24: return CV_8UC3;
    case 16: return CV_16UC1;
    default: return CV_8UC1;  // 2-bit pixels compare with one byte a pixel
  }
}

const cv::Mat& mat_for(const ResizeCase& c, uint16_t bits) {
  static cv::Mat held;
  static uint16_t held_bits = 0;
  if (held.empty() || held.cols != c.width || held.rows != c.height || held_bits != bits) {
    held = cv::Mat(c.height, c.width, cv_type(bits));
    fill_random(held.data, held.total() * held.elemSize(), 2);
    held_bits = bits;
  }
  return held;
}

void run_ours(benchmark::State& state, ResizeCase c, uint16_t bits, bool reference) {
  const RasterImage* source = source_for(c, bits);
  auto resample = reference ? resample_image_reference : resample_image;
  // Scratch: the most heap in use during one call beyond the source and the result.
  heap_reset_peak();
  RasterImage* once = resample(source, c.new_width, c.new_height);
  size_t scratch = heap_peak() - heap_live();
  free_image(once);
  for (auto _ : state) {
    RasterImage* result = resample(source, c.new_width, c.new_height);
    benchmark::DoNotOptimize(result->pixels);
    free_image(result);
  }
  report_heap(state, static_cast<double>(scratch) / 1024.0);
  state.SetLabel(reference ? "reference" : best_resample_kernel_set().name);
}

// The kernel alone: the same result image refilled, as a caller with a
// ready image would have it (no allocation, no first-touch page faults).
void run_ours_into(benchmark::State& state, ResizeCase c, uint16_t bits,
                   const ResampleKernelSet* set) {
  const RasterImage* source = source_for(c, bits);
  RasterImage* result = resample_image(source, c.new_width, c.new_height);
  for (auto _ : state) {
    if (!resample_pixels_with(source, result, *set)) state.SkipWithError("fast path declined");
    benchmark::DoNotOptimize(result->pixels);
  }
  free_image(result);
  report_heap(state, -1);
  state.SetLabel(set->name);
}

void run_opencv_into(benchmark::State& state, ResizeCase c, uint16_t bits) {
  const cv::Mat& source = mat_for(c, bits);
  int interpolation = bits >= 24 ? cv::INTER_LINEAR : cv::INTER_NEAREST;
  cv::Mat result(c.new_height, c.new_width, source.type());
  for (auto _ : state) {
    cv::resize(source, result, cv::Size(c.new_width, c.new_height), 0, 0, interpolation);
    benchmark::DoNotOptimize(result.data);
  }
  report_heap(state, -1);
}

void run_opencv(benchmark::State& state, ResizeCase c, uint16_t bits) {
  const cv::Mat& source = mat_for(c, bits);
  int interpolation = bits >= 24 ? cv::INTER_LINEAR : cv::INTER_NEAREST;
  for (auto _ : state) {
    cv::Mat result;  // a new image each call, as resample_image makes
    cv::resize(source, result, cv::Size(c.new_width, c.new_height), 0, 0, interpolation);
    benchmark::DoNotOptimize(result.data);
  }
  report_heap(state, -1);
}

void run_memcpy(benchmark::State& state, ResizeCase c, uint16_t bits) {
  size_t bytes =
      static_cast<size_t>(bmp_row_bytes(c.new_width, bits)) * static_cast<size_t>(c.new_height);
  run_memcpy_of(state, bytes);
  report_heap(state, -1);
}

}  // namespace

void register_resize_benchmarks() {
  const ResampleKernelSet* best = &best_resample_kernel_set();
  for (const ResizeCase& c : kResizeCases) {
    for (uint16_t bits : kResizeDepths) {
      std::string which = case_name(c, bits);
      add_benchmark("resize", which, "ours", run_ours, c, bits, false);
      add_benchmark("resize", which, "opencv", run_opencv, c, bits);
      add_benchmark("resize", which, "memcpy", run_memcpy, c, bits);
      add_benchmark("resize-into", which, "ours", run_ours_into, c, bits, best);
      add_benchmark("resize-into", which, "opencv", run_opencv_into, c, bits);
      add_benchmark("resize", which, "reference", run_ours, c, bits, true)->Iterations(2);
      for (size_t s = 0; s < kResampleKernelSetCount; ++s) {
        const ResampleKernelSet* set = &kResampleKernelSets[s];
        if (set != best && set->available()) {
          add_benchmark("resize-into", which, set->name, run_ours_into, c, bits, set);
        }
      }
    }
  }
}
