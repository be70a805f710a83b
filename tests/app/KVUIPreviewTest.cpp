// Previews through the controller, of the deleted files of the previews
// fixture (tests/fixtures/previews/make-previews-images.sh) scanned by the
// application's scan operation on a stand-in machine: nothing is recovered,
// every thumbnail keeps the proportions the peers measured (identify,
// ffprobe, exiftool) and the colours ImageMagick averages, files that hold
// no picture give the icon shared-mime-info names for their type, no
// temporary file is left, and the image is unchanged.
#include <gtest/gtest.h>

#include <QImage>

#include <cstdio>
#include <map>
#include <thread>

#include "AppTestNode.h"
#include "FileNode.h"
#include "app/KVCPPPublic.h"
#include "app/KVNode.h"
#include "app/KVUIController.h"
#include "app/KVUIDeviceData.h"
#include "app/KVUIPreview.h"
#include "app/KVUIRecovery.h"
#include "app/KVUIScan.h"
#include "app/thumbnails/KVPrivateTempFile.h"
#include "app/thumbnails/KVThumbnailSource.h"
#include "app/thumbnails/PreviewFixture.h"
#include "engine/enumeration/EnumTestSupport.h"
#include "platform/Resources.h"

namespace {

using namespace previewtest;

// The average colours of a thumbnail and of the picture a shell command
// writes, as ImageMagick measures it, are near.
testing::AssertionResult SameColours(const QImage& image, const std::string& command) {
  const std::string peer = testsupport::RunCommandOrFail(
      command + " | convert - -scale 1x1! -format '%[fx:int(255*r+.5)] %[fx:int(255*g+.5)] %[fx:int(255*b+.5)]' info:");
  const QColor ours = image.scaled(1, 1, Qt::IgnoreAspectRatio, Qt::SmoothTransformation).pixelColor(0, 0);
  int r = -1, g = -1, b = -1;
  if (std::sscanf(peer.c_str(), "%d %d %d", &r, &g, &b) == 3 && std::abs(ours.red() - r) <= 6 &&
      std::abs(ours.green() - g) <= 6 && std::abs(ours.blue() - b) <= 6) {
    return testing::AssertionSuccess();
  }
  return testing::AssertionFailure() << ours.name().toStdString() << " is not near " << peer;
}

// The fixture's disk on a stand-in machine, its volume scanned through the
// scan operation (completely when asked), and the controller's and the
// previews' operations pointed at it.
class PreviewScan : public testing::Test {
 protected:
  void SetUp() override {
    REQUIRE_PREVIEW_FIXTURE();
    platform::Resources::SetRoot(QString::fromStdString((testsupport::SourceDir() / "resources").string()));
    // The engine's category lists come from the type table, before the
    // first filter is made.
    KVUIController::initFileType();
    KVPrivateTempFile::SetRoot(temp_.path().string());
    machine_.AddDisk({.name = "sdr", .major = 8, .minor = 96, .size512 = fs::file_size(Disk()) / 512});
    machine_.SetNode("sdr", Disk());
    guard_ = std::make_unique<devicetest::ImageGuard>(Disk());
    model_.InitDeviceInfo();
    volume_ = model_.GetStorageByDiskVolumeIndex(0, 0);
    ASSERT_NE(volume_, nullptr);
    KVUIController::UseScan(&scan_);
    KVUIPreview::UseRecovery(&recovery_);
  }
  void TearDown() override {
    KVUIPreview::UseRecovery(nullptr);
    KVUIController::UseScan(nullptr);
    KVPrivateTempFile::SetRoot("");
    platform::Resources::SetRoot(QString());
    // No preview leaves a file behind.
    EXPECT_TRUE(Leftovers(temp_.path()).empty());
  }

  void Scan(bool deep) {
    scan_.SetDeepScan(deep ? 1 : 0);
    scan_.SetStatus(KVOperationRunning);
    EXPECT_FALSE(result::IsFailure(scan_.DoScan(volume_, nullptr)));
    for (const auto& [category, nodes] : scan_.GetTypeMap()) {
      for (IFileNode* node : nodes) {
        const std::string name = node->GetFileName() != nullptr ? node->GetFileName() : "";
        found_[{KVCPPPublic::instance().GetNodeSearcheType(node), name}] = node;
      }
    }
  }
  // The file of that name the searcher of `type` found.
  IFileNode* Found(const std::string& name, _tagSearcherType type = SEARCHER_TYPE_FAT) {
    const auto it = found_.find({type, name});
    EXPECT_NE(it, found_.end()) << name << " was not found";
    return it != found_.end() ? it->second : nullptr;
  }
  // The largest side a thumbnail of the row's file may have.
  static int Side(const std::string& name) {
    const bool smaller = name.ends_with(".mp4") || name.ends_with(".rw2");
    return smaller ? KVUIPreview::kThumbnailSide : KVUIPreview::kPictureSide;
  }

