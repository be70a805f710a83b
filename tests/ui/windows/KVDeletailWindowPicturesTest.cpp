// The results window's cover flow, grid and name search. On the photos
// fixture (311 JPEGs that ImageMagick drew and mtools copied onto a FAT32
// card, a third deleted), scanned through a stand-in machine's device list:
// the cover flow fills the pictures around the selection (all up to ten,
// else a hundred either side) with their files' thumbnails (average colours
// against ImageMagick's), the grid's tiles show thumbnails and the list's
// ticks, stops with loads queued return, switching while loading leaves the
// right pictures, and Return in the search field narrows the trees and the
// list to the matching names and clearing gives them back; the card is
// unchanged. On the gallery's made-up card: text typed while a search runs
// is searched for when it ends. On the previews fixture (pictures and clips
// made by ImageMagick and ffmpeg, and files no picture comes out of: empty,
// cut, forged, too big, random bytes named ".jpg" and ".mp4"): every file
// ends with a picture, its thumbnail or its type's icon: none keeps waiting.
#include <QPainter>
#include <QScrollBar>
#include <QTest>
#include <QToolButton>

#include <gtest/gtest.h>

#include <condition_variable>
#include <set>

#include "KVDeletailWindowTestSupport.h"
#include "KVWindowsTestSupport.h"
#include "UiTestSupport.h"
#include "app/KVUIDeviceData.h"
#include "app/KVUIScan.h"
#include "app/thumbnails/PhotoFixture.h"
#include "app/thumbnails/PreviewFixture.h"
#include "engine/device/DeviceTestSupport.h"
#include "engine/enumeration/EnumTestSupport.h"
#include "ui/widgets/CNGridViewItem.h"
#include "ui/widgets/KitElidedLabel.h"
#include "ui/widgets/KitImageFlowView.h"
#include "ui/widgets/KitImageView.h"
#include "ui/widgets/KitImages.h"
#include "ui/widgets/KitSegmentedControl.h"
#include "ui/windows/Photo.h"
#include "ui/windows/gallery/ResultsScene.h"

namespace {

namespace fs = std::filesystem;
using Window = KVDeletailWindowController;
using resultstest::FolderAt;

QString Name(IFileNode* file) { return OpNodeData::fileNodeName(file); }
std::set<QString> Names(const std::vector<IFileNode*>& files) {
  std::set<QString> names;
  for (IFileNode* file : files) names.insert(Name(file));
  return names;
}
// A tick box drawn into `image` is ticked when its plate is blue at `at`.
bool Ticked(const QImage& image, QPoint at) { return image.pixelColor(at).blue() > 180; }
void Type(Window& w, const QString& text) {
  w.search->textField()->selectAll();
  QTest::keyClicks(w.search->textField(), text);
  QTest::keyClick(w.search->textField(), Qt::Key_Return);
}

// The window on the card's volume, scanned to the end.
class PhotoCard : public testing::Test {
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
    ASSERT_TRUE(rows.size() == 1 && rows.front()->numberOfChildren() == 1);
    window_ = Window::OpenForScan(*rows.front()->childAtIndex(0));
    ASSERT_TRUE(resultstest::Browsing(*window_));
    qttest::PumpUntil([] { return false; }, 1);  // the scan's last news
    window_->popupViewHidden();
    pictures_ = phototest::Pictures();
  }
  void TearDown() override {
    delete window_.data();
    KVUIController::UseScan(nullptr);
    KVUIController::UseDevices(nullptr);
  }

