#include "platform/SingleInstance.h"

#include <gtest/gtest.h>

#include <csignal>
#include <cstdio>
#include <filesystem>
#include <string>

#include <sys/wait.h>
#include <unistd.h>

#include "support/TestSupport.h"

namespace {

using platform::IsOtherInstanceRunning;
using testsupport::TempDir;

// Starts `program` copied under the file name `name`: the kernel names the
// process after it. Returns once the kernel shows the new name.
pid_t StartNamed(const TempDir& dir, const char* program, const std::string& name) {
  const auto path = dir / name;
  std::filesystem::copy_file(program, path, std::filesystem::copy_options::overwrite_existing);
  const pid_t pid = fork();
  if (pid == 0) {
    execl(path.c_str(), name.c_str(), "600", static_cast<char*>(nullptr));
    _exit(127);
  }
  const std::string comm = "/proc/" + std::to_string(pid) + "/comm";
  for (int i = 0; i < 100000; ++i) {
    const std::vector<uint8_t> text = testsupport::ReadFile(comm);
    if (std::string(text.begin(), text.end()).rfind(name.substr(0, 15), 0) == 0) break;
    usleep(100);
  }
  return pid;
}

TEST(SingleInstance, RealProcessesCountByTheirWholeKernelName) {
  TempDir dir;
  // Names carry this process's number so that test runs side by side never see each other's.
  char id[8];
  snprintf(id, sizeof id, "%05x", static_cast<unsigned>(getpid()) & 0xFFFFFu);
  const std::string tag(id);
  const auto IsOtherInstanceRunning = [](const std::string& name) {
    return platform::IsOtherInstanceRunning(QString::fromStdString(name));
  };
  EXPECT_FALSE(IsOtherInstanceRunning("Cm" + tag + "TestProduct"));
  std::vector<pid_t> pids;
  for (const std::string& name :
       {"Cm" + tag + "TestProduct", "Cp" + tag, "Cx" + tag + "X", "Cs" + tag + " Recovery Suite"}) {
    pids.push_back(StartNamed(dir, "/bin/sleep", name));
  }
  // Names compare whole and without case, after the kernel's cut to 15 bytes ("Cs<tag> Recover").
  const std::pair<std::string, bool> cases[] = {{"Cm" + tag + "TestProduct", true},
                                                {"cM" + tag + "testproduct", true},
                                                {"Cp" + tag, true},
                                                {"Cx" + tag + "X", true},
                                                {"Cx" + tag, false},
                                                {"Cx" + tag + "XY", false},
                                                {"Cs" + tag + " Recovery Suite", true},
                                                {"Cs" + tag + " Recov", false},
                                                {"", false}};
  for (const auto& [asked, running] : cases) EXPECT_EQ(IsOtherInstanceRunning(asked), running) << asked;
  for (pid_t pid : pids) {
    kill(pid, SIGKILL);
    waitpid(pid, nullptr, 0);
  }
}

// A zombie (state Z) does not count.
TEST(SingleInstance, ThisProcessZombiesAndNamesHoldingParenthesesDoNotMislead) {
  TempDir proc;
  auto add = [&](const std::string& pid, const std::string& comm, const std::string& state) {
    std::filesystem::create_directories(proc / pid);
    testsupport::WriteFile(proc / pid / "comm", comm + "\n");
    testsupport::WriteFile(proc / pid / "stat", pid + " (" + comm + ") " + state + " 1 1 1\n");
  };
  add(std::to_string(getpid()), "Clipmender", "R");
  add("self", "Clipmender", "R");
  add("4243", "a) Z (b", "Z");
  add("4244", "x) Z (y", "S");
  const QString root = QString::fromStdString(proc.path().string());
  EXPECT_FALSE(IsOtherInstanceRunning("Clipmender", root));
  EXPECT_FALSE(IsOtherInstanceRunning("a) Z (b", root));
  EXPECT_TRUE(IsOtherInstanceRunning("x) Z (y", root));
  add("4242", "Clipmender", "S");
  EXPECT_TRUE(IsOtherInstanceRunning("Clipmender", root));
  EXPECT_FALSE(IsOtherInstanceRunning("anything", "/nonexistent-proc"));
}

}  // namespace
