// The few calls that differ between POSIX and Windows.
#ifndef VORLIN_HOST_PLATFORM_H
#define VORLIN_HOST_PLATFORM_H

#include <cstdio>
#include <string>

#if defined(_WIN32)
constexpr char kSeparator[] = "\\";
using Thread = void*;  // a HANDLE
#else
#include <pthread.h>
constexpr char kSeparator[] = "/";
using Thread = pthread_t;
#endif

std::string program_dir();
bool file_is_present(const std::string& path);
void* open_library(const std::string& path, std::string* problem);  // null after *problem
void* library_symbol(void* handle, const char* symbol);
bool make_dir(const std::string& dir);
std::string absolute_path(const std::string& path);
FILE* open_wide(const std::wstring& path);
void ignore_broken_pipes();
int output_error();
std::string locale_encoding();

// A pipe's read end drained by a thread of its own, so that a module that
// writes more than a pipe holds never waits for a reader.
struct Drain {
  int fd;            // the read end; closed by the drain
  std::string text;  // what came through
  int error;         // errno of a read that failed, else 0
};

// Standard error set aside, and a pipe in its place whose read end the
// drain empties while the module runs.
struct Capture {
  int saved;  // the real standard error
  Drain drain;
  Thread thread;
};
bool begin_capture(Capture* capture);
bool end_capture(Capture* capture);

#endif  // VORLIN_HOST_PLATFORM_H
