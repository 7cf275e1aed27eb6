// The Windows form of every module, as the platform's loader and version API
// see it: the DLL loads (its start-up routine accepts the process), exports
// its one function by its plain name and nothing else, and carries the
// US-English Unicode version resource with the module's names. On 32-bit x86
// each export is called as a host's C code calls it (cdecl), from a stack
// aligned to 4 bytes only.
#include <gtest/gtest.h>
#include <windows.h>

#include <cstdint>
#include <cstring>
#include <map>
#include <ostream>
#include <string>
#include <vector>

#include "test_support.h"
#include "vorlin/vorlin.h"

namespace {

struct Module {
  const char* name;         // VorlinScale
  const char* export_name;  // BMPResizers
  const char* path;         // the built DLL
};

const Module kModules[] = {
#include "windows_modules.inc"
};

// The name alone in test names and messages.
void PrintTo(const Module& module, std::ostream* out) { *out << module.name; }

std::string narrow_ascii(const std::wstring& wide) {
  std::string text;
  for (wchar_t c : wide) text.push_back(c < 0x80 ? static_cast<char>(c) : '?');
  return text;
}

// One node of a VS_VERSIONINFO tree: length, value length, type, key, value,
// children, each part aligned to 4 bytes from the start of the resource.
struct VersionNode {
  std::string key;
  uint16_t type = 0;  // 1: text (value length in characters), 0: binary (in bytes)
  Bytes value;
  std::vector<VersionNode> children;
};

uint16_t word_at(const uint8_t* data, size_t offset) {
  return static_cast<uint16_t>(data[offset] | data[offset + 1] << 8);
}

size_t align4(size_t offset) { return (offset + 3) & ~static_cast<size_t>(3); }

// Parses the node at offset; false when any length points outside its parent.
bool parse_node(const uint8_t* data, size_t offset, size_t limit, VersionNode* node) {
  if (offset + 6 > limit) return false;
  size_t length = word_at(data, offset);
  size_t value_length = word_at(data, offset + 2);
  node->type = word_at(data, offset + 4);
  size_t end = offset + length;
  if (length < 6 || end > limit) return false;
  size_t at = offset + 6;
  std::wstring key;
  for (;; at += 2) {
    if (at + 2 > end) return false;
    uint16_t c = word_at(data, at);
    if (c == 0) break;
    key.push_back(static_cast<wchar_t>(c));
  }
  node->key = narrow_ascii(key);
  at = align4(at + 2);
  size_t value_bytes = node->type == 1 ? value_length * 2 : value_length;
  if (at + value_bytes > end) return false;
  node->value.assign(data + at, data + at + value_bytes);
  at = align4(at + value_bytes);
  while (at < end) {
    VersionNode child;
    if (!parse_node(data, at, end, &child)) return false;
    at = align4(at + word_at(data, at));
    node->children.push_back(child);
  }
  return true;
}

// Text value without its terminator.
std::string text_of(const Bytes& value) {
  std::wstring wide;
  for (size_t i = 0; i + 1 < value.size(); i += 2) {
    wchar_t c = static_cast<wchar_t>(value[i] | value[i + 1] << 8);
    if (c == 0) break;
    wide.push_back(c);
  }
  return narrow_ascii(wide);
}

// Every leaf as "path" -> text (text nodes) or hex bytes (binary nodes).
void flatten(const VersionNode& node, const std::string& prefix,
             std::map<std::string, std::string>* leaves) {
  std::string path = prefix.empty() ? node.key : prefix + "/" + node.key;
  if (node.children.empty()) {
    if (node.type == 1) {
      (*leaves)[path] = text_of(node.value);
    } else {
      std::string hex;
      char two[3];
      for (uint8_t b : node.value) {
        snprintf(two, sizeof two, "%02X", b);
        hex += two;
      }
      (*leaves)[path] = "bin:" + hex;
    }
    return;
  }
  for (const VersionNode& child : node.children) flatten(child, path, leaves);
}

BOOL CALLBACK collect_language(HMODULE, LPCWSTR, LPCWSTR, WORD language, LONG_PTR list) {
  reinterpret_cast<std::vector<WORD>*>(list)->push_back(language);
  return TRUE;
}

class WindowsModule : public ::testing::TestWithParam<Module> {
 protected:
  void SetUp() override {
    handle = LoadLibraryW(widen(GetParam().path).c_str());
    ASSERT_NE(handle, nullptr) << GetParam().path << ": error " << GetLastError();
  }
  void TearDown() override {
    if (handle != nullptr) {
      EXPECT_TRUE(FreeLibrary(handle));
    }
  }
  HMODULE handle = nullptr;
};

TEST_P(WindowsModule, ExportsOnlyItsFunctionByItsPlainName) {
  const Module& m = GetParam();
  const uint8_t* base = reinterpret_cast<const uint8_t*>(handle);
  auto dos = reinterpret_cast<const IMAGE_DOS_HEADER*>(base);
  ASSERT_EQ(dos->e_magic, IMAGE_DOS_SIGNATURE);
  auto nt = reinterpret_cast<const IMAGE_NT_HEADERS*>(base + dos->e_lfanew);
  ASSERT_EQ(nt->Signature, IMAGE_NT_SIGNATURE);
  EXPECT_TRUE(nt->FileHeader.Characteristics & IMAGE_FILE_DLL);
  // Built for the machine this test program is built for (x86 or x64).
  const uint8_t* own = reinterpret_cast<const uint8_t*>(GetModuleHandleW(nullptr));
  auto own_nt = reinterpret_cast<const IMAGE_NT_HEADERS*>(
      own + reinterpret_cast<const IMAGE_DOS_HEADER*>(own)->e_lfanew);
  EXPECT_EQ(nt->FileHeader.Machine, own_nt->FileHeader.Machine);
  EXPECT_EQ(nt->OptionalHeader.Magic, own_nt->OptionalHeader.Magic);
  const IMAGE_DATA_DIRECTORY& entry =
      nt->OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_EXPORT];
  ASSERT_NE(entry.VirtualAddress, 0u);
  auto exports = reinterpret_cast<const IMAGE_EXPORT_DIRECTORY*>(base + entry.VirtualAddress);
  EXPECT_STREQ(reinterpret_cast<const char*>(base + exports->Name),
               (std::string(m.name) + ".dll").c_str());
  ASSERT_EQ(exports->NumberOfFunctions, 1u);
  ASSERT_EQ(exports->NumberOfNames, 1u);
  auto names = reinterpret_cast<const DWORD*>(base + exports->AddressOfNames);
  auto ordinals = reinterpret_cast<const WORD*>(base + exports->AddressOfNameOrdinals);
  auto functions = reinterpret_cast<const DWORD*>(base + exports->AddressOfFunctions);
  EXPECT_STREQ(reinterpret_cast<const char*>(base + names[0]), m.export_name);
  // The platform's own look-up finds the same code by the plain name.
  EXPECT_EQ(reinterpret_cast<const uint8_t*>(GetProcAddress(handle, m.export_name)),
            base + functions[ordinals[0]]);
}

