// Shared benchmark helpers; see bench_support.h.
#include "bench_support.h"

#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>

namespace {

std::string made_dir;

void remove_made_dir() {
  std::error_code ignored;
  std::filesystem::remove_all(made_dir, ignored);
}

}  // namespace

const std::string& bench_temp_dir() {
  if (made_dir.empty()) {
    std::string pattern = (std::filesystem::temp_directory_path() / "vorlin-bench-XXXXXX").string();
    if (mkdtemp(&pattern[0]) == nullptr) {
      perror("mkdtemp");
      abort();
    }
    made_dir = pattern;
    atexit(remove_made_dir);
  }
  return made_dir;
}

void fill_random(uint8_t* bytes, size_t count, uint32_t seed) {
  uint64_t state = 0x9E3779B97F4A7C15ull ^ seed;
  size_t i = 0;
  while (i < count) {
    state ^= state << 13;
    state ^= state >> 7;
    state ^= state << 17;
    for (int k = 0; k < 8 && i < count; ++k, ++i) {
      bytes[i] = static_cast<uint8_t>(state >> (8 * k));
    }
  }
}

int quiet_stdout_begin() {
  fflush(stdout);
  int saved = dup(1);
  int null = open("/dev/null", O_WRONLY);
  dup2(null, 1);
  close(null);
  return saved;
}

void quiet_stdout_end(int saved) {
  fflush(stdout);
  dup2(saved, 1);
  close(saved);
}
