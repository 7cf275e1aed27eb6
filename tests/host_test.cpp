// The vorlin host as a user runs it: usage errors before any module is
// called, exit statuses, message order into a pipe, the probe's failures told
// from its values, paths in the C locale, and the modules found beside it or
// through VORLIN_MODULE_DIR.
#include <gtest/gtest.h>

#include <clocale>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#if defined(_WIN32)
#include <windows.h>
#else
#include <fcntl.h>
#include <limits.h>
#include <poll.h>
#include <sched.h>
#include <signal.h>
#include <sys/mount.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

extern char** environ;
#endif

#include "test_support.h"

namespace {

// A limit on the child's address space holds the host to it, except under
// qemu, which maps the program's memory its own way.
#if defined(VORLIN_EMULATED_TEST_RUN) || defined(_WIN32)
constexpr bool kMemoryLimitHolds = false;
#else
constexpr bool kMemoryLimitHolds = true;
#endif

// ---- Starting the host and reading what it printed ---------------------------
// Only these helpers know how a process starts; the tests below them hold no
// platform code.

struct HostRun {
  int status;       // exit status; -1 when the host did not exit normally
  std::string out;  // standard output, or both streams when merged
  std::string err;
};

struct HostEnv {
  std::vector<std::string> set;    // NAME=value
  std::vector<std::string> unset;  // NAME
  bool merged = false;             // standard error into standard output's pipe, as 2>&1 | cat
  bool reader_gone = false;        // standard output a pipe whose reader has already gone
  std::string cwd;                 // the host's working directory, when not empty
  // Where kCanLimitChild: limits set in the child before the host starts. A
  // limit that cannot be had there makes the run's status kCannotLimit.
  bool no_file_growth =
      false;               // no file may grow (RLIMIT_FSIZE 0, SIGXFSZ ignored), as on a full disk
  std::string full_tmpfs;  // a full tmpfs mounted on this directory, seen by the host alone
  long memory_mib = 0;     // the host's address space, when not 0
};
constexpr int kCannotLimit = 125;

// The locale variables gone: the C/POSIX locale, as on a minimal system.
HostEnv c_locale() {
  HostEnv env;
  env.unset = {"LANG", "LC_ALL", "LC_CTYPE", "LANGUAGE"};
  return env;
}

// The current environment with the given changes, for the child.
std::vector<std::string> child_environment(const HostEnv& env) {
#if defined(_WIN32)
  char** entries = _environ;
#else
  char** entries = environ;
#endif
  std::vector<std::string> result;
  for (char** entry = entries; *entry != nullptr; ++entry) {
    std::string text = *entry;
    std::string name = text.substr(0, text.find('='));
    bool drop = false;
    for (const std::string& n : env.unset) drop = drop || n == name;
    for (const std::string& s : env.set) drop = drop || s.substr(0, s.find('=')) == name;
    if (!drop) result.push_back(text);
  }
  result.insert(result.end(), env.set.begin(), env.set.end());
  return result;
}

#if defined(_WIN32)
// On Windows the run-time hands a program its arguments in the ANSI code
// page, replacing what that cannot hold, so no argument is undecodable.
constexpr bool kArgumentsCanBeUndecodable = false;

// One argument as the C run-time splits a command line: in quotes, with the
// backslashes before a quote (or before the closing quote) doubled.
std::wstring quoted(const std::wstring& text) {
  std::wstring result = L"\"";
  size_t backslashes = 0;
  for (wchar_t c : text) {
    if (c == L'\\') {
      ++backslashes;
      continue;
    }
    result.append(c == L'"' ? backslashes * 2 + 1 : backslashes, L'\\');
    result.push_back(c);
    backslashes = 0;
  }
  result.append(backslashes * 2, L'\\');
  result.push_back(L'"');
  return result;
}

void read_pipe(HANDLE pipe, std::string* sink) {
  char chunk[4096];
  DWORD got = 0;
  while (ReadFile(pipe, chunk, sizeof chunk, &got, nullptr) && got > 0) sink->append(chunk, got);
}

// Text as a Windows program reads it: line ends as "\n", and the ANSI code
// page (in which the host and the modules print paths) in UTF-8, as the
// tests write paths.
std::string as_text(const std::string& printed) {
  std::string lines;
  for (size_t i = 0; i < printed.size(); ++i)
    if (!(printed[i] == '\r' && i + 1 < printed.size() && printed[i + 1] == '\n'))
      lines += printed[i];
  if (lines.empty()) return lines;
  int n = MultiByteToWideChar(CP_ACP, 0, lines.data(), static_cast<int>(lines.size()), nullptr, 0);
  std::wstring wide(static_cast<size_t>(n), L'\0');
  MultiByteToWideChar(CP_ACP, 0, lines.data(), static_cast<int>(lines.size()), &wide[0], n);
  int m = WideCharToMultiByte(CP_UTF8, 0, wide.data(), n, nullptr, 0, nullptr, nullptr);
  std::string utf8(static_cast<size_t>(m), '\0');
  WideCharToMultiByte(CP_UTF8, 0, wide.data(), n, &utf8[0], m, nullptr, nullptr);
  return utf8;
}

// Runs the host with the arguments as given (no shell), both streams into
// pipes, each read by a thread of its own so neither can fill up.
HostRun run_host(const std::vector<std::string>& args, const HostEnv& env = {}) {
  std::wstring command = quoted(widen(VORLIN_PATH));
  for (const std::string& arg : args) command += L" " + quoted(widen(arg));
  std::wstring block;
  for (const std::string& entry : child_environment(env)) block += widen(entry) + L'\0';
  block += L'\0';
  SECURITY_ATTRIBUTES inherit{sizeof inherit, nullptr, TRUE};
  HANDLE out_read, out_write, err_read, err_write;
  if (!CreatePipe(&out_read, &out_write, &inherit, 0) ||
      !CreatePipe(&err_read, &err_write, &inherit, 0))
    abort();
  SetHandleInformation(out_read, HANDLE_FLAG_INHERIT, 0);
  SetHandleInformation(err_read, HANDLE_FLAG_INHERIT, 0);
  HANDLE gone_read = nullptr, gone_write = nullptr;
  if (env.reader_gone) {
    if (!CreatePipe(&gone_read, &gone_write, &inherit, 0)) abort();
    CloseHandle(gone_read);
  }
  HANDLE nul = CreateFileW(L"NUL", GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, &inherit,
                           OPEN_EXISTING, 0, nullptr);
  STARTUPINFOW start{};
  start.cb = sizeof start;
  start.dwFlags = STARTF_USESTDHANDLES;
  start.hStdInput = nul;
  start.hStdOutput = env.reader_gone ? gone_write : out_write;
  start.hStdError = env.merged ? out_write : err_write;
  PROCESS_INFORMATION child{};
  std::wstring cwd = widen(env.cwd);
  if (!CreateProcessW(nullptr, &command[0], nullptr, nullptr, TRUE, CREATE_UNICODE_ENVIRONMENT,
                      &block[0], cwd.empty() ? nullptr : cwd.c_str(), &start, &child))
    abort();
  CloseHandle(out_write);
  CloseHandle(err_write);
  CloseHandle(nul);
  if (gone_write != nullptr) CloseHandle(gone_write);
  HostRun run{-1, "", ""};
  std::thread out_reader(read_pipe, out_read, &run.out);
  read_pipe(err_read, &run.err);
  out_reader.join();
  DWORD code = 0;
  WaitForSingleObject(child.hProcess, INFINITE);
  if (GetExitCodeProcess(child.hProcess, &code)) run.status = static_cast<int>(code);
  for (HANDLE h : {out_read, err_read, child.hProcess, child.hThread}) CloseHandle(h);
  run.out = as_text(run.out);
  run.err = as_text(run.err);
  return run;
}

// The first file name the host tries for a module.
std::string module_file(const std::string& module) { return module + ".dll"; }
// A path with the platform's own separators, as the host prints a full path.
std::string native_path(std::string path) {
  for (char& c : path)
    if (c == '/') c = '\\';
  return path;
}
// A directory's full path as the host prints it, and the separator it adds.
std::string full_path(const std::string& path) {
  char full[MAX_PATH];
  DWORD n = GetFullPathNameA(path.c_str(), MAX_PATH, full, nullptr);
  return n > 0 && n < MAX_PATH ? std::string(full, n) : path;
}
const char kSeparator[] = "\\";
// The child's limits and named pipes are POSIX matters.
constexpr bool kCanLimitChild = false;
constexpr bool kHasFifos = false;
constexpr bool kRoot = false;
// The longest argument a command line carries comfortably.
constexpr size_t kLongArgument = 20000;
bool make_dir(const std::string& path) { return CreateDirectoryA(path.c_str(), nullptr) != 0; }
void make_read_only(const std::string&) {}
std::string start_short_reader(const std::string&, size_t) { return "no named pipes"; }
void finish_short_reader() {}
#else
// A byte that is no character in the locale's encoding reaches the host as it is.
constexpr bool kArgumentsCanBeUndecodable = true;

// Sets the run's limits in the forked child; false when one cannot be had.
// Only system calls here: the child of a fork runs nothing else.
bool limit_child(const HostEnv& env, const std::string& fill) {
  if (env.no_file_growth) {
    struct rlimit none = {0, 0};
    if (signal(SIGXFSZ, SIG_IGN) == SIG_ERR || setrlimit(RLIMIT_FSIZE, &none) != 0) return false;
  }
  if (env.memory_mib > 0) {
    rlim_t bytes = static_cast<rlim_t>(env.memory_mib) << 20;
    struct rlimit limit = {bytes, bytes};
    if (setrlimit(RLIMIT_AS, &limit) != 0) return false;
  }
  if (!env.full_tmpfs.empty()) {
    // A mount namespace of the child's own: the tmpfs goes with the host.
    if (unshare(CLONE_NEWNS) != 0 ||
        mount("none", "/", "none", MS_REC | MS_PRIVATE, nullptr) != 0 ||
        mount("tmpfs", env.full_tmpfs.c_str(), "tmpfs", 0, "size=4k") != 0)
      return false;
    int fd = open(fill.c_str(), O_WRONLY | O_CREAT, 0600);
    static const char block[4096] = {};
    while (fd >= 0 && write(fd, block, sizeof block) > 0) {
    }
    if (fd < 0 || errno != ENOSPC) return false;
    close(fd);
  }
  return true;
}

std::vector<char*> pointers(std::vector<std::string>& texts) {
  std::vector<char*> result;
  for (std::string& t : texts) result.push_back(&t[0]);
  result.push_back(nullptr);
  return result;
}

// Runs the host with the arguments as given (no shell), both streams into pipes.
HostRun run_host(const std::vector<std::string>& args, const HostEnv& env = {}) {
  std::vector<std::string> argv_texts{VORLIN_PATH};
  argv_texts.insert(argv_texts.end(), args.begin(), args.end());
  std::vector<std::string> env_texts = child_environment(env);
  std::vector<char*> argv = pointers(argv_texts), envp = pointers(env_texts);
  const std::string fill = env.full_tmpfs + "/fill";
  int out_pipe[2], err_pipe[2], gone[2];
  if (pipe(out_pipe) != 0 || pipe(err_pipe) != 0 || pipe(gone) != 0) abort();
  close(gone[0]);  // the reader that has gone away
  pid_t pid = fork();
  if (pid < 0) abort();
  if (pid == 0) {
    dup2(env.reader_gone ? gone[1] : out_pipe[1], 1);
    dup2(env.merged ? out_pipe[1] : err_pipe[1], 2);
    for (int fd : {out_pipe[0], out_pipe[1], err_pipe[0], err_pipe[1], gone[1]}) close(fd);
    if (!env.cwd.empty() && chdir(env.cwd.c_str()) != 0) _exit(127);
    if (!limit_child(env, fill)) _exit(kCannotLimit);
    execve(argv[0], argv.data(), envp.data());
    _exit(127);
  }
  close(out_pipe[1]);
  close(err_pipe[1]);
  close(gone[1]);
  HostRun run{-1, "", ""};
  struct pollfd fds[2] = {{out_pipe[0], POLLIN, 0}, {err_pipe[0], POLLIN, 0}};
  std::string* sinks[2] = {&run.out, &run.err};
  for (int open_pipes = 2; open_pipes > 0;) {
    if (poll(fds, 2, -1) < 0) abort();
    for (int i = 0; i < 2; ++i) {
      if (fds[i].fd < 0 || fds[i].revents == 0) continue;
      char chunk[4096];
      ssize_t got = read(fds[i].fd, chunk, sizeof chunk);
      if (got > 0) {
        sinks[i]->append(chunk, static_cast<size_t>(got));
      } else {
        close(fds[i].fd);
        fds[i].fd = -1;
        --open_pipes;
      }
    }
  }
  int raw = 0;
  waitpid(pid, &raw, 0);
  run.status = WIFEXITED(raw) ? WEXITSTATUS(raw) : -1;
  return run;
}

// The first file name the host tries for a module: the versioned one.
std::string module_file(const std::string& module) { return "lib" + module + ".so.1"; }
std::string native_path(const std::string& path) { return path; }
std::string full_path(const std::string& path) {
  char full[PATH_MAX];
  return realpath(path.c_str(), full) != nullptr ? std::string(full) : path;
}
const char kSeparator[] = "/";
constexpr bool kCanLimitChild = true;
constexpr bool kHasFifos = true;
const bool kRoot = geteuid() == 0;
constexpr size_t kLongArgument = 100000;  // more than a pipe holds
bool make_dir(const std::string& path) { return mkdir(path.c_str(), 0755) == 0; }
void make_read_only(const std::string& dir) { chmod(dir.c_str(), 0555); }

// A FIFO at path whose reader takes the first `keep` bytes and goes away,
// as `| head -c` does. Its thread waits up to a minute for a writer.
std::thread short_reader;
std::string start_short_reader(const std::string& path, size_t keep) {
  if (mkfifo(path.c_str(), 0600) != 0) return "mkfifo failed";
  // Present before any writer, and not inherited: the host must not be a reader itself.
  int fd = open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) return "cannot open the FIFO";
  short_reader = std::thread([fd, keep] {
    std::vector<char> chunk(keep);
    size_t got = 0;
    struct pollfd in = {fd, POLLIN, 0};
    while (got < keep && poll(&in, 1, 60000) == 1) {
      ssize_t n = read(fd, chunk.data(), keep - got);
      if (n <= 0 && !(n < 0 && errno == EAGAIN)) break;
      if (n > 0) got += static_cast<size_t>(n);
    }
    close(fd);
  });
  return "";
}
void finish_short_reader() {
  if (short_reader.joinable()) short_reader.join();
}
#endif

