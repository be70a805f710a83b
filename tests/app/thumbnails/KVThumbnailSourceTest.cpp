// What thumbnails are made from, read out of the deleted files of the
// previews fixture through the engine's copy-out object (never by
// recovering them): the files' own bytes, the previews camera raw files
// carry (their frame sizes as exiftool and identify measured them), and
// frames of clips ffmpeg made (their proportions as ffprobe gave them);
// private temporary files that never outlive a call.
#include <gtest/gtest.h>

#include <sys/stat.h>

#include <chrono>
#include <random>
#include <thread>

#include "app/thumbnails/KVThumbnailSource.h"
#include "app/thumbnails/ScannedPreviews.h"

namespace {

using namespace previewtest;

TEST(VideoHead, ShortVideosAreCopiedWholeLongOnesOnlyTheirHeadAndAvisUpTo50MiB) {
  constexpr uint64_t MiB = 1 << 20;
  EXPECT_EQ(KVThumbnailSource::VideoHeadBytes("mp4", 1 * MiB), 1 * MiB);
  EXPECT_EQ(KVThumbnailSource::VideoHeadBytes("mp4", 10 * MiB), 2 * MiB);
  EXPECT_EQ(KVThumbnailSource::VideoHeadBytes("mov", 2 * MiB), 2 * MiB);
  EXPECT_EQ(KVThumbnailSource::VideoHeadBytes("m4v", 3 * MiB), 2 * MiB);
  EXPECT_EQ(KVThumbnailSource::VideoHeadBytes("avi", 40 * MiB), 40 * MiB);
  EXPECT_EQ(KVThumbnailSource::VideoHeadBytes("avi", 50 * MiB), 50 * MiB);
  EXPECT_EQ(KVThumbnailSource::VideoHeadBytes("avi", 60 * MiB), 2 * MiB);
  EXPECT_EQ(KVThumbnailSource::VideoHeadBytes("mkv", 1 * MiB), 0u);
  EXPECT_EQ(KVThumbnailSource::VideoHeadBytes("", 1 * MiB), 0u);
}

TEST(PrivateTempFile, LivesInAFolderOnlyItsOwnerEntersAndGoesWithIt) {
  testsupport::TempDir root;
  KVPrivateTempFile::SetRoot(root.path().string());
  std::string folder, path;
  {
    KVPrivateTempFile file("../x/.mp4");
    ASSERT_TRUE(file.IsMade());
    path = file.Path();
    folder = fs::path(path).parent_path().string();
    EXPECT_EQ(fs::path(folder).parent_path(), root.path());
    struct stat info {};
    ASSERT_EQ(stat(folder.c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 07777, 0700u);
    // Nothing of the suffix leads out of the folder.
    EXPECT_EQ(fs::path(path).filename().string().find('/'), std::string::npos);
    EXPECT_TRUE(path.ends_with("..x.mp4")) << path;
    EXPECT_TRUE(file.Write("abc", 3));
    EXPECT_TRUE(file.Close());
    EXPECT_FALSE(file.Write("d", 1));
    EXPECT_EQ(testsupport::ReadFile(path), (std::vector<uint8_t>{'a', 'b', 'c'}));
  }
  EXPECT_FALSE(fs::exists(path));
  EXPECT_FALSE(fs::exists(folder));
  EXPECT_TRUE(KVPrivateTempFile(".abcdefghijk").Path().ends_with(".abcdefg"));
  // A root that cannot hold folders makes nothing.
  KVPrivateTempFile::SetRoot((root.path() / "missing").string());
  EXPECT_FALSE(KVPrivateTempFile(".mp4").IsMade());
  KVPrivateTempFile::SetRoot("");
  EXPECT_TRUE(Leftovers(root.path()).empty());
}

using DeletedFiles = ScannedPreviews;

TEST_F(DeletedFiles, ReadsGiveTheDeletedFilesOwnBytes) {
  for (const char* name : {"Holiday photo.jpg", "Portrait scan.png", "Beach clip.mp4"}) {
    SCOPED_TRACE(name);
    IFileNode* node = Node(name);
    ASSERT_NE(node, nullptr);
    const std::vector<uint8_t> original = testsupport::ReadFile(Original(name));
    KVThumbnailSource source;
    std::vector<uint8_t> embedded{1, 2, 3};
    ASSERT_TRUE(source.Open(CopyOut(node), lock_, node, &embedded));
    // ImageMagick and ffmpeg store no small picture in their files' heads.
    EXPECT_TRUE(embedded.empty());
    EXPECT_EQ(source.Size(), Row(name).size);
    EXPECT_EQ(source.ReadHead(KVThumbnailSource::kPictureLimit), original);
    EXPECT_EQ(source.ReadHead(1000), std::vector<uint8_t>(original.begin(), original.begin() + 1000));
  }
  // An empty file has nothing to read.
  KVThumbnailSource empty;
  IFileNode* node = Node("Empty picture.jpg");
  EXPECT_FALSE(empty.Open(CopyOut(node), lock_, node));
  EXPECT_TRUE(empty.ReadHead(100).empty());
  EXPECT_FALSE(KVThumbnailSource().Open(nullptr, lock_, node));
}

TEST_F(DeletedFiles, CameraRawFilesGiveThePreviewTheCameraStored) {
  const auto rows = ReadExpected();
  int raws = 0;
  for (const Expected& row : rows) {
    if (row.name.rfind("Camera ", 0) != 0) continue;
    SCOPED_TRACE(row.name);
    ++raws;
    IFileNode* node = Node(row.name);
    ASSERT_NE(node, nullptr);
    KVThumbnailSource source;
    ASSERT_TRUE(source.Open(CopyOut(node), lock_, node));
    const KVThumbnailPicture preview = source.RawPreview();
    ASSERT_EQ(preview.kind, KVThumbnailPicture::kEncoded);
    EXPECT_EQ(JpegSize(preview.bytes), std::make_pair(row.width, row.height));
    EXPECT_EQ(preview.quarterTurns, 0);
  }
  REQUIRE_OR_SKIP(raws == 2, "the camera raw samples of the shared fixtures folder are missing");
}

TEST(RawPreview, BytesThatHoldNoCameraPreviewGiveNone) {
  EXPECT_TRUE(KVThumbnailSource::RawPreview(nullptr, 1000).IsEmpty());
  const uint8_t tiny[8] = {'I', 'I', 42, 0, 8, 0, 0, 0};
  EXPECT_TRUE(KVThumbnailSource::RawPreview(tiny, sizeof tiny).IsEmpty());
  std::mt19937 random(5);
  std::vector<uint8_t> noise(100000);
  for (uint8_t& b : noise) b = static_cast<uint8_t>(random());
  EXPECT_TRUE(KVThumbnailSource::RawPreview(noise.data(), noise.size()).IsEmpty());
  // Above the cap nothing is even looked at.
  EXPECT_TRUE(KVThumbnailSource::RawPreview(noise.data(), KVThumbnailSource::kRawLimit + 1).IsEmpty());
  // A camera file cut before its preview, or inside it (its JPEG lies at
  // 2704, 9362 bytes long).
  const fs::path sample = testsupport::SharedFixturesDir() / "carve/raf/FujiFilm.raf";
  REQUIRE_OR_SKIP(fs::exists(sample), "the shared fixtures folder is missing");
  const std::vector<uint8_t> raf = testsupport::ReadFile(sample);
  ASSERT_FALSE(KVThumbnailSource::RawPreview(raf.data(), raf.size()).IsEmpty());
  for (const size_t cut : {size_t{200}, size_t{2000}, size_t{5000}}) {
    EXPECT_TRUE(KVThumbnailSource::RawPreview(raf.data(), cut).IsEmpty()) << cut;
  }
}

TEST_F(DeletedFiles, VideoFramesKeepTheClipsProportionsAndLeaveNoFileBehind) {
  for (const char* name : {"Beach clip.mp4", "Long walk.mp4"}) {
    SCOPED_TRACE(name);
    IFileNode* node = Node(name);
    ASSERT_NE(node, nullptr);
    KVThumbnailSource source;
    ASSERT_TRUE(source.Open(CopyOut(node), lock_, node));
    // The long clip's index comes first: its first 2 MiB are enough.
    const uint64_t count = KVThumbnailSource::VideoHeadBytes("mp4", source.Size());
    EXPECT_EQ(count, std::min<uint64_t>(source.Size(), KVThumbnailSource::kVideoHead));
    const KVThumbnailPicture frame = source.VideoFrame(count, ".mp4", 192);
    ASSERT_EQ(frame.kind, KVThumbnailPicture::kRgb888);
    EXPECT_EQ(std::max(frame.width, frame.height), 192);
    EXPECT_TRUE(SameAspect(frame.width, frame.height, Row(name)));
    EXPECT_EQ(frame.bytes.size(), size_t(frame.width) * size_t(frame.height) * 3);
    EXPECT_TRUE(Leftovers(temp_.path()).empty());
  }
  IFileNode* node = Node("Not a clip.mp4");
  KVThumbnailSource source;
  ASSERT_TRUE(source.Open(CopyOut(node), lock_, node));
  EXPECT_TRUE(source.VideoFrame(source.Size(), ".mp4", 192).IsEmpty());
  EXPECT_TRUE(source.VideoFrame(0, ".mp4", 192).IsEmpty());
  EXPECT_TRUE(KVThumbnailSource::VideoFrameOfFile((temp_ / "missing.mp4").string(), 192).IsEmpty());
  EXPECT_TRUE(Leftovers(temp_.path()).empty());
  // The same clip as a file of its own.
  const KVThumbnailPicture frame = KVThumbnailSource::VideoFrameOfFile(Original("Beach clip.mp4").string(), 96);
  EXPECT_EQ(std::make_pair(frame.width, frame.height), std::make_pair(96, 54));
}

// A recovery paused on a full destination keeps the copy-out object's lock:
// a preview waits for it only briefly and gives up, and reads once it is free.
TEST_F(DeletedFiles, ACopyOutObjectHeldByARecoveryIsGivenUpOnAfterTheWait) {
  IFileNode* node = Node("Beach clip.mp4");
  ASSERT_NE(node, nullptr);
  std::unique_lock<std::mutex> recovery(lock_);
  KVThumbnailSource source;
  const auto start = std::chrono::steady_clock::now();
  std::thread preview(
      [&] { EXPECT_FALSE(source.Open(CopyOut(node), lock_, node, nullptr, std::chrono::milliseconds(100))); });
  preview.join();
  const auto waited = std::chrono::steady_clock::now() - start;
  EXPECT_GE(waited, std::chrono::milliseconds(100));
  EXPECT_LT(waited, std::chrono::seconds(2));
  EXPECT_TRUE(source.VideoFrame(100000, ".mp4", 192).IsEmpty());
  recovery.unlock();
  EXPECT_TRUE(source.Open(CopyOut(node), lock_, node, nullptr, std::chrono::milliseconds(100)));
  EXPECT_FALSE(source.VideoFrame(source.Size(), ".mp4", 192).IsEmpty());
  EXPECT_TRUE(Leftovers(temp_.path()).empty());
}

}  // namespace
