// Complete scans of FAT images made by mkfs.vfat and filled by mcopy: every
// block a searcher reads through the caching device must hash like what dd
// reads from the image at that place.
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "device/DiskDevice.h"
#include "device/PartitionDevice.h"
#include "engine/device/DeviceTestSupport.h"
#include "engine/scan/ScanTestSupport.h"
#include "engine/tree/TreeTestSupport.h"
#include "scan/CRecoveryController.h"
#include "support/TestSupport.h"

namespace {

namespace fs = std::filesystem;
using scantest::FakeCompleteSearcher;

constexpr int64_t kBlock = 8192;
// More blocks than the read-ahead queue holds, and a short last block.
constexpr int64_t kLargeSectors = 13 * kBlock + 5;
constexpr int64_t kSmallSectors = kBlock + 1;

class RealImageScan : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    if (!testsupport::HaveTool("mkfs.vfat") || !testsupport::HaveTool("mcopy")) return;
    dir_ = new testsupport::TempDir();
    scantest::MakeFilledFatImage(Large(), kLargeSectors, 46u << 20);
    scantest::MakeFilledFatImage(Small(), kSmallSectors, 3u << 20);
    // One sector: the boot sector mkfs.vfat wrote.
    testsupport::RunCommandOrFail("dd if=" + testsupport::ShellQuote(Small().string()) +
                                  " of=" + testsupport::ShellQuote(One().string()) + " bs=512 count=1 status=none");
  }
  static void TearDownTestSuite() {
    delete dir_;
    dir_ = nullptr;
  }
  static fs::path Large() { return *dir_ / "large.img"; }
  static fs::path Small() { return *dir_ / "small.img"; }
  static fs::path One() { return *dir_ / "one.img"; }

  void SetUp() override {
    REQUIRE_TOOL("mkfs.vfat");
    REQUIRE_TOOL("mcopy");
    ASSERT_NE(dir_, nullptr);
  }

  // Runs a partition (whole-disk) or complete scan of `device` with fake
  // searchers of which the NTFS one keeps what it reads; answers its blocks.
  std::vector<std::vector<uint8_t>> ScanBlocks(IStorageDevice* device, bool wholeDisk,
                                               std::vector<std::string>* analyzed = nullptr) {
    scantest::FakeParts parts;
    parts.setUpComplete = [](FakeCompleteSearcher* searcher) {
      searcher->readBlocks = searcher->type == SEARCHER_TYPE_NTFS;
    };
    CCompleteRecoveryController* controller =
        wholeDisk ? new CPartitionRecoveryController() : new CCompleteRecoveryController();
    controller->SetParts(parts.Parts());
    RecoveryControllerParts realFlush;
    realFlush.flushFileBuffers = RecoveryControllerParts::Defaults().flushFileBuffers;
    controller->SetParts(realFlush);
    treetest::FakeFilter filter;
    treetest::RecordingTree tree;
    scantest::ScriptedSink sink;
    controller->Initialize(&filter);
    EXPECT_EQ(controller->StartDataRecovery(device, &sink, &tree), 0u);
    FakeCompleteSearcher* ntfs = parts.complete[SEARCHER_TYPE_NTFS];
    std::vector<std::vector<uint8_t>> blocks = ntfs->blocks;
    for (int answer : ntfs->readAnswers) EXPECT_EQ(answer, 1);
    if (analyzed != nullptr) *analyzed = parts.journal.Matching("35:block:");
    // Every searcher saw the same blocks.
    for (const char* tag : {"31", "33", "32", "34"}) {
      EXPECT_EQ(parts.journal.Matching(std::string(tag) + ":block:").size(), blocks.size());
    }
    controller->Release();
    return blocks;
  }

  void ExpectBlocksHashLikeDd(const fs::path& image, const std::vector<std::vector<uint8_t>>& blocks) {
    for (size_t k = 0; k < blocks.size(); ++k) {
      EXPECT_EQ(scantest::Sha256Of(blocks[k]),
                scantest::DdSha256(image, "bs=4M skip=" + std::to_string(k) + " count=1"))
          << image.filename() << " block " << k;
    }
  }

  static testsupport::TempDir* dir_;
};

