// BMPSizeChecker end to end on any input file, with the query (0 to 4, so
// the unknown codes 0 and 4 are asked too) taken from the first reserved
// header field. The answer is the stored field, or 999 for a failed read or
// an unknown query.
#include <string>

#include "fuzz_support.h"
#include "vorlin/vorlin.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  int32_t query = static_cast<int32_t>(fuzz_le16(data, size, 6) % 5);
  std::wstring input = fuzz_wide(fuzz_input_path(data, size));
  int32_t answer = BMPSizeChecker(input.c_str(), query);

  int32_t expected = VORLIN_PROBE_NO_ANSWER;
  if (size >= 30 && fuzz_le16(data, size, 0) == 0x4D42) {
    if (query == VORLIN_QUERY_HEIGHT) expected = fuzz_le32s(data, size, 22);
    if (query == VORLIN_QUERY_WIDTH) expected = fuzz_le32s(data, size, 18);
    if (query == VORLIN_QUERY_BITS) expected = static_cast<int32_t>(fuzz_le16(data, size, 28));
  }
  FUZZ_CHECK(answer == expected);
  return 0;
}