bool ends_with(const std::string& text, const std::string& end) {
  return text.size() >= end.size() && text.compare(text.size() - end.size(), end.size(), end) == 0;
}
std::string dir_of(const std::string& path) { return path.substr(0, path.rfind('/')); }
const char kTry[] = ". Try 'vorlin --help'.\n";

class Host : public ::testing::Test {
 protected:
  std::string dir = make_temp_dir();
  std::string input = dir + "/in.bmp";
  void SetUp() override {
    BmpFields f;
    f.width = 4;
    f.height = 3;
    write_file(input, build_bmp(f, {}, random_bytes(48, 5)));
  }
};

TEST_F(Host, BadCommandLinesGetOneLineAndNoModuleIsCalled) {
  // A missing module directory proves no module was even looked for.
  HostEnv nowhere = c_locale();
  nowhere.set = {"VORLIN_MODULE_DIR=/nonexistent/vorlin"};
  HostEnv utf8 = nowhere;
  utf8.set.push_back("LC_ALL=C.UTF-8");
  const std::string integer = " is not a 32-bit integer";
  const std::string query = " is not a query the probe answers: height (1), width (2) or bits (3)";
  const struct {
    std::vector<std::string> args;
    std::string message;
    bool undecodable = false;  // an argument no locale of the platform reads
    bool in_utf8 = false;      // in C.UTF-8 rather than the C locale
  } cases[] = {
      {{}, "vorlin: no command given"},
      {{"shrink", "a", "b", "1", "1"}, "vorlin: unknown command 'shrink'"},
      {{"resize", "a", "b", "10"}, "vorlin: resize takes 4 arguments, got 3"},
      {{"resize", "a", "b", "10", "ten"}, "vorlin: 'ten'" + integer},
      {{"resize", "a", "b", "10", "12x"}, "vorlin: '12x'" + integer},
      {{"resize", "a", "b", "2147483648", "1"}, "vorlin: '2147483648'" + integer},
      {{"resize", "a", "b", "1", "-2147483649"}, "vorlin: '-2147483649'" + integer},
      {{"resize", "a", "b", "99999999999999999999", "1"},
       "vorlin: '99999999999999999999'" + integer},
      // Plain decimal only: nothing before or after the sign and digits.
      {{"resize", "a", "b", " 5", "1"}, "vorlin: ' 5'" + integer},
      {{"resize", "a", "b", "\t5", "1"}, "vorlin: '\\t5'" + integer},
      {{"resize", "a", "b", "5 ", "1"}, "vorlin: '5 '" + integer},
      {{"resize", "a", "b", "5\n", "1"}, "vorlin: '5\\n'" + integer},
      {{"resize", "a", "b", "+", "1"}, "vorlin: '+'" + integer},
      {{"resize", "a", "b", "-", "1"}, "vorlin: '-'" + integer},
      {{"resize", "a", "b", "0x10", "1"}, "vorlin: '0x10'" + integer},
      {{"resize", "a", "b", "+-5", "1"}, "vorlin: '+-5'" + integer},
      {{"erode", "a", "b"}, "vorlin: erode takes 3 arguments, got 2"},
      {{"erode", "a", "b", ""}, "vorlin: ''" + integer},
      {{"probe", "a", "depth"}, "vorlin: 'depth'" + query},
      // Only the three queries the probe answers; any other number would be 999.
      {{"probe", "a", "4"}, "vorlin: '4'" + query},
      {{"probe", "a", "0"}, "vorlin: '0'" + query},
      {{"probe", "a", "-1"}, "vorlin: '-1'" + query},
      {{"probe", "a", " 2"}, "vorlin: ' 2'" + query},
      {{"--version", "x"}, "vorlin: --version takes no arguments"},
      {{"version", "x"}, "vorlin: version takes no arguments"},
      {{"demo", "a", "b"}, "vorlin: demo takes at most one directory"},
      {{"help", "a", "b"}, "vorlin: help takes at most one command"},
      {{"help", "shrink"}, "vorlin: unknown command 'shrink'"},
      // Control characters (and the backslash) are escaped: one line each.
      {{"shrink\tnow\n"}, "vorlin: unknown command 'shrink\\tnow\\n'"},
      {{"resize", "a", "b", "1", "\x1b[31m\r\x7f"}, "vorlin: '\\x1b[31m\\r\\x7f'" + integer},
      {{"erode", "a", "b", "1\\n"}, "vorlin: '1\\\\n'" + integer},
      // Valid neither in the C locale's ASCII nor in UTF-8; shown byte by byte.
      {{"probe", "a\xff.bmp", "width"},
       "vorlin: 'a\\xff.bmp' is valid neither in the locale's encoding (ANSI_X3.4-1968) nor in "
       "UTF-8",
       true},
      {{"resize", "a", "\xed\xa0\x80", "1", "1"},  // a UTF-16 surrogate written as UTF-8
       "vorlin: '\\xed\\xa0\\x80' is valid neither in the locale's encoding (ANSI_X3.4-1968) nor "
       "in UTF-8",
       true},
      {{"probe", "\xf4\x90\x80\x80", "width"},  // above U+10FFFF
       "vorlin: '\\xf4\\x90\\x80\\x80' is valid neither in the locale's encoding (ANSI_X3.4-1968) "
       "nor in UTF-8",
       true},
      // The locale's own decoder takes these; they are no characters all the same.
      {{"probe", "x\xf4\x90\x80\x80", "width"},
       "vorlin: 'x\\xf4\\x90\\x80\\x80' is not valid in the locale's encoding (UTF-8)",
       true,
       true},
      {{"erode", "\xf8\x88\x80\x80\x80", "b", "1"},
       "vorlin: '\\xf8\\x88\\x80\\x80\\x80' is not valid in the locale's encoding (UTF-8)",
       true,
       true},
      {{"demo", "\xed\xa0\x80"},
       "vorlin: '\\xed\\xa0\\x80' is not valid in the locale's encoding (UTF-8)",
       true,
       true},
  };
  // qemu's big-endian guests cannot read the machine's locale files (they
  // are stored in its byte order), so the host gets no C.UTF-8 there either.
  const char* current = setlocale(LC_CTYPE, nullptr);
  const std::string saved = current != nullptr ? current : "C";
  const bool has_utf8_locale = setlocale(LC_CTYPE, "C.UTF-8") != nullptr;
  setlocale(LC_CTYPE, saved.c_str());
  for (const auto& c : cases) {
    if (c.undecodable && !kArgumentsCanBeUndecodable) continue;
    std::string shown = c.args.empty() ? "(none)" : c.args[0] + " ...";
    if (c.in_utf8 && !has_utf8_locale) {
      printf("left out, %s: no C.UTF-8 locale here\n", shown.c_str());
      continue;
    }
    HostRun run = run_host(c.args, c.in_utf8 ? utf8 : nowhere);
    EXPECT_EQ(run.status, 2) << shown;
    EXPECT_EQ(run.err, c.message + kTry) << shown;
    EXPECT_EQ(run.out, "") << shown;
  }
}

