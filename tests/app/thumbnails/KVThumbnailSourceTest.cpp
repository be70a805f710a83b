// What thumbnails are made from, without Qt (so ThreadSanitizer runs it):
// the deleted files of the previews fixture, read through the engine's
// copy-out object on several threads while a recovery copies through it
// under its lock, give their own bytes, camera previews and clip frames in
// the proportions ffprobe gave; private temporary files never share a name
// nor outlive a call.
#include <gtest/gtest.h>

#include <sys/stat.h>

#include <atomic>
#include <random>
#include <set>
#include <thread>

#include "DataRecovery.h"
#include "app/thumbnails/KVThumbnailSource.h"
#include "app/thumbnails/PreviewFixture.h"

namespace {

using namespace previewtest;
constexpr uint64_t MiB = 1 << 20;

TEST(VideoHead, ShortVideosAreCopiedWholeLongOnesTheirHeadAndAvisUpTo50MiB) {
  EXPECT_EQ(KVThumbnailSource::VideoHeadBytes("mp4", 1 * MiB), 1 * MiB);
  EXPECT_EQ(KVThumbnailSource::VideoHeadBytes("mov", 10 * MiB), 2 * MiB);
  EXPECT_EQ(KVThumbnailSource::VideoHeadBytes("avi", 40 * MiB), 40 * MiB);
  EXPECT_EQ(KVThumbnailSource::VideoHeadBytes("avi", 60 * MiB), 2 * MiB);
  EXPECT_EQ(KVThumbnailSource::VideoHeadBytes("mkv", 1 * MiB), 0u);
}

TEST(RawPreview, BytesWithoutACameraPreviewGiveNone) {
  std::mt19937 random(5);
  std::vector<uint8_t> bytes(100000);
  for (uint8_t& b : bytes) b = static_cast<uint8_t>(random());
  EXPECT_TRUE(KVThumbnailSource::RawPreview(bytes.data(), bytes.size()).IsEmpty());
  EXPECT_TRUE(KVThumbnailSource::RawPreview(nullptr, 1000).IsEmpty());
  const fs::path sample = testsupport::SharedFixturesDir() / "carve/raf/FujiFilm.raf";
  REQUIRE_OR_SKIP(fs::exists(sample), "the shared fixtures folder is missing");
  bytes = testsupport::ReadFile(sample);
  EXPECT_FALSE(KVThumbnailSource::RawPreview(bytes.data(), bytes.size()).IsEmpty());
  // Cut before its preview (a JPEG at 2704, 9362 bytes long) or inside it.
  for (const size_t cut : {200, 2000, 5000}) EXPECT_TRUE(KVThumbnailSource::RawPreview(bytes.data(), cut).IsEmpty());
}

TEST(PrivateTempFile, FilesMadeAtOnceNeverShareANameAndAllGo) {
  testsupport::TempDir root;
  KVPrivateTempFile::SetRoot(root.path().string());
  std::vector<std::set<std::string>> names(8);
  std::atomic<int> bad{0};
  std::vector<std::thread> threads;
  for (size_t t = 0; t < names.size(); ++t) {
    threads.emplace_back([&, t] {
      std::vector<std::unique_ptr<KVPrivateTempFile>> alive;
      for (int i = 0; i < 40; ++i) {
        auto& file = alive.emplace_back(std::make_unique<KVPrivateTempFile>("/../.mp4"));
        struct stat folder {};
        bad += !file->Write(&t, 1) || !file->Close() || stat(fs::path(file->Path()).parent_path().c_str(), &folder) ||
               (folder.st_mode & 0777) != 0700 || !file->Path().ends_with("...mp4");
        names[t].insert(file->Path());
      }
      for (const auto& file : alive) bad += testsupport::ReadFile(file->Path()) != std::vector<uint8_t>{uint8_t(t)};
    });
  }
  for (std::thread& thread : threads) thread.join();
  KVPrivateTempFile::SetRoot("");
  EXPECT_EQ(bad.load(), 0);
  std::set<std::string> all;
  for (const auto& list : names) all.insert(list.begin(), list.end());
  EXPECT_EQ(all.size(), 8u * 40u);
  EXPECT_TRUE(Leftovers(root.path()).empty());
}

using DeletedFiles = ScannedPreviews;

TEST_F(DeletedFiles, PreviewsBesideARecoveryEachGetTheirOwnFile) {
  IFileNode* photo = Node("Holiday photo.jpg");
  IFileNode* clip = Node("Long walk.mp4");
  IFileNode* portrait = Node("Portrait scan.png");
  ASSERT_TRUE(photo != nullptr && clip != nullptr && portrait != nullptr);
  const quickprobe::Node* raw = scan_->Find("Camera FujiFilm.raf");
  IDataRecovery* copyOut = scan_->Recovery(photo);
  const std::vector<uint8_t> photoBytes = testsupport::ReadFile(Original("Holiday photo.jpg"));
  const std::vector<uint8_t> portraitBytes = testsupport::ReadFile(Original("Portrait scan.png"));
  std::atomic<bool> previewing{true};
  std::atomic<int> copies{0}, bad{0};
  std::thread recovery([&] {  // the whole file copied out under the lock, again and again
    for (; previewing || copies < 3; ++copies) {
      const fs::path to = temp_ / "copy.png";
      {
        std::lock_guard<std::mutex> held(lock_);
        IFileReader* reader = copyOut->SetRecoverNode(portrait);
        bad += reader == nullptr || copyOut->RecoverTo(to.c_str(), nullptr, 0) != 0;
        if (reader != nullptr) reader->Release();
      }
      bad += testsupport::ReadFile(to) != portraitBytes;
      fs::remove(to);
    }
  });
  std::vector<std::thread> previews;
  for (int t = 0; t < 4; ++t) {
    previews.emplace_back([&] {
      for (int round = 0; round < 3; ++round) {
        KVThumbnailSource picture, video;  // waiting as long as a copy may take here
        bad += !picture.Open(copyOut, lock_, photo, nullptr, std::chrono::seconds(30)) ||
               picture.ReadHead(KVThumbnailSource::kPictureLimit) != photoBytes;
        bad += !video.Open(copyOut, lock_, clip, nullptr, std::chrono::seconds(30));
        const KVThumbnailPicture frame = video.VideoFrame(KVThumbnailSource::kVideoHead, ".mp4", 192);
        bad +=
            frame.kind != KVThumbnailPicture::kRgb888 || !SameAspect(frame.width, frame.height, Row("Long walk.mp4"));
        KVThumbnailSource camera;
        bad += raw != nullptr && (!camera.Open(copyOut, lock_, raw->node, nullptr, std::chrono::seconds(30)) ||
                                  camera.RawPreview().kind != KVThumbnailPicture::kEncoded);
      }
    });
  }
  for (std::thread& thread : previews) thread.join();
  previewing = false;
  recovery.join();
  EXPECT_EQ(bad.load(), 0);
}

}  // namespace
