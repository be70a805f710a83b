#include "base/CatchExeception.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <csignal>
#include <regex>
#include <set>
#include <thread>

#include <sys/mman.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include "support/ScratchWorkDir.h"
#include "support/TestSupport.h"

namespace {

using testsupport::LogLines;

TEST(WriteLog, PrefixesTheLocalTimeAndCutsTheTextTo1999Characters) {
  ASSERT_TRUE(testsupport::kScratchWorkDirChosen);
  EXPECT_STREQ(CatchExeception::GetWorkPath(), testsupport::ScratchWorkDir().c_str());
  EXPECT_EQ(CatchExeception::WriteLog("copy of %s failed at %d\n", "a.jpg", 42), 9 + 27);  // the newline counts
  EXPECT_TRUE(std::regex_match(LogLines().back(), std::regex(R"(\d\d:\d\d:\d\d copy of a\.jpg failed at 42)")));
  EXPECT_EQ(CatchExeception::WriteLog("%s\n", std::string(3000, 'x').c_str()), 9 + 1999);
  EXPECT_EQ(LogLines().back().size(), 9u + 1999u);
  CatchExeception::WriteLog("\n");  // the cut line lost its newline
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
  const std::regex started(R"(\d\d:\d\d:\d\d process\[test_engine_bas:)" + std::to_string(getpid()) + R"(\] started)");
  const auto lines = LogLines();
  EXPECT_TRUE(std::any_of(lines.begin(), lines.end(), [&](auto& l) { return std::regex_match(l, started); }));
}

TEST(CrashHandler, PrintsFramesAndDiesByTheSignal) {
  const struct {
    void (*crash)();
    int signal;
  } cases[] = {
      // A real fault (not undefined behaviour the sanitizers would stop first).
      {[] { *static_cast<volatile int*>(mmap(nullptr, 4096, PROT_NONE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0)) = 1; },
       SIGSEGV},
      {[] { std::abort(); }, SIGABRT},
      // A crash inside malloc must still print and die, not deadlock: the
      // handler allocates nothing.
      {[] {
         std::signal(SIGALRM, [](int) { raise(SIGSEGV); });
         alarm(1);
         for (;;) std::free(std::malloc(4096));
       },
       SIGSEGV},
  };
  for (const auto& c : cases) {
    const auto [status, output] = testsupport::RunInChild([&] {
      struct rlimit noCore {
        0, 0
      };
      setrlimit(RLIMIT_CORE, &noCore);
      CatchExeception::Install();
      c.crash();
      return 0;
    });
    ASSERT_TRUE(WIFSIGNALED(status)) << output;
    EXPECT_EQ(WTERMSIG(status), c.signal);
    EXPECT_NE(output.find("crashed with signal " + std::to_string(c.signal)), std::string::npos) << output;
    // backtrace_symbols_fd writes one "module(symbol+offset) [address]" line per frame.
    EXPECT_GE(std::count(output.begin(), output.end(), '\n'), 4) << output;
    EXPECT_NE(output.find("test_engine_base"), std::string::npos) << output;
  }
}

}  // namespace
