// Finding the modules' files, loading them, and calling their exports.
#include "modules.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "exit_status.h"
#include "platform.h"

namespace {

// The directories searched, in order, each as a real path (no "." or "..").
std::vector<std::string> module_dirs() {
  const char* env = getenv("VORLIN_MODULE_DIR");
  if (env != nullptr && *env != '\0') return {absolute_path(env)};
  std::string program = absolute_path(program_dir());
  return {program, absolute_path(program + kSeparator + "..") + kSeparator + "lib"};
}

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

}  // namespace

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

int module_problem(const char* module, const ModuleLookup& lookup) {
  if (lookup.status == kExitNoModule) {
    fprintf(stderr, "vorlin: module %s not found in: %s\n", module, lookup.where.c_str());
    fprintf(stderr, "(set VORLIN_MODULE_DIR to the directory that holds it)\n");
  } else {
    fprintf(stderr, "vorlin: cannot load module %s: %s\n", module, lookup.problem.c_str());
  }
  return lookup.status;
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
