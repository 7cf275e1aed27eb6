// The erosion's kernel sets: one row per instruction set, each with the
// row of a single pass (erode_once), the three steps of the in-place
// multi-pass (erode_passes), which works on bit planes of rows, and the
// loader's 24-bit threshold of a row.
//
// Bit planes: a row of width pixels is ceil(width / 64) 64-bit words, rounded
// up to a whole block of kErodeBlockWords; pixel x is bit x % 64 of word
// x / 64, by value, so the planes mean the same on either byte order. Bits
// past the width are 0. "black" has the pixels that are exactly 0;
// "erodable" the pixels that are exactly 255 and not in the first or last
// column. One pass is then, word by word:
//   black' = black | (erodable & (above | below | left | right))
// with above and below the black planes of the neighbouring rows and left
// and right the row's own black plane moved by one pixel.
#ifndef VORLIN_MORPH_ERODE_KERNELS_H
#define VORLIN_MORPH_ERODE_KERNELS_H

#include <cstddef>
#include <cstdint>

// Instruction sets a kernel set is built for.
enum class ErodeKernelId : uint8_t { kPortable, kSse2, kSsse3, kAvx2, kAvx512, kNeon };

// A 24-bit pixel is white (255) when the integer average of its three bytes
// is above this, else black (0). For the sums 0 to 765 of three bytes that
// is a sum of at least 3 x 129 = 387, the form the vector rows compare.
constexpr uint32_t kWhiteAverage = 128;

// Words of a plane the multi-pass hands to a kernel at a time: 512 pixels,
// one AVX-512 register. Plane rows are whole blocks.
constexpr size_t kErodeBlockWords = 8;

// Blocks [first, end) of a plane row. A row has fewer than 2^32 blocks (a
// width below 2^31 pixels has under 2^22).
struct ErodeSpan {
  uint32_t first;
  uint32_t end;
};

// The empty span, the one form a kernel returns for no blocks: two spans
// join as the least first and the greatest end, whether empty or not.
constexpr ErodeSpan kErodeNoBlocks = {UINT32_MAX, 0};

// The two below have internal linkage: each kernel file, built for its own
// instruction set, keeps its own copy.
namespace {

// The span grown by block b when it changed, b past every block in it;
// written for conditional moves, since whether a block changes follows no
// pattern a branch could learn.
inline ErodeSpan erode_span_with(ErodeSpan span, uint32_t b, bool changed) {
  return {changed && span.first > b ? b : span.first, changed ? b + 1 : span.end};
}

// Ends a packed row of width pixels whose first words words are filled: the
// rest of its last block 0, and the first and last columns not erodable
// (they never change). Shared by every set's pack_row. Returns the plane
// length in words, whole blocks.
inline size_t finish_planes(uint64_t* black, uint64_t* erodable, size_t words, size_t width) {
  const size_t padded = (words + kErodeBlockWords - 1) / kErodeBlockWords * kErodeBlockWords;
  for (size_t j = words; j < padded; ++j) {
    black[j] = 0;
    erodable[j] = 0;
  }
  erodable[0] &= ~uint64_t{1};
  erodable[(width - 1) / 64] &= ~(uint64_t{1} << ((width - 1) % 64));
  return padded;
}

}  // namespace

struct ErodeKernelSet {
  ErodeKernelId id;
  const char* name;     // "portable", "sse2", "ssse3", "avx2", "avx512", "neon"
  bool (*available)();  // this build and this CPU run it; cpuid is asked once

  // One interior row of erode_once (width >= 3): out from the source rows
  // above, row and below; ahead is how many source bytes follow the start of
  // the row below (how far it may prefetch).
  void (*erode_row)(uint8_t* out, const uint8_t* above, const uint8_t* row, const uint8_t* below,
                    size_t width, size_t ahead);

  // The black and erodable planes of a row of width pixels (words whole
  // blocks); returns whether any pixel is erodable.
  bool (*pack_row)(uint64_t* black, uint64_t* erodable, const uint8_t* row, size_t width);

  // One pass on the blocks `blocks` (not empty) of a row's black plane (64-byte
  // aligned): out from above, row and below, which are never out. Reads the
  // block of row before the first and the one after the last. Returns the
  // span of the blocks in which out differs from row (kErodeNoBlocks if none).
  ErodeSpan (*erode_bits)(uint64_t* out, const uint64_t* above, const uint64_t* row,
                          const uint64_t* below, const uint64_t* erodable, ErodeSpan blocks);

