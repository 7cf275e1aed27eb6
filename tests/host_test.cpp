// The vorlin host as a user runs it: usage errors before any module is
// called, exit statuses, message order into a pipe, the probe's failures told
// from its values, paths in the C locale, and the modules found beside it or
// through VORLIN_MODULE_DIR.
#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#if defined(_WIN32)
#include <windows.h>

#include <thread>
#else
#include <poll.h>
#include <sys/wait.h>
#include <unistd.h>

extern char** environ;
#endif

#include "test_support.h"

namespace {

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
};

// The locale variables gone: the C/POSIX locale, as on a minimal system.
HostEnv c_locale() { return {{}, {"LANG", "LC_ALL", "LC_CTYPE", "LANGUAGE"}}; }

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
    if (!(printed[i] == '\r' && i + 1 < printed.size() && printed[i + 1] == '\n')) lines += printed[i];
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
  if (!CreatePipe(&out_read, &out_write, &inherit, 0) || !CreatePipe(&err_read, &err_write, &inherit, 0))
    abort();
  SetHandleInformation(out_read, HANDLE_FLAG_INHERIT, 0);
  SetHandleInformation(err_read, HANDLE_FLAG_INHERIT, 0);
  HANDLE nul = CreateFileW(L"NUL", GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, &inherit,
                           OPEN_EXISTING, 0, nullptr);
  STARTUPINFOW start{};
  start.cb = sizeof start;
  start.dwFlags = STARTF_USESTDHANDLES;
  start.hStdInput = nul;
  start.hStdOutput = out_write;
  start.hStdError = env.merged ? out_write : err_write;
  PROCESS_INFORMATION child{};
  if (!CreateProcessW(nullptr, &command[0], nullptr, nullptr, TRUE, CREATE_UNICODE_ENVIRONMENT,
                      &block[0], nullptr, &start, &child))
    abort();
  CloseHandle(out_write);
  CloseHandle(err_write);
  CloseHandle(nul);
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
#else
// A byte that is no character in the locale's encoding reaches the host as it is.
constexpr bool kArgumentsCanBeUndecodable = true;

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
  int out_pipe[2], err_pipe[2];
  if (pipe(out_pipe) != 0 || pipe(err_pipe) != 0) abort();
  pid_t pid = fork();
  if (pid < 0) abort();
  if (pid == 0) {
    dup2(out_pipe[1], 1);
    dup2(env.merged ? out_pipe[1] : err_pipe[1], 2);
    for (int fd : {out_pipe[0], out_pipe[1], err_pipe[0], err_pipe[1]}) close(fd);
    execve(argv[0], argv.data(), envp.data());
    _exit(127);
  }
  close(out_pipe[1]);
  close(err_pipe[1]);
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

