// Disk devices on real block devices (loop devices over images, as root):
// the sector size and count must be what blockdev reports, and reads must
// equal dd's, with 512- and 4096-byte logical sectors.
#include <gtest/gtest.h>

#include <string>

#include "device/DiskDevice.h"
#include "device/PartitionDevice.h"
#include "engine/device/DeviceTestSupport.h"
#include "support/TestSupport.h"

namespace {

using devicetest::Blockdev;
using devicetest::DdRead;
using devicetest::DevicePtr;
using devicetest::ImageGuard;
using devicetest::LoopDevice;
using testsupport::RunCommandOrFail;
using testsupport::ShellQuote;

class LoopDisk : public ::testing::TestWithParam<unsigned> {
 protected:
  void SetUp() override {
    REQUIRE_OR_SKIP(testsupport::HaveLoopDevices(), "needs root and /dev/loop-control");
    REQUIRE_TOOL("losetup");
    REQUIRE_TOOL("blockdev");
    image_ = (dir_ / "disk.img").string();
    // 8 MiB of random bytes, then 1 MiB of holes.
    RunCommandOrFail("head -c 8M /dev/urandom > " + ShellQuote(image_) + " && truncate -s 9M " + ShellQuote(image_));
  }

  testsupport::TempDir dir_;
  std::string image_;
};

TEST_P(LoopDisk, ReportsWhatBlockdevReports) {
  ImageGuard guard(image_);
  LoopDevice loop(image_, GetParam());
  ASSERT_TRUE(loop.attached());
  const auto want = Blockdev(loop.path());
  EXPECT_EQ(want.sectorSize, GetParam());

  DevicePtr disk(CreateDiskDevice(loop.path().c_str()));
  ASSERT_EQ(disk->Open(), 1);
  EXPECT_EQ(disk->GetSectorSize(), want.sectorSize);
  EXPECT_EQ(disk->GetTotalSectors(), static_cast<int64_t>(want.sizeBytes / want.sectorSize));
}

TEST_P(LoopDisk, ReadsTheSectorsThatDdReads) {
  ImageGuard guard(image_);
  LoopDevice loop(image_, GetParam());
  ASSERT_TRUE(loop.attached());
  DevicePtr disk(CreateDiskDevice(loop.path().c_str()));
  ASSERT_EQ(disk->Open(), 1);
  const unsigned size = disk->GetSectorSize();
  const int64_t total = disk->GetTotalSectors();
  ASSERT_GT(total, 100);
  for (auto [first, count] : {std::pair<int64_t, int64_t>{0, 1}, {3, 17}, {total - 1, 1}, {total / 2 - 5, 40}}) {
    std::vector<uint8_t> got(static_cast<size_t>(count) * size, 0xCC);
    ASSERT_EQ(disk->ReadSector(got.data(), first, count), 1) << first;
    EXPECT_EQ(got, DdRead(loop.path(), size, first, count)) << first << "+" << count;
  }
  // Past the end there is nothing to read.
  std::vector<uint8_t> buffer(size);
  EXPECT_EQ(disk->ReadSector(buffer.data(), total, 1), 0);
  EXPECT_EQ(disk->GetLastError(), 0x010E008800000001u);
}

TEST_P(LoopDisk, AWindowOnTheLoopDiskReadsItsSectors) {
  ImageGuard guard(image_);
  LoopDevice loop(image_, GetParam());
  ASSERT_TRUE(loop.attached());
  DevicePtr disk = devicetest::OpenDisk(loop.path());
  const unsigned size = disk->GetSectorSize();
  const int64_t start = 2 * 1024 * 1024 / size;
  DevicePtr window(CreatePartitionDevice(disk.get(), start, 64));
  ASSERT_EQ(window->Open(), 1);
  EXPECT_EQ(window->GetSectorSize(), size);
  std::vector<uint8_t> got(70u * size, 0xCC);
  ASSERT_EQ(window->ReadSector(got.data(), 60, 10), 1);
  got.resize(10u * size);
  auto want = DdRead(loop.path(), size, start + 60, 4);
  want.resize(10u * size, 0);
  EXPECT_EQ(got, want);
}

INSTANTIATE_TEST_SUITE_P(SectorSizes, LoopDisk, ::testing::Values(512u, 4096u),
                         [](const auto& info) { return "Sectors" + std::to_string(info.param); });

}  // namespace
