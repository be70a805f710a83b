#include "base/CatchExeception.h"

#include <gtest/gtest.h>

#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <regex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include <sys/mman.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include "support/TestSupport.h"

namespace {

// The working folder is computed once per process, so the whole test program
// logs into one folder of its own, chosen before anything logs.
const std::string& WorkDir() {
  static const std::string dir = [] {
    char tmpl[] = "/tmp/clipmender-logtest-XXXXXX";
    const char* made = mkdtemp(tmpl);
    std::string d = made ? made : "/tmp";
    setenv("CLIPMENDER_WORK_DIR", d.c_str(), 1);
    // Registered before anything logs, so it runs after the process object's
    // last line at exit.
    static const std::string* const kept = new std::string(d);
    std::atexit([] {
      std::error_code ec;
      std::filesystem::remove_all(*kept, ec);
    });
    return d;
  }();
  return dir;
}
const bool kWorkDirChosen = !WorkDir().empty();

std::vector<std::string> LogLines() {
  std::ifstream in(WorkDir() + "/tolveraware.log");
  std::vector<std::string> lines;
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
}

TEST(WriteLog, PrefixesTheLocalTimeAndAppendsToTheLogFile) {
  ASSERT_TRUE(kWorkDirChosen);
  EXPECT_STREQ(CatchExeception::GetWorkPath(), WorkDir().c_str());
  const int n = CatchExeception::WriteLog("copy of %s failed at %d\n", "a.jpg", 42);
  EXPECT_EQ(n, 9 + 27);  // the newline counts
  const auto lines = LogLines();
  ASSERT_FALSE(lines.empty());
  EXPECT_TRUE(std::regex_match(lines.back(), std::regex(R"(\d\d:\d\d:\d\d copy of a\.jpg failed at 42)")))
      << lines.back();
}

TEST(WriteLog, CutsTheTextTo1999Characters) {
  const std::string text(3000, 'x');
  EXPECT_EQ(CatchExeception::WriteLog("%s\n", text.c_str()), 9 + 1999);
  const auto lines = LogLines();
  ASSERT_FALSE(lines.empty());
  EXPECT_EQ(lines.back().size(), 9u + 1999u);
}

TEST(WriteLog, ConcurrentThreadsWriteWholeLines) {
  constexpr int kThreads = 8;
  constexpr int kLinesEach = 300;
  const size_t before = LogLines().size();
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([t] {
      const std::string payload(100 + t * 37, static_cast<char>('a' + t));
      for (int i = 0; i < kLinesEach; ++i) CatchExeception::WriteLog("T%d-%04d %s\n", t, i, payload.c_str());
    });
  }
  for (auto& th : threads) th.join();

  const auto lines = LogLines();
  ASSERT_EQ(lines.size(), before + kThreads * kLinesEach);
  std::set<std::string> seen;
  const std::regex shape(R"(\d\d:\d\d:\d\d T(\d)-(\d{4}) ([a-h]+))");
  for (size_t i = before; i < lines.size(); ++i) {
    std::smatch m;
    ASSERT_TRUE(std::regex_match(lines[i], m, shape)) << lines[i].substr(0, 80);
    const int t = std::stoi(m[1]);
    EXPECT_EQ(m[3].str(), std::string(100 + t * 37, static_cast<char>('a' + t)));
    seen.insert(m[1].str() + m[2].str());
  }
  EXPECT_EQ(seen.size(), static_cast<size_t>(kThreads * kLinesEach));
}

TEST(WriteLog, ProcessObjectAnnouncesItself) {
  CatchExeception::Instance();
  const auto lines = LogLines();
  bool found = false;
  const std::regex started(R"(\d\d:\d\d:\d\d process\[test_engine_bas:(\d+)\] started)");
  for (const auto& line : lines) {
    std::smatch m;
    if (std::regex_match(line, m, started) && std::stoi(m[1]) == getpid()) found = true;
  }
  EXPECT_TRUE(found);
}

struct ChildOutcome {
  int status = 0;
  std::string output;
};

// Runs `crash` in a forked child with the handler installed; collects what it
// printed and how it ended.
template <class Crash>
ChildOutcome CrashInChild(Crash crash) {
  int fds[2];
  EXPECT_EQ(pipe(fds), 0);
  const pid_t pid = fork();
  if (pid == 0) {
    close(fds[0]);
    dup2(fds[1], STDOUT_FILENO);
    struct rlimit noCore {0, 0};
    setrlimit(RLIMIT_CORE, &noCore);
    CatchExeception::Install();
    crash();
    _exit(0);
  }
  close(fds[1]);
  ChildOutcome out;
  char buf[4096];
  ssize_t n;
  while ((n = read(fds[0], buf, sizeof buf)) > 0) out.output.append(buf, static_cast<size_t>(n));
  close(fds[0]);
  waitpid(pid, &out.status, 0);
  return out;
}

// A real fault (not undefined behaviour the sanitizers would stop first): a
// write to a page mapped without access.
__attribute__((noinline)) void WriteToProtectedPage() {
  void* page = mmap(nullptr, 4096, PROT_NONE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  *static_cast<volatile int*>(page) = 1;
}

TEST(CrashHandler, PrintsFramesAndDiesByTheSignal) {
  const auto segv = CrashInChild([] { WriteToProtectedPage(); });
  ASSERT_TRUE(WIFSIGNALED(segv.status)) << segv.output;
  EXPECT_EQ(WTERMSIG(segv.status), SIGSEGV);
  EXPECT_NE(segv.output.find("crashed with signal 11"), std::string::npos) << segv.output;
  // backtrace_symbols_fd writes one "module(symbol+offset) [address]" line per frame.
  EXPECT_GE(std::count(segv.output.begin(), segv.output.end(), '\n'), 4) << segv.output;
  EXPECT_NE(segv.output.find("test_engine_base"), std::string::npos) << segv.output;

  const auto abrt = CrashInChild([] { std::abort(); });
  ASSERT_TRUE(WIFSIGNALED(abrt.status));
  EXPECT_EQ(WTERMSIG(abrt.status), SIGABRT);
  EXPECT_NE(abrt.output.find("crashed with signal 6"), std::string::npos);
}

TEST(CrashHandler, SurvivesACrashWhileTheHeapLockIsHeld) {
  // A crash inside malloc must still print and die, not deadlock: the
  // handler allocates nothing.
  const auto outcome = CrashInChild([] {
    std::signal(SIGALRM, [](int) { raise(SIGSEGV); });
    alarm(1);
    for (;;) {
      void* p = std::malloc(4096);
      std::free(p);
    }
  });
  ASSERT_TRUE(WIFSIGNALED(outcome.status));
  EXPECT_EQ(WTERMSIG(outcome.status), SIGSEGV);
}

}  // namespace