// The first file name the host tries for a module.
std::string module_file(const std::string& module) { return "lib" + module + ".so"; }
std::string native_path(const std::string& path) { return path; }
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
  const struct {
    std::vector<std::string> args;
    std::string message;
    bool undecodable = false;  // an argument no locale of the platform reads
  } cases[] = {
      {{}, "vorlin: no command given"},
      {{"shrink", "a", "b", "1", "1"}, "vorlin: unknown command 'shrink'"},
      {{"resize", "a", "b", "10"}, "vorlin: resize takes 4 arguments, got 3"},
      {{"resize", "a", "b", "10", "ten"}, "vorlin: 'ten' is not a 32-bit integer"},
      {{"resize", "a", "b", "10", "12x"}, "vorlin: '12x' is not a 32-bit integer"},
      {{"resize", "a", "b", "2147483648", "1"}, "vorlin: '2147483648' is not a 32-bit integer"},
      {{"erode", "a", "b"}, "vorlin: erode takes 3 arguments, got 2"},
      {{"erode", "a", "b", ""}, "vorlin: '' is not a 32-bit integer"},
      {{"probe", "a", "depth"}, "vorlin: 'depth' is not height, width, bits or a query number"},
      {{"--version", "x"}, "vorlin: --version takes no arguments"},
      {{"demo", "a", "b"}, "vorlin: demo takes at most one directory"},
      // Valid neither in the C locale's ASCII nor in UTF-8.
      {{"probe", "a\xff.bmp", "width"},
       "vorlin: 'a\xff.bmp' is valid neither in the locale's encoding (ANSI_X3.4-1968) nor in UTF-8",
       true},
      {{"resize", "a", "\xed\xa0\x80", "1", "1"},  // a UTF-16 surrogate written as UTF-8
       "vorlin: '\xed\xa0\x80' is valid neither in the locale's encoding (ANSI_X3.4-1968) nor in UTF-8",
       true},
  };
  for (const auto& c : cases) {
    if (c.undecodable && !kArgumentsCanBeUndecodable) continue;
    std::string shown = c.args.empty() ? "(none)" : c.args[0] + " ...";
    HostRun run = run_host(c.args, nowhere);
    EXPECT_EQ(run.status, 2) << shown;
    EXPECT_EQ(run.err, c.message + kTry) << shown;
    EXPECT_EQ(run.out, "") << shown;
  }
  HostRun help = run_host({"--help"}, nowhere);
  EXPECT_EQ(help.status, 0);
  EXPECT_EQ(help.out.rfind("Usage:\n", 0), 0u);
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
       "Loaded: " + input + " (4x3, 24-bit)\nResizing to: 8x6\nError: Could not open output file '" +
           out + "'\n",
       "'\nvorlin: resize failed (status 4)\n"},
      {{"erode", input, out, "1"}, "=== Bitmap Erosion Application (eVC 3.0 Safe) ===\n",
       "Error: Cannot create output file '" + out + "'\nvorlin: erode failed (status 1)\n"},
      {{"probe", dir + "/none.bmp", "width"}, "Error: Cannot open file '" + dir + "/none.bmp'\n",
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

TEST_F(Host, ResizeShowsTheModulesOutputAndMapsItsStatus) {
  std::string out = dir + "/out.bmp";
  HostRun ok = run_host({"resize", input, out, "8", "6"});
  EXPECT_EQ(ok.status, 0);
  EXPECT_EQ(ok.out, "Loaded: " + input + " (4x3, 24-bit)\nResizing to: 8x6\nSaved: " + out +
                        " (8x6, 24-bit)\n");
  EXPECT_EQ(ok.err, "");
  EXPECT_EQ(get_le32(read_file(out), 18), 8u);

  HostRun bad = run_host({"resize", input, out, "0", "6"});
  EXPECT_EQ(bad.status, 1);
  EXPECT_EQ(bad.err,
            "Error: Width and height must be positive integers\nvorlin: resize failed (status 1)\n");
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
      {input, "7", 0, "999\n", ""},  // an unknown query: 999 without a message
      {wide_bmp, "width", 0, "999\n", ""},
      {text, "width", 1, "", "Error: Invalid BMP file signature\n" + failed},
      {dir + "/none.bmp", "width", 1, "", "Error: Cannot open file '" + dir + "/none.bmp'\n" + failed},
  };
  for (const auto& c : cases) {
    HostRun run = run_host({"probe", c.path, c.query});
    EXPECT_EQ(run.status, c.status) << c.path << " " << c.query;
    EXPECT_EQ(run.out, c.out) << c.path << " " << c.query;
    EXPECT_EQ(run.err, c.err) << c.path << " " << c.query;  // passed through unchanged
  }
}

TEST_F(Host, NonAsciiPathsWorkWithoutALocale) {
  std::string in = dir + "/bild-\xc3\xa4\xe2\x82\xac.bmp";  // bild-ä€.bmp in UTF-8
  std::string out = dir + "/gr\xc3\xb6\xc3\x9f" "er.bmp";    // größer.bmp
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
  EXPECT_EQ(bad.err, "vorlin: erode failed (status 1)\n");
}

TEST_F(Host, VersionShowsTheModuleFilesAndAFileThatWillNotLoadIsTheHostsFailure) {
  const std::string modules = dir_of(VORLINSCALE_PATH), none = dir + "/none", broken = make_temp_dir();
  const std::string probe_file = "/" + module_file("VorlinProbe");
  write_file(broken + probe_file, Bytes{'n', 'o', 't', '\n'});
  const struct {
    std::string module_dir, version_line;  // --version's VorlinProbe line (up to the loader's reason)
    int probe_status;                      // of `vorlin probe IN width`
    std::string probe_err;                 // its start
  } cases[] = {
      {modules, "\nVorlinProbe: " + modules + probe_file + "\n", 0, ""},
      {none, "\nVorlinProbe: not found in " + none + "\n", 3,
       "vorlin: module VorlinProbe not found in: " + none + "\n"},
      {broken, "\nVorlinProbe: cannot be loaded: " + broken + probe_file + ": ", 5,
       "vorlin: cannot load module VorlinProbe: " + broken + probe_file + ": "},
  };
  for (const auto& c : cases) {
    HostEnv env;
    env.set = {"VORLIN_MODULE_DIR=" + c.module_dir};
    HostRun version = run_host({"--version"}, env);
    EXPECT_EQ(version.status, 0);
    EXPECT_EQ(version.out.rfind("vorlin 1.0.0.1\nVorlinScale: ", 0), 0u) << version.out;
    EXPECT_NE(version.out.find(c.version_line), std::string::npos) << version.out;
    HostRun probe = run_host({"probe", input, "width"}, env);
    EXPECT_EQ(probe.status, c.probe_status) << c.module_dir;
    EXPECT_EQ(probe.err.substr(0, c.probe_err.size()), c.probe_err) << c.module_dir;
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
