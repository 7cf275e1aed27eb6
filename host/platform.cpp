// The POSIX and Windows forms of the host's platform calls, and the capture
// of standard error built on their pipes and threads.
#include "platform.h"

#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <vector>

#if defined(_WIN32)
#include <direct.h>
#include <fcntl.h>
#include <io.h>
#include <sys/stat.h>
#include <windows.h>
#else
#include <dlfcn.h>
#include <langinfo.h>
#include <limits.h>
#include <poll.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

#if defined(_WIN32)
std::string program_dir() {
  std::vector<char> path(MAX_PATH);
  DWORD n = 0;
  while ((n = GetModuleFileNameA(nullptr, path.data(), static_cast<DWORD>(path.size()))) ==
             path.size() &&
         path.size() < 32768) {
    path.resize(path.size() * 2);
  }
  std::string full(path.data(), n);
  size_t slash = full.find_last_of("\\/");
  return slash == std::string::npos ? std::string(".") : full.substr(0, slash);
}

bool file_is_present(const std::string& path) {
  DWORD attributes = GetFileAttributesA(path.c_str());
  return attributes != INVALID_FILE_ATTRIBUTES && !(attributes & FILE_ATTRIBUTE_DIRECTORY);
}

void* open_library(const std::string& path, std::string* problem) {
  HMODULE handle = LoadLibraryA(path.c_str());
  if (handle == nullptr) *problem = path + ": error " + std::to_string(GetLastError());
  return reinterpret_cast<void*>(handle);
}

void* library_symbol(void* handle, const char* symbol) {
  return reinterpret_cast<void*>(GetProcAddress(static_cast<HMODULE>(handle), symbol));
}

// A directory, made when missing; false with errno set when it cannot be.
bool make_dir(const std::string& dir) {
  struct _stat st;
  if (_mkdir(dir.c_str()) == 0) return true;
  if (errno != EEXIST) return false;
  if (_stat(dir.c_str(), &st) == 0 && (st.st_mode & _S_IFDIR)) return true;
  errno = ENOTDIR;
  return false;
}

// The full path with one kind of separator and no "." or ".." (the path
// itself when it has none).
std::string absolute_path(const std::string& path) {
  char* full = _fullpath(nullptr, path.c_str(), 0);
  std::string result = full != nullptr ? full : path;
  free(full);
  return result;
}

FILE* open_wide(const std::wstring& path) { return _wfopen(path.c_str(), L"rb"); }

// Nothing to do: a write to a pipe without a reader fails with an error.
void ignore_broken_pipes() {}

// Why standard output failed when the failed write left no errno behind.
int output_error() { return 0; }

std::string locale_encoding() { return "code page " + std::to_string(GetACP()); }
#else
std::string program_dir() {
  char path[PATH_MAX];
  ssize_t n = readlink("/proc/self/exe", path, sizeof path - 1);
  std::string full = n > 0 ? std::string(path, static_cast<size_t>(n)) : std::string();
  size_t slash = full.rfind('/');
  return slash == std::string::npos ? std::string(".") : full.substr(0, slash);
}

bool file_is_present(const std::string& path) {
  struct stat st;
  return stat(path.c_str(), &st) == 0 && !S_ISDIR(st.st_mode);
}

void* open_library(const std::string& path, std::string* problem) {
  void* handle = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
  if (handle == nullptr) *problem = dlerror();  // names the file and the reason
  return handle;
}

void* library_symbol(void* handle, const char* symbol) { return dlsym(handle, symbol); }

// A directory, made when missing; false with errno set when it cannot be.
bool make_dir(const std::string& dir) {
  struct stat st;
  if (mkdir(dir.c_str(), 0777) == 0) return true;
  if (errno != EEXIST) return false;
  if (stat(dir.c_str(), &st) == 0 && S_ISDIR(st.st_mode)) return true;
  errno = ENOTDIR;
  return false;
}

// The real path, links and "." or ".." resolved (the path itself when it
// names nothing).
std::string absolute_path(const std::string& path) {
  char* full = realpath(path.c_str(), nullptr);
  std::string result = full != nullptr ? full : path;
  free(full);
  return result;
}

// A path in UTF-8, as the modules convert it, opened for reading.
FILE* open_wide(const std::wstring& path) {
  std::string utf8;
  for (wchar_t w : path) {
    uint32_t c = static_cast<uint32_t>(w);
    if (c < 0x80) {
      utf8 += static_cast<char>(c);
    } else if (c < 0x800) {
      utf8 += static_cast<char>(0xC0 | (c >> 6));
      utf8 += static_cast<char>(0x80 | (c & 0x3F));
    } else if (c < 0x10000) {
      utf8 += static_cast<char>(0xE0 | (c >> 12));
      utf8 += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
      utf8 += static_cast<char>(0x80 | (c & 0x3F));
    } else {
      utf8 += static_cast<char>(0xF0 | (c >> 18));
      utf8 += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
      utf8 += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
      utf8 += static_cast<char>(0x80 | (c & 0x3F));
    }
  }
  return fopen(utf8.c_str(), "rb");
}

