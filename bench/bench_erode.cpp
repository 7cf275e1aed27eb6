// erode_passes on a random 0/255 picture (one pass, and a hundred, which it
// stops changing long before) and a hundred passes on a picture of large
// white blocks, beside cv::erode with the 3x3 cross and its iterations, a
// memcpy of the image, and the passes chained through erode_once. Beside
// them the loader's 24-bit threshold on every kernel set.
#include <benchmark/benchmark.h>

#include <cstdlib>
#include <cstring>
#include <opencv2/core.hpp>
#include <opencv2/imgproc.hpp>
#include <string>

#include "bench_cases.h"
#include "bench_support.h"
#include "erode.h"
#include "erode_pictures.h"

GrayImage* make_random_binary(int32_t width, int32_t height) {
  GrayImage* image = new_gray_image(width, height);
  size_t size = static_cast<size_t>(width) * static_cast<size_t>(height);
  fill_random(image->pixels, size, 5);
  for (size_t i = 0; i < size; ++i) {
    image->pixels[i] = image->pixels[i] < 128 ? 0 : 255;
  }
  return image;
}

GrayImage* make_blocks(int32_t width, int32_t height) {
  GrayImage* image = new_gray_image(width, height);
  for (int32_t y = 0; y < height; ++y) {
    for (int32_t x = 0; x < width; ++x) {
      // 400-pixel squares on a 480-pixel grid, 40 pixels of black around each.
      bool white = (x % 480) >= 40 && (x % 480) < 440 && (y % 480) >= 40 && (y % 480) < 440;
      image->pixels[static_cast<size_t>(y) * static_cast<size_t>(width) + static_cast<size_t>(x)] =
          white ? 255 : 0;
    }
  }
  return image;
}

namespace {

constexpr int32_t kSide = 4096;

struct ErodeCase {
  const char* picture;
  int32_t passes;
};

// The random picture stops changing after a few passes; the blocks still wear at pass 100.
const ErodeCase kErodeCases[] = {{"random", 1}, {"random", 100}, {"blocks", 100}};

std::string case_name(const ErodeCase& c) {
  return std::string(c.picture) + "_4096x4096_" + std::to_string(c.passes) + "pass";
}

GrayImage* picture_for(const ErodeCase& c) {
  return std::string(c.picture) == "random" ? make_random_binary(kSide, kSide)
                                            : make_blocks(kSide, kSide);
}

void copy_pixels(GrayImage* to, const GrayImage* from) {
  memcpy(to->pixels, from->pixels, static_cast<size_t>(kSide) * kSide);
}

// erode_passes in place on a fresh copy of the picture each time (the copy is
// not timed); the heap is its scratch.
void run_passes(benchmark::State& state, ErodeCase c, const ErodeKernelSet* set) {
  GrayImage* source = picture_for(c);
  GrayImage* image = new_gray_image(kSide, kSide);
  copy_pixels(image, source);
  heap_reset_peak();
  erode_passes_with(image, c.passes, *set, c.passes, nullptr, nullptr);
  size_t scratch = heap_peak() - heap_live();
  for (auto _ : state) {
    state.PauseTiming();
    copy_pixels(image, source);
    state.ResumeTiming();
    erode_passes_with(image, c.passes, *set, c.passes, nullptr, nullptr);
    benchmark::DoNotOptimize(image->pixels);
  }
  free_gray_image(image);
  free_gray_image(source);
  state.SetLabel(set->name);
  report_heap(state, static_cast<double>(scratch) / 1024.0);
}

// Passes chained as the export chained them before: each result feeds the next.
void run_chained(benchmark::State& state, ErodeCase c, GrayImage* (*erode)(const GrayImage*)) {
  GrayImage* source = picture_for(c);
  for (auto _ : state) {
    GrayImage* current = erode(source);
    for (int32_t k = 2; k <= c.passes; ++k) {
      GrayImage* next = erode(current);
      free_gray_image(current);
      current = next;
    }
    benchmark::DoNotOptimize(current->pixels);
    free_gray_image(current);
  }
  free_gray_image(source);
  report_heap(state, -1);
}

void run_opencv(benchmark::State& state, ErodeCase c) {
  GrayImage* picture = picture_for(c);
  cv::Mat source(kSide, kSide, CV_8UC1, picture->pixels);
  cv::Mat cross = cv::getStructuringElement(cv::MORPH_CROSS, cv::Size(3, 3));
  for (auto _ : state) {
    cv::Mat result;
    cv::erode(source, result, cross, cv::Point(-1, -1), c.passes);
    benchmark::DoNotOptimize(result.data);
  }
  free_gray_image(picture);
  report_heap(state, -1);
}

// One pass of erode_once with the given kernels: their erode_row over the
// picture, into a new image each time.
void run_once(benchmark::State& state, ErodeCase c, const ErodeKernelSet* set) {
  GrayImage* source = picture_for(c);
  for (auto _ : state) {
    GrayImage* result = erode_once_with(source, *set);
    benchmark::DoNotOptimize(result->pixels);
    free_gray_image(result);
  }
  free_gray_image(source);
  state.SetLabel(set->name);
  report_heap(state, -1);
}

// One copy of the image, whatever the passes: the least a pass over it costs.
void run_memcpy(benchmark::State& state, ErodeCase /*c*/) {
  run_memcpy_of(state, static_cast<size_t>(kSide) * kSide);
  report_heap(state, -1);
}

// The loader's threshold over a 4096x4096 picture of random colours, row
// after row from a block of 1 MiB as the loader reads them, into an image.
void run_threshold(benchmark::State& state, const ErodeKernelSet* set) {
  const size_t row = 3 * static_cast<size_t>(kSide);
  const size_t block_rows = (size_t{1} << 20) / row;
  uint8_t* block = static_cast<uint8_t*>(malloc(block_rows * row));
  fill_random(block, block_rows * row, 6);
  GrayImage* image = new_gray_image(kSide, kSide);
  for (auto _ : state) {
    for (size_t y = 0; y < static_cast<size_t>(kSide); ++y) {
      set->threshold_row(image->pixels + y * kSide, block + (y % block_rows) * row, kSide);
    }
    benchmark::DoNotOptimize(image->pixels);
  }
  free_gray_image(image);
  free(block);
  state.SetLabel(set->name);
  report_heap(state, -1);
}

// Whether a later set of the table erodes with the same kernels: the SSSE3
// set differs from the SSE2 one only in its threshold, and runs as "sse2".
bool erodes_as_later_set(size_t s) {
  const ErodeKernelSet& set = kErodeKernelSets[s];
  for (size_t later = s + 1; later < kErodeKernelSetCount; ++later) {
    const ErodeKernelSet& other = kErodeKernelSets[later];
    if (other.erode_row == set.erode_row && other.pack_row == set.pack_row &&
        other.erode_bits == set.erode_bits && other.clear_eroded == set.clear_eroded) {
      return true;
    }
  }
  return false;
}

}  // namespace