TEST_P(WindowsModule, CarriesItsUsEnglishUnicodeVersionResource) {
  const std::string name = GetParam().name;
  std::vector<WORD> languages;
  EnumResourceLanguagesW(handle, MAKEINTRESOURCEW(16), MAKEINTRESOURCEW(VS_VERSION_INFO),
                         collect_language, reinterpret_cast<LONG_PTR>(&languages));
  EXPECT_EQ(languages, std::vector<WORD>{0x0409});

  HRSRC found = FindResourceExW(handle, MAKEINTRESOURCEW(16), MAKEINTRESOURCEW(VS_VERSION_INFO),
                                0x0409);
  ASSERT_NE(found, nullptr);
  const uint8_t* data = static_cast<const uint8_t*>(LockResource(LoadResource(handle, found)));
  size_t size = SizeofResource(handle, found);
  ASSERT_NE(data, nullptr);
  VersionNode root;
  ASSERT_TRUE(parse_node(data, 0, size, &root));
  ASSERT_EQ(root.key, "VS_VERSION_INFO");
  ASSERT_EQ(root.value.size(), sizeof(VS_FIXEDFILEINFO));
  VS_FIXEDFILEINFO fixed;
  memcpy(&fixed, root.value.data(), sizeof fixed);
  EXPECT_EQ(fixed.dwSignature, 0xFEEF04BDu);
  EXPECT_EQ(fixed.dwFileVersionMS, 0x00010000u);
  EXPECT_EQ(fixed.dwFileVersionLS, 0x00000001u);
  EXPECT_EQ(fixed.dwProductVersionMS, 0x00010000u);
  EXPECT_EQ(fixed.dwProductVersionLS, 0x00000001u);
  EXPECT_EQ(fixed.dwFileType, static_cast<DWORD>(VFT_DLL));
  EXPECT_EQ(fixed.dwFileFlags, 0u);

  // Every string and the translation, and nothing else.
  root.value.clear();
  std::map<std::string, std::string> leaves;
  for (const VersionNode& child : root.children) flatten(child, "", &leaves);
  const std::string strings = "StringFileInfo/040904B0/";
  const std::map<std::string, std::string> expected = {
      {strings + "CompanyName", ""},
      {strings + "FileDescription", name + " DLL"},
      {strings + "FileVersion", "1, 0, 0, 1"},
      {strings + "InternalName", name},
      {strings + "LegalTrademarks", ""},
      {strings + "OLESelfRegister", ""},
      {strings + "OriginalFilename", name + ".DLL"},
      {strings + "ProductName", name + " Dynamic Link Library"},
      {strings + "ProductVersion", "1, 0, 0, 1"},
      {"VarFileInfo/Translation", "bin:0904B004"},  // 0x0409, 0x04B0 as two little-endian words
  };
  EXPECT_EQ(leaves, expected);
}