  testsupport::TempDir temp_;
  enumtest::FakeMachine machine_;
  std::unique_ptr<devicetest::ImageGuard> guard_;
  KVUIDeviceData model_{[this] { return std::make_unique<CEnumDeviceEx>(machine_.Source()); }};
  IStorageDevice* volume_ = nullptr;
  KVUIScan scan_{&model_};
  KVUIRecovery recovery_{&scan_, &model_};
  std::map<std::pair<int, std::string>, IFileNode*> found_;
};

TEST_F(PreviewScan, DeletedPicturesClipsAndCameraFilesShowThumbnailsInTheirSourcesProportions) {
  Scan(false);
  int shown = 0;
  for (const Expected& row : ReadExpected()) {
    if (row.width == 0) continue;
    SCOPED_TRACE(row.name);
    IFileNode* node = Found(row.name);
    ASSERT_NE(node, nullptr);
    EXPECT_NE(node->IsDeleted(), 0);
    const KVPreview preview = KVUIController::GetNSImageByFildNode(node);
    ASSERT_FALSE(preview.image.isNull());
    EXPECT_TRUE(preview.iconName.isEmpty());
    EXPECT_TRUE(SameAspect(preview.image.width(), preview.image.height(), row));
    // Within its bounds, and never enlarged.
    EXPECT_LE(std::max(preview.image.width(), preview.image.height()),
              std::min(Side(row.name), std::max(row.width, row.height)));
    ++shown;
  }
  EXPECT_GE(shown, 4);
  // The pictures are the deleted files' own: their colours are the originals'.
  for (const char* name : {"Holiday photo.jpg", "Portrait scan.png"}) {
    EXPECT_TRUE(SameColours(KVUIController::GetNSImageByFildNode(Found(name)).image,
                            "cat " + testsupport::ShellQuote(Original(name).string())));
  }
  if (found_.count({SEARCHER_TYPE_FAT, "Camera FujiFilm.raf"}) != 0) {
    EXPECT_TRUE(SameColours(
        KVUIController::GetNSImageByFildNode(Found("Camera FujiFilm.raf")).image,
        "exiftool -b -ThumbnailImage " + testsupport::ShellQuote(Original("Camera FujiFilm.raf").string())));
  }
  // A camera's small picture, when it has the photo's shape, turned as the
  // photo is (exiftool stored it 160 x 107); else the photo itself.
  EXPECT_EQ(KVUIController::GetNSImageByFildNode(Found("Camera shot.jpg")).image.size(), QSize(107, 160));
  EXPECT_EQ(KVUIController::GetNSImageByFildNode(Found("Camera shot, other thumbnail.jpg")).image.size(),
            QSize(256, 384));
  // The same through a row and through a node handle.
  OpNodeData row(Found("Holiday photo.jpg"));
  EXPECT_EQ(KVUIController::GetNSImageByNode(&row).image.size(), QSize(384, 216));
  EXPECT_EQ(
      KVUIController::GetNSImageByFildNodeNSNumber(reinterpret_cast<uintptr_t>(Found("Beach clip.mp4"))).image.size(),
      QSize(192, 108));
}

TEST_F(PreviewScan, EmptyOversizedTruncatedForgedAndUndecodableFilesGiveTheirTypesIcon) {
  Scan(false);
  const std::map<std::string, std::string> icons = {
      {".jpg", "image-jpeg"}, {".png", "image-png"}, {".mp4", "video-mp4"}};
  int refused = 0;
  for (const Expected& row : ReadExpected()) {
    if (row.width != 0) continue;
    SCOPED_TRACE(row.name);
    IFileNode* node = Found(row.name);
    ASSERT_NE(node, nullptr);
    const KVPreview preview = KVUIController::GetNSImageByFildNode(node);
    EXPECT_TRUE(preview.image.isNull());
    EXPECT_EQ(preview.iconName.toStdString(), icons.at(row.name.substr(row.name.rfind('.'))));
    EXPECT_FALSE(preview.genericIconName.isEmpty());
    ++refused;
  }
  EXPECT_EQ(refused, 8);
}

TEST_F(PreviewScan, WithoutANodeFilterOrExtensionThereIsNoPictureToMake) {
  Scan(false);
  EXPECT_TRUE(KVUIController::GetNSImageByFildNode(nullptr).isNull());
  EXPECT_TRUE(KVUIController::GetNSImageByNode(nullptr).isNull());
  NodeTree tree;
  AppTestRoot* root = tree.Root(std::string("vol"), SEARCHER_TYPE_FAT);
  // A name without an extension: the generic icon; a video without one:
  // nothing at all.
  const KVPreview plain = KVUIController::GetNSImageByFildNode(tree.File(root, std::string("notes")));
  EXPECT_TRUE(plain.image.isNull());
  EXPECT_EQ(plain.iconName, QStringLiteral("application-octet-stream"));
  EXPECT_TRUE(KVUIPreview::GetVideoThumb(tree.File(root, std::string("clip"))).isNull());
  // A file no copy-out object reads: its icon.
  EXPECT_EQ(KVUIController::GetNSImageByFildNode(tree.File(root, std::string("a.png"))).iconName,
            QStringLiteral("image-png"));
  // A video file on disk.
  EXPECT_EQ(KVUIController::getVideoThumbFromPath(QString::fromStdString(Original("Beach clip.mp4").string())).size(),
            QSize(192, 108));
  EXPECT_TRUE(KVUIController::getVideoThumbFromPath(QString::fromStdString((temp_ / "none.mp4").string())).isNull());
}

// A recovery paused on a full destination holds its copy-out object: the
// preview gives the icon instead of waiting, then the thumbnail once free.
TEST_F(PreviewScan, AHeldCopyOutObjectGivesTheIconUntilItIsFree) {
  Scan(false);
  IFileNode* photo = Found("Holiday photo.jpg");
  IDataRecovery* copyOut = KVUIPreview::CopyOutOf(photo);
  ASSERT_NE(copyOut, nullptr);
  std::unique_lock<std::mutex> recovery(KVUIRecovery::CopyOutLock(copyOut));
  KVPreview waiting;
  std::thread loader([&] { waiting = KVUIController::GetNSImageByFildNode(photo); });
  loader.join();
  EXPECT_TRUE(waiting.image.isNull());
  EXPECT_EQ(waiting.iconName, QStringLiteral("image-jpeg"));
  EXPECT_EQ(KVUIController::GetNSImageByFildNode(Found("Beach clip.mp4")).iconName, QStringLiteral("video-mp4"));
  recovery.unlock();
  EXPECT_FALSE(KVUIController::GetNSImageByFildNode(photo).image.isNull());
}

// After a complete scan the files are read through the recovery
// operation's copy-out objects, made once the scan is over: the deleted
// photo found in the FAT volume and the copy the carver cut out of it.
TEST_F(PreviewScan, ACompleteScansFilesAndCarvedFilesPreviewThroughTheRecoverysCopyOut) {
  Scan(true);
  EXPECT_TRUE(recovery_.CheckWhetherNeedReset());
  const Expected photo = Row("Holiday photo.jpg");
  for (IFileNode* node : {Found("Holiday photo.jpg"), Found("FILE000.JPG", SEARCHER_TYPE_RAW)}) {
    ASSERT_NE(node, nullptr);
    const KVPreview preview = KVUIController::GetNSImageByFildNode(node);
    ASSERT_FALSE(preview.image.isNull()) << node->GetFileName();
    EXPECT_TRUE(SameAspect(preview.image.width(), preview.image.height(), photo));
  }
  EXPECT_FALSE(recovery_.CheckWhetherNeedReset());
  const KVPreview clip = KVUIController::GetNSImageByFildNode(Found("FILE000.MP4", SEARCHER_TYPE_RAW));
  EXPECT_TRUE(SameAspect(clip.image.width(), clip.image.height(), Row("Beach clip.mp4")));
}

// Pictures in memory: sizes checked before decoding, pixels checked
// against their length, camera orientation applied.
TEST(PreviewDecoding, PixelsAreCheckedAgainstTheirLengthAndTurnedAsTheCameraSays) {
  KVThumbnailPicture bitmap;
  bitmap.kind = KVThumbnailPicture::kRgb888;
  bitmap.width = 800;
  bitmap.height = 200;
  bitmap.quarterTurns = 1;
  bitmap.bytes.assign(800 * 200 * 3, 200);
  EXPECT_EQ(KVUIPreview::ToImage(bitmap, 192).size(), QSize(48, 192));
  bitmap.bytes.pop_back();
  EXPECT_TRUE(KVUIPreview::ToImage(bitmap, 192).isNull());
  bitmap.width = bitmap.height = 60000;
  EXPECT_TRUE(KVUIPreview::ToImage(bitmap, 192).isNull());
  bitmap.kind = KVThumbnailPicture::kEncoded;
  EXPECT_TRUE(KVUIPreview::ToImage(bitmap, 192).isNull());
}

}  // namespace
