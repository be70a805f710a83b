// The public helpers of the application core: texts for found files, tree
// walks, category names, settings marks and the network probe.
#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <ctime>
#include <optional>
#include <sstream>
#include <string>

#include "AppTestNode.h"
#include "QtTestSupport.h"
#include "app/KVCPPPublic.h"
#include "app/KVPublicUtilities.h"
#include "app/KVUIPublic.h"
#include "platform/MainThread.h"
#include "platform/NotificationCenter.h"
#include "platform/Resources.h"
#include "platform/UserDefaults.h"
#include "support/ScratchWorkDir.h"
#include "support/TestSupport.h"

namespace {

using platform::Resources;
using platform::UserDefaults;
using testsupport::ShellQuote;

KVCPPPublic& Public() { return KVCPPPublic::instance(); }

// What date(1) prints for a date, in the C locale and the time zone `zone`.
std::string Date(const std::string& date, const std::string& format, const std::string& zone = "UTC") {
  std::string out =
      testsupport::RunCommandOrFail("LC_ALL=C TZ=" + zone + " date -d " + ShellQuote(date) + " " + ShellQuote(format));
  while (!out.empty() && out.back() == '\n') out.pop_back();
  return out;
}

void SetZone(const char* zone) {
  zone != nullptr ? setenv("TZ", zone, 1) : unsetenv("TZ");
  tzset();
}

// The conversion of file times itself is the base library's (FileTimeTest).
TEST(Times, FileTimesShowAsDateSeesThem) {
  SetZone("UTC");
  const QString text =
      KVUIPublic::FormatFileTimeToString(filetime::FromUnixSeconds(std::stoll(Date("2020-01-02 15:04:00", "+%s"))),
                                         QLocale(QLocale::English, QLocale::UnitedStates));
  // A long date without the day of the week and a short time, whichever
  // space the locale puts before PM.
  EXPECT_TRUE(text.startsWith(QString::fromStdString(Date("2020-01-02 15:04", "+%B %-d, %Y %-I:%M"))) &&
              text.endsWith(QStringLiteral("PM")) && !text.contains(QStringLiteral(":00 ")))
      << text.toStdString();
  for (const QLocale& other : {QLocale(QLocale::German, QLocale::Germany), QLocale(QLocale::Japanese, QLocale::Japan),
                               QLocale(QLocale::French, QLocale::France)}) {
    const QString shown = KVUIPublic::FormatFileTimeToString(filetime::FromUnixSeconds(1577977440), other);
    EXPECT_FALSE(shown.contains(other.dayName(4, QLocale::LongFormat))) << shown.toStdString();  // a Thursday
    EXPECT_TRUE(shown.contains(QStringLiteral("2020"))) << shown.toStdString();
  }

  const int64_t at = std::stoll(Date("2020-12-31 23:00:00", "+%s"));  // the year's last hour in UTC
  for (const char* zone : {"UTC0", "KIT-14", "HST10"}) {
    std::istringstream out(Date("@" + std::to_string(at), "+%Y %m", zone));
    std::pair<int, int> expected, byFileTime;
    out >> expected.first >> expected.second;
    SetZone(zone);
    Public().GetYearMonthByFileTime(&byFileTime.first, &byFileTime.second, filetime::FromUnixSeconds(at));
    Public().GetYearMonthByTimeT(nullptr, nullptr, 0);  // null pointers are skipped
    EXPECT_EQ(byFileTime, expected) << zone;
  }
  SetZone(nullptr);
}

TEST(Trees, PathsRootsAndNameMatchesWalkAtMost1024Levels) {
  NodeTree tree;
  AppTestRoot* root = tree.Root("Macintosh HD", SEARCHER_TYPE_HFSPLUS);
  AppTestNode* dcim = tree.Folder(root, "DCIM");
  AppTestNode* nameless = tree.Folder(tree.Root(std::nullopt, SEARCHER_TYPE_FAT), std::nullopt);
  const std::pair<IFileNode*, QString> paths[] = {
      {tree.File(tree.Folder(dcim, "100APPLE"), "IMG_0001.JPG"), "/Macintosh HD/DCIM/100APPLE/IMG_0001.JPG"},
      {dcim, "/Macintosh HD/DCIM"},
      {root, "/Macintosh HD"},
      {nullptr, ""},
      {tree.File(nameless, "a.txt"), "///a.txt"},
      {tree.File(nameless, std::nullopt), "///"},
      {tree.File(tree.Folder(root, "Clé"), "été.jpg"), QString::fromUtf8("/Macintosh HD/Clé/été.jpg")},
  };
  for (const auto& [node, path] : paths) EXPECT_EQ(KVUIPublic::GetPathByFileNode(node), path);
  IFileNode* at1024 = tree.Chain(root, 1024);
  const QString deep = KVUIPublic::GetPathByFileNode(tree.Chain(at1024, 1000));
  EXPECT_EQ(deep.count(QLatin1Char('/')), 1024);
  EXPECT_FALSE(deep.contains(QStringLiteral("Macintosh")));
  EXPECT_EQ(Public().GetFileSystemNode(at1024), root);
  EXPECT_NE(Public().GetFileSystemNode(tree.Chain(at1024, 1)), root);
  EXPECT_EQ(Public().GetNodeSearcheType(dcim), SEARCHER_TYPE_HFSPLUS);
  EXPECT_EQ(Public().GetNodeSearcheType(tree.File(tree.Folder(nullptr, "lost"), "x")), SEARCHER_TYPE_NONE);

  EXPECT_TRUE(KVUIPublic::IsString("ÉTÉ", "photos d'été.jpg"));
  EXPECT_FALSE(KVUIPublic::IsString("winter", "2019 holiday photos.jpg"));
  EXPECT_TRUE(KVUIPublic::IsString(nullptr, static_cast<const char*>(nullptr)));
  EXPECT_FALSE(KVUIPublic::IsString("a", static_cast<const char*>(nullptr)));
  AppTestNode* holiday = tree.Folder(root, "Holiday");
  tree.File(tree.Folder(holiday, "Beach"), "sunset.jpg");
  tree.File(holiday, "notes.txt");
  AppTestNode* empty = tree.Folder(root, "sunset pictures");
  tree.File(tree.Chain(root, 20000), "needle.bin");
  const struct {
    const char* key;
    IFileNode* node;
    bool match;
  } matches[] = {
      {"SUNSET", root, true},    {"SUNSET", holiday, true}, {"Notes", holiday, true},
      {"Beach", holiday, false},  // a folder's own name does not count
      {"sunset", empty, false},  {"", empty, true},         {nullptr, empty, true},
      {"x", nullptr, false},     {"NEEDLE", root, true},    {"haystack", root, false},
  };
  for (const auto& m : matches) EXPECT_EQ(KVUIPublic::IsString(m.key, m.node), m.match) << (m.key ? m.key : "(null)");
}

TEST(Texts, SizesFileSystemsAndCategoriesInTheInterfaceLanguage) {
  // Python's "%.0f byte" / "%0.2f <unit>" of the value narrowed to single precision (struct.pack('f')).
  const std::pair<long long, const char*> sizes[] = {{999, "999 byte"},
                                                     {1000, "1.00 KB"},
                                                     {999999, "1000.00 KB"},  // stays kilobytes, rounds up in them
                                                     {1234567890, "1.23 GB"},
                                                     {123456789012345LL, "123.46 TB"}};
  for (const auto& [bytes, text] : sizes) EXPECT_EQ(KVPublicUtilities::longlongDiskSize(bytes), text);
  EXPECT_EQ(KVPublicUtilities::fileSystemTypeForInt(8, 0), "HFS+");
  EXPECT_EQ(KVPublicUtilities::fileSystemTypeForInt(10, 0), "Disk");
  EXPECT_EQ(KVPublicUtilities::fileSystemTypeForInt(8, 1), "Disk Image");

  // The shipped English table; which language's table is read is the platform's rule.
  Resources::SetRoot(QString::fromStdString((testsupport::SourceDir() / "resources").string()));
  UserDefaults::Standard().SetPreferredLanguages({"en"});
  Resources::ReloadStrings();
  const std::pair<_FILTER_TYPE, const char*> names[] = {
      {FILTER_TYPE_PICTURE, "Pictures"}, {FILTER_TYPE_MUSIC, "Music"},        {FILTER_TYPE_MOVIE, "Movies"},
      {FILTER_TYPE_ARCHIVE, "Archives"}, {FILTER_TYPE_DOCUMENT, "Documents"}, {FILTER_TYPE_OTHER, "Other"}};
  for (const auto& [type, name] : names) {
    EXPECT_EQ(Public().FilterTypeToString(type), name);
    EXPECT_EQ(Public().StringToFilterType(name), type);
    EXPECT_TRUE(Public().IsTypeString(name, type));
  }
  for (int notOne : {0, 3, 64, -1}) EXPECT_EQ(Public().FilterTypeToString(static_cast<_FILTER_TYPE>(notOne)), "");
  EXPECT_EQ(Public().StringToFilterType("music"), FILTER_TYPE_OTHER) << "names compare exactly";
  EXPECT_EQ(Public().StringToFilterType(nullptr), FILTER_TYPE_OTHER);
  EXPECT_FALSE(Public().IsTypeString("Movies", FILTER_TYPE_MUSIC));
  EXPECT_FALSE(Public().IsTypeString(nullptr, FILTER_TYPE_MUSIC));
  UserDefaults::Standard().Remove(UserDefaults::kPreferredLanguagesKey);
  Resources::SetRoot(QString());
}

TEST(Marks, TheShippedListHoldsUntilTheUserHasHisOwnInHisSettings) {
  REQUIRE_TOOL("python3");
  testsupport::TempDir resources;
  Resources::SetRoot(QString::fromStdString(resources.path().string()));
  EXPECT_FALSE(KVPublicUtilities::isFristTime().isValid());
  EXPECT_FALSE(KVPublicUtilities::getUpDataTimeStr().isValid());
  testsupport::RunCommandOrFail("python3 -c " +
                                ShellQuote("import plistlib,sys; plistlib.dump({'FristTime': 'YES', 'upDataTimeStr': "
                                           "' ', 'VersionCheck': 3}, open(sys.argv[1], 'wb'))") +
                                " " + ShellQuote((resources / "LocalVersionMessage.plist").string()));
  EXPECT_EQ(KVPublicUtilities::isFristTime().toString(), "YES");
  EXPECT_EQ(KVPublicUtilities::getUpDataTimeStr().toString(), " ");
  KVPublicUtilities::writeFristTime();
  KVPublicUtilities::writeUpDataTimeStr("2024-05-06 07:08:09");
  UserDefaults reread(UserDefaults::Standard().FilePath());  // written at once
  EXPECT_EQ(reread.Value(UserDefaults::kFirstTimeKey).toString(), "NO");
  EXPECT_EQ(reread.Value(UserDefaults::kUpdateStampKey).toString(), "2024-05-06 07:08:09");
  EXPECT_EQ(KVPublicUtilities::isFristTime().toString(), "NO");
  QVariant shipped;  // left alone: it is shared by every user
  ASSERT_TRUE(Resources::ReadPropertyList("LocalVersionMessage", &shipped));
  EXPECT_EQ(shipped.toMap().value("FristTime").toString(), "YES");
  Resources::SetRoot(QString());
}

TEST(MainThread, TheNetworkProbeAndPostsAfterBackgroundWorkAnswerThere) {
  qttest::HttpServer server;
  server.Answer("/page", "200 OK", "<html>hello</html>");
  server.Answer("/empty", "200 OK", "");
  // Fetching itself is tested with the platform layer: here, only that an empty page is no network.
  const struct {
    QUrl url;
    bool usable;
    int timeoutMs = 10000;
  } cases[] = {{server.Url("/page"), true}, {server.Url("/empty"), false}};
  for (const auto& c : cases) {
    std::optional<bool> answer;
    int calls = 0;
    KVPublicUtilities::isCanBeUseNetWork([&](bool usable) { answer = usable, ++calls; }, c.url, c.timeoutMs);
    qttest::PumpUntil([&] { return calls > 0; });
    qttest::PumpPending();
    EXPECT_EQ(calls, 1) << c.url.toString().toStdString();
    EXPECT_EQ(answer, std::optional<bool>(c.usable)) << c.url.toString().toStdString();
  }

  std::atomic<bool> workDone{false}, workOnMain{true};
  int calls = 0;
  bool doneBeforePost = false, onMain = false;
  const auto id = platform::NotificationCenter::DefaultCenter().AddObserver(
      "PublicAfterWork", nullptr, [&](const platform::Notification& n) {
        ++calls, doneBeforePost = workDone, onMain = platform::IsMainThread();
        EXPECT_EQ(n.object, KVUIPublic::NotificationObject());
      });
  KVUIPublic::NotifyMainThreadByPostKey("PublicAfterWork",
                                        [&] { workOnMain = platform::IsMainThread(), workDone = true; });
  EXPECT_TRUE(qttest::PumpUntil([&] { return calls > 0; }));
  qttest::PumpPending();
  EXPECT_EQ(calls, 1);
  EXPECT_TRUE(doneBeforePost);
  EXPECT_TRUE(onMain);
  EXPECT_FALSE(workOnMain);
  platform::NotificationCenter::DefaultCenter().RemoveObserver(id);
}

}  // namespace
