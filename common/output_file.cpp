// open_output, write_output and close_output. In place, every step after the
// first lookup is bound to what was found then: on POSIX the directory's
// descriptor and the file's name in it (never followed again), on Windows the
// path as given, compared by handle before the replacing move.
#include "output_file.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

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
#if defined(__linux__)
#include <sys/xattr.h>
#endif
#endif

namespace {

// The most one write call is given: every platform takes this much at once.
constexpr size_t kMaxWriteChunk = size_t{1} << 30;

#if defined(_WIN32)
int write_some(int descriptor, const uint8_t* bytes, size_t size) {
  return _write(descriptor, bytes, static_cast<unsigned>(size));
}

int open_plain(const char* path) {
  return _open(path, _O_WRONLY | _O_CREAT | _O_TRUNC | _O_BINARY, _S_IREAD | _S_IWRITE);
}

int close_descriptor(int descriptor) { return _close(descriptor); }

// The volume and file index of path's file, through any links; known false
// when it cannot be opened or is no regular file.
FileIdentity identity_of_path(const char* path, DWORD* attributes) {
  FileIdentity identity = {};
  HANDLE handle = CreateFileA(path, 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                              nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
  if (handle == INVALID_HANDLE_VALUE) {
    return identity;
  }
  BY_HANDLE_FILE_INFORMATION info = {};
  if (GetFileType(handle) == FILE_TYPE_DISK && GetFileInformationByHandle(handle, &info) &&
      (info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) == 0) {
    identity.known = true;
    identity.device = info.dwVolumeSerialNumber;
    identity.index = (static_cast<uint64_t>(info.nFileIndexHigh) << 32) | info.nFileIndexLow;
    *attributes = info.dwFileAttributes;
  }
  CloseHandle(handle);
  return identity;
}

// Whether path names the input file; *writable tells whether the file itself
// could have been opened for writing (not read-only).
bool locate_in_place(OutputFile* output, const char* path, const FileIdentity& input,
                     bool* writable) {
  DWORD attributes = 0;
  FileIdentity found = identity_of_path(path, &attributes);
  if (!same_identity(found, input)) {
    return false;
  }
  *writable = (attributes & FILE_ATTRIBUTE_READONLY) == 0;
  size_t length = strlen(path);
  if (length >= kOutputPathSize) {
    return false;
  }
  // The replacing move takes the place of the path as given, which for a
  // link is the link itself.
  memcpy(output->target, path, length + 1);
  output->replaced = input;
  return true;
}

// The new file beside the target under a name no other file has; its
// descriptor, or -1.
int create_staging(OutputFile* output) {
  for (int attempt = 0; attempt < 100; ++attempt) {
    int length = snprintf(output->staging, kOutputPathSize, "%s.%ld-%d.tmp", output->target,
                          static_cast<long>(_getpid()), attempt);
    if (length < 0 || static_cast<size_t>(length) >= kOutputPathSize) {
      break;
    }
    errno = 0;
    int descriptor =
        _open(output->staging, _O_WRONLY | _O_CREAT | _O_EXCL | _O_BINARY, _S_IREAD | _S_IWRITE);
    if (descriptor >= 0 || errno != EEXIST) {
      if (descriptor < 0) output->staging[0] = '\0';
      return descriptor;
    }
  }
  output->staging[0] = '\0';
  return -1;
}

// A file the target's permissions and owner carry over to; Windows keeps
// them with the directory's inheritance, so nothing is copied here.
bool carry_over(OutputFile*, int) { return true; }

// Names the new file and makes it replace the target, if the target still
// is the file that was read. The file is closed already (Windows cannot
// replace an open file).
bool replace_target(OutputFile* output) {
  DWORD attributes = 0;
  return same_identity(identity_of_path(output->target, &attributes), output->replaced) &&
         MoveFileExA(output->staging, output->target,
                     MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH) != 0;
}

void remove_staging(OutputFile* output) {
  if (output->staging[0] != '\0') remove(output->staging);
}

bool finish_staging(OutputFile*) { return true; }

void close_directory(OutputFile*) {}
#else
int write_some(int descriptor, const uint8_t* bytes, size_t size) {
  return static_cast<int>(write(descriptor, bytes, size));
}

// What fopen(path, "wb") opens; a FIFO's open that a signal interrupts is
// tried again.
int open_plain(const char* path) {
  int descriptor = -1;
  do {
    descriptor = open(path, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
  } while (descriptor < 0 && errno == EINTR);
  return descriptor;
}

int close_descriptor(int descriptor) { return close(descriptor); }

bool same_as(const struct stat& st, const FileIdentity& identity) {
  FileIdentity found = {S_ISREG(st.st_mode), static_cast<uint64_t>(st.st_dev),
                        static_cast<uint64_t>(st.st_ino)};
  return same_identity(found, identity);
}

// Opens the directory that holds the file path names (through every link)
// and puts the file's name in it into target. Returns the directory's
// descriptor, or -1 when path names nothing.
int open_holding_directory(const char* path, char* target) {
  static_assert(PATH_MAX <= kOutputPathSize, "a resolved path fits the target buffer");
  char resolved[kOutputPathSize];
  if (realpath(path, resolved) == nullptr) {
    return -1;
  }
  char* slash = strrchr(resolved, '/');
  if (slash == nullptr || slash[1] == '\0') {
    return -1;
  }
  memmove(target, slash + 1, strlen(slash + 1) + 1);
  if (slash == resolved) {
    slash[1] = '\0';  // the root directory
  } else {
    *slash = '\0';
  }
#if defined(O_PATH)
  const int how = O_PATH | O_DIRECTORY | O_CLOEXEC;
#else
  const int how = O_RDONLY | O_DIRECTORY | O_CLOEXEC;
#endif
  return open(resolved, how);
}

// Whether path names the input file, looked up once: the directory is held
// open, and the name in it is never followed again. *writable tells whether
// that very file could have been opened for writing; its owner, group and
// permissions are kept for the new file.
bool locate_in_place(OutputFile* output, const char* path, const FileIdentity& input,
                     bool* writable) {
  output->directory = open_holding_directory(path, output->target);
  struct stat st;
  if (output->directory < 0 ||
      fstatat(output->directory, output->target, &st, AT_SYMLINK_NOFOLLOW) != 0 ||
      !same_as(st, input)) {
    return false;
  }
  output->replaced = input;
  // Opened without truncating, as the check of the file itself.
  int descriptor = openat(output->directory, output->target,
                          O_WRONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
  *writable = descriptor >= 0 && fstat(descriptor, &st) == 0 && same_as(st, input);
  if (descriptor >= 0) close(descriptor);
  output->mode = static_cast<uint32_t>(st.st_mode & 07777);
  return true;
}

#if defined(__linux__) && defined(O_TMPFILE)
// An unnamed file in the directory: a call killed before it ends leaves
// nothing behind. It is named at the end through /proc, so that must work.
int create_unnamed(OutputFile* output) {
  int descriptor = openat(output->directory, ".", O_TMPFILE | O_WRONLY | O_CLOEXEC, 0600);
  if (descriptor < 0) {
    return -1;
  }
  char link[64];
  snprintf(link, sizeof link, "/proc/self/fd/%d", descriptor);
  struct stat by_link;
  struct stat by_descriptor;
  if (stat(link, &by_link) != 0 || fstat(descriptor, &by_descriptor) != 0 ||
      by_link.st_ino != by_descriptor.st_ino || by_link.st_dev != by_descriptor.st_dev) {
    close(descriptor);
    return -1;
  }
  return descriptor;
}
#else
int create_unnamed(OutputFile*) { return -1; }
#endif

// Puts a name no other file has, beside the target, into staging; with
// create, also makes the file (exclusively, never through a link). Returns
// the new file's descriptor, or -1; or, without create, 0 once linked.
int name_staging(OutputFile* output, bool create) {
  for (int attempt = 0; attempt < 100; ++attempt) {
    int length = snprintf(output->staging, kOutputPathSize, "%s.%ld-%d.tmp", output->target,
                          static_cast<long>(getpid()), attempt);
    if (length < 0 || static_cast<size_t>(length) >= kOutputPathSize) {
      break;
    }
    int result = -1;
    errno = 0;
    if (create) {
      result = openat(output->directory, output->staging,
                      O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
    } else {
#if defined(__linux__) && defined(AT_EMPTY_PATH)
      result = linkat(output->descriptor, "", output->directory, output->staging, AT_EMPTY_PATH);
      if (result != 0 && errno != EEXIST) {
        char link[64];
        snprintf(link, sizeof link, "/proc/self/fd/%d", output->descriptor);
        result = linkat(AT_FDCWD, link, output->directory, output->staging, AT_SYMLINK_FOLLOW);
      }
#endif
    }
    if (result >= 0 || errno != EEXIST) {
      if (result < 0) output->staging[0] = '\0';
      return result;
    }
  }
  output->staging[0] = '\0';
  return -1;
}

int create_staging(OutputFile* output) {
  int descriptor = create_unnamed(output);
  return descriptor >= 0 ? descriptor : name_staging(output, true);
}

#if defined(__linux__)
// Copies every extended attribute of the target (its access lists among
// them) to the new file. False when one cannot be carried over.
bool copy_attributes(int from, int to) {
  char names[4096];
  ssize_t length = flistxattr(from, names, sizeof names);
  if (length < 0) {
    return errno == ENOTSUP;
  }
  bool ok = true;
  for (ssize_t at = 0; ok && at < length; at += static_cast<ssize_t>(strlen(names + at)) + 1) {
    char value[4096];
    char present[4096];
    ssize_t size = fgetxattr(from, names + at, value, sizeof value);
    ok = size >= 0;
    if (ok && fsetxattr(to, names + at, value, static_cast<size_t>(size), 0) != 0) {
      // A value the system gave the new file already (a security label) is
      // as good as a copy.
      ssize_t has = fgetxattr(to, names + at, present, sizeof present);
      ok = has == size && memcmp(value, present, static_cast<size_t>(size)) == 0;
    }
  }
  return ok;
}
#else
bool copy_attributes(int, int) { return true; }
#endif

// Gives the new file the target's owner, group and extended attributes.
// False when the caller may not: the call is refused rather than change who
// owns the picture.
bool carry_over(OutputFile* output, int descriptor) {
  struct stat target;
  struct stat made;
  int original = openat(output->directory, output->target,
                        O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
  bool ok = original >= 0 && fstat(original, &target) == 0 && same_as(target, output->replaced) &&
            fstat(descriptor, &made) == 0;
  if (ok && (made.st_uid != target.st_uid || made.st_gid != target.st_gid)) {
    ok = fchown(descriptor, target.st_uid, target.st_gid) == 0;
  }
  if (ok) {
    ok = copy_attributes(original, descriptor);
  }
  if (original >= 0) close(original);
  return ok;
}

// The permissions go on last: a write by anyone but root clears the
// set-user and set-group bits.
bool finish_staging(OutputFile* output) {
  return fchmod(output->descriptor, static_cast<mode_t>(output->mode)) == 0 &&
         (output->staging[0] != '\0' || name_staging(output, false) == 0);
}

// Renames the new file over the target, if the target's name still refers to
// the file that was read. Both names are in the directory held open.
bool replace_target(OutputFile* output) {
  struct stat st;
  return fstatat(output->directory, output->target, &st, AT_SYMLINK_NOFOLLOW) == 0 &&
         same_as(st, output->replaced) &&
         renameat(output->directory, output->staging, output->directory, output->target) == 0;
}

void remove_staging(OutputFile* output) {
  if (output->staging[0] != '\0') unlinkat(output->directory, output->staging, 0);
}

void close_directory(OutputFile* output) {
  if (output->directory >= 0) close(output->directory);
  output->directory = -1;
}
#endif

// Writes every byte, going on after a write a signal interrupted and after
// a short one.
bool write_all(int descriptor, const uint8_t* bytes, size_t size) {
  while (size > 0) {
    errno = 0;
    int wrote = write_some(descriptor, bytes, size < kMaxWriteChunk ? size : kMaxWriteChunk);
    if (wrote > 0) {
      bytes += wrote;
      size -= static_cast<size_t>(wrote);
    } else if (wrote == 0 || errno != EINTR) {
      return false;
    }
  }
  return true;
}

bool flush_buffer(OutputFile* output) {
  size_t pending = output->buffered;
  output->buffered = 0;
  return write_all(output->descriptor, output->buffer, pending);
}

// The in-place path of open_output: the new file, with what it must carry.
int open_staging(OutputFile* output) {
  int descriptor = create_staging(output);
  if (descriptor >= 0 && !carry_over(output, descriptor)) {
    close_descriptor(descriptor);
    remove_staging(output);
    descriptor = -1;
  }
  return descriptor;
}

}  // namespace

bool open_output(OutputFile* output, const char* path, const InputOrigin* input) {
  output->descriptor = -1;
  output->buffered = 0;
  output->directory = -1;
  output->target[0] = '\0';
  output->staging[0] = '\0';
  output->replaced = FileIdentity{};
  output->mode = 0;
  bool writable = false;
  bool in_place = input != nullptr && input->identity.known &&
                  locate_in_place(output, path, input->identity, &writable);
  if (in_place) {
    if (writable) {
      output->descriptor = open_staging(output);
    }
  } else if (input != nullptr && input->identity.known && strcmp(path, input->path) == 0) {
    // The input's own path, which no longer names the file read: another
    // program replaced it meanwhile, and a plain output would truncate its file.
    output->descriptor = -1;
  } else {
    close_directory(output);
    output->target[0] = '\0';
    output->descriptor = open_plain(path);
  }
  if (output->descriptor < 0) {
    close_directory(output);
    output->target[0] = '\0';
    return false;
  }
  return true;
}

bool write_output(OutputFile* output, const void* bytes, size_t size) {
  const uint8_t* data = static_cast<const uint8_t*>(bytes);
  if (size <= kOutputBufferSize - output->buffered) {
    memcpy(output->buffer + output->buffered, data, size);
    output->buffered += size;
    return true;
  }
  if (!flush_buffer(output)) {
    return false;
  }
  if (size < kOutputBufferSize) {
    memcpy(output->buffer, data, size);
    output->buffered = size;
    return true;
  }
  return write_all(output->descriptor, data, size);
}

bool close_output(OutputFile* output, bool written) {
  // What was buffered goes out even after a failure, as a stream's close
  // would send it: a failed plain output keeps whatever reached it.
  bool flushed = flush_buffer(output);
  bool ok = written && flushed;
  bool in_place = output->target[0] != '\0';
  if (ok && in_place) {
    ok = finish_staging(output);
  }
  if (close_descriptor(output->descriptor) != 0) {
    ok = false;
  }
  output->descriptor = -1;
  if (in_place) {
    if (ok) {
      ok = replace_target(output);
    }
    if (!ok) {
      remove_staging(output);
    }
    close_directory(output);
  }
  return ok;
}
