// read_bmp_header on any bytes: it succeeds exactly when the first 30 bytes
// are there and start with "BM", and every field it fills is the file's.
#include "bmp_claims.h"
#include "fuzz_support.h"
#include "header_probe.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  BmpFileHeaderPart file_header = {};
  BmpInfoHeaderPart info_header = {};
  int read = read_bmp_header(fuzz_input_path(data, size), &file_header, &info_header);
  bool whole = size >= 30 && fuzz_le16(data, size, 0) == 0x4D42;
  FUZZ_CHECK(read == (whole ? 1 : 0));
  if (!read) return 0;

  FUZZ_CHECK(file_header.signature == 0x4D42);
  FUZZ_CHECK(file_header.file_size == fuzz_le32(data, size, 2));
  FUZZ_CHECK(file_header.reserved1 == fuzz_le16(data, size, 6));
  FUZZ_CHECK(file_header.reserved2 == fuzz_le16(data, size, 8));
  FUZZ_CHECK(file_header.pixel_data_offset == fuzz_le32(data, size, 10));
  FUZZ_CHECK(info_header.header_size == fuzz_le32(data, size, 14));
  FUZZ_CHECK(info_header.width == fuzz_le32s(data, size, 18));
  FUZZ_CHECK(info_header.height == fuzz_le32s(data, size, 22));
  FUZZ_CHECK(info_header.planes == fuzz_le16(data, size, 26));
  FUZZ_CHECK(info_header.bits_per_pixel == fuzz_le16(data, size, 28));
  return 0;
}
