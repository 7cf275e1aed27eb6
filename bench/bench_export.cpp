// Each export called whole, loaded from its built module as a host does, on
// files in a temporary directory, each repetition writing a new output file
// (the old one removed first, untimed), as a user's call does; beside it
// OpenCV's imread + kernel + imwrite of the same files, a plain read and
// write of those files, and the export's kernel alone (the limit is plain
// I/O plus kernel). A resize also has its streaming I/O floor (the rows it
// needs read through a small buffer, an output of its size written from
// one) and, where VORLIN_BENCH_BASELINE names another build's
// libVorlinScale, that build's call on the same files (the A/B).
#include <benchmark/benchmark.h>
#include <dlfcn.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <opencv2/core.hpp>
#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>
#include <string>
#include <vector>

#include "bench_cases.h"
#include "bench_support.h"
#include "bmp_io.h"
#include "erode.h"
#include "erode_pictures.h"
#include "gray_bmp_loader.h"
#include "gray_bmp_writer.h"
#include "resample_fast.h"
#include "resample_kernels.h"
#include "vorlin/vorlin.h"

namespace {

void* module_symbol(const char* path, const char* name) {
  void* module = dlopen(path, RTLD_NOW | RTLD_LOCAL);
  void* symbol = module != nullptr ? dlsym(module, name) : nullptr;
  if (symbol == nullptr) {
    fprintf(stderr, "cannot load %s from %s: %s\n", name, path, dlerror());
    abort();
  }
  return symbol;
}

std::wstring widen(const std::string& text) { return std::wstring(text.begin(), text.end()); }

// The limit: the input read whole into a new buffer, the output written whole.
void plain_read_write(const std::string& input, const std::string& output, size_t output_bytes,
                      const uint8_t* output_content) {
  FILE* in = fopen(input.c_str(), "rb");
  fseek(in, 0, SEEK_END);
  size_t size = static_cast<size_t>(ftell(in));
  fseek(in, 0, SEEK_SET);
  uint8_t* buffer = static_cast<uint8_t*>(malloc(size));
  size_t got = fread(buffer, 1, size, in);
  fclose(in);
  benchmark::DoNotOptimize(got);
  FILE* out = fopen(output.c_str(), "wb");
  fwrite(output_content, 1, output_bytes, out);
  fclose(out);
  free(buffer);
}

struct ResizeExport {
  int32_t width, height, new_width, new_height;
  uint16_t bits;
};

const ResizeExport kResizeExports[] = {
    {4096, 4096, 2048, 2048, 24},
    {4096, 4096, 2048, 2048, 32},
    {4096, 4096, 2048, 2048, 8},
    {1024, 768, 4096, 3072, 24},
    {1024, 768, 4096, 3072, 32},
    {1920, 1080, 1280, 720, 24},
    {1600, 1200, 1000, 750, 24},
    // Sources twice and ten times as tall: what a call holds must not grow.
    {4096, 8192, 2048, 2048, 24},
    {1024, 7680, 4096, 3072, 24},
};

std::string resize_name(const ResizeExport& e) {
  if (e.bits == 0) return "BMPResizers_24bit_claimed_30000x30000_to_64x64";
  return "BMPResizers_" + std::to_string(e.bits) + "bit_" + std::to_string(e.width) + "x" +
         std::to_string(e.height) + "_to_" + std::to_string(e.new_width) + "x" +
         std::to_string(e.new_height);
}

// A 54-byte file whose headers claim a 30000 x 30000 24-bit picture.
std::string claimed_input() {
  std::string path = bench_temp_dir() + "/claimed_30000x30000.bmp";
  RasterImage* image = make_random_raster(1, 1, 24, 4);
  if (!save_bmp(image, path.c_str())) abort();
  free_image(image);
  FILE* file = fopen(path.c_str(), "r+b");
  const uint8_t side[4] = {0x30, 0x75, 0, 0};  // 30000
  fseek(file, 18, SEEK_SET);
  fwrite(side, 1, 4, file);
  fwrite(side, 1, 4, file);
  fclose(file);
  if (truncate(path.c_str(), 54) != 0) abort();
  return path;
}

std::string resize_input(const ResizeExport& e) {
  std::string path = bench_temp_dir() + "/" + resize_name(e) + "_in.bmp";
  static std::vector<std::string> written;
  for (const std::string& p : written) {
    if (p == path) return path;
  }
  RasterImage* image = make_random_raster(e.width, e.height, e.bits, 4);
  if (!save_bmp(image, path.c_str())) abort();
  free_image(image);
  written.push_back(path);
  return path;
}

// The call of the module at path on the case's files, a new output each
// repetition; the heap the first call held at its most.
void time_resize_module(benchmark::State& state, const ResizeExport& e, const char* path,
                        const std::string& role) {
  auto resize = reinterpret_cast<VorlinResizeFn>(module_symbol(path, "BMPResizers"));
  std::string input = e.bits == 0 ? claimed_input() : resize_input(e);
  std::string output = bench_temp_dir() + "/" + resize_name(e) + "_" + role + ".bmp";
  std::wstring in = widen(input);
  std::wstring out = widen(output);
  int saved = quiet_stdout_begin();
  remove(output.c_str());
  heap_reset_peak();
  size_t before = heap_live();
  int32_t status = resize(in.c_str(), out.c_str(), e.new_width, e.new_height);
  size_t peak = heap_peak() - before;
  for (auto _ : state) {
    state.PauseTiming();
    remove(output.c_str());
    state.ResumeTiming();
    status = resize(in.c_str(), out.c_str(), e.new_width, e.new_height);
  }
  quiet_stdout_end(saved);
  if (status != VORLIN_RESIZE_OK) state.SkipWithError("BMPResizers failed");
  report_heap(state, static_cast<double>(peak) / 1024.0);
}

void run_resize_export(benchmark::State& state, ResizeExport e) {
  time_resize_module(state, e, VORLINSCALE_PATH, "ours");
}

void run_resize_baseline(benchmark::State& state, ResizeExport e) {
  time_resize_module(state, e, getenv("VORLIN_BENCH_BASELINE"), "baseline");
}

// What no streamed call can go below: the source rows the result needs
// (row y0 of each result row, and y0 + 1 where a 24- or 32-bit blend weighs
// it), read through a 64 KiB buffer with gaps of 8 KiB and more sought
// over, and a new output of the result's size written from that buffer.
void run_resize_floor(benchmark::State& state, ResizeExport e) {
  std::string input = resize_input(e);
  std::string output = bench_temp_dir() + "/" + resize_name(e) + "_floor.bmp";
  const size_t source_row_bytes = static_cast<size_t>(bmp_row_bytes(e.width, e.bits));
  const size_t palette = e.bits <= 8 ? (e.bits == 2 ? 16 : 1024) : 0;
  const size_t pixels_at = 54 + palette;
  const size_t output_size = pixels_at + static_cast<size_t>(bmp_row_bytes(e.new_width, e.bits)) *
                                             static_cast<size_t>(e.new_height);
  std::vector<uint8_t> buffer(std::max<size_t>(65536, source_row_bytes));
  const double scale_y = static_cast<double>(e.height) / static_cast<double>(e.new_height);
  for (auto _ : state) {
    state.PauseTiming();
    remove(output.c_str());
    state.ResumeTiming();
    FILE* in = fopen(input.c_str(), "rb");
    size_t got = fread(buffer.data(), 1, pixels_at, in);
    int64_t next = 0;
    for (int32_t i = 0; i < e.new_height; ++i) {
      const double sy = static_cast<double>(i) * scale_y;
      const int64_t y0 = static_cast<int64_t>(sy);
      const int64_t last =
          e.bits >= 24 && sy != static_cast<double>(y0) && y0 + 1 < e.height ? y0 + 1 : y0;
      for (int64_t y = y0 > next ? y0 : next; y <= last; ++y) {
        if ((y - next) * static_cast<int64_t>(source_row_bytes) >= 8192) {
          fseeko(in, static_cast<off_t>(pixels_at + static_cast<size_t>(y) * source_row_bytes),
                 SEEK_SET);
        } else {
          for (; next < y; ++next) got += fread(buffer.data(), 1, source_row_bytes, in);
        }
        got += fread(buffer.data(), 1, source_row_bytes, in);
        next = y + 1;
      }
    }
    fclose(in);
    FILE* out = fopen(output.c_str(), "wb");
    for (size_t left = output_size; left > 0;) {
      size_t chunk = std::min<size_t>(left, 65536);
      got += fwrite(buffer.data(), 1, chunk, out);
      left -= chunk;
    }
    fclose(out);
    benchmark::DoNotOptimize(got);
  }
  report_heap(state, -1);
}

void run_resize_opencv(benchmark::State& state, ResizeExport e) {
  std::string input = resize_input(e);
  std::string output = bench_temp_dir() + "/" + resize_name(e) + "_opencv.bmp";
  int interpolation = e.bits >= 24 ? cv::INTER_LINEAR : cv::INTER_NEAREST;
  for (auto _ : state) {
    cv::Mat source = cv::imread(input, cv::IMREAD_UNCHANGED);
    cv::Mat result;
    cv::resize(source, result, cv::Size(e.new_width, e.new_height), 0, 0, interpolation);
    if (!cv::imwrite(output, result)) state.SkipWithError("imwrite failed");
  }
  report_heap(state, -1);
}

void run_resize_plain(benchmark::State& state, ResizeExport e) {
  std::string input = resize_input(e);
  std::string output = bench_temp_dir() + "/" + resize_name(e) + "_plain.bmp";
  std::vector<uint8_t> expected(54 + static_cast<size_t>(e.bits <= 8 ? 1024 : 0) +
                                static_cast<size_t>(bmp_row_bytes(e.new_width, e.bits)) *
                                    static_cast<size_t>(e.new_height));
  for (auto _ : state) {
    state.PauseTiming();
    remove(output.c_str());
    state.ResumeTiming();
    plain_read_write(input, output, expected.size(), expected.data());
  }
  report_heap(state, -1);
}

// The kernel alone, into a result made once (warm pages), with the set the
// export uses.
void run_resize_kernel(benchmark::State& state, ResizeExport e) {
  std::string input = resize_input(e);
  RasterImage* source = load_bmp(input.c_str());
  RasterImage* result = resample_image(source, e.new_width, e.new_height);
  for (auto _ : state) {
    if (!resample_pixels_with(source, result, best_resample_kernel_set())) {
      state.SkipWithError("the fast resampler declined");
      break;
    }
    benchmark::DoNotOptimize(result->pixels);
  }
  free_image(result);
  free_image(source);
  report_heap(state, -1);
}

struct ErodeExport {
  const char* picture;  // "random" (0/255) or "blocks" of 8 bits, "colour" of 24
  int32_t passes;
  uint16_t bits;
};

// The blocks file once with a single pass: what a hundred passes add to a
// call. The colour file: what the threshold of 24-bit rows adds.
const ErodeExport kErodeExports[] = {
    {"random", 1, 8}, {"blocks", 1, 8}, {"blocks", 100, 8}, {"colour", 1, 24}};
constexpr int32_t kErodeSide = 4096;

std::string erode_name(const ErodeExport& e) {
  return "BMPErosion_" + std::to_string(e.bits) + "bit_4096x4096_" + e.picture + "_" +
         std::to_string(e.passes) + "pass";
}

std::string erode_input(const ErodeExport& e) {
  std::string path = bench_temp_dir() + "/" + erode_name(e) + "_in.bmp";
  static std::vector<std::string> written;
  for (const std::string& p : written) {
    if (p == path) return path;
  }
  if (e.bits == 24) {
    RasterImage* colour = make_random_raster(kErodeSide, kErodeSide, 24, 6);
    if (!save_bmp(colour, path.c_str())) abort();
    free_image(colour);
  } else {
    GrayImage* image = std::string(e.picture) == "random"
                           ? make_random_binary(kErodeSide, kErodeSide)
                           : make_blocks(kErodeSide, kErodeSide);
    if (!save_gray_bmp(image, path.c_str())) abort();
    free_gray_image(image);
  }
  written.push_back(path);
  return path;
}

void run_erode_export(benchmark::State& state, ErodeExport e) {
  auto erode = reinterpret_cast<VorlinErodeFn>(module_symbol(VORLINMORPH_PATH, "BMPErosion"));
  std::wstring in = widen(erode_input(e));
  std::wstring out = widen(bench_temp_dir() + "/" + erode_name(e) + "_ours.bmp");
  int saved = quiet_stdout_begin();
  heap_reset_peak();
  size_t before = heap_live();
  int32_t status = erode(in.c_str(), out.c_str(), e.passes);
  size_t peak = heap_peak() - before;
  for (auto _ : state) {
    status = erode(in.c_str(), out.c_str(), e.passes);
  }
  quiet_stdout_end(saved);
  if (status != VORLIN_ERODE_OK) state.SkipWithError("BMPErosion failed");
  report_heap(state, static_cast<double>(peak) / 1024.0);
}

void run_erode_opencv(benchmark::State& state, ErodeExport e) {
  std::string input = erode_input(e);
  std::string output = bench_temp_dir() + "/" + erode_name(e) + "_opencv.bmp";
  cv::Mat cross = cv::getStructuringElement(cv::MORPH_CROSS, cv::Size(3, 3));
  for (auto _ : state) {
    cv::Mat image = cv::imread(input, cv::IMREAD_GRAYSCALE);
    cv::Mat eroded;
    cv::erode(image, eroded, cross, cv::Point(-1, -1), e.passes);
    if (!cv::imwrite(output, eroded)) state.SkipWithError("imwrite failed");
  }
  report_heap(state, -1);
}

void run_erode_plain(benchmark::State& state, ErodeExport e) {
  std::string input = erode_input(e);
  std::string output = bench_temp_dir() + "/" + erode_name(e) + "_plain.bmp";
  std::vector<uint8_t> expected(static_cast<size_t>(gray_bmp_file_size(kErodeSide, kErodeSide)));
  for (auto _ : state) {
    plain_read_write(input, output, expected.size(), expected.data());
  }
  report_heap(state, -1);
}

// The passes in place on a fresh copy of the loaded image (the copy not timed).
void run_erode_kernel(benchmark::State& state, ErodeExport e) {
  int saved = quiet_stdout_begin();
  GrayImage* source = load_gray_bmp(erode_input(e).c_str(), best_erode_kernel_set());
  quiet_stdout_end(saved);
  GrayImage* image = new_gray_image(source->width, source->height);
  const size_t size = static_cast<size_t>(source->width) * static_cast<size_t>(source->height);
  for (auto _ : state) {
    state.PauseTiming();
    memcpy(image->pixels, source->pixels, size);
    state.ResumeTiming();
    erode_passes(image, e.passes, nullptr, nullptr);
    benchmark::DoNotOptimize(image->pixels);
  }
  free_gray_image(image);
  free_gray_image(source);
  report_heap(state, -1);
}

void run_probe_export(benchmark::State& state) {
  auto probe = reinterpret_cast<VorlinProbeFn>(module_symbol(VORLINPROBE_PATH, "BMPSizeChecker"));
  std::wstring path = widen(resize_input(kResizeExports[0]));
  int32_t width = 0;
  for (auto _ : state) {
    width = probe(path.c_str(), VORLIN_QUERY_WIDTH);
  }
  if (width != kResizeExports[0].width) state.SkipWithError("BMPSizeChecker failed");
  report_heap(state, -1);
}

void run_probe_plain(benchmark::State& state) {
  std::string path = resize_input(kResizeExports[0]);
  uint8_t header[54];
  for (auto _ : state) {
    FILE* file = fopen(path.c_str(), "rb");
    size_t got = fread(header, 1, sizeof header, file);
    fclose(file);
    benchmark::DoNotOptimize(got);
  }
  report_heap(state, -1);
}

}  // namespace

