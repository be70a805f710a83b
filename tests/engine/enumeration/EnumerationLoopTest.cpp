// The enumerator on this machine, as root, over loop devices attached to
// images made by the partitioning and file-system tools; the records must be
// what lsblk and blkid report of the same devices. The enumeration sees every
// block device of the machine, and other tests attach loop devices of their
// own meanwhile: only each test's own devices are checked.
#include <gtest/gtest.h>

#include <algorithm>

#include "engine/device/DeviceTestSupport.h"
#include "engine/enumeration/EnumTestSupport.h"
#include "engine/partition/PartitionToolOutput.h"
#include "enumeration/EnumDeviceEx.h"
#include "enumeration/MountInfo.h"

namespace {

namespace fs = std::filesystem;
using devicetest::LoopDevice;
using enumtest::Value;
using testsupport::RunCommand;
using testsupport::RunCommandOrFail;
using testsupport::ShellQuote;

constexpr uint64_t kMiB = 1024 * 1024;

class EnumLoop : public ::testing::Test {
 protected:
  void SetUp() override {
    REQUIRE_OR_SKIP(testsupport::HaveLoopDevices(), "needs root and /dev/loop-control");
    for (const char* tool :
         {"losetup", "partx", "lsblk", "blkid", "blockdev", "jq", "sfdisk", "mkfs.vfat", "mkfs.exfat"}) {
      REQUIRE_TOOL(tool);
    }
  }
  void TearDown() override {
    e_.Uninit();
    guard_.reset();
  }

  // Makes the image with `command` (%s is the image) and attaches it with
  // partition scanning; the kernel is told of the partitions of the table
  // the command wrote.
  // The loop device outlives the enumerator's devices on it: the kernel
  // drops its partitions only when nothing holds them.
  LoopDevice& Attach(uint64_t bytes, const std::string& command = "", unsigned sectorSize = 0) {
    loop_.reset();
    fs::remove(image_);
    devicetest::MakeSparseImage(image_, bytes);
    if (!command.empty()) {
      RunCommandOrFail(std::string(command).replace(command.find("%s"), 2, ShellQuote(image_.string())) +
                       " >/dev/null 2>&1");
    }
    loop_ = std::make_unique<LoopDevice>(image_, sectorSize, true);
    EXPECT_TRUE(loop_->attached());
    if (!command.empty()) loop_->Announce();
    return *loop_;
  }

  // Enumerates the machine; checks the test's disk against lsblk and blkid
  // and answers lsblk's rows of its partitions.
  std::vector<enumtest::LsblkRow> Enumerate(const LoopDevice& loop) {
    RunCommandOrFail("blockdev --flushbufs " + loop.path());
    guard_ = std::make_unique<devicetest::ImageGuard>(image_);
    EXPECT_EQ(e_.Init(), 0u);
    disk_ = enumtest::FindDisk(e_, loop.path());
    const auto rows = enumtest::Lsblk(loop.path());
    if (disk_ == nullptr || rows.empty()) {
      ADD_FAILURE() << loop.path() << " not enumerated or not listed by lsblk";
      return {};
    }
    const auto* info = DiskRecordOf(disk_);
    EXPECT_EQ(info->busType, static_cast<uint32_t>(DiskBusVirtual));
    EXPECT_STREQ(info->registryName, image_.filename().c_str());
    EXPECT_EQ(info->bsdName, loop.name());
    EXPECT_EQ(info->sectorSize, rows[0].logSec);
    EXPECT_EQ(info->totalSectors, static_cast<int64_t>(rows[0].size / rows[0].logSec));
    EXPECT_EQ(info->deviceID, static_cast<int32_t>((rows[0].major << 24) | rows[0].minor));
    // A file system on the whole disk has no table, whatever libblkid guesses.
    const bool superfloppy = !Value(enumtest::Blkid(loop.path()), "TYPE").empty();
    EXPECT_EQ(info->partitionScheme, superfloppy ? 0u : parttest::BlkidScheme(loop.path()));
    return {rows.begin() + 1, rows.end()};
  }

