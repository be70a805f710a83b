#include "app/KVUIPublic.h"

#include <gtest/gtest.h>

#include <QThread>

#include <atomic>
#include <cstdlib>
#include <ctime>
#include <string>

#include "AppTestNode.h"
#include "QtTestSupport.h"
#include "platform/MainThread.h"
#include "platform/NotificationCenter.h"
#include "support/TestSupport.h"

namespace {

using platform::NotificationCenter;

// Unix seconds of a UTC date, as date(1) computes them.
int64_t UnixSeconds(const std::string& utcDate) {
  const std::string out = testsupport::RunCommandOrFail("date -u -d " + testsupport::ShellQuote(utcDate) + " +%s");
  return std::stoll(out);
}

std::string DateText(int64_t seconds, const std::string& format) {
  std::string out = testsupport::RunCommandOrFail("LC_ALL=C TZ=UTC date -d @" + std::to_string(seconds) + " " +
                                                  testsupport::ShellQuote(format));
  while (!out.empty() && out.back() == '\n') out.pop_back();
  return out;
}

class ZoneGuard {
 public:
  explicit ZoneGuard(const char* zone) {
    const char* old = std::getenv("TZ");
    had_ = old != nullptr;
    if (had_) old_ = old;
    setenv("TZ", zone, 1);
    tzset();
  }
  ~ZoneGuard() {
    if (had_) {
      setenv("TZ", old_.c_str(), 1);
    } else {
      unsetenv("TZ");
    }
    tzset();
  }

