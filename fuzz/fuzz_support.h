// What every fuzz target shares: the fuzzer's bytes given a file name (the
// modules only read paths), the header fields a harness predicts results
// from, the cap on what a header may make a module allocate, and the check
// that turns a wrong result into a crash the fuzzer keeps.
#ifndef VORLIN_FUZZ_FUZZ_SUPPORT_H
#define VORLIN_FUZZ_FUZZ_SUPPORT_H

#include <cstddef>
#include <cstdint>
#include <string>

// A header may claim a pixel array or palette of up to 4 GiB, which the
// modules then really allocate (zero-filled, so mostly untouched pages).
// The fuzzer's memory limit would report that as a failure of ours, so a
// target skips inputs whose claim is above this cap instead of running them;
// the library itself has no such cap. The unit tests cover huge claims.
constexpr int64_t kFuzzAllocationCap = 16 << 20;

// Where fuzz_fail reports; a driver that silences standard error points it
// at a copy of the original.
extern int fuzz_report_fd;

// Counts the inputs skipped for the caps (the header claims, or a target's
// own cap on its result), so the replay driver can say so.
extern long fuzz_skipped_inputs;

// Path of a file holding exactly these bytes. The same file is reused for
// every input of the process.
const char* fuzz_input_path(const uint8_t* data, size_t size);

// Path of an empty file a target may write its output to, and its contents
// after the call.
const char* fuzz_output_path();
std::string fuzz_read_output();

// The path as the exports take it.
std::wstring fuzz_wide(const char* path);

// Little-endian field of the input, or 0 where the input is too short
// (the resizer reads missing bytes as 0, the others fail before using them).
uint32_t fuzz_le16(const uint8_t* data, size_t size, size_t offset);
uint32_t fuzz_le32(const uint8_t* data, size_t size, size_t offset);
int32_t fuzz_le32s(const uint8_t* data, size_t size, size_t offset);

// The same for a field of 2 or 4 bytes of a file the module wrote.
uint32_t fuzz_file_le(const std::string& file, size_t offset, size_t bytes);

// A harness-side prediction did not hold: report and crash, so the input is
// kept like any sanitizer finding.
[[noreturn]] void fuzz_fail(const char* what, const char* file, int line);
#define FUZZ_CHECK(condition) ((condition) ? (void)0 : fuzz_fail(#condition, __FILE__, __LINE__))

// What the first kernel set made of an input, which every later set must
// make too.
struct SetsAgree {
  const char* first = nullptr;
  int32_t status = 0;
  std::string written;
};
// Takes a set's status and the output it wrote (read here): the first set's
// are kept, and a later set that differs fails the run, naming both.
void fuzz_agree(SetsAgree* agree, const char* set, int32_t status);

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size);

#endif  // VORLIN_FUZZ_FUZZ_SUPPORT_H
