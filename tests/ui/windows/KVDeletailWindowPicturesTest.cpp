// The results window on the photos fixture (tests/fixtures/photos: 311 small
// JPEGs that ImageMagick drew and mtools copied onto a FAT32 card, a third
// of them deleted), scanned through the device list of a stand-in machine:
// the cover flow fills the pictures around the selection (every one up to
// ten, else a hundred either side) with the thumbnails of the right files
// (their average colours against ImageMagick's), the grid shows the files'
// thumbnails with tick boxes that agree with the list's, a stop with loads
// queued returns, switching rows and views while loading leaves the right
// pictures, and the name search narrows the trees and the list to the
// names fls lists and gives everything back when cleared. The card is
// unchanged afterwards.
#include <QAbstractButton>
#include <QElapsedTimer>
#include <QLineEdit>
#include <QPainter>
#include <QScrollBar>
#include <QTest>
#include <QToolButton>

#include <gtest/gtest.h>

#include <cstdio>
#include <set>

#include "KVDeletailWindowTestSupport.h"
#include "KVWindowsTestSupport.h"
#include "UiTestSupport.h"
#include "app/KVUIDeviceData.h"
#include "app/KVUIScan.h"
#include "app/thumbnails/PhotoFixture.h"
#include "engine/device/DeviceTestSupport.h"
#include "engine/enumeration/EnumTestSupport.h"
#include "ui/widgets/CNGridView.h"
#include "ui/widgets/CNGridViewItem.h"
#include "ui/widgets/KitElidedLabel.h"
#include "ui/widgets/KitImageFlowView.h"
#include "ui/widgets/KitImageView.h"
#include "ui/widgets/KitImages.h"
#include "ui/widgets/KitSegmentedControl.h"
#include "ui/windows/Photo.h"

namespace {

namespace fs = std::filesystem;
using resultstest::Browsing;
using resultstest::Choose;
using resultstest::FolderAt;

QString Name(IFileNode* file) { return OpNodeData::fileNodeName(file); }

QColor Average(const QImage& image) {
  return image.scaled(1, 1, Qt::IgnoreAspectRatio, Qt::SmoothTransformation).pixelColor(0, 0);
}

// Whether a tick box drawn into `image` shows ticked at `inside`, a point of
// its plate off the tick mark: the ticked plate is blue, the empty one grey.
bool Ticked(const QImage& image, QPoint inside) {
  const QColor c = image.pixelColor(inside);
  return c.blue() > 180 && c.red() < 120;
}

// The window on the card's volume, scanned to the end.
class PhotoCardWindow : public testing::Test {
 protected:
  void SetUp() override {
    REQUIRE_PHOTO_FIXTURE();
    windowtest::Start();
    KVUIController::initFileType();
    KVUIController::SetRecoveryType(0x7f);
    guard_ = std::make_unique<devicetest::ImageGuard>(phototest::Disk());
    machine_.AddDisk({.name = "sdp", .major = 8, .minor = 112, .size512 = fs::file_size(phototest::Disk()) / 512});
    machine_.SetNode("sdp", phototest::Disk());
    KVUIController::UseDevices(&model_);
    KVUIController::UseScan(&scan_);
    KVUIController::RefreshDeviceInfo();
    std::vector<std::unique_ptr<DiskVolumeNodeData>> rows;
    KVUIController::GetDeviceInfoToArray(&rows);
    ASSERT_EQ(rows.size(), 1u);
    ASSERT_EQ(rows.front()->numberOfChildren(), 1u);
    window_ = KVDeletailWindowController::OpenForScan(*rows.front()->childAtIndex(0));
    ASSERT_TRUE(Browsing(*window_));
    qttest::PumpUntil([] { return false; }, 1);  // the scan's last news
    window_->popupViewHidden();
    ASSERT_EQ(window_->allDiskArr.size(), 1u);
    root_ = window_->allDiskArr.front().get();
    pictures_ = phototest::Pictures();
    ASSERT_EQ(pictures_.size(), 311u);
  }
  void TearDown() override {
    delete window_.data();
    KVUIController::UseScan(nullptr);
    KVUIController::UseDevices(nullptr);
  }

