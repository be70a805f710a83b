#include "platform/SingleInstance.h"

#include <gtest/gtest.h>

#include <csignal>
#include <filesystem>
#include <string>
#include <vector>

#include <sys/wait.h>
#include <unistd.h>

#include "support/TestSupport.h"

namespace {

using platform::IsOtherInstanceRunning;
using testsupport::TempDir;

// A running process whose kernel name is `name`: a copy of sleep(1) under that
// file name (the kernel names a process after its program file).
class NamedProcess {
 public:
  NamedProcess(const TempDir& dir, const std::string& name) {
    const auto program = dir / name;
    std::filesystem::copy_file("/bin/sleep", program, std::filesystem::copy_options::overwrite_existing);
    pid_ = fork();
    if (pid_ == 0) {
      execl(program.c_str(), name.c_str(), "600", static_cast<char*>(nullptr));
      _exit(127);
    }
    // Wait until the kernel shows the new name (exec has happened).
    const std::string comm = "/proc/" + std::to_string(pid_) + "/comm";
    for (int i = 0; i < 100000; ++i) {
      std::vector<uint8_t> text = testsupport::ReadFile(comm);
      if (std::string(text.begin(), text.end()).rfind(name.substr(0, 15), 0) == 0) break;
      usleep(100);
    }
  }
  ~NamedProcess() {
    if (pid_ > 0) {
      kill(pid_, SIGKILL);
      waitpid(pid_, nullptr, 0);
    }
  }
  pid_t pid() const { return pid_; }

 private:
  pid_t pid_ = -1;
};

TEST(SingleInstance, AProcessOfTheSameNameCounts) {
  TempDir dir;
  EXPECT_FALSE(IsOtherInstanceRunning("ClipmenderTestProduct"));
  NamedProcess other(dir, "ClipmenderTestProduct");
  EXPECT_TRUE(IsOtherInstanceRunning("ClipmenderTestProduct"));
  EXPECT_TRUE(IsOtherInstanceRunning("clipmendertestproduct"));  // names compare without case
}

TEST(SingleInstance, PrefixesAndLongerNamesDoNotCount) {
  TempDir dir;
  NamedProcess shorter(dir, "Clip");
  NamedProcess longer(dir, "ClipmendeX");
  EXPECT_FALSE(IsOtherInstanceRunning("Clipmende"));
  EXPECT_FALSE(IsOtherInstanceRunning("ClipmendeXY"));
  EXPECT_TRUE(IsOtherInstanceRunning("Clip"));
  EXPECT_TRUE(IsOtherInstanceRunning("ClipmendeX"));
}

TEST(SingleInstance, LongProductNamesCompareAsTheKernelKeepsThem) {
  TempDir dir;
  NamedProcess other(dir, "Clipmender Recovery Suite");  // the kernel keeps "Clipmender Reco"
  EXPECT_TRUE(IsOtherInstanceRunning("Clipmender Recovery Suite"));
  EXPECT_FALSE(IsOtherInstanceRunning("Clipmender Rec"));
}

TEST(SingleInstance, ThisProcessDoesNotCount) {
  // A process table with this process and one other, as files.
  TempDir proc;
  auto add = [&](const std::string& pid, const std::string& comm, const std::string& stat) {
    std::filesystem::create_directories(proc / pid);
    testsupport::WriteFile(proc / pid / "comm", comm + "\n");
    testsupport::WriteFile(proc / pid / "stat", pid + " (" + comm + ") " + stat + " 1 1 1\n");
  };
  add(std::to_string(getpid()), "Clipmender", "R");
  add("1", "init", "S");
  add("self", "Clipmender", "R");
  const QString root = QString::fromStdString(proc.path().string());
  EXPECT_FALSE(IsOtherInstanceRunning("Clipmender", root));
  add("4242", "Clipmender", "S");
  EXPECT_TRUE(IsOtherInstanceRunning("Clipmender", root));
  // A name holding ") " does not confuse the state field.
  add("4243", "a) Z (b", "Z");
  EXPECT_FALSE(IsOtherInstanceRunning("a) Z (b", root));
  add("4244", "x) Z (y", "S");
  EXPECT_TRUE(IsOtherInstanceRunning("x) Z (y", root));
}

TEST(SingleInstance, ExitedProcessesDoNotCount) {
  TempDir dir;
  pid_t zombie = -1;
  {
    const auto program = dir / "ClipZombieTest";
    std::filesystem::copy_file("/bin/true", program);
    zombie = fork();
    if (zombie == 0) {
      execl(program.c_str(), "ClipZombieTest", static_cast<char*>(nullptr));
      _exit(127);
    }
  }
  // Wait until it has exited, without reaping it: it stays a zombie.
  siginfo_t info{};
  ASSERT_EQ(waitid(P_PID, static_cast<id_t>(zombie), &info, WEXITED | WNOWAIT), 0);
  EXPECT_FALSE(IsOtherInstanceRunning("ClipZombieTest"));
  waitpid(zombie, nullptr, 0);
}

TEST(SingleInstance, EmptyNamesAndMissingProcFilesAreHarmless) {
  EXPECT_FALSE(IsOtherInstanceRunning(""));
  EXPECT_FALSE(IsOtherInstanceRunning("anything", "/nonexistent-proc"));
}

}  // namespace