  // Sets to 0 each pixel of the row that is both black and erodable.
  void (*clear_eroded)(uint8_t* row, const uint64_t* black, const uint64_t* erodable, size_t width);

  // The width pixels of a stored 24-bit row (3 x width bytes: blue, green,
  // red) as 255 or 0 by kWhiteAverage into out (width bytes). Reads no byte
  // of bgr past the 3 x width.
  void (*threshold_row)(uint8_t* out, const uint8_t* bgr, size_t width);
};

// Every set this build holds, best first; the portable set is last and
// always available. Sets the compiler cannot build for this target (x86
// sets on ARM or s390x) are not in the table.
extern const ErodeKernelSet kErodeKernelSets[];
extern const size_t kErodeKernelSetCount;

// The first available set. The caller asks once per call and passes the set down.
const ErodeKernelSet& best_erode_kernel_set();

// Each set's kernels, for the table.
void erode_row_portable(uint8_t* out, const uint8_t* above, const uint8_t* row,
                        const uint8_t* below, size_t width, size_t ahead);
bool pack_row_portable(uint64_t* black, uint64_t* erodable, const uint8_t* row, size_t width);
ErodeSpan erode_bits_portable(uint64_t* out, const uint64_t* above, const uint64_t* row,
                              const uint64_t* below, const uint64_t* erodable, ErodeSpan blocks);
void clear_eroded_portable(uint8_t* row, const uint64_t* black, const uint64_t* erodable,
                           size_t width);
void threshold_row_portable(uint8_t* out, const uint8_t* bgr, size_t width);

#if defined(VORLIN_KERNELS_SSE2)
void erode_row_sse2(uint8_t* out, const uint8_t* above, const uint8_t* row, const uint8_t* below,
                    size_t width, size_t ahead);
bool pack_row_sse2(uint64_t* black, uint64_t* erodable, const uint8_t* row, size_t width);
ErodeSpan erode_bits_sse2(uint64_t* out, const uint64_t* above, const uint64_t* row,
                          const uint64_t* below, const uint64_t* erodable, ErodeSpan blocks);
void clear_eroded_sse2(uint8_t* row, const uint64_t* black, const uint64_t* erodable, size_t width);

void threshold_row_ssse3(uint8_t* out, const uint8_t* bgr, size_t width);

void erode_row_avx2(uint8_t* out, const uint8_t* above, const uint8_t* row, const uint8_t* below,
                    size_t width, size_t ahead);
bool pack_row_avx2(uint64_t* black, uint64_t* erodable, const uint8_t* row, size_t width);
ErodeSpan erode_bits_avx2(uint64_t* out, const uint64_t* above, const uint64_t* row,
                          const uint64_t* below, const uint64_t* erodable, ErodeSpan blocks);
void clear_eroded_avx2(uint8_t* row, const uint64_t* black, const uint64_t* erodable, size_t width);
void threshold_row_avx2(uint8_t* out, const uint8_t* bgr, size_t width);

bool pack_row_avx512(uint64_t* black, uint64_t* erodable, const uint8_t* row, size_t width);
ErodeSpan erode_bits_avx512(uint64_t* out, const uint64_t* above, const uint64_t* row,
                            const uint64_t* below, const uint64_t* erodable, ErodeSpan blocks);
void clear_eroded_avx512(uint8_t* row, const uint64_t* black, const uint64_t* erodable,
                         size_t width);
#endif

#if defined(VORLIN_KERNELS_NEON)
void erode_row_neon(uint8_t* out, const uint8_t* above, const uint8_t* row, const uint8_t* below,
                    size_t width, size_t ahead);
bool pack_row_neon(uint64_t* black, uint64_t* erodable, const uint8_t* row, size_t width);
ErodeSpan erode_bits_neon(uint64_t* out, const uint64_t* above, const uint64_t* row,
                          const uint64_t* below, const uint64_t* erodable, ErodeSpan blocks);
void clear_eroded_neon(uint8_t* row, const uint64_t* black, const uint64_t* erodable, size_t width);
void threshold_row_neon(uint8_t* out, const uint8_t* bgr, size_t width);
#endif

#endif  // VORLIN_MORPH_ERODE_KERNELS_H
