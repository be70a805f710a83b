// A complete scan of a real block device (a loop device over a FAT image made
// by mkfs.vfat and mcopy, as root) with 4096-byte logical sectors: every
// block read through the caching device must hash like what dd reads from the
// loop device. 512-byte sectors are the image files' case (RealImageScanTest).
#include <gtest/gtest.h>

#include "engine/device/DeviceTestSupport.h"
#include "engine/scan/ScanTestSupport.h"

namespace {

TEST(LoopScan, EveryBlockOf4KiBSectorsHashesLikeDd) {
  constexpr unsigned kSectorSize = 4096;
  REQUIRE_OR_SKIP(testsupport::HaveLoopDevices(), "needs root and /dev/loop-control");
  REQUIRE_TOOL("losetup");
  REQUIRE_TOOL("mkfs.vfat");
  REQUIRE_TOOL("mcopy");
  testsupport::TempDir dir;
  const auto image = dir / "fat.img";
  // 5 blocks of 4 MiB and 64 KiB more: a short last block.
  scantest::MakeFilledFatImage(image, 5 * 8192 + 128, 16u << 20);
  devicetest::ImageGuard guard(image);
  devicetest::LoopDevice loop(image, kSectorSize);
  ASSERT_TRUE(loop.attached());
  devicetest::DevicePtr disk = devicetest::OpenDisk(loop.path());
  ASSERT_EQ(disk->GetSectorSize(), kSectorSize);
  const auto [analyzed, blocks] = scantest::ScanBlocks(disk.get(), true);
  EXPECT_EQ(analyzed.front(), "0:1024");  // 4 MiB blocks
  ASSERT_EQ(blocks.size(), 6u);
  EXPECT_EQ(blocks.back().size(), 128u * 512);
  scantest::ExpectBlocksHashLikeDd(loop.path(), blocks);
}

}  // namespace