TEST_F(Host, HelpAfterAnyCommandPrintsItsUsageAndDoesNothingElse) {
  HostEnv nowhere = c_locale();
  nowhere.set = {"VORLIN_MODULE_DIR=/nonexistent/vorlin"};
  const std::string overview = "Usage:\n  vorlin resize IN OUT WIDTH HEIGHT   resize a 2, 8";
  const struct {
    std::vector<std::string> args;
    std::string start;  // of standard output
  } cases[] = {
      {{"--help"}, overview},
      {{"-h"}, overview},
      {{"help"}, overview},
      {{"help", "--help"}, "Usage: vorlin help [COMMAND]\n"},
      {{"resize", "--help"}, "Usage: vorlin resize IN OUT WIDTH HEIGHT\nResizes IN"},
      {{"resize", "a", "b", "-h"}, "Usage: vorlin resize IN OUT WIDTH HEIGHT\n"},
      {{"help", "resize"}, "Usage: vorlin resize IN OUT WIDTH HEIGHT\n"},
      {{"--help", "erode"}, "Usage: vorlin erode IN OUT PASSES\nLoads IN"},
      {{"erode", "-h"}, "Usage: vorlin erode IN OUT PASSES\n"},
      {{"probe", "--help"}, "Usage: vorlin probe IN height|width|bits\nPrints IN's height"},
      {{"demo", "--help"}, "Usage: vorlin demo [DIR]\nDraws sample pictures"},
      {{"demo", "-h"}, "Usage: vorlin demo [DIR]\n"},
      {{"help", "demo"}, "Usage: vorlin demo [DIR]\n"},
      {{"--version", "--help"}, "Usage: vorlin version\n"},
      {{"help", "--version"}, "Usage: vorlin version\n"},
      {{"version"},
       "vorlin 1.0.0.1\nVorlinScale: not found in " + full_path("/nonexistent/vorlin") + "\n"},
  };
  nowhere.cwd = dir + "/empty";  // where `demo --help` would have made its directory
  make_dir(nowhere.cwd);
  for (const auto& c : cases) {
    std::string shown = c.args[0] + (c.args.size() > 1 ? " " + c.args[1] : "");
    HostRun run = run_host(c.args, nowhere);
    EXPECT_EQ(run.status, 0) << shown;
    EXPECT_EQ(run.out.substr(0, c.start.size()), c.start) << shown << ":\n" << run.out;
    EXPECT_EQ(run.err, "") << shown;
  }
  // `demo --help` makes no directory named --help (nor anything else).
  EXPECT_EQ(list_dir(nowhere.cwd), std::vector<std::string>{});
}

