// The program started without the rights to read disks.
#include <gtest/gtest.h>

#include <sys/stat.h>

#include <filesystem>
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
