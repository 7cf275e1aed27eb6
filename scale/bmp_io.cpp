// load_bmp and save_bmp: headers field by field, little-endian byte by byte.
#include "bmp_io.h"

#include <cstdio>
#include <cstdlib>

#include "bmp_format.h"
#include "file_io.h"
#include "output_file.h"

static_assert(sizeof(PaletteEntry) == kPaletteEntrySize, "a palette entry is 4 bytes");

namespace {

uint16_t read_field16(FILE* file) {
  uint8_t bytes[2];
  read_or_zero(file, bytes, sizeof bytes);
  return le16(bytes);
}

uint32_t read_field32(FILE* file) {
  uint8_t bytes[4];
  read_or_zero(file, bytes, sizeof bytes);
  return le32(bytes);
}

int32_t read_field32s(FILE* file) {
  uint8_t bytes[4];
  read_or_zero(file, bytes, sizeof bytes);
  return le32s(bytes);
}

bool write_field16(OutputFile* file, uint32_t value) {
  uint8_t bytes[2];
  put_le16(bytes, value);
  return write_output(file, bytes, sizeof bytes);
}

bool write_field32(OutputFile* file, uint32_t value) {
  uint8_t bytes[4];
  put_le32(bytes, value);
  return write_output(file, bytes, sizeof bytes);
}

bool supported_depth(uint32_t bits) {
  return bits == 2 || bits == 8 || bits == 16 || bits == 24 || bits == 32;
}

// The header fields the reader uses, in file order.
struct BmpHeader {
  uint16_t signature;
  uint32_t pixel_data_offset;
  uint32_t header_size;
  int32_t width;
  int32_t height;
  uint16_t bits_per_pixel;
  uint32_t compression;
  uint32_t colors_used;
};

// Fields 2 to 16, each with its own read; the unused ones are read and dropped.
void read_header_fields(FILE* file, BmpHeader* header) {
  (void)read_field32(file);  // file size
  (void)read_field16(file);  // reserved
  (void)read_field16(file);  // reserved
  header->pixel_data_offset = read_field32(file);
  header->header_size = read_field32(file);
  header->width = read_field32s(file);
  header->height = read_field32s(file);
  (void)read_field16(file);  // planes
  header->bits_per_pixel = read_field16(file);
  header->compression = read_field32(file);
  (void)read_field32(file);  // image size
  (void)read_field32(file);  // horizontal resolution
  (void)read_field32(file);  // vertical resolution
  header->colors_used = read_field32(file);
  (void)read_field32(file);  // important colours
}

// Where the palette starts: right after the information header, which is
// at least 40 bytes long.
uint64_t palette_offset(const BmpHeader& header) {
  return static_cast<uint64_t>(kFileHeaderSize) + header.header_size;
}

// The palette of a 2- or 8-bit image: colours used entries, or the depth's
// default when that is 0. False only when it cannot be allocated.
bool read_palette(FILE* file, RasterImage* image, const BmpHeader& header) {
  uint32_t colors_used = header.colors_used;
  uint32_t count = colors_used != 0 ? colors_used : (header.bits_per_pixel == 2 ? 4u : 256u);
  // Any colours-used value is taken; its size must still fit a 32-bit field.
  int64_t bytes = static_cast<int64_t>(count) * kPaletteEntrySize;
  if (bytes <= kMaxField32) {
    image->palette = static_cast<PaletteEntry*>(calloc(count, sizeof(PaletteEntry)));
  }
  if (image->palette == nullptr) {
    return false;
  }
  image->palette_count = static_cast<int32_t>(count);
  // The palette follows the information header, whatever its size. An
  // unreachable offset leaves the palette zero, like any short input.
  if (reach_offset(file, palette_offset(header), kHeadersSize)) {
    // calloc left it zero: entries the file lacks stay 0 without a fill.
    (void)read_fully(file, image->palette, static_cast<size_t>(bytes));
  }
  return true;
}

}  // namespace

bool read_bmp_pixels(FILE* file, RasterImage* image, const BmpPlace& place) {
  // Zero-sized images are refused here as well: there is nothing to resample.
  int64_t size = pixel_array_size(image->width, image->height, image->bits_per_pixel);
  if (size > 0) {
    image->pixels = static_cast<uint8_t*>(calloc(static_cast<size_t>(size), 1));
  }
  if (image->pixels == nullptr) {
    fputs("Error: Memory allocation failed for image data\n", stderr);
    return false;
  }
  // Missing pixel bytes stay 0 (calloc); a short read is not an error here,
  // nor is an offset a stream that cannot seek has already passed.
  if (reach_offset(file, place.pixel_data_offset, place.position)) {
    (void)read_fully(file, image->pixels, static_cast<size_t>(size));
  }
  return true;
}