// A reader that went away makes a write fail with EPIPE instead of ending
// the host silently, so the call reports it like any other failed write.
void ignore_broken_pipes() { signal(SIGPIPE, SIG_IGN); }

// Why standard output failed when the failed write (a module's) left no
// errno behind: a pipe whose reader has gone says so.
int output_error() {
  struct pollfd out = {1, POLLOUT, 0};
  return poll(&out, 1, 0) == 1 && (out.revents & POLLERR) != 0 ? EPIPE : 0;
}

std::string locale_encoding() { return nl_langinfo(CODESET); }
#endif

namespace {

void drain_pipe(Drain* drain);  // the work of the drain's thread

#if defined(_WIN32)
int make_pipe(int fds[2]) { return _pipe(fds, 4096, _O_BINARY | _O_NOINHERIT); }
int duplicate_fd(int fd) { return _dup(fd); }
int replace_fd(int from, int to) { return _dup2(from, to); }
void close_fd(int fd) { _close(fd); }
int stream_fd(FILE* stream) { return _fileno(stream); }

DWORD WINAPI drain_thread(LPVOID drain) {
  drain_pipe(static_cast<Drain*>(drain));
  return 0;
}

// Starts the drain's thread; false with errno set when it cannot.
bool start_drain(Drain* drain, Thread* thread) {
  *thread = CreateThread(nullptr, 0, drain_thread, drain, 0, nullptr);
  if (*thread == nullptr) errno = EAGAIN;
  return *thread != nullptr;
}

void finish_drain(Thread thread) {
  WaitForSingleObject(thread, INFINITE);
  CloseHandle(thread);
}

int read_fd(int fd, char* chunk, unsigned size) { return _read(fd, chunk, size); }
#else
int make_pipe(int fds[2]) { return pipe(fds); }
int duplicate_fd(int fd) { return dup(fd); }
int replace_fd(int from, int to) { return dup2(from, to); }
void close_fd(int fd) { close(fd); }
int stream_fd(FILE* stream) { return fileno(stream); }

void* drain_thread(void* drain) {
  drain_pipe(static_cast<Drain*>(drain));
  return nullptr;
}

// Starts the drain's thread; false with errno set when it cannot.
bool start_drain(Drain* drain, Thread* thread) {
  int error = pthread_create(thread, nullptr, drain_thread, drain);
  if (error != 0) errno = error;
  return error == 0;
}

void finish_drain(Thread thread) { pthread_join(thread, nullptr); }

ssize_t read_fd(int fd, char* chunk, unsigned size) { return read(fd, chunk, size); }
#endif

void drain_pipe(Drain* drain) {
  char chunk[4096];
  for (;;) {
    auto got = read_fd(drain->fd, chunk, sizeof chunk);
    if (got > 0) {
      drain->text.append(chunk, static_cast<size_t>(got));
    } else if (got < 0 && errno == EINTR) {
      continue;
    } else {
      drain->error = got < 0 ? errno : 0;
      break;
    }
  }
  close_fd(drain->fd);
}

}  // namespace

// False with errno set, and standard error as it was, when the pipe, the
// descriptor or the thread cannot be had.
bool begin_capture(Capture* capture) {
  fflush(stderr);
  int fds[2];
  if (make_pipe(fds) != 0) return false;
  capture->drain = Drain{fds[0], std::string(), 0};
  capture->saved = duplicate_fd(stream_fd(stderr));
  bool ok = capture->saved >= 0 && replace_fd(fds[1], stream_fd(stderr)) >= 0;
  int error = errno;
  close_fd(fds[1]);  // standard error holds the write end now
  if (ok && !start_drain(&capture->drain, &capture->thread)) {
    error = errno;
    replace_fd(capture->saved, stream_fd(stderr));
    ok = false;
  }
  if (!ok) {
    close_fd(fds[0]);
    if (capture->saved >= 0) close_fd(capture->saved);
    errno = error;
  }
  return ok;
}

// Puts the real standard error back, which closes the pipe's last write end,
// and waits for the drain to read up to it. True when everything written
// came through.
bool end_capture(Capture* capture) {
  fflush(stderr);
  bool restored = replace_fd(capture->saved, stream_fd(stderr)) >= 0;
  if (!restored) close_fd(stream_fd(stderr));  // the write end must go for the drain to end
  close_fd(capture->saved);
  finish_drain(capture->thread);
  return restored && capture->drain.error == 0;
}
