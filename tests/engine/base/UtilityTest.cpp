#include "base/Utility.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <filesystem>
#include <sstream>
#include <thread>

#include "Locks.h"
#include "support/TestSupport.h"

namespace {

using testsupport::RunCommand;
using testsupport::ShellQuote;
using testsupport::TempDir;

TEST(LocalTime, AgreesWithTheDateCommand) {
  EXPECT_EQ(GetLocalTime(nullptr), 0xFFFFFFFFu);
  _SYSTEMTIME now {};
  ASSERT_EQ(GetLocalTime(&now), 0u);
  std::istringstream date(RunCommand("date '+%Y %m %d %w %H'").output);
  int year, month, day, weekday, hour;
  date >> year >> month >> day >> weekday >> hour;
  EXPECT_EQ(now.wYear, year);
  EXPECT_EQ(now.wMonth, month);
  EXPECT_EQ(now.wDay, day);
  EXPECT_EQ(now.wDayOfWeek, weekday);
  EXPECT_EQ(now.wHour, hour);
}

TEST(LocalTime, ConverTimeLeavesTheRecordAloneForNegativeTimes) {
  _SYSTEMTIME t {};
  t.wYear = 1234;
  EXPECT_EQ(ConverTime(-5, &t), 0);
  EXPECT_EQ(t.wYear, 1234);
  ASSERT_EQ(ConverTime(86400 * 365, &t), 0);
  EXPECT_EQ(t.wMilliseconds, 0);
  EXPECT_TRUE(t.wYear == 1971 || t.wYear == 1970);  // local zone
}

TEST(TickCount, IsWholeSecondsAndNeverGoesBack) {
  uint32_t last = GetTickCount();
  EXPECT_EQ(last % 1000, 0u);
  for (int i = 0; i < 1000; ++i) {
    const uint32_t now = GetTickCount();
    EXPECT_GE(static_cast<uint32_t>(now - last), 0u);
    EXPECT_LT(static_cast<uint32_t>(now - last), 5000u);
    last = now;
  }
}

TEST(Strings, ValidityOfUtf8) {
  EXPECT_EQ(isValidString(nullptr), 0);
  EXPECT_EQ(isValidString("\xC3\x28"), 0);
  EXPECT_EQ(isValidString("caf\xC3\xA9"), 1);
  EXPECT_EQ(isValidString(""), 1);
}

TEST(Files, SizeIsCutTo32Bits) {
  TempDir dir;
  EXPECT_EQ(GetFileSize(nullptr), 0u);
  EXPECT_EQ(GetFileSize((dir / "missing").c_str()), 0u);
  testsupport::WriteFile(dir / "five", "12345");
  EXPECT_EQ(GetFileSize((dir / "five").c_str()), 5u);
  ASSERT_EQ(RunCommand("truncate -s 4294967301 " + ShellQuote((dir / "big").string())).exitCode, 0);
  EXPECT_EQ(GetFileSize((dir / "big").c_str()), 5u);
}

TEST(Files, CopyKeepsDataModesAndExtendedAttributes) {
  TempDir dir;
  const auto src = dir / "src";
  std::filesystem::create_directories(src / "inner");
  testsupport::WriteFile(src / "a.txt", "alpha");
  testsupport::WriteFile(src / "inner" / "b.bin", std::string("\0\1\2beta", 7));
  std::filesystem::permissions(src / "a.txt", std::filesystem::perms(0640));
  const bool xattrs =
      RunCommand("setfattr -n user.origin -v scanned " + ShellQuote((src / "a.txt").string()) + " 2>/dev/null").exitCode == 0;

  ASSERT_EQ(CopyFileA(src.c_str(), (dir / "dst").c_str(), 0), 0);
  EXPECT_EQ(RunCommand("diff -r " + ShellQuote(src.string()) + " " + ShellQuote((dir / "dst").string())).exitCode, 0);
  EXPECT_EQ(std::filesystem::status(dir / "dst" / "a.txt").permissions(), std::filesystem::perms(0640));
  if (xattrs) {
    EXPECT_EQ(RunCommand("getfattr --only-values -n user.origin " + ShellQuote((dir / "dst" / "a.txt").string())).output,
              "scanned");
  }
  EXPECT_NE(CopyFileA((dir / "missing").c_str(), (dir / "x").c_str(), 0), 0);
}

TEST(Locks, WakeUpBeforeTheWaitIsNotLost) {
  WaitEvent event;
  event.WakeUp();
  EXPECT_TRUE(event.EnterWait(1000));
  EXPECT_FALSE(event.EnterWait(20));  // consumed

  std::thread waker([&] { event.WakeUp(); });
  EXPECT_TRUE(event.EnterWait());
  waker.join();
}

TEST(Locks, SimpleCsIsRecursiveAndNullLocksNothing) {
  SimpleCs cs;
  {
    SimpleLock outer(&cs, "outer");
    SimpleLock inner(&cs, "inner");
    EXPECT_TRUE(cs.HeldByCurrentThread());
    EXPECT_STREQ(cs.Holder(), "outer");
  }
  EXPECT_FALSE(cs.HeldByCurrentThread());
  SimpleLock none(nullptr, "nobody");
  ReadLock noRead(nullptr);
  WriteLock noWrite(nullptr);

  std::atomic<int> counter = 0;
  mutex_locker m;
  std::vector<std::thread> threads;
  int plain = 0;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&] {
      for (int i = 0; i < 10000; ++i) {
        autolocker<mutex_locker> held(m);
        ++plain;
        counter.fetch_add(1, std::memory_order_relaxed);
      }
    });
  }
  for (auto& th : threads) th.join();
  EXPECT_EQ(plain, counter.load());
}

}  // namespace
