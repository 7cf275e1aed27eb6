// open_output and close_output: in-place outputs go through a new file that
// is renamed over the input once complete.
#include "output_file.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "file_io.h"

#if defined(_WIN32)
#include <fcntl.h>
#include <io.h>
#include <process.h>
#include <sys/stat.h>
#include <windows.h>
#else
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <climits>
#endif

namespace {

#if defined(_WIN32)
// The volume and file index of path's file, through any links; 0 when it
// cannot be opened or is no regular file.
int file_identity(const char* path, BY_HANDLE_FILE_INFORMATION* info) {
  HANDLE handle = CreateFileA(path, 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                              nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
  if (handle == INVALID_HANDLE_VALUE) {
    return 0;
  }
  int found = GetFileType(handle) == FILE_TYPE_DISK && GetFileInformationByHandle(handle, info) &&
              (info->dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) == 0;
  CloseHandle(handle);
  return found;
}

// Whether path and input_path name the same regular file. Also finds
// whether writing the file itself would have been refused (read-only).
int same_file(const char* path, const char* input_path, int* writable) {
  BY_HANDLE_FILE_INFORMATION out = {};
  BY_HANDLE_FILE_INFORMATION in = {};
  if (!file_identity(path, &out) || !file_identity(input_path, &in) ||
      out.dwVolumeSerialNumber != in.dwVolumeSerialNumber ||
      out.nFileIndexHigh != in.nFileIndexHigh || out.nFileIndexLow != in.nFileIndexLow) {
    return 0;
  }
  *writable = (out.dwFileAttributes & FILE_ATTRIBUTE_READONLY) == 0;
  return 1;
}

// The file to replace: the path as given (the replacing move takes its
// place, which for a link is the link itself, never the file behind it).
int resolve_target(const char* path, char* target) {
  size_t length = strlen(path);
  if (length >= kOutputPathSize) {
    return 0;
  }
  memcpy(target, path, length + 1);
  return 1;
}

int create_exclusive(const char* name, const char* /*like*/) {
  return _open(name, _O_WRONLY | _O_CREAT | _O_EXCL | _O_BINARY, _S_IREAD | _S_IWRITE);
}

long process_id() { return static_cast<long>(_getpid()); }

FILE* stream_for(int descriptor) { return _fdopen(descriptor, "wb"); }

void close_descriptor(int descriptor) { _close(descriptor); }

int replace_file(const char* staging, const char* target) {
  return MoveFileExA(staging, target, MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH) != 0;
}
#else
int same_file(const char* path, const char* input_path, int* writable) {
  struct stat out;
  struct stat in;
  if (stat(path, &out) != 0 || !S_ISREG(out.st_mode) || stat(input_path, &in) != 0 ||
      out.st_dev != in.st_dev || out.st_ino != in.st_ino) {
    return 0;
  }
  // Exactly what opening the file itself for writing would be allowed, short
  // of truncating it.
  int descriptor = open(path, O_WRONLY | O_CLOEXEC);
  *writable = descriptor >= 0;
  if (descriptor >= 0) {
    close(descriptor);
  }
  return 1;
}

// The file behind every link: the rename must replace it, not a link to it.
int resolve_target(const char* path, char* target) {
  static_assert(PATH_MAX <= kOutputPathSize, "a resolved path fits the target buffer");
  return realpath(path, target) != nullptr;
}

// A new file, private until it carries the permissions of the file it is to
// replace.
int create_exclusive(const char* name, const char* like) {
  struct stat original;
  if (stat(like, &original) != 0) {
    return -1;
  }
  int descriptor = open(name, O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
  if (descriptor >= 0 && fchmod(descriptor, original.st_mode & 0777) != 0) {
    close(descriptor);
    unlink(name);
    return -1;
  }
  return descriptor;
}

long process_id() { return static_cast<long>(getpid()); }

FILE* stream_for(int descriptor) { return fdopen(descriptor, "wb"); }

void close_descriptor(int descriptor) { close(descriptor); }

int replace_file(const char* staging, const char* target) { return rename(staging, target) == 0; }
#endif

// Creates the new file beside target under a name no other file has.
// Returns its descriptor, with its name in staging, or -1.
int create_staging(const char* target, char* staging) {
  for (int attempt = 0; attempt < 100; ++attempt) {
    int length = snprintf(staging, kOutputPathSize, "%s.%ld-%d.tmp", target, process_id(), attempt);
    if (length < 0 || static_cast<size_t>(length) >= kOutputPathSize) {
      break;
    }
    errno = 0;
    int descriptor = create_exclusive(staging, target);
    if (descriptor >= 0 || errno != EEXIST) {
      return descriptor;
    }
  }
  return -1;
}

}  // namespace

int open_output(OutputFile* output, const char* path, const char* input_path) {
  output->file = nullptr;
  output->target[0] = '\0';
  output->staging[0] = '\0';
  int writable = 0;
  if (input_path == nullptr || !same_file(path, input_path, &writable)) {
    output->file = fopen(path, "wb");
    return output->file != nullptr ? 1 : 0;
  }
  if (!writable || !resolve_target(path, output->target)) {
    return 0;
  }
  int descriptor = create_staging(output->target, output->staging);
  if (descriptor >= 0) {
    output->file = stream_for(descriptor);
    if (output->file == nullptr) {
      close_descriptor(descriptor);
      remove(output->staging);
    }
  }
  return output->file != nullptr ? 1 : 0;
}

int close_output(OutputFile* output, int written) {
  int closed = close_written(output->file);
  output->file = nullptr;
  if (output->staging[0] == '\0') {
    return written && closed ? 1 : 0;
  }
  int replaced = written && closed && replace_file(output->staging, output->target);
  if (!replaced) {
    remove(output->staging);
  }
  return replaced ? 1 : 0;
}
