#include "base/Utility.h"

#include <gtest/gtest.h>

#include <atomic>
#include <sstream>
#include <thread>

#include "Locks.h"
#include "support/TestSupport.h"

namespace {

using testsupport::RunCommand;
using testsupport::ShellQuote;

TEST(Clocks, AgreeWithTheDateCommandAndTheMonotonicClock) {
  EXPECT_EQ(GetLocalTime(nullptr), 0xFFFFFFFFu);
  _SYSTEMTIME now{};
  ASSERT_EQ(GetLocalTime(&now), 0u);
  std::istringstream date(RunCommand("date '+%Y %m %d %w %H'").output);
  int year, month, day, weekday, hour;
  date >> year >> month >> day >> weekday >> hour;
  EXPECT_EQ(std::tie(now.wYear, now.wMonth, now.wDay, now.wDayOfWeek, now.wHour),
            std::make_tuple(year, month, day, weekday, hour));

  // A negative time leaves the record alone.
  _SYSTEMTIME t{};
  t.wYear = 1234;
  EXPECT_EQ(ConverTime(-5, &t), 0);
  EXPECT_EQ(t.wYear, 1234);

  // Whole seconds of the clock that wall-clock changes never move, as python
  // reads it, wrapped at 32 bits.
  const uint64_t before = std::stoull(RunCommand("python3 -c 'import time; print(int(time.monotonic()))'").output);
  const uint32_t tick = GetTickCount();
  const uint64_t after = std::stoull(RunCommand("python3 -c 'import time; print(int(time.monotonic()))'").output);
  EXPECT_EQ(tick % 1000, 0u);
  EXPECT_LE(static_cast<uint32_t>(tick - before * 1000), (after - before) * 1000);
}

TEST(Files, SizeIsCutTo32Bits) {
  testsupport::TempDir dir;
  EXPECT_EQ(GetFileSize(nullptr), 0u);
  EXPECT_EQ(GetFileSize((dir / "missing").c_str()), 0u);
  ASSERT_EQ(RunCommand("truncate -s 4294967301 " + ShellQuote((dir / "big").string())).exitCode, 0);
  EXPECT_EQ(GetFileSize((dir / "big").c_str()), 5u);
}

TEST(Files, CopyKeepsDataModesAndExtendedAttributes) {
  testsupport::TempDir dir;
  const auto src = dir / "src";
  std::filesystem::create_directories(src / "inner");
  testsupport::WriteFile(src / "a.txt", "alpha");
  testsupport::WriteFile(src / "inner" / "b.bin", std::string("\0\1\2beta", 7));
  std::filesystem::permissions(src / "a.txt", std::filesystem::perms(0640));
  const bool xattrs =
      RunCommand("setfattr -n user.origin -v scanned " + ShellQuote((src / "a.txt").string()) + " 2>/dev/null")
          .exitCode == 0;

  ASSERT_EQ(CopyFileA(src.c_str(), (dir / "dst").c_str(), 0), 0);
  EXPECT_EQ(RunCommand("diff -r " + ShellQuote(src.string()) + " " + ShellQuote((dir / "dst").string())).exitCode, 0);
  EXPECT_EQ(std::filesystem::status(dir / "dst" / "a.txt").permissions(), std::filesystem::perms(0640));
  if (xattrs) {
    EXPECT_EQ(
        RunCommand("getfattr --only-values -n user.origin " + ShellQuote((dir / "dst" / "a.txt").string())).output,
        "scanned");
  }
  EXPECT_NE(CopyFileA((dir / "missing").c_str(), (dir / "x").c_str(), 0), 0);
}

TEST(Locks, AWakeUpBeforeTheWaitIsNotLostAndSimpleCsIsRecursive) {
  WaitEvent event;
  event.WakeUp();
  EXPECT_TRUE(event.EnterWait(1000));
  EXPECT_FALSE(event.EnterWait(20));  // consumed
  std::thread waker([&] { event.WakeUp(); });
  EXPECT_TRUE(event.EnterWait());
  waker.join();

  SimpleCs cs;
  {
    SimpleLock outer(&cs, "outer");
    SimpleLock inner(&cs, "inner");
    EXPECT_TRUE(cs.HeldByCurrentThread());
    EXPECT_STREQ(cs.Holder(), "outer");
  }
  EXPECT_FALSE(cs.HeldByCurrentThread());
  SimpleLock none(nullptr, "nobody");  // a null lock locks nothing
}

}  // namespace
