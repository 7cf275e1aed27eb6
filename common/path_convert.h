// Path conversion: a host's wide-character path becomes the 8-bit string the
// C streams open. On Windows that is the ANSI code page via the platform's
// conversion; on POSIX it is UTF-8 from UTF-32, by our own code, so the result
// does not depend on the process locale.
#ifndef VORLIN_COMMON_PATH_CONVERT_H
#define VORLIN_COMMON_PATH_CONVERT_H

#include <cstddef>
#include <cwchar>

// Size of the per-call path buffers of the resizer and the erosion module.
constexpr size_t kPathBufferSize = 200;

// Converts a wide path into a heap temporary that the caller releases with
// free(). A null pointer, a character that cannot be encoded, or a failed
// conversion gives an empty string. Returns null only when the temporary
// cannot be allocated.
char* convert_path(const wchar_t* wide);

// Converts a wide path and copies it, terminator included, into buffer.
// Returns whether it fits (when it does not, buffer holds an empty string);
// a failed conversion, including a failed allocation of the temporary, fits
// as an empty string.
bool convert_path_into(const wchar_t* wide, char* buffer, size_t buffer_size);

#endif  // VORLIN_COMMON_PATH_CONVERT_H
