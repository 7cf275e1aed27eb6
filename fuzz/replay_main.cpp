// Runs a fuzz target without libFuzzer on files and directories of files,
// so the generated seeds and the inputs kept from past findings replay
// under any compiler as an ordinary test. A missing directory counts as
// empty (a target may have no kept inputs yet); no input at all is a failure.
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <string>
#include <system_error>
#include <vector>

#if !defined(_WIN32)
#include <fcntl.h>
#include <unistd.h>
#endif

#include "fuzz_support.h"

// Present when a sanitizer runtime is linked: where its reports go.
extern "C" void __sanitizer_set_report_fd(void* fd) __attribute__((weak));

namespace {

bool read_whole(const std::string& path, std::vector<uint8_t>& bytes) {
  bytes.clear();
  FILE* file = fopen(path.c_str(), "rb");
  if (file == nullptr) return false;
  uint8_t chunk[65536];
  size_t got;
  while ((got = fread(chunk, 1, sizeof chunk, file)) > 0) bytes.insert(bytes.end(), chunk, chunk + got);
  fclose(file);
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  namespace fs = std::filesystem;
  std::vector<std::string> inputs;
  for (int i = 1; i < argc; ++i) {
    std::error_code error;
    if (fs::is_directory(argv[i], error)) {
      std::vector<std::string> found;
      for (const auto& entry : fs::directory_iterator(argv[i], error)) {
        if (entry.is_regular_file(error) && entry.path().filename().string()[0] != '.') {
          found.push_back(entry.path().string());
        }
      }
      std::sort(found.begin(), found.end());
      inputs.insert(inputs.end(), found.begin(), found.end());
    } else if (fs::is_regular_file(argv[i], error)) {
      inputs.push_back(argv[i]);
    }
  }
  if (inputs.empty()) {
    fprintf(stderr, "%s: no inputs to replay\n", argv[0]);
    return 1;
  }
#if !defined(_WIN32)
  // The modules' messages would only bury the findings: both streams go to
  // /dev/null, while check failures and sanitizer reports keep a copy of
  // the original standard error.
  int report_fd = dup(2);
  int null_fd = open("/dev/null", O_WRONLY);
  if (report_fd >= 0 && null_fd >= 0) {
    fuzz_report_fd = report_fd;
    if (__sanitizer_set_report_fd != nullptr) {
      __sanitizer_set_report_fd(reinterpret_cast<void*>(static_cast<intptr_t>(report_fd)));
    }
    fflush(stdout);
    fflush(stderr);
    dup2(null_fd, 1);
    dup2(null_fd, 2);
    close(null_fd);
  }
#endif
  std::vector<uint8_t> bytes;
  for (const std::string& path : inputs) {
    if (!read_whole(path, bytes)) fuzz_fail("the input file can be read", path.c_str(), 0);
    LLVMFuzzerTestOneInput(bytes.data(), bytes.size());
  }
#if !defined(_WIN32)
  if (fuzz_report_fd != 2) dup2(fuzz_report_fd, 2);
#endif
  fprintf(stderr,
          "%s: %zu inputs replayed, %ld skipped (header claims above %lld bytes, or a result "
          "above the target's own cap)\n",
          argv[0], inputs.size(), fuzz_skipped_inputs, static_cast<long long>(kFuzzAllocationCap));
  return 0;
}
