// Writes the seed corpus of the fuzz targets into a directory: valid BMPs of
// every depth the modules know (and some they refuse), odd row paddings,
// palettes short and long, larger information headers, gaps and odd pixel
// offsets, top-down and empty pictures, huge claims, and truncated copies.
// Everything is generated here; the seeds are the same on every run.
// The reserved header fields, which no module uses, vary from seed to seed:
// the export targets take their size, pass count or query from them.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <system_error>
#include <vector>

namespace {

using Bytes = std::vector<uint8_t>;

struct Header {
  uint16_t signature = 0x4D42;
  uint16_t reserved1 = 0;
  uint16_t reserved2 = 0;
  int64_t pixel_offset = -1;  // -1: right after headers, palette and gap
  uint32_t header_size = 40;
  int32_t width = 1;
  int32_t height = 1;
  uint16_t bits = 24;
  uint32_t compression = 0;
  uint32_t colors_used = 0;
};

uint32_t state = 0x9E3779B9u;
uint8_t next_byte() {
  state ^= state << 13;
  state ^= state >> 17;
  state ^= state << 5;
  return static_cast<uint8_t>(state >> 24);
}

void put(Bytes& b, uint32_t value, int bytes) {
  for (int i = 0; i < bytes; ++i) b.push_back(static_cast<uint8_t>(value >> (8 * i)));
}

size_t stride(int32_t width, int bits) {
  return static_cast<size_t>((static_cast<int64_t>(width) * bits + 31) / 32 * 4);
}

// pixel_style: 0 random, 1 only 0 and 255 (erosion), 2 values around the
// 24-bit threshold.
Bytes build(const Header& h, size_t palette_entries, size_t pixel_bytes, size_t gap,
            int pixel_style) {
  size_t header = h.header_size > 40 ? h.header_size : 40;
  uint32_t offset = h.pixel_offset >= 0
                        ? static_cast<uint32_t>(h.pixel_offset)
                        : static_cast<uint32_t>(14 + header + palette_entries * 4 + gap);
  Bytes b;
  put(b, h.signature, 2);
  put(b, static_cast<uint32_t>(14 + header + palette_entries * 4 + gap + pixel_bytes), 4);
  put(b, h.reserved1, 2);
  put(b, h.reserved2, 2);
  put(b, offset, 4);
  put(b, h.header_size, 4);
  put(b, static_cast<uint32_t>(h.width), 4);
  put(b, static_cast<uint32_t>(h.height), 4);
  put(b, 1, 2);
  put(b, h.bits, 2);
  put(b, h.compression, 4);
  put(b, static_cast<uint32_t>(pixel_bytes), 4);
  put(b, 2835, 4);
  put(b, 2835, 4);
  put(b, h.colors_used, 4);
  put(b, 0, 4);
  b.resize(14 + header, 0);
  for (size_t i = 0; i < palette_entries; ++i) {
    put(b, static_cast<uint32_t>(i * 0x010101u) & 0xFFFFFFu, 4);
  }
  b.resize(b.size() + gap, 0xEE);
  for (size_t i = 0; i < pixel_bytes; ++i) {
    uint8_t v = next_byte();
    if (pixel_style == 1) v = (v & 3) == 0 ? 0 : 255;
    if (pixel_style == 2) v = static_cast<uint8_t>(126 + v % 5);
    b.push_back(v);
  }
  return b;
}

size_t default_palette(int bits, uint32_t colors_used) {
  if (bits > 8) return 0;
  if (colors_used != 0) return colors_used;
  return bits == 1 ? 2 : bits == 2 ? 4 : bits == 4 ? 16 : 256;
}

std::string directory;
int written = 0;
uint16_t parameter = 0;

void save(const std::string& name, const Bytes& bytes) {
  std::string path = directory + "/" + name;
  FILE* file = fopen(path.c_str(), "wb");
  if (file == nullptr || (!bytes.empty() && fwrite(bytes.data(), 1, bytes.size(), file) != bytes.size()) ||
      fclose(file) != 0) {
    perror(path.c_str());
    exit(1);
  }
  ++written;
}

// A picture with everything filled in from its fields.
Bytes picture(Header h, size_t gap = 0, int pixel_style = 0) {
  h.reserved1 = parameter;
  h.reserved2 = static_cast<uint16_t>(parameter * 7 + 3);
  ++parameter;
  int32_t rows = h.height < 0 ? -h.height : h.height;
  return build(h, default_palette(h.bits, h.colors_used), stride(h.width, h.bits) * rows, gap,
               pixel_style);
}

std::string tag(const Header& h) {
  return "d" + std::to_string(h.bits) + "_w" + std::to_string(h.width) + "_h" +
         std::to_string(h.height);
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    fprintf(stderr, "usage: %s DIRECTORY\n", argv[0]);
    return 2;
  }
  directory = argv[1];
  std::error_code error;
  std::filesystem::create_directories(directory, error);

