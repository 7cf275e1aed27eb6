// Shared test helpers; see test_support.h.
#include "test_support.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <cwchar>
#include <functional>

#if defined(_WIN32)
#include <fcntl.h>
#include <io.h>
#include <sys/stat.h>
#include <windows.h>
#else
#include <dirent.h>
#include <dlfcn.h>
#include <fcntl.h>
#include <ftw.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <unistd.h>

#include <csignal>
#include <thread>
#endif

// The few file-system and descriptor calls that differ between POSIX and
// Windows. Test paths are UTF-8 strings; on Windows they reach the file
// system as wide strings, so a name means the same file to the tests and
// to a module that opens it through the ANSI code page.
namespace {
#if defined(_WIN32)
std::string narrow(const std::wstring& wide) {
  int size = WideCharToMultiByte(CP_UTF8, 0, wide.c_str(), -1, nullptr, 0, nullptr, nullptr);
  if (size <= 0) abort();
  std::string text(static_cast<size_t>(size), '\0');
  WideCharToMultiByte(CP_UTF8, 0, wide.c_str(), -1, &text[0], size, nullptr, nullptr);
  text.resize(static_cast<size_t>(size) - 1);
  return text;
}

void remove_tree(const std::wstring& dir) {
  WIN32_FIND_DATAW entry;
  HANDLE find = FindFirstFileW((dir + L"\\*").c_str(), &entry);
  if (find != INVALID_HANDLE_VALUE) {
    do {
      std::wstring name = entry.cFileName;
      if (name == L"." || name == L"..") continue;
      std::wstring path = dir + L"\\" + name;
      if (entry.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
        remove_tree(path);
      } else {
        DeleteFileW(path.c_str());
      }
    } while (FindNextFileW(find, &entry));
    FindClose(find);
  }
  RemoveDirectoryW(dir.c_str());
}

std::string new_temp_dir() {
  static unsigned counter = 0;
  wchar_t base[MAX_PATH + 1];
  DWORD length = GetTempPathW(MAX_PATH + 1, base);
  if (length == 0 || length > MAX_PATH) abort();
  for (int attempt = 0; attempt < 1000; ++attempt) {
    std::wstring dir = std::wstring(base) + L"vorlin-test-" +
                       std::to_wstring(GetCurrentProcessId()) + L"-" + std::to_wstring(counter++);
    if (CreateDirectoryW(dir.c_str(), nullptr)) return narrow(dir);
    if (GetLastError() != ERROR_ALREADY_EXISTS) break;
  }
  fprintf(stderr, "cannot make a temporary directory\n");
  abort();
}

void remove_dir_tree(const std::string& dir) { remove_tree(widen(dir)); }

FILE* open_file(const std::string& path, const char* mode) {
  return _wfopen(widen(path).c_str(), widen(mode).c_str());
}

bool path_exists(const std::string& path) {
  return GetFileAttributesW(widen(path).c_str()) != INVALID_FILE_ATTRIBUTES;
}

// Binary, so the capture holds the bytes a module printed, not the CRT's
// line-end translation of them.
int open_capture_file(const std::string& path) {
  return _wopen(widen(path).c_str(), _O_WRONLY | _O_CREAT | _O_TRUNC | _O_BINARY,
                _S_IREAD | _S_IWRITE);
}
int dup_fd(int fd) { return _dup(fd); }
int dup2_fd(int from, int to) { return _dup2(from, to); }
int close_fd(int fd) { return _close(fd); }
void remove_file(const std::string& path) { _wunlink(widen(path).c_str()); }
#else
int remove_entry(const char* path, const struct stat*, int, struct FTW*) {
  return remove(path);
}

std::string new_temp_dir() {
  const char* base = getenv("TMPDIR");
  std::string pattern = std::string(base != nullptr && *base != '\0' ? base : "/tmp") +
                        "/vorlin-test-XXXXXX";
  std::vector<char> buffer(pattern.begin(), pattern.end());
  buffer.push_back('\0');
  if (mkdtemp(buffer.data()) == nullptr) {
    perror("mkdtemp");
    abort();
  }
  return std::string(buffer.data());
}

void remove_dir_tree(const std::string& dir) {
  nftw(dir.c_str(), remove_entry, 16, FTW_DEPTH | FTW_PHYS);
}

FILE* open_file(const std::string& path, const char* mode) { return fopen(path.c_str(), mode); }

bool path_exists(const std::string& path) {
  struct stat st;
  return stat(path.c_str(), &st) == 0;
}

int open_capture_file(const std::string& path) {
  return open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
}
int dup_fd(int fd) { return dup(fd); }
int dup2_fd(int from, int to) { return dup2(from, to); }
int close_fd(int fd) { return close(fd); }
void remove_file(const std::string& path) { unlink(path.c_str()); }
#endif

std::vector<std::string>& temp_dirs() {
  static std::vector<std::string> dirs;
  return dirs;
}

// Every directory made by make_temp_dir goes when the test program ends.
void remove_temp_dirs() {
  for (const std::string& dir : temp_dirs()) remove_dir_tree(dir);
}
}  // namespace