  // Checks the system volumes against lsblk's rows of the same devices and
  // what blkid reads on them: one volume for each but the extended container,
  // and no other volume.
  std::vector<IStorageDevice*> CheckSystemVolumes(const std::vector<enumtest::LsblkRow>& rows) {
    const auto volumes = enumtest::Volumes(e_, disk_);
    size_t shown = 0;
    for (const auto& row : rows) {
      SCOPED_TRACE(row.name);
      const auto blkid = enumtest::Blkid("/dev/" + row.name);
      auto it = std::find_if(volumes.begin(), volumes.end(),
                             [&](IStorageDevice* v) { return row.name == VolumeRecordOf(v)->bsdName; });
      if (Value(blkid, "PART_ENTRY_TYPE") == "0x5" || Value(blkid, "PART_ENTRY_TYPE") == "0xf") {
        EXPECT_EQ(it, volumes.end());
        continue;
      }
      ++shown;
      if (it == volumes.end()) {
        ADD_FAILURE() << "no volume";
        continue;
      }
      const auto* v = VolumeRecordOf(*it);
      EXPECT_EQ(v->sectorSize, row.logSec);
      EXPECT_EQ(v->totalSectors, static_cast<int64_t>(row.size / row.logSec));
      EXPECT_EQ(v->deviceID, static_cast<int32_t>((row.major << 24) | row.minor));
      EXPECT_EQ(std::to_string(v->partitionNumber), Value(blkid, "PART_ENTRY_NUMBER"));
      const std::string label = !row.label.empty() ? row.label : Value(blkid, "LABEL");
      if (!label.empty()) {
        EXPECT_EQ(v->volumeName, label);
      }
      EXPECT_EQ(v->mounted, row.mountpoint.empty() ? 0u : 1u);
      // blkid gives the start in 512-byte units.
      EXPECT_EQ(std::to_string(v->startSector * row.logSec / 512), Value(blkid, "PART_ENTRY_OFFSET"));
      EXPECT_EQ(v->fileSystemType, enumtest::ExpectedFileSystemType(*it, blkid));
      if (Value(blkid, "PART_ENTRY_SCHEME") == "gpt") {
        // lsblk knows them only from a udev database.
        const auto type = parttest::GuidBytes(!row.partType.empty() ? row.partType : Value(blkid, "PART_ENTRY_TYPE"));
        const auto unique = parttest::GuidBytes(!row.partUUID.empty() ? row.partUUID : Value(blkid, "PART_ENTRY_UUID"));
        EXPECT_TRUE(std::equal(type.begin(), type.end(), v->gptTypeGUID));
        EXPECT_TRUE(std::equal(unique.begin(), unique.end(), v->gptPartitionGUID));
      }
    }
    EXPECT_EQ(volumes.size(), shown);
    return volumes;
  }

  // Checks volumes that the system does not show against the tool's table:
  // virtual volumes over the partitions' sectors of the disk.
  void CheckVirtualVolumes(const LoopDevice& loop, const std::vector<parttest::ToolPartition>& want) {
    const auto volumes = enumtest::Volumes(e_, disk_);
    ASSERT_EQ(volumes.size(), want.size());
    for (size_t i = 0; i < want.size(); ++i) {
      SCOPED_TRACE(want[i].number);
      const auto* v = VolumeRecordOf(volumes[i]);
      EXPECT_EQ(volumes[i]->GetType(), STORAGE_DEVICE_VOLUME);
      EXPECT_EQ(parttest::ToolPartition({static_cast<uint32_t>(v->partitionNumber), v->startSector, v->totalSectors}),
                want[i]);
      EXPECT_STREQ(v->bsdName, "");
      EXPECT_EQ(v->mounted, 0u);
      EXPECT_EQ(devicetest::Read(*volumes[i], 0, 4),
                devicetest::DdRead(loop.path(), 512, static_cast<uint64_t>(want[i].start), 4));
    }
  }

