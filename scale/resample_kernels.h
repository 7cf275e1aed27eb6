// The fast resampler's kernel sets: the inner loops over one band of output
// columns, built once for each instruction set. Dispatch, the equivalence
// tests and the benchmarks all walk the one table; adding a set is a row in
// it (resample_kernel_sets.cpp, with its availability) and a file of its own,
// resample_<set>.cpp, its kernels written over resample_ops.h.
#ifndef VORLIN_SCALE_RESAMPLE_KERNELS_H
#define VORLIN_SCALE_RESAMPLE_KERNELS_H

#include <cstddef>
#include <cstdint>

// Instruction sets a kernel set is built for.
enum class ResampleKernelId : uint8_t { kPortable, kSse2, kAvx2, kAvx512, kNeon };

// Output columns per band when sampling (2-, 8- and 16-bit images, and
// 24- and 32-bit ones whose every fraction is 0).
constexpr int32_t kSampleBand = 4096;
// Output bytes of a 2-bit band, and the lookup tables its plan may build.
constexpr int32_t kTwoBitBandBytes = kSampleBand / 4;
constexpr int32_t kTwoBitTables = 48;

// How each output byte (four pixels) of a 2-bit band is put together from
// its source row. Lookup tables (any CPU): output byte k is the OR of
// tables[table[3 k + m] + row[start[k] + m]] for m < reach, each table moving
// one source byte's chosen pixels to their places. Bit extract (x86 with a
// quick BMI2): output group g of group_pixels pixels is the bits mask[g]
// picks from the eight source bytes at start[g], read big-endian. Output
// pixels past the planned ones are sampled one by one.
struct TwoBitPlan {
  int32_t table_bytes;   // output bytes planned by lookup tables
  int32_t reach;         // source bytes each of them reads: 1, 2 or 3
  int32_t groups;        // output groups planned for the bit extract
  int32_t group_pixels;  // 16, 8 or 4
  uint32_t start[kTwoBitBandBytes];
  uint64_t mask[kTwoBitBandBytes];
  uint16_t table[3 * kTwoBitBandBytes];
  uint8_t tables[kTwoBitTables * 256];
  uint8_t table_of[1 << 12];  // while planning: the table of each choice of pixels
};

// Values (channels of consecutive output columns) per window: the blend
// kernels that gather through a permute read each run of this many values
// from one window of kWindowBytes source bytes.
constexpr int32_t kWindowValues = 16;
constexpr int32_t kWindowBytes = 32;

// One band of a 24- or 32-bit resize, as the blend kernels read it. Value v
// of the band is channel v % channels of column v / channels.
struct BlendColumns {
  const int32_t* x0;       // source column of each output column
  const double* fx;        // its fraction (the double-precision blend)
  const double* gx;        // 1 - fx
  const uint32_t* weight;  // in sixteenths (the integer blend): (a << 16) | (16 - a)
                           // for a fraction of a/16
  int32_t channels;        // 3 or 4
  int32_t interior;        // leading columns whose two samples lie in the row, with
                           // 4 bytes readable at the right one
  // For the sets that read windows, the first `windows` runs of
  // kWindowValues values (0 for the others): run w reads the bytes
  // from window[w]; its values' left samples are at picks[2 w kWindowValues
  // + i] in the window, their right ones kWindowValues entries further on.
  // Per value: the fraction (value_fx), or in sixteenths the weight pairs
  // laid out like picks (16 - a, then a).
  int32_t windows;
  const int64_t* window;
  const uint16_t* picks;
  const double* value_fx;
  const uint16_t* value_weights;
};

// A set's blends, defined in its file as one record: the table's rows point
// at them.
struct ResampleBlends {
  // A source row blended across the band's interior columns, channels
  // values a column: h = c00 gx + c10 fx in doubles, or c00 (16 - a) + c10 a.
  void (*blend_columns)(double* h, const uint8_t* row, const BlendColumns& c);
  void (*blend_columns_sixteenths)(uint16_t* h, const uint8_t* row, const BlendColumns& c);
  // n values of output bytes from two such rows: (h0 gy) + (h1 fy), or
  // (h0 (16 - b) + h1 b) >> 8; with h1 null (a zero vertical fraction) h0
  // alone, or h0 >> 4. Truncated and clamped to 0..255.
  void (*blend_rows)(uint8_t* out, const double* h0, const double* h1, double gy, double fy,
                     size_t n);
  void (*blend_rows_sixteenths)(uint8_t* out, const uint16_t* h0, const uint16_t* h1, uint32_t b,
                                size_t n);
};

struct ResampleKernelSet {
  ResampleKernelId id;
  const char* name;     // "portable", "sse2", "avx2", "avx512", "neon"
  bool (*available)();  // this build and this CPU run it; cpuid is asked once
  // Whether its column blends read the band's windows (else none are
  // planned), for this many channels, in sixteenths or in doubles.
  bool (*reads_windows)(int32_t channels, bool sixteenths);
  // A 2-bit band: its plan, then each row by it (all count pixels).
  void (*plan_two_bit)(TwoBitPlan* plan, const int32_t* x0, int32_t count, int64_t row_bytes);
  void (*sample_two_bit)(uint8_t* out, const uint8_t* row, const TwoBitPlan& plan,
                         const int32_t* x0, int32_t count);
  const ResampleBlends* blends;
};

// Every set this build holds, best first; the portable set is last and
// always available. Sets this target's compiler cannot build are not here.
extern const ResampleKernelSet kResampleKernelSets[];
extern const size_t kResampleKernelSetCount;

// The first available set. The caller asks once per call and passes it down.
const ResampleKernelSet& best_resample_kernel_set();

// Each set's blends and 2-bit sampling, defined in its set's file (the
// table names only the sets this build holds). The AVX2 file also holds the
// bit-extract 2-bit sampling (BMI2), which plans by lookup tables where
// bit_extract_is_fast() (asked once, in resample_kernel_sets.cpp) says
// BMI2's bit extract is not one quick instruction on this CPU.
extern const ResampleBlends kPortableBlends, kSse2Blends, kAvx2Blends, kAvx512Blends, kNeonBlends;
void plan_two_bit_portable(TwoBitPlan* plan, const int32_t* x0, int32_t count, int64_t row_bytes);
void sample_two_bit_portable(uint8_t* out, const uint8_t* row, const TwoBitPlan& plan,
                             const int32_t* x0, int32_t count);
// 2-bit pixels first .. count - 1 (first a multiple of 4), one by one.
void sample_two_bit_pixels(uint8_t* out, const uint8_t* row, const int32_t* x0, int32_t first,
                           int32_t count);
void plan_two_bit_bmi2(TwoBitPlan* plan, const int32_t* x0, int32_t count, int64_t row_bytes);
void sample_two_bit_bmi2(uint8_t* out, const uint8_t* row, const TwoBitPlan& plan,
                         const int32_t* x0, int32_t count);
bool bit_extract_is_fast();

#endif  // VORLIN_SCALE_RESAMPLE_KERNELS_H
