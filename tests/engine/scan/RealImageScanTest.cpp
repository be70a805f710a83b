// Complete scans of FAT images made by mkfs.vfat and filled by mcopy: every
// block a searcher reads through the caching device must hash like what dd
// reads from the image at that place.
#include <gtest/gtest.h>

#include "device/DiskDevice.h"
#include "device/PartitionDevice.h"
#include "engine/device/DeviceTestSupport.h"
#include "engine/scan/ScanTestSupport.h"

namespace {

namespace fs = std::filesystem;

TEST(RealImageScan, EveryBlockHashesLikeDd) {
  REQUIRE_TOOL("mkfs.vfat");
  REQUIRE_TOOL("mcopy");
  testsupport::TempDir dir;
  const fs::path large = dir / "large.img", small = dir / "small.img", one = dir / "one.img";
  // More blocks than the read-ahead queue holds and a short last one; two
  // blocks, the second of one sector; the boot sector mkfs.vfat wrote.
  scantest::MakeFilledFatImage(large, 13 * 8192 + 5, 46u << 20);
  scantest::MakeFilledFatImage(small, 8192 + 1, 3u << 20);
  testsupport::RunCommandOrFail("head -c 512 " + testsupport::ShellQuote(small.string()) + " > " +
                                testsupport::ShellQuote(one.string()));
  const struct {
    fs::path image;
    bool wholeDisk;
    int64_t windowStart, windowCount;      // a partition window on the disk, when count > 0
    std::vector<std::string> first, last;  // the first and last blocks a searcher got
    size_t blocks;
  } cases[] = {
      {large, true, 0, 0, {"0:8192"}, {"106496:5"}, 14},
      {small, false, 0, 0, {"0:8192"}, {"8192:1"}, 2},
      {one, false, 0, 0, {"0:1"}, {"0:1"}, 1},
      {large, false, 2051, 5000, {"0:5000"}, {"0:5000"}, 1},  // a window smaller than one block
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.image.filename().string() + " " + std::to_string(c.windowCount));
    devicetest::ImageGuard guard(c.image);
    devicetest::DevicePtr disk = devicetest::OpenDisk(c.image.string());
    devicetest::DevicePtr window;
    IStorageDevice* device = disk.get();
    if (c.windowCount > 0) {
      window.reset(CreatePartitionDevice(disk.get(), c.windowStart, c.windowCount));
      ASSERT_EQ(window->Open(), 1);
      device = window.get();
    } else if (!c.wholeDisk) {
      window.reset(CreateVolumeDevice(c.image.c_str()));
      ASSERT_EQ(window->Open(), 1);
      device = window.get();
    }
    const auto [analyzed, blocks] = scantest::ScanBlocks(device, c.wholeDisk);
    ASSERT_EQ(blocks.size(), c.blocks);
    EXPECT_EQ(analyzed.front(), c.first[0]);
    EXPECT_EQ(analyzed.back(), c.last[0]);
    scantest::ExpectBlocksHashLikeDd(c.image.string(), blocks, c.windowCount > 0 ? c.windowStart : -1);
  }
}

}  // namespace