  Window& w() { return *window_; }
  OpNodeData* Folder(const QStringList& path) { return FolderAt(w(), w().allDiskArr.front().get(), path); }
  void Choose(const QStringList& path) { resultstest::Choose(w(), Folder(path)); }
  void Show(int mode) {  // a press on the view switch
    QTest::mouseClick(w().segment, Qt::LeftButton, {}, w().segment->segmentRect(mode).center().toPoint());
  }
  testing::AssertionResult ThumbnailOf(const QImage& image, IFileNode* file) {
    const auto& rgb = pictures_[Name(file).toStdString()].rgb;
    const QColor ours = image.scaled(1, 1, Qt::IgnoreAspectRatio, Qt::SmoothTransformation).pixelColor(0, 0);
    if (!image.isNull() && uitest::Near(ours, QColor(rgb[0], rgb[1], rgb[2]), 8)) return testing::AssertionSuccess();
    return testing::AssertionFailure() << qPrintable(Name(file)) << ": " << qPrintable(ours.name());
  }
  // Once the cover flow's loader ended: the pictures of [first, end) are
  // their files', the others wait.
  void ExpectCoverFlow(size_t first, size_t end) {
    ASSERT_TRUE(qttest::PumpUntil([&] { return w().nImageState == KVThumbnailQueue::kEnded; }));
    ASSERT_EQ(w().photos.size(), w().arrList.size());
    for (size_t k = 0; k < w().photos.size(); ++k) {
      const bool loaded = k >= first && k < end;
      EXPECT_EQ(w().photos[k]->imageTitle(), loaded ? Name(w().arrList[k]) : QStringLiteral("Loading...")) << k;
      EXPECT_TRUE(loaded ? ThumbnailOf(w().photos[k]->imageRepresentation(), w().arrList[k])
                         : testing::AssertionResult(w().photos[k]->imageRepresentation().isNull()))
          << k;
    }
  }
  std::vector<CNGridViewItem*> Tiles() {
    std::vector<CNGridViewItem*> tiles;
    for (qint64 i : w().gridMainView->placedIndexes())
      tiles.push_back(qobject_cast<CNGridViewItem*>(w().gridMainView->placedItem(i)));
    return tiles;
  }
  // Waits for the tiles in view with their thumbnails, and checks them.
  void ExpectGrid() {
    const QImage loading = KitImages::Named(QStringLiteral("loading.png")).toImage();
    ASSERT_TRUE(qttest::PumpUntil([&] {
      if (w().gridImageState != KVThumbnailQueue::kEnded || Tiles().empty()) return false;
      for (CNGridViewItem* tile : Tiles()) {
        if (tile->itemImage().toImage() == loading) return false;
      }
      return true;
    }));
    for (CNGridViewItem* tile : Tiles()) {
      IFileNode* file = w().arrList[static_cast<size_t>(tile->index())];
      EXPECT_EQ(tile->titleLabel()->text(), Name(file));
      EXPECT_TRUE(ThumbnailOf(tile->itemImage().toImage(), file));
      EXPECT_EQ(Ticked(uitest::Grab(tile->itemButton()), {3, 3}), ListTicked(static_cast<int>(tile->index())));
    }
  }
  bool ListTicked(int row) {
    KitTableColumn* column = w().tableView->tableColumnWithIdentifier(QStringLiteral("CheckBox"));
    w().willDisplayCell(w().tableView, column->dataCell(), column, row);
    QImage cell(30, 20, QImage::Format_ARGB32_Premultiplied);
    cell.fill(Qt::black);
    QPainter painter(&cell);
    column->dataCell()->drawWithFrame(&painter, cell.rect());
    return Ticked(cell, {3, 5});
  }

  enumtest::FakeMachine machine_;
  std::unique_ptr<devicetest::ImageGuard> guard_;
  KVUIDeviceData model_{[this] { return std::make_unique<CEnumDeviceEx>(machine_.Source()); }};
  KVUIScan scan_{&model_};
  QPointer<Window> window_;
  std::map<std::string, phototest::Picture> pictures_;
};

TEST_F(PhotoCard, TheCoverFlowFillsThePicturesAroundTheSelection) {
  Choose({"DCIM", "100PHOTO"});
  std::set<QString> originals;
  for (const auto& [name, picture] : pictures_) {
    if (picture.path.starts_with("DCIM/100PHOTO/")) originals.insert(QString::fromStdString(name));
  }
  ASSERT_EQ(originals.size(), 300u);
  EXPECT_EQ(Names(w().arrList), originals);
  Show(Window::kCoverFlowMode);
  EXPECT_TRUE(w().coverFlower->isVisibleTo(w().window()) && !w().gridView->isVisibleTo(w().window()));
  ExpectCoverFlow(0, 100);
  uitest::SaveArtifact(uitest::Grab(w().window()), QStringLiteral("results-cover-flow"));
  // The same segment again only stops the loader.
  w().selectedCoverFlow(200);
  Show(Window::kCoverFlowMode);
  EXPECT_EQ(w().nImageState, KVThumbnailQueue::kEnded);
  EXPECT_EQ(w().selectSegmentCount, Window::kCoverFlowMode);
  // A row chosen in the list under the flow, then a picture in the flow,
  // whose rows the lists follow.
  w().shouldSelectRow(w().coverFlowerTableView, 150);
  EXPECT_EQ(w().flowView->selectedIndex(), 150);
  ExpectCoverFlow(0, 250);
  w().imageFlowDidSelectItemAtIndex(w().flowView, 280);
  EXPECT_EQ(w().coverFlowerTableView->selectedRow(), 280);
  EXPECT_EQ(w().coverFlowerTableView->rowNum(), 280);
  ExpectCoverFlow(0, 300);
  // Ten files or fewer: all of them.
  Choose({"Few"});
  w().shouldSelectRow(w().coverFlowerTableView, 7);
  ExpectCoverFlow(0, 8);
}

