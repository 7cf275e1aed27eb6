// The fast resampler against the reference: byte-for-byte equality on random
// images of every depth and size, with every kernel set this CPU runs. (A
// failed scratch allocation falls back to the reference: the allocation-
// failure program covers that, with every other allocation of the call.)
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <random>
#include <vector>
#if defined(_WIN32)
#include <io.h>
#else
#include <unistd.h>
#endif
#include <string>

#include "raster_image.h"
#include "resample_fast.h"
#include "resample_kernels.h"
#include "resample_reference.h"
#include "resample_spans.h"
#include "resize_stream.h"
#include "test_support.h"

namespace {

const uint16_t kDepths[] = {2, 8, 16, 24, 32};

// A source image with random content (sometimes mostly 0 and 255, the values
// at the clamp's edges) and, for 2 and 8 bits, a random palette.
RasterImage* random_image(std::mt19937& rng, int32_t width, int32_t height, uint16_t bits) {
  RasterImage* image = static_cast<RasterImage*>(malloc(sizeof(RasterImage)));
  image->width = width;
  image->height = height;
  image->bits_per_pixel = bits;
  size_t size = static_cast<size_t>(bmp_row_bytes(width, bits)) * static_cast<size_t>(height);
  Bytes content = random_bytes(size, static_cast<uint32_t>(rng()));
  if (rng() % 4 == 0) {
    for (uint8_t& b : content) b = b < 128 ? 255 : (b < 200 ? 0 : b);
  }
  image->pixels = static_cast<uint8_t*>(malloc(size));
  memcpy(image->pixels, content.data(), size);
  image->palette = nullptr;
  image->palette_count = 0;
  if (bits <= 8) {
    image->palette_count = bits == 2 ? 4 : static_cast<int32_t>(1 + rng() % 256);
    Bytes entries = random_bytes(static_cast<size_t>(image->palette_count) * 4, rng());
    image->palette = static_cast<PaletteEntry*>(malloc(entries.size()));
    memcpy(image->palette, entries.data(), entries.size());
  }
  return image;
}

size_t byte_count(const RasterImage* image) {
  return static_cast<size_t>(bmp_row_bytes(image->width, image->bits_per_pixel)) *
         static_cast<size_t>(image->height);
}

// Fills a zero image of the reference's shape with the given kernel set and
// reports the first byte that differs from the reference.
::testing::AssertionResult kernels_match(const RasterImage* source, const RasterImage* reference,
                                         const ResampleKernelSet& set) {
  RasterImage* fast = static_cast<RasterImage*>(malloc(sizeof(RasterImage)));
  *fast = *reference;
  fast->palette = nullptr;
  fast->palette_count = 0;
  fast->pixels = static_cast<uint8_t*>(calloc(byte_count(reference), 1));
  bool done = resample_pixels_with(source, fast, set);
  size_t size = byte_count(reference);
  size_t first = size;
  for (size_t i = 0; i < size && first == size; ++i) {
    if (fast->pixels[i] != reference->pixels[i]) first = i;
  }
  free_image(fast);
  if (!done) {
    return ::testing::AssertionFailure() << set.name << " declined";
  }
  if (first != size) {
    return ::testing::AssertionFailure()
           << set.name << ": byte " << first << " of " << size << " differs";
  }
  return ::testing::AssertionSuccess();
}

// The same result made in strips of random heights, each from copies of
// only the source rows that strip reads (source_rows_of), as the streamed
// call holds them: a row read that the strip did not ask for reads a null
// entry, and one read past a row's end leaves its own block.
::testing::AssertionResult strips_match(const RasterImage* source, const RasterImage* reference,
                                        const ResampleKernelSet& set) {
  const ResampleMode mode = resample_mode(source, reference);
  if (mode == ResampleMode::kDecline) {
    return ::testing::AssertionSuccess();  // the reference makes these
  }
  std::mt19937 rng(static_cast<uint32_t>(reference->width * 31 + reference->height));
  ResampleScratch* scratch = new_resample_scratch();
  const size_t source_row_bytes =
      static_cast<size_t>(bmp_row_bytes(source->width, source->bits_per_pixel));
  const size_t row_bytes =
      static_cast<size_t>(bmp_row_bytes(reference->width, reference->bits_per_pixel));
  int32_t bad_row = -1;
  for (int32_t first = 0; first < reference->height && bad_row < 0;) {
    const int32_t count =
        std::min<int32_t>(1 + static_cast<int32_t>(rng() % 40), reference->height - first);
    int32_t table_first = 0;
    int32_t unused = 0;
    source_rows_of(source, reference, mode, first, &table_first, &unused);
    std::vector<Bytes> copies;
    std::vector<const uint8_t*> table;
    copies.reserve(2 * static_cast<size_t>(count));
    for (int32_t i = first; i < first + count; ++i) {
      int32_t rows[2];
      source_rows_of(source, reference, mode, i, &rows[0], &rows[1]);
      for (int32_t y : rows) {
        if (y < 0 || y >= source->height) continue;
        const size_t at = static_cast<size_t>(y - table_first);
        if (table.size() <= at) table.resize(at + 1, nullptr);
        if (table[at] != nullptr) continue;
        const uint8_t* row = source->pixels + static_cast<size_t>(y) * source_row_bytes;
        copies.emplace_back(row, row + source_row_bytes);
        table[at] = copies.back().data();
      }
    }
    Bytes out(row_bytes * static_cast<size_t>(count), 0);
    const ResampleRows part = {
        source,      reference, {first, count}, nullptr, table.empty() ? nullptr : table.data(),
        table_first, out.data()};
    resample_rows_with(part, mode, set, scratch);
    if (memcmp(out.data(), reference->pixels + static_cast<size_t>(first) * row_bytes,
               out.size()) != 0) {
      bad_row = first;
    }
    first += count;
  }
  free_resample_scratch(scratch);
  if (bad_row >= 0) {
    return ::testing::AssertionFailure()
           << set.name << ": the strip from result row " << bad_row << " differs";
  }
  return ::testing::AssertionSuccess();
}

// Every kernel set, and resample_image as a whole (record, palette, bytes).
void expect_same_as_reference(const RasterImage* source, int32_t new_width, int32_t new_height) {
  RasterImage* reference = resample_image_reference(source, new_width, new_height);
  ASSERT_NE(reference, nullptr);
  std::string where = std::to_string(source->width) + "x" + std::to_string(source->height) + "x" +
                      std::to_string(source->bits_per_pixel) + " -> " + std::to_string(new_width) +
                      "x" + std::to_string(new_height);
  for (size_t s = 0; s < kResampleKernelSetCount; ++s) {
    if (kResampleKernelSets[s].available()) {
      EXPECT_TRUE(kernels_match(source, reference, kResampleKernelSets[s])) << where;
      EXPECT_TRUE(strips_match(source, reference, kResampleKernelSets[s])) << where;
    }
  }
  RasterImage* result = resample_image(source, new_width, new_height);
  ASSERT_NE(result, nullptr);
  EXPECT_EQ(result->width, new_width);
  EXPECT_EQ(result->height, new_height);
  EXPECT_EQ(result->bits_per_pixel, source->bits_per_pixel);
  ASSERT_EQ(result->palette_count, reference->palette_count);
  if (reference->palette_count > 0) {
    EXPECT_EQ(memcmp(result->palette, reference->palette,
                     static_cast<size_t>(reference->palette_count) * sizeof(PaletteEntry)),
              0);
  }
  EXPECT_EQ(memcmp(result->pixels, reference->pixels, byte_count(reference)), 0) << where;
  free_image(result);
  free_image(reference);
}

// The portable set ends the table and is always there; the best set is the
// first available one.
TEST(ResampleFast, KernelTableEndsWithThePortableSet) {
  ASSERT_GT(kResampleKernelSetCount, 0u);
  const ResampleKernelSet& last = kResampleKernelSets[kResampleKernelSetCount - 1];
  EXPECT_EQ(last.id, ResampleKernelId::kPortable);
  EXPECT_TRUE(last.available());
  size_t best = 0;
  while (!kResampleKernelSets[best].available()) ++best;
  EXPECT_EQ(&best_resample_kernel_set(), &kResampleKernelSets[best]);
  // Each row's name is its id's, and no set is there twice.
  const struct {
    ResampleKernelId id;
    const char* name;
  } kNames[] = {{ResampleKernelId::kPortable, "portable"},
                {ResampleKernelId::kSse2, "sse2"},
                {ResampleKernelId::kAvx2, "avx2"},
                {ResampleKernelId::kAvx512, "avx512"},
                {ResampleKernelId::kNeon, "neon"}};
  std::vector<std::string> seen;
  for (size_t s = 0; s < kResampleKernelSetCount; ++s) {
    const ResampleKernelSet& set = kResampleKernelSets[s];
    for (const auto& n : kNames) {
      if (n.id == set.id) {
        EXPECT_STREQ(set.name, n.name);
      }
    }
    EXPECT_EQ(std::count(seen.begin(), seen.end(), set.name), 0) << set.name;
    seen.emplace_back(set.name);
  }
#if defined(__aarch64__)
  // Every 64-bit ARM CPU has NEON: a build with the sets has it first and runs it.
  if (kResampleKernelSetCount > 1) {
    EXPECT_STREQ(best_resample_kernel_set().name, "neon");
  }
#endif
}

// Each set's row blends against the formula, value by value, at every length
// across each set's step and tail (0 .. 80 values), with and without a
// second row, on values beyond 0..255 for the clamp and on sums at the
// 16-bit blend's limit.
TEST(ResampleFast, RowBlendsOfEverySetMatchTheFormula) {
  std::mt19937 rng(7);
  const double fractions[] = {0.0, 0.5, 0.3, 0.999};
  for (size_t s = 0; s < kResampleKernelSetCount; ++s) {
    const ResampleKernelSet& set = kResampleKernelSets[s];
    if (!set.available()) continue;
    for (size_t n = 0; n <= 80; ++n) {
      std::vector<double> d0(n), d1(n);
      std::vector<uint16_t> w0(n), w1(n);
      for (size_t i = 0; i < n; ++i) {
        d0[i] = static_cast<double>(rng() % 3200) / 10.0 - 30.0;  // -30 .. 290
        d1[i] = static_cast<double>(rng() % 2560) / 10.0;
        w0[i] = i % 7 == 0 ? 4080 : static_cast<uint16_t>(rng() % 4081);
        w1[i] = i % 5 == 0 ? 4080 : static_cast<uint16_t>(rng() % 4081);
      }
      for (double fy : fractions) {
        const uint32_t b = static_cast<uint32_t>(fy * 16.0);
        const bool two = fy != 0.0;
        Bytes got(n + 1, 0xA5), got16(n + 1, 0xA5), want(n + 1, 0xA5), want16(n + 1, 0xA5);
        for (size_t i = 0; i < n; ++i) {
          const double v = two ? (d0[i] * (1.0 - fy)) + (d1[i] * fy) : d0[i];
          want[i] = static_cast<uint8_t>(std::min(255, std::max(0, static_cast<int32_t>(v))));
          want16[i] = static_cast<uint8_t>((two ? w0[i] * (16 - b) + w1[i] * b : w0[i] * 16u) >> 8);
        }
        set.blends->blend_rows(got.data(), d0.data(), two ? d1.data() : nullptr, 1.0 - fy, fy, n);
        set.blends->blend_rows_sixteenths(got16.data(), w0.data(), two ? w1.data() : nullptr, b, n);
        EXPECT_EQ(got, want) << set.name << ", " << n << " values, fy " << fy;
        EXPECT_EQ(got16, want16) << set.name << ", " << n << " values, b " << b;
      }
      if (HasFailure()) return;
    }
  }
}

TEST(ResampleFast, MatchesReferenceOnRandomImages) {
  std::mt19937 rng(20240611);
#if defined(VORLIN_EMULATED_TEST_RUN)
  // Under qemu each case costs tens of times more; the fixed cases below
  // still cover every shortcut and band edge.
  const int kCases = 1500;
#else
  const int kCases = 10000;
#endif
  for (int n = 0; n < kCases; ++n) {
    uint16_t bits = kDepths[n % 5];
    RasterImage* source = random_image(rng, random_size(rng, 300), random_size(rng, 300), bits);
    expect_same_as_reference(source, random_size(rng, 600), random_size(rng, 600));
    free_image(source);
    if (HasFailure()) break;  // one report is enough to start from
  }
}

// Sizes whose every sampling fraction is a whole number of sixteenths (the
// result's width divides 16 times the source's, and so for heights) take the
// integer blend; random ones of them, at every depth.
TEST(ResampleFast, MatchesReferenceWhenFractionsAreSixteenths) {
  std::mt19937 rng(16);
  int cases = 0;
  while (cases < 1000) {
    int32_t width = random_size(rng, 200);
    int32_t height = random_size(rng, 200);
    int32_t new_width = 16 * width / static_cast<int32_t>(1 + rng() % 48);
    int32_t new_height = 16 * height / static_cast<int32_t>(1 + rng() % 48);
    if (new_width < 1 || new_height < 1 || (16 * width) % new_width != 0 ||
        (16 * height) % new_height != 0 || new_width > 2500 || new_height > 600) {
      continue;
    }
    RasterImage* source = random_image(rng, width, height, cases % 2 == 0 ? 24 : 32);
    expect_same_as_reference(source, new_width, new_height);
    free_image(source);
    ++cases;
    if (HasFailure()) break;
  }
}

// Ratios whose fractions are exactly 0 or simple binary values take the
// shortcuts; wide results cross the column bands; heights of 1 and 2 and
// widths whose rows have no padding put the last pixel at the buffer's end.
TEST(ResampleFast, MatchesReferenceOnExactRatiosAndBandEdges) {
  struct Case {
    int32_t width, height, new_width, new_height;
  };
  const Case cases[] = {
      {64, 64, 32, 32},
      {64, 48, 256, 192},
      {96, 54, 64, 36},
      {1, 1, 2, 2},
      {8, 8, 8, 8},
      {7, 5, 7, 5},
      {3, 2, 1300, 3},
      {600, 3, 513, 2},
      {2, 9, 1025, 4},
      {5, 1, 4099, 1},
      {4100, 2, 4100, 3},
      {4, 4, 9000, 1},
      {300, 2, 1, 1},
      {12, 12, 1024, 1},
      {4, 1, 4, 2},
      {1, 300, 1, 599},
      {8200, 6, 4500, 2},   // two wide bands
      {40000, 2, 4100, 3},  // 2-bit spans too long to spread out first
      {40000, 2, 4090, 3},  // the same, with a short step and a part byte at the end
      // 2-bit downscales gathered a group of columns at a time: groups of 16,
      // 8 and 4 columns, too far apart for any group, groups across the band
      // edge, and rows without padding whose last groups reach the row's end.
      {1920, 3, 1280, 2},
      {4096, 2, 2048, 2},
      {4097, 2, 2048, 2},
      {16400, 2, 4100, 3},
      {30000, 2, 4099, 2},
      {60000, 2, 4099, 1},
      {9000, 2, 8999, 2},
      {4096, 2, 4095, 2},
      {64, 3, 63, 2},
      {128, 2, 100, 3},
      {48, 2, 13, 2},
      {33, 2, 31, 2},
      // 2-bit output bytes looked up from one, two or three source bytes, or
      // from more (pixel by pixel), and upscales with many patterns.
      {2600, 2, 1000, 2},
      {3500, 2, 1000, 2},
      {1024, 3, 4096, 5},
      {700, 3, 1003, 4},
      // Several strips of rows and bands of columns, in doubles and in
      // sixteenths; ratios where the permute windows of 32 bytes stop fitting
      // partway through a band (the rest goes pixel by pixel).
      {333, 80, 1001, 350},
      {500, 90, 1000, 360},
      {1750, 3, 1000, 4},
      {1700, 3, 1000, 5},
  };
  std::mt19937 rng(7);
  for (const Case& c : cases) {
    for (uint16_t bits : kDepths) {
      RasterImage* source = random_image(rng, c.width, c.height, bits);
      expect_same_as_reference(source, c.new_width, c.new_height);
      free_image(source);
    }
  }
}

// ------------------------------------------ the streamed call, held to the pipeline

// What a resize call left: its outcome, both streams, and the output file.
struct FileRun {
  ResizeOutcome outcome;
  Captured captured;
  bool written;
  Bytes output;
};

// One capture stays open for a whole test (a capture a call costs a
// directory); after each call its text is taken and the files emptied.
Captured take_capture() {
  fflush(stdout);
  fflush(stderr);
  Captured text = peek_capture();
  for (int fd : {1, 2}) {
#if defined(_WIN32)
    EXPECT_EQ(_chsize(fd, 0), 0);
    EXPECT_EQ(_lseek(fd, 0, SEEK_SET), 0);
#else
    EXPECT_EQ(ftruncate(fd, 0), 0);
    EXPECT_EQ(lseek(fd, 0, SEEK_SET), 0);
#endif
  }
  return text;
}

FileRun run_file_call(const std::string& in, const std::string& out, int32_t width, int32_t height,
                      const ResampleKernelSet* set) {
  remove(out.c_str());
  FileRun run;
  run.outcome = set == nullptr ? resize_whole(in.c_str(), out.c_str(), width, height)
                               : resize_streamed(in.c_str(), out.c_str(), width, height, *set);
  run.captured = take_capture();
  run.written = file_exists(out);
  if (run.written) run.output = read_file(out);
  return run;
}

// The streamed call with every kernel set against the whole-image pipeline:
// outcome, standard output and error, and every byte of the output file.
void expect_streamed_as_whole(const std::string& in, const std::string& out, int32_t width,
                              int32_t height, const std::string& where) {
  const FileRun whole = run_file_call(in, out, width, height, nullptr);
  for (size_t s = 0; s < kResampleKernelSetCount; ++s) {
    const ResampleKernelSet& set = kResampleKernelSets[s];
    if (!set.available()) continue;
    const FileRun streamed = run_file_call(in, out, width, height, &set);
    EXPECT_EQ(streamed.outcome, whole.outcome) << where << ", " << set.name;
    EXPECT_EQ(streamed.captured.out, whole.captured.out) << where << ", " << set.name;
    EXPECT_EQ(streamed.captured.err, whole.captured.err) << where << ", " << set.name;
    EXPECT_EQ(streamed.written, whole.written) << where << ", " << set.name;
    EXPECT_TRUE(streamed.output == whole.output) << where << ", " << set.name << ": outputs differ";
  }
}

// A BMP file of random content: any depth, a palette of any length for 2
// and 8 bits, sometimes a longer information header, a pixel offset in the
// headers, in the palette or past the end, and the file cut anywhere (often
// at a row's edge).
Bytes random_bmp_file(std::mt19937& rng, int32_t width, int32_t height, uint16_t bits) {
  BmpFields f;
  f.width = width;
  f.height = height;
  f.bits_per_pixel = bits;
  if (rng() % 5 == 0) f.header_size = 40 + static_cast<uint32_t>(rng() % 90);
  size_t entries = 0;
  if (bits <= 8) {
    f.colors_used = rng() % 3 == 0 ? 0 : static_cast<uint32_t>(1 + rng() % 300);
    entries = f.colors_used != 0 ? f.colors_used : bits == 2 ? 4 : 256;
  }
  const size_t row_bytes = test_row_size(width, bits);
  Bytes file =
      build_bmp(f, random_bytes(entries * 4, static_cast<uint32_t>(rng())),
                random_bytes(row_bytes * static_cast<size_t>(height), static_cast<uint32_t>(rng())),
                rng() % 6 == 0 ? rng() % 9 : 0);
  const uint32_t offset = get_le32(file, 10);
  switch (rng() % 10) {
    case 0:  // inside the headers or the palette
      file[10] = static_cast<uint8_t>(rng() % offset);
      file[11] = file[12] = file[13] = 0;
      break;
    case 1: {  // past the end
      const uint32_t far = static_cast<uint32_t>(file.size() + rng() % 5000);
      for (int b = 0; b < 4; ++b) file[10 + b] = static_cast<uint8_t>(far >> (8 * b));
      break;
    }
    case 2:  // cut at a row's edge
      file.resize(offset + row_bytes * (rng() % static_cast<uint32_t>(height)));
      break;
    case 3:  // cut anywhere after the headers
      file.resize(54 + rng() % (file.size() - 53));
      break;
    default: break;
  }
  return file;
}

TEST(ResampleFast, StreamedCallMatchesTheWholeImagePipelineOnRandomFiles) {
  std::mt19937 rng(20261209);
#if defined(VORLIN_EMULATED_TEST_RUN)
  const int kCases = 200;
#else
  const int kCases = 1000;
#endif
  const std::string dir = make_temp_dir();
  const std::string in = dir + "/in.bmp";
  const std::string out = dir + "/out.bmp";
  begin_capture();
  for (int n = 0; n < kCases; ++n) {
    const uint16_t bits = kDepths[n % 5];
    const int32_t width = random_size(rng, 200);
    const int32_t height = random_size(rng, 200);
    write_file(in, random_bmp_file(rng, width, height, bits));
    const int32_t new_width = random_size(rng, 300);
    const int32_t new_height = random_size(rng, 300);
    expect_streamed_as_whole(in, out, new_width, new_height,
                             "case " + std::to_string(n) + ": " + std::to_string(width) + "x" +
                                 std::to_string(height) + "x" + std::to_string(bits) + " -> " +
                                 std::to_string(new_width) + "x" + std::to_string(new_height));
    if (::testing::Test::HasFailure()) break;
  }
  end_capture();
}

// Strips of one row and rings of two (rows wider than either holds),
// enlargements that repeat each source row hundreds of times, reductions
// that skip most rows (the table's span and the seek over gaps), fractions
// of 0, sixteenths and others, and the last rows that blend in black.
TEST(ResampleFast, StreamedCallMatchesThePipelineAtStripRingAndTableEdges) {
  struct Case {
    int32_t width, height, new_width, new_height;
  };
  const Case cases[] = {
      {140000, 3, 140000, 5},  // a 24-bit result row over the strip: strips of 1 row
      {240000, 4, 90, 7},      // source rows over the ring: a ring of 2
      {3, 2, 5, 4000},         // each source row made 2000 times
      {20, 30000, 7, 5},       // every 6000th row, and the table's span
      {64, 9000, 64, 4500},    // halving: every other row, fy 0
      {64, 9000, 64, 4501},    // nearly halving: two rows a result row
      {33, 10, 33, 160},       // sixteenths
      {17, 7, 40, 29},         // the last rows mixing in black
      {1, 1, 1, 1},           {5, 3000, 3, 2999},
  };
  const std::string dir = make_temp_dir();
  const std::string in = dir + "/in.bmp";
  const std::string out = dir + "/out.bmp";
  std::mt19937 rng(11);
  begin_capture();
  for (const Case& c : cases) {
    for (uint16_t bits : kDepths) {
      if (int64_t{c.width} * c.height * bits > int64_t{64} << 23) continue;  // keep files small
      BmpFields f;
      f.width = c.width;
      f.height = c.height;
      f.bits_per_pixel = bits;
      const size_t entries = bits == 2 ? 4 : bits == 8 ? 256 : 0;
      write_file(
          in, build_bmp(f, random_bytes(entries * 4, rng()),
                        random_bytes(test_row_size(c.width, bits) * static_cast<size_t>(c.height),
                                     rng())));
      expect_streamed_as_whole(in, out, c.new_width, c.new_height,
                               std::to_string(c.width) + "x" + std::to_string(c.height) + "x" +
                                   std::to_string(bits) + " -> " + std::to_string(c.new_width) +
                                   "x" + std::to_string(c.new_height));
    }
  }
  end_capture();
}

// Bands and strips tile every length up to 2^31 - 1 exactly and end: the
// step past the last span of a row near that length once wrapped negative.
TEST(ResampleFast, SpansTileEveryLengthWithoutWrapping) {
  const int32_t kMax = 2147483647;
  const int32_t totals[] = {0, 1, 63, 64, 65, 4096, 4097, 2147479552, 2147479553, kMax - 1, kMax};
  const int32_t sizes[] = {64, 512, 4096};
  for (int32_t total : totals) {
    for (int32_t size : sizes) {
      int64_t end = 0;
      int64_t spans = 0;
      for (Span s = next_span({0, 0}, total, size); s.count > 0; s = next_span(s, total, size)) {
        ASSERT_EQ(s.first, end) << total << " by " << size;
        ASSERT_LE(s.count, size);
        end = int64_t{s.first} + s.count;
        ++spans;
      }
      EXPECT_EQ(end, total) << total << " by " << size;
      EXPECT_EQ(spans, (int64_t{total} + size - 1) / size) << total << " by " << size;
    }
  }
}

}  // namespace
