#include "FileTime.h"

#include <gtest/gtest.h>

#include "support/TestSupport.h"

namespace {

// What `date -u` says of a date (its Unix seconds) or of Unix seconds (the date).
std::string DateCommand(const std::string& date) {
  const auto r = testsupport::RunCommand("date -u -d " + testsupport::ShellQuote(date) + " '+%s %Y-%m-%d %H:%M:%S'");
  EXPECT_EQ(r.exitCode, 0) << date;
  return r.output.substr(0, r.output.find('\n'));
}
int64_t UnixSecondsOf(const std::string& date) { return std::stoll(DateCommand(date)); }

TEST(FileTime, KnownDatesConvertBothWaysAsTheDateCommandSays) {
  // _FILETIME 0 is 1601-01-01 and HFS+ second 0 is 1904-01-01, both UTC.
  EXPECT_EQ(filetime::FromUnixSeconds(UnixSecondsOf("1601-01-01 00:00:00")), 0u);
  EXPECT_EQ(filetime::FromUnixSeconds(UnixSecondsOf("1600-12-31 23:59:59")), 0u);
  const int64_t hfsEpoch = UnixSecondsOf("1904-01-01 00:00:00");
  for (const char* date : {"1904-01-01 00:00:01", "1969-07-20 20:17:40", "1980-01-01 00:00:00", "2000-02-29 12:34:56",
                           "2038-01-19 03:14:08", "2106-02-07 06:28:15"}) {
    SCOPED_TRACE(date);
    const int64_t unix = UnixSecondsOf(date);
    const _FILETIME ft = filetime::FromUnixSeconds(unix);
    EXPECT_EQ(ft % filetime::kTicksPerSecond, 0u);
    EXPECT_EQ(DateCommand("@" + std::to_string(filetime::ToUnixSeconds(ft))), std::to_string(unix) + " " + date);
    if (unix - hfsEpoch <= UINT32_MAX) {
      EXPECT_EQ(filetime::FromHFSPlusSeconds(static_cast<uint32_t>(unix - hfsEpoch)), ft);
    }
  }
}

TEST(FileTime, SubSecondTicksRoundTowardsTheEarlierSecond) {
  EXPECT_EQ(filetime::ToUnixSeconds(filetime::kUnixEpoch + 9'999'999), 0);
  EXPECT_EQ(filetime::ToUnixSeconds(filetime::kUnixEpoch - 1), -1);
}

}  // namespace
