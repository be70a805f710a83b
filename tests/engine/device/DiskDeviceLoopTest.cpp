// Disk devices on loop devices over images (as root), with 512- and
// 4096-byte logical sectors: the geometry blockdev reports and the bytes dd
// reads.
#include <gtest/gtest.h>

#include "device/DiskDevice.h"
#include "engine/device/DeviceTestSupport.h"

namespace {

using devicetest::DdRead;
using devicetest::DevicePtr;

class LoopDisk : public ::testing::TestWithParam<unsigned> {};

TEST_P(LoopDisk, ReportsWhatBlockdevReportsAndReadsWhatDdReads) {
  REQUIRE_OR_SKIP(testsupport::HaveLoopDevices(), "needs root and /dev/loop-control");
  REQUIRE_TOOL("losetup");
  REQUIRE_TOOL("blockdev");
  testsupport::TempDir dir;
  const std::string image = (dir / "disk.img").string();
  // 8 MiB of random bytes, then 1 MiB of holes.
  testsupport::RunCommandOrFail("head -c 8M /dev/urandom > " + testsupport::ShellQuote(image) + " && truncate -s 9M " +
                                testsupport::ShellQuote(image));
  devicetest::ImageGuard guard(image);
  devicetest::LoopDevice loop(image, GetParam());
  ASSERT_TRUE(loop.attached());
  const auto want = devicetest::Blockdev(loop.path());
  EXPECT_EQ(want.sectorSize, GetParam());

  DevicePtr disk = devicetest::OpenDisk(loop.path());
  const unsigned size = disk->GetSectorSize();
  const int64_t total = disk->GetTotalSectors();
  EXPECT_EQ(size, want.sectorSize);
  EXPECT_EQ(total, static_cast<int64_t>(want.sizeBytes / want.sectorSize));
  for (auto [first, count] : {std::pair<int64_t, int64_t>{0, 1}, {3, 17}, {total - 1, 1}, {total / 2 - 5, 40}}) {
    EXPECT_EQ(devicetest::Read(*disk, first, count), DdRead(loop.path(), size, first, count)) << first;
  }
  devicetest::Read(*disk, total, 1, 0);
  EXPECT_EQ(disk->GetLastError(), 0x010E008800000001u);
}

INSTANTIATE_TEST_SUITE_P(SectorSizes, LoopDisk, ::testing::Values(512u, 4096u),
                         [](const auto& info) { return "Sectors" + std::to_string(info.param); });

}  // namespace
