// The file a writer writes: opened, written through a small buffer with
// writes that survive signals, and closed with every step checked. An output
// that names the file the call read (the very file the reader opened, by the
// same path or through links) is written to a new file in the same directory,
// which carries the original's owner, group, permissions and extended
// attributes and replaces it only once complete: a write that fails midway (a
// full disk) never costs the only copy of the picture, and a name that comes
// to refer to another file meanwhile fails the call rather than replace that
// file. Every other output is opened and written as it is.
#ifndef VORLIN_COMMON_OUTPUT_FILE_H
#define VORLIN_COMMON_OUTPUT_FILE_H

#include <cstddef>
#include <cstdint>

#include "file_io.h"

// Room for a resolved path and for the new file's name beside it.
constexpr size_t kOutputPathSize = 4096 + 64;

// Bytes gathered before a write reaches the file, as a stream would buffer
// them: small header fields go out together, and a full disk shows at the
// same step as it did through a stream.
constexpr size_t kOutputBufferSize = 4096;

// The file a call read its picture from: the path it was given and the
// identity of the file its reader opened.
struct InputOrigin {
  const char* path;
  FileIdentity identity;
};

struct OutputFile {
  int descriptor;  // where the bytes go, -1 when not open
  size_t buffered;
  // Writing in place: the directory's descriptor (-1 where the platform has
  // none), the file's name in it (the whole path where there is no
  // directory descriptor), the new file's name beside it ("" while it has
  // none), and what the replaced file is.
  int directory;
  char target[kOutputPathSize];
  char staging[kOutputPathSize];
  FileIdentity replaced;
  uint32_t mode;
  uint8_t buffer[kOutputBufferSize];
};

// Opens path for binary writing, creating or truncating it; or, when path
// names the file input's reader opened (input null: there is none), creates
// the new file that is to replace it. Writing in place is refused (0) when
// that file could not have been opened for writing, when its owner or group
// cannot be carried over, or when path is input's own path but now names
// another file. Returns false when the output cannot be opened; nothing is
// left behind then.
bool open_output(OutputFile* output, const char* path, const InputOrigin* input);

// Adds size bytes to the output. Returns false when the file refused a write
// (a full disk, a closed pipe); a write a signal interrupts goes on.
bool write_output(OutputFile* output, const void* bytes, size_t size);

// Writes what is buffered and closes the file, checked. Writing in place, the
// new file then replaces the input when written is true, everything reached
// it and the input's name still names the file that was read; otherwise the
// new file is removed and the input is left as it was. Returns whether the
// output holds every byte written.
bool close_output(OutputFile* output, bool written);

#endif  // VORLIN_COMMON_OUTPUT_FILE_H
