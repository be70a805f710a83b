#include "app/KVUIPublic.h"

#include <gtest/gtest.h>

#include <QThread>

#include <atomic>
#include <cstdlib>
#include <string>

#include "AppTestNode.h"
#include "QtTestSupport.h"
#include "platform/MainThread.h"
#include "platform/NotificationCenter.h"
#include "support/TestSupport.h"

namespace {

using platform::NotificationCenter;

// What date(1) prints for a date, in UTC and the C locale.
std::string Date(const std::string& date, const std::string& format) {
  std::string out = testsupport::RunCommandOrFail("LC_ALL=C TZ=UTC date -d " + testsupport::ShellQuote(date) + " " +
                                                  testsupport::ShellQuote(format));
  while (!out.empty() && out.back() == '\n') out.pop_back();
  return out;
}

uint64_t FileTime(int64_t unixSeconds, uint64_t fraction = 0) {
  return static_cast<uint64_t>(unixSeconds) * 10000000ULL + 116444736000000000ULL + fraction;
}

TEST(WindowsTime, ConvertsToTheSecondsAndTextsDateGives) {
  const int64_t seconds = std::stoll(Date("2021-03-04 05:06:07", "+%s"));
  EXPECT_EQ(convertWindowsTimeToUnixTime(FileTime(0)), 0);
  EXPECT_EQ(convertWindowsTimeToUnixTime(FileTime(seconds)), seconds);
  EXPECT_EQ(convertWindowsTimeToUnixTime(FileTime(seconds, 9999999)), seconds) << "parts of a second are dropped";
  EXPECT_EQ(convertWindowsTimeToUnixTime(0), std::stoll(Date("1601-01-01 00:00:00", "+%s")));

  const char* oldZone = std::getenv("TZ");
  const std::string saved = oldZone != nullptr ? oldZone : "";
  setenv("TZ", "UTC", 1);
  tzset();
  const QString text = KVUIPublic::FormatFileTimeToString(FileTime(std::stoll(Date("2020-01-02 15:04:00", "+%s"))),
                                                          QLocale(QLocale::English, QLocale::UnitedStates));
  oldZone != nullptr ? setenv("TZ", saved.c_str(), 1) : unsetenv("TZ");
  tzset();
  // A long date and a short time, whichever space the locale puts before PM.
  EXPECT_TRUE(text.startsWith(QString::fromStdString(Date("2020-01-02 15:04:00", "+%A, %B %-d, %Y")))) << text.toStdString();
  EXPECT_TRUE(text.contains(QString::fromStdString(Date("2020-01-02 15:04:00", "+%-I:%M")))) << text.toStdString();
  EXPECT_TRUE(text.endsWith(QStringLiteral("PM"))) << text.toStdString();
  EXPECT_FALSE(text.contains(QStringLiteral(":00 "))) << "no seconds in a short time: " << text.toStdString();
}

TEST(DisplayPath, IsTheVolumeThenEachFolderThenTheNameToADepthOf1024) {
  NodeTree tree;
  AppTestRoot* root = tree.Root("Macintosh HD", SEARCHER_TYPE_HFSPLUS);
  AppTestNode* dcim = tree.Folder(root, "DCIM");
  AppTestNode* nameless = tree.Folder(tree.Root(std::nullopt, SEARCHER_TYPE_FAT), std::nullopt);
  const struct {
    IFileNode* node;
    QString path;
  } cases[] = {
      {tree.File(tree.Folder(dcim, "100APPLE"), "IMG_0001.JPG"), "/Macintosh HD/DCIM/100APPLE/IMG_0001.JPG"},
      {dcim, "/Macintosh HD/DCIM"},
      {root, "/Macintosh HD"},
      {nullptr, ""},
      {tree.File(nameless, "a.txt"), "///a.txt"},
      {tree.File(nameless, std::nullopt), "///"},
      {tree.File(tree.Folder(root, "Clé"), "été.jpg"), QString::fromUtf8("/Macintosh HD/Clé/été.jpg")},
  };
  for (const auto& c : cases) EXPECT_EQ(KVUIPublic::GetPathByFileNode(c.node), c.path);
  const QString deep = KVUIPublic::GetPathByFileNode(tree.Chain(root, 2000));
  EXPECT_EQ(deep.count(QLatin1Char('/')), 1024);
  EXPECT_FALSE(deep.contains(QStringLiteral("Macintosh")));
}

TEST(NameMatch, TextsAndFilesBelowAFolderContainTheKeyIgnoringCase) {
  EXPECT_TRUE(KVUIPublic::IsString("HOLIDAY", "2019 holiday photos.jpg"));
  EXPECT_TRUE(KVUIPublic::IsString("ÉTÉ", "photos d'été.jpg"));
  EXPECT_FALSE(KVUIPublic::IsString("winter", "2019 holiday photos.jpg"));
  EXPECT_TRUE(KVUIPublic::IsString(nullptr, static_cast<const char*>(nullptr)));
  EXPECT_FALSE(KVUIPublic::IsString("a", static_cast<const char*>(nullptr)));

  NodeTree tree;
  AppTestRoot* root = tree.Root("Vol", SEARCHER_TYPE_NTFS);
  AppTestNode* holiday = tree.Folder(root, "Holiday");
  tree.File(tree.Folder(holiday, "Beach"), "sunset.jpg");
  tree.File(holiday, "notes.txt");
  AppTestNode* empty = tree.Folder(root, "sunset pictures");
  tree.File(tree.Chain(root, 20000), "needle.bin");
  const struct {
    const char* key;
    IFileNode* node;
    bool match;
  } cases[] = {
      {"SUNSET", root, true},   {"SUNSET", holiday, true}, {"Notes", holiday, true},
      {"Beach", holiday, false},  // a folder's own name does not count
      {"sunset", empty, false}, {"", empty, true},         {nullptr, empty, true},
      {"x", nullptr, false},    {"NEEDLE", root, true},    {"haystack", root, false},
  };
  for (const auto& c : cases) EXPECT_EQ(KVUIPublic::IsString(c.key, c.node), c.match) << (c.key ? c.key : "(null)");
  EXPECT_EQ(KVUIPublic::GetFileSystemStrByType(SEARCHER_TYPE_HFSPLUS), "HFS+_");
  EXPECT_EQ(KVUIPublic::GetFileSystemStrByType(SEARCHER_TYPE_NTFS), "");
}

TEST(MainThreadNotifications, PostsArriveOnceOnTheMainThreadAfterTheirWork) {
  qttest::App();
  int calls = 0;
  bool onMain = false;
  QVariant object;
  std::atomic<bool> workDone{false}, workOnMain{true};
  bool doneBeforePost = false;
  for (const char* name : {"PublicFromWorker", "PublicAfterWork"}) {
    const auto id =
        NotificationCenter::DefaultCenter().AddObserver(name, nullptr, [&](const platform::Notification& n) {
          ++calls;
          onMain = platform::IsMainThread();
          object = n.object;
          doneBeforePost = workDone;
        });
    if (name == std::string("PublicFromWorker")) {
      QThread* worker = QThread::create([name] { EXPECT_TRUE(KVUIPublic::NotifyMainThread(name)); });
      worker->start();
      worker->wait();
      delete worker;
    } else {
      KVUIPublic::NotifyMainThreadByPostKey(name, [&] {
        workOnMain = platform::IsMainThread();
        workDone = true;
      });
    }
    EXPECT_TRUE(qttest::PumpUntil([&] { return calls > 0; }));
    qttest::PumpPending();
    EXPECT_EQ(calls, 1) << name;
    EXPECT_TRUE(onMain) << name;
    EXPECT_EQ(object, KVUIPublic::NotificationObject());
    NotificationCenter::DefaultCenter().RemoveObserver(id);
    calls = 0;
  }
  EXPECT_TRUE(doneBeforePost);
  EXPECT_FALSE(workOnMain);
}

}  // namespace
