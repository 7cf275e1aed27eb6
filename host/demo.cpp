// The demo: a colourful 24-bit test card with gradients and shapes, and 2-,
// 8-, 16- and 32-bit pictures that exercise palettes, packed pixels and the
// fourth byte, each resized up and down, the card eroded, and all probed.
#include "demo.h"

#include <cerrno>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <vector>

#include "arguments.h"
#include "exit_status.h"
#include "modules.h"
#include "platform.h"

namespace {

struct DemoSample {
  const char* name;  // file name inside the demo directory
  int width;
  int height;
  int bits;
};

// In the order the demo uses them.
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

// The palette of an 8-bit sample (a rainbow: hue around the circle, dark to
// light) or a 2-bit one; empty for the other depths.
std::vector<uint8_t> sample_palette(int bits) {
  const uint32_t count = bits == 8 ? 256 : bits == 2 ? 4 : 0;
  std::vector<uint8_t> palette;
  for (uint32_t i = 0; i < count; ++i) {
    if (bits == 8) {
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
  return palette;
}

// The pixel at x of row y (counted from the top) into that row's bytes p.
void put_pixel(const DemoSample& s, int x, int y, uint8_t* p) {
  if (s.bits == 24) {
    Rgb c = card_pixel(x, y, s.width, s.height);
    p[3 * x] = static_cast<uint8_t>(c.b);
    p[3 * x + 1] = static_cast<uint8_t>(c.g);
    p[3 * x + 2] = static_cast<uint8_t>(c.r);
  } else if (s.bits == 8) {
    int dx = x - s.width / 2, dy = y - s.height / 2;
    p[x] = static_cast<uint8_t>(static_cast<int>(std::sqrt(double(dx * dx + dy * dy)) * 3) % 256);
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

// The sample's whole file: headers, palette and the pixels drawn.
std::vector<uint8_t> sample_file(const DemoSample& s) {
  const std::vector<uint8_t> palette = sample_palette(s.bits);
  const size_t stride = static_cast<size_t>((s.width * s.bits + 31) / 32 * 4);
  std::vector<uint8_t> pixels(stride * static_cast<size_t>(s.height), 0);
  for (int row = 0; row < s.height; ++row) {
    int y = s.height - 1 - row;  // rows are stored bottom-up
    uint8_t* p = pixels.data() + stride * static_cast<size_t>(row);
    for (int x = 0; x < s.width; ++x) put_pixel(s, x, y, p);
  }
  std::vector<uint8_t> file;
  const uint32_t palette_count = static_cast<uint32_t>(palette.size() / 4);
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
  return file;
}

// Draws and writes one sample; false after printing why it could not.
bool write_demo_sample(const DemoSample& s, const std::string& path) {
  const std::vector<uint8_t> file = sample_file(s);
  FILE* out = fopen(path.c_str(), "wb");
  if (out == nullptr) {
    fprintf(stderr, "vorlin: cannot create %s\n", path.c_str());
    return false;
  }
  bool ok = fwrite(file.data(), 1, file.size(), out) == file.size();
  ok = fflush(out) == 0 && ok;
  ok = fclose(out) == 0 && ok;
  if (!ok) fprintf(stderr, "vorlin: cannot write %s\n", path.c_str());
  return ok;
}

// A demo run: where, the modules it runs (each null when missing), and what
// came of it.
struct DemoRun {
  std::string dir;
  VorlinResizeFn resize;
  VorlinErodeFn erode;
  VorlinProbeFn probe;
  int status;  // kExitHost once a module file that is there cannot be loaded
  size_t results;
  int failures;
};

bool no_module(const DemoRun& run) {
  return run.resize == nullptr && run.erode == nullptr && run.probe == nullptr;
}

std::wstring wide_path(const std::string& path) {
  std::wstring wide;
  if (!decode_argument(path.c_str(), &wide)) wide.clear();
  return wide;
}

// Looks for the three modules and says which are there. A module file that
// is there but cannot be loaded is the host's failure; with no module at all
// the status is why there is no demo.
DemoRun start_demo(const std::string& dir) {
  const char* names[3] = {"VorlinScale", "VorlinMorph", "VorlinProbe"};
  const ModuleLookup modules[3] = {find_module(names[0], "BMPResizers"),
                                   find_module(names[1], "BMPErosion"),
                                   find_module(names[2], "BMPSizeChecker")};
  DemoRun run{dir,
              reinterpret_cast<VorlinResizeFn>(modules[0].fn),
              reinterpret_cast<VorlinErodeFn>(modules[1].fn),
              reinterpret_cast<VorlinProbeFn>(modules[2].fn),
              kExitOk,
              0,
              0};
  printf("Vorlin demo in %s\n", dir.c_str());
  printf("Modules: VorlinScale %s, VorlinMorph %s, VorlinProbe %s\n\n",
         run.resize ? "found" : "missing", run.erode ? "found" : "missing",
         run.probe ? "found" : "missing");
  for (int i = 0; i < 3; ++i) {
    if (modules[i].status != kExitHost) continue;
    module_problem(names[i], modules[i]);
    run.status = kExitHost;
  }
  if (no_module(run) && run.status != kExitHost) run.status = module_problem(names[0], modules[0]);
  return run;
}

void probe_picture(const DemoRun& run, const std::string& path) {
  if (run.probe == nullptr) return;
  std::wstring w = wide_path(path);
  int32_t width = run.probe(w.c_str(), VORLIN_QUERY_WIDTH);
  int32_t height = run.probe(w.c_str(), VORLIN_QUERY_HEIGHT);
  int32_t bits = run.probe(w.c_str(), VORLIN_QUERY_BITS);
  printf("-- probe %s: width %d, height %d, bits %d\n", path.c_str(), static_cast<int>(width),
         static_cast<int>(height), static_cast<int>(bits));
}

// A call counted as a result, then probed, or as a failure.
void count_call(DemoRun* run, int status, const std::string& out) {
  if (status != kExitOk) {
    ++run->failures;
    return;
  }
  ++run->results;
  probe_picture(*run, out);
}

// One sample written, probed, enlarged and reduced; false when it cannot be
// written.
bool demo_sample(DemoRun* run, const DemoSample& s) {
  std::string in = run->dir + "/" + s.name;
  if (!write_demo_sample(s, in)) return false;
  printf("-- sample %s (%dx%d, %d-bit)\n", in.c_str(), s.width, s.height, s.bits);
  probe_picture(*run, in);
  const int sizes[2][2] = {{s.width * 2, s.height * 2}, {s.width * 2 / 3, s.height / 2}};
  for (const auto& size : sizes) {
    if (run->resize == nullptr) break;  // nothing to resize with
    std::string stem(s.name, strlen(s.name) - 4);
    std::string out = run->dir + "/" + stem + "-" + std::to_string(size[0]) + "x" +
                      std::to_string(size[1]) + ".bmp";
    printf("-- resize %s to %dx%d\n", in.c_str(), size[0], size[1]);
    count_call(run, run_resize(run->resize, wide_path(in), wide_path(out), size[0], size[1]), out);
  }
  printf("\n");
  return true;
}

// The 24-bit card turns black and white at the module's threshold; its
// white shapes shrink by one pixel on each side per pass.
void demo_erosions(DemoRun* run) {
  const int passes[] = {1, 4};
  for (int n : passes) {
    std::string in = run->dir + "/card-24.bmp";
    std::string out = run->dir + "/card-eroded-" + std::to_string(n) + ".bmp";
    printf("-- erode %s with %d pass(es)\n", in.c_str(), n);
    count_call(run, run_erode(run->erode, wide_path(in), wide_path(out), n), out);
    printf("\n");
  }
}

}  // namespace

int run_demo(const std::string& dir) {
  if (!make_dir(dir)) {
    fprintf(stderr, "vorlin: cannot create directory %s: %s\n", dir.c_str(), strerror(errno));
    return kExitHost;
  }
  DemoRun run = start_demo(dir);
  if (no_module(run)) return run.status;
  for (const DemoSample& s : kSamples) {
    if (!demo_sample(&run, s)) return kExitHost;
  }
  if (run.erode != nullptr) demo_erosions(&run);
  printf("Demo finished: %zu result(s), %d failure(s).\n", run.results, run.failures);
  printf("The pictures are in %s\n", absolute_path(dir).c_str());
  return run.failures != 0 ? kExitFailed : run.status;
}
