// vorlin: a command-line host for the Vorlin modules. It loads each module at
// run time and calls its one export, exactly as a host application does, so
// every path through it is the modules' own behaviour.
#include <cerrno>
#include <clocale>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <cwchar>
#include <string>
#include <vector>

#if defined(_WIN32)
#include <direct.h>
#include <windows.h>
#else
#include <dlfcn.h>
#include <limits.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

#include "demo_pictures.h"
#include "vorlin/vorlin.h"

namespace {

// Exit statuses of the host itself.
constexpr int kExitOk = 0;
constexpr int kExitFailed = 1;       // the module reported a failure
constexpr int kExitUsage = 2;        // bad command line; no module was called
constexpr int kExitNoModule = 3;     // the module or its export could not be loaded
constexpr int kExitAmbiguous = 4;    // the probe answered 999: a value or a failure

const char kUsage[] =
    "Usage:\n"
    "  vorlin resize IN OUT WIDTH HEIGHT   resize a 2, 8, 16, 24 or 32-bit BMP\n"
    "  vorlin erode IN OUT PASSES          1 to 100 erosion passes; writes an 8-bit gray BMP\n"
    "  vorlin probe IN height|width|bits   print a value from the BMP's headers\n"
    "                                      (a raw query number is accepted too)\n"
    "  vorlin demo [DIR]                   draw sample pictures into DIR (default ./vorlin-demo)\n"
    "                                      and run every module found on them\n"
    "  vorlin --help                       this text\n"
    "\n"
    "Modules are loaded from $VORLIN_MODULE_DIR when it is set, else from the directory of\n"
    "this program or ../lib beside it.\n"
    "Exit status: 0 success; 1 the module failed (its status is shown); 2 usage error;\n"
    "3 module not found; 4 the probe answered 999 (a real 999 or a failure).\n";

int usage_error(const char* what) {
  fprintf(stderr, "vorlin: %s\n\n%s", what, kUsage);
  return kExitUsage;
}

// Strict decimal to int32: optional sign, digits only, in range.
bool parse_int32(const char* text, int32_t* value) {
  if (text == nullptr || *text == '\0') return false;
  errno = 0;
  char* end = nullptr;
  long long parsed = strtoll(text, &end, 10);
  if (errno != 0 || end == text || *end != '\0' || parsed < INT32_MIN || parsed > INT32_MAX)
    return false;
  *value = static_cast<int32_t>(parsed);
  return true;
}

// Locale encoding to wide characters, as a host application would hand paths over.
bool to_wide(const char* text, std::wstring* wide) {
  size_t length = mbstowcs(nullptr, text, 0);
  if (length == static_cast<size_t>(-1)) return false;
  std::vector<wchar_t> buffer(length + 1);
  mbstowcs(buffer.data(), text, length + 1);
  wide->assign(buffer.data(), length);
  return true;
}

std::string program_dir() {
#if defined(_WIN32)
  char path[MAX_PATH];
  DWORD n = GetModuleFileNameA(nullptr, path, MAX_PATH);
  std::string full(path, n);
  size_t slash = full.find_last_of("\\/");
#else
  char path[PATH_MAX];
  ssize_t n = readlink("/proc/self/exe", path, sizeof path - 1);
  std::string full = n > 0 ? std::string(path, static_cast<size_t>(n)) : std::string();
  size_t slash = full.rfind('/');
#endif
  return slash == std::string::npos ? std::string(".") : full.substr(0, slash);
}

// Finds and loads a module's export; prints where it looked when it cannot.
void* load_export(const char* module, const char* symbol, bool quiet) {
  std::vector<std::string> dirs;
  const char* env = getenv("VORLIN_MODULE_DIR");
  if (env != nullptr && *env != '\0') {
    dirs.push_back(env);
  } else {
    dirs.push_back(program_dir());
    dirs.push_back(program_dir() + "/../lib");
  }
#if defined(_WIN32)
  const std::string names[] = {std::string(module) + ".dll"};
#else
  const std::string names[] = {"lib" + std::string(module) + ".so",
                               "lib" + std::string(module) + ".so.1"};
#endif
  for (const std::string& dir : dirs) {
    for (const std::string& name : names) {
      std::string path = dir + "/" + name;
#if defined(_WIN32)
      HMODULE handle = LoadLibraryA(path.c_str());
      if (handle == nullptr) continue;
      void* fn = reinterpret_cast<void*>(GetProcAddress(handle, symbol));
#else
      void* handle = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
      if (handle == nullptr) continue;
      void* fn = dlsym(handle, symbol);
#endif
      if (fn != nullptr) return fn;
      if (!quiet) fprintf(stderr, "vorlin: %s has no export %s\n", path.c_str(), symbol);
      return nullptr;
    }
  }
  if (!quiet) {
    fprintf(stderr, "vorlin: module %s not found in:", module);
    for (const std::string& dir : dirs) fprintf(stderr, " %s", dir.c_str());
    fprintf(stderr, "\n(set VORLIN_MODULE_DIR to the directory that holds it)\n");
  }
  return nullptr;
}

int report(const char* what, int32_t status, int32_t success) {
  fflush(stdout);
  if (status == success) return kExitOk;
  fprintf(stderr, "vorlin: %s failed (status %d)\n", what, static_cast<int>(status));
  return kExitFailed;
}

int run_resize(VorlinResizeFn fn, const std::wstring& in, const std::wstring& out, int32_t w,
               int32_t h) {
  return report("resize", fn(in.c_str(), out.c_str(), w, h), VORLIN_RESIZE_OK);
}

int run_erode(VorlinErodeFn fn, const std::wstring& in, const std::wstring& out, int32_t passes) {
  return report("erode", fn(in.c_str(), out.c_str(), passes), VORLIN_ERODE_OK);
}

bool parse_query(const char* text, int32_t* query) {
  if (strcmp(text, "height") == 0) *query = VORLIN_QUERY_HEIGHT;
  else if (strcmp(text, "width") == 0) *query = VORLIN_QUERY_WIDTH;
  else if (strcmp(text, "bits") == 0) *query = VORLIN_QUERY_BITS;
  else return parse_int32(text, query);
  return true;
}

int run_probe(VorlinProbeFn fn, const std::wstring& in, int32_t query) {
  int32_t answer = fn(in.c_str(), query);
  fflush(stderr);
  printf("%d\n", static_cast<int>(answer));
  fflush(stdout);
  if (answer != VORLIN_PROBE_NO_ANSWER) return kExitOk;
  fprintf(stderr,
          "vorlin: the probe answered 999, which is either the stored value or a failure "
          "(an unknown query, or a file it could not read); the module cannot tell which\n");
  return kExitAmbiguous;
}

bool make_dir(const std::string& dir) {
#if defined(_WIN32)
  return _mkdir(dir.c_str()) == 0 || errno == EEXIST;
#else
  return mkdir(dir.c_str(), 0777) == 0 || errno == EEXIST;
#endif
}

std::wstring wide_path(const std::string& path) {
  std::wstring wide;
  if (!to_wide(path.c_str(), &wide)) wide.clear();
  return wide;
}

int run_demo(const std::string& dir) {
  if (!make_dir(dir)) {
    fprintf(stderr, "vorlin: cannot create directory %s: %s\n", dir.c_str(), strerror(errno));
    return kExitFailed;
  }
  auto resize = reinterpret_cast<VorlinResizeFn>(load_export("VorlinScale", "BMPResizers", true));
  auto erode = reinterpret_cast<VorlinErodeFn>(load_export("VorlinMorph", "BMPErosion", true));
  auto probe = reinterpret_cast<VorlinProbeFn>(load_export("VorlinProbe", "BMPSizeChecker", true));
  printf("Vorlin demo in %s\n", dir.c_str());
  printf("Modules: VorlinScale %s, VorlinMorph %s, VorlinProbe %s\n\n", resize ? "found" : "missing",
         erode ? "found" : "missing", probe ? "found" : "missing");
  if (resize == nullptr && erode == nullptr && probe == nullptr) {
    load_export("VorlinScale", "BMPResizers", false);
    return kExitNoModule;
  }

  int failures = 0;
  std::vector<std::string> results;
  auto probe_file = [&](const std::string& path) {
    if (probe == nullptr) return;
    std::wstring w = wide_path(path);
    int32_t width = probe(w.c_str(), VORLIN_QUERY_WIDTH);
    int32_t height = probe(w.c_str(), VORLIN_QUERY_HEIGHT);
    int32_t bits = probe(w.c_str(), VORLIN_QUERY_BITS);
    fflush(stderr);
    printf("-- probe %s: width %d, height %d, bits %d\n", path.c_str(), static_cast<int>(width),
           static_cast<int>(height), static_cast<int>(bits));
  };

  int count = 0;
  const DemoSample* samples = demo_samples(&count);
  for (int i = 0; i < count; ++i) {
    const DemoSample& s = samples[i];
    std::string in = dir + "/" + s.name;
    if (!write_demo_sample(s, in)) return kExitFailed;
    printf("-- sample %s (%dx%d, %d-bit)\n", in.c_str(), s.width, s.height, s.bits);
    probe_file(in);
    if (resize != nullptr) {
      // One enlargement and one reduction of each sample.
      const int sizes[2][2] = {{s.width * 2, s.height * 2}, {s.width * 2 / 3, s.height / 2}};
      for (const auto& size : sizes) {
        std::string stem(s.name, strlen(s.name) - 4);
        std::string out = dir + "/" + stem + "-" + std::to_string(size[0]) + "x" +
                          std::to_string(size[1]) + ".bmp";
        printf("-- resize %s to %dx%d\n", in.c_str(), size[0], size[1]);
        fflush(stdout);
        if (run_resize(resize, wide_path(in), wide_path(out), size[0], size[1]) != kExitOk) {
          ++failures;
        } else {
          results.push_back(out);
          probe_file(out);
        }
      }
    }
    printf("\n");
  }
  if (erode != nullptr) {
    // The 24-bit card turns black and white at the module's threshold; its
    // white shapes shrink by one pixel on each side per pass.
    const int passes[] = {1, 4};
    for (int n : passes) {
      std::string in = dir + "/card-24.bmp";
      std::string out = dir + "/card-eroded-" + std::to_string(n) + ".bmp";
      printf("-- erode %s with %d pass(es)\n", in.c_str(), n);
      fflush(stdout);
      if (run_erode(erode, wide_path(in), wide_path(out), n) != kExitOk) {
        ++failures;
      } else {
        results.push_back(out);
        probe_file(out);
      }
      printf("\n");
    }
  }
  printf("Demo finished: %zu result(s) in %s, %d failure(s).\n", results.size(), dir.c_str(),
         failures);
  return failures == 0 ? kExitOk : kExitFailed;
}

}  // namespace

