// Decoding and checking the command line's arguments.
#include "arguments.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "exit_status.h"
#include "platform.h"
#include "vorlin/vorlin.h"

std::string shown(const char* text, bool bytes_too) {
  std::string result = "'";
  for (const unsigned char* p = reinterpret_cast<const unsigned char*>(text); *p != 0; ++p) {
    char escape[8];
    if (*p == '\t' || *p == '\n' || *p == '\r' || *p == '\\') {
      result += *p == '\t' ? "\\t" : *p == '\n' ? "\\n" : *p == '\r' ? "\\r" : "\\\\";
    } else if (*p < 0x20 || *p == 0x7F || (bytes_too && *p > 0x7F)) {
      snprintf(escape, sizeof escape, "\\x%02x", static_cast<unsigned>(*p));
      result += escape;
    } else {
      result += static_cast<char>(*p);
    }
  }
  return result + "'";
}

int usage_error(const std::string& what) {
  fprintf(stderr, "vorlin: %s. Try 'vorlin --help'.\n", what.c_str());
  return kExitUsage;
}

namespace {

// Plain decimal to int32: an optional sign, then one digit or more, nothing
// before or after them (no space, no base prefix), in the 32-bit range.
bool parse_int32(const char* text, int32_t* value) {
  const char* p = text;
  bool negative = *p == '-';
  if (*p == '-' || *p == '+') ++p;
  if (*p == '\0') return false;
  int64_t magnitude = 0;
  for (; *p != '\0'; ++p) {
    if (*p < '0' || *p > '9') return false;
    magnitude = magnitude * 10 + (*p - '0');
    if (magnitude > 2147483648LL) return false;  // stops before any overflow
  }
  int64_t parsed = negative ? -magnitude : magnitude;
  if (parsed < INT32_MIN || parsed > INT32_MAX) return false;
  *value = static_cast<int32_t>(parsed);
  return true;
}

// A query word, or the number of one of the three queries the probe answers.
bool parse_query(const char* text, int32_t* query) {
  if (strcmp(text, "height") == 0) {
    *query = VORLIN_QUERY_HEIGHT;
  } else if (strcmp(text, "width") == 0) {
    *query = VORLIN_QUERY_WIDTH;
  } else if (strcmp(text, "bits") == 0) {
    *query = VORLIN_QUERY_BITS;
  } else {
    return parse_int32(text, query) && *query >= VORLIN_QUERY_HEIGHT && *query <= VORLIN_QUERY_BITS;
  }
  return true;
}

// True when every wide character is a Unicode scalar value: no surrogate on
// its own and nothing above 0x10FFFF (which a locale's decoder may let
// through, and which the modules cannot pass on as a path).
bool wide_is_text(const std::wstring& wide) {
  for (size_t i = 0; i < wide.size(); ++i) {
    uint32_t c = static_cast<uint32_t>(wide[i]);
    if (sizeof(wchar_t) == 2 && c >= 0xD800 && c <= 0xDBFF && i + 1 < wide.size() &&
        static_cast<uint32_t>(wide[i + 1]) >= 0xDC00 &&
        static_cast<uint32_t>(wide[i + 1]) <= 0xDFFF) {
      ++i;  // a UTF-16 pair
      continue;
    }
    if (c > 0x10FFFF || (c >= 0xD800 && c <= 0xDFFF)) return false;
  }
  return true;
}

// Locale encoding to wide characters, as a host application hands paths over.
bool locale_to_wide(const char* text, std::wstring* wide) {
  size_t length = mbstowcs(nullptr, text, 0);
  if (length == static_cast<size_t>(-1)) return false;
  std::vector<wchar_t> buffer(length + 1);
  mbstowcs(buffer.data(), text, length + 1);
  wide->assign(buffer.data(), length);
  return wide_is_text(*wide);
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

std::string undecodable(const char* text) {
  std::string what = shown(text, true) + " is ";
  if (locale_is_ascii()) {
    return what + "valid neither in the locale's encoding (" + locale_encoding() + ") nor in UTF-8";
  }
  return what + "not valid in the locale's encoding (" + locale_encoding() + ")";
}

}  // namespace

bool decode_argument(const char* text, std::wstring* wide) {
  return locale_to_wide(text, wide) || (locale_is_ascii() && utf8_to_wide(text, wide));
}

int read_arguments(char** args, int count, int paths, bool query, std::vector<std::wstring>* wide,
                   std::vector<int32_t>* numbers) {
  for (int i = 0; i < paths; ++i) {
    wide->emplace_back();
    if (!decode_argument(args[i], &wide->back())) return usage_error(undecodable(args[i]));
  }
  for (int i = paths; i < count; ++i) {
    int32_t value = 0;
    if (query ? !parse_query(args[i], &value) : !parse_int32(args[i], &value)) {
      return usage_error(shown(args[i]) + (query ? " is not a query the probe answers: height (1), "
                                                   "width (2) or bits (3)"
                                                 : " is not a 32-bit integer"));
    }
    numbers->push_back(value);
  }
  return kExitOk;
}
