// Test helpers shared by every module's tests: temporary files, capture of
// standard output and error around a call, a BMP byte builder, and loading a
// built module the way a host does.
#ifndef VORLIN_TESTS_TEST_SUPPORT_H
#define VORLIN_TESTS_TEST_SUPPORT_H

#include <cstdint>
#include <random>
#include <string>
#include <vector>

using Bytes = std::vector<uint8_t>;

// A fresh directory under the system's temporary directory.
std::string make_temp_dir();
Bytes read_file(const std::string& path);
void write_file(const std::string& path, const Bytes& bytes);
bool file_exists(const std::string& path);
// Which file a path names (device and inode, or volume and file index),
// through any links; empty when there is none.
std::string file_identity(const std::string& path);
// The names in a directory ("." and ".." left out), sorted.
std::vector<std::string> list_dir(const std::string& dir);
// UTF-8 to the platform's wide characters.
std::wstring widen(const std::string& utf8);

// What a call printed. Standard output and error are redirected at the file
// descriptor level, so printing from a loaded module is captured too.
struct Captured {
  std::string out;
  std::string err;
};
void begin_capture();
Captured end_capture();
// What has reached the capture files so far, without flushing anything.
Captured peek_capture();

// Header fields of a BMP to build; pixel_data_offset and file_size of 0 are
// filled in from the palette and pixel sizes.
struct BmpFields {
  uint16_t signature = 0x4D42;
  uint32_t file_size = 0;
  uint16_t reserved1 = 0;
  uint16_t reserved2 = 0;
  uint32_t pixel_data_offset = 0;
  uint32_t header_size = 40;
  int32_t width = 0;
  int32_t height = 0;
  uint16_t planes = 1;
  uint16_t bits_per_pixel = 24;
  uint32_t compression = 0;
  uint32_t image_size = 0;
  uint32_t x_resolution = 2835;
  uint32_t y_resolution = 2835;
  uint32_t colors_used = 0;
  uint32_t colors_important = 0;
};

// File header, information header (padded with zeros up to header_size when
// that is larger than 40), palette bytes, gap bytes, pixel bytes.
Bytes build_bmp(BmpFields fields, const Bytes& palette, const Bytes& pixels, size_t gap = 0);

// Padded stride of a BMP row, for building pixel arrays in tests.
size_t test_row_size(int32_t width, int bits_per_pixel);

// Little-endian reads from a byte vector, for checking written headers.
uint32_t get_le16(const Bytes& bytes, size_t offset);
uint32_t get_le32(const Bytes& bytes, size_t offset);

// Deterministic pseudo-random bytes.
Bytes random_bytes(size_t count, uint32_t seed);

// A size from 1 to max for randomized cases: mostly small (log-uniform), a
// fifth spread evenly, so thousands of cases stay fast and still reach the
// large sizes and the block edges.
int32_t random_size(std::mt19937& rng, int32_t max);

// dlopen a built module and find its export; aborts the test run if missing.
void* load_module_symbol(const char* module_path, const char* symbol);

#if !defined(_WIN32)
// A FIFO fed by a thread of its own, as a pipe from another program would
// be: chunk bytes at a time with a pause of pause_us between chunks (0: no
// pause). The feeder blocks the interrupting signal below, and stops when
// the reader goes away early.
struct FifoFeed {
  std::string path;
  void* writer = nullptr;   // the feeding (or draining) thread
  Bytes* drained = nullptr;  // what a drain read
};
// Makes the FIFO at path (removing any file there) and starts feeding it.
void start_fifo_feed(FifoFeed* feed, const std::string& path, const Bytes& bytes, size_t chunk,
                     long pause_us);
// Waits for the feeder (a FIFO no reader opened is opened once, so that it
// ends) and removes the FIFO.
void finish_fifo_feed(FifoFeed* feed);

// The other direction: a FIFO at path read by a thread of its own, chunk
// bytes at a time with a pause of pause_us after each, as a slow program
// downstream would. finish_fifo_drain waits for the writer to close it
// (opening it once if no writer did) and returns what came through.
void start_fifo_drain(FifoFeed* drain, const std::string& path, size_t chunk, long pause_us);
Bytes finish_fifo_drain(FifoFeed* drain);

// A timer signal every interval_us, handled without SA_RESTART, so that a
// read blocked on a pipe returns EINTR. stop_interrupting returns how many
// signals arrived.
void start_interrupting(long interval_us);
long stop_interrupting();
#endif

#endif  // VORLIN_TESTS_TEST_SUPPORT_H