TEST_F(Host, MessagesKeepTheirOrderThroughAPipe) {
  // Both streams into one pipe: the module's progress (standard output), its
  // error (standard error) and the host's verdict, in the order printed.
  std::string out = dir + "/none/out.bmp";
  const struct {
    std::vector<std::string> args;
    std::string start, end;
  } cases[] = {
      {{"resize", input, out, "8", "6"},
       "Loaded: " + input +
           " (4x3, 24-bit)\nResizing to: 8x6\nError: Could not open output file '" + out + "'\n",
       "'\nvorlin: resize failed (status 4): the result could not be written to the output\n"},
      {{"erode", input, out, "1"},
       "=== Bitmap Erosion Application (eVC 3.0 Safe) ===\n",
       "Error: Cannot create output file '" + out +
           "'\nvorlin: erode failed (status 1): no eroded picture was written; the module's lines "
           "above say why\n"},
      {{"probe", dir + "/none.bmp", "width"},
       "Error: Cannot open file '" + dir + "/none.bmp'\n",
       "'\nFailed to read BMP file information\n"},  // and no 999
  };
  HostEnv merged;
  merged.merged = true;
  for (const auto& c : cases) {
    HostRun run = run_host(c.args, merged);
    EXPECT_EQ(run.status, 1) << c.args[0];
    EXPECT_EQ(run.out.rfind(c.start, 0), 0u) << c.args[0] << ":\n" << run.out;
    EXPECT_TRUE(ends_with(run.out, c.end)) << c.args[0] << ":\n" << run.out;
  }
}

