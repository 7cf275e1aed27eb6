// Small stream helpers the modules share: opening for reading, reads that
// survive signals, reaching an offset on streams that can seek and on those
// that cannot (a pipe), and a close that reports whether everything buffered
// reached the file.
#ifndef VORLIN_COMMON_FILE_IO_H
#define VORLIN_COMMON_FILE_IO_H

#include <cstdint>
#include <cstdio>

// fopen(path, "rb"), tried again when a signal interrupted the open (a FIFO
// waits there for its writer). Null when the file cannot be opened.
FILE* open_for_reading(const char* path);

// Reads up to size bytes, going on after a read that a signal interrupted.
// Returns the number of bytes read; fewer than size only at the end of the
// file or after a read error.
size_t read_fully(FILE* file, void* buffer, size_t size);

// Reads up to size bytes; the bytes that the file does not have are set to 0.
// Returns the number of bytes that came from the file.
size_t read_or_zero(FILE* file, void* buffer, size_t size);

// Seeks to offset bytes from the start of the file; 1 on success, 0 when the
// offset cannot be reached (the position is then unspecified).
int seek_from_start(FILE* file, uint64_t offset);

// Positions the stream at offset bytes from the start of the file, where
// position is how many bytes have been read so far. A stream that cannot
// seek is read forward to the offset. Returns 1 when the stream is there; 0
// when the offset lies behind what a stream that cannot seek has already
// read, or beyond its end.
int reach_offset(FILE* file, uint64_t offset, uint64_t position);

// Flushes and closes a stream opened for writing. Returns 1 when every byte
// written so far reached the file, 0 otherwise; the stream is closed either way.
int close_written(FILE* file);

#endif  // VORLIN_COMMON_FILE_IO_H
