// Wide-to-multibyte path conversion for every module.
#include "path_convert.h"

#include <climits>
#include <cstdint>
#include <cstdlib>
#include <cstring>

#if defined(_WIN32)
#include <windows.h>
#endif

namespace {

#if defined(_WIN32)
// The platform's own conversion: code page 0 (ANSI), no flags, length -1 so
// the terminator comes along, no default character. UTF-16 needs at most two
// bytes a character in any ANSI code page, hence (n + 1) x 2 bytes.
constexpr size_t kBytesPerChar = 2;

void encode(const wchar_t* wide, char* out, size_t out_size) {
  // The conversion takes an int size; a larger temporary is still at least that big.
  int size = out_size > static_cast<size_t>(INT_MAX) ? INT_MAX : static_cast<int>(out_size);
  if (WideCharToMultiByte(CP_ACP, 0, wide, -1, out, size, nullptr, nullptr) == 0) {
    out[0] = '\0';
  }
}
#else
// UTF-8 needs at most four bytes a code point.
constexpr size_t kBytesPerChar = 4;

// Writes the UTF-8 form of the string, terminator included. out_size is at
// least (n + 1) x 4, so no bounds check per byte is needed.
void encode(const wchar_t* wide, char* out, size_t /*out_size*/) {
  unsigned char* p = reinterpret_cast<unsigned char*>(out);
  for (const wchar_t* w = wide; *w != L'\0'; ++w) {
    // wchar_t is signed on some targets and unsigned on others (ARM): a
    // negative value becomes 0x80000000 or more here and is refused below.
    uint32_t c = static_cast<uint32_t>(*w);
    if (c < 0x80u) {
      *p++ = static_cast<unsigned char>(c);
    } else if (c < 0x800u) {
      *p++ = static_cast<unsigned char>(0xC0u | (c >> 6));
      *p++ = static_cast<unsigned char>(0x80u | (c & 0x3Fu));
    } else if (c < 0x10000u) {
      if (c >= 0xD800u && c <= 0xDFFFu) {  // a lone surrogate is not a character
        out[0] = '\0';
        return;
      }
      *p++ = static_cast<unsigned char>(0xE0u | (c >> 12));
      *p++ = static_cast<unsigned char>(0x80u | ((c >> 6) & 0x3Fu));
      *p++ = static_cast<unsigned char>(0x80u | (c & 0x3Fu));
    } else if (c <= 0x10FFFFu) {
      *p++ = static_cast<unsigned char>(0xF0u | (c >> 18));
      *p++ = static_cast<unsigned char>(0x80u | ((c >> 12) & 0x3Fu));
      *p++ = static_cast<unsigned char>(0x80u | ((c >> 6) & 0x3Fu));
      *p++ = static_cast<unsigned char>(0x80u | (c & 0x3Fu));
    } else {
      out[0] = '\0';
      return;
    }
  }
  *p = '\0';
}
#endif

}  // namespace

char* convert_path(const wchar_t* wide) {
  size_t length = wide != nullptr ? wcslen(wide) : 0;
  // (length + 1) x bytes per character, refused where it would wrap.
  if (length >= SIZE_MAX / kBytesPerChar - 1) {
    return nullptr;
  }
  size_t size = (length + 1) * kBytesPerChar;
  char* temporary = static_cast<char*>(malloc(size));
  if (temporary == nullptr) {
    return nullptr;
  }
  temporary[0] = '\0';  // a failed conversion leaves an empty string
  if (wide != nullptr) {
    encode(wide, temporary, size);
  }
  return temporary;
}

bool convert_path_into(const wchar_t* wide, char* buffer, size_t buffer_size) {
  buffer[0] = '\0';
  char* temporary = convert_path(wide);
  if (temporary == nullptr) {
    return true;
  }
  size_t needed = strlen(temporary) + 1;
  bool fits = needed <= buffer_size;
  if (fits) {
    memcpy(buffer, temporary, needed);
  }
  free(temporary);
  return fits;
}
