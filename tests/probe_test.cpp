// The header probe: read_bmp_header field by field, and BMPSizeChecker loaded
// with dlopen as a host loads it, with the exact text on each stream.
#include <gtest/gtest.h>

#if defined(_WIN32)
#include <io.h>
#else
#include <dirent.h>
#endif
#include <sys/stat.h>

#include <climits>
#include <cstdint>
#include <string>

#include "header_probe.h"
#include "export_calls.h"
#include "test_support.h"
#include "vorlin/vorlin.h"

namespace {

const char* const kFailed = "Failed to read BMP file information\n";

// Descriptors open in this process; a call that leaks its file leaves one more.
int open_fd_count() {
#if defined(_WIN32)
  // No descriptor list to read: the lowest free descriptor, which a leaked
  // stream keeps taken (the run time always hands out the lowest one).
  int lowest = _dup(0);
  if (lowest >= 0) _close(lowest);
  return lowest;
#else
  DIR* dir = opendir("/proc/self/fd");
  if (dir == nullptr) return -1;
  int count = 0;
  while (readdir(dir) != nullptr) ++count;
  closedir(dir);
  return count;
#endif
}

BmpFields header(int32_t width, int32_t height, uint16_t bits) {
  BmpFields f;
  f.width = width;
  f.height = height;
  f.bits_per_pixel = bits;
  return f;
}

class Probe : public ::testing::Test {
 protected:
  std::string dir = make_temp_dir();
  std::string path = dir + "/in.bmp";