std::string make_temp_dir() {
  std::string dir = new_temp_dir();
  if (temp_dirs().empty()) atexit(remove_temp_dirs);
  temp_dirs().push_back(dir);
  return dir;
}

Bytes read_file(const std::string& path) {
  Bytes bytes;
  FILE* file = open_file(path, "rb");
  if (file == nullptr) return bytes;
  uint8_t chunk[65536];
  size_t got;
  while ((got = fread(chunk, 1, sizeof chunk, file)) > 0) {
    bytes.insert(bytes.end(), chunk, chunk + got);
  }
  fclose(file);
  return bytes;
}

void write_file(const std::string& path, const Bytes& bytes) {
  FILE* file = open_file(path, "wb");
  if (file == nullptr) {
    perror(path.c_str());
    abort();
  }
  if (!bytes.empty() && fwrite(bytes.data(), 1, bytes.size(), file) != bytes.size()) abort();
  fclose(file);
}

bool file_exists(const std::string& path) { return path_exists(path); }

std::string file_identity(const std::string& path) {
#if defined(_WIN32)
  HANDLE handle = CreateFileW(widen(path).c_str(), 0,
                              FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                              OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
  if (handle == INVALID_HANDLE_VALUE) return "";
  BY_HANDLE_FILE_INFORMATION info;
  BOOL found = GetFileInformationByHandle(handle, &info);
  CloseHandle(handle);
  if (!found) return "";
  return std::to_string(info.dwVolumeSerialNumber) + ":" + std::to_string(info.nFileIndexHigh) +
         ":" + std::to_string(info.nFileIndexLow);
#else
  struct stat st;
  if (stat(path.c_str(), &st) != 0) return "";
  return std::to_string(st.st_dev) + ":" + std::to_string(st.st_ino);
#endif
}

std::vector<std::string> list_dir(const std::string& dir) {
  std::vector<std::string> names;
#if defined(_WIN32)
  WIN32_FIND_DATAW entry;
  HANDLE find = FindFirstFileW((widen(dir) + L"\\*").c_str(), &entry);
  if (find != INVALID_HANDLE_VALUE) {
    do {
      std::string name = narrow(entry.cFileName);
      if (name != "." && name != "..") names.push_back(name);
    } while (FindNextFileW(find, &entry));
    FindClose(find);
  }
#else
  DIR* d = opendir(dir.c_str());
  if (d != nullptr) {
    while (struct dirent* entry = readdir(d)) {
      std::string name = entry->d_name;
      if (name != "." && name != "..") names.push_back(name);
    }
    closedir(d);
  }
#endif
  std::sort(names.begin(), names.end());
  return names;
}

std::wstring widen(const std::string& utf8) {
  std::wstring wide;
  for (size_t i = 0; i < utf8.size();) {
    unsigned char c = static_cast<unsigned char>(utf8[i]);
    uint32_t cp;
    size_t n;
    if (c < 0x80) { cp = c; n = 1; }
    else if ((c & 0xE0) == 0xC0) { cp = c & 0x1Fu; n = 2; }
    else if ((c & 0xF0) == 0xE0) { cp = c & 0x0Fu; n = 3; }
    else { cp = c & 0x07u; n = 4; }
    for (size_t k = 1; k < n && i + k < utf8.size(); ++k) {
      cp = (cp << 6) | (static_cast<unsigned char>(utf8[i + k]) & 0x3Fu);
    }
    i += n;
    if (sizeof(wchar_t) == 2 && cp >= 0x10000) {
      cp -= 0x10000;
      wide.push_back(static_cast<wchar_t>(0xD800 + (cp >> 10)));
      wide.push_back(static_cast<wchar_t>(0xDC00 + (cp & 0x3FF)));
    } else {
      wide.push_back(static_cast<wchar_t>(cp));
    }
  }
  return wide;
}

namespace {
int saved_out = -1;
int saved_err = -1;
std::string out_path;
std::string err_path;

int redirect(int fd, const std::string& path) {
  int saved = dup_fd(fd);
  int target = open_capture_file(path);
  if (saved < 0 || target < 0) abort();
  dup2_fd(target, fd);
  close_fd(target);
  return saved;
}

std::string slurp_and_remove(const std::string& path) {
  Bytes bytes = read_file(path);
  remove_file(path);
  return std::string(bytes.begin(), bytes.end());
}
}  // namespace

namespace {
// One directory for the capture files of a process, made at its first
// capture and removed with the other temporary directories at exit; a forked
// child that captures makes its own.
std::string capture_dir() {
  static std::string dir;
  static long owner = -1;
#if defined(_WIN32)
  long process = static_cast<long>(GetCurrentProcessId());
#else
  long process = static_cast<long>(getpid());
#endif
  if (dir.empty() || owner != process) {
    dir = make_temp_dir();
    owner = process;
  }
  return dir;
}
}  // namespace

void begin_capture() {
  const std::string dir = capture_dir();
  out_path = dir + "/out";
  err_path = dir + "/err";
  fflush(stdout);
  fflush(stderr);
  saved_out = redirect(1, out_path);
  saved_err = redirect(2, err_path);
}

Captured peek_capture() {
  Bytes out = read_file(out_path);
  Bytes err = read_file(err_path);
  return {std::string(out.begin(), out.end()), std::string(err.begin(), err.end())};
}

Captured end_capture() {
  fflush(stdout);
  fflush(stderr);
  dup2_fd(saved_out, 1);
  dup2_fd(saved_err, 2);
  close_fd(saved_out);
  close_fd(saved_err);
  return {slurp_and_remove(out_path), slurp_and_remove(err_path)};
}

namespace {
void put16(Bytes& b, uint32_t v) {
  b.push_back(static_cast<uint8_t>(v));
  b.push_back(static_cast<uint8_t>(v >> 8));
}
void put32(Bytes& b, uint32_t v) {
  put16(b, v & 0xFFFFu);
  put16(b, v >> 16);
}
}  // namespace

Bytes build_bmp(BmpFields f, const Bytes& palette, const Bytes& pixels, size_t gap) {
  size_t header = f.header_size > 40 ? f.header_size : 40;
  if (f.pixel_data_offset == 0) {
    f.pixel_data_offset = static_cast<uint32_t>(14 + header + palette.size() + gap);
  }
  if (f.file_size == 0) {
    f.file_size = static_cast<uint32_t>(14 + header + palette.size() + gap + pixels.size());
  }
  Bytes b;
  put16(b, f.signature);
  put32(b, f.file_size);
  put16(b, f.reserved1);
  put16(b, f.reserved2);
  put32(b, f.pixel_data_offset);
  put32(b, f.header_size);
  put32(b, static_cast<uint32_t>(f.width));
  put32(b, static_cast<uint32_t>(f.height));
  put16(b, f.planes);
  put16(b, f.bits_per_pixel);
  put32(b, f.compression);
  put32(b, f.image_size);
  put32(b, f.x_resolution);
  put32(b, f.y_resolution);
  put32(b, f.colors_used);
  put32(b, f.colors_important);
  b.resize(14 + header, 0);
  b.insert(b.end(), palette.begin(), palette.end());
  b.resize(b.size() + gap, 0xEE);
  b.insert(b.end(), pixels.begin(), pixels.end());
  return b;
}

size_t test_row_size(int32_t width, int bits_per_pixel) {
  return static_cast<size_t>((static_cast<int64_t>(width) * bits_per_pixel + 31) / 32 * 4);
}

uint32_t get_le16(const Bytes& bytes, size_t offset) {
  return static_cast<uint32_t>(bytes.at(offset)) | static_cast<uint32_t>(bytes.at(offset + 1)) << 8;
}

uint32_t get_le32(const Bytes& bytes, size_t offset) {
  return get_le16(bytes, offset) | get_le16(bytes, offset + 2) << 16;
}

Bytes random_bytes(size_t count, uint32_t seed) {
  Bytes bytes(count);
  uint32_t state = seed * 2654435761u + 1u;
  for (auto& value : bytes) {
    state ^= state << 13;
    state ^= state >> 17;
    state ^= state << 5;
    value = static_cast<uint8_t>(state >> 24);
  }
  return bytes;
}

int32_t random_size(std::mt19937& rng, int32_t max) {
  if (rng() % 5 == 0) {
    return static_cast<int32_t>(1 + rng() % static_cast<uint32_t>(max));
  }
  std::uniform_real_distribution<double> exponent(0.0, std::log(static_cast<double>(max) + 1.0));
  int32_t size = static_cast<int32_t>(std::exp(exponent(rng)));
  return size < 1 ? 1 : (size > max ? max : size);
}

void* load_module_symbol(const char* module_path, const char* symbol) {
#if defined(_WIN32)
  HMODULE handle = LoadLibraryW(widen(module_path).c_str());
  if (handle == nullptr) {
    fprintf(stderr, "LoadLibrary %s: error %lu\n", module_path, GetLastError());
    abort();
  }
  void* fn = reinterpret_cast<void*>(GetProcAddress(handle, symbol));
  if (fn == nullptr) {
    fprintf(stderr, "GetProcAddress %s: error %lu\n", symbol, GetLastError());
    abort();
  }
#else
  void* handle = dlopen(module_path, RTLD_NOW | RTLD_LOCAL);
  if (handle == nullptr) {
    fprintf(stderr, "dlopen %s: %s\n", module_path, dlerror());
    abort();
  }
  void* fn = dlsym(handle, symbol);
  if (fn == nullptr) {
    fprintf(stderr, "dlsym %s: %s\n", symbol, dlerror());
    abort();
  }
#endif
  return fn;
}

#if !defined(_WIN32)
namespace {

// The thread behind a FIFO, and whether its open has returned: until then a
// finish opens the other end again and again, since an open that comes before
// the thread's own would leave the thread waiting for ever.
struct FifoThread {
  std::thread thread;
  std::atomic<bool> opened{false};
};

// Makes the FIFO at path (removing any file there) and starts body on a
// thread of its own, which opens path with flags first and gives body the
// descriptor (or -1). The thread blocks the timer's signal, which goes to
// the module's side, and SIGPIPE: a write to a reader that has gone fails
// with EPIPE instead.
void start_fifo_thread(FifoFeed* feed, const std::string& path, int flags,
                       std::function<void(int)> body) {
  unlink(path.c_str());
  if (mkfifo(path.c_str(), 0600) != 0) {
    perror("mkfifo");
    abort();
  }
  feed->path = path;
  FifoThread* fifo = new FifoThread;
  sigset_t blocked, saved;
  sigemptyset(&blocked);
  sigaddset(&blocked, SIGALRM);
  sigaddset(&blocked, SIGPIPE);
  pthread_sigmask(SIG_BLOCK, &blocked, &saved);
  fifo->thread = std::thread([fifo, path, flags, body] {
    int fd = open(path.c_str(), flags);
    fifo->opened = true;
    body(fd);
  });
  pthread_sigmask(SIG_SETMASK, &saved, nullptr);
  feed->writer = fifo;
}

// Waits for the thread, opening the FIFO's other end with flags (never
// blocking) until the thread's own open has returned, then removes the FIFO.
void finish_fifo_thread(FifoFeed* feed, int flags) {
  FifoThread* fifo = static_cast<FifoThread*>(feed->writer);
  while (!fifo->opened) {
    int fd = open(feed->path.c_str(), flags | O_NONBLOCK);
    if (fd >= 0) close(fd);
    if (!fifo->opened) usleep(1000);
  }
  fifo->thread.join();
  delete fifo;
  feed->writer = nullptr;
  unlink(feed->path.c_str());
}

}  // namespace

void start_fifo_feed(FifoFeed* feed, const std::string& path, const Bytes& bytes, size_t chunk,
                     long pause_us) {
  start_fifo_thread(feed, path, O_WRONLY, [bytes, chunk, pause_us](int fd) {
    if (fd < 0) return;
    size_t at = 0;
    while (at < bytes.size()) {
      size_t n = bytes.size() - at < chunk ? bytes.size() - at : chunk;
      ssize_t written = write(fd, bytes.data() + at, n);
      if (written < 0 && errno == EINTR) continue;
      if (written <= 0) break;
      at += static_cast<size_t>(written);
      if (pause_us > 0) usleep(static_cast<useconds_t>(pause_us));
    }
    close(fd);
  });
}

// A feeder still waiting for a reader gets one, which leaves at once.
void finish_fifo_feed(FifoFeed* feed) { finish_fifo_thread(feed, O_RDONLY); }

void start_fifo_drain(FifoFeed* drain, const std::string& path, size_t chunk, long pause_us) {
  drain->drained = new Bytes();
  Bytes* into = drain->drained;
  start_fifo_thread(drain, path, O_RDONLY, [chunk, pause_us, into](int fd) {
    if (fd < 0) return;
    std::vector<uint8_t> buffer(chunk);
    for (;;) {
      ssize_t got = read(fd, buffer.data(), chunk);
      if (got < 0 && errno == EINTR) continue;
      if (got <= 0) break;
      into->insert(into->end(), buffer.begin(), buffer.begin() + got);
      if (pause_us > 0) usleep(static_cast<useconds_t>(pause_us));
    }
    close(fd);
  });
}

Bytes finish_fifo_drain(FifoFeed* drain) {
  // A drain still waiting for a writer gets one, which leaves at once (a
  // FIFO opened for both reading and writing does not wait on Linux).
  finish_fifo_thread(drain, O_RDWR);
  Bytes drained = *drain->drained;
  delete drain->drained;
  drain->drained = nullptr;
  return drained;
}

namespace {
std::atomic<long> signals_seen{0};
void count_signal(int) { ++signals_seen; }
}  // namespace

void start_interrupting(long interval_us) {
  struct sigaction action = {};
  action.sa_handler = count_signal;
  sigemptyset(&action.sa_mask);
  action.sa_flags = 0;  // no SA_RESTART: a blocked read ends with EINTR
  sigaction(SIGALRM, &action, nullptr);
  struct itimerval timer = {};
  timer.it_interval.tv_usec = interval_us;
  timer.it_value.tv_usec = interval_us;
  setitimer(ITIMER_REAL, &timer, nullptr);
}

long stop_interrupting() {
  struct itimerval off = {};
  setitimer(ITIMER_REAL, &off, nullptr);
  // Ignored rather than back to the default, which would end the process:
  // a signal may still be pending (valgrind delivers them late), and
  // ignoring it discards it.
  struct sigaction ignore = {};
  ignore.sa_handler = SIG_IGN;
  sigemptyset(&ignore.sa_mask);
  sigaction(SIGALRM, &ignore, nullptr);
  return signals_seen.exchange(0);
}
#endif