  KVDeletailWindowController& w() { return *window_; }
  void ChooseFolder(const QStringList& path) {
    OpNodeData* row = FolderAt(w(), root_, path);
    ASSERT_NE(row, nullptr) << qPrintable(path.join('/'));
    Choose(w(), row);
  }
  // Presses a segment of the view switch as the pointer does.
  void Show(int mode) {
    QTest::mouseClick(w().segment, Qt::LeftButton, {}, w().segment->segmentRect(mode).center().toPoint());
    ASSERT_EQ(w().selectSegmentCount, mode);
  }
  // Whether `image` is the thumbnail of `file`: its average colour is near
  // the one ImageMagick measured of the original.
  testing::AssertionResult ThumbnailOf(const QImage& image, IFileNode* file) {
    const std::string name = Name(file).toStdString();
    if (image.isNull()) return testing::AssertionFailure() << name << " has no picture";
    const auto& rgb = pictures_[name].rgb;
    const QColor ours = Average(image);
    if (uitest::Near(ours, QColor(rgb[0], rgb[1], rgb[2]), 8)) return testing::AssertionSuccess();
    return testing::AssertionFailure() << name << ": " << ours.name().toStdString() << " is not near rgb(" << rgb[0]
                                       << "," << rgb[1] << "," << rgb[2] << ")";
  }
  // The cover-flow pictures that have their file's name.
  std::set<size_t> NamedPictures() {
    std::set<size_t> named;
    for (size_t k = 0; k < w().photos.size() && k < w().arrList.size(); ++k) {
      if (w().photos[k]->imageID() == Name(w().arrList[k])) named.insert(k);
    }
    return named;
  }
  bool CoverFlowEnded() {
    return qttest::PumpUntil([&] { return w().nImageState.load() == KVThumbnailQueue::kEnded; }) &&
           (qttest::PumpPending(), true);
  }
  // Every picture of [first, end) is its file's, and only those have names.
  void ExpectCoverFlowLoaded(size_t first, size_t end) {
    ASSERT_TRUE(CoverFlowEnded());
    ASSERT_EQ(w().photos.size(), w().arrList.size());
    for (size_t k = 0; k < w().photos.size(); ++k) {
      const Photo& photo = *w().photos[k];
      if (k >= first && k < end) {
        EXPECT_EQ(photo.imageTitle(), Name(w().arrList[k])) << k;
        EXPECT_TRUE(ThumbnailOf(photo.imageRepresentation(), w().arrList[k])) << k;
      } else {
        EXPECT_EQ(photo.imageTitle(), QStringLiteral("Loading...")) << k;
        EXPECT_TRUE(photo.imageRepresentation().isNull()) << k;
      }
    }
  }
  std::vector<CNGridViewItem*> Tiles() {
    std::vector<CNGridViewItem*> tiles;
    for (qint64 index : w().gridMainView->placedIndexes()) {
      tiles.push_back(qobject_cast<CNGridViewItem*>(w().gridMainView->placedItem(index)));
    }
    return tiles;
  }
  // Waits until the grid has placed its tiles and loaded every thumbnail.
  bool GridLoaded() {
    const QImage loading = KitImages::Named(QStringLiteral("loading.png")).toImage();
    return qttest::PumpUntil([&] {
      if (w().gridImageState.load() != KVThumbnailQueue::kEnded || Tiles().empty()) return false;
      for (CNGridViewItem* tile : Tiles()) {
        if (tile->itemImage().toImage() == loading) return false;
      }
      return true;
    });
  }
  // Whether the list's tick box of `row` shows ticked.
  bool ListTicked(int row) {
    KitTableColumn* column = w().tableView->tableColumnWithIdentifier(QStringLiteral("CheckBox"));
    w().willDisplayCell(w().tableView, column->dataCell(), column, row);
    QImage cell(30, 20, QImage::Format_ARGB32_Premultiplied);
    cell.fill(Qt::black);
    QPainter painter(&cell);
    column->dataCell()->drawWithFrame(&painter, cell.rect());
    painter.end();
    return Ticked(cell, QPoint(3, 5));
  }
  static bool TileTicked(CNGridViewItem* tile) { return Ticked(uitest::Grab(tile->itemButton()), QPoint(3, 3)); }

