// Stream helpers shared by the modules.
#include "file_io.h"

#include <cstring>

int seek_from_start(FILE* file, uint64_t offset) {
#if defined(_WIN32)
  if (offset > static_cast<uint64_t>(INT64_MAX)) {
    return 0;
  }
  return _fseeki64(file, static_cast<__int64>(offset), SEEK_SET) == 0 ? 1 : 0;
#else
  // off_t is 64 bits wide everywhere we build (_FILE_OFFSET_BITS=64).
  static_assert(sizeof(off_t) >= 8, "64-bit file offsets are required");
  if (offset > static_cast<uint64_t>(INT64_MAX)) {
    return 0;
  }
  return fseeko(file, static_cast<off_t>(offset), SEEK_SET) == 0 ? 1 : 0;
#endif
}

size_t read_or_zero(FILE* file, void* buffer, size_t size) {
  size_t got = fread(buffer, 1, size, file);
  if (got < size) {
    memset(static_cast<unsigned char*>(buffer) + got, 0, size - got);
  }
  return got;
}

int close_written(FILE* file) {
  int ok = fflush(file) == 0 && ferror(file) == 0;
  if (fclose(file) != 0) {
    ok = 0;
  }
  return ok ? 1 : 0;
}