int main(int argc, char** argv) {
  setlocale(LC_ALL, "");
  if (argc < 2) return usage_error("no command given");
  std::string command = argv[1];
  if (command == "--help" || command == "-h" || command == "help") {
    fputs(kUsage, stdout);
    return kExitOk;
  }
  if (command == "demo") {
    if (argc > 3) return usage_error("demo takes at most one directory");
    return run_demo(argc == 3 ? argv[2] : "vorlin-demo");
  }

  struct Shape {
    const char* name;
    int arguments;
  };
  const Shape shapes[] = {{"resize", 4}, {"erode", 3}, {"probe", 2}};
  const Shape* shape = nullptr;
  for (const Shape& s : shapes)
    if (command == s.name) shape = &s;
  if (shape == nullptr) return usage_error(("unknown command '" + command + "'").c_str());
  if (argc - 2 != shape->arguments) {
    return usage_error((command + " takes " + std::to_string(shape->arguments) +
                        " arguments, got " + std::to_string(argc - 2))
                           .c_str());
  }

  // Every argument is checked before any module is loaded or called.
  std::vector<std::wstring> paths;
  int path_count = command == "probe" ? 1 : 2;
  for (int i = 0; i < path_count; ++i) {
    std::wstring wide;
    if (!to_wide(argv[2 + i], &wide))
      return usage_error(("path '" + std::string(argv[2 + i]) +
                          "' is not valid in the current locale's encoding")
                             .c_str());
    paths.push_back(wide);
  }
  std::vector<int32_t> numbers;
  for (int i = 2 + path_count; i < argc; ++i) {
    int32_t value = 0;
    bool ok = command == "probe" ? parse_query(argv[i], &value) : parse_int32(argv[i], &value);
    if (!ok) {
      return usage_error(("'" + std::string(argv[i]) + "' is not " +
                          (command == "probe" ? "height, width, bits or a query number"
                                              : "a 32-bit integer"))
                             .c_str());
    }
    numbers.push_back(value);
  }

  if (command == "resize") {
    auto fn = reinterpret_cast<VorlinResizeFn>(load_export("VorlinScale", "BMPResizers", false));
    if (fn == nullptr) return kExitNoModule;
    return run_resize(fn, paths[0], paths[1], numbers[0], numbers[1]);
  }
  if (command == "erode") {
    auto fn = reinterpret_cast<VorlinErodeFn>(load_export("VorlinMorph", "BMPErosion", false));
    if (fn == nullptr) return kExitNoModule;
    return run_erode(fn, paths[0], paths[1], numbers[0]);
  }
  auto fn = reinterpret_cast<VorlinProbeFn>(load_export("VorlinProbe", "BMPSizeChecker", false));
  if (fn == nullptr) return kExitNoModule;
  return run_probe(fn, paths[0], numbers[0]);
}
