// read_bmp_header: the probe's field-by-field header reader.
#include "header_probe.h"

#include <cstdio>

#include "bmp_format.h"
#include "file_io.h"

namespace {

// One field's read: exactly size bytes or the field's message.
bool read_field(FILE* file, uint8_t* bytes, size_t size, const char* message) {
  if (read_fully(file, bytes, size) == size) {
    return true;
  }
  fputs(message, stderr);
  return false;
}

}  // namespace

bool read_bmp_header(const char* path, BmpFileHeaderPart* file_header,
                     BmpInfoHeaderPart* info_header) {
  FILE* file = open_for_reading(path);
  if (file == nullptr) {
    fprintf(stderr, "Error: Cannot open file '%s'\n", path);
    return false;
  }

  // Each step runs only while every earlier one succeeded, so the first
  // failure is the one reported and the file is closed once, below.
  uint8_t bytes[4];
  bool ok = read_field(file, bytes, 2, "Error: Cannot read file signature\n");
  if (ok) {
    file_header->signature = le16(bytes);
    // Checked before anything else is read: a file that is not a BMP is
    // reported as such, not as one missing its later fields.
    if (file_header->signature != kBmpSignature) {
      fputs("Error: Invalid BMP file signature\n", stderr);
      ok = false;
    }
  }
  if (ok && (ok = read_field(file, bytes, 4, "Error: Cannot read file size\n"))) {
    file_header->file_size = le32(bytes);
  }
  // Both reserved fields come in one read and fail together.
  if (ok && (ok = read_field(file, bytes, 4, "Error: Cannot read reserved fields\n"))) {
    file_header->reserved1 = le16(bytes);
    file_header->reserved2 = le16(bytes + 2);
  }
  if (ok && (ok = read_field(file, bytes, 4, "Error: Cannot read pixel data offset\n"))) {
    file_header->pixel_data_offset = le32(bytes);
  }
  if (ok && (ok = read_field(file, bytes, 4, "Error: Cannot read info header size\n"))) {
    info_header->header_size = le32(bytes);
  }
  if (ok && (ok = read_field(file, bytes, 4, "Error: Cannot read width\n"))) {
    info_header->width = le32s(bytes);
  }
  if (ok && (ok = read_field(file, bytes, 4, "Error: Cannot read height\n"))) {
    info_header->height = le32s(bytes);
  }
  if (ok && (ok = read_field(file, bytes, 2, "Error: Cannot read planes\n"))) {
    info_header->planes = le16(bytes);
  }
  if (ok && (ok = read_field(file, bytes, 2, "Error: Cannot read bits per pixel\n"))) {
    info_header->bits_per_pixel = le16(bytes);
  }

  fclose(file);
  return ok;
}