TEST_F(Host, AReaderThatGoesAwayFailsTheWriteAndDoesNotEndTheHost) {
  // A picture larger than a pipe holds, so the module is still writing when
  // the reader goes.
  BmpFields f;
  f.width = 600;
  f.height = 400;
  std::string big = dir + "/big.bmp";
  write_file(big, build_bmp(f, {}, random_bytes(test_row_size(600, 24) * 400, 9)));
  const std::string fifo = dir + "/fifo.bmp", out = dir + "/out.bmp";
  const std::string lost = "vorlin: cannot write to standard output";
  const struct {
    std::vector<std::string> args;
    bool to_fifo;  // the output is a FIFO whose reader takes 4 KiB and goes
    int status;
    std::string err_end;  // of standard error (the start on Windows, which names no reason)
  } cases[] = {
      {{"resize", big, fifo, "1200", "800"},
       true,
       1,
       "Error: Could not write output file '" + fifo +
           "'\nvorlin: resize failed (status 4): the result could not be written to the output\n"},
      {{"erode", big, fifo, "1"},
       true,
       1,
       "vorlin: erode failed (status 1): no eroded picture was written; the module's lines above "
       "say why\n"},
      // Standard output into a pipe nobody reads: the answer never arrived.
      {{"probe", input, "width"}, false, 5, lost + ": Broken pipe\n"},
      // The picture is written, its progress lines are lost.
      {{"resize", input, out, "8", "6"}, false, 5, lost + ": Broken pipe\n"},
      {{"--help"}, false, 5, lost + ": Broken pipe\n"},
  };
  for (const auto& c : cases) {
    if (c.to_fifo && !kHasFifos) continue;
    std::string shown = c.args[0] + (c.to_fifo ? " into a FIFO" : " with standard output gone");
    HostEnv env;
    env.reader_gone = !c.to_fifo;
    if (c.to_fifo) {
      ASSERT_EQ(start_short_reader(fifo, 4096), "") << shown;
    }
    HostRun run = run_host(c.args, env);
    if (c.to_fifo) finish_short_reader();
    remove(fifo.c_str());
    EXPECT_EQ(run.status, c.status) << shown << ": " << run.err;  // not killed by SIGPIPE
    if (kHasFifos) {
      EXPECT_TRUE(ends_with(run.err, c.err_end)) << shown << ":\n" << run.err;
    } else {
      EXPECT_EQ(run.err.rfind(lost, 0), 0u) << shown << ":\n" << run.err;
    }
  }
  EXPECT_EQ(get_le32(read_file(out), 18), 8u);
}

