// The enumerator on this machine, as root, over loop devices attached to
// images made by the partitioning and file-system tools. Expected records
// come from lsblk and blkid on the same devices. The enumeration sees every
// block device of the machine, and other tests attach loop devices of their
// own meanwhile: only the devices of each test are checked.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <string>

#include "engine/device/DeviceTestSupport.h"
#include "engine/enumeration/EnumTestSupport.h"
#include "engine/partition/PartitionToolOutput.h"
#include "enumeration/EnumDeviceEx.h"
#include "enumeration/MountInfo.h"

namespace {

namespace fs = std::filesystem;
using enumtest::DiskInfo;
using enumtest::PartitionInfo;
using enumtest::VolumeInfo;
using testsupport::RunCommand;
using testsupport::RunCommandOrFail;
using testsupport::ShellQuote;

constexpr uint64_t kMiB = 1024 * 1024;

// A loop device attached with partition scanning. A kernel without the
// table's parser makes no partition devices; `announce` then tells it of the
// partitions as udev would (partx -a). Detached, partitions dropped, always.
class PartitionedLoop {
 public:
  PartitionedLoop(const fs::path& image, bool announce, unsigned sectorSize = 0) {
    std::string command = "losetup -fP --show";
    if (sectorSize != 0) command += " --sector-size " + std::to_string(sectorSize);
    const auto r = RunCommand(command + " " + ShellQuote(image.string()));
    path_ = r.output.substr(0, r.output.find('\n'));
    if (r.exitCode != 0 || path_.rfind("/dev/loop", 0) != 0) {
      ADD_FAILURE() << "losetup failed: " << r.output;
      path_.clear();
      return;
    }
    if (announce) Announce();
  }
  ~PartitionedLoop() {
    if (path_.empty()) return;
    RunCommand("partx -d " + ShellQuote(path_) + " >/dev/null 2>&1");
    for (int attempt = 0; attempt < 50; ++attempt) {
      if (RunCommand("losetup -d " + ShellQuote(path_) + " 2>/dev/null").exitCode == 0) return;
      RunCommand("sleep 0.1");
    }
    ADD_FAILURE() << "cannot detach " << path_;
  }
  PartitionedLoop(const PartitionedLoop&) = delete;
  PartitionedLoop& operator=(const PartitionedLoop&) = delete;

  // Makes the kernel show the partitions of the table now on the device.
  void Announce() const {
    RunCommand("partx -d " + ShellQuote(path_) + " >/dev/null 2>&1");
    RunCommandOrFail("partx -a " + ShellQuote(path_) + " 2>&1");
  }
  // partx -d fails while anything holds a partition open, and other tests
  // that enumerate the whole machine open every partition for a moment:
  // retry until the kernel has really dropped them.
  void Forget() const {
    for (int attempt = 0; attempt < 100; ++attempt) {
      RunCommand("partx -d " + ShellQuote(path_) + " >/dev/null 2>&1");
      if (!HasKernelPartitions()) return;
      RunCommand("sleep 0.1");
    }
    ADD_FAILURE() << "the kernel keeps the partitions of " << path_;
  }
  bool HasKernelPartitions() const {
    std::error_code ec;
    for (const auto& entry : fs::directory_iterator("/sys/class/block", ec)) {
      const std::string n = entry.path().filename().string();
      if (n.rfind(name() + "p", 0) == 0) return true;
    }
    return false;
  }
  bool attached() const { return !path_.empty(); }
  const std::string& path() const { return path_; }
  std::string name() const { return fs::path(path_).filename().string(); }
  std::string Partition(int number) const { return path_ + "p" + std::to_string(number); }

 private:
  std::string path_;
};

// A read-only mount for the object's lifetime.
class Mount {
 public:
  Mount(const std::string& device, const fs::path& where) : where_(where) {
    fs::create_directories(where_);
    mounted_ = RunCommand("mount -o ro " + ShellQuote(device) + " " + ShellQuote(where_.string())).exitCode == 0;
    EXPECT_TRUE(mounted_) << "cannot mount " << device;
  }
  ~Mount() {
    if (mounted_) RunCommand("umount " + ShellQuote(where_.string()));
  }
  Mount(const Mount&) = delete;
  Mount& operator=(const Mount&) = delete;

