// BMPSizeChecker given hostile inputs: truncation at every byte, what is
// not a BMP, stored fields it answers as they are, pipes, and its streams
// flushed on return. The input file is never changed.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <climits>
#include <csignal>
#include <cstdio>
#include <random>
#include <string>
#include <vector>

#include "bad_input_support.h"
#include "export_calls.h"
#include "test_support.h"
#include "vorlin/vorlin.h"

namespace {

class ProbeBadInput : public RoutedBadInput {};

TEST_P(ProbeBadInput, ProbeTruncatedFileNamesTheMissingField) {
  const char* const messages[] = {
      "Error: Cannot read file signature\n", "Error: Cannot read file size\n",
      "Error: Cannot read reserved fields\n", "Error: Cannot read pixel data offset\n",
      "Error: Cannot read info header size\n", "Error: Cannot read width\n",
      "Error: Cannot read height\n", "Error: Cannot read planes\n",
      "Error: Cannot read bits per pixel\n"};
  const size_t ends[] = {2, 6, 10, 14, 18, 22, 26, 28, 30};  // where each field ends
  for (uint16_t bits : {2, 8, 16, 24, 32}) {
    Bytes whole = picture(bits, 5, 3);
    for (size_t length = 0; length <= 54; ++length) {
      ++cases;
      Bytes cut(whole.begin(), whole.begin() + static_cast<long>(length));
      write_file(input, cut);
      ExportCall run = probe(input, VORLIN_QUERY_BITS);
      size_t field = 0;
      while (field < 9 && length >= ends[field]) ++field;
      if (field == 9) {
        EXPECT_EQ(run.status, bits) << length;
        EXPECT_EQ(run.err, "") << length;
      } else {
        EXPECT_EQ(run.status, VORLIN_PROBE_NO_ANSWER) << length;
        EXPECT_EQ(run.err, std::string(messages[field]) + "Failed to read BMP file information\n")
            << length;
      }
      EXPECT_EQ(read_file(input), cut);
    }
  }
}

TEST_P(ProbeBadInput, ProbeAnswersWhatIsStoredAndFailsOnWhatIsNotABmp) {
  const std::string closing = "Failed to read BMP file information\n";
  struct Row {
    const char* name;
    Bytes file;
    bool directory;
    int32_t query;
    int32_t answer;
    std::string err;
  };
  const Row rows[] = {
      {"input is a directory", {}, true, 1, 999, "Error: Cannot open file '" + subdir + "'\n" + closing},
      {"signature BA", [] { Bytes b = picture(24, 2, 2); b[1] = 'A'; return b; }(), false, 1, 999,
       "Error: Invalid BMP file signature\n" + closing},
      {"width 0", picture(24, 0, 3), false, 2, 0, ""},
      {"width INT_MIN", picture(24, INT_MIN, 3), false, 2, INT_MIN, ""},
      {"height -480", picture(24, 4, -480), false, 1, -480, ""},
      {"height INT_MAX", picture(24, 4, INT_MAX), false, 1, INT_MAX, ""},
      {"depth 4", picture(4, 4, 4), false, 3, 4, ""},
      {"depth 65535", picture(65535, 4, 4), false, 3, 65535, ""},
      {"compressed", [] {
         BmpFields f; f.width = 4; f.height = 4; f.bits_per_pixel = 8; f.compression = 1;
         return build_bmp(f, {}, Bytes(16, 0)); }(), false, 3, 8, ""},
      {"palette count 2^30", picture(8, 4, 4, 1u << 30), false, 2, 4, ""},
      {"query 0", picture(24, 4, 4), false, 0, 999, ""},
      {"query -1", picture(24, 4, 4), false, -1, 999, ""},
      {"query INT_MAX", picture(24, 4, 4), false, INT_MAX, 999, ""},
  };
  for (const Row& row : rows) {
    ++cases;
    SCOPED_TRACE(row.name);
    std::string in = row.directory ? subdir : input;
    if (!row.directory) write_file(input, row.file);
    Bytes before = read_file(input);
    ExportCall run = probe(in, row.query);
    EXPECT_EQ(run.status, row.answer);
    EXPECT_EQ(run.err, row.err);
    EXPECT_EQ(run.out, "");
    EXPECT_EQ(read_file(input), before);
  }
}

TEST_P(ProbeBadInput, PipesAndInterruptedReadsGiveWhatTheFileGives) {
  check_pipes({
      {"whole headers", 'p', picture(24, 77, 5), false},
      {"cut in the width", 'p', first_bytes(picture(24, 77, 5), 20), false},
  });
}

TEST_P(ProbeBadInput, EveryLineIsOutWhenTheStatusComesBack) {
  const std::wstring none = widen(dir + "/none.bmp");
  check_lines_out_on_return({
      {"probe, error", [&] { return run_probe(GetParam(), none.c_str(), VORLIN_QUERY_WIDTH); }},
  });
}

INSTANTIATE_TEST_SUITE_P(Routes, ProbeBadInput, ::testing::ValuesIn(probe_routes(VORLINPROBE_PATH)),
                         route_test_name);

}  // namespace
