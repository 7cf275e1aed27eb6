// vorlin: a command-line host for the Vorlin modules. It loads each module at
// run time and calls its one export, exactly as a host application does, so
// every path through it is the modules' own behaviour.
#include "vorlin/vorlin.h"

#include <cerrno>
#include <clocale>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <cwchar>
#include <string>
#include <vector>

#include "arguments.h"
#include "demo_pictures.h"
#include "exit_status.h"
#include "platform.h"

namespace {

// ---- Finding the modules ----------------------------------------------------

struct ModuleLookup {
  void* fn;             // the export; null when it could not be had
  int status;           // kExitOk, kExitNoModule or kExitHost
  std::string where;    // the file loaded, or the directories searched
  std::string problem;  // why a file that is there could not be used
};

// The directories searched, in order, each as a real path (no "." or "..").
std::vector<std::string> module_dirs() {
  const char* env = getenv("VORLIN_MODULE_DIR");
  if (env != nullptr && *env != '\0') return {absolute_path(env)};
  std::string program = absolute_path(program_dir());
  return {program, absolute_path(program + kSeparator + "..") + kSeparator + "lib"};
}

// The first module file in the search directories, loaded, with its export.
// On Linux the versioned name comes first, as a host application opens it.
ModuleLookup find_module(const char* module, const char* symbol) {
  const std::vector<std::string> dirs = module_dirs();
#if defined(_WIN32)
  const std::string names[] = {std::string(module) + ".dll"};
#else
  const std::string names[] = {"lib" + std::string(module) + ".so.1",
                               "lib" + std::string(module) + ".so"};
#endif
  ModuleLookup found{nullptr, kExitHost, "", ""};
  for (const std::string& dir : dirs) {
    for (const std::string& name : names) {
      found.where = dir + kSeparator + name;
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

// ---- Calling the modules -----------------------------------------------------

// The largest file a BMP's 32-bit size field can describe.
constexpr uint64_t kBmpFileLimit = 0xFFFFFFFFu;

// The size of the file a resize of the input to width x height needs, from
// the input's headers read again as the module reads them (bits per pixel at
// byte 28, colours used at byte 46); 0 when they cannot be read again (a
// pipe) or do not describe a depth the module loads. *bits gets the depth.
uint64_t resized_file_size(const std::wstring& input, int32_t width, int32_t height, int* bits) {
  unsigned char header[50];
  FILE* file = open_wide(input);
  size_t got = file != nullptr ? fread(header, 1, sizeof header, file) : 0;
  if (file != nullptr) fclose(file);
  if (got < sizeof header || width < 1 || height < 1) return 0;
  *bits = header[28] | (header[29] << 8);
  uint64_t colors = static_cast<uint64_t>(header[46]) | (static_cast<uint64_t>(header[47]) << 8) |
                    (static_cast<uint64_t>(header[48]) << 16) |
                    (static_cast<uint64_t>(header[49]) << 24);
  uint64_t palette = 0;
  if (*bits == 2 || *bits == 8) {
    palette = 4 * (colors != 0 ? colors : *bits == 2 ? 4 : 256);
  } else if (*bits != 16 && *bits != 24 && *bits != 32) {
    return 0;
  }
  // A row of at most 2^31 pixels of 32 bits takes at most 2^33 bytes, so
  // even 2^31 of them with the headers stay below 2^64.
  uint64_t row = (static_cast<uint64_t>(width) * static_cast<uint64_t>(*bits) + 31) / 32 * 4;
  uint64_t fixed = 54 + palette;
  if (static_cast<uint64_t>(height) > (UINT64_MAX - fixed) / row) return 0;
  return fixed + row * static_cast<uint64_t>(height);
}

// What status 3 of a resize means for this request: memory, or a file over
// the BMP format's 32-bit size, which the host tells apart by the size the
// request needs.
std::string resize_create_words(const std::wstring& input, int32_t width, int32_t height) {
  int bits = 0;
  uint64_t size = resized_file_size(input, width, height, &bits);
  std::string picture = "a " + std::to_string(width) + "x" + std::to_string(height) + " " +
                        std::to_string(bits) + "-bit BMP";
  if (size == 0) {
    return "the result could not be made: not enough memory, or a result over the BMP file's "
           "4 GiB limit";
  }
  if (size > kBmpFileLimit) {
    return "the result cannot be made: " + picture + " needs " + std::to_string(size) +
           " bytes, over the BMP file's 4 GiB limit (" + std::to_string(kBmpFileLimit) + " bytes)";
  }
  return "the result could not be made: not enough memory for " + picture + " (" +
         std::to_string(size) + " bytes)";
}

// A failed call's status in plain words, after the module's own messages.
// Standard output is flushed before and after every call, so the module's
// lines and the host's keep their order even where line buffering is not
// available (the Windows run-time buffers a pipe fully).
int report(const char* what, int32_t status, const std::string& words) {
  fflush(stdout);
  fprintf(stderr, "vorlin: %s failed (status %d): %s\n", what, static_cast<int>(status),
          words.c_str());
  return kExitFailed;
}

int run_resize(VorlinResizeFn fn, const std::wstring& in, const std::wstring& out, int32_t w,
               int32_t h) {
  fflush(stdout);
  int32_t status = fn(in.c_str(), out.c_str(), w, h);
  fflush(stdout);
  switch (status) {
    case VORLIN_RESIZE_OK: return kExitOk;
    case VORLIN_RESIZE_BAD_SIZE:
      return report("resize", status, "the width and height must each be 1 or more");
    case VORLIN_RESIZE_LOAD_FAILED:
      return report("resize", status, "the input could not be loaded");
    case VORLIN_RESIZE_CREATE_FAILED:
      return report("resize", status, resize_create_words(in, w, h));
    case VORLIN_RESIZE_SAVE_FAILED:
      return report("resize", status, "the result could not be written to the output");
    default: return report("resize", status, "a status the module does not document");
  }
}

int run_erode(VorlinErodeFn fn, const std::wstring& in, const std::wstring& out, int32_t passes) {
  fflush(stdout);
  int32_t status = fn(in.c_str(), out.c_str(), passes);
  fflush(stdout);
  if (status == VORLIN_ERODE_OK) return kExitOk;
  return report("erode", status,
                status == VORLIN_ERODE_FAILED
                    ? "no eroded picture was written; the module's lines above say why"
                    : "a status the module does not document");
}

// The probe answers 999 both for a failure and for a stored 999; only its
// messages on standard error tell them apart. The call's standard error goes
// through a pipe, read as it comes, and from there, unchanged, to the real
// standard error once the call is over. An answer whose messages could not
// all be read is no answer.
int run_probe(VorlinProbeFn fn, const std::wstring& in, int32_t query) {
  fflush(stdout);
  Capture capture;
  if (!begin_capture(&capture)) {
    fprintf(stderr, "vorlin: cannot set aside the probe's messages: %s\n", strerror(errno));
    return kExitHost;
  }
  int32_t answer = fn(in.c_str(), query);
  bool complete = end_capture(&capture);
  const std::string& said = capture.drain.text;
  fwrite(said.data(), 1, said.size(), stderr);
  if (!complete) {
    fprintf(stderr,
            "vorlin: the probe's messages could not all be read (%s), so its answer is unknown\n",
            strerror(capture.drain.error != 0 ? capture.drain.error : EIO));
    return kExitFailed;
  }
  if (answer == VORLIN_PROBE_NO_ANSWER && !said.empty()) return kExitFailed;
  printf("%d\n", static_cast<int>(answer));
  return kExitOk;
}

// Every line meant for standard output must have reached it: a write that
// failed there (a full disk, a reader gone away) fails a call that had
// succeeded, with the reason where it is known.
int finish_output(int status) {
  errno = 0;
  int error = fflush(stdout) != 0 ? errno : 0;
  if (error == 0 && !ferror(stdout)) return status;
  if (error == 0) error = output_error();
  fprintf(stderr, "vorlin: cannot write to standard output%s%s\n", error != 0 ? ": " : "",
          error != 0 ? strerror(error) : "");
  return status == kExitOk ? kExitHost : status;
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

// ---- The commands --------------------------------------------------------------

int resize_command(char** args, int count) {
  std::vector<std::wstring> paths;
  std::vector<int32_t> numbers;
  int status = read_arguments(args, count, 2, false, &paths, &numbers);
  if (status != kExitOk) return status;
  ModuleLookup m = find_module("VorlinScale", "BMPResizers");
  if (m.fn == nullptr) return module_problem("VorlinScale", m);
  return run_resize(reinterpret_cast<VorlinResizeFn>(m.fn), paths[0], paths[1], numbers[0],
                    numbers[1]);
}

int erode_command(char** args, int count) {
  std::vector<std::wstring> paths;
  std::vector<int32_t> numbers;
  int status = read_arguments(args, count, 2, false, &paths, &numbers);
  if (status != kExitOk) return status;
  ModuleLookup m = find_module("VorlinMorph", "BMPErosion");
  if (m.fn == nullptr) return module_problem("VorlinMorph", m);
  return run_erode(reinterpret_cast<VorlinErodeFn>(m.fn), paths[0], paths[1], numbers[0]);
}

int probe_command(char** args, int count) {
  std::vector<std::wstring> paths;
  std::vector<int32_t> numbers;
  int status = read_arguments(args, count, 1, true, &paths, &numbers);
  if (status != kExitOk) return status;
  ModuleLookup m = find_module("VorlinProbe", "BMPSizeChecker");
  if (m.fn == nullptr) return module_problem("VorlinProbe", m);
  return run_probe(reinterpret_cast<VorlinProbeFn>(m.fn), paths[0], numbers[0]);
}

int demo_command(char** args, int count) {
  std::vector<std::wstring> paths;
  std::vector<int32_t> none;
  int status = read_arguments(args, count, count, false, &paths, &none);
  if (status != kExitOk) return status;
  return run_demo(count == 1 ? args[0] : "vorlin-demo");
}

int version_command(char**, int) {
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

int help_command(char** args, int count);

struct Command {
  const char* name;
  const char* aliases[2];  // the same command spelled as an option
  const char* synopsis;    // as the overview shows it, after "vorlin "
  const char* summary;     // the overview's words; after a '\n' they go on on the next line
  const char* help;        // the command's own usage, after its synopsis line
  int least, most;         // how many arguments it takes
  const char* count_rule;  // what a wrong count is told (", got N" follows a fixed count)
  int (*run)(char** args, int count);
};

const Command kCommands[] = {
    {"resize",
     {},
     "resize IN OUT WIDTH HEIGHT",
     "resize a 2, 8, 16, 24 or 32-bit BMP",
     "Resizes IN, an uncompressed 2, 8, 16, 24 or 32-bit BMP, to WIDTH x HEIGHT pixels (each\n"
     "1 or more) with the VorlinScale module and writes OUT at the same depth with the same\n"
     "palette: bilinear for 24 and 32 bits, truncated-position sampling otherwise.\n",
     4,
     4,
     "takes 4 arguments",
     resize_command},
    {"erode",
     {},
     "erode IN OUT PASSES",
     "1 to 100 erosion passes; writes an 8-bit gray BMP",
     "Loads IN, an uncompressed 8-bit or 24-bit BMP, as gray (24-bit pixels become black or\n"
     "white), applies PASSES (1 to 100) passes of four-neighbour erosion of its white regions\n"
     "with the VorlinMorph module and writes OUT as an 8-bit gray BMP.\n",
     3,
     3,
     "takes 3 arguments",
     erode_command},
    {"probe",
     {},
     "probe IN height|width|bits",
     "print a value from the BMP's headers\n(the query numbers 1, 2 and 3 work too)",
     "Prints IN's height (as stored: negative for a top-down BMP), width or bits per pixel,\n"
     "read from its headers by the VorlinProbe module; the query numbers 1 (height), 2 (width)\n"
     "and 3 (bits) work too. On a failure the module's messages are shown and nothing is\n"
     "printed on standard output.\n",
     2,
     2,
     "takes 2 arguments",
     probe_command},
    {"demo",
     {},
     "demo [DIR]",
     "draw sample pictures into DIR (default ./vorlin-demo)\nand run every module found on them",
     "Draws sample pictures (24, 8, 16, 32 and 2-bit) into DIR (default ./vorlin-demo, made\n"
     "when missing), resizes each one up and down, erodes the 24-bit card and probes samples\n"
     "and results with every module found, then prints the full path of DIR.\n",
     0,
     1,
     "takes at most one directory",
     demo_command},
    {"version",
     {"--version"},
     "--version",
     "this host's version and the module files it finds",
     "Prints this host's version and, for each module, the full path of the file it loads,\n"
     "or why there is none. 'vorlin --version' is the same.\n",
     0,
     0,
     "takes no arguments",
     version_command},
    {"help",
     {"--help", "-h"},
     "--help [COMMAND]",
     "this text, or the usage of one command",
     "Prints the overview of the commands, or the usage of COMMAND. 'vorlin --help',\n"
     "'vorlin -h' and 'vorlin COMMAND --help' (or -h) are the same.\n",
     0,
     1,
     "takes at most one command",
     help_command},
};

const Command* find_command(const char* word) {
  for (const Command& c : kCommands) {
    if (strcmp(word, c.name) == 0) return &c;
    for (const char* alias : c.aliases)
      if (alias != nullptr && strcmp(word, alias) == 0) return &c;
  }
  return nullptr;
}

const char kUsageEnd[] =
    "\n"
    "'vorlin help' and 'vorlin version' work too; -h or --help after a command prints its usage.\n"
    "Modules are loaded from $VORLIN_MODULE_DIR when it is set, else from the directory of\n"
    "this program or ../lib beside it. Paths are read in the locale's encoding, or as UTF-8\n"
    "when the locale is plain ASCII (as it is with LANG unset).\n"
    "Exit status: 0 success; 1 the module failed (its own messages say why); 2 usage error;\n"
    "3 module not found; 5 the host failed (a module file it cannot load, a directory or\n"
    "file it cannot make, its own output it cannot write).\n";

// One command's usage: its name and arguments, then what it does.
int command_help(const Command& command) {
  const char* arguments = strchr(command.synopsis, ' ');
  printf("Usage: vorlin %s%s\n%s", command.name, arguments != nullptr ? arguments : "",
         command.help);
  return kExitOk;
}

int help_command(char** args, int count) {
  if (count == 1) {
    const Command* command = find_command(args[0]);
    if (command == nullptr) return usage_error("unknown command " + shown(args[0]));
    return command_help(*command);
  }
  fputs("Usage:\n", stdout);
  for (const Command& c : kCommands) {
    printf("  vorlin %-29s", c.synopsis);
    for (const char* p = c.summary; *p != '\0'; ++p) {
      putchar(*p);
      if (*p == '\n') printf("%38s", "");
    }
    putchar('\n');
  }
  fputs(kUsageEnd, stdout);
  return kExitOk;
}

// What a wrong number of arguments is told, with the command as it was typed.
std::string count_problem(const Command& command, const char* typed, int count) {
  std::string what = std::string(typed) + " " + command.count_rule;
  if (command.least == command.most && command.least > 0) what += ", got " + std::to_string(count);
  return what;
}

}  // namespace

int main(int argc, char** argv) {
  setlocale(LC_ALL, "");
  // The modules print through the same streams as the host. Line by line,
  // every message leaves in the order it was printed, into a pipe or a file
  // as on a terminal.
  setvbuf(stdout, nullptr, _IOLBF, BUFSIZ);
  ignore_broken_pipes();
  if (argc < 2) return usage_error("no command given");
  const Command* command = find_command(argv[1]);
  if (command == nullptr) return usage_error("unknown command " + shown(argv[1]));
  char** args = argv + 2;
  int count = argc - 2;
  for (int i = 0; i < count; ++i) {
    if (strcmp(args[i], "--help") == 0 || strcmp(args[i], "-h") == 0)
      return finish_output(command_help(*command));
  }
  if (count < command->least || count > command->most)
    return usage_error(count_problem(*command, argv[1], count));
  return finish_output(command->run(args, count));
}
