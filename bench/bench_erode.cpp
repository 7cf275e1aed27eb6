// erode_once on a random 0/255 picture, and a hundred chained passes on a
// picture of large white blocks, beside cv::erode with the 3x3 cross and a
// memcpy of the image.
#include <benchmark/benchmark.h>

#include <opencv2/core.hpp>
#include <opencv2/imgproc.hpp>
#include <string>

#include "bench_cases.h"
#include "bench_support.h"
#include "erode.h"
#include "erode_pictures.h"

GrayImage* make_random_binary(int32_t width, int32_t height) {
  GrayImage* image = create_gray_image(width, height);
  size_t size = static_cast<size_t>(width) * static_cast<size_t>(height);
  fill_random(image->pixels, size, 5);
  for (size_t i = 0; i < size; ++i) {
    image->pixels[i] = image->pixels[i] < 128 ? 0 : 255;
  }
  return image;
}

GrayImage* make_blocks(int32_t width, int32_t height) {
  GrayImage* image = create_gray_image(width, height);
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

const ErodeCase kErodeCases[] = {{"random", 1}, {"blocks", 100}};

std::string case_name(const ErodeCase& c) {
  return std::string(c.picture) + "_4096x4096_" + std::to_string(c.passes) + "pass";
}

GrayImage* picture_for(const ErodeCase& c) {
  return std::string(c.picture) == "random" ? make_random_binary(kSide, kSide)
                                            : make_blocks(kSide, kSide);
}

// Passes chained as the export chains them: each result feeds the next.
GrayImage* erode_passes(GrayImage* (*erode)(const GrayImage*), const GrayImage* source,
                        int32_t passes) {
  GrayImage* current = erode(source);
  for (int32_t k = 2; k <= passes; ++k) {
    GrayImage* next = erode(current);
    free_gray_image(current);
    current = next;
  }
  return current;
}

void run_ours(benchmark::State& state, ErodeCase c, GrayImage* (*erode)(const GrayImage*)) {
  GrayImage* source = picture_for(c);
  // Scratch of one pass: heap in use beyond the source and its result.
  heap_reset_peak();
  GrayImage* once = erode(source);
  size_t scratch = heap_peak() - heap_live();
  free_gray_image(once);
  for (auto _ : state) {
    GrayImage* result = erode_passes(erode, source, c.passes);
    benchmark::DoNotOptimize(result->pixels);
    free_gray_image(result);
  }
  free_gray_image(source);
  report_heap(state, static_cast<double>(scratch) / 1024.0);
}

void run_opencv(benchmark::State& state, ErodeCase c) {
  GrayImage* picture = picture_for(c);
  cv::Mat source(kSide, kSide, CV_8UC1, picture->pixels);
  cv::Mat cross = cv::getStructuringElement(cv::MORPH_CROSS, cv::Size(3, 3));
  for (auto _ : state) {
    cv::Mat current;
    cv::erode(source, current, cross);
    for (int32_t k = 2; k <= c.passes; ++k) {
      cv::Mat next;
      cv::erode(current, next, cross);
      current = next;
    }
    benchmark::DoNotOptimize(current.data);
  }
  free_gray_image(picture);
  report_heap(state, -1);
}

void run_memcpy(benchmark::State& state, ErodeCase c) {
  run_memcpy_of(state, static_cast<size_t>(kSide) * kSide, c.passes);
  report_heap(state, -1);
}

}  // namespace

void register_erode_benchmarks() {
  for (const ErodeCase& c : kErodeCases) {
    std::string which = case_name(c);
    add_benchmark("erode", which, "ours", run_ours, c, erode_once);
    add_benchmark("erode", which, "opencv", run_opencv, c);
    add_benchmark("erode", which, "memcpy", run_memcpy, c);
    if (c.passes == 1) {  // a hundred reference passes would take most of the run
      add_benchmark("erode", which, "reference", run_ours, c, erode_once_reference)->Iterations(5);
    }
  }
}