TEST_F(Host, ResizeShowsTheModulesOutputAndMapsItsStatus) {
  std::string out = dir + "/out.bmp";
  HostRun ok = run_host({"resize", input, out, "8", "6"});
  EXPECT_EQ(ok.status, 0);
  EXPECT_EQ(ok.out, "Loaded: " + input + " (4x3, 24-bit)\nResizing to: 8x6\nSaved: " + out +
                        " (8x6, 24-bit)\n");
  EXPECT_EQ(ok.err, "");
  EXPECT_EQ(get_le32(read_file(out), 18), 8u);

  // Palettised inputs: the result's file carries the palette too.
  BmpFields eight;
  eight.width = 4;
  eight.height = 2;
  eight.bits_per_pixel = 8;
  std::string gray = dir + "/gray.bmp", sixteen = dir + "/sixteen.bmp", two = dir + "/two.bmp";
  write_file(gray, build_bmp(eight, Bytes(1024, 0x40), Bytes(8, 1)));  // 256 colours (0: all)
  eight.colors_used = 16;
  write_file(sixteen, build_bmp(eight, Bytes(64, 0x40), Bytes(8, 1)));
  BmpFields quarter = eight;
  quarter.bits_per_pixel = 2;
  quarter.colors_used = 0;  // 4 colours
  write_file(two, build_bmp(quarter, Bytes(16, 0x40), Bytes(8, 1)));
  const std::string failed = "vorlin: resize failed (status ";
  const std::string limit = " bytes, over the BMP file's 4 GiB limit (4294967295 bytes)\n";
  const struct {
    std::vector<std::string> args;
    std::string err_end;
    long memory_mib = 0;  // the host's address space, when not 0
  } cases[] = {
      {{"resize", input, out, "0", "6"},
       "Error: Width and height must be positive integers\n" + failed +
           "1): the width and height must each be 1 or more\n"},
      {{"resize", dir + "/none.bmp", out, "8", "6"},
       "'\n" + failed + "2): the input could not be loaded\n"},
      // 40000 x 3 bytes a row, 40000 rows: the module stops before it allocates.
      {{"resize", input, out, "40000", "40000"},
       "Error: Memory allocation failed for image data\n" + failed +
           "3): the result cannot be made: a 40000x40000 24-bit BMP needs 4800000054" + limit},
      {{"resize", input, out, "2147483647", "2147483647"},
       failed +
           "3): the result cannot be made: a 2147483647x2147483647 24-bit BMP needs "
           "13835058048839712822" +
           limit},
      {{"resize", gray, out, "65536", "65536"},  // 1024 bytes of palette
       failed + "3): the result cannot be made: a 65536x65536 8-bit BMP needs 4294968374" + limit},
      {{"resize", sixteen, out, "65536", "65536"},  // 64 bytes of palette
       failed + "3): the result cannot be made: a 65536x65536 8-bit BMP needs 4294967414" + limit},
      {{"resize", two, out, "262144", "65536"},  // 65536 bytes a row, 16 bytes of palette
       failed + "3): the result cannot be made: a 262144x65536 2-bit BMP needs 4294967366" + limit},
      // Within the limit but not within the host's memory: the call streams its
      // rows, so what it cannot hold is one result row.
      {{"resize", input, out, "1000000000", "1"},
       failed + "3): the result could not be made: not enough memory for a 1000000000x1 24-bit BMP "
                "(3000000054 bytes)\n",
       256},
  };
  for (const auto& c : cases) {
    std::string shown = c.args[1] + " to " + c.args[3] + "x" + c.args[4];
    HostEnv env;
    env.memory_mib = c.memory_mib;
    if (c.memory_mib != 0 && !kMemoryLimitHolds) continue;
    HostRun run = run_host(c.args, env);
    if (c.memory_mib != 0 && run.out.rfind("Loaded: ", 0) != 0) {
      // A sanitizer's or valgrind's host cannot start in so little address space.
      printf("[  SKIPPED ] %s: the host does not start within %ld MiB\n", shown.c_str(),
             c.memory_mib);
      continue;
    }
    EXPECT_EQ(run.status, 1) << shown;
    EXPECT_TRUE(ends_with(run.err, c.err_end)) << shown << ":\n" << run.err;
  }
}

