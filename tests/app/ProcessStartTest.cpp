// The program as started: its process object announces the start and the
// end in the log file of the working folder.
#include <gtest/gtest.h>

#include <fstream>
#include <iterator>
#include <regex>
#include <string>

#include "support/TestSupport.h"

namespace {

TEST(ClipmenderProgram, TheLogSaysWhenTheProcessStartedAndEnded) {
  testsupport::TempDir work;
  const std::string noBus = "unix:path=/nonexistent/clipmender-test-bus";
  const auto result = testsupport::RunCommand(
      "env CLIPMENDER_WORK_DIR=" + testsupport::ShellQuote(work.path().string()) + " DBUS_SYSTEM_BUS_ADDRESS=" +
      noBus + " DBUS_SESSION_BUS_ADDRESS=" + noBus + " " + testsupport::ShellQuote(CLIPMENDER_EXECUTABLE) +
      " 2>/dev/null & echo \"pid=$!\"; wait $!");
  ASSERT_EQ(result.exitCode, 0) << result.output;
  std::smatch pid;
  ASSERT_TRUE(std::regex_search(result.output, pid, std::regex(R"(pid=(\d+))"))) << result.output;
  std::ifstream in(work / "tolveraware.log");
  const std::string log{std::istreambuf_iterator<char>(in), {}};
  const std::string time = R"(\d\d:\d\d:\d\d )";
  EXPECT_TRUE(std::regex_search(log, std::regex("^" + time + R"(process\[clipmender:)" + pid[1].str() + R"(\] started\n)")))
      << log;
  EXPECT_TRUE(std::regex_search(log, std::regex(time + R"(process\[)" + pid[1].str() + R"(\] existed\n$)"))) << log;
}

}  // namespace
