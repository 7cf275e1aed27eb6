// The erosion's kernels for the sets whose vectors hold 16 or 32 bytes
// (SSE2, AVX2, NEON, and the SSSE3 threshold), written once as templates
// over a set's Ops. Everything here has internal linkage: each kernel file,
// built with its own set's flags, keeps its own copy.
//
// The lane-wise steps (loads, stores, &, |, ~, ==, shifts of 64-bit lanes)
// are written with the vector extensions of GCC and clang, which each file's
// flags turn into that set's instructions. The rest is the set's own; Ops is
// a struct of:
//   kBytes, Bytes, Words  from ErodeVectors<16> or <32>: bytes a vector
//                   holds, and the vectors of bytes and of plane words
//   least(a, b)     the lesser of each pair of bytes, by the set's own
//                   instruction (GCC regroups a < b ? a : b, costing a load)
//   any(w)          whether any bit of w is set
//   bits64(flags)   the word whose bit i is bit 7 of byte i of the 64 bytes
//                   of flags[0 .. 64 / kBytes) (each byte 0 or 0xFF)
//   bytes_of_bits(mask)  0xFF in each byte i whose bit i of mask is set, else 0
//   kNarrowErodeRow the erode_row for rows under kBytes + 2 pixels
// and, for threshold_row_with:
//   threshold(bgr, skip)  kBytes pixels from bgr as 255 or 0; may read the
//                   skip bytes before bgr (0 for a row's first group, else 4),
//                   and 3 x kThresholdMinWidth bytes from bgr for the first
//   kThresholdMinWidth, kNarrowThreshold: its narrowest row; the threshold_row for narrower
#ifndef VORLIN_MORPH_ERODE_OPS_H
#define VORLIN_MORPH_ERODE_OPS_H

#include <cstddef>
#include <cstdint>
#include <cstring>

#include "erode_kernels.h"

