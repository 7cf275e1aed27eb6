// Stream helpers shared by the modules.
#include "file_io.h"

#include <sys/stat.h>

#include <cerrno>
#include <cstring>

#if defined(_WIN32)
#include <io.h>
#include <windows.h>
#endif

namespace {

#if defined(_WIN32)
// Directories do not open as streams here; the volume and file index of the
// handle behind the stream tell files apart.
bool is_directory(FILE*) { return false; }

FileIdentity identity_of(FILE* file) {
  FileIdentity identity = {};
  HANDLE handle = reinterpret_cast<HANDLE>(_get_osfhandle(_fileno(file)));
  BY_HANDLE_FILE_INFORMATION info = {};
  if (handle != INVALID_HANDLE_VALUE && GetFileType(handle) == FILE_TYPE_DISK &&
      GetFileInformationByHandle(handle, &info) &&
      (info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) == 0) {
    identity.known = true;
    identity.device = info.dwVolumeSerialNumber;
    identity.index = (static_cast<uint64_t>(info.nFileIndexHigh) << 32) | info.nFileIndexLow;
  }
  return identity;
}
#else
bool is_directory(FILE* file) {
  struct stat st;
  return fstat(fileno(file), &st) == 0 && S_ISDIR(st.st_mode);
}

FileIdentity identity_of(FILE* file) {
  FileIdentity identity = {};
  struct stat st;
  if (fstat(fileno(file), &st) == 0 && S_ISREG(st.st_mode)) {
    identity.known = true;
    identity.device = static_cast<uint64_t>(st.st_dev);
    identity.index = static_cast<uint64_t>(st.st_ino);
  }
  return identity;
}
#endif

}  // namespace

FILE* open_for_reading(const char* path, FileIdentity* identity) {
  if (identity != nullptr) {
    *identity = FileIdentity{};
  }
  FILE* file = nullptr;
  do {
    errno = 0;
    file = fopen(path, "rb");
  } while (file == nullptr && errno == EINTR);
  // A directory opens on POSIX, and its first read fails as if the file were
  // empty: it is refused as a file that cannot be opened, as on Windows.
  if (file != nullptr && is_directory(file)) {
    fclose(file);
    file = nullptr;
    errno = EISDIR;
  }
  if (file != nullptr && identity != nullptr) {
    *identity = identity_of(file);
  }
  return file;
}

bool same_identity(const FileIdentity& a, const FileIdentity& b) {
  return a.known && b.known && a.device == b.device && a.index == b.index;
}

size_t read_fully(FILE* file, void* buffer, size_t size) {
  unsigned char* bytes = static_cast<unsigned char*>(buffer);
  size_t got = 0;
  while (got < size) {
    errno = 0;
    got += fread(bytes + got, 1, size - got, file);
    // A signal that arrives while a read waits (on a pipe, say) ends the
    // read with EINTR and the stream's error flag set; nothing is lost, so
    // the read goes on. The end of the file and real errors end it here.
    if (got == size || !ferror(file) || errno != EINTR) {
      break;
    }
    clearerr(file);
  }
  return got;
}

size_t read_or_zero(FILE* file, void* buffer, size_t size) {
  size_t got = read_fully(file, buffer, size);
  if (got < size) {
    memset(static_cast<unsigned char*>(buffer) + got, 0, size - got);
  }
  return got;
}

bool seek_from_start(FILE* file, uint64_t offset) {
#if defined(_WIN32)
  if (offset > static_cast<uint64_t>(INT64_MAX)) {
    return false;
  }
  return _fseeki64(file, static_cast<__int64>(offset), SEEK_SET) == 0;
#else
  // off_t is 64 bits wide everywhere we build (_FILE_OFFSET_BITS=64).
  static_assert(sizeof(off_t) >= 8, "64-bit file offsets are required");
  if (offset > static_cast<uint64_t>(INT64_MAX)) {
    return false;
  }
  return fseeko(file, static_cast<off_t>(offset), SEEK_SET) == 0;
#endif
}

bool reach_offset(FILE* file, uint64_t offset, uint64_t position) {
  // A regular file seeks to any offset, even one past its end (whose reads
  // then come up short); a failed seek leaves a pipe's buffered bytes as
  // they were, so reading forward goes on from where the reads stopped.
  if (seek_from_start(file, offset)) {
    return true;
  }
  if (offset < position) {
    return false;
  }
  unsigned char skipped[4096];
  uint64_t left = offset - position;
  while (left > 0) {
    size_t chunk = left < sizeof skipped ? static_cast<size_t>(left) : sizeof skipped;
    if (read_fully(file, skipped, chunk) < chunk) {
      return false;
    }
    left -= chunk;
  }
  return true;
}
