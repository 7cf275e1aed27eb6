// close_written, the last line of defence of both writers: it must report a
// stream that failed anywhere, at the last flush, earlier, or at the close.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <string>

#include "file_io.h"
#include "test_support.h"

namespace {

TEST(CloseWritten, ReportsEveryWayAWrittenStreamCanFail) {
  std::string path = make_temp_dir() + "/stream.bin";

  // Everything reached the file.
  FILE* good = fopen(path.c_str(), "wb");
  ASSERT_NE(good, nullptr);
  ASSERT_EQ(fwrite("abc", 1, 3, good), 3u);
  EXPECT_EQ(close_written(good), 1);
  EXPECT_EQ(read_file(path).size(), 3u);

  // The buffered bytes cannot be flushed: the full device.
  FILE* full = fopen("/dev/full", "wb");
  ASSERT_NE(full, nullptr);
  ASSERT_EQ(fwrite("abc", 1, 3, full), 3u);  // buffered, so it succeeds here
  EXPECT_EQ(close_written(full), 0);

  // An earlier write failed (here: on a stream open only for reading) and
  // left nothing to flush: only the error flag tells.
  FILE* earlier = fopen(path.c_str(), "rb");
  ASSERT_NE(earlier, nullptr);
  EXPECT_EQ(fwrite("x", 1, 1, earlier), 0u);
  EXPECT_EQ(close_written(earlier), 0);

  // The close itself fails: the descriptor went away under the stream.
  FILE* gone = fopen(path.c_str(), "wb");
  ASSERT_NE(gone, nullptr);
  ASSERT_EQ(close(fileno(gone)), 0);
  EXPECT_EQ(close_written(gone), 0);
}

}  // namespace
