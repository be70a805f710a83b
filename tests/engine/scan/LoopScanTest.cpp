// A complete scan of a real block device (a loop device over a FAT image
// made by mkfs.vfat and mcopy, as root), with 512- and 4096-byte logical
// sectors: every block read through the caching device must hash like what
// dd reads from the loop device.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "engine/device/DeviceTestSupport.h"
#include "engine/scan/ScanTestSupport.h"
#include "engine/tree/TreeTestSupport.h"
#include "scan/CRecoveryController.h"
#include "support/TestSupport.h"

namespace {

using scantest::FakeCompleteSearcher;

class LoopScan : public ::testing::TestWithParam<unsigned> {};

TEST_P(LoopScan, EveryBlockHashesLikeDd) {
  REQUIRE_OR_SKIP(testsupport::HaveLoopDevices(), "needs root and /dev/loop-control");
  REQUIRE_TOOL("losetup");
  REQUIRE_TOOL("mkfs.vfat");
  REQUIRE_TOOL("mcopy");
  testsupport::TempDir dir;
  const auto image = dir / "fat.img";
  // 5 blocks of 4 MiB and 64 KiB more: a short last block in either sector size.
  scantest::MakeFilledFatImage(image, 5 * 8192 + 128, 16u << 20);
  devicetest::ImageGuard guard(image);
  devicetest::LoopDevice loop(image, GetParam());
  ASSERT_TRUE(loop.attached());
  devicetest::DevicePtr disk = devicetest::OpenDisk(loop.path());
  ASSERT_EQ(disk->GetSectorSize(), GetParam());

  scantest::FakeParts parts;
  parts.setUpComplete = [](FakeCompleteSearcher* searcher) {
    searcher->readBlocks = searcher->type == SEARCHER_TYPE_FAT;
  };
  auto* controller = new CPartitionRecoveryController();
  controller->SetParts(parts.Parts());
  treetest::FakeFilter filter;
  treetest::RecordingTree tree;
  scantest::ScriptedSink sink;
  controller->Initialize(&filter);
  ASSERT_EQ(controller->StartDataRecovery(disk.get(), &sink, &tree), 0u);
  const FakeCompleteSearcher* fat = parts.complete[SEARCHER_TYPE_FAT];
  EXPECT_EQ(fat->blockSize, static_cast<int>(0x400000 / GetParam()));
  ASSERT_EQ(fat->blocks.size(), 6u);
  EXPECT_EQ(fat->blocks.back().size(), 128u * 512);
  for (size_t k = 0; k < fat->blocks.size(); ++k) {
    EXPECT_EQ(fat->readAnswers[k], 1);
    EXPECT_EQ(scantest::Sha256Of(fat->blocks[k]),
              scantest::DdSha256(loop.path(), "bs=4M skip=" + std::to_string(k) + " count=1"))
        << "block " << k;
  }
  controller->Release();
}

INSTANTIATE_TEST_SUITE_P(SectorSizes, LoopScan, ::testing::Values(512u, 4096u));

}  // namespace