// The same resource through the platform's version API, as Explorer reads it.
TEST_P(WindowsModule, VersionApiReadsTheSameValues) {
  const std::string name = GetParam().name;
  std::wstring path = widen(GetParam().path);
  DWORD ignored = 0;
  DWORD size = GetFileVersionInfoSizeW(path.c_str(), &ignored);
  ASSERT_GT(size, 0u);
  std::vector<uint8_t> block(size);
  ASSERT_TRUE(GetFileVersionInfoW(path.c_str(), 0, size, block.data()));

  void* value = nullptr;
  UINT length = 0;
  ASSERT_TRUE(VerQueryValueW(block.data(), L"\\VarFileInfo\\Translation", &value, &length));
  ASSERT_EQ(length, 4u);
  const WORD* translation = static_cast<const WORD*>(value);
  EXPECT_EQ(translation[0], 0x0409);
  EXPECT_EQ(translation[1], 0x04B0);

  ASSERT_TRUE(VerQueryValueW(block.data(), L"\\", &value, &length));
  ASSERT_EQ(length, sizeof(VS_FIXEDFILEINFO));
  const VS_FIXEDFILEINFO* fixed = static_cast<const VS_FIXEDFILEINFO*>(value);
  EXPECT_EQ(HIWORD(fixed->dwFileVersionMS), 1);
  EXPECT_EQ(LOWORD(fixed->dwFileVersionMS), 0);
  EXPECT_EQ(HIWORD(fixed->dwFileVersionLS), 0);
  EXPECT_EQ(LOWORD(fixed->dwFileVersionLS), 1);

  struct Field {
    const wchar_t* key;
    std::string expected;
  };
  const Field fields[] = {
      {L"InternalName", name},
      {L"FileDescription", name + " DLL"},
      {L"OriginalFilename", name + ".DLL"},
      {L"ProductName", name + " Dynamic Link Library"},
      {L"FileVersion", "1, 0, 0, 1"},
      {L"ProductVersion", "1, 0, 0, 1"},
  };
  for (const Field& f : fields) {
    std::wstring query = std::wstring(L"\\StringFileInfo\\040904B0\\") + f.key;
    ASSERT_TRUE(VerQueryValueW(block.data(), query.c_str(), &value, &length))
        << narrow_ascii(f.key);
    EXPECT_EQ(narrow_ascii(static_cast<const wchar_t*>(value)), f.expected)
        << narrow_ascii(f.key);
  }
}

