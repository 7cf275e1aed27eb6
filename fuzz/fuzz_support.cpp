// Fuzz target plumbing; see fuzz_support.h.
#include "fuzz_support.h"

#include <cstdio>
#include <cstdlib>
#include <string>

#if defined(__linux__)
#include <sys/mman.h>
#include <unistd.h>
#endif

// Sanitizer runtimes, when linked, print a one-line summary through the
// same channel as their own reports (which libFuzzer keeps open even when it
// silences the target's standard error).
extern "C" void __sanitizer_report_error_summary(const char* summary) __attribute__((weak));

long fuzz_skipped_inputs = 0;
int fuzz_report_fd = 2;

namespace {

#if defined(__linux__)
// Memory files: no disk traffic, nothing to clean up, and a path any fopen
// accepts. Created on first use and kept for the life of the process.
struct MemoryFile {
  int fd = -1;
  char path[64] = {};
};

MemoryFile& memory_file(MemoryFile& file, const char* name) {
  if (file.fd < 0) {
    file.fd = memfd_create(name, 0);
    if (file.fd < 0) {
      perror("memfd_create");
      abort();
    }
    snprintf(file.path, sizeof file.path, "/proc/self/fd/%d", file.fd);
  }
  return file;
}

MemoryFile input_file;
MemoryFile output_file;

#else
// Files in the working directory where there are no memory files.
const char kInputName[] = "vorlin-fuzz-input.bmp";
const char kOutputName[] = "vorlin-fuzz-output.bmp";

void write_whole(const char* path, const uint8_t* data, size_t size) {
  FILE* file = fopen(path, "wb");
  if (file == nullptr || (size > 0 && fwrite(data, 1, size, file) != size) || fclose(file) != 0) {
    perror(path);
    abort();
  }
}
#endif

}  // namespace

const char* fuzz_input_path(const uint8_t* data, size_t size) {
#if defined(__linux__)
  MemoryFile& file = memory_file(input_file, "vorlin-fuzz-input");
  if (ftruncate(file.fd, 0) != 0) abort();
  size_t done = 0;
  while (done < size) {
    ssize_t n = pwrite(file.fd, data + done, size - done, static_cast<off_t>(done));
    if (n <= 0) abort();
    done += static_cast<size_t>(n);
  }
  return file.path;
#else
  write_whole(kInputName, data, size);
  return kInputName;
#endif
}

const char* fuzz_output_path() {
#if defined(__linux__)
  MemoryFile& file = memory_file(output_file, "vorlin-fuzz-output");
  if (ftruncate(file.fd, 0) != 0) abort();
  return file.path;
#else
  write_whole(kOutputName, nullptr, 0);
  return kOutputName;
#endif
}

std::string fuzz_read_output() {
  std::string bytes;
#if defined(__linux__)
  const char* path = memory_file(output_file, "vorlin-fuzz-output").path;
#else
  const char* path = kOutputName;
#endif
  FILE* file = fopen(path, "rb");
  if (file == nullptr) return bytes;
  char chunk[4096];
  size_t got;
  while ((got = fread(chunk, 1, sizeof chunk, file)) > 0) bytes.append(chunk, got);
  fclose(file);
  return bytes;
}

std::wstring fuzz_wide(const char* path) {
  // Our paths are ASCII.
  std::wstring wide;
  for (const char* p = path; *p != '\0'; ++p) wide.push_back(static_cast<wchar_t>(*p));
  return wide;
}

uint32_t fuzz_le16(const uint8_t* data, size_t size, size_t offset) {
  uint32_t value = 0;
  for (size_t i = 0; i < 2; ++i) {
    if (offset + i < size) value |= static_cast<uint32_t>(data[offset + i]) << (8 * i);
  }
  return value;
}

uint32_t fuzz_le32(const uint8_t* data, size_t size, size_t offset) {
  uint32_t value = 0;
  for (size_t i = 0; i < 4; ++i) {
    if (offset + i < size) value |= static_cast<uint32_t>(data[offset + i]) << (8 * i);
  }
  return value;
}

int32_t fuzz_le32s(const uint8_t* data, size_t size, size_t offset) {
  uint32_t u = fuzz_le32(data, size, offset);
  return u <= 0x7FFFFFFFu ? static_cast<int32_t>(u) : -static_cast<int32_t>(~u) - 1;
}

uint32_t fuzz_file_le(const std::string& file, size_t offset, size_t bytes) {
  const uint8_t* data = reinterpret_cast<const uint8_t*>(file.data());
  return bytes == 2 ? fuzz_le16(data, file.size(), offset) : fuzz_le32(data, file.size(), offset);
}

void fuzz_fail(const char* what, const char* file, int line) {
  char message[512];
  snprintf(message, sizeof message, "vorlin fuzz check failed: %s (%s:%d)", what, file, line);
  if (__sanitizer_report_error_summary != nullptr) __sanitizer_report_error_summary(message);
#if defined(_WIN32)
  fprintf(stderr, "%s\n", message);
#else
  dprintf(fuzz_report_fd, "%s\n", message);
#endif
  abort();
}

void fuzz_agree(SetsAgree* agree, const char* set, int32_t status) {
  std::string bytes = fuzz_read_output();
  if (agree->first == nullptr) {
    agree->first = set;
    agree->status = status;
    agree->written = std::move(bytes);
  } else if (status != agree->status || bytes != agree->written) {
    const std::string what =
        std::string("kernel set ") + set + " gives the status and bytes of " + agree->first;
    fuzz_fail(what.c_str(), __FILE__, __LINE__);
  }
}