TEST_F(Host, ProbeTellsAFailureFromAStoredValue) {
  // A real 999-pixel-wide BMP answers 999 without a message: that is its width.
  BmpFields wide;
  wide.width = 999;
  wide.height = 1;
  std::string wide_bmp = dir + "/wide.bmp";
  write_file(wide_bmp, build_bmp(wide, {}, Bytes(test_row_size(999, 24), 0x80)));
  std::string text = dir + "/notes.txt";
  write_file(text, Bytes{'#', ' ', 'V', 'o', 'r', 'l', 'i', 'n', '\n'});
  // A message longer than a pipe holds comes through whole.
  std::string long_name = dir + "/" + std::string(kLongArgument, 'x');
  const std::string failed = "Failed to read BMP file information\n";
  const struct {
    std::string path, query;
    int status;
    std::string out, err;
  } cases[] = {
      {input, "width", 0, "4\n", ""},
      {input, "height", 0, "3\n", ""},
      {input, "bits", 0, "24\n", ""},
      {input, "2", 0, "4\n", ""},
      {input, "3", 0, "24\n", ""},
      {wide_bmp, "width", 0, "999\n", ""},
      {text, "width", 1, "", "Error: Invalid BMP file signature\n" + failed},
      {dir + "/none.bmp", "width", 1, "",
       "Error: Cannot open file '" + dir + "/none.bmp'\n" + failed},
      {long_name, "bits", 1, "", "Error: Cannot open file '" + long_name + "'\n" + failed},
  };
  // Where the host's temporary files would go must not matter: the messages
  // go through a pipe, so neither a missing, a read-only nor a full place for
  // them stops or fools the probe.
  const std::string missing = dir + "/missing", read_only = dir + "/read-only",
                    full = dir + "/full";
  make_dir(read_only);
  make_read_only(read_only);
  make_dir(full);
  const struct {
    std::string name, tmpdir;  // tmpdir empty: as the test runs
    bool posix_only = false, no_file_growth = false, full_tmpfs = false;
  } places[] = {
      {"as it is", ""},
      {"missing", missing},
      {"read-only", read_only, true},
      {"/proc, where no file can be made", "/proc", true},
      {"a full tmpfs", full, true, false, true},
      {"no file may grow", dir, true, true},
  };
  for (const auto& place : places) {
    if (place.posix_only && !kCanLimitChild) continue;
    HostEnv env;
    if (!place.tmpdir.empty())
      env.set = {"TMPDIR=" + place.tmpdir, "TMP=" + place.tmpdir, "TEMP=" + place.tmpdir};
    env.no_file_growth = place.no_file_growth;
    if (place.full_tmpfs) env.full_tmpfs = full;
    // A host that cannot even print its usage there (valgrind's own files
    // go to TMPDIR) or a limit the test cannot set leaves the place untried.
    HostRun start = run_host({"--help"}, env);
    EXPECT_TRUE(start.status == 0 || !place.tmpdir.empty()) << start.err;
    if (start.status != 0) {
      printf(
          "[  SKIPPED ] TMPDIR %s: %s\n", place.name.c_str(),
          start.status == kCannotLimit
              ? "cannot mount a tmpfs here (needs root and mount namespaces)"
              : ("no program starts there: " + start.err.substr(0, start.err.find('\n'))).c_str());
      continue;
    }
    for (const auto& c : cases) {
      std::string shown = "TMPDIR " + place.name + ": " + c.path.substr(0, 80) + " " + c.query;
      HostRun run = run_host({"probe", c.path, c.query}, env);
      EXPECT_EQ(run.status, c.status) << shown;
      EXPECT_EQ(run.out, c.out) << shown;
      EXPECT_EQ(run.err, c.err) << shown;  // passed through unchanged
    }
  }
  if (!kRoot && kCanLimitChild) {
    // Not for root, whom no permission stops: the read-only place really was one.
    EXPECT_FALSE(make_dir(read_only + "/x"));
  }
}

TEST_F(Host, NonAsciiPathsWorkWithoutALocale) {
  std::string in = dir + "/bild-\xc3\xa4\xe2\x82\xac.bmp";  // bild-ä€.bmp in UTF-8
  std::string out = dir +
                    "/gr\xc3\xb6\xc3\x9f"
                    "er.bmp";  // größer.bmp
  write_file(in, read_file(input));
  HostEnv plain_c = c_locale();
  plain_c.set = {"LC_ALL=C"};
  HostEnv utf8 = c_locale();
  utf8.set = {"LC_ALL=C.UTF-8"};
  for (const HostEnv& env : {c_locale(), plain_c, utf8}) {
    std::string shown = env.set.empty() ? "LANG unset" : env.set[0];
    HostRun resize = run_host({"resize", in, out, "8", "6"}, env);
    EXPECT_EQ(resize.status, 0) << shown << ": " << resize.err;
    EXPECT_EQ(resize.out, "Loaded: " + in + " (4x3, 24-bit)\nResizing to: 8x6\nSaved: " + out +
                              " (8x6, 24-bit)\n")
        << shown;
    HostRun probe = run_host({"probe", out, "width"}, env);
    EXPECT_EQ(probe.status, 0) << shown;
    EXPECT_EQ(probe.out, "8\n") << shown;
  }
}

TEST_F(Host, ErodeRunsTheModuleAndReportsItsFailures) {
  std::string out = dir + "/eroded.bmp";
  HostRun ok = run_host({"erode", input, out, "2"});
  EXPECT_EQ(ok.status, 0);
  EXPECT_EQ(ok.out.rfind("=== Bitmap Erosion Application (eVC 3.0 Safe) ===\n\n", 0), 0u);
  EXPECT_NE(ok.out.find("  Pass 2 complete\nSaving: " + out + "\n"), std::string::npos);
  EXPECT_EQ(ok.err, "");
  EXPECT_EQ(get_le16(read_file(out), 28), 8u);

  HostRun bad = run_host({"erode", input, out, "101"});
  EXPECT_EQ(bad.status, 1);
  EXPECT_NE(bad.out.find("Error: Erosion passes must be between 1 and 100\n"), std::string::npos);
  EXPECT_EQ(bad.err,
            "vorlin: erode failed (status 1): no eroded picture was written; the module's lines "
            "above say why\n");
}

