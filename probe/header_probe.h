// The probe's view of a BMP: the leading header fields up to bits_per_pixel,
// read one field at a time so that a short file names the field it lacks.
#ifndef VORLIN_PROBE_HEADER_PROBE_H
#define VORLIN_PROBE_HEADER_PROBE_H

#include <cstdint>

// Bytes 0-13 of the file: the whole file header.
struct BmpFileHeaderPart {
  uint16_t signature;
  uint32_t file_size;
  uint16_t reserved1;
  uint16_t reserved2;
  uint32_t pixel_data_offset;
};

// Bytes 14-29 of the file: the information header as far as the probe reads it.
struct BmpInfoHeaderPart {
  uint32_t header_size;
  int32_t width;
  int32_t height;
  uint16_t planes;
  uint16_t bits_per_pixel;
};

// The two parts together are every field the probe knows of a file.
struct BmpHeaderFields {
  BmpFileHeaderPart file_header;
  BmpInfoHeaderPart info_header;
};

// Opens path, reads signature through bits_per_pixel in file order, each field
// with its own read of exactly its size, and closes the file. Returns true
// when every field arrived and the signature is "BM"; otherwise prints one
// message to standard error (the file that cannot be opened, the field that
// fell short, or the wrong signature) and returns false. Fields after the failing one
// are left as they were. Nothing but the signature is checked.
bool read_bmp_header(const char* path, BmpFileHeaderPart* file_header,
                     BmpInfoHeaderPart* info_header);

#endif  // VORLIN_PROBE_HEADER_PROBE_H
