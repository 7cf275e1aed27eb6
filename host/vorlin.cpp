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
#include <io.h>
#include <sys/stat.h>
#include <windows.h>
#else
#include <dlfcn.h>
#include <langinfo.h>
#include <limits.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

#include "demo_pictures.h"
#include "vorlin/vorlin.h"

namespace {

// Exit statuses of the host itself.
constexpr int kExitOk = 0;
constexpr int kExitFailed = 1;    // the module reported a failure (its messages say why)
constexpr int kExitUsage = 2;     // bad command line; no module was loaded
constexpr int kExitNoModule = 3;  // no file of the module in any directory searched
constexpr int kExitHost = 5;      // the host failed: a module file it cannot load, a
                                  // directory or file it cannot make

const char kUsage[] =
    "Usage:\n"
    "  vorlin resize IN OUT WIDTH HEIGHT   resize a 2, 8, 16, 24 or 32-bit BMP\n"
    "  vorlin erode IN OUT PASSES          1 to 100 erosion passes; writes an 8-bit gray BMP\n"
    "  vorlin probe IN height|width|bits   print a value from the BMP's headers\n"
    "                                      (a raw query number is accepted too)\n"
    "  vorlin demo [DIR]                   draw sample pictures into DIR (default ./vorlin-demo)\n"
    "                                      and run every module found on them\n"
    "  vorlin --version                    this host's version and the module files it finds\n"
    "  vorlin --help                       this text\n"
    "\n"
    "Modules are loaded from $VORLIN_MODULE_DIR when it is set, else from the directory of\n"
    "this program or ../lib beside it. Paths are read in the locale's encoding, or as UTF-8\n"
    "when the locale is plain ASCII (as it is with LANG unset).\n"
    "Exit status: 0 success; 1 the module failed (its own messages say why); 2 usage error;\n"
    "3 module not found; 5 the host failed (a module file it cannot load, a directory or\n"
    "file it cannot make).\n";

int usage_error(const std::string& what) {
  fprintf(stderr, "vorlin: %s. Try 'vorlin --help'.\n", what.c_str());
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

bool parse_query(const char* text, int32_t* query) {
  if (strcmp(text, "height") == 0) {
    *query = VORLIN_QUERY_HEIGHT;
  } else if (strcmp(text, "width") == 0) {
    *query = VORLIN_QUERY_WIDTH;
  } else if (strcmp(text, "bits") == 0) {
    *query = VORLIN_QUERY_BITS;
  } else {
    return parse_int32(text, query);
  }
  return true;
}

// ---- Arguments to wide characters -----------------------------------------

// Locale encoding to wide characters, as a host application hands paths over.
bool locale_to_wide(const char* text, std::wstring* wide) {
  size_t length = mbstowcs(nullptr, text, 0);
  if (length == static_cast<size_t>(-1)) return false;
  std::vector<wchar_t> buffer(length + 1);
  mbstowcs(buffer.data(), text, length + 1);
  wide->assign(buffer.data(), length);
  return true;
}

// Strict UTF-8 (no overlong form, surrogate or value above 0x10FFFF) to wide
// characters: UTF-32, or UTF-16 where wchar_t has 16 bits.
bool utf8_to_wide(const char* text, std::wstring* wide) {
  std::wstring result;
  const unsigned char* p = reinterpret_cast<const unsigned char*>(text);
  while (*p != 0) {
    uint32_t c = *p++;
    int more = 0;
    uint32_t least = 0;
    if (c >= 0xC2 && c <= 0xDF) {
      more = 1;
      c &= 0x1Fu;
      least = 0x80;
    } else if (c >= 0xE0 && c <= 0xEF) {
      more = 2;
      c &= 0x0Fu;
      least = 0x800;
    } else if (c >= 0xF0 && c <= 0xF4) {
      more = 3;
      c &= 0x07u;
      least = 0x10000;
    } else if (c >= 0x80) {
      return false;
    }
    for (; more > 0; --more, ++p) {
      if ((*p & 0xC0u) != 0x80u) return false;  // the terminator stops here too
      c = (c << 6) | (*p & 0x3Fu);
    }
    if (c < least || c > 0x10FFFF || (c >= 0xD800 && c <= 0xDFFF)) return false;
    if (sizeof(wchar_t) == 2 && c >= 0x10000) {
      c -= 0x10000;
      result.push_back(static_cast<wchar_t>(0xD800 + (c >> 10)));
      result.push_back(static_cast<wchar_t>(0xDC00 + (c & 0x3FFu)));
    } else {
      result.push_back(static_cast<wchar_t>(c));
    }
  }
  wide->swap(result);
  return true;
}

// True in a locale whose encoding is plain ASCII (the C/POSIX locale): one
// byte a character, and no meaning for a byte above 0x7F.
bool locale_is_ascii() {
  wchar_t c;
  mbtowc(nullptr, nullptr, 0);
  return MB_CUR_MAX == 1 && mbtowc(&c, "\x80", 1) < 0;
}

std::string locale_encoding() {
#if defined(_WIN32)
  return "code page " + std::to_string(GetACP());
#else
  return nl_langinfo(CODESET);
#endif
}

// An argument as the modules get it: in the locale's encoding; where that is
// plain ASCII, a byte above 0x7F cannot be ASCII and file names on such a
// system are UTF-8, so the argument is read as UTF-8.
bool decode_argument(const char* text, std::wstring* wide) {
  return locale_to_wide(text, wide) || (locale_is_ascii() && utf8_to_wide(text, wide));
}

std::string undecodable(const char* text) {
  std::string what = "'" + std::string(text) + "' is ";
  if (locale_is_ascii()) {
    return what + "valid neither in the locale's encoding (" + locale_encoding() + ") nor in UTF-8";
  }
  return what + "not valid in the locale's encoding (" + locale_encoding() + ")";
}

// ---- The few calls that differ between POSIX and Windows --------------------

#if defined(_WIN32)
std::string program_dir() {
  char path[MAX_PATH];
  DWORD n = GetModuleFileNameA(nullptr, path, MAX_PATH);
  std::string full(path, n);
  size_t slash = full.find_last_of("\\/");
  return slash == std::string::npos ? std::string(".") : full.substr(0, slash);
}

bool file_is_present(const std::string& path) {
  DWORD attributes = GetFileAttributesA(path.c_str());
  return attributes != INVALID_FILE_ATTRIBUTES && !(attributes & FILE_ATTRIBUTE_DIRECTORY);
}

void* open_library(const std::string& path, std::string* problem) {
  HMODULE handle = LoadLibraryA(path.c_str());
  if (handle == nullptr) *problem = path + ": error " + std::to_string(GetLastError());
  return reinterpret_cast<void*>(handle);
}

void* library_symbol(void* handle, const char* symbol) {
  return reinterpret_cast<void*>(GetProcAddress(static_cast<HMODULE>(handle), symbol));
}

// A directory, made when missing; false with errno set when it cannot be.
bool make_dir(const std::string& dir) {
  struct _stat st;
  if (_mkdir(dir.c_str()) == 0) return true;
  if (errno != EEXIST) return false;
  if (_stat(dir.c_str(), &st) == 0 && (st.st_mode & _S_IFDIR)) return true;
  errno = ENOTDIR;
  return false;
}

std::string absolute_path(const std::string& path) {
  char* full = _fullpath(nullptr, path.c_str(), 0);
  std::string result = full != nullptr ? full : path;
  free(full);
  return result;
}

// A file for the probe's messages, deleted when it is closed.
FILE* open_scratch_file() {
  char dir[MAX_PATH + 1];
  char name[MAX_PATH + 1];
  DWORD n = GetTempPathA(sizeof dir, dir);
  if (n == 0 || n > MAX_PATH || GetTempFileNameA(dir, "vrl", 0, name) == 0) return nullptr;
  return fopen(name, "w+bD");
}

int duplicate_fd(int fd) { return _dup(fd); }
int replace_fd(int from, int to) { return _dup2(from, to); }
void close_fd(int fd) { _close(fd); }
int stream_fd(FILE* stream) { return _fileno(stream); }
#else
std::string program_dir() {
  char path[PATH_MAX];
  ssize_t n = readlink("/proc/self/exe", path, sizeof path - 1);
  std::string full = n > 0 ? std::string(path, static_cast<size_t>(n)) : std::string();
  size_t slash = full.rfind('/');
  return slash == std::string::npos ? std::string(".") : full.substr(0, slash);
}

bool file_is_present(const std::string& path) {
  struct stat st;
  return stat(path.c_str(), &st) == 0 && !S_ISDIR(st.st_mode);
}

void* open_library(const std::string& path, std::string* problem) {
  void* handle = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
  if (handle == nullptr) *problem = dlerror();  // names the file and the reason
  return handle;
}

void* library_symbol(void* handle, const char* symbol) { return dlsym(handle, symbol); }

// A directory, made when missing; false with errno set when it cannot be.
bool make_dir(const std::string& dir) {
  struct stat st;
  if (mkdir(dir.c_str(), 0777) == 0) return true;
  if (errno != EEXIST) return false;
  if (stat(dir.c_str(), &st) == 0 && S_ISDIR(st.st_mode)) return true;
  errno = ENOTDIR;
  return false;
}

std::string absolute_path(const std::string& path) {
  char* full = realpath(path.c_str(), nullptr);
  std::string result = full != nullptr ? full : path;
  free(full);
  return result;
}

// A file for the probe's messages, unlinked at once so nothing is left behind.
FILE* open_scratch_file() {
  const char* base = getenv("TMPDIR");
  std::string pattern =
      std::string(base != nullptr && *base != '\0' ? base : "/tmp") + "/vorlin-XXXXXX";
  std::vector<char> name(pattern.begin(), pattern.end());
  name.push_back('\0');
  int fd = mkstemp(name.data());
  if (fd < 0) return nullptr;
  unlink(name.data());
  FILE* file = fdopen(fd, "w+b");
  if (file == nullptr) close(fd);
  return file;
}

int duplicate_fd(int fd) { return dup(fd); }
int replace_fd(int from, int to) { return dup2(from, to); }
void close_fd(int fd) { close(fd); }
int stream_fd(FILE* stream) { return fileno(stream); }
#endif

// ---- Finding the modules ----------------------------------------------------

struct ModuleLookup {
  void* fn;             // the export; null when it could not be had
  int status;           // kExitOk, kExitNoModule or kExitHost
  std::string where;    // the file loaded, or the directories searched
  std::string problem;  // why a file that is there could not be used
};

// The first module file in the search directories, loaded, with its export.
ModuleLookup find_module(const char* module, const char* symbol) {
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
  ModuleLookup found{nullptr, kExitHost, "", ""};
  for (const std::string& dir : dirs) {
    for (const std::string& name : names) {
      found.where = dir + "/" + name;
      if (!file_is_present(found.where)) continue;
      void* handle = open_library(found.where, &found.problem);
      if (handle == nullptr) return found;
      found.fn = library_symbol(handle, symbol);
      if (found.fn == nullptr) {
        found.problem = found.where + " has no export " + symbol;
        return found;
      }
      found.status = kExitOk;
      return found;
    }
  }
  found.status = kExitNoModule;
  found.where.clear();
  for (const std::string& dir : dirs) found.where += (found.where.empty() ? "" : " ") + dir;
  return found;
}

// Says why a module cannot be used; its exit status.
int module_problem(const char* module, const ModuleLookup& lookup) {
  if (lookup.status == kExitNoModule) {
    fprintf(stderr, "vorlin: module %s not found in: %s\n", module, lookup.where.c_str());
    fprintf(stderr, "(set VORLIN_MODULE_DIR to the directory that holds it)\n");
  } else {
    fprintf(stderr, "vorlin: cannot load module %s: %s\n", module, lookup.problem.c_str());
  }
  return lookup.status;
}

int print_version() {
  printf("vorlin %s\n", VORLIN_VERSION);
  const char* modules[][2] = {{"VorlinScale", "BMPResizers"},
                              {"VorlinMorph", "BMPErosion"},
                              {"VorlinProbe", "BMPSizeChecker"}};
  for (const auto& m : modules) {
    ModuleLookup lookup = find_module(m[0], m[1]);
    if (lookup.status == kExitOk)
      printf("%s: %s\n", m[0], lookup.where.c_str());
    else if (lookup.status == kExitNoModule)
      printf("%s: not found in %s\n", m[0], lookup.where.c_str());
    else
      printf("%s: cannot be loaded: %s\n", m[0], lookup.problem.c_str());
  }
  return kExitOk;
}

// ---- Calling the modules -----------------------------------------------------

// Standard output is flushed before and after every call, so the module's
// lines and the host's keep their order even where line buffering is not
// available (the Windows run-time buffers a pipe fully).
int report(const char* what, int32_t status, int32_t success) {
  fflush(stdout);
  if (status == success) return kExitOk;
  fprintf(stderr, "vorlin: %s failed (status %d)\n", what, static_cast<int>(status));
  return kExitFailed;
}

int run_resize(VorlinResizeFn fn, const std::wstring& in, const std::wstring& out, int32_t w,
               int32_t h) {
  fflush(stdout);
  return report("resize", fn(in.c_str(), out.c_str(), w, h), VORLIN_RESIZE_OK);
}

int run_erode(VorlinErodeFn fn, const std::wstring& in, const std::wstring& out, int32_t passes) {
  fflush(stdout);
  return report("erode", fn(in.c_str(), out.c_str(), passes), VORLIN_ERODE_OK);
}

// The probe answers 999 both for a failure and for a stored 999 (or a query it
// does not know); only its messages on standard error tell them apart. The
// call's standard error goes into a scratch file, and from there, unchanged,
// to the real standard error once the call is over.
int run_probe(VorlinProbeFn fn, const std::wstring& in, int32_t query) {
  fflush(stdout);
  fflush(stderr);
  FILE* scratch = open_scratch_file();
  int saved = scratch != nullptr ? duplicate_fd(stream_fd(stderr)) : -1;
  if (saved < 0 || replace_fd(stream_fd(scratch), stream_fd(stderr)) < 0) {
    int error = errno;
    if (saved >= 0) close_fd(saved);
    if (scratch != nullptr) fclose(scratch);
    fprintf(stderr, "vorlin: cannot set aside the probe's messages: %s\n", strerror(error));
    return kExitHost;
  }
  int32_t answer = fn(in.c_str(), query);
  fflush(stderr);
  replace_fd(saved, stream_fd(stderr));
  close_fd(saved);
  std::string said;
  char chunk[4096];
  rewind(scratch);
  for (size_t got; (got = fread(chunk, 1, sizeof chunk, scratch)) > 0;) said.append(chunk, got);
  fclose(scratch);
  fwrite(said.data(), 1, said.size(), stderr);
  if (answer == VORLIN_PROBE_NO_ANSWER && !said.empty()) return kExitFailed;
  printf("%d\n", static_cast<int>(answer));
  fflush(stdout);
  return kExitOk;
}

// ---- The demo ------------------------------------------------------------------

std::wstring wide_path(const std::string& path) {
  std::wstring wide;
  if (!decode_argument(path.c_str(), &wide)) wide.clear();
  return wide;
}

int run_demo(const std::string& dir) {
  if (!make_dir(dir)) {
    fprintf(stderr, "vorlin: cannot create directory %s: %s\n", dir.c_str(), strerror(errno));
    return kExitHost;
  }
  const char* names[3] = {"VorlinScale", "VorlinMorph", "VorlinProbe"};
  const ModuleLookup modules[3] = {find_module(names[0], "BMPResizers"),
                                   find_module(names[1], "BMPErosion"),
                                   find_module(names[2], "BMPSizeChecker")};
  auto resize = reinterpret_cast<VorlinResizeFn>(modules[0].fn);
  auto erode = reinterpret_cast<VorlinErodeFn>(modules[1].fn);
  auto probe = reinterpret_cast<VorlinProbeFn>(modules[2].fn);
  printf("Vorlin demo in %s\n", dir.c_str());
  printf("Modules: VorlinScale %s, VorlinMorph %s, VorlinProbe %s\n\n",
         resize ? "found" : "missing", erode ? "found" : "missing", probe ? "found" : "missing");
  // A module file that is there but cannot be loaded is the host's failure.
  bool host_failed = false;
  for (int i = 0; i < 3; ++i) {
    if (modules[i].status != kExitHost) continue;
    module_problem(names[i], modules[i]);
    host_failed = true;
  }
  if (resize == nullptr && erode == nullptr && probe == nullptr)
    return host_failed ? kExitHost : module_problem(names[0], modules[0]);

  int failures = 0;
  size_t results = 0;
  auto probe_file = [&](const std::string& path) {
    if (probe == nullptr) return;
    std::wstring w = wide_path(path);
    int32_t width = probe(w.c_str(), VORLIN_QUERY_WIDTH);
    int32_t height = probe(w.c_str(), VORLIN_QUERY_HEIGHT);
    int32_t bits = probe(w.c_str(), VORLIN_QUERY_BITS);
    printf("-- probe %s: width %d, height %d, bits %d\n", path.c_str(), static_cast<int>(width),
           static_cast<int>(height), static_cast<int>(bits));
  };

  int count = 0;
  const DemoSample* samples = demo_samples(&count);
  for (int i = 0; i < count; ++i) {
    const DemoSample& s = samples[i];
    std::string in = dir + "/" + s.name;
    if (!write_demo_sample(s, in)) return kExitHost;
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
        if (run_resize(resize, wide_path(in), wide_path(out), size[0], size[1]) != kExitOk) {
          ++failures;
        } else {
          ++results;
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
      if (run_erode(erode, wide_path(in), wide_path(out), n) != kExitOk) {
        ++failures;
      } else {
        ++results;
        probe_file(out);
      }
      printf("\n");
    }
  }
  printf("Demo finished: %zu result(s), %d failure(s).\n", results, failures);
  printf("The pictures are in %s\n", absolute_path(dir).c_str());
  return failures != 0 ? kExitFailed : host_failed ? kExitHost : kExitOk;
}

}  // namespace

int main(int argc, char** argv) {
  setlocale(LC_ALL, "");
  // The modules print through the same streams as the host. Line by line,
  // every message leaves in the order it was printed, into a pipe or a file
  // as on a terminal.
  setvbuf(stdout, nullptr, _IOLBF, BUFSIZ);
  if (argc < 2) return usage_error("no command given");
  std::string command = argv[1];
  if (command == "--help" || command == "-h" || command == "help") {
    fputs(kUsage, stdout);
    return kExitOk;
  }
  if (command == "--version") {
    if (argc > 2) return usage_error("--version takes no arguments");
    return print_version();
  }
  if (command == "demo") {
    if (argc > 3) return usage_error("demo takes at most one directory");
    std::wstring wide;
    if (argc == 3 && !decode_argument(argv[2], &wide)) return usage_error(undecodable(argv[2]));
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
  if (shape == nullptr) return usage_error("unknown command '" + command + "'");
  if (argc - 2 != shape->arguments) {
    return usage_error(command + " takes " + std::to_string(shape->arguments) + " arguments, got " +
                       std::to_string(argc - 2));
  }

  // Every argument is checked before any module is loaded or called.
  std::vector<std::wstring> paths;
  int path_count = command == "probe" ? 1 : 2;
  for (int i = 0; i < path_count; ++i) {
    std::wstring wide;
    if (!decode_argument(argv[2 + i], &wide)) return usage_error(undecodable(argv[2 + i]));
    paths.push_back(wide);
  }
  std::vector<int32_t> numbers;
  for (int i = 2 + path_count; i < argc; ++i) {
    int32_t value = 0;
    bool ok = command == "probe" ? parse_query(argv[i], &value) : parse_int32(argv[i], &value);
    if (!ok) {
      return usage_error(
          "'" + std::string(argv[i]) + "' is not " +
          (command == "probe" ? "height, width, bits or a query number" : "a 32-bit integer"));
    }
    numbers.push_back(value);
  }

  if (command == "resize") {
    ModuleLookup m = find_module("VorlinScale", "BMPResizers");
    if (m.fn == nullptr) return module_problem("VorlinScale", m);
    return run_resize(reinterpret_cast<VorlinResizeFn>(m.fn), paths[0], paths[1], numbers[0],
                      numbers[1]);
  }
  if (command == "erode") {
    ModuleLookup m = find_module("VorlinMorph", "BMPErosion");
    if (m.fn == nullptr) return module_problem("VorlinMorph", m);
    return run_erode(reinterpret_cast<VorlinErodeFn>(m.fn), paths[0], paths[1], numbers[0]);
  }
  ModuleLookup m = find_module("VorlinProbe", "BMPSizeChecker");
  if (m.fn == nullptr) return module_problem("VorlinProbe", m);
  return run_probe(reinterpret_cast<VorlinProbeFn>(m.fn), paths[0], numbers[0]);
}
