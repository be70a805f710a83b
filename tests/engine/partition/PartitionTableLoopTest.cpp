// Partition tables on disks of 4096-byte logical sectors: loop devices made
// with `losetup --sector-size 4096` (as root), partitioned by the tools on the
// device itself, read back through a disk device on the loop device.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>

#include "device/DiskDevice.h"
#include "engine/device/DeviceTestSupport.h"
#include "engine/partition/PartitionToolOutput.h"
#include "partition/PartitionTableAnalyze.h"
#include "support/TestSupport.h"

namespace {

using devicetest::DevicePtr;
using devicetest::ImageGuard;
using devicetest::LoopDevice;
using parttest::ByNumber;
using testsupport::RunCommandOrFail;
using testsupport::ShellQuote;

constexpr uint64_t kMiB = 1024 * 1024;
constexpr uint64_t kGiB = 1024 * kMiB;

class LoopTable : public ::testing::Test {
 protected:
  void SetUp() override {
    REQUIRE_OR_SKIP(testsupport::HaveLoopDevices(), "needs root and /dev/loop-control");
    REQUIRE_TOOL("losetup");
    REQUIRE_TOOL("blockdev");
    REQUIRE_TOOL("blkid");
    image_ = (dir_ / "disk.img").string();
  }

  // Reads the table of the loop device through a disk device whose record
  // says what blockdev says; the image must not change meanwhile.
  std::list<PartitionEntry> Analyze(const LoopDevice& loop, uint32_t* scheme = nullptr) {
    RunCommandOrFail("blockdev --flushbufs " + ShellQuote(loop.path()));
    ImageGuard guard(image_);
    const auto geometry = devicetest::Blockdev(loop.path());
    EXPECT_EQ(geometry.sectorSize, 4096u);
    DevicePtr disk = devicetest::OpenDisk(loop.path(), geometry.sectorSize, geometry.sizeBytes);
    EXPECT_EQ(disk->GetSectorSize(), 4096u);
    std::list<PartitionEntry> entries;
    IPartitionTableAnalyze* analyzer = CreatePartitionTableAnalyze();
    const ResultCode rc = analyzer->AnalyzePartitionTable(disk.get(), entries);
    analyzer->Release();
    EXPECT_EQ(rc, 0u);
    uint32_t s = 99;
    EXPECT_EQ(GetDiskType(disk.get(), s), 0u);
    if (scheme != nullptr) *scheme = s;
    return entries;
  }

  testsupport::TempDir dir_;
  std::string image_;
};

TEST_F(LoopTable, MbrWithLogicalPartitions) {
  REQUIRE_TOOL("sfdisk");
  REQUIRE_TOOL("jq");
  devicetest::MakeSparseImage(image_, 256 * kMiB);
  LoopDevice loop(image_, 4096);
  ASSERT_TRUE(loop.attached());
  RunCommandOrFail(
      "printf 'label: dos\\n,32M,83\\n,160M,5\\n,40M,7\\n,,83\\n,16M,c\\n' | sfdisk -q --no-reread --no-tell-kernel " +
      ShellQuote(loop.path()) + " 2>/dev/null");
  const auto want = parttest::WithoutExtendedContainers(parttest::Sfdisk(loop.path()));
  ASSERT_EQ(want.size(), 4u);
  uint32_t scheme = 99;
  const auto entries = Analyze(loop, &scheme);
  EXPECT_EQ(scheme, parttest::BlkidScheme(loop.path()));
  EXPECT_EQ(ByNumber(entries), ByNumber(want));
}

TEST_F(LoopTable, GptCountsItsSizeLimitInDeviceSectors) {
  REQUIRE_TOOL("sgdisk");
  // 0x800001 sectors of 4 KiB are 32 GiB and 4 KiB: of a 200 MiB, a 5 GiB and
  // a 33 GiB partition only the last is listed.
  devicetest::MakeSparseImage(image_, 40 * kGiB);
  LoopDevice loop(image_, 4096);
  ASSERT_TRUE(loop.attached());
  RunCommandOrFail("sgdisk -n 1:0:+200M -n 2:0:+5G -n 5:0:+33G " + ShellQuote(loop.path()) + " >/dev/null 2>&1");
  const auto all = parttest::Sgdisk(loop.path());
  ASSERT_EQ(all.size(), 3u);
  const auto want = parttest::AtLeast(all, 0x800001);
  ASSERT_EQ(want.size(), 1u);
  uint32_t scheme = 99;
  const auto entries = Analyze(loop, &scheme);
  EXPECT_EQ(scheme, 2u);
  EXPECT_EQ(ByNumber(entries), ByNumber(want));
  ASSERT_EQ(entries.size(), 1u);
  const auto unique = parttest::GuidBytes(want[0].uuid);
  EXPECT_TRUE(std::equal(unique.begin(), unique.end(), entries.front().uniqueGUID));
}

TEST_F(LoopTable, ApmListsWhatPartedAndPartxList) {
  REQUIRE_TOOL("parted");
  REQUIRE_TOOL("partx");
  devicetest::MakeSparseImage(image_, 128 * kMiB);
  LoopDevice loop(image_, 4096);
  ASSERT_TRUE(loop.attached());
  RunCommandOrFail("parted -s " + ShellQuote(loop.path()) +
                   " mklabel mac mkpart one hfs+ 1MiB 40MiB mkpart two fat32 40MiB 100MiB 2>/dev/null");
  // partx (libblkid) counts in 512-byte units whatever the device's sectors.
  auto want = parttest::Partx(loop.path());
  ASSERT_GE(want.size(), 3u);
  for (auto& p : want) {
    p.start /= 8;
    p.size /= 8;
  }
  uint32_t scheme = 99;
  const auto entries = Analyze(loop, &scheme);
  EXPECT_EQ(scheme, 3u);
  EXPECT_EQ(ByNumber(entries), ByNumber(want));
  // parted counts in device sectors; it shows the partitions without the map
  // and free space.
  for (const auto& p : parttest::Parted(loop.path())) {
    EXPECT_TRUE(std::any_of(
        entries.begin(), entries.end(),
        [&](const auto& e) { return e.number == p.number && e.startSector == p.start && e.sectorCount == p.size; }))
        << "parted lists #" << p.number;
  }
}

TEST_F(LoopTable, AFileSystemOnTheWholeDiskIsNoTable) {
  REQUIRE_TOOL("mkfs.vfat");
  devicetest::MakeSparseImage(image_, 128 * kMiB);
  LoopDevice loop(image_, 4096);
  ASSERT_TRUE(loop.attached());
  RunCommandOrFail("mkfs.vfat -F 32 -S 4096 " + ShellQuote(loop.path()) + " >/dev/null");
  EXPECT_EQ(RunCommandOrFail("blkid -p -s TYPE -o value " + ShellQuote(loop.path())), "vfat\n");
  uint32_t scheme = 99;
  const auto entries = Analyze(loop, &scheme);
  EXPECT_EQ(scheme, 0u);
  EXPECT_TRUE(entries.empty());
}

}  // namespace
