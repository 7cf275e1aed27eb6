// Path conversion, little-endian fields and stream helpers shared by all modules.
#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <string>

#include "bmp_format.h"
#include "file_io.h"
#include "path_convert.h"
#include "test_support.h"

#if defined(_WIN32)
#include <windows.h>
#endif

namespace {

std::string converted(const wchar_t* wide) {
  char* text = convert_path(wide);
  EXPECT_NE(text, nullptr);
  std::string result = text != nullptr ? text : "<null>";
  free(text);
  return result;
}

#if defined(_WIN32)
// Windows converts through the ANSI code page, with best-fit mapping (no
// flags) and the code page's own default character '?' for what it cannot
// map: nothing fails. The values are those of code page 1252, which Wine
// picks for an English or C locale.
TEST(PathConversion, UsesTheAnsiCodePageWithBestFitAndItsDefaultCharacter) {
  if (GetACP() != 1252) GTEST_SKIP() << "expected values are for ANSI code page 1252";
  struct Case {
    std::wstring wide;
    std::string expected;
  };
  const Case cases[] = {
      {L"in.bmp", "in.bmp"},
      {L"", ""},
      {std::wstring(1, wchar_t(0xE9)), "\xE9"},
      {std::wstring(1, wchar_t(0x20AC)), "\x80"},    // the euro sign has a byte in 1252
      {std::wstring(1, wchar_t(0x0152)), "\x8C"},
      {std::wstring(1, wchar_t(0x0100)), "A"},       // best fit
      {std::wstring(1, wchar_t(0x4E2D)), "?"},       // no byte and no best fit
      {L"a" + std::wstring(1, wchar_t(0xD800)) + L"b", "a?b"},
      {std::wstring{wchar_t(0xD83D), wchar_t(0xDE00)}, "??"},  // a pair: one '?' a unit
  };
  for (const Case& c : cases) {
    EXPECT_EQ(converted(c.wide.c_str()), c.expected) << "code " << std::hex
                                                     << (c.wide.empty() ? 0 : int(c.wide.back()));
  }
  EXPECT_EQ(converted(nullptr), "");
}
#else
TEST(PathConversion, EncodesEachUtf8LengthAndRejectsNonCharacters) {
  struct Case {
    std::wstring wide;
    std::string expected;
  };
  const Case cases[] = {
      {L"in.bmp", "in.bmp"},
      {L"", ""},
      {std::wstring(1, wchar_t(0xE9)), "\xC3\xA9"},             // two bytes
      {std::wstring(1, wchar_t(0x20AC)), "\xE2\x82\xAC"},       // three bytes
      {std::wstring(1, wchar_t(0xFFFD)), "\xEF\xBF\xBD"},
      {std::wstring(1, wchar_t(0x1F600)), "\xF0\x9F\x98\x80"},  // four bytes
      {std::wstring(1, wchar_t(0x10FFFF)), "\xF4\x8F\xBF\xBF"},
      // Not characters: the whole conversion fails and yields an empty string.
      {L"a" + std::wstring(1, wchar_t(0xD800)) + L"b", ""},
      {L"a" + std::wstring(1, wchar_t(0xDFFF)), ""},
      {std::wstring(1, wchar_t(0x110000)) + L"x", ""},
      {L"x" + std::wstring(1, static_cast<wchar_t>(-1)), ""},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(converted(c.wide.c_str()), c.expected) << "code " << std::hex
                                                     << (c.wide.empty() ? 0 : int(c.wide.back()));
  }
  EXPECT_EQ(converted(nullptr), "");
}
#endif

TEST(PathConversion, BufferTakesAtMost199BytesOfText) {
#if defined(_WIN32)
  if (GetACP() != 1252) GTEST_SKIP() << "expected values are for ANSI code page 1252";
#endif
  struct Case {
    std::wstring wide;
    int fits;
  };
  const Case cases[] = {
      {std::wstring(199, L'a'), 1},
      {std::wstring(200, L'a'), 0},
#if defined(_WIN32)
      // One byte a euro sign in code page 1252.
      {std::wstring(199, wchar_t(0x20AC)), 1},
      {std::wstring(200, wchar_t(0x20AC)), 0},
#else
      {std::wstring(66, wchar_t(0x20AC)), 1},  // 198 bytes of text
      {std::wstring(67, wchar_t(0x20AC)), 0},  // 201 bytes: fewer characters than 200, still too long
#endif
  };
  for (const Case& c : cases) {
    char buffer[kPathBufferSize];
    memset(buffer, 'z', sizeof buffer);
    EXPECT_EQ(convert_path_into(c.wide.c_str(), buffer, sizeof buffer), c.fits) << c.wide.size();
    if (c.fits) {
      EXPECT_EQ(converted(c.wide.c_str()), std::string(buffer));
    } else {
      EXPECT_EQ(buffer[0], '\0');
    }
  }
  char buffer[kPathBufferSize] = "junk";
  EXPECT_EQ(convert_path_into(nullptr, buffer, sizeof buffer), 1);
  EXPECT_STREQ(buffer, "");
}

TEST(LittleEndian, AssemblesAndSplitsByteByByte) {
  const uint8_t bytes[] = {0x42, 0x4D, 0x78, 0x56, 0x34, 0x12};
  EXPECT_EQ(le16(bytes), kBmpSignature);
  EXPECT_EQ(le32(bytes + 2), 0x12345678u);

  struct Case {
    uint32_t raw;
    int32_t as_signed;
  };
  const Case cases[] = {{0, 0},
                        {0x7FFFFFFFu, 2147483647},
                        {0x80000000u, -2147483647 - 1},
                        {0xFFFFFFFFu, -1},
                        {0xFFFFFE20u, -480}};
  for (const Case& c : cases) {
    uint8_t out[4];
    put_le32(out, c.raw);
    EXPECT_EQ(out[0], c.raw & 0xFF);
    EXPECT_EQ(out[3], c.raw >> 24);
    EXPECT_EQ(le32(out), c.raw);
    EXPECT_EQ(le32s(out), c.as_signed);
  }
  uint8_t out[2];
  put_le16(out, 0xBEEF);
  EXPECT_EQ(out[0], 0xEF);
  EXPECT_EQ(out[1], 0xBE);
}

TEST(FileHelpers, ShortReadsAreZeroFilledAndSeeksReachTheirOffset) {
  std::string dir = make_temp_dir();
  std::string path = dir + "/three";
  write_file(path, {1, 2, 3});
  FILE* file = fopen(path.c_str(), "rb");
  ASSERT_NE(file, nullptr);
  uint8_t buffer[6];
  memset(buffer, 0xAA, sizeof buffer);
  EXPECT_EQ(read_or_zero(file, buffer, sizeof buffer), 3u);
  const uint8_t expected[] = {1, 2, 3, 0, 0, 0};
  EXPECT_EQ(memcmp(buffer, expected, sizeof expected), 0);
  EXPECT_EQ(seek_from_start(file, 1), 1);
  EXPECT_EQ(fgetc(file), 2);
  fclose(file);

}

TEST(FileHelpers, OpeningForReadingRefusesDirectoriesAndTellsFilesApart) {
  std::string dir = make_temp_dir();
  std::string path = dir + "/a";
  write_file(path, {1});
  write_file(dir + "/b", {1});
  struct Row {
    std::string path;
    bool opens;
    bool known;
    bool same_as_a;
  };
  const Row rows[] = {
      {path, true, true, true},
      {dir + "/./a", true, true, true},
      {dir + "/b", true, true, false},  // same bytes, another file
      {dir, false, false, false},       // a directory opens on POSIX, but is refused
      {dir + "/missing", false, false, false},
#if !defined(_WIN32)
      {"/dev/null", true, false, false},  // no regular file: nothing to compare
#endif
  };
  FileIdentity a = {};
  FILE* first = open_for_reading(path.c_str(), &a);
  ASSERT_NE(first, nullptr);
  fclose(first);
  ASSERT_TRUE(a.known);
  for (const Row& row : rows) {
    SCOPED_TRACE(row.path);
    FileIdentity identity = {true, 1, 1};
    FILE* file = open_for_reading(row.path.c_str(), &identity);
    EXPECT_EQ(file != nullptr, row.opens);
    if (file != nullptr) fclose(file);
    EXPECT_EQ(identity.known, row.known);
    EXPECT_EQ(same_identity(identity, a), row.same_as_a);
  }
}

}  // namespace