void register_export_benchmarks() {
  const bool baseline = getenv("VORLIN_BENCH_BASELINE") != nullptr;
  for (const ResizeExport& e : kResizeExports) {
    std::string which = resize_name(e);
    add_benchmark("export", which, "ours", run_resize_export, e);
    add_benchmark("export", which, "opencv", run_resize_opencv, e);
    add_benchmark("export", which, "plainio", run_resize_plain, e);
    add_benchmark("export", which, "floor", run_resize_floor, e);
    add_benchmark("export", which, "kernel", run_resize_kernel, e);
    if (baseline) add_benchmark("export", which, "baseline", run_resize_baseline, e);
  }
  // The claimed 30000 x 30000 picture (bits 0 marks it): no row is there.
  const ResizeExport claimed = {30000, 30000, 64, 64, 0};
  add_benchmark("export", "BMPResizers_24bit_claimed_30000x30000_to_64x64", "ours",
                run_resize_export, claimed);
  for (const ErodeExport& e : kErodeExports) {
    std::string which = erode_name(e);
    add_benchmark("export", which, "ours", run_erode_export, e);
    add_benchmark("export", which, "opencv", run_erode_opencv, e);
    add_benchmark("export", which, "plainio", run_erode_plain, e);
    add_benchmark("export", which, "kernel", run_erode_kernel, e);
  }
  add_benchmark("export", "BMPSizeChecker_width", "ours", run_probe_export);
  add_benchmark("export", "BMPSizeChecker_width", "plainio", run_probe_plain);
}