// Roles: "ours" is erode_passes with the kernels the export takes on this
// CPU; each other available kernel set runs under its own name.
void register_erode_benchmarks() {
  const ErodeKernelSet& best = best_erode_kernel_set();
  for (const ErodeCase& c : kErodeCases) {
    std::string which = case_name(c);
    add_benchmark("erode", which, "ours", run_passes, c, &best);
    for (size_t s = 0; s < kErodeKernelSetCount; ++s) {
      const ErodeKernelSet* set = &kErodeKernelSets[s];
      if (set != &best && set->available() && !erodes_as_later_set(s))
        add_benchmark("erode", which, set->name, run_passes, c, set);
    }
    add_benchmark("erode", which, "opencv", run_opencv, c);
    add_benchmark("erode", which, "memcpy", run_memcpy, c);
    add_benchmark("erode", which, "chained", run_chained, c, erode_once)
        ->Iterations(c.passes > 1 ? 3 : 50);
    if (c.passes == 1) {  // a hundred reference passes would take most of the run
      // erode_once's row on each set that has its own (the last to hold it).
      for (size_t s = 0; s < kErodeKernelSetCount; ++s) {
        const ErodeKernelSet* set = &kErodeKernelSets[s];
        bool later = false;
        for (size_t t = s + 1; t < kErodeKernelSetCount; ++t)
          later = later || kErodeKernelSets[t].erode_row == set->erode_row;
        if (set->available() && !later)
          add_benchmark("erode", which, (std::string("once-") + set->name).c_str(), run_once, c,
                        set);
      }
      add_benchmark("erode", which, "reference", run_chained, c, erode_once_reference)
          ->Iterations(5);
    }
  }
  // The threshold, by the loader's set ("ours") and each other; the limit is
  // a memcpy of the image it writes.
  const std::string which = "24bit_4096x4096";
  add_benchmark("threshold", which, "ours", run_threshold, &best);
  for (size_t s = 0; s < kErodeKernelSetCount; ++s) {
    const ErodeKernelSet* set = &kErodeKernelSets[s];
    if (set != &best && set->available())
      add_benchmark("threshold", which, set->name, run_threshold, set);
  }
  add_benchmark("threshold", which, "memcpy", run_memcpy, kErodeCases[0]);
}
