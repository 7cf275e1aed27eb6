// Small stream helpers the modules share: opening for reading (with the
// identity of the file opened), reads that survive signals, reaching an
// offset on streams that can seek and on those that cannot (a pipe).
#ifndef VORLIN_COMMON_FILE_IO_H
#define VORLIN_COMMON_FILE_IO_H

#include <cstdint>
#include <cstdio>

// Which file a reader opened: its device (volume) and its number there, so
// that an output can be compared with the very file that was read, not with
// whatever its name names later. known is false for anything that is no
// regular file (a pipe, a device).
struct FileIdentity {
  bool known;
  uint64_t device;
  uint64_t index;
};

// fopen(path, "rb"), tried again when a signal interrupted the open (a FIFO
// waits there for its writer). Null when the file cannot be opened, and for a
// directory, which some platforms open but no read can use. When identity is
// given, it receives the identity of the file opened (known false on failure).
FILE* open_for_reading(const char* path, FileIdentity* identity = nullptr);

// Whether two identities are the same known file.
bool same_identity(const FileIdentity& a, const FileIdentity& b);

// Reads up to size bytes, going on after a read that a signal interrupted.
// Returns the number of bytes read; fewer than size only at the end of the
// file or after a read error.
size_t read_fully(FILE* file, void* buffer, size_t size);

// Reads up to size bytes; the bytes that the file does not have are set to 0.
// Returns the number of bytes that came from the file.
size_t read_or_zero(FILE* file, void* buffer, size_t size);

// Seeks to offset bytes from the start of the file; false when the offset
// cannot be reached (the position is then unspecified).
bool seek_from_start(FILE* file, uint64_t offset);

// Positions the stream at offset bytes from the start of the file, where
// position is how many bytes have been read so far. A stream that cannot
// seek is read forward to the offset. Returns whether the stream is there:
// false when the offset lies behind what a stream that cannot seek has
// already read, or beyond its end.
bool reach_offset(FILE* file, uint64_t offset, uint64_t position);

#endif  // VORLIN_COMMON_FILE_IO_H
