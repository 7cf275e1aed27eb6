// write_output and close_output, the last line of defence of both writers:
// they must report an output that failed anywhere, at the last write of what
// was buffered, earlier, or at the close.
#include <gtest/gtest.h>
#include <unistd.h>

#include <string>

#include "output_file.h"
#include "test_support.h"

namespace {

TEST(CloseWritten, ReportsEveryWayAWrittenOutputCanFail) {
  std::string path = make_temp_dir() + "/stream.bin";
  OutputFile output;

  // Everything reached the file: a small write, then one past the buffer.
  ASSERT_EQ(open_output(&output, path.c_str(), nullptr), 1);
  ASSERT_EQ(write_output(&output, "abc", 3), 1);
  const Bytes large = random_bytes(3 * kOutputBufferSize + 5, 7);
  ASSERT_EQ(write_output(&output, large.data(), large.size()), 1);
  EXPECT_EQ(close_output(&output, 1), 1);
  Bytes want = {'a', 'b', 'c'};
  want.insert(want.end(), large.begin(), large.end());
  EXPECT_TRUE(read_file(path) == want);

  // The buffered bytes cannot be written: the full device.
  ASSERT_EQ(open_output(&output, "/dev/full", nullptr), 1);
  ASSERT_EQ(write_output(&output, "abc", 3), 1);  // buffered, so it succeeds here
  EXPECT_EQ(close_output(&output, 1), 0);

  // An earlier write failed (a block larger than the buffer goes out at
  // once): the writer passes that on, and nothing is said to have worked.
  ASSERT_EQ(open_output(&output, "/dev/full", nullptr), 1);
  EXPECT_EQ(write_output(&output, large.data(), large.size()), 0);
  EXPECT_EQ(close_output(&output, 0), 0);

  // A writer that reports a failure of its own is believed even when every
  // byte went out.
  ASSERT_EQ(open_output(&output, path.c_str(), nullptr), 1);
  EXPECT_EQ(close_output(&output, 0), 0);

  // The close itself fails: the descriptor went away under the output.
  ASSERT_EQ(open_output(&output, path.c_str(), nullptr), 1);
  ASSERT_EQ(close(output.descriptor), 0);
  EXPECT_EQ(close_output(&output, 1), 0);
}

}  // namespace