  void write_header(const BmpFields& f) { write_file(path, build_bmp(f, {}, {})); }
};

struct Call {
  int32_t result;
  Captured captured;
  int leaked_fds;
};

// The export's cases, by each of its routes.
class ProbeExport : public Probe, public ::testing::WithParamInterface<ExportRoute> {
 protected:
  Call probe(const wchar_t* in, int32_t query) {
    int before = open_fd_count();
    ExportCall call = call_probe(GetParam(), in, query);
    return {call.status, {call.out, call.err}, open_fd_count() - before};
  }
  Call probe(const std::string& in, int32_t query) {
    std::wstring wide = widen(in);
    return probe(wide.c_str(), query);
  }
};

TEST_F(Probe, ReaderAssemblesEveryFieldLittleEndian) {
  BmpFields f;
  f.file_size = 0x04030201u;
  f.reserved1 = 0x0605;
  f.reserved2 = 0x0807;
  f.pixel_data_offset = 0x0C0B0A09u;
  f.header_size = 40;  // stored as 0x100F0E0D below: build_bmp would pad to that size
  f.width = -2;  // 0xFFFFFFFE
  f.height = INT32_MIN;
  f.planes = 0x1615;
  f.bits_per_pixel = 0xFF17;
  Bytes bytes = build_bmp(f, {}, {});
  bytes[14] = 0x0D;
  bytes[15] = 0x0E;
  bytes[16] = 0x0F;
  bytes[17] = 0x10;
  write_file(path, bytes);

  BmpFileHeaderPart file_header = {};
  BmpInfoHeaderPart info_header = {};
  begin_capture();
  int ok = read_bmp_header(path.c_str(), &file_header, &info_header);
  Captured captured = end_capture();
  ASSERT_EQ(ok, 1);
  EXPECT_EQ(captured.err, "");
  EXPECT_EQ(file_header.signature, 0x4D42);
  EXPECT_EQ(file_header.file_size, 0x04030201u);
  EXPECT_EQ(file_header.reserved1, 0x0605);
  EXPECT_EQ(file_header.reserved2, 0x0807);
  EXPECT_EQ(file_header.pixel_data_offset, 0x0C0B0A09u);
  EXPECT_EQ(info_header.header_size, 0x100F0E0Du);
  EXPECT_EQ(info_header.width, -2);
  EXPECT_EQ(info_header.height, INT32_MIN);
  EXPECT_EQ(info_header.planes, 0x1615);
  EXPECT_EQ(info_header.bits_per_pixel, 0xFF17);
}

TEST_P(ProbeExport, EveryTruncationNamesTheFieldItCutInto) {
  const Bytes full = build_bmp(header(640, 480, 24), {}, {});
  // Field boundaries: a file shorter than a field's end fails on that field.
  struct Field {
    size_t end;
    const char* message;
  };
  const Field fields[] = {
      {2, "Error: Cannot read file signature\n"},
      {6, "Error: Cannot read file size\n"},
      {10, "Error: Cannot read reserved fields\n"},
      {14, "Error: Cannot read pixel data offset\n"},
      {18, "Error: Cannot read info header size\n"},
      {22, "Error: Cannot read width\n"},
      {26, "Error: Cannot read height\n"},
      {28, "Error: Cannot read planes\n"},
      {30, "Error: Cannot read bits per pixel\n"},
  };
  for (size_t length = 0; length <= full.size(); ++length) {
    write_file(path, Bytes(full.begin(), full.begin() + static_cast<long>(length)));
    Call call = probe(path, VORLIN_QUERY_WIDTH);
    EXPECT_EQ(call.captured.out, "") << length;
    EXPECT_EQ(call.leaked_fds, 0) << length;
    if (length >= 30) {
      EXPECT_EQ(call.result, 640) << length;
      EXPECT_EQ(call.captured.err, "") << length;
      continue;
    }
    const char* message = nullptr;
    for (const Field& field : fields) {
      if (length < field.end) {
        message = field.message;
        break;
      }
    }
    EXPECT_EQ(call.result, VORLIN_PROBE_NO_ANSWER) << length;
    EXPECT_EQ(call.captured.err, std::string(message) + kFailed) << length;
  }
}

TEST_P(ProbeExport, FilesThatCannotBeReadAsBmp) {
  const Bytes rest = build_bmp(header(8, 8, 24), {}, {});
  auto with_signature = [&](uint8_t first, uint8_t second) {
    Bytes b = rest;
    b[0] = first;
    b[1] = second;
    return b;
  };
  const std::string invalid = "Error: Invalid BMP file signature\n";
  struct Case {
    const char* name;
    Bytes bytes;
    std::string err;
  };
  const Case cases[] = {
      // Only two bytes: the signature is judged before the file size is read.
      {"BA alone", {'B', 'A'}, invalid},
      {"BA", with_signature('B', 'A'), invalid},
      {"MB", with_signature('M', 'B'), invalid},
      {"zero", with_signature(0, 0), invalid},
      {"one byte", {'B'}, "Error: Cannot read file signature\n"},
  };
  for (const Case& c : cases) {
    write_file(path, c.bytes);
    for (int32_t query : {1, 2, 3}) {
      Call call = probe(path, query);
      EXPECT_EQ(call.result, VORLIN_PROBE_NO_ANSWER) << c.name;
      EXPECT_EQ(call.captured.err, c.err + kFailed) << c.name;
      EXPECT_EQ(call.captured.out, "") << c.name;
      EXPECT_EQ(call.leaked_fds, 0) << c.name;
    }
  }
}

TEST_P(ProbeExport, PathsThatDoNotOpen) {
  const std::string missing = dir + "/none.bmp";
  const std::string long_missing = dir + "/" + std::string(230, 'm') + ".bmp";
  const std::string open_failed = "Error: Cannot open file '";
  struct Case {
    std::string path;
    std::string err;
  };
  const Case cases[] = {
      {missing, open_failed + missing + "'\n" + kFailed},
      {long_missing, open_failed + long_missing + "'\n" + kFailed},
      {"", open_failed + "'\n" + kFailed},
      // A directory is no file to read, whether the platform opens it or not.
      {dir, open_failed + dir + "'\n" + kFailed},
  };
  for (const Case& c : cases) {
    Call call = probe(c.path, VORLIN_QUERY_HEIGHT);
    EXPECT_EQ(call.result, VORLIN_PROBE_NO_ANSWER) << c.path;
    EXPECT_EQ(call.captured.err, c.err) << c.path;
    EXPECT_EQ(call.captured.out, "") << c.path;
    EXPECT_EQ(call.leaked_fds, 0) << c.path;
  }

  Call call = probe(static_cast<const wchar_t*>(nullptr), VORLIN_QUERY_WIDTH);
  EXPECT_EQ(call.result, VORLIN_PROBE_NO_ANSWER);
  EXPECT_EQ(call.captured.err, open_failed + "'\n" + kFailed);
  EXPECT_EQ(call.captured.out, "");
}

TEST_P(ProbeExport, LongAndNonAsciiPathsAreAnswered) {
  const std::string names[] = {
      dir + "/" + std::string(230, 'p') + ".bmp",  // more than 200 bytes in all
      dir + "/\xC3\xA9t\xC3\xA9-\xE2\x82\xAC.bmp",
  };
  ASSERT_GT(names[0].size(), 200u);
  for (const std::string& name : names) {
    write_file(name, build_bmp(header(33, 44, 8), {}, {}));
    Call call = probe(name, VORLIN_QUERY_HEIGHT);
    EXPECT_EQ(call.result, 44) << name;
    EXPECT_EQ(call.captured.err, "") << name;
    EXPECT_EQ(call.captured.out, "") << name;
  }
}

TEST_P(ProbeExport, QueriesSelectTheValueAndOthersAnswer999Silently) {
  write_header(header(640, -480, 24));
  struct Case {
    int32_t query;
    int32_t result;
  };
  const Case cases[] = {
      {1, -480}, {2, 640}, {3, 24},
      {0, 999},  {4, 999}, {-1, 999}, {INT32_MIN, 999}, {INT32_MAX, 999},
  };
  for (const Case& c : cases) {
    Call call = probe(path, c.query);
    EXPECT_EQ(call.result, c.result) << c.query;
    EXPECT_EQ(call.captured.err, "") << c.query;
    EXPECT_EQ(call.captured.out, "") << c.query;
    EXPECT_EQ(call.leaked_fds, 0) << c.query;
  }
}

TEST_P(ProbeExport, FieldsAreAnsweredAsStoredWithoutValidation) {
  struct Case {
    BmpFields fields;
    int32_t query;
    int32_t result;
  };
  BmpFields compressed = header(16, 16, 8);
  compressed.compression = 1;  // run-length encoded: not looked at
  BmpFields odd_header = header(7, 9, 32);
  odd_header.header_size = 12;
  odd_header.planes = 0;
  odd_header.file_size = 1;
  odd_header.pixel_data_offset = 0xFFFFFFFFu;
  const Case cases[] = {
      {header(999, 10, 24), VORLIN_QUERY_WIDTH, 999},  // indistinguishable from a failure
      {header(10, 999, 24), VORLIN_QUERY_HEIGHT, 999},
      {header(-5, 3, 24), VORLIN_QUERY_WIDTH, -5},
      {header(0, 0, 24), VORLIN_QUERY_HEIGHT, 0},
      {header(INT32_MAX, INT32_MIN, 24), VORLIN_QUERY_WIDTH, INT32_MAX},
      {header(INT32_MAX, INT32_MIN, 24), VORLIN_QUERY_HEIGHT, INT32_MIN},
      {header(4, 4, 1), VORLIN_QUERY_BITS, 1},
      {header(4, 4, 4), VORLIN_QUERY_BITS, 4},
      {header(4, 4, 0), VORLIN_QUERY_BITS, 0},
      {header(4, 4, 65535), VORLIN_QUERY_BITS, 65535},  // zero-extended, not -1
      {header(4, 4, 0x8000), VORLIN_QUERY_BITS, 32768},
      {compressed, VORLIN_QUERY_BITS, 8},
      {odd_header, VORLIN_QUERY_BITS, 32},
      {odd_header, VORLIN_QUERY_HEIGHT, 9},
  };
  for (const Case& c : cases) {
    write_header(c.fields);
    Call call = probe(path, c.query);
    EXPECT_EQ(call.result, c.result) << c.fields.width << "x" << c.fields.height << "x"
                                     << c.fields.bits_per_pixel << " query " << c.query;
    EXPECT_EQ(call.captured.err, "");
    EXPECT_EQ(call.captured.out, "");
  }
}

INSTANTIATE_TEST_SUITE_P(Routes, ProbeExport, ::testing::ValuesIn(probe_routes(VORLINPROBE_PATH)),
                         route_test_name);

}  // namespace