  enumtest::FakeMachine machine_;
  std::unique_ptr<devicetest::ImageGuard> guard_;
  KVUIDeviceData model_{[this] { return std::make_unique<CEnumDeviceEx>(machine_.Source()); }};
  KVUIScan scan_{&model_};
  QPointer<KVDeletailWindowController> window_;
  OpNodeData* root_ = nullptr;
  std::map<std::string, phototest::Picture> pictures_;
};

TEST_F(PhotoCardWindow, TheCoverFlowFillsThePicturesAroundTheSelectionWithTheirFilesThumbnails) {
  ChooseFolder({QStringLiteral("DCIM"), QStringLiteral("100PHOTO")});
  std::set<std::string> listed, expected;
  for (IFileNode* file : w().arrList) listed.insert(Name(file).toStdString());
  for (const auto& file : phototest::FilesIn("DCIM/100PHOTO")) expected.insert(fs::path(file.path).filename());
  ASSERT_EQ(listed, expected);
  ASSERT_EQ(w().arrList.size(), 300u);

  Show(KVDeletailWindowController::kCoverFlowMode);
  EXPECT_TRUE(w().coverFlower->isVisibleTo(w().window()));
  EXPECT_FALSE(w().gridView->isVisibleTo(w().window()));
  EXPECT_EQ(w().flowView->numberOfItems(), 300);
  ExpectCoverFlowLoaded(0, 100);
  qttest::PumpPending();
  uitest::SaveArtifact(uitest::Grab(w().window()), QStringLiteral("results-cover-flow"));

  // A row chosen in the list under the pictures: a hundred either side of it.
  w().shouldSelectRow(w().coverFlowerTableView, 150);
  EXPECT_EQ(w().flowView->selectedIndex(), 150);
  ExpectCoverFlowLoaded(0, 250);
  // A picture chosen in the flow: the lists follow it.
  w().imageFlowDidSelectItemAtIndex(w().flowView, 280);
  EXPECT_EQ(w().coverFlowerTableView->selectedRow(), 280);
  EXPECT_EQ(w().coverFlowerTableView->rowNum(), 280);
  ExpectCoverFlowLoaded(0, 300);

  // Ten files or fewer: every one, wherever the selection is.
  ChooseFolder({QStringLiteral("Few")});
  ASSERT_EQ(w().arrList.size(), 8u);
  w().shouldSelectRow(w().coverFlowerTableView, 7);
  ExpectCoverFlowLoaded(0, 8);

  // Back to the big folder, stopped at once: the loader keeps still from
  // then on, having loaded no more than it had begun.
  ChooseFolder({QStringLiteral("DCIM"), QStringLiteral("100PHOTO")});
  QElapsedTimer stopping;
  stopping.start();
  w().stopImageLoading();
  const qint64 ms = stopping.elapsed();
  EXPECT_EQ(w().nImageState.load(), KVThumbnailQueue::kEnded);
  const std::set<size_t> stopped = NamedPictures();
  qttest::PumpUntil([] { return false; }, 1);
  EXPECT_EQ(NamedPictures(), stopped);
  std::printf("cover flow stopped in %lld ms with %zu of 100 pictures named\n", static_cast<long long>(ms),
              stopped.size());
}

TEST_F(PhotoCardWindow, TheGridShowsTheFilesThumbnailsWithTheListsTicks) {
  ChooseFolder({QStringLiteral("DCIM"), QStringLiteral("100PHOTO")});
  for (const int row : {0, 3, 7}) OpNodeData::setFileNodeWithState(w().arrList[static_cast<size_t>(row)], 2);
  Show(KVDeletailWindowController::kGridMode);
  EXPECT_TRUE(w().gridView->isVisibleTo(w().window()));
  EXPECT_FALSE(w().coverFlower->isVisibleTo(w().window()));
  ASSERT_TRUE(GridLoaded());
  ASSERT_GE(Tiles().size(), 10u);
  for (CNGridViewItem* tile : Tiles()) {
    const auto row = static_cast<int>(tile->index());
    IFileNode* file = w().arrList[static_cast<size_t>(row)];
    EXPECT_EQ(tile->titleLabel()->text(), Name(file));
    EXPECT_TRUE(ThumbnailOf(tile->itemImage().toImage(), file));
    EXPECT_EQ(TileTicked(tile), ListTicked(row)) << row;
    EXPECT_EQ(TileTicked(tile), row == 0 || row == 3 || row == 7) << row;
  }
  uitest::SaveArtifact(uitest::Grab(w().window()), QStringLiteral("results-grid"));

  // A tile's box ticks its file: the list and the summary say so.
  CNGridViewItem* fifth = qobject_cast<CNGridViewItem*>(w().gridMainView->placedItem(4));
  ASSERT_NE(fifth, nullptr);
  ASSERT_FALSE(ListTicked(4));
  fifth->itemButton()->click();
  EXPECT_TRUE(TileTicked(fifth));
  EXPECT_TRUE(ListTicked(4));
  EXPECT_EQ(OpNodeData::fileNodeState(w().arrList[4]), 2);
  EXPECT_TRUE(w().selectFilesLabel->text().contains(QStringLiteral(" 4 files")))
      << qPrintable(w().selectFilesLabel->text());
  fifth->itemButton()->click();
  EXPECT_FALSE(ListTicked(4));

  // The last tiles, scrolled to, get their own thumbnails.
  QScrollBar* bar = w().gridMainView->verticalScrollBar();
  bar->setValue(bar->maximum());
  ASSERT_TRUE(GridLoaded());
  bool last = false;
  for (CNGridViewItem* tile : Tiles()) {
    IFileNode* file = w().arrList[static_cast<size_t>(tile->index())];
    last = last || tile->index() == 299;
    EXPECT_TRUE(ThumbnailOf(tile->itemImage().toImage(), file)) << tile->index();
  }
  EXPECT_TRUE(last);
}

TEST_F(PhotoCardWindow, StopsWithLoadsQueuedReturnAndSwitchingWhileLoadingLeavesTheRightPictures) {
  ChooseFolder({QStringLiteral("DCIM"), QStringLiteral("100PHOTO")});
  Show(KVDeletailWindowController::kGridMode);
  ASSERT_TRUE(qttest::PumpUntil([&] { return !Tiles().empty(); }));
  // Scrolling fast queues a load for every tile that comes into view.
  QScrollBar* bar = w().gridMainView->verticalScrollBar();
  for (int step = 0; step <= 20; ++step) bar->setValue(bar->maximum() * step / 20);
  EXPECT_GT(w().operationQueue.Pending(), 0u);
  QElapsedTimer stopping;
  stopping.start();
  w().stopGridImageLoading();
  std::printf("grid stopped in %lld ms\n", static_cast<long long>(stopping.elapsed()));
  EXPECT_EQ(w().operationQueue.Pending(), 0u);
  EXPECT_FALSE(w().operationQueue.Busy());
  EXPECT_EQ(w().gridImageState.load(), KVThumbnailQueue::kEnded);
  // Nothing runs: a stop returns at once.
  w().stopGridImageLoading();
  w().stopImageLoading();

  // Rows and views switched while the loaders run.
  for (int round = 0; round < 12; ++round) {
    ChooseFolder(round % 2 == 0 ? QStringList{QStringLiteral("Few")}
                                : QStringList{QStringLiteral("DCIM"), QStringLiteral("100PHOTO")});
    qttest::PumpPending();
    if (round % 4 == 1) Show(KVDeletailWindowController::kCoverFlowMode);
    if (round % 4 == 3) Show(KVDeletailWindowController::kGridMode);
    w().shouldSelectRow(w().coverFlowerTableView, round * 37 % static_cast<int>(w().arrList.size()));
  }
  ChooseFolder({QStringLiteral("Holiday")});
  ASSERT_TRUE(GridLoaded());
  for (CNGridViewItem* tile : Tiles()) {
    EXPECT_TRUE(ThumbnailOf(tile->itemImage().toImage(), w().arrList[static_cast<size_t>(tile->index())]));
  }
  Show(KVDeletailWindowController::kCoverFlowMode);
  ExpectCoverFlowLoaded(0, w().arrList.size());
}

TEST_F(PhotoCardWindow, ReturnInTheSearchFieldNarrowsTheTreesAndTheListAndClearingGivesThemBack) {
  int searches = 0;
  QObject counter;
  platform::NotificationCenter::DefaultCenter().AddObserver(QStringLiteral("DoSearchValue"), &counter,
                                                            [&](const platform::Notification&) { ++searches; });
  const std::vector<IFileNode*> rootFiles = w().arrList;
  ASSERT_NE(FolderAt(w(), root_, {QStringLiteral("DCIM")}), nullptr);
  const auto searchFor = [&](const QString& text) {
    w().search->textField()->setFocus();
    w().search->textField()->selectAll();
    QTest::keyClicks(w().search->textField(), text);
    QTest::keyClick(w().search->textField(), Qt::Key_Return);
  };
  const auto idle = [&](int ended) {
    return qttest::PumpUntil([&] { return searches >= ended && scan_.IsSearching() == 0; }) &&
           (qttest::PumpUntil([] { return false; }, 1), true);
  };

  searchFor(QStringLiteral("beach"));
  ASSERT_TRUE(idle(1));
  // The names fls lists with "beach" in them, deleted ones too.
  std::set<std::string> expected, listed;
  for (const std::string folder : {"DCIM/100PHOTO", "Few", "Holiday"}) {
    for (const auto& file : phototest::FilesIn(folder)) {
      std::string name = fs::path(file.path).filename();
      std::string lower = name;
      for (char& c : lower) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
      if (lower.find("beach") != std::string::npos) expected.insert(name);
    }
  }
  for (IFileNode* file : w().arrList) listed.insert(Name(file).toStdString());
  EXPECT_EQ(listed, expected);
  EXPECT_EQ(expected.size(), 5u);
  ASSERT_EQ(w().allDiskArr.size(), 1u);
  root_ = w().allDiskArr.front().get();
  EXPECT_EQ(FolderAt(w(), root_, {QStringLiteral("DCIM")}), nullptr);
  EXPECT_NE(FolderAt(w(), root_, {QStringLiteral("Few")}), nullptr);
  EXPECT_NE(FolderAt(w(), root_, {QStringLiteral("Holiday")}), nullptr);
  uitest::SaveArtifact(uitest::Grab(w().window()), QStringLiteral("results-search"));

  // The same text again, or blanks alone: nothing happens.
  const int after = searches;
  const KVRowArray trees = w().allDiskArr;
  for (const QString& same : {QStringLiteral("beach"), QStringLiteral(" "), QStringLiteral("  ")}) searchFor(same);
  qttest::PumpUntil([] { return false; }, 1);
  EXPECT_EQ(searches, after);
  EXPECT_EQ(w().allDiskArr, trees);
  EXPECT_EQ(KVUIController::GetSearchString(), QStringLiteral("beach"));

  // In grid mode the found files are the tiles.
  Show(KVDeletailWindowController::kGridMode);
  searchFor(QStringLiteral(" garden "));
  ASSERT_TRUE(idle(after + 1));
  EXPECT_EQ(KVUIController::GetSearchString(), QStringLiteral("garden"));
  ASSERT_TRUE(GridLoaded());
  EXPECT_EQ(Tiles().size(), 4u);
  for (CNGridViewItem* tile : Tiles()) EXPECT_TRUE(tile->titleLabel()->text().startsWith(QStringLiteral("Garden ")));

  // Cleared: every folder again, and the first row's files.
  w().search->clearButton()->click();
  ASSERT_TRUE(idle(after + 2));
  EXPECT_EQ(KVUIController::GetSearchString(), QString());
  root_ = w().allDiskArr.front().get();
  EXPECT_NE(FolderAt(w(), root_, {QStringLiteral("DCIM"), QStringLiteral("100PHOTO")}), nullptr);
  EXPECT_EQ(w().opDataFile, root_);
  EXPECT_EQ(w().arrList, rootFiles);
  ChooseFolder({QStringLiteral("DCIM"), QStringLiteral("100PHOTO")});
  EXPECT_EQ(w().arrList.size(), 300u);
}

}  // namespace
