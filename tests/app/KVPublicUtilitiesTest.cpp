#include "app/KVPublicUtilities.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <optional>

#include "QtTestSupport.h"
#include "platform/Resources.h"
#include "platform/UserDefaults.h"
#include "support/TestSupport.h"

namespace {

using platform::UserDefaults;

// Expected texts are Python's "%.0f byte" / "%0.2f <unit>" of the value
// narrowed to single precision (struct.pack('f')).
TEST(SizeText, UsesDecimalUnits) {
  const std::pair<long long, const char*> cases[] = {
      {0, "0 byte"},
      {999, "999 byte"},
      {1000, "1.00 KB"},
      {999999, "1000.00 KB"},  // stays kilobytes and rounds up within them
      {1500000, "1.50 MB"},
      {1000000000, "1.00 GB"},
      {1234567890, "1.23 GB"},
      {500000000000LL, "500.00 GB"},
      {1000000000000LL, "1.00 TB"},
      {123456789012345LL, "123.46 TB"},
  };
  for (const auto& [bytes, text] : cases) {
    EXPECT_EQ(KVPublicUtilities::longlongDiskSize(bytes), text);
    EXPECT_EQ(KVPublicUtilities::longlongConvertVolSpace(bytes), text);
  }
  const char* names[] = {"FAT12", "FAT16", "FAT32", "NTFS", "EXT2", "EXT3", "RAW", "EXFAT", "HFS+", "Unknown"};
  for (int type = 0; type <= 9; ++type) EXPECT_EQ(KVPublicUtilities::fileSystemTypeForInt(type, 0), names[type]);
  for (int type : {-1, 10}) EXPECT_EQ(KVPublicUtilities::fileSystemTypeForInt(type, 0), "Disk");
  EXPECT_EQ(KVPublicUtilities::fileSystemTypeForInt(8, 1), "Disk Image");
}

TEST(Marks, TheShippedListHoldsUntilTheUserHasHisOwnInHisSettings) {
  REQUIRE_TOOL("python3");
  static testsupport::TempDir work;  // the working folder is fixed for the whole process
  setenv("CLIPMENDER_WORK_DIR", work.path().c_str(), 1);
  testsupport::TempDir resources;
  platform::Resources::SetRoot(QString::fromStdString(resources.path().string()));
  EXPECT_FALSE(KVPublicUtilities::isFristTime().isValid());
  EXPECT_FALSE(KVPublicUtilities::getUpDataTimeStr().isValid());
  testsupport::RunCommandOrFail(
      "python3 -c " +
      testsupport::ShellQuote("import plistlib,sys; plistlib.dump({'FristTime': 'YES', 'upDataTimeStr': ' ', "
                              "'VersionCheck': 3}, open(sys.argv[1], 'wb'))") +
      " " + testsupport::ShellQuote((resources / "LocalVersionMessage.plist").string()));
  EXPECT_EQ(KVPublicUtilities::isFristTime().toString(), "YES");
  EXPECT_EQ(KVPublicUtilities::getUpDataTimeStr().toString(), " ");
  KVPublicUtilities::writeFristTime();
  KVPublicUtilities::writeUpDataTimeStr("2024-05-06 07:08:09");
  EXPECT_EQ(KVPublicUtilities::isFristTime().toString(), "NO");
  EXPECT_EQ(KVPublicUtilities::getUpDataTimeStr().toString(), "2024-05-06 07:08:09");
  UserDefaults reread(UserDefaults::Standard().FilePath());  // written at once
  EXPECT_EQ(reread.Value(UserDefaults::kFirstTimeKey).toString(), "NO");
  EXPECT_EQ(reread.Value(UserDefaults::kUpdateStampKey).toString(), "2024-05-06 07:08:09");
  QVariant shipped;  // left alone: it is shared by every user
  ASSERT_TRUE(platform::Resources::ReadPropertyList("LocalVersionMessage", &shipped));
  EXPECT_EQ(shipped.toMap().value("FristTime").toString(), "YES");
  platform::Resources::SetRoot(QString());
}

TEST(NetworkProbe, OnlyDataArrivingMeansTheNetworkWorks) {
  qttest::HttpServer server;
  server.Answer("/page", "200 OK", "<html>hello</html>");
  server.Answer("/empty", "200 OK", "");
  server.Raw("/silent", "");
  const struct {
    QUrl url;
    bool usable;
    int timeoutMs = 10000;
  } cases[] = {
      {server.Url("/page"), true},       {server.Url("/empty"), false},
      {server.Url("/missing"), false},   {server.Url("/silent"), false, 300},
      {QUrl("http://127.0.0.1:9/"), false},  // nobody listens on the discard port
  };
  for (const auto& c : cases) {
    std::optional<bool> answer;
    int calls = 0;
    KVPublicUtilities::isCanBeUseNetWork([&](bool usable) { answer = usable, ++calls; }, c.url, c.timeoutMs);
    qttest::PumpUntil([&] { return calls > 0; });
    qttest::PumpPending();
    EXPECT_EQ(calls, 1) << c.url.toString().toStdString();
    EXPECT_EQ(answer, std::optional<bool>(c.usable)) << c.url.toString().toStdString();
  }
}

}  // namespace