  // Every depth with odd paddings: widths 1 to 7 leave 0 to 3 pad bytes.
  const uint16_t depths[] = {1, 2, 4, 8, 16, 24, 32};
  const int32_t widths[] = {1, 2, 3, 5, 7, 13};
  for (uint16_t bits : depths) {
    for (int32_t width : widths) {
      Header h;
      h.bits = bits;
      h.width = width;
      h.height = width % 3 + 1;
      save(tag(h) + ".bmp", picture(h));
    }
  }
  // Palettes: short, full, one past full, none declared.
  const uint32_t counts[] = {1, 3, 16, 255, 256, 257};
  for (uint16_t bits : {2, 8}) {
    for (uint32_t colors : counts) {
      Header h;
      h.bits = bits;
      h.width = 6;
      h.height = 3;
      h.colors_used = colors;
      save(tag(h) + "_colors" + std::to_string(colors) + ".bmp", picture(h));
    }
  }
  // 24 and 16 bits with a colours-used field that must be ignored.
  for (uint16_t bits : {16, 24, 32}) {
    Header h;
    h.bits = bits;
    h.width = 4;
    h.height = 2;
    h.colors_used = 16;
    save(tag(h) + "_colors16.bmp", picture(h));
  }
  // Information headers shorter and longer than 40 bytes, with and without
  // palettes.
  for (uint32_t header_size : {0u, 12u, 16u, 39u, 56u, 108u, 124u}) {
    for (uint16_t bits : {8, 24}) {
      Header h;
      h.bits = bits;
      h.width = 5;
      h.height = 2;
      h.header_size = header_size;
      save(tag(h) + "_header" + std::to_string(header_size) + ".bmp", picture(h));
    }
  }
  // Pixel offsets: gaps after the palette, before the headers end, inside
  // the palette, beyond the end of the file.
  for (uint16_t bits : {8, 24}) {
    for (size_t gap : {1u, 2u, 7u}) {
      Header h;
      h.bits = bits;
      h.width = 3;
      h.height = 3;
      save(tag(h) + "_gap" + std::to_string(gap) + ".bmp", picture(h, gap));
    }
    const int64_t offsets[] = {0, 10, 30, 60, 600, 0x7FFFFFFF, 0xFFFFFFFF};
    for (int64_t offset : offsets) {
      Header h;
      h.bits = bits;
      h.width = 4;
      h.height = 2;
      h.pixel_offset = offset;
      save(tag(h) + "_offset" + std::to_string(offset) + ".bmp", picture(h));
    }
  }
  // Erosion material: 0/255 blocks at 8 bits, values around the threshold at 24.
  for (int32_t size : {3, 6, 11}) {
    Header h;
    h.bits = 8;
    h.width = size;
    h.height = size;
    save(tag(h) + "_binary.bmp", picture(h, 0, 1));
    h.bits = 24;
    save(tag(h) + "_binary.bmp", picture(h, 0, 1));
    save(tag(h) + "_threshold.bmp", picture(h, 0, 2));
  }
  // Top-down, empty and huge pictures.
  const int32_t dims[][2] = {{4, -3}, {-4, 3}, {-4, -3}, {0, 3}, {4, 0}, {0, 0},
                             {INT32_MIN, 1}, {1, INT32_MIN}, {0x7FFFFFFF, 1}, {1, 0x7FFFFFFF},
                             {0x7FFFFFFF, 0x7FFFFFFF}, {65536, 65536}, {40000, 40000}};
  for (uint16_t bits : {2, 8, 24}) {
    for (const auto& d : dims) {
      Header h;
      h.bits = bits;
      h.width = d[0];
      h.height = d[1];
      h.reserved1 = parameter++;
      size_t pixel_bytes = d[0] > 0 && d[0] < 100 && d[1] > 0 && d[1] < 100
                               ? stride(d[0], bits) * static_cast<size_t>(d[1])
                               : 16;
      save(tag(h) + ".bmp", build(h, default_palette(bits, 0), pixel_bytes, 0, 0));
    }
  }
  // Huge palette claims.
  for (uint32_t colors : {0x10000u, 0x40000000u, 0x3FFFFFFFu, 0xFFFFFFFFu}) {
    Header h;
    h.bits = 8;
    h.width = 2;
    h.height = 2;
    h.colors_used = colors;
    h.reserved1 = parameter++;
    save(tag(h) + "_colors" + std::to_string(colors) + ".bmp", build(h, 4, 16, 0, 0));
  }
  // Compression and signatures the modules refuse.
  for (uint32_t compression : {1u, 2u, 3u, 4u, 5u, 6u, 0xFFFFFFFFu}) {
    Header h;
    h.bits = compression == 2 ? 4 : compression == 1 ? 8 : 24;
    h.width = 4;
    h.height = 2;
    h.compression = compression;
    save(tag(h) + "_compression" + std::to_string(compression) + ".bmp", picture(h));
  }
  for (uint16_t signature : {0x424D, 0x4142, 0x0000}) {
    Header h;
    h.signature = signature;
    h.width = 2;
    h.height = 2;
    save("signature" + std::to_string(signature) + ".bmp", picture(h));
  }
  // Truncated copies: inside each header field, at the palette, mid-row.
  Header base8;
  base8.bits = 8;
  base8.width = 5;
  base8.height = 3;
  base8.colors_used = 4;
  Bytes full8 = picture(base8);
  Header base24;
  base24.width = 3;
  base24.height = 3;
  Bytes full24 = picture(base24);
  for (size_t length : {0u, 1u, 2u, 5u, 9u, 13u, 14u, 17u, 21u, 25u, 27u, 29u, 30u, 45u, 53u, 54u,
                        60u, 70u, 75u}) {
    save("cut8_" + std::to_string(length) + ".bmp", Bytes(full8.begin(), full8.begin() + length));
    if (length < full24.size()) {
      save("cut24_" + std::to_string(length) + ".bmp",
           Bytes(full24.begin(), full24.begin() + length));
    }
  }
  save("cut8_lastrow.bmp", Bytes(full8.begin(), full8.end() - 1));
  save("cut24_lastrow.bmp", Bytes(full24.begin(), full24.end() - 1));
  printf("%d seeds written to %s\n", written, directory.c_str());
  return 0;
}