testsupport::TempDir* RealImageScan::dir_ = nullptr;

TEST_F(RealImageScan, LargeImageBlockByBlock) {
  devicetest::ImageGuard guard(Large());
  devicetest::DevicePtr disk = devicetest::OpenDisk(Large().string());
  ASSERT_EQ(disk->GetTotalSectors(), kLargeSectors);
  std::vector<std::string> analyzed;
  const std::vector<std::vector<uint8_t>> blocks = ScanBlocks(disk.get(), true, &analyzed);
  ASSERT_EQ(blocks.size(), 14u);
  EXPECT_EQ(blocks.back().size(), 5u * 512);
  EXPECT_EQ(analyzed.front(), "35:block:0:8192");
  EXPECT_EQ(analyzed.back(), "35:block:" + std::to_string(13 * kBlock) + ":5");
  ExpectBlocksHashLikeDd(Large(), blocks);
}

TEST_F(RealImageScan, Image8193SectorsIsTwoBlocks) {
  devicetest::ImageGuard guard(Small());
  devicetest::DevicePtr volume(CreateVolumeDevice(Small().c_str()));
  ASSERT_EQ(volume->Open(), 1);
  ASSERT_EQ(volume->GetTotalSectors(), kSmallSectors);
  std::vector<std::string> analyzed;
  const std::vector<std::vector<uint8_t>> blocks = ScanBlocks(volume.get(), false, &analyzed);
  EXPECT_EQ(analyzed, (std::vector<std::string>{"35:block:0:8192", "35:block:8192:1"}));
  ASSERT_EQ(blocks.size(), 2u);
  ExpectBlocksHashLikeDd(Small(), blocks);
}

TEST_F(RealImageScan, OneSectorImageIsOneBlockOfOneSector) {
  devicetest::ImageGuard guard(One());
  devicetest::DevicePtr volume(CreateVolumeDevice(One().c_str()));
  ASSERT_EQ(volume->Open(), 1);
  ASSERT_EQ(volume->GetTotalSectors(), 1);
  std::vector<std::string> analyzed;
  const std::vector<std::vector<uint8_t>> blocks = ScanBlocks(volume.get(), false, &analyzed);
  EXPECT_EQ(analyzed, std::vector<std::string>{"35:block:0:1"});
  ASSERT_EQ(blocks.size(), 1u);
  ExpectBlocksHashLikeDd(One(), blocks);
  // The boot sector's signature, as mkfs.vfat wrote it.
  EXPECT_EQ(blocks[0][510], 0x55);
  EXPECT_EQ(blocks[0][511], 0xAA);
}

TEST_F(RealImageScan, PartitionWindowSmallerThanOneBlock) {
  constexpr int64_t kStart = 2051;
  constexpr int64_t kCount = 5000;
  devicetest::ImageGuard guard(Large());
  devicetest::DevicePtr disk = devicetest::OpenDisk(Large().string());
  devicetest::DevicePtr window(CreatePartitionDevice(disk.get(), kStart, kCount));
  ASSERT_EQ(window->Open(), 1);
  std::vector<std::string> analyzed;
  const std::vector<std::vector<uint8_t>> blocks = ScanBlocks(window.get(), false, &analyzed);
  EXPECT_EQ(analyzed, std::vector<std::string>{"35:block:0:5000"});
  ASSERT_EQ(blocks.size(), 1u);
  EXPECT_EQ(scantest::Sha256Of(blocks[0]),
            scantest::DdSha256(Large(), "bs=512 skip=" + std::to_string(kStart) + " count=" + std::to_string(kCount)));
}

}  // namespace