RasterImage* read_bmp_head(FILE* file, BmpPlace* place) {
  char failure[64] = "";
  RasterImage* image = nullptr;
  BmpHeader header = {};
  header.signature = read_field16(file);
  if (header.signature != kBmpSignature) {
    snprintf(failure, sizeof failure, "Error: Not a valid BMP file (magic: 0x%04X)\n",
             header.signature);
  } else {
    read_header_fields(file, &header);
    // A shorter (OS/2-style) header would have its palette taken for the
    // fields above: refused before any of them is trusted.
    if (header.header_size < kInfoHeaderSize) {
      snprintf(failure, sizeof failure, "Error: Unsupported BMP header size: %u\n",
               static_cast<unsigned>(header.header_size));
    } else if (header.compression != 0) {
      snprintf(failure, sizeof failure, "Error: Compressed BMPs are not supported\n");
    } else if (!supported_depth(header.bits_per_pixel)) {
      snprintf(failure, sizeof failure, "Error: Unsupported bit depth: %d\n",
               header.bits_per_pixel);
    } else {
      image = new_raster_record(header.width, header.height, header.bits_per_pixel);
      if (image == nullptr) {
        snprintf(failure, sizeof failure, "Error: Memory allocation failed\n");
      } else if (header.bits_per_pixel <= 8 && !read_palette(file, image, header)) {
        snprintf(failure, sizeof failure, "Error: Memory allocation failed for color table\n");
      }
    }
  }
  if (failure[0] != '\0') {
    fputs(failure, stderr);
    free_image(image);
    return nullptr;
  }
  // Where the reads so far left the stream: after the headers, or after the
  // palette.
  place->pixel_data_offset = header.pixel_data_offset;
  place->position = kHeadersSize;
  if (image->palette != nullptr) {
    place->position =
        palette_offset(header) + static_cast<uint64_t>(image->palette_count) * kPaletteEntrySize;
  }
  return image;
}

namespace {

// Everything load_bmp does between opening and closing the file: the head,
// then the pixels, whose allocation failure is the last message it can have.
RasterImage* read_bmp(FILE* file) {
  BmpPlace place = {};
  RasterImage* image = read_bmp_head(file, &place);
  if (image != nullptr && !read_bmp_pixels(file, image, place)) {
    free_image(image);
    image = nullptr;
  }
  return image;
}

}  // namespace

bool write_bmp_head(OutputFile* file, const RasterImage* image, int64_t file_size) {
  uint32_t pixel_bytes =
      static_cast<uint32_t>(pixel_array_size(image->width, image->height, image->bits_per_pixel));
  uint32_t palette_count = static_cast<uint32_t>(image->palette_count);
  uint32_t offset = palette_count * kPaletteEntrySize + kHeadersSize;

  bool ok = write_field16(file, kBmpSignature) &&
            write_field32(file, static_cast<uint32_t>(file_size)) && write_field16(file, 0) &&
            write_field16(file, 0) && write_field32(file, offset) &&
            write_field32(file, kInfoHeaderSize) &&
            write_field32(file, static_cast<uint32_t>(image->width)) &&
            write_field32(file, static_cast<uint32_t>(image->height)) && write_field16(file, 1) &&
            write_field16(file, image->bits_per_pixel) && write_field32(file, 0) &&
            write_field32(file, pixel_bytes) && write_field32(file, kPixelsPerMetre) &&
            write_field32(file, kPixelsPerMetre) && write_field32(file, palette_count) &&
            write_field32(file, palette_count);
  if (ok && image->palette != nullptr) {
    ok = write_output(file, image->palette, sizeof(PaletteEntry) * palette_count);
  }
  return ok;
}

namespace {

// The head, then the pixel array. True when every write was accepted.
bool write_bmp(OutputFile* file, const RasterImage* image, int64_t file_size) {
  const int64_t pixel_bytes = pixel_array_size(image->width, image->height, image->bits_per_pixel);
  return write_bmp_head(file, image, file_size) &&
         write_output(file, image->pixels, static_cast<size_t>(pixel_bytes));
}

}  // namespace

RasterImage* load_bmp(const char* path, FileIdentity* identity) {
  FILE* file = open_for_reading(path, identity);
  if (file == nullptr) {
    fprintf(stderr, "Error: Could not open input file '%s'\n", path);
    return nullptr;
  }
  RasterImage* image = read_bmp(file);
  fclose(file);
  return image;
}

bool save_bmp(const RasterImage* image, const char* path, const InputOrigin* input) {
  // Checked before the file is touched: no size field may wrap.
  int64_t file_size = bmp_file_size(image);
  if (file_size < 0) {
    fprintf(stderr, "Error: Could not write output file '%s'\n", path);
    return false;
  }
  OutputFile output;
  if (!open_output(&output, path, input)) {
    fprintf(stderr, "Error: Could not open output file '%s'\n", path);
    return false;
  }
  bool written = write_bmp(&output, image, file_size);
  // Writes are buffered: a full disk may show only when the rest goes out.
  if (!close_output(&output, written)) {
    fprintf(stderr, "Error: Could not write output file '%s'\n", path);
    return false;
  }
  return true;
}