TEST_F(PhotoCard, TheGridsTilesShowTheThumbnailsAndTheListsTicks) {
  Choose({"DCIM", "100PHOTO"});
  for (const size_t row : {0, 3, 7}) OpNodeData::setFileNodeWithState(w().arrList[row], 2);
  Show(Window::kGridMode);
  EXPECT_TRUE(w().gridView->isVisibleTo(w().window()) && !w().coverFlower->isVisibleTo(w().window()));
  ExpectGrid();
  ASSERT_GE(Tiles().size(), 12u);
  for (const int row : {0, 3, 7, 4}) EXPECT_EQ(ListTicked(row), row != 4);
  uitest::SaveArtifact(uitest::Grab(w().window()), QStringLiteral("results-grid"));
  // A tile's box ticks its file, for the list and the summary too.
  auto* fifth = qobject_cast<CNGridViewItem*>(w().gridMainView->placedItem(4));
  fifth->itemButton()->click();
  EXPECT_TRUE(ListTicked(4));
  EXPECT_TRUE(w().selectFilesLabel->text().endsWith(QStringLiteral(" 4 files")))
      << qPrintable(w().selectFilesLabel->text());
  ExpectGrid();
  // Scrolled to the end: the last tiles get their own thumbnails.
  w().gridMainView->verticalScrollBar()->setValue(w().gridMainView->verticalScrollBar()->maximum());
  ExpectGrid();
  EXPECT_NE(w().gridMainView->placedItem(299), nullptr);
}

TEST_F(PhotoCard, StopsWithLoadsQueuedReturnAndSwitchingWhileLoadingLeavesTheRightPictures) {
  Choose({"DCIM", "100PHOTO"});
  Show(Window::kGridMode);
  ASSERT_TRUE(qttest::PumpUntil([&] { return !Tiles().empty(); }));
  QScrollBar* bar = w().gridMainView->verticalScrollBar();
  for (int step = 0; step <= 20; ++step) bar->setValue(bar->maximum() * step / 20);  // a load per tile in view
  EXPECT_GT(w().operationQueue.Pending(), 0u);
  w().stopGridImageLoading();
  EXPECT_TRUE(w().operationQueue.Pending() == 0 && !w().operationQueue.Busy());
  EXPECT_EQ(w().gridImageState, KVThumbnailQueue::kEnded);
  for (int round = 0; round < 12; ++round) {
    Choose(round % 2 == 0 ? QStringList{"Few"} : QStringList{"DCIM", "100PHOTO"});
    if (round % 4 == 1) Show(Window::kCoverFlowMode);
    if (round % 4 == 3) Show(Window::kGridMode);
    w().shouldSelectRow(w().coverFlowerTableView, round * 37 % static_cast<int>(w().arrList.size()));
  }
  Choose({"Holiday"});
  ExpectGrid();
  Show(Window::kCoverFlowMode);
  ExpectCoverFlow(0, 3);
}

TEST_F(PhotoCard, ReturnInTheSearchFieldNarrowsTheTreesAndTheListAndClearingGivesThemBack) {
  int ended = 0;
  QObject counter;
  platform::NotificationCenter::DefaultCenter().AddObserver(QStringLiteral("DoSearchValue"), &counter,
                                                            [&](const platform::Notification&) { ++ended; });
  const auto searched = [&](int count) {
    return qttest::PumpUntil([&] { return ended >= count && scan_.IsSearching() == 0; }) &&
           !qttest::PumpUntil([] { return false; }, 1);
  };
  const std::vector<IFileNode*> rootFiles = w().arrList;
  Show(Window::kCoverFlowMode);
  Type(w(), QStringLiteral(" beach "));
  ASSERT_TRUE(searched(1));
  EXPECT_EQ(KVUIController::GetSearchString(), QStringLiteral("beach"));
  // The originals' names holding "beach" in any case, deleted ones too.
  std::set<QString> beach;
  for (const auto& [name, picture] : pictures_) {
    if (QString::fromStdString(name).contains(QStringLiteral("beach"), Qt::CaseInsensitive))
      beach.insert(QString::fromStdString(name));
  }
  EXPECT_EQ(beach.size(), 5u);
  EXPECT_EQ(Names(w().arrList), beach);
  EXPECT_TRUE(Folder({"DCIM"}) == nullptr && Folder({"Few"}) != nullptr && Folder({"Holiday"}) != nullptr);
  // The cover flow's loader started again from the first file.
  ExpectCoverFlow(0, 5);
  uitest::SaveArtifact(uitest::Grab(w().window()), QStringLiteral("results-search"));

  // The same text again, or blanks alone, search nothing.
  const KVRowArray trees = w().allDiskArr;
  for (const char* same : {"beach", " ", "  "}) Type(w(), QString::fromLatin1(same));
  qttest::PumpUntil([] { return false; }, 1);
  EXPECT_EQ(ended, 1);
  EXPECT_EQ(w().allDiskArr, trees);

  // Cleared: every folder again, and the first row's files.
  w().search->clearButton()->click();
  ASSERT_TRUE(searched(2));
  EXPECT_EQ(KVUIController::GetSearchString(), QString());
  EXPECT_NE(Folder({"DCIM", "100PHOTO"}), nullptr);
  EXPECT_EQ(w().opDataFile, w().allDiskArr.front().get());
  EXPECT_EQ(w().arrList, rootFiles);
}

