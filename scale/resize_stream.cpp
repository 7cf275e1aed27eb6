// resize_streamed and resize_whole. A streamed call holds the source's
// palette, a ring of source rows, one strip of result rows, the strip's table
// of source rows and the resampler's scratch: every block is sized by the
// widths (about 1 MiB in all), and all of them are had before the output is
// opened, so a failed allocation never touches the output.
#include "resize_stream.h"

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "bmp_io.h"
#include "file_io.h"
#include "output_file.h"
#include "raster_image.h"
#include "resample_fast.h"

namespace {

// Source rows held at once, and result rows made at once: what the rows of
// one strip need in cache.
constexpr int64_t kRingBytes = 640 * 1024;
constexpr int64_t kStripBytes = 384 * 1024;
// Enlarging, a strip reads few source rows and each it reads makes several
// result rows: taller strips, so fewer source rows are blended twice (once
// for each strip they fall in).
constexpr int64_t kEnlargingRingBytes = 256 * 1024;
constexpr int64_t kEnlargingStripBytes = 768 * 1024;
// Source rows one strip may span (its table's entries).
constexpr int32_t kTableRows = 4096;
// A gap between two rows the result needs is read through when shorter than
// this, and sought over on a file that can seek when longer: on a file in
// the page cache a seek (which drops the stream's buffer) cost as much as
// reading 2 to 8 KiB through it, and less beyond, whatever the row's size.
constexpr int64_t kSeekGap = 8 * 1024;

const char kImageDataFailed[] = "Error: Memory allocation failed for image data\n";

// The source's rows as the stream gives them, in file order.
struct RowReader {
  FILE* file;
  uint32_t pixel_data_offset;
  size_t row_bytes;
  int32_t next;    // the first row not read or passed yet
  bool reachable;  // false: the pixel offset could not be reached, so every row reads 0
  bool seekable;   // false once a seek failed (a pipe): gaps are read through
};

// Reads count source rows from row first (at or after reader->next) into
// into, in one read; bytes the file does not have read as 0. The rows before
// them are sought over, or read through (into the same buffer) on a stream
// that cannot seek.
void read_rows(RowReader* reader, int32_t first, int32_t count, uint8_t* into) {
  const size_t bytes = reader->row_bytes * static_cast<size_t>(count);
  if (!reader->reachable) {
    memset(into, 0, bytes);
    return;
  }
  bool passed = first == reader->next;
  if (!passed && reader->seekable) {
    const uint64_t at =
        uint64_t{reader->pixel_data_offset} + static_cast<uint64_t>(first) * reader->row_bytes;
    passed = seek_from_start(reader->file, at);
    reader->seekable = passed;
  }
  for (int32_t row = reader->next; !passed && row < first; ++row) {
    (void)read_or_zero(reader->file, into, reader->row_bytes);
  }
  (void)read_or_zero(reader->file, into, bytes);
  reader->next = first + count;
}

// Whether the rows from the stream's row at up to row y are read through
// rather than sought over: a gap shorter than kSeekGap.
bool read_through(const RowReader& reader, int32_t at, int32_t y) {
  return int64_t{y - at} * static_cast<int64_t>(reader.row_bytes) < kSeekGap;
}

// Everything a streamed call holds. Released by release_call.
struct StreamCall {
  FILE* input;
  RasterImage* source;  // the headers and palette; no pixels
  RasterImage* result;  // its size and depth
  bool shares_palette;  // the result's palette is the source's
  uint8_t* ring;        // ring_rows source rows
  int32_t* ring_y;      // the source row each ring slot holds, -1 for none
  int32_t ring_rows;
  uint8_t* strip;  // strip_rows result rows
  int32_t strip_rows;
  const uint8_t** table;  // the strip's source rows, by row - table_first
  ResampleScratch* scratch;
  ResampleMode mode;
  RowReader reader;
};

void release_call(StreamCall* call) {
  if (call->input != nullptr) fclose(call->input);
  if (call->shares_palette) call->result->palette = nullptr;
  free_image(call->result);
  free_image(call->source);
  free(call->ring);
  free(call->ring_y);
  free(call->strip);
  free(call->table);
  free_resample_scratch(call->scratch);
}

// rows x row_bytes bytes as an allocation size; 0 when that does not fit one
// (a 32-bit platform and rows of gigabytes), which fails like any allocation.
size_t block_bytes(int64_t row_bytes, int32_t rows) {
  const uint64_t bytes = static_cast<uint64_t>(row_bytes) * static_cast<uint64_t>(rows);
  return bytes <= SIZE_MAX / 2 ? static_cast<size_t>(bytes) : 0;
}

int32_t clamp_rows(int64_t budget, int64_t row_bytes, int32_t least, int32_t most) {
  int64_t rows = budget / row_bytes;
  if (rows < least) rows = least;
  if (rows > most) rows = most;
  return static_cast<int32_t>(rows);
}

// The ring, sized by the source's row: what loading allocates. False after
// the image-data message.
bool allocate_ring(StreamCall* call, bool enlarging) {
  const int64_t row_bytes = bmp_row_bytes(call->source->width, call->source->bits_per_pixel);
  // A result row reads two source rows at the most.
  call->ring_rows =
      clamp_rows(enlarging ? kEnlargingRingBytes : kRingBytes, row_bytes, 2, call->source->height);
  const size_t bytes = block_bytes(row_bytes, call->ring_rows);
  call->ring = bytes != 0 ? static_cast<uint8_t*>(malloc(bytes)) : nullptr;
  call->ring_y =
      static_cast<int32_t*>(malloc(sizeof(int32_t) * static_cast<size_t>(call->ring_rows)));
  if (call->ring == nullptr || call->ring_y == nullptr) {
    fputs(kImageDataFailed, stderr);
    return false;
  }
  for (int32_t k = 0; k < call->ring_rows; ++k) call->ring_y[k] = -1;
  return true;
}

// The result record, the strip, its table and the scratch: what creating the
// result allocates. False after the message of the block that failed.
bool allocate_result(StreamCall* call, int32_t new_width, int32_t new_height) {
  call->result = new_raster_record(new_width, new_height, call->source->bits_per_pixel);
  if (call->result == nullptr) {
    fputs("Error: Memory allocation failed\n", stderr);
    return false;
  }
  if (call->source->palette != nullptr && call->source->palette_count > 0) {
    call->result->palette = call->source->palette;
    call->result->palette_count = call->source->palette_count;
    call->shares_palette = true;
  }
  // The whole file must stay describable by its 32-bit size fields.
  const int64_t row_bytes = bmp_row_bytes(new_width, call->result->bits_per_pixel);
  if (pixel_array_size(new_width, new_height, call->result->bits_per_pixel) <= 0 ||
      bmp_file_size(call->result) < 0) {
    fputs(kImageDataFailed, stderr);
    return false;
  }
  const bool enlarging = new_height > call->source->height;
  call->strip_rows =
      clamp_rows(enlarging ? kEnlargingStripBytes : kStripBytes, row_bytes, 1, new_height);
  const size_t bytes = block_bytes(row_bytes, call->strip_rows);
  call->strip = bytes != 0 ? static_cast<uint8_t*>(malloc(bytes)) : nullptr;
  call->table = static_cast<const uint8_t**>(malloc(sizeof(uint8_t*) * kTableRows));
  call->scratch = new_resample_scratch();
  if (call->strip == nullptr || call->table == nullptr || call->scratch == nullptr) {
    fputs(kImageDataFailed, stderr);
    return false;
  }
  return true;
}

// The next strip from result row first: as many rows as the strip holds,
// whose source rows fit the table, and whose reads fit the ring (each row
// the strip needs, and the rows of each gap between them read through).
Span next_strip(const StreamCall* call, int32_t first) {
  const int32_t height = call->source->height;
  int32_t count = 0;
  int32_t slots = 0;
  int32_t last = -1;               // the last source row counted
  int32_t at = call->reader.next;  // where the stream will be
  int32_t lowest = -1;
  for (int32_t i = first; i < call->result->height && count < call->strip_rows; ++i) {
    int32_t rows[2] = {0, 0};
    source_rows_of(call->source, call->result, call->mode, i, &rows[0], &rows[1]);
    int32_t added = 0;
    int32_t top = last;
    int32_t next_at = at;
    for (int32_t y : rows) {
      if (y <= top || y >= height) continue;
      if (y >= next_at) {
        added += read_through(call->reader, next_at, y) ? y - next_at : 0;
        next_at = y + 1;
      }
      ++added;
      top = y;
    }
    if (lowest < 0) lowest = rows[0];
    if (count > 0 && (slots + added > call->ring_rows || top - lowest >= kTableRows)) {
      break;
    }
    slots += added;
    last = top;
    at = next_at;
    ++count;
  }
  return {first, count};
}

// A run of consecutive source rows read in one go into consecutive slots.
struct RowRun {
  int32_t first;  // -1: none pending
  int32_t count;
  int32_t slot;
};

void flush_run(StreamCall* call, RowRun* run) {
  if (run->first < 0) return;
  const size_t row_bytes = call->reader.row_bytes;
  read_rows(&call->reader, run->first, run->count,
            call->ring + static_cast<size_t>(run->slot) * row_bytes);
  for (int32_t k = 0; k < run->count; ++k) call->ring_y[run->slot + k] = run->first + k;
  run->first = -1;
}

// Source row y into the ring from slot on: kept from the previous strip,
// read with the pending run, or the start of a run of its own. Returns the
// slot after it.
int32_t place_row(StreamCall* call, RowRun* run, int32_t y, int32_t slot) {
  const int32_t at = run->first >= 0 ? run->first + run->count : call->reader.next;
  if (y < at) {
    // Held from the previous strip, in a slot at or after this one.
    const size_t row_bytes = call->reader.row_bytes;
    uint8_t* into = call->ring + static_cast<size_t>(slot) * row_bytes;
    for (int32_t k = slot; k < call->ring_rows; ++k) {
      if (call->ring_y[k] == y) {
        if (k != slot) memmove(into, call->ring + static_cast<size_t>(k) * row_bytes, row_bytes);
        break;
      }
    }
    call->ring_y[slot] = y;
    return slot + 1;
  }
  if (read_through(call->reader, at, y)) {
    // Read with the rows before it (from where the stream is, for the
    // strip's first read): the gap lands in the slots between.
    if (run->first < 0) *run = {at, 0, slot};
    run->count += y - at + 1;
    return slot + y - at + 1;
  }
  flush_run(call, run);
  *run = {y, 1, slot};
  return slot + 1;
}

// Fills the ring with the source rows strip reads, and the table with where
// they are. Rows the previous strip read again come from its slots (a pipe
// cannot go back); the others come from the stream, consecutive rows and
// the short gaps between them in one read.
void load_strip(StreamCall* call, Span strip, int32_t* table_first) {
  const size_t row_bytes = call->reader.row_bytes;
  const int32_t height = call->source->height;
  int32_t unused = 0;
  source_rows_of(call->source, call->result, call->mode, strip.first, table_first, &unused);
  int32_t slot = 0;
  int32_t last = -1;
  int32_t span_end = 0;  // the first table entry not set yet
  RowRun run = {-1, 0, 0};
  for (int32_t i = strip.first; i < strip.first + strip.count; ++i) {
    int32_t rows[2] = {0, 0};
    source_rows_of(call->source, call->result, call->mode, i, &rows[0], &rows[1]);
    for (int32_t y : rows) {
      if (y <= last || y >= height) continue;
      for (int32_t t = span_end; t <= y - *table_first; ++t) call->table[t] = nullptr;
      span_end = y - *table_first + 1;
      slot = place_row(call, &run, y, slot);
      call->table[y - *table_first] = call->ring + static_cast<size_t>(slot - 1) * row_bytes;
      last = y;
    }
  }
  flush_run(call, &run);
  for (int32_t k = slot; k < call->ring_rows; ++k) call->ring_y[k] = -1;
}

// The bytes of the strip's rows past their whole pixels' bytes set to 0.
void zero_row_tails(StreamCall* call, int32_t rows, size_t row_bytes) {
  const size_t used = static_cast<size_t>(static_cast<uint64_t>(call->result->width) *
                                          call->result->bits_per_pixel / 8);
  if (used >= row_bytes) return;
  for (int32_t r = 0; r < rows; ++r) {
    memset(call->strip + static_cast<size_t>(r) * row_bytes + used, 0, row_bytes - used);
  }
}

// Every strip of the result, made and written. False when a write failed.
bool write_strips(StreamCall* call, OutputFile* output, const ResampleKernelSet& set) {
  const size_t row_bytes =
      static_cast<size_t>(bmp_row_bytes(call->result->width, call->result->bits_per_pixel));
  bool ok = true;
  for (Span strip = next_strip(call, 0); ok && strip.count > 0;
       strip = next_strip(call, strip.first + strip.count)) {
    int32_t table_first = 0;
    load_strip(call, strip, &table_first);
    // The kernels write the pixels only: the padding, and a 2-bit row's
    // unused low bits, are 0 as in the pipeline's zero-filled result.
    zero_row_tails(call, strip.count, row_bytes);
    const ResampleRows rows = {call->source, call->result, strip,      nullptr,
                               call->table,  table_first,  call->strip};
    resample_rows_with(rows, call->mode, set, call->scratch);
    ok = write_output(output, call->strip, row_bytes * static_cast<size_t>(strip.count));
  }
  return ok;
}

void print_loaded(const char* input, const RasterImage* source, int32_t new_width,
                  int32_t new_height) {
  printf("Loaded: %s (%dx%d, %d-bit)\n", input, source->width, source->height,
         source->bits_per_pixel);
  printf("Resizing to: %dx%d\n", new_width, new_height);
}

void print_saved(const char* output, const RasterImage* result) {
  printf("Saved: %s (%dx%d, %d-bit)\n", output, result->width, result->height,
         result->bits_per_pixel);
}

// The rest of a call the fast resampler cannot make: the pixels read whole,
// resampled by resample_image, saved by save_bmp.
ResizeOutcome finish_whole(StreamCall* call, const BmpPlace& place, const char* input,
                           const char* output, int32_t new_width, int32_t new_height,
                           const InputOrigin& origin) {
  if (!read_bmp_pixels(call->input, call->source, place)) {
    return ResizeOutcome::kLoadFailed;
  }
  print_loaded(input, call->source, new_width, new_height);
  call->result = resample_image(call->source, new_width, new_height);
  if (call->result == nullptr) {
    return ResizeOutcome::kCreateFailed;
  }
  fclose(call->input);
  call->input = nullptr;
  if (!save_bmp(call->result, output, &origin)) {
    return ResizeOutcome::kSaveFailed;
  }
  print_saved(output, call->result);
  return ResizeOutcome::kSaved;
}

// The streamed call once every block is had: the output opened, its head
// written, the strips made and written, the input closed before the output
// (Windows cannot replace a file that is open).
ResizeOutcome stream_rows(StreamCall* call, const char* output, const InputOrigin& origin,
                          const ResampleKernelSet& set) {
  OutputFile file;
  if (!open_output(&file, output, &origin)) {
    fprintf(stderr, "Error: Could not open output file '%s'\n", output);
    return ResizeOutcome::kSaveFailed;
  }
  bool written = write_bmp_head(&file, call->result, bmp_file_size(call->result)) &&
                 write_strips(call, &file, set);
  fclose(call->input);
  call->input = nullptr;
  if (!close_output(&file, written)) {
    fprintf(stderr, "Error: Could not write output file '%s'\n", output);
    return ResizeOutcome::kSaveFailed;
  }
  print_saved(output, call->result);
  return ResizeOutcome::kSaved;
}

// Loading, creating and streaming, each step only while every earlier one
// held.
ResizeOutcome run_streamed(StreamCall* call, const char* input, const char* output,
                           int32_t new_width, int32_t new_height, const ResampleKernelSet& set) {
  InputOrigin origin = {input, {}};
  call->input = open_for_reading(input, &origin.identity);
  if (call->input == nullptr) {
    fprintf(stderr, "Error: Could not open input file '%s'\n", input);
    return ResizeOutcome::kLoadFailed;
  }
  BmpPlace place = {};
  call->source = read_bmp_head(call->input, &place);
  if (call->source == nullptr) {
    return ResizeOutcome::kLoadFailed;
  }
  const RasterImage shape = {nullptr, new_width, new_height, call->source->bits_per_pixel,
                             nullptr, 0};
  call->mode = resample_mode(call->source, &shape);
  if (call->mode == ResampleMode::kDecline) {
    return finish_whole(call, place, input, output, new_width, new_height, origin);
  }
  // Sizes no pixel array can have are refused as loading refuses them.
  if (pixel_array_size(call->source->width, call->source->height, call->source->bits_per_pixel) <=
      0) {
    fputs(kImageDataFailed, stderr);
    return ResizeOutcome::kLoadFailed;
  }
  if (!allocate_ring(call, new_height > call->source->height)) {
    return ResizeOutcome::kLoadFailed;
  }
  print_loaded(input, call->source, new_width, new_height);
  if (!allocate_result(call, new_width, new_height)) {
    return ResizeOutcome::kCreateFailed;
  }
  call->reader = {
      call->input,
      place.pixel_data_offset,
      static_cast<size_t>(bmp_row_bytes(call->source->width, call->source->bits_per_pixel)),
      0,
      reach_offset(call->input, place.pixel_data_offset, place.position) != 0,
      true};
  return stream_rows(call, output, origin, set);
}

}  // namespace

ResizeOutcome resize_streamed(const char* input, const char* output, int32_t new_width,
                              int32_t new_height, const ResampleKernelSet& set) {
  StreamCall call = {};
  ResizeOutcome outcome = run_streamed(&call, input, output, new_width, new_height, set);
  release_call(&call);
  return outcome;
}

ResizeOutcome resize_whole(const char* input, const char* output, int32_t new_width,
                           int32_t new_height) {
  InputOrigin origin = {input, {}};
  RasterImage* source = load_bmp(input, &origin.identity);
  if (source == nullptr) {
    return ResizeOutcome::kLoadFailed;
  }
  print_loaded(input, source, new_width, new_height);
  RasterImage* result = resample_image(source, new_width, new_height);
  if (result == nullptr) {
    free_image(source);
    return ResizeOutcome::kCreateFailed;
  }
  ResizeOutcome outcome = ResizeOutcome::kSaveFailed;
  if (save_bmp(result, output, &origin)) {
    print_saved(output, result);
    outcome = ResizeOutcome::kSaved;
  }
  free_image(source);
  free_image(result);
  return outcome;
}
