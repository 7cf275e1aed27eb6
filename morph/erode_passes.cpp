// erode_passes: many passes in one sweep down the image, in place.
//
// Only the exact values 0 and 255 take part in a pass, and the only change
// is 255 to 0, so a row is held as two bit planes (see erode_kernels.h):
// "black", which grows pass by pass, and "erodable", which stays. Pass k of
// row y needs pass k - 1 of rows y - 1, y and y + 1 only, so one sweep runs
// every pass at once on a band of rows: new rows are packed at its bottom,
// each row above them is taken a pass further (see sweep), and a row that
// has had the sweep's last pass has its eroded pixels cleared in the image
// and leaves the band. A row keeps its plane at its current pass and at the
// pass before, which the row below still needs.
//
// Work follows change: each row records which blocks of its plane its last
// two passes changed, and a pass recomputes only the blocks next to a change
// in the three rows it reads. A pass that no row has changed so far in the
// sweep cannot change the rows after it either, so the passes above it are
// not visited at all: a picture that stops changing costs little more than
// packing and clearing.
#include <cstdint>
#include <cstdlib>

#include "erode.h"

namespace {

// The most scratch erode_passes takes: 2 MiB hold the band for 100 passes in
// one sweep on rows up to 50,176 pixels wide (4096 pixels: 195 KiB); wider
// rows take fewer passes a sweep.
constexpr uint64_t kScratchBudget = uint64_t{2} << 20;
constexpr size_t kPlaneAlign = 64;
// Rows packed a round (see sweep).
constexpr size_t kRoundRows = 8;

// One image row in the band.
struct BandRow {
  uint64_t* black;     // at the row's current pass
  uint64_t* previous;  // at the pass before; the same plane when the row never changes
  uint64_t* erodable;
  uint64_t* planes[2];       // the slot's own two black planes
  ErodeSpan changed;         // blocks the row's last pass changed
  ErodeSpan changed_before;  // and the pass before that
  bool active;               // not the first or last row, and has erodable pixels
  bool eroded;               // some pass of this sweep changed the row
};

struct Band {
  const ErodeKernelSet* kernels;
  uint8_t* pixels;
  size_t width;
  size_t height;
  uint32_t blocks;  // plane blocks a row
  size_t slots;     // rows held: levels + kRoundRows + 1
  BandRow* rows;
};

bool is_empty(ErodeSpan s) { return s.first >= s.end; }

// The blocks a pass of a row must recompute: those next to a change in the
// three rows it reads, one block either side (a pixel's left and right
// neighbours may lie in the next block).
ErodeSpan blocks_to_redo(const BandRow& above, const BandRow& row, const BandRow& below,
                         uint32_t blocks) {
  const ErodeSpan a = above.changed_before;
  const ErodeSpan b = row.changed;
  const ErodeSpan c = below.changed;
  uint32_t first = a.first < b.first ? a.first : b.first;
  first = first < c.first ? first : c.first;
  uint32_t end = a.end > b.end ? a.end : b.end;
  end = end > c.end ? end : c.end;
  if (first >= end) return kErodeNoBlocks;
  return {first > 0 ? first - 1 : 0, end < blocks ? end + 1 : blocks};
}

void pack(Band& band, size_t y, BandRow& row) {
  row.black = row.planes[0];
  const bool erodable =
      band.kernels->pack_row(row.black, row.erodable, band.pixels + y * band.width, band.width);
  row.active = erodable && y > 0 && y + 1 < band.height;
  row.previous = row.active ? row.planes[1] : row.black;
  // Nothing is known of the rows' last pass: as if it changed everything.
  row.changed = {0, band.blocks};
  row.changed_before = kErodeNoBlocks;
  row.eroded = false;
}

// Takes an active row one pass on; returns whether the pass changed it.
bool advance(const Band& band, const BandRow& above, BandRow& row, const BandRow& below) {
  ErodeSpan done = kErodeNoBlocks;
  const ErodeSpan need = blocks_to_redo(above, row, below, band.blocks);
  if (!is_empty(need)) {
    // Outside need the plane at the pass before equals the current one, so
    // writing need over it gives the whole new plane.
    done = band.kernels->erode_bits(row.previous, above.previous, row.black, below.black,
                                    row.erodable, need);
    uint64_t* next = row.previous;
    row.previous = row.black;
    row.black = next;
  }
  row.changed_before = row.changed;
  row.changed = done;
  if (is_empty(done)) return false;
  row.eroded = true;
  return true;
}

// Takes rows first .. last (ascending, in the image) to pass `level`. A row
// goes only if the rows it reads changed in their last pass, and a pass
// beyond top + 1 cannot change a row: nothing it reads changed in pass top + 1.
// top is the highest pass that has changed a row so far; returns it updated.
size_t run_level(Band& band, size_t level, size_t first, size_t last, size_t top) {
  const size_t slots = band.slots;
  size_t slot = first % slots;
  size_t above = slot == 0 ? slots - 1 : slot - 1;
  for (size_t y = first; y <= last; ++y) {
    const size_t below = slot + 1 == slots ? 0 : slot + 1;
    BandRow& row = band.rows[slot];
    if (row.active && level <= top + 1) {
      if (advance(band, band.rows[above], row, band.rows[below]) && level > top) top = level;
    } else {
      row.changed_before = row.changed;
      row.changed = kErodeNoBlocks;
    }
    above = slot;
    slot = below;
  }
  return top;
}

// Asks for the pixel bytes [at, end) of the next round's rows ahead of their
// packing, a few lines at a time between passes: the hardware's own prefetch
// loses the stream while the passes run, and a burst of requests stalls.
struct Prefetch {
  const uint8_t* at;
  const uint8_t* end;
  size_t step;  // bytes a call
};

void prefetch_some(Prefetch& p) {
  const uint8_t* stop = static_cast<size_t>(p.end - p.at) < p.step ? p.end : p.at + p.step;
  for (; p.at < stop; p.at += 64) __builtin_prefetch(p.at, 0, 2);
}

// Clears the eroded pixels of rows first .. end - 1 (in the image), which
// have had the sweep's last pass.
void clear_rows(const Band& band, size_t first, size_t end) {
  if (end > band.height) end = band.height;
  size_t slot = first % band.slots;
  for (size_t y = first; y < end; ++y) {
    const BandRow& row = band.rows[slot];
    if (row.eroded) {
      band.kernels->clear_eroded(band.pixels + y * band.width, row.black, row.erodable, band.width);
    }
    slot = slot + 1 == band.slots ? 0 : slot + 1;
  }
}

// The passes of the round whose new rows start at `start`: pass k to the
// rows k above the new ones, as far as a pass can change anything (top as
// for run_level); returns top updated. Between passes the next round's
// pixels are asked for.
size_t run_round(Band& band, size_t start, size_t levels, size_t top) {
  const size_t height = band.height;
  const size_t end = start + kRoundRows;
  const size_t ahead_end = end + kRoundRows < height ? end + kRoundRows : height;
  Prefetch ahead = {band.pixels + (end < height ? end : height) * band.width,
                    band.pixels + ahead_end * band.width, 64 * 8};
  for (size_t level = 1; level <= levels && level <= top + 2 && level < end; ++level) {
    const size_t first = start > level ? start - level : 0;
    const size_t last = end - 1 - level < height - 1 ? end - 1 - level : height - 1;
    if (first <= last) top = run_level(band, level, first, last, top);
    prefetch_some(ahead);
  }
  return top;
}

// One sweep of `levels` passes; returns whether its last pass changed the
// image. Reports passes first_pass + 1 ... first_pass + levels.
//
// The sweep goes in rounds: a round packs kRoundRows new rows, then takes
// the rows above them one pass on, pass after pass (pass k to the rows k
// above the new ones), each pass top down. Row y's pass k then finds row
// y - 1 at pass k (its plane before at k - 1) and row y + 1 at k - 1, and the
// rows of one pass are still in the first-level cache for the next.
bool sweep(Band& band, size_t levels, int32_t first_pass, ErodePassDone pass_done, void* context) {
  const size_t height = band.height;
  size_t top = 0;  // the highest pass of this sweep that has changed a row so far
  size_t reported = 0;
  // The last row that can change (height - 2) has its last pass in the round
  // that packs row height - 2 + levels.
  for (size_t start = 0; start <= height - 2 + levels; start += kRoundRows) {
    const size_t end = start + kRoundRows;
    for (size_t y = start; y < end && y < height; ++y) {
      pack(band, y, band.rows[y % band.slots]);
    }
    top = run_round(band, start, levels, top);
    if (end > levels) clear_rows(band, start > levels ? start - levels : 0, end - levels);
    // Pass k has reached row height - 2 once row height - 2 + k is packed.
    for (; pass_done != nullptr && reported < levels && end + 1 > height + reported; ++reported) {
      pass_done(first_pass + static_cast<int32_t>(reported + 1), context);
    }
  }
  return top == levels;
}

}  // namespace