// The previews card's volume, scanned to the end: every file lies deleted in
// its root, which the window shows first.
class PreviewCard : public testing::Test {
 protected:
  void SetUp() override {
    REQUIRE_PREVIEW_FIXTURE();
    windowtest::Start();
    loading_ = KitImages::Named(QStringLiteral("loading.png")).toImage();
    KVUIController::initFileType();
    KVUIController::SetRecoveryType(0x7f);
    guard_ = std::make_unique<devicetest::ImageGuard>(previewtest::Disk());
    machine_.AddDisk({.name = "sdq", .major = 8, .minor = 128, .size512 = fs::file_size(previewtest::Disk()) / 512});
    machine_.SetNode("sdq", previewtest::Disk());
    KVUIController::UseDevices(&model_);
    KVUIController::UseScan(&scan_);
    KVUIController::RefreshDeviceInfo();
    std::vector<std::unique_ptr<DiskVolumeNodeData>> rows;
    KVUIController::GetDeviceInfoToArray(&rows);
    ASSERT_TRUE(rows.size() == 1 && rows.front()->numberOfChildren() == 1);
    window_ = Window::OpenForScan(*rows.front()->childAtIndex(0));
    ASSERT_TRUE(resultstest::Browsing(*window_));
    qttest::PumpUntil([] { return false; }, 1);
    window_->popupViewHidden();
  }
  void TearDown() override {
    delete window_.data();
    KVUIController::UseScan(nullptr);
    KVUIController::UseDevices(nullptr);
  }
  void Show(int mode) {
    QTest::mouseClick(window_->segment, Qt::LeftButton, {}, window_->segment->segmentRect(mode).center().toPoint());
  }
  // The pictures shown, by file name, once every file has one; a file
  // still waiting after `seconds` (a loader that never gives up) fails.
  std::map<QString, QImage> Pictures(const std::function<std::map<QString, QImage>()>& shown, int seconds) {
    std::map<QString, QImage> pictures;
    const bool ended = qttest::PumpUntil(
        [&] {
          pictures = shown();
          if (pictures.empty()) return false;
          for (const auto& [name, picture] : pictures) {
            if (picture.isNull() || picture == loading_) return false;
          }
          return true;
        },
        seconds);
    EXPECT_TRUE(ended) << "files still wait for a picture";
    return pictures;
  }
  // Each file no picture comes out of shows its type's icon: the same for
  // every file of one extension, another for a clip than for a picture, and
  // none of the thumbnails the other files show.
  void ExpectIcons(const std::map<QString, QImage>& pictures) {
    std::map<QString, QImage> icons;  // by extension
    std::vector<QImage> thumbnails;
    size_t without = 0;
    for (const previewtest::Expected& row : previewtest::ReadExpected()) {
      const QString name = QString::fromStdString(row.name);
      const auto shown = pictures.find(name);
      if (shown == pictures.end()) continue;
      if (row.width > 0) {
        thumbnails.push_back(shown->second);
        continue;
      }
      ++without;
      const QString ext = name.mid(name.lastIndexOf(u'.'));
      const auto [icon, first] = icons.emplace(ext, shown->second);
      if (!first) {
        EXPECT_TRUE(icon->second == shown->second) << qPrintable(name);
      }
    }
    EXPECT_GE(without, 4u);
    ASSERT_TRUE(icons.count(QStringLiteral(".jpg")) && icons.count(QStringLiteral(".mp4")));
    EXPECT_FALSE(icons[QStringLiteral(".jpg")] == icons[QStringLiteral(".mp4")]);
    EXPECT_FALSE(thumbnails.empty());
    for (const QImage& thumbnail : thumbnails) {
      for (const auto& [ext, icon] : icons) {
        EXPECT_FALSE(thumbnail == icon) << qPrintable(ext);
      }
    }
  }

