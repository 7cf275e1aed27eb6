// Small stream helpers the modules share: 64-bit seeks from the start of a
// file, and a close that reports whether everything buffered reached the file.
#ifndef VORLIN_COMMON_FILE_IO_H
#define VORLIN_COMMON_FILE_IO_H

#include <cstdint>
#include <cstdio>

// Seeks to offset bytes from the start of the file; 1 on success, 0 when the
// offset cannot be reached (the position is then unspecified).
int seek_from_start(FILE* file, uint64_t offset);

// Reads up to size bytes; the bytes that the file does not have are set to 0.
// Returns the number of bytes that came from the file.
size_t read_or_zero(FILE* file, void* buffer, size_t size);

// Flushes and closes a stream opened for writing. Returns 1 when every byte
// written so far reached the file, 0 otherwise; the stream is closed either way.
int close_written(FILE* file);

#endif  // VORLIN_COMMON_FILE_IO_H