namespace {

// The vectors of a set of kBytes-byte registers; a set's Ops starts from
// these. may_alias: they are loaded from and stored to byte rows and word
// planes, as the sets' own vector types are.
template <size_t N>
struct ErodeVectors {
  static constexpr size_t kBytes = N;
  typedef uint8_t Bytes __attribute__((vector_size(N), may_alias));
  typedef uint64_t Words __attribute__((vector_size(N), may_alias));
};

// The 24-bit threshold as a sum of three bytes: at least 3 x 129.
constexpr int kLeastWhiteSum = static_cast<int>(3 * (kWhiteAverage + 1));

// How far ahead in the row below erode_row asks for source bytes: the
// hardware's own prefetch does not look across the rows' page boundaries.
constexpr size_t kPrefetchAhead = 1024;

// Vector loads and stores anywhere, and at whole-vector alignment.
template <class V>
inline V load(const void* p) {
  V v;
  memcpy(&v, p, sizeof v);
  return v;
}
template <class V>
inline void store(void* p, V v) {
  memcpy(p, &v, sizeof v);
}
template <class V>
inline V load_aligned(const void* p) {
  return *static_cast<const V*>(p);
}
template <class V>
inline void store_aligned(void* p, V v) {
  *static_cast<V*>(p) = v;
}

// The rule on the kBytes pixels from x on.
template <class Ops>
inline typename Ops::Bytes erode_vector(const uint8_t* above, const uint8_t* row,
                                        const uint8_t* below, size_t x) {
  typedef typename Ops::Bytes Bytes;
  const Bytes zero = {};
  const Bytes centre = load<Bytes>(row + x);
  const Bytes neighbours =
      Ops::least(Ops::least(Ops::least(load<Bytes>(row + x - 1), load<Bytes>(row + x + 1)),
                            load<Bytes>(above + x)),
                 load<Bytes>(below + x));
  const Bytes eroded = (Bytes)(centre == ~zero) & (Bytes)(neighbours == zero);
  return ~eroded & centre;
}

// erode_row in vectors. A row of at least one vector and its borders is done
// in vectors only: one unaligned at pixel 1, aligned ones, one unaligned
// ending at the last interior pixel. They may overlap; each pixel is
// computed from the source alone, so it is written the same. The first and
// last pixels are put back as copies at the end.
template <class Ops>
void erode_row_with(uint8_t* out, const uint8_t* above, const uint8_t* row, const uint8_t* below,
                    size_t width, size_t ahead) {
  constexpr size_t n = Ops::kBytes;
  if (width < n + 2) {
    Ops::kNarrowErodeRow(out, above, row, below, width, ahead);
    return;
  }
  store(out + 1, erode_vector<Ops>(above, row, below, 1));
  // The first aligned vector after the one at pixel 1.
  size_t x = (n - reinterpret_cast<uintptr_t>(out) % n) % n;
  if (x == 0) x = n;
  const size_t first = x;
  // Pixels x .. x + n - 1 read row[x - 1 .. x + n].
  for (; x + n <= width; x += n) {
    if (x % 64 == first % 64 && x + kPrefetchAhead < ahead) {
      __builtin_prefetch(below + x + kPrefetchAhead, 0, 3);
    }
    store_aligned(out + x, erode_vector<Ops>(above, row, below, x));
  }
  if (x + 1 < width) {
    store(out + width - n - 1, erode_vector<Ops>(above, row, below, width - n - 1));
  }
  out[0] = row[0];
  out[width - 1] = row[width - 1];
}

// The black and 255 bits of 64 pixels.
template <class Ops>
inline void pack64(uint64_t* black, uint64_t* white, const uint8_t* pixels) {
  typedef typename Ops::Bytes Bytes;
  constexpr size_t count = 64 / Ops::kBytes;
  const Bytes zero = {};
  Bytes zeros[count];
  Bytes fulls[count];
  for (size_t i = 0; i < count; ++i) {
    const Bytes v = load<Bytes>(pixels + Ops::kBytes * i);
    zeros[i] = (Bytes)(v == zero);
    fulls[i] = (Bytes)(v == ~zero);
  }
  *black = Ops::bits64(zeros);
  *white = Ops::bits64(fulls);
}

template <class Ops>
bool pack_row_with(uint64_t* black, uint64_t* erodable, const uint8_t* row, size_t width) {
  typedef typename Ops::Words Words;
  const size_t whole = width / 64;
  for (size_t j = 0; j < whole; ++j) {
    pack64<Ops>(&black[j], &erodable[j], row + 64 * j);
  }
  // The last part word through a copy padded with a value that is neither 0 nor 255.
  const size_t words = (width + 63) / 64;
  if (words > whole) {
    alignas(Ops::kBytes) uint8_t tail[64];
    for (size_t i = 0; i < 64; ++i) tail[i] = 1;
    for (size_t i = 64 * whole; i < width; ++i) tail[i - 64 * whole] = row[i];
    pack64<Ops>(&black[whole], &erodable[whole], tail);
  }
  const size_t padded = finish_planes(black, erodable, words, width);
  Words any = {};
  for (size_t j = 0; j < padded; j += Ops::kBytes / 8) any |= load<Words>(erodable + j);
  return Ops::any(any);
}

template <class Ops>
ErodeSpan erode_bits_with(uint64_t* out, const uint64_t* above, const uint64_t* row,
                          const uint64_t* below, const uint64_t* erodable, ErodeSpan blocks) {
  typedef typename Ops::Words Words;
  ErodeSpan changed = kErodeNoBlocks;
  for (uint32_t b = blocks.first; b < blocks.end; ++b) {
    const size_t block = size_t{b} * kErodeBlockWords;
    Words differ = {};
    for (size_t j = block; j < block + kErodeBlockWords; j += Ops::kBytes / 8) {
      const Words mid = load_aligned<Words>(row + j);
      const Words left = (mid << 1) | (load<Words>(row + j - 1) >> 63);
      const Words right = (mid >> 1) | (load<Words>(row + j + 1) << 63);
      const Words vertical = load_aligned<Words>(above + j) | load_aligned<Words>(below + j);
      const Words touched = vertical | (left | right);
      const Words eroded = ~mid & (load_aligned<Words>(erodable + j) & touched);
      store_aligned(out + j, mid | eroded);
      differ |= eroded;
    }
    changed = erode_span_with(changed, b, Ops::any(differ));
  }
  return changed;
}

template <class Ops>
void clear_eroded_with(uint8_t* row, const uint64_t* black, const uint64_t* erodable,
                       size_t width) {
  typedef typename Ops::Bytes Bytes;
  constexpr size_t n = Ops::kBytes;
  const size_t words = (width + 63) / 64;
  for (size_t j = 0; j < words; ++j) {
    const uint64_t eroded = black[j] & erodable[j];
    if (eroded == 0) continue;
    const size_t start = 64 * j;
    if (start + 64 > width) {  // the last part word: no full vectors past the width
      clear_eroded_portable(row + start, &black[j], &erodable[j], width - start);
      continue;
    }
    for (size_t i = 0; i < 64 / n; ++i) {
      const uint32_t mask = static_cast<uint32_t>((eroded >> (n * i)) & ((uint64_t{1} << n) - 1));
      if (mask == 0) continue;
      uint8_t* at = row + start + n * i;
      store(at, ~Ops::bytes_of_bits(mask) & load<Bytes>(at));
    }
  }
}

// threshold_row in groups of kBytes pixels: the first group of the row may
// read past its pixels, every later one before them, so no read leaves the
// row. The last group ends at the row's end and may redo pixels already
// done, the same way (out is not the source).
template <class Ops>
void threshold_row_with(uint8_t* out, const uint8_t* bgr, size_t width) {
  constexpr size_t n = Ops::kBytes;
  if (width < Ops::kThresholdMinWidth) {
    Ops::kNarrowThreshold(out, bgr, width);
    return;
  }
  store(out, Ops::threshold(bgr, 0));
  size_t x = n;
  for (; x + n <= width; x += n) store(out + x, Ops::threshold(bgr + 3 * x, 4));
  if (x < width) {
    x = width - n;
    store(out + x, Ops::threshold(bgr + 3 * x, 4));
  }
}

}  // namespace

#endif  // VORLIN_MORPH_ERODE_OPS_H