  QImage loading_;
  enumtest::FakeMachine machine_;
  std::unique_ptr<devicetest::ImageGuard> guard_;
  KVUIDeviceData model_{[this] { return std::make_unique<CEnumDeviceEx>(machine_.Source()); }};
  KVUIScan scan_{&model_};
  QPointer<Window> window_;
};

TEST_F(PreviewCard, FilesWithoutAPictureEndAsTheirTypesIconInTheGridAndTheCoverFlow) {
  Window& w = *window_;
  std::set<QString> expected;
  for (const previewtest::Expected& row : previewtest::ReadExpected())
    expected.insert(QString::fromStdString(row.name));
  ASSERT_EQ(Names(w.arrList), expected);

  Show(Window::kGridMode);
  ExpectIcons(Pictures(
      [&] {
        std::map<QString, QImage> tiles;
        for (qint64 i : w.gridMainView->placedIndexes()) {
          auto* tile = qobject_cast<CNGridViewItem*>(w.gridMainView->placedItem(i));
          tiles[Name(w.arrList[static_cast<size_t>(i)])] = tile->itemImage().toImage();
        }
        return tiles;
      },
      20));
  uitest::SaveArtifact(uitest::Grab(w.window()), QStringLiteral("results-grid-icons"));

  Show(Window::kCoverFlowMode);
  ExpectIcons(Pictures(
      [&] {
        std::map<QString, QImage> flow;
        for (size_t k = 0; k < w.photos.size() && k < w.arrList.size(); ++k)
          flow[Name(w.arrList[k])] = w.photos[k]->imageRepresentation();
        return flow;
      },
      20));
  EXPECT_EQ(w.nImageState, KVThumbnailQueue::kEnded);
}

TEST(SearchText, LosesOneBlankAtEitherEnd) {
  EXPECT_EQ(Window::GetSearchText(QStringLiteral(" beach ")), QStringLiteral("beach"));
  EXPECT_EQ(Window::GetSearchText(QStringLiteral("  beach  ")), QStringLiteral(" beach "));
  EXPECT_EQ(Window::GetSearchText(QStringLiteral("  ")), QString());
  EXPECT_EQ(Window::GetSearchText(QString()), QString());
  // A non-breaking blank beside two blanks arrives as these three.
  EXPECT_EQ(Window::GetSearchText(QStringLiteral("a\u00C2  \u00C2  b")), QStringLiteral("a  b"));
}

TEST(ResultsWindowSearch, TextTypedWhileASearchRunsIsSearchedForWhenItEnds) {
  windowtest::Start();
  resultsscene::Scene scene(1, 1);
  std::mutex lock;
  std::condition_variable opened;
  bool hold = true, held = false;
  scene.scan().SetSearchProbe([&](size_t, size_t) {  // on the search's thread
    std::unique_lock<std::mutex> waiting(lock);
    held = true;
    opened.wait(waiting, [&] { return !hold; });
  });
  QPointer<Window> w = new Window;
  w->setScanStarter([&](const DiskVolumeNodeData*, const QString& name) { return scene.Start(name); });
  w->getData();
  ASSERT_TRUE(resultstest::Browsing(*w));
  Type(*w, QStringLiteral("img_41"));
  ASSERT_TRUE(qttest::PumpUntil([&] {
    std::lock_guard<std::mutex> waiting(lock);
    return held;
  }));
  EXPECT_TRUE(w->allDiskArr.empty() && w->arrList.empty());  // emptied at once
  Type(*w, QStringLiteral("readme"));                        // refused while the first runs
  EXPECT_EQ(KVUIController::GetSearchString(), QStringLiteral("img_41"));
  {
    std::lock_guard<std::mutex> waiting(lock);
    hold = false;
    opened.notify_all();
  }
  ASSERT_TRUE(qttest::PumpUntil([&] { return KVUIController::GetSearchString() == QStringLiteral("readme"); }));
  ASSERT_TRUE(qttest::PumpUntil([&] { return scene.scan().IsSearching() == 0 && !w->arrList.empty(); }));
  EXPECT_EQ(Names(w->arrList), std::set<QString>{QStringLiteral("readme.txt")});
  EXPECT_EQ(FolderAt(*w, w->allDiskArr.front().get(), {QStringLiteral("DCIM")}), nullptr);
  delete w.data();
}

}  // namespace
