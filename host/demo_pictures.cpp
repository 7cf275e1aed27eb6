// Sample pictures for the demo: a colourful 24-bit test card with gradients
// and shapes, and 2-, 8-, 16- and 32-bit pictures that exercise palettes,
// packed pixels and the fourth byte.
#include "demo_pictures.h"

#include <cmath>
#include <cstdint>
#include <cstdio>
#include <vector>

namespace {

const DemoSample kSamples[] = {
    {"card-24.bmp", 320, 240, 24},  {"poster-8.bmp", 200, 150, 8}, {"ramp-16.bmp", 160, 120, 16},
    {"glass-32.bmp", 128, 128, 32}, {"tiles-2.bmp", 64, 48, 2},
};

struct Rgb {
  int r, g, b;
};

// White shapes on a colourful ground: the erosion (which thresholds 24-bit
// colour at an average of 128) then shows the shapes shrinking pass by pass.
Rgb card_pixel(int x, int y, int w, int h) {
  Rgb c{x * 255 / (w - 1), y * 255 / (h - 1), 255 - x * 255 / (w - 1)};
  c.r /= 2;
  c.g /= 2;
  c.b /= 2;
  int dx = x - w / 3, dy = y - h / 2;
  if (dx * dx + dy * dy < (h / 4) * (h / 4)) c = {255, 255, 255};
  if (x > w * 6 / 10 && x < w * 9 / 10 && y > h / 5 && y < h * 2 / 5) c = {250, 250, 240};
  if (x > w * 6 / 10 && x < w * 9 / 10 && y > h * 3 / 5 && y < h * 4 / 5 &&
      ((x / 8 + y / 8) % 2 == 0))
    c = {255, 255, 255};
  if (y > h - 12) c = {(x * 7) % 256, (x * 3) % 256, (x * 11) % 256};  // colour bars
  return c;
}

void put16(std::vector<uint8_t>& b, uint32_t v) {
  b.push_back(static_cast<uint8_t>(v & 0xFF));
  b.push_back(static_cast<uint8_t>((v >> 8) & 0xFF));
}

void put32(std::vector<uint8_t>& b, uint32_t v) {
  put16(b, v & 0xFFFF);
  put16(b, v >> 16);
}

}  // namespace

const DemoSample* demo_samples(int* count) {
  *count = static_cast<int>(sizeof kSamples / sizeof kSamples[0]);
  return kSamples;
}

int write_demo_sample(const DemoSample& s, const std::string& path) {
  const size_t stride = static_cast<size_t>((s.width * s.bits + 31) / 32 * 4);
  const uint32_t palette_count = s.bits == 8 ? 256 : s.bits == 2 ? 4 : 0;
  std::vector<uint8_t> palette;
  for (uint32_t i = 0; i < palette_count; ++i) {
    if (s.bits == 8) {  // a rainbow: hue around the circle, dark to light
      double t = i / 256.0 * 6.283185307179586;
      palette.push_back(static_cast<uint8_t>(127.5 + 127.5 * std::sin(t)));
      palette.push_back(static_cast<uint8_t>(127.5 + 127.5 * std::sin(t + 2.094)));
      palette.push_back(static_cast<uint8_t>(127.5 + 127.5 * std::sin(t + 4.189)));
    } else {
      const uint8_t four[4][3] = {{40, 20, 10}, {200, 80, 20}, {20, 200, 240}, {250, 250, 250}};
      palette.insert(palette.end(), four[i], four[i] + 3);
    }
    palette.push_back(0);
  }
  std::vector<uint8_t> pixels(stride * static_cast<size_t>(s.height), 0);
  for (int row = 0; row < s.height; ++row) {
    int y = s.height - 1 - row;  // rows are stored bottom-up
    uint8_t* p = pixels.data() + stride * static_cast<size_t>(row);
    for (int x = 0; x < s.width; ++x) {
      if (s.bits == 24) {
        Rgb c = card_pixel(x, y, s.width, s.height);
        p[3 * x] = static_cast<uint8_t>(c.b);
        p[3 * x + 1] = static_cast<uint8_t>(c.g);
        p[3 * x + 2] = static_cast<uint8_t>(c.r);
      } else if (s.bits == 8) {
        int dx = x - s.width / 2, dy = y - s.height / 2;
        p[x] =
            static_cast<uint8_t>(static_cast<int>(std::sqrt(double(dx * dx + dy * dy)) * 3) % 256);
      } else if (s.bits == 16) {  // 5-5-5: red across, green down, blue diagonal
        uint32_t r = static_cast<uint32_t>(x * 31 / (s.width - 1));
        uint32_t g = static_cast<uint32_t>(y * 31 / (s.height - 1));
        uint32_t b = static_cast<uint32_t>((x + y) * 31 / (s.width + s.height - 2));
        uint32_t v = r << 10 | g << 5 | b;
        p[2 * x] = static_cast<uint8_t>(v & 0xFF);
        p[2 * x + 1] = static_cast<uint8_t>(v >> 8);
      } else if (s.bits == 32) {  // blue-green swirl with a fourth-byte ramp
        p[4 * x] = static_cast<uint8_t>(255 - x * 2);
        p[4 * x + 1] = static_cast<uint8_t>((x * y) % 256);
        p[4 * x + 2] = static_cast<uint8_t>(y * 2);
        p[4 * x + 3] = static_cast<uint8_t>(x + y);
      } else {  // 2 bits: four colours in tiles
        unsigned v = static_cast<unsigned>((x / 8 + y / 8) % 4);
        unsigned shift = 6u - 2u * static_cast<unsigned>(x % 4);
        p[x / 4] = static_cast<uint8_t>(p[x / 4] | (v << shift));
      }
    }
  }
  std::vector<uint8_t> file;
  uint32_t offset = 54 + palette_count * 4;
  put16(file, 0x4D42);
  put32(file, offset + static_cast<uint32_t>(pixels.size()));
  put32(file, 0);
  put32(file, offset);
  put32(file, 40);
  put32(file, static_cast<uint32_t>(s.width));
  put32(file, static_cast<uint32_t>(s.height));
  put16(file, 1);
  put16(file, static_cast<uint32_t>(s.bits));
  put32(file, 0);
  put32(file, static_cast<uint32_t>(pixels.size()));
  put32(file, 2835);
  put32(file, 2835);
  put32(file, palette_count);
  put32(file, palette_count);
  file.insert(file.end(), palette.begin(), palette.end());
  file.insert(file.end(), pixels.begin(), pixels.end());

  FILE* out = fopen(path.c_str(), "wb");
  if (out == nullptr) {
    fprintf(stderr, "vorlin: cannot create %s\n", path.c_str());
    return 0;
  }
  bool ok = fwrite(file.data(), 1, file.size(), out) == file.size();
  ok = fflush(out) == 0 && ok;
  ok = fclose(out) == 0 && ok;
  if (!ok) {
    fprintf(stderr, "vorlin: cannot write %s\n", path.c_str());
    return 0;
  }
  return 1;
}
