// Opening and finishing the file a writer writes. An output that names the
// input file (the same file, by the same path or through a link) is written
// to a new file beside it, which replaces the input only once it is complete
// and closed: a write that fails midway (a full disk) then never costs the
// only copy of the picture. Every other output is opened and written as it is.
#ifndef VORLIN_COMMON_OUTPUT_FILE_H
#define VORLIN_COMMON_OUTPUT_FILE_H

#include <cstddef>
#include <cstdio>

// Room for a resolved path and for the new file's name beside it.
constexpr size_t kOutputPathSize = 4096 + 64;

struct OutputFile {
  FILE* file;                     // where the bytes go
  char target[kOutputPathSize];   // writing in place: the input file to replace, else ""
  char staging[kOutputPathSize];  // writing in place: the new file beside it, else ""
};

// Opens path for binary writing ("wb"), creating or truncating it; or, when
// path names the same regular file as input_path (null: there is no input),
// creates a new file beside that file instead, with its permissions. Returns
// 1, or 0 when the output cannot be opened (an in-place output also when the
// file itself could not be opened for writing); nothing is left behind then.
int open_output(OutputFile* output, const char* path, const char* input_path);

// Flushes and closes the stream, checked (close_written). Writing in place,
// the new file then replaces the input when written is 1 and the close
// succeeded, and is removed otherwise, leaving the input as it was. Returns 1
// when the output holds every byte written, 0 otherwise.
int close_output(OutputFile* output, int written);

#endif  // VORLIN_COMMON_OUTPUT_FILE_H