 private:
  fs::path where_;
  bool mounted_ = false;
};

class EnumLoop : public ::testing::Test {
 protected:
  void SetUp() override {
    REQUIRE_OR_SKIP(testsupport::HaveLoopDevices(), "needs root and /dev/loop-control");
    for (const char* tool : {"losetup", "partx", "lsblk", "blkid", "blockdev", "python3"}) REQUIRE_TOOL(tool);
    image_ = dir_ / "disk.img";
  }

  // Enumerates the machine; the test's disk must be among the disks.
  IStorageDevice* Enumerate(const PartitionedLoop& loop) {
    RunCommandOrFail("blockdev --flushbufs " + ShellQuote(loop.path()));
    guard_ = std::make_unique<devicetest::ImageGuard>(image_);
    EXPECT_EQ(e_.Init(), 0u);
    IStorageDevice* disk = enumtest::FindDisk(e_, loop.path());
    EXPECT_NE(disk, nullptr) << loop.path() << " not enumerated";
    return disk;
  }

  void TearDown() override {
    e_.Uninit();
    guard_.reset();
  }

  // Checks the disk record against lsblk and blkid; answers lsblk's rows of
  // the disk's partitions.
  std::vector<enumtest::LsblkRow> CheckDisk(IStorageDevice* disk, const PartitionedLoop& loop) {
    const auto rows = enumtest::Lsblk(loop.path());
    EXPECT_FALSE(rows.empty());
    if (rows.empty() || disk == nullptr) return {};
    const auto* info = DiskInfo(disk);
    EXPECT_EQ(info->state, 0u);
    EXPECT_EQ(info->busType, static_cast<uint32_t>(DiskBusVirtual));
    EXPECT_STREQ(info->registryName, image_.filename().c_str());
    EXPECT_STREQ(info->bsdName, loop.name().c_str());
    EXPECT_EQ(info->sectorSize, rows[0].logSec);
    EXPECT_EQ(info->totalSectors, static_cast<int64_t>(rows[0].size / rows[0].logSec));
    EXPECT_EQ(info->deviceID, static_cast<int32_t>((rows[0].major << 24) | rows[0].minor));
    EXPECT_EQ(info->partitionScheme, parttest::BlkidScheme(loop.path()));
    EXPECT_EQ(info->writable, 1u);
    return std::vector<enumtest::LsblkRow>(rows.begin() + 1, rows.end());
  }

  // Checks each system volume against lsblk's row of the same device and
  // what blkid reads on it.
  void CheckSystemVolumes(IStorageDevice* disk, const std::vector<enumtest::LsblkRow>& rows) {
    const auto volumes = enumtest::Volumes(e_, disk);
    size_t shown = 0;
    for (const auto& row : rows) {
      SCOPED_TRACE(row.name);
      const auto blkid = enumtest::Blkid("/dev/" + row.name);
      if (blkid.count("PART_ENTRY_TYPE") &&
          (blkid.at("PART_ENTRY_TYPE") == "0x5" || blkid.at("PART_ENTRY_TYPE") == "0xf")) {
        // The kernel's extended-partition device is never a volume.
        for (IStorageDevice* v : volumes) {
          EXPECT_STRNE(VolumeInfo(v)->bsdName, row.name.c_str());
        }
        continue;
      }
      ++shown;
      auto it = std::find_if(volumes.begin(), volumes.end(),
                             [&](IStorageDevice* v) { return row.name == VolumeInfo(v)->bsdName; });
      ASSERT_NE(it, volumes.end());
      const auto* v = VolumeInfo(*it);
      EXPECT_EQ(v->state, 0u);
      EXPECT_EQ(v->sectorSize, row.logSec);
      EXPECT_EQ(v->totalSectors, static_cast<int64_t>(row.size / row.logSec));
      EXPECT_EQ(v->deviceID, static_cast<int32_t>((row.major << 24) | row.minor));
      EXPECT_EQ(std::to_string(v->partitionNumber), blkid.at("PART_ENTRY_NUMBER"));
      const std::string label = !row.label.empty() ? row.label : (blkid.count("LABEL") ? blkid.at("LABEL") : "");
      if (!label.empty()) {
        EXPECT_EQ(v->volumeName, label);
      }
      EXPECT_EQ(v->mounted, row.mountpoint.empty() ? 0u : 1u);
      EXPECT_EQ(v->startSector, 0);
      EXPECT_EQ(v->fileSystemType, enumtest::ExpectedFileSystemType(*it, blkid.count("TYPE") ? blkid.at("TYPE") : "",
                                                                    blkid.count("VERSION") ? blkid.at("VERSION") : ""));
      if (blkid.at("PART_ENTRY_SCHEME") == "gpt") {
        const auto type = parttest::GuidBytes(!row.partType.empty() ? row.partType : blkid.at("PART_ENTRY_TYPE"));
        const auto unique = parttest::GuidBytes(!row.partUUID.empty() ? row.partUUID : blkid.at("PART_ENTRY_UUID"));
        EXPECT_TRUE(std::equal(type.begin(), type.end(), v->gptTypeGUID));
        EXPECT_TRUE(std::equal(unique.begin(), unique.end(), v->gptPartitionGUID));
      }
    }
    // Every table partition matched a system volume: nothing was added.
    EXPECT_EQ(volumes.size(), shown);
  }