#if defined(__i386__)
// One call as a 32-bit host makes it: four argument words pushed right to
// left (a function of fewer arguments ignores the rest) on a stack aligned
// to 16 bytes and then moved down by `shift` bytes, as code that keeps the
// stack only 4-byte aligned (MSVC's) calls. `moved` is how far the callee
// moved the stack pointer: 0 for cdecl, where the caller removes the
// arguments (a stdcall function would remove its own, 8 to 16 bytes).
struct RawCall {
  FARPROC function;     // offset 0
  uint32_t shift;       // 4
  uintptr_t args[4];    // 8
  int32_t result;       // 24
  int32_t moved;        // 28
};

void call_raw(RawCall* call) {
  // ebx, esi and edi are kept by any callee; the argument words are read
  // through ebx, since the stack pointer moves.
  __asm__ volatile(
      "movl %%esp, %%edi\n\t"
      "andl $-16, %%esp\n\t"
      "subl 4(%%ebx), %%esp\n\t"
      "pushl 20(%%ebx)\n\t"
      "pushl 16(%%ebx)\n\t"
      "pushl 12(%%ebx)\n\t"
      "pushl 8(%%ebx)\n\t"
      "movl %%esp, %%esi\n\t"
      "call *(%%ebx)\n\t"
      "movl %%eax, 24(%%ebx)\n\t"
      "movl %%esp, %%eax\n\t"
      "subl %%esi, %%eax\n\t"
      "movl %%eax, 28(%%ebx)\n\t"
      "movl %%edi, %%esp\n\t"
      :
      : "b"(call)
      : "eax", "ecx", "edx", "esi", "edi", "memory", "cc");
}

uintptr_t word(const wchar_t* text) { return reinterpret_cast<uintptr_t>(text); }
FARPROC as_farproc(void* function) { return reinterpret_cast<FARPROC>(function); }
void* as_pointer(FARPROC function) { return reinterpret_cast<void*>(function); }

// Two functions of the test's own, one of each convention, show that the
// measure of call_raw tells them apart.
extern "C" int32_t __cdecl own_cdecl(int32_t a, int32_t b, int32_t c, int32_t d) {
  return a + b + c + d;
}
extern "C" int32_t __stdcall own_stdcall(int32_t a, int32_t b, int32_t c, int32_t d) {
  return a + b + c + d;
}

TEST(WindowsX86Calls, TheRawCallTellsCdeclFromStdcall) {
  RawCall cdecl_call = {as_farproc(reinterpret_cast<void*>(own_cdecl)), 4, {1, 2, 3, 4}, 0, -1};
  RawCall stdcall_call = {as_farproc(reinterpret_cast<void*>(own_stdcall)), 4, {1, 2, 3, 4}, 0, -1};
  call_raw(&cdecl_call);
  call_raw(&stdcall_call);
  EXPECT_EQ(cdecl_call.result, 10);
  EXPECT_EQ(cdecl_call.moved, 0);
  EXPECT_EQ(stdcall_call.result, 10);
  EXPECT_EQ(stdcall_call.moved, 16);
}
uintptr_t word(int32_t value) { return static_cast<uintptr_t>(static_cast<uint32_t>(value)); }

