// The vorlin host as a user runs it: usage errors before any module is
// called, exit statuses, and the modules found beside it or through
// VORLIN_MODULE_DIR.
#include <gtest/gtest.h>
#include <sys/wait.h>

#include <cstdlib>
#include <string>

#include "test_support.h"

namespace {

struct HostRun {
  int status;
  std::string out, err;
};

// Runs the host through the shell with the given arguments and environment prefix.
HostRun run_host(const std::string& args, const std::string& env = "") {
  std::string dir = make_temp_dir();
  std::string command = env + " '" VORLIN_PATH "' " + args + " >'" + dir + "/out' 2>'" + dir + "/err'";
  int raw = system(command.c_str());
  Bytes out = read_file(dir + "/out"), err = read_file(dir + "/err");
  std::string cleanup = "rm -rf '" + dir + "'";
  EXPECT_EQ(system(cleanup.c_str()), 0);
  return {WIFEXITED(raw) ? WEXITSTATUS(raw) : -1, std::string(out.begin(), out.end()),
          std::string(err.begin(), err.end())};
}

class Host : public ::testing::Test {
 protected:
  std::string dir = make_temp_dir();
  std::string input = dir + "/in.bmp";
  void SetUp() override {
    BmpFields f;
    f.width = 4;
    f.height = 3;
    write_file(input, build_bmp(f, {}, random_bytes(48, 5)));
  }
};

TEST_F(Host, BadCommandLinesAreRefusedBeforeAnyModuleIsCalled) {
  // A missing module directory proves no module was even looked for.
  const std::string nowhere = "VORLIN_MODULE_DIR=/nonexistent/vorlin";
  const struct {
    std::string args;
    std::string message;
  } cases[] = {
      {"", "vorlin: no command given\n"},
      {"shrink a b 1 1", "vorlin: unknown command 'shrink'\n"},
      {"resize a b 10", "vorlin: resize takes 4 arguments, got 3\n"},
      {"resize a b 10 ten", "vorlin: 'ten' is not a 32-bit integer\n"},
      {"resize a b 10 12x", "vorlin: '12x' is not a 32-bit integer\n"},
      {"resize a b 2147483648 1", "vorlin: '2147483648' is not a 32-bit integer\n"},
      {"erode a b", "vorlin: erode takes 3 arguments, got 2\n"},
      {"erode a b ''", "vorlin: '' is not a 32-bit integer\n"},
      {"probe a depth", "vorlin: 'depth' is not height, width, bits or a query number\n"},
  };
  for (const auto& c : cases) {
    HostRun run = run_host(c.args, nowhere);
    EXPECT_EQ(run.status, 2) << c.args;
    EXPECT_EQ(run.err.substr(0, c.message.size()), c.message) << c.args;
    EXPECT_NE(run.err.find("Usage:"), std::string::npos) << c.args;
    EXPECT_EQ(run.out, "") << c.args;
  }
  HostRun help = run_host("--help", nowhere);
  EXPECT_EQ(help.status, 0);
  EXPECT_EQ(help.out.rfind("Usage:\n", 0), 0u);
}

TEST_F(Host, ResizeShowsTheModulesOutputAndMapsItsStatus) {
  std::string out = dir + "/out.bmp";
  HostRun ok = run_host("resize '" + input + "' '" + out + "' 8 6");
  EXPECT_EQ(ok.status, 0);
  EXPECT_EQ(ok.out, "Loaded: " + input + " (4x3, 24-bit)\nResizing to: 8x6\nSaved: " + out +
                        " (8x6, 24-bit)\n");
  EXPECT_EQ(ok.err, "");
  EXPECT_EQ(get_le32(read_file(out), 18), 8u);

  HostRun bad = run_host("resize '" + input + "' '" + out + "' 0 6");
  EXPECT_EQ(bad.status, 1);
  EXPECT_EQ(bad.err,
            "Error: Width and height must be positive integers\nvorlin: resize failed (status 1)\n");

  HostRun missing = run_host("resize '" + input + "' '" + out + "' 8 6", "VORLIN_MODULE_DIR='" + dir + "'");
  EXPECT_EQ(missing.status, 3);
  EXPECT_NE(missing.err.find("module VorlinScale not found in: " + dir), std::string::npos);
}

TEST_F(Host, ProbePrintsTheValueAndSaysWhen999IsAmbiguous) {
  const struct {
    std::string query;
    int status;
    std::string out;
  } cases[] = {
      {"width", 0, "4\n"}, {"height", 0, "3\n"}, {"bits", 0, "24\n"}, {"2", 0, "4\n"},
      {"7", 4, "999\n"},  // unknown query: 999 without a module message
  };
  for (const auto& c : cases) {
    HostRun run = run_host("probe '" + input + "' " + c.query);
    EXPECT_EQ(run.status, c.status) << c.query;
    EXPECT_EQ(run.out, c.out) << c.query;
    EXPECT_EQ(run.err.find("vorlin: the probe answered 999") != std::string::npos, c.status == 4)
        << c.query;
  }
  HostRun missing = run_host("probe '" + dir + "/none.bmp' width");
  EXPECT_EQ(missing.status, 4);
  EXPECT_EQ(missing.out, "999\n");
  EXPECT_EQ(missing.err.rfind("Error: Cannot open file '" + dir +
                                  "/none.bmp'\nFailed to read BMP file information\n",
                              0),
            0u);
}

TEST_F(Host, ErodeRunsTheModuleAndReportsItsFailures) {
  std::string out = dir + "/eroded.bmp";
  HostRun ok = run_host("erode '" + input + "' '" + out + "' 2");
  EXPECT_EQ(ok.status, 0);
  EXPECT_EQ(ok.out.rfind("=== Bitmap Erosion Application (eVC 3.0 Safe) ===\n\n", 0), 0u);
  EXPECT_NE(ok.out.find("  Pass 2 complete\nSaving: " + out + "\n"), std::string::npos);
  EXPECT_EQ(ok.err, "");
  EXPECT_EQ(get_le16(read_file(out), 28), 8u);

  HostRun bad = run_host("erode '" + input + "' '" + out + "' 101");
  EXPECT_EQ(bad.status, 1);
  EXPECT_NE(bad.out.find("Error: Erosion passes must be between 1 and 100\n"), std::string::npos);
  EXPECT_EQ(bad.err, "vorlin: erode failed (status 1)\n");
}

}  // namespace