  testsupport::TempDir dir_;
  fs::path image_;
  CEnumDeviceEx e_;
  std::unique_ptr<devicetest::ImageGuard> guard_;
};

TEST_F(EnumLoop, MbrPartitionsAreListedAsLsblkAndBlkidReport) {
  REQUIRE_TOOL("sfdisk");
  devicetest::MakeSparseImage(image_, 96 * kMiB);
  enumtest::MakeMbr(image_, {"1 : size=16M, type=c", "2 : type=5", "5 : size=24M, type=7", "6 : type=7"});
  PartitionedLoop loop(image_, true);
  ASSERT_TRUE(loop.attached());
  RunCommandOrFail("mkfs.vfat -n PHOTOS " + loop.Partition(1) + " >/dev/null");
  RunCommandOrFail("mkfs.exfat -L Travel " + loop.Partition(5) + " >/dev/null");
  RunCommandOrFail("mkntfs -Q -L Archive " + loop.Partition(6) + " >/dev/null 2>&1");
  IStorageDevice* disk = Enumerate(loop);
  ASSERT_NE(disk, nullptr);
  const auto rows = CheckDisk(disk, loop);
  ASSERT_EQ(rows.size(), 4u);  // p1, p2 (extended), p5, p6
  CheckSystemVolumes(disk, rows);

  const auto want = parttest::WithoutExtendedContainers(parttest::Sfdisk(loop.path()));
  const auto partitions = enumtest::Partitions(e_, disk);
  ASSERT_EQ(partitions.size(), want.size());
  for (size_t i = 0; i < want.size(); ++i) {
    EXPECT_EQ(static_cast<uint32_t>(PartitionInfo(partitions[i])->partitionNumber), want[i].number);
    EXPECT_EQ(PartitionInfo(partitions[i])->startSector, want[i].start);
    EXPECT_EQ(PartitionInfo(partitions[i])->sectorCount, want[i].size);
  }
  const auto volumes = enumtest::Volumes(e_, disk);
  ASSERT_EQ(volumes.size(), 3u);
  EXPECT_STREQ(VolumeInfo(volumes[0])->volumeName, "PHOTOS");
  EXPECT_STREQ(VolumeInfo(volumes[1])->volumeName, "Travel");
  EXPECT_STREQ(VolumeInfo(volumes[2])->volumeName, "Archive");
}

TEST_F(EnumLoop, UnshownMbrPartitionsComeBackAsVirtualVolumesThatReadTheSameBytes) {
  REQUIRE_TOOL("sfdisk");
  devicetest::MakeSparseImage(image_, 32 * kMiB);
  RunCommandOrFail("printf 'label: dos\\n,8M,c\\n,,7\\n' | sfdisk -q " + ShellQuote(image_.string()));
  PartitionedLoop loop(image_, true);
  ASSERT_TRUE(loop.attached());
  RunCommandOrFail("mkfs.vfat -n FIRST " + loop.Partition(1) + " >/dev/null");
  RunCommandOrFail("mkfs.exfat -L Second " + loop.Partition(2) + " >/dev/null");
  loop.Forget();  // the system no longer shows them
  IStorageDevice* disk = Enumerate(loop);
  ASSERT_NE(disk, nullptr);
  EXPECT_TRUE(CheckDisk(disk, loop).empty());
  const auto want = parttest::Sfdisk(loop.path());
  const auto volumes = enumtest::Volumes(e_, disk);
  ASSERT_EQ(volumes.size(), want.size());
  for (size_t i = 0; i < want.size(); ++i) {
    const auto* v = VolumeInfo(volumes[i]);
    EXPECT_EQ(static_cast<uint32_t>(v->partitionNumber), want[i].number);
    EXPECT_EQ(v->startSector, want[i].start);
    EXPECT_EQ(v->totalSectors, want[i].size);
    EXPECT_STREQ(v->bsdName, "");
    std::vector<uint8_t> got(512 * 4);
    ASSERT_NE(volumes[i]->ReadSector(got.data(), 0, 4), 0);
    EXPECT_EQ(got, devicetest::DdRead(loop.path(), 512, static_cast<uint64_t>(want[i].start), 4));
  }
}

TEST_F(EnumLoop, ApmPartitionsComeBackAsMergedVirtualVolumes) {
  REQUIRE_TOOL("parted");
  devicetest::MakeSparseImage(image_, 64 * kMiB);
  RunCommandOrFail("parted -s " + ShellQuote(image_.string()) +
                   " mklabel mac mkpart one hfs+ 1MiB 20MiB mkpart two fat32 20MiB 60MiB 2>/dev/null");
  PartitionedLoop loop(image_, false);
  ASSERT_TRUE(loop.attached());
  loop.Forget();  // a kernel with the APM parser would show them: this case is the one without
  IStorageDevice* disk = Enumerate(loop);
  ASSERT_NE(disk, nullptr);
  EXPECT_TRUE(CheckDisk(disk, loop).empty());
  EXPECT_EQ(DiskInfo(disk)->partitionScheme, 3u);
  const auto want = enumtest::SortedByNumber(parttest::Partx(loop.path()));
  ASSERT_GE(want.size(), 3u);
  const auto volumes = enumtest::Volumes(e_, disk);
  ASSERT_EQ(volumes.size(), want.size());
  for (size_t i = 0; i < want.size(); ++i) {
    SCOPED_TRACE(want[i].type);
    const auto* v = VolumeInfo(volumes[i]);
    EXPECT_EQ(volumes[i]->GetType(), STORAGE_DEVICE_VOLUME);
    EXPECT_EQ(static_cast<uint32_t>(v->partitionNumber), want[i].number);
    EXPECT_EQ(v->startSector, want[i].start);
    EXPECT_EQ(v->totalSectors, want[i].size);
    EXPECT_EQ(v->apmType, want[i].type);
    EXPECT_EQ(v->mounted, 0u);
  }
}

TEST_F(EnumLoop, ASuperfloppyIsItsOwnOnlyVolume) {
  REQUIRE_TOOL("mkfs.vfat");
  devicetest::MakeSparseImage(image_, 32 * kMiB);
  PartitionedLoop loop(image_, false);
  ASSERT_TRUE(loop.attached());
  RunCommandOrFail("mkfs.vfat -n STICK " + loop.path() + " >/dev/null");
  IStorageDevice* disk = Enumerate(loop);
  ASSERT_NE(disk, nullptr);
  EXPECT_TRUE(CheckDisk(disk, loop).empty());
  EXPECT_EQ(DiskInfo(disk)->partitionScheme, 0u);
  const auto volumes = enumtest::Volumes(e_, disk);
  ASSERT_EQ(volumes.size(), 1u);
  const auto* v = VolumeInfo(volumes[0]);
  EXPECT_EQ(v->partitionNumber, -1);
  EXPECT_STREQ(v->bsdName, loop.name().c_str());
  EXPECT_EQ(v->volumeName, enumtest::Blkid(loop.path()).at("LABEL"));
  EXPECT_EQ(v->totalSectors, static_cast<int64_t>(32 * kMiB / 512));
  const auto partitions = enumtest::Partitions(e_, disk);
  ASSERT_EQ(partitions.size(), 1u);
  EXPECT_EQ(PartitionInfo(partitions[0])->partitionNumber, -1);
  EXPECT_EQ(PartitionInfo(partitions[0])->sectorCount, v->totalSectors);
}

TEST_F(EnumLoop, GptVolumesCarryTheGuidsThatBlkidReads) {
  REQUIRE_TOOL("sgdisk");
  devicetest::MakeSparseImage(image_, 6ull * 1024 * kMiB);
  RunCommandOrFail("sgdisk -n 1:0:+200M -t 1:0700 -n 2:0:+4200M -t 2:0700 -n 3:0:0 -t 3:8300 " +
                   ShellQuote(image_.string()) + " >/dev/null");
  PartitionedLoop loop(image_, true);
  ASSERT_TRUE(loop.attached());
  RunCommandOrFail("mkfs.vfat -n SMALL " + loop.Partition(1) + " >/dev/null");
  RunCommandOrFail("mkntfs -Q -L Big " + loop.Partition(2) + " >/dev/null 2>&1");
  IStorageDevice* disk = Enumerate(loop);
  ASSERT_NE(disk, nullptr);
  const auto rows = CheckDisk(disk, loop);
  ASSERT_EQ(rows.size(), 3u);
  CheckSystemVolumes(disk, rows);
  // Only the partition of at least 0x800001 sectors is read from the table.
  const auto partitions = enumtest::Partitions(e_, disk);
  ASSERT_EQ(partitions.size(), 1u);
  EXPECT_EQ(PartitionInfo(partitions[0])->partitionNumber, 2);
}

TEST_F(EnumLoop, MountedVolumesAreFlaggedAndNamed) {
  REQUIRE_TOOL("sfdisk");
  REQUIRE_TOOL("mkfs.ext4");
  devicetest::MakeSparseImage(image_, 32 * kMiB);
  RunCommandOrFail("printf 'label: dos\\n,12M,83\\n,,83\\n' | sfdisk -q " + ShellQuote(image_.string()));
  PartitionedLoop loop(image_, true);
  ASSERT_TRUE(loop.attached());
  RunCommandOrFail("mkfs.ext4 -q -L labelled " + loop.Partition(1));
  RunCommandOrFail("mkfs.ext4 -q " + loop.Partition(2));
  {
    Mount one(loop.Partition(1), dir_ / "one");
    Mount two(loop.Partition(2), dir_ / "media" / "Backup Disk");
    IStorageDevice* disk = Enumerate(loop);
    ASSERT_NE(disk, nullptr);
    const auto rows = CheckDisk(disk, loop);
    ASSERT_EQ(rows.size(), 2u);
    EXPECT_FALSE(rows[0].mountpoint.empty());
    CheckSystemVolumes(disk, rows);
    const auto volumes = enumtest::Volumes(e_, disk);
    ASSERT_EQ(volumes.size(), 2u);
    EXPECT_STREQ(VolumeInfo(volumes[0])->volumeName, "labelled");
    EXPECT_STREQ(VolumeInfo(volumes[1])->volumeName, "Backup Disk");
    EXPECT_EQ(VolumeInfo(volumes[1])->mounted, 1u);
    e_.Uninit();  // before the mounts go
  }
}

TEST_F(EnumLoop, FourKiBSectorDevicesCountInTheirOwnSectors) {
  REQUIRE_TOOL("sfdisk");
  devicetest::MakeSparseImage(image_, 64 * kMiB);
  PartitionedLoop loop(image_, false, 4096);
  ASSERT_TRUE(loop.attached());
  RunCommandOrFail("printf 'label: dos\\n,16M,c\\n,,7\\n' | sfdisk -q --no-reread --no-tell-kernel " +
                   ShellQuote(loop.path()) + " 2>/dev/null");
  loop.Announce();
  IStorageDevice* disk = Enumerate(loop);
  ASSERT_NE(disk, nullptr);
  EXPECT_EQ(DiskInfo(disk)->sectorSize, 4096);
  const auto rows = CheckDisk(disk, loop);
  ASSERT_EQ(rows.size(), 2u);
  CheckSystemVolumes(disk, rows);
  for (IStorageDevice* v : enumtest::Volumes(e_, disk)) {
    EXPECT_EQ(v->GetSectorSize(), 4096u);
  }
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
