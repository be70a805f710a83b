// The program as started: its process object announces the start and the
// end in the log file of the working folder.
#include <gtest/gtest.h>

#include <sys/stat.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <regex>
#include <string>

#include "support/TestSupport.h"

namespace {

// Whether a disk with a medium has a device node that a plain user may not
// read, as a disk's node normally is (brw-rw---- root:disk).
bool HasDiskRefusingPlainUsers() {
  for (const auto& entry : std::filesystem::directory_iterator("/sys/block")) {
    const std::string name = entry.path().filename();
    if (name.rfind("ram", 0) == 0 || name.rfind("zram", 0) == 0) continue;
    if (name.rfind("loop", 0) == 0 && !std::filesystem::exists(entry.path() / "loop" / "backing_file")) continue;
    struct stat node {};
    if (::stat(("/dev/" + name).c_str(), &node) == 0 && S_ISBLK(node.st_mode) && !(node.st_mode & S_IROTH))
      return true;
  }
  return false;
}

TEST(ClipmenderProgram, TheLogSaysWhenTheProcessStartedAndEnded) {
  testsupport::TempDir work;
  const std::string noBus = "unix:path=/nonexistent/clipmender-test-bus";
  const auto result = testsupport::RunCommand(
      "env CLIPMENDER_WORK_DIR=" + testsupport::ShellQuote(work.path().string()) + " DBUS_SYSTEM_BUS_ADDRESS=" + noBus +
      " DBUS_SESSION_BUS_ADDRESS=" + noBus + " " + testsupport::ShellQuote(CLIPMENDER_EXECUTABLE) +
      " 2>/dev/null & echo \"pid=$!\"; wait $!");
  ASSERT_EQ(result.exitCode, 0) << result.output;
  std::smatch pid;
  ASSERT_TRUE(std::regex_search(result.output, pid, std::regex(R"(pid=(\d+))"))) << result.output;
  std::ifstream in(work / "tolveraware.log");
  const std::string log{std::istreambuf_iterator<char>(in), {}};
  const std::string time = R"(\d\d:\d\d:\d\d )";
  EXPECT_TRUE(
      std::regex_search(log, std::regex("^" + time + R"(process\[clipmender:)" + pid[1].str() + R"(\] started\n)")))
      << log;
  EXPECT_TRUE(std::regex_search(log, std::regex(time + R"(process\[)" + pid[1].str() + R"(\] existed\n$)"))) << log;
}

// Started without the rights to read disks, the program says why and how to
// start with them, instead of coming up with an empty device list.
TEST(ClipmenderProgram, WithoutDiskRightsItSaysSo) {
  if (!testsupport::IsRoot() || !testsupport::HaveTool("setpriv")) GTEST_SKIP() << "needs root and setpriv";
  if (!HasDiskRefusingPlainUsers()) GTEST_SKIP() << "no disk on this machine is closed to plain users";
  testsupport::TempDir work;
  testsupport::RunCommandOrFail("chmod 0777 " + testsupport::ShellQuote(work.path().string()));
  const auto result =
      testsupport::RunCommand("env CLIPMENDER_WORK_DIR=" + testsupport::ShellQuote(work.path().string()) +
                              " setpriv --reuid=65534 --regid=65534 --clear-groups " +
                              testsupport::ShellQuote(CLIPMENDER_EXECUTABLE) + " 2>&1");
  EXPECT_EQ(result.exitCode, 1) << result.output;
  EXPECT_NE(result.output.find("cannot read the disks"), std::string::npos) << result.output;
  EXPECT_NE(result.output.find("pkexec"), std::string::npos) << result.output;
}

}  // namespace