bool erode_passes(GrayImage* image, int32_t passes, ErodePassDone pass_done, void* context) {
  return erode_passes_with(image, passes, best_erode_kernel_set(), passes, pass_done, context);
}

bool erode_passes_with(GrayImage* image, int32_t passes, const ErodeKernelSet& kernels,
                       int32_t max_levels, ErodePassDone pass_done, void* context) {
  const uint64_t width = static_cast<uint64_t>(image->width);
  const uint64_t height = static_cast<uint64_t>(image->height);
  if (passes < 1) return true;
  if (width < 3 || height < 3) {
    // The border is all there is, and it never changes.
    for (int32_t k = 1; k <= passes && pass_done != nullptr; ++k) pass_done(k, context);
    return true;
  }
  // A row's plane words in whole blocks, and a block of zeros after each
  // plane (and before the first) for the words a pass reads past its ends.
  const uint64_t words =
      (width + 64 * kErodeBlockWords - 1) / (64 * kErodeBlockWords) * kErodeBlockWords;
  const uint64_t stride = words + kErodeBlockWords;
  const uint64_t slot_bytes = 3 * stride * sizeof(uint64_t) + sizeof(BandRow);
  const int32_t most = max_levels > 1 ? max_levels : 1;
  uint64_t levels = static_cast<uint64_t>(passes < most ? passes : most);
  const uint64_t fit = kScratchBudget / slot_bytes;
  // Rows held: a round's new rows, and the rows above them as far as the
  // row above the one that has its last pass.
  const uint64_t extra = kRoundRows + 1;
  if (fit < levels + extra) levels = fit > extra + 1 ? fit - extra : 1;
  const uint64_t slots = levels + extra;
  const uint64_t bytes = kPlaneAlign + kErodeBlockWords * sizeof(uint64_t) + slots * slot_bytes;
  // width < 2^31 keeps this far from 64 bits; a 32-bit size_t may still not hold it.
  if (bytes > SIZE_MAX) return false;
  void* scratch = calloc(static_cast<size_t>(bytes), 1);
  if (scratch == nullptr) return false;

  const uintptr_t start = reinterpret_cast<uintptr_t>(scratch);
  uint64_t* planes =
      reinterpret_cast<uint64_t*>((start + kPlaneAlign - 1) / kPlaneAlign * kPlaneAlign) +
      kErodeBlockWords;
  Band band = {&kernels,
               image->pixels,
               static_cast<size_t>(width),
               static_cast<size_t>(height),
               static_cast<uint32_t>(words / kErodeBlockWords),
               static_cast<size_t>(slots),
               reinterpret_cast<BandRow*>(planes + 3 * slots * stride)};
  for (size_t s = 0; s < band.slots; ++s) {
    uint64_t* first = planes + 3 * s * stride;
    band.rows[s].planes[0] = first;
    band.rows[s].planes[1] = first + stride;
    band.rows[s].erodable = first + 2 * stride;
  }
  int32_t done = 0;
  while (done < passes) {
    const size_t now = static_cast<size_t>(passes - done) < static_cast<size_t>(levels)
                           ? static_cast<size_t>(passes - done)
                           : static_cast<size_t>(levels);
    const bool changed = sweep(band, now, done, pass_done, context);
    done += static_cast<int32_t>(now);
    if (!changed) break;  // a pass that changes nothing leaves every later pass nothing to do
  }
  for (int32_t k = done + 1; k <= passes && pass_done != nullptr; ++k) pass_done(k, context);
  free(scratch);
  return true;
}
