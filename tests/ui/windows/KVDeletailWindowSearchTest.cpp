// The results window's name search over a made-up camera card (the gallery's
// scene): the text searched for loses one blank at either end, text typed
// while a search runs is searched for when it ends, and in the cover flow
// the end of a search starts the loader again at the first file.
#include <QLineEdit>
#include <QTest>

#include <gtest/gtest.h>

#include <atomic>
#include <condition_variable>
#include <mutex>

#include "KVDeletailWindowTestSupport.h"
#include "KVWindowsTestSupport.h"
#include "UiTestSupport.h"
#include "app/KVUIDeviceData.h"
#include "app/KVUIScan.h"
#include "ui/widgets/KitSegmentedControl.h"
#include "ui/windows/Photo.h"
#include "ui/windows/gallery/ResultsScene.h"

namespace {

using resultsscene::Scene;
using resultstest::Browsing;

TEST(SearchText, LosesOneBlankAtEitherEnd) {
  EXPECT_EQ(KVDeletailWindowController::GetSearchText(QStringLiteral(" beach ")), QStringLiteral("beach"));
  EXPECT_EQ(KVDeletailWindowController::GetSearchText(QStringLiteral("  beach  ")), QStringLiteral(" beach "));
  EXPECT_EQ(KVDeletailWindowController::GetSearchText(QStringLiteral("old trip")), QStringLiteral("old trip"));
  EXPECT_EQ(KVDeletailWindowController::GetSearchText(QStringLiteral(" ")), QString());
  EXPECT_EQ(KVDeletailWindowController::GetSearchText(QStringLiteral("  ")), QString());
  EXPECT_EQ(KVDeletailWindowController::GetSearchText(QString()), QString());
  // The three characters a non-breaking blank beside two blanks arrives as
  // are one blank.
  EXPECT_EQ(KVDeletailWindowController::GetSearchText(QStringLiteral("old\u00C2  trip")), QStringLiteral("old trip"));
  EXPECT_EQ(KVDeletailWindowController::GetSearchText(QStringLiteral("a\u00C2  \u00C2  b")), QStringLiteral("a  b"));
}

QStringList Names(const KVDeletailWindowController& window) {
  QStringList names;
  for (IFileNode* file : window.arrList) names << OpNodeData::fileNodeName(file);
  names.sort();
  return names;
}

// A window on the scene's card, scanned to the end, whose searches can be
// held on their thread until released.
class HeldSearches : public testing::Test {
 protected:
  void SetUp() override {
    windowtest::Start();
    _DiskVolumeData disk;
    disk.name = "CARD";
    disk.diskIndex = 7;
    disk.volumeIndex = 0;
    DiskVolumeNodeData row(disk);
    row.setParentName(QStringLiteral("CARD"));
    window_ = new KVDeletailWindowController;
    window_->setSelectDiskVolumeData(row);
    window_->setScanStarter([this](const DiskVolumeNodeData*, const QString& name) { return scene_.Start(name); });
    window_->showWindow();
    window_->getData();
    ASSERT_TRUE(Browsing(*window_));
    qttest::PumpUntil([] { return false; }, 1);
    window_->popupViewHidden();
    scene_.scan().SetSearchProbe([this](size_t, size_t) {
      std::unique_lock<std::mutex> held(lock_);
      ++searching_;
      opened_.wait(held, [this] { return !hold_; });
    });
    platform::NotificationCenter::DefaultCenter().AddObserver(QStringLiteral("DoSearchValue"), &counter_,
                                                              [this](const platform::Notification&) { ++ended_; });
  }
  void TearDown() override {
    Open();
    delete window_.data();
    qttest::PumpUntil([this] { return scene_.scan().IsSearching() == 0; }, 5);
  }
  void Hold() {
    std::lock_guard<std::mutex> held(lock_);
    hold_ = true;
  }
  void Open() {
    std::lock_guard<std::mutex> held(lock_);
    hold_ = false;
    opened_.notify_all();
  }
  int Searching() {
    std::lock_guard<std::mutex> held(lock_);
    return searching_;
  }
  void Type(const QString& text) {
    window_->search->textField()->selectAll();
    QTest::keyClicks(window_->search->textField(), text);
    QTest::keyClick(window_->search->textField(), Qt::Key_Return);
  }

  Scene scene_{1, 1};
  QPointer<KVDeletailWindowController> window_;
  QObject counter_;
  std::mutex lock_;
  std::condition_variable opened_;
  bool hold_ = false;
  int searching_ = 0;
  int ended_ = 0;
};

TEST_F(HeldSearches, TextTypedWhileASearchRunsIsSearchedForWhenItEnds) {
  Hold();
  Type(QStringLiteral("img_41"));
  ASSERT_TRUE(qttest::PumpUntil([&] { return Searching() > 0; }));
  // The trees and the list are emptied at once.
  EXPECT_TRUE(window_->allDiskArr.empty());
  EXPECT_TRUE(window_->arrList.empty());
  // Refused while the first one runs; searched for when it ends.
  Type(QStringLiteral("readme"));
  EXPECT_EQ(KVUIController::GetSearchString(), QStringLiteral("img_41"));
  Open();
  ASSERT_TRUE(qttest::PumpUntil([&] { return ended_ >= 2 && scene_.scan().IsSearching() == 0; }));
  qttest::PumpUntil([] { return false; }, 1);
  EXPECT_EQ(ended_, 2);
  EXPECT_EQ(KVUIController::GetSearchString(), QStringLiteral("readme"));
  EXPECT_EQ(Names(*window_), QStringList{QStringLiteral("readme.txt")});
  // The folders narrowed to what holds a match.
  ASSERT_FALSE(window_->allDiskArr.empty());
  OpNodeData* root = window_->allDiskArr.front().get();
  EXPECT_EQ(root->name(), Scene::VolumeName(0));
  EXPECT_EQ(resultstest::FolderAt(*window_, root, {QStringLiteral("DCIM")}), nullptr);
  EXPECT_EQ(resultstest::FolderAt(*window_, root, {QStringLiteral("Documents")}), nullptr);
}

TEST_F(HeldSearches, InTheCoverFlowTheEndOfASearchLoadsFromTheFirstFile) {
  window_->segment->setSelectedSegment(KVDeletailWindowController::kCoverFlowMode);
  window_->segmentSelect(window_->segment);
  Type(QStringLiteral(".JPG"));
  ASSERT_TRUE(qttest::PumpUntil([&] { return ended_ >= 1 && scene_.scan().IsSearching() == 0; }));
  ASSERT_TRUE(qttest::PumpUntil([&] { return window_->nImageState.load() == KVThumbnailQueue::kEnded; }));
  // The camera's twelve and the old trip's two.
  ASSERT_EQ(window_->arrList.size(), static_cast<size_t>(Scene::kCameraFiles + 2));
  ASSERT_EQ(window_->photos.size(), window_->arrList.size());
  EXPECT_EQ(window_->flowSelectedIndex, 0);
  // More than ten: the first hundred from the first file, so all of them.
  for (size_t k = 0; k < window_->photos.size(); ++k) {
    EXPECT_EQ(window_->photos[k]->imageTitle(), OpNodeData::fileNodeName(window_->arrList[k])) << k;
  }
  EXPECT_EQ(window_->segment->selectedSegment(), KVDeletailWindowController::kCoverFlowMode);
}

}  // namespace