 private:
  bool had_ = false;
  std::string old_;
};

TEST(WindowsTime, TheUnixEpochIsZero) { EXPECT_EQ(convertWindowsTimeToUnixTime(116444736000000000ULL), 0); }

TEST(WindowsTime, DatesConvertToTheSecondsDateComputes) {
  const int64_t seconds = UnixSeconds("2021-03-04 05:06:07");
  EXPECT_EQ(convertWindowsTimeToUnixTime(static_cast<uint64_t>(seconds) * 10000000ULL + 116444736000000000ULL),
            seconds);
  // Parts of a second are dropped.
  EXPECT_EQ(convertWindowsTimeToUnixTime(static_cast<uint64_t>(seconds) * 10000000ULL + 116444736009999999ULL),
            seconds);
  // Before 1970 the result is negative: 1601-01-01 itself.
  EXPECT_EQ(convertWindowsTimeToUnixTime(0), UnixSeconds("1601-01-01 00:00:00"));
}

TEST(WindowsTime, TheDisplayTextHasALongDateAndAShortTime) {
  ZoneGuard utc("UTC");
  const int64_t seconds = UnixSeconds("2020-01-02 15:04:00");
  const uint64_t fileTime = static_cast<uint64_t>(seconds) * 10000000ULL + 116444736000000000ULL;
  const QString text = KVUIPublic::FormatFileTimeToString(fileTime, QLocale(QLocale::English, QLocale::UnitedStates));
  EXPECT_TRUE(text.startsWith(QString::fromStdString(DateText(seconds, "+%A, %B %-d, %Y")))) << text.toStdString();
  // The short time, whichever space the locale puts before AM/PM.
  EXPECT_TRUE(text.contains(QString::fromStdString(DateText(seconds, "+%-I:%M")))) << text.toStdString();
  EXPECT_TRUE(text.endsWith(QStringLiteral("PM"))) << text.toStdString();
  EXPECT_FALSE(text.contains(QStringLiteral(":00 "))) << "no seconds in a short time: " << text.toStdString();
}

TEST(DisplayPath, IsTheVolumeThenEachFolderThenTheName) {
  NodeTree tree;
  AppTestRoot* root = tree.Root("Macintosh HD", SEARCHER_TYPE_HFSPLUS);
  AppTestNode* dcim = tree.Folder(root, "DCIM");
  AppTestNode* day = tree.Folder(dcim, "100APPLE");
  AppTestNode* photo = tree.File(day, "IMG_0001.JPG");
  EXPECT_EQ(KVUIPublic::GetPathByFileNode(photo), "/Macintosh HD/DCIM/100APPLE/IMG_0001.JPG");
  EXPECT_EQ(KVUIPublic::GetPathByFileNode(dcim), "/Macintosh HD/DCIM");
  EXPECT_EQ(KVUIPublic::GetPathByFileNode(root), "/Macintosh HD");
  EXPECT_EQ(KVUIPublic::GetPathByFileNode(nullptr), "");
}

TEST(DisplayPath, MissingNamesAreEmptyComponents) {
  NodeTree tree;
  AppTestRoot* root = tree.Root(std::nullopt, SEARCHER_TYPE_FAT);
  AppTestNode* folder = tree.Folder(root, std::nullopt);
  AppTestNode* file = tree.File(folder, "a.txt");
  EXPECT_EQ(KVUIPublic::GetPathByFileNode(file), "///a.txt");
  EXPECT_EQ(KVUIPublic::GetPathByFileNode(tree.File(root, std::nullopt)), "//");
}

TEST(DisplayPath, NamesAreReadAsUtf8) {
  NodeTree tree;
  AppTestRoot* root = tree.Root("Clé", SEARCHER_TYPE_EXFAT);
  AppTestNode* file = tree.File(root, "été.jpg");
  EXPECT_EQ(KVUIPublic::GetPathByFileNode(file), QString::fromUtf8("/Clé/été.jpg"));
}

TEST(DisplayPath, DeepTreesAreCutAtTheLimit) {
  NodeTree tree;
  AppTestRoot* root = tree.Root("Vol", SEARCHER_TYPE_NTFS);
  IFileNode* deepest = tree.Chain(root, 2000);
  const QString path = KVUIPublic::GetPathByFileNode(deepest);
  EXPECT_EQ(path.count(QLatin1Char('/')), 1024);
  EXPECT_FALSE(path.contains(QStringLiteral("Vol")));
}

TEST(FileSystemPrefix, NamesTheFoldersOfRecoveredFiles) {
  EXPECT_EQ(KVUIPublic::GetFileSystemStrByType(31), "HFS+_");
  EXPECT_EQ(KVUIPublic::GetFileSystemStrByType(32), "Fat_");
  EXPECT_EQ(KVUIPublic::GetFileSystemStrByType(33), "ExFat_");
  EXPECT_EQ(KVUIPublic::GetFileSystemStrByType(34), "RAW_");
  for (int other : {35, 36, 30, 0, -1}) EXPECT_EQ(KVUIPublic::GetFileSystemStrByType(other), "") << other;
}

TEST(NameMatch, TextsContainTheKeyIgnoringCase) {
  EXPECT_TRUE(KVUIPublic::IsString("HOLIDAY", "2019 holiday photos.jpg"));
  EXPECT_TRUE(KVUIPublic::IsString("ÉTÉ", "photos d'été.jpg"));
  EXPECT_FALSE(KVUIPublic::IsString("winter", "2019 holiday photos.jpg"));
  EXPECT_TRUE(KVUIPublic::IsString(nullptr, static_cast<const char*>(nullptr)));
  EXPECT_TRUE(KVUIPublic::IsString("", "anything"));
  EXPECT_FALSE(KVUIPublic::IsString("a", static_cast<const char*>(nullptr)));
}

TEST(NameMatch, AFolderMatchesThroughTheFilesBelowIt) {
  NodeTree tree;
  AppTestRoot* root = tree.Root("Vol", SEARCHER_TYPE_NTFS);
  AppTestNode* holiday = tree.Folder(root, "Holiday");
  AppTestNode* beach = tree.Folder(holiday, "Beach");
  tree.File(beach, "sunset.jpg");
  tree.File(holiday, "notes.txt");
  AppTestNode* empty = tree.Folder(root, "sunset pictures");

  EXPECT_TRUE(KVUIPublic::IsString("SUNSET", root));
  EXPECT_TRUE(KVUIPublic::IsString("SUNSET", holiday));
  EXPECT_TRUE(KVUIPublic::IsString("Notes", holiday));
  EXPECT_FALSE(KVUIPublic::IsString("Beach", holiday)) << "a folder's own name does not count";
  EXPECT_FALSE(KVUIPublic::IsString("sunset", empty));
  EXPECT_TRUE(KVUIPublic::IsString("", empty));
  EXPECT_TRUE(KVUIPublic::IsString(nullptr, empty));
  EXPECT_FALSE(KVUIPublic::IsString("x", static_cast<IFileNode*>(nullptr)));
}

TEST(NameMatch, DeepFoldersAreSearchedToTheBottom) {
  NodeTree tree;
  AppTestRoot* root = tree.Root("Vol", SEARCHER_TYPE_NTFS);
  tree.File(tree.Chain(root, 20000), "needle.bin");
  EXPECT_TRUE(KVUIPublic::IsString("NEEDLE", root));
  EXPECT_FALSE(KVUIPublic::IsString("haystack", root));
}

TEST(MainThreadNotifications, APostFromAWorkerArrivesOnceOnTheMainThread) {
  qttest::App();
  std::atomic<int> calls{0};
  bool onMain = false;
  QVariant object;
  const auto id = NotificationCenter::DefaultCenter().AddObserver("PublicFromWorker", nullptr,
                                                                  [&](const platform::Notification& n) {
                                                                    ++calls;
                                                                    onMain = platform::IsMainThread();
                                                                    object = n.object;
                                                                  });
  QThread* worker = QThread::create([] { EXPECT_TRUE(KVUIPublic::NotifyMainThread("PublicFromWorker")); });
  worker->start();
  worker->wait();
  delete worker;
  EXPECT_TRUE(qttest::PumpUntil([&] { return calls > 0; }));
  qttest::PumpPending();
  EXPECT_EQ(calls.load(), 1);
  EXPECT_TRUE(onMain);
  EXPECT_EQ(object, KVUIPublic::NotificationObject());
  NotificationCenter::DefaultCenter().RemoveObserver(id);
}

TEST(MainThreadNotifications, AKeyIsPostedAfterItsBackgroundWork) {
  qttest::App();
  std::atomic<bool> workDone{false};
  std::atomic<bool> workOnMain{true};
  bool doneBeforePost = false;
  int calls = 0;
  const auto id =
      NotificationCenter::DefaultCenter().AddObserver("PublicAfterWork", nullptr, [&](const platform::Notification&) {
        ++calls;
        doneBeforePost = workDone;
      });
  KVUIPublic::NotifyMainThreadByPostKey("PublicAfterWork", [&] {
    workOnMain = platform::IsMainThread();
    workDone = true;
  });
  EXPECT_TRUE(qttest::PumpUntil([&] { return calls > 0; }));
  qttest::PumpPending();
  EXPECT_EQ(calls, 1);
  EXPECT_TRUE(doneBeforePost);
  EXPECT_FALSE(workOnMain);
  NotificationCenter::DefaultCenter().RemoveObserver(id);
}

}  // namespace