// Each export, called through the header's function type and then raw from
// every stack alignment a 32-bit caller may leave, gives the same status and
// the same output bytes, and leaves the stack pointer where it was.
TEST(WindowsX86Calls, EveryExportIsCdeclAndTakesAStackAlignedToFourBytes) {
  const std::string dir = make_temp_dir();
  // A 24-bit picture of black and white noise, wide enough for the vector
  // kernels of both modules.
  const int32_t width = 203, height = 37;
  Bytes pixels = random_bytes(test_row_size(width, 24) * static_cast<size_t>(height), 21);
  for (uint8_t& b : pixels) b = b < 96 ? 0 : 255;
  BmpFields fields;
  fields.width = width;
  fields.height = height;
  const std::string input = dir + "/noise.bmp";
  write_file(input, build_bmp(fields, {}, pixels));
  const std::wstring in = widen(input);

  std::map<std::string, FARPROC> functions;
  std::vector<HMODULE> loaded;
  for (const Module& m : kModules) {
    HMODULE module = LoadLibraryW(widen(m.path).c_str());
    ASSERT_NE(module, nullptr) << m.path;
    loaded.push_back(module);
    functions[m.export_name] = GetProcAddress(module, m.export_name);
    ASSERT_NE(functions[m.export_name], nullptr) << m.export_name;
  }
  auto resize = reinterpret_cast<VorlinResizeFn>(as_pointer(functions["BMPResizers"]));
  auto erode = reinterpret_cast<VorlinErodeFn>(as_pointer(functions["BMPErosion"]));
  auto probe = reinterpret_cast<VorlinProbeFn>(as_pointer(functions["BMPSizeChecker"]));
  const std::wstring resized = widen(dir + "/resized.bmp"), eroded = widen(dir + "/eroded.bmp");
  ASSERT_EQ(resize(in.c_str(), resized.c_str(), 517, 93), VORLIN_RESIZE_OK);
  ASSERT_EQ(erode(in.c_str(), eroded.c_str(), 3), VORLIN_ERODE_OK);
  ASSERT_EQ(probe(in.c_str(), VORLIN_QUERY_WIDTH), width);
  const Bytes want_resized = read_file(dir + "/resized.bmp");
  const Bytes want_eroded = read_file(dir + "/eroded.bmp");

  for (uint32_t shift = 0; shift < 16; shift += 4) {
    SCOPED_TRACE("stack moved down by " + std::to_string(shift) + " bytes from 16-byte alignment");
    const std::string name = std::to_string(shift);
    const std::wstring out_resized = widen(dir + "/resized-" + name + ".bmp");
    const std::wstring out_eroded = widen(dir + "/eroded-" + name + ".bmp");
    RawCall calls[] = {
        {functions["BMPResizers"], shift,
         {word(in.c_str()), word(out_resized.c_str()), word(517), word(93)}, 0, -1},
        {functions["BMPErosion"], shift,
         {word(in.c_str()), word(out_eroded.c_str()), word(3), 0}, 0, -1},
        {functions["BMPSizeChecker"], shift, {word(in.c_str()), word(VORLIN_QUERY_HEIGHT), 0, 0}, 0,
         -1},
    };
    const int32_t want[] = {VORLIN_RESIZE_OK, VORLIN_ERODE_OK, height};
    for (size_t i = 0; i < 3; ++i) {
      call_raw(&calls[i]);
      EXPECT_EQ(calls[i].result, want[i]) << "call " << i;
      EXPECT_EQ(calls[i].moved, 0) << "call " << i << ": the callee removed its own arguments";
    }
    EXPECT_EQ(read_file(dir + "/resized-" + name + ".bmp"), want_resized);
    EXPECT_EQ(read_file(dir + "/eroded-" + name + ".bmp"), want_eroded);
  }
  for (HMODULE module : loaded) EXPECT_TRUE(FreeLibrary(module));
}
#endif

INSTANTIATE_TEST_SUITE_P(AllModules, WindowsModule, ::testing::ValuesIn(kModules),
                         [](const ::testing::TestParamInfo<Module>& param) {
                           return std::string(param.param.name);
                         });

}  // namespace