  testsupport::TempDir dir_;
  fs::path image_ = dir_ / "disk.img";
  std::unique_ptr<LoopDevice> loop_;
  CEnumDeviceEx e_;
  IStorageDevice* disk_ = nullptr;
  std::unique_ptr<devicetest::ImageGuard> guard_;
};

TEST_F(EnumLoop, MbrPartitionsAreListedAsLsblkAndBlkidReportThenAsVirtualVolumesOnceUnshown) {
  REQUIRE_TOOL("mkfs.ext4");
  devicetest::MakeSparseImage(image_, 96 * kMiB);
  enumtest::MakeMbr(image_, {"1 : size=16M, type=c", "2 : type=5", "5 : size=24M, type=7", "6 : type=83"});
  loop_ = std::make_unique<LoopDevice>(image_, 0, true);
  const LoopDevice& loop = *loop_;
  loop.Announce();
  RunCommandOrFail("mkfs.vfat -n PHOTOS " + loop.Partition(1) + " >/dev/null && mkfs.exfat -L Travel " +
                   loop.Partition(5) + " >/dev/null && mkfs.ext4 -q " + loop.Partition(6));
  const auto want = parttest::WithoutExtendedContainers(parttest::Sfdisk(loop.path()));
  {
    const std::string where = ShellQuote((dir_ / "media" / "Backup Disk").string());
    ASSERT_EQ(RunCommand("mkdir -p " + where + " && mount -o ro " + loop.Partition(6) + " " + where).exitCode, 0);
    struct Unmount {
      std::string where;
      ~Unmount() { RunCommand("umount " + where); }
    } unmount{where};
    const auto rows = Enumerate(loop);
    ASSERT_EQ(rows.size(), 4u);  // p1, p2 (the extended container), p5, p6
    EXPECT_FALSE(rows[3].mountpoint.empty());
    CheckSystemVolumes(rows);
    // Without a label, the mount point's last folder names the volume.
    EXPECT_STREQ(VolumeRecordOf(enumtest::Volumes(e_, disk_).at(2))->volumeName, "Backup Disk");
    e_.Uninit();  // before the mount goes
  }
  ASSERT_TRUE(loop.Forget());  // the system no longer shows them
  EXPECT_TRUE(Enumerate(loop).empty());
  CheckVirtualVolumes(loop, want);
}

TEST_F(EnumLoop, ApmPartitionsComeBackAsMergedVirtualVolumes) {
  REQUIRE_TOOL("parted");
  LoopDevice& loop =
      Attach(64 * kMiB, "parted -s %s mklabel mac mkpart one hfs+ 1MiB 20MiB mkpart two fat32 20MiB 60MiB");
  ASSERT_TRUE(loop.Forget());  // a kernel with the APM parser would show them: this case is the one without
  EXPECT_TRUE(Enumerate(loop).empty());
  EXPECT_EQ(DiskRecordOf(disk_)->partitionScheme, 3u);
  const auto want = parttest::ByNumber(parttest::Partx(loop.path()));
  ASSERT_GE(want.size(), 3u);  // the map itself, two partitions, free space
  CheckVirtualVolumes(loop, want);
  const auto volumes = enumtest::Volumes(e_, disk_);
  for (size_t i = 0; i < want.size(); ++i) EXPECT_EQ(VolumeRecordOf(volumes[i])->apmType, want[i].type);
}

TEST_F(EnumLoop, ASuperfloppyIsItsOwnOnlyVolume) {
  // libblkid takes an exFAT boot sector for an MBR; the table reader does not.
  for (const char* mkfs : {"mkfs.vfat -n STICK", "mkfs.exfat -L STICK"}) {
    SCOPED_TRACE(mkfs);
    LoopDevice& loop = Attach(32 * kMiB);
    RunCommandOrFail(std::string(mkfs) + " " + loop.path() + " >/dev/null");
    EXPECT_TRUE(Enumerate(loop).empty());
    ASSERT_NE(disk_, nullptr);
    const auto volumes = enumtest::Volumes(e_, disk_);
    ASSERT_EQ(volumes.size(), 1u);
    const auto* v = VolumeRecordOf(volumes[0]);
    EXPECT_EQ(v->partitionNumber, -1);
    EXPECT_EQ(v->bsdName, loop.name());
    EXPECT_EQ(v->volumeName, enumtest::Blkid(loop.path())["LABEL"]);
    EXPECT_EQ(v->totalSectors, static_cast<int64_t>(32 * kMiB / 512));
    const auto partitions = enumtest::Partitions(e_, disk_);
    ASSERT_EQ(partitions.size(), 1u);
    EXPECT_EQ(PartitionRecordOf(partitions[0])->partitionNumber, -1);
    EXPECT_EQ(PartitionRecordOf(partitions[0])->sectorCount, v->totalSectors);
    e_.Uninit();
    guard_.reset();
  }
}

TEST_F(EnumLoop, GptVolumesCarryTheGuidsThatBlkidReads) {
  REQUIRE_TOOL("sgdisk");
  LoopDevice& loop =
      Attach(6 * 1024 * kMiB, "sgdisk -n 1:0:+200M -t 1:0700 -n 2:0:+4200M -t 2:0700 -n 3:0:0 -t 3:8300 %s");
  RunCommandOrFail("mkfs.vfat -n SMALL " + loop.Partition(1) + " >/dev/null && mkntfs -Q -L Big " + loop.Partition(2) +
                   " >/dev/null 2>&1");
  const auto rows = Enumerate(loop);
  ASSERT_EQ(rows.size(), 3u);
  CheckSystemVolumes(rows);
}

// Small data partitions of a GPT disk (a memory card) are the volumes the
// system shows, and no whole-disk volume is added beside them.
TEST_F(EnumLoop, SmallGptDataPartitionsAreTheVolumes) {
  REQUIRE_TOOL("sgdisk");
  LoopDevice& loop = Attach(64 * kMiB, "sgdisk -n 1:0:+12M -t 1:0700 -n 2:0:+8M -t 2:8300 %s");
  RunCommandOrFail("mkfs.vfat -n CARD " + loop.Partition(1) + " >/dev/null");
  const auto rows = Enumerate(loop);
  ASSERT_EQ(rows.size(), 2u);
  CheckSystemVolumes(rows);
}

TEST(MountTableAsRoot, BlanksAndBackslashesInMountPointsAgreeWithFindmnt) {
  REQUIRE_OR_SKIP(testsupport::IsRoot(), "needs root to mount");
  REQUIRE_TOOL("findmnt");
  testsupport::TempDir dir;
  const fs::path where = dir / "a b\tc\\d";
  fs::create_directories(where);
  ASSERT_EQ(RunCommand("mount -t tmpfs -o size=64k clipmender " + ShellQuote(where.string())).exitCode, 0);
  std::vector<MountEntry> table;
  ASSERT_TRUE(ReadMountInfo("/proc/self/mountinfo", table));
  EXPECT_TRUE(std::any_of(table.begin(), table.end(), [&](const MountEntry& e) { return e.mountPoint == where; }));
  enumtest::ExpectMountInfoAgreesWithFindmnt();
  RunCommand("umount " + ShellQuote(where.string()));
}

}  // namespace
