// vorlin: a command-line host for the Vorlin modules. It loads each module at
// run time and calls its one export, exactly as a host application does, so
// every path through it is the modules' own behaviour. Here: its commands.
#include <cerrno>
#include <clocale>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "arguments.h"
#include "demo.h"
#include "exit_status.h"
#include "modules.h"
#include "platform.h"
#include "vorlin/vorlin.h"

namespace {

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
