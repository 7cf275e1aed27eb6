// What the hostile-input suites of the three exports share: the pictures
// they are made of, the fixture with its paths, and the machinery of the
// tables every export runs its own rows through (pipes and interrupted
// reads, an output that names the input, the link-swap race, streams
// flushed on return). Each suite runs by every route of its export
// (export_calls.h). POSIX only: /dev/full, pipes, links, fork.
#ifndef VORLIN_TESTS_FAULT_BAD_INPUT_SUPPORT_H
#define VORLIN_TESTS_FAULT_BAD_INPUT_SUPPORT_H

#include <gtest/gtest.h>
#include <sys/types.h>

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "export_calls.h"
#include "test_support.h"

// A small picture: width x height at a depth, colours_used entries (or the
// depth's default), pixel offset where build_bmp puts it unless given.
Bytes picture(uint16_t bits, int32_t width, int32_t height, uint32_t colors_used = 0,
              uint32_t pixel_offset = 0);

// An 8-bit 4 x 2 picture with a short information header as OS/2 tools
// write it: 12 bytes (16-bit width and height) with 3-byte palette entries,
// or 16 bytes (32-bit width and height) with 4-byte entries. Palette entry 0
// is black, so a reader that took 40 header bytes would see no compression.
Bytes short_header_picture(uint32_t header_size);

// A 5 x 3 picture with an information header of header_size bytes and gap
// bytes before the pixels; a file with its last bytes cut off; its first ones.
Bytes with_header(uint16_t bits, uint32_t header_size, size_t gap);
Bytes cut_end(Bytes file, size_t bytes);
Bytes first_bytes(Bytes file, size_t bytes);

// Rewrites bytes of an existing file in place: a sweep over 65536 values
// must not pay for truncating and rewriting the file each time.
void patch_file(const std::string& path, size_t offset, uint32_t value, size_t bytes);

bool ends_with(const std::string& text, const std::string& tail);
std::string replace_all(std::string text, const std::string& from, const std::string& to);

// fork, with the child's standard output and error on the null device: a
// child that calls a module thousands of times keeps its lines to itself.
pid_t quiet_fork();

// How a row's module is called by the shared tables: 'r' resize, 'e' erode,
// 'p' probe; each suite gives rows of its own module only.

// The pipes table: the input through a FIFO (fed whole, or a few bytes at a
// time while a timer signal interrupts the reads), or the output through a
// FIFO drained slowly while the timer interrupts the writes, must give what
// the file gives. 'r' resizes to 4 x 3, 'e' erodes once, 'p' probes the width.
struct PipeRow {
  const char* name;
  char module;
  Bytes file;
  bool behind;  // the pixel offset lies in bytes a pipe has already passed
};

// The in-place table: the output names the input by the same path, another
// spelling, a link or a second hard link, with a file size limit or not.
// 'r' resizes a 24-bit 4 x 4 picture to 40 x 40, 'e' erodes an 8-bit 40 x 40
// one once.
enum class InPlaceOut { kSame, kOtherSpelling, kLink, kFarLink, kHardLink };
struct InPlaceRow {
  const char* name;
  char module;
  InPlaceOut out;
  long limit;  // file size limit in bytes, 0 for none
};
// With root: what the replaced file keeps (owner, group, mode, an attribute).
struct KeepRow {
  char module;
  mode_t mode;
  uid_t uid;
  gid_t gid;
};

// The link-swap race: a hostile owner of the picture swaps it with a link
// to the victim's file while the victim calls the module in place.
struct RaceRow {
  const char* name;
  char module;
  bool unprivileged;  // the victim is an ordinary user (else root)
};

// Streams flushed on return: one call of the row's export.
struct LinesRow {
  const char* name;
  std::function<int32_t()> call;
};

class BadInput : public ::testing::Test {
 protected:
  std::string dir = make_temp_dir();
  std::string input = dir + "/in.bmp";
  std::string output = dir + "/out.bmp";
  std::string subdir = dir + "/a-directory";
  std::string missing = dir + "/no-such-directory/out.bmp";
  long cases = 0;

  void SetUp() override;
  void TearDown() override;

  // Where a row's input or output goes: "file", "full", "dir", "missing",
  // "same", or the text itself.
  std::string place(const std::string& kind) const;
  // {in} and {out} in a message, replaced by the paths.
  std::string fill(const std::string& text, const std::string& in, const std::string& out) const;
};

// A suite whose every case runs by each route of its export.
class RoutedBadInput : public BadInput, public ::testing::WithParamInterface<ExportRoute> {
 protected:
  std::string link = dir + "/link.bmp";
  std::string far_link = subdir + "/far.bmp";
  std::string hard = dir + "/hard.bmp";

  ExportCall resize(const std::string& in, const std::string& out, int32_t width, int32_t height);
  ExportCall erode(const std::string& in, const std::string& out, int32_t passes);
  ExportCall probe(const std::string& in, int32_t query);

  void check_pipes(const std::vector<PipeRow>& rows);
  void check_in_place(const std::vector<InPlaceRow>& rows, const std::vector<KeepRow>& keeps);
  void check_link_swap_race(const std::vector<RaceRow>& rows);
  void check_lines_out_on_return(const std::vector<LinesRow>& rows);
};

#endif  // VORLIN_TESTS_FAULT_BAD_INPUT_SUPPORT_H
