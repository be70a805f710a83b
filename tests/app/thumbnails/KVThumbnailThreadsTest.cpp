// Previews made on several threads at once, beside a recovery that copies
// through the same copy-out object under its lock: every thread gets its
// own file's bytes and pictures, temporary names are never shared and no
// file outlives its call. Plain C++ (no Qt), so ThreadSanitizer runs it.
#include <gtest/gtest.h>

#include <atomic>
#include <set>
#include <thread>

#include "DataRecovery.h"
#include "app/thumbnails/KVThumbnailSource.h"
#include "app/thumbnails/ScannedPreviews.h"

namespace {

using namespace previewtest;

TEST(PrivateTempFileThreads, FilesMadeAtOnceNeverShareANameAndAllGo) {
  testsupport::TempDir root;
  KVPrivateTempFile::SetRoot(root.path().string());
  constexpr int kThreads = 8, kFiles = 40;
  std::vector<std::vector<std::string>> names(kThreads);
  std::atomic<int> failures{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      std::vector<std::unique_ptr<KVPrivateTempFile>> alive;
      for (int i = 0; i < kFiles; ++i) {
        auto file = std::make_unique<KVPrivateTempFile>(".mp4");
        const std::string mark = std::to_string(t) + ":" + std::to_string(i);
        failures += !file->IsMade() || !file->Write(mark.data(), mark.size()) || !file->Close();
        names[t].push_back(file->Path());
        alive.push_back(std::move(file));
      }
      // Each still holds what its own thread wrote.
      for (int i = 0; i < kFiles; ++i) {
        const std::vector<uint8_t> bytes = testsupport::ReadFile(alive[i]->Path());
        failures += std::string(bytes.begin(), bytes.end()) != std::to_string(t) + ":" + std::to_string(i);
      }
    });
  }
  for (std::thread& thread : threads) thread.join();
  KVPrivateTempFile::SetRoot("");
  EXPECT_EQ(failures.load(), 0);
  std::set<std::string> distinct;
  for (const auto& list : names) distinct.insert(list.begin(), list.end());
  EXPECT_EQ(distinct.size(), size_t{kThreads * kFiles});
  EXPECT_TRUE(Leftovers(root.path()).empty());
}

using DeletedFilesThreads = ScannedPreviews;

TEST_F(DeletedFilesThreads, PreviewsBesideARecoveryEachGetTheirOwnFile) {
  IFileNode* photo = Node("Holiday photo.jpg");
  IFileNode* clip = Node("Long walk.mp4");
  IFileNode* portrait = Node("Portrait scan.png");
  ASSERT_TRUE(photo != nullptr && clip != nullptr && portrait != nullptr);
  IDataRecovery* copyOut = CopyOut(photo);
  ASSERT_EQ(copyOut, CopyOut(portrait)) << "one volume, one copy-out object";
  const std::vector<uint8_t> photoBytes = testsupport::ReadFile(Original("Holiday photo.jpg"));
  const std::string portraitSum = Row("Portrait scan.png").sha256;
  const Expected clipRow = Row("Long walk.mp4");
  testsupport::TempDir out;

  std::atomic<bool> previewing{true};
  std::atomic<int> copies{0}, badCopies{0};
  // The recovery: the whole file copied out under the lock, again and again.
  std::thread recovery([&] {
    while (previewing.load() || copies.load() < 3) {
      const fs::path to = out / ("copy" + std::to_string(copies.load()) + ".png");
      {
        std::lock_guard<std::mutex> held(lock_);
        IFileReader* reader = copyOut->SetRecoverNode(portrait);
        badCopies += reader == nullptr || copyOut->RecoverTo(to.c_str(), nullptr, 0) != 0;
        if (reader != nullptr) reader->Release();
      }
      badCopies += testsupport::Sha256(to) != portraitSum;
      ++copies;
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
  });
  constexpr int kThreads = 4, kRounds = 3;
  std::atomic<int> pictures{0}, frames{0}, bad{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&] {
      for (int round = 0; round < kRounds; ++round) {
        KVThumbnailSource picture;
        // Waits as long as a copy may take here; a real preview gives up sooner.
        if (picture.Open(copyOut, lock_, photo, nullptr, std::chrono::seconds(30))) {
          bad += picture.ReadHead(KVThumbnailSource::kPictureLimit) != photoBytes;
          ++pictures;
        }
        KVThumbnailSource video;
        if (video.Open(copyOut, lock_, clip, nullptr, std::chrono::seconds(30))) {
          const KVThumbnailPicture frame = video.VideoFrame(KVThumbnailSource::kVideoHead, ".mp4", 192);
          bad += frame.kind != KVThumbnailPicture::kRgb888 || !SameAspect(frame.width, frame.height, clipRow);
          ++frames;
        }
      }
    });
  }
  for (std::thread& thread : threads) thread.join();
  previewing = false;
  recovery.join();
  EXPECT_EQ(pictures.load(), kThreads * kRounds);
  EXPECT_EQ(frames.load(), kThreads * kRounds);
  EXPECT_EQ(bad.load(), 0);
  EXPECT_GE(copies.load(), 3);
  EXPECT_EQ(badCopies.load(), 0);
  EXPECT_TRUE(Leftovers(temp_.path()).empty());
}

}  // namespace