TEST_F(Host, VersionShowsTheModuleFilesAndAFileThatWillNotLoadIsTheHostsFailure) {
  const std::string modules = dir_of(VORLINSCALE_PATH), none = dir + "/none",
                    broken = make_temp_dir();
  // The module directory through a detour: printed as its real path.
  const std::string detour = modules + "/../" + modules.substr(modules.rfind('/') + 1);
  write_file(broken + "/" + module_file("VorlinProbe"), Bytes{'n', 'o', 't', '\n'});
  // Each module file as --version prints it: the directory's full path, one
  // kind of separator, the versioned name where there is one.
  auto files = [](const std::string& in) {
    const std::string at = full_path(in) + kSeparator;
    return "VorlinScale: " + at + module_file("VorlinScale") + "\nVorlinMorph: " + at +
           module_file("VorlinMorph") + "\nVorlinProbe: " + at + module_file("VorlinProbe") + "\n";
  };
  const std::string broken_file = full_path(broken) + kSeparator + module_file("VorlinProbe");
  // A module that loads beside one that does not: the demo runs what it has.
  const std::string mixed = make_temp_dir();
  write_file(mixed + "/" + module_file("VorlinScale"), read_file(VORLINSCALE_PATH));
  write_file(mixed + "/" + module_file("VorlinProbe"), Bytes{'n', 'o', 't', '\n'});
  const std::string mixed_file = full_path(mixed) + kSeparator + module_file("VorlinProbe");
  const std::string all = "VorlinScale found, VorlinMorph found, VorlinProbe found",
                    nothing = "VorlinScale missing, VorlinMorph missing, VorlinProbe missing";
  const struct {
    std::string module_dir;  // empty: VORLIN_MODULE_DIR unset, the host's own directory
    std::string version;     // --version's output after its first line (up to the loader's reason)
    int probe_status;        // of `vorlin probe IN width`
    std::string probe_err;   // its start
    int demo_status;         // of `vorlin demo DIR`
    std::string demo_found;  // the demo's line of modules
    std::string demo_err;    // its start
  } cases[] = {
      {modules, files(modules), 0, "", 0, all, ""},
      {detour, files(modules), 0, "", 0, all, ""},
      // The host's own directory, where the build puts the modules beside it
      // (VORLIN_PATH itself is the emulator's wrapper in a qemu build).
      {"", files(modules), 0, "", 0, all, ""},
      {none, "VorlinScale: not found in " + full_path(none) + "\n", 3,
       "vorlin: module VorlinProbe not found in: " + full_path(none) + "\n", 3, nothing,
       "vorlin: module VorlinScale not found in: " + full_path(none) + "\n"},
      {broken,
       "VorlinScale: not found in " + full_path(broken) + "\nVorlinMorph: not found in " +
           full_path(broken) + "\nVorlinProbe: cannot be loaded: " + broken_file + ": ",
       5, "vorlin: cannot load module VorlinProbe: " + broken_file + ": ", 5, nothing,
       "vorlin: cannot load module VorlinProbe: " + broken_file + ": "},
      {mixed,
       "VorlinScale: " + full_path(mixed) + kSeparator + module_file("VorlinScale") +
           "\nVorlinMorph: not found in " + full_path(mixed) +
           "\nVorlinProbe: cannot be loaded: " + mixed_file + ": ",
       5, "vorlin: cannot load module VorlinProbe: " + mixed_file + ": ", 5,
       "VorlinScale found, VorlinMorph missing, VorlinProbe missing",
       "vorlin: cannot load module VorlinProbe: " + mixed_file + ": "},
  };
  int run = 0;
  for (const auto& c : cases) {
    HostEnv env;
    if (c.module_dir.empty()) {
      env.unset = {"VORLIN_MODULE_DIR"};
    } else {
      env.set = {"VORLIN_MODULE_DIR=" + c.module_dir};
    }
    for (const char* word : {"--version", "version"}) {
      HostRun version = run_host({word}, env);
      EXPECT_EQ(version.status, 0) << word;
      EXPECT_EQ(version.out.substr(0, 15 + c.version.size()), "vorlin 1.0.0.1\n" + c.version)
          << word << " with " << c.module_dir;
      EXPECT_EQ(version.out.find(".."), std::string::npos) << version.out;
    }
    HostRun probe = run_host({"probe", input, "width"}, env);
    EXPECT_EQ(probe.status, c.probe_status) << c.module_dir;
    EXPECT_EQ(probe.err.substr(0, c.probe_err.size()), c.probe_err) << c.module_dir;
    HostRun demo = run_host({"demo", dir + "/demo-" + std::to_string(run++)}, env);
    EXPECT_EQ(demo.status, c.demo_status) << c.module_dir;
    EXPECT_NE(demo.out.find("Modules: " + c.demo_found + "\n"), std::string::npos) << demo.out;
    EXPECT_EQ(demo.err.substr(0, c.demo_err.size()), c.demo_err) << c.module_dir;
    // With no module to run there is no demo; with one, all of it.
    EXPECT_EQ(demo.out.find("Demo finished: ") != std::string::npos, c.demo_found != nothing)
        << demo.out;
  }
}

TEST_F(Host, DemoEndsWithWhereThePicturesAreOrSaysWhyItCannotStart) {
  const std::string demo = native_path(dir + "/demo");  // the full path, as the host prints it
  HostRun ok = run_host({"demo", demo});
  EXPECT_EQ(ok.status, 0) << ok.err;
  EXPECT_NE(ok.out.find("Modules: VorlinScale found, VorlinMorph found, VorlinProbe found\n"),
            std::string::npos);
  EXPECT_TRUE(ends_with(ok.out, ", 0 failure(s).\nThe pictures are in " + demo + "\n")) << ok.out;
  EXPECT_EQ(get_le16(read_file(dir + "/demo/card-eroded-4.bmp"), 28), 8u);

  // A directory under a file cannot be made: the host's failure, not a module's.
  HostRun blocked = run_host({"demo", input + "/demo"});
  EXPECT_EQ(blocked.status, 5);
  EXPECT_EQ(blocked.err.rfind("vorlin: cannot create directory " + input + "/demo: ", 0), 0u);
}

}  // namespace
