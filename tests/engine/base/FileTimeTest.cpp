#include "FileTime.h"

#include <gtest/gtest.h>

#include <string>

#include "support/TestSupport.h"

namespace {

int64_t UnixSecondsOf(const std::string& utcDate) {
  const auto r = testsupport::RunCommand("date -u -d " + testsupport::ShellQuote(utcDate) + " +%s");
  EXPECT_EQ(r.exitCode, 0);
  return std::stoll(r.output);
}

std::string UtcDateOf(int64_t unixSeconds) {
  const auto r = testsupport::RunCommand("date -u -d @" + std::to_string(unixSeconds) + " '+%Y-%m-%d %H:%M:%S'");
  EXPECT_EQ(r.exitCode, 0);
  return r.output.substr(0, r.output.find('\n'));
}

TEST(FileTime, EpochsAgreeWithTheDateCommand) {
  // _FILETIME 0 is 1601-01-01 and HFS+ second 0 is 1904-01-01, both UTC.
  EXPECT_EQ(filetime::FromUnixSeconds(UnixSecondsOf("1601-01-01 00:00:00")), 0u);
  EXPECT_EQ(filetime::FromHFSPlusSeconds(0), filetime::FromUnixSeconds(UnixSecondsOf("1904-01-01 00:00:00")));
  EXPECT_EQ(filetime::FromUnixSeconds(0), filetime::kUnixEpoch);
}

TEST(FileTime, KnownDatesConvertBothWays) {
  const char* const kDates[] = {"1969-07-20 20:17:40", "1980-01-01 00:00:00", "2000-02-29 12:34:56",
                                "2038-01-19 03:14:08", "2106-02-07 06:28:15", "1904-01-01 00:00:01"};
  for (const char* date : kDates) {
    SCOPED_TRACE(date);
    const int64_t unix = UnixSecondsOf(date);
    const _FILETIME ft = filetime::FromUnixSeconds(unix);
    EXPECT_EQ(ft % filetime::kTicksPerSecond, 0u);
    EXPECT_EQ(filetime::ToUnixSeconds(ft), unix);
    EXPECT_EQ(UtcDateOf(filetime::ToUnixSeconds(ft)), date);
    if (unix >= UnixSecondsOf("1904-01-01 00:00:00") && unix <= UnixSecondsOf("2040-02-06 06:28:15")) {
      const uint32_t hfs = static_cast<uint32_t>(unix - UnixSecondsOf("1904-01-01 00:00:00"));
      EXPECT_EQ(filetime::FromHFSPlusSeconds(hfs), ft);
    }
  }
}

TEST(FileTime, SubSecondTicksRoundTowardsTheEarlierSecond) {
  EXPECT_EQ(filetime::ToUnixSeconds(filetime::kUnixEpoch + 9'999'999), 0);
  EXPECT_EQ(filetime::ToUnixSeconds(filetime::kUnixEpoch - 1), -1);
  EXPECT_EQ(filetime::FromUnixSeconds(UnixSecondsOf("1600-12-31 23:59:59")), 0u);
}

}  // namespace
