// The enumerator over a stand-in machine: a sysfs tree whose device nodes are
// image files made by the partitioning and file-system tools. Records, lists,
// the merged volume list, the array rules and error codes, and failures that
// must not hide the other disks.
#include "enumeration/EnumDeviceEx.h"

#include <grp.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>

#include "engine/device/DeviceTestSupport.h"
#include "engine/enumeration/EnumTestSupport.h"
#include "engine/partition/PartitionToolOutput.h"

namespace {

namespace fs = std::filesystem;
using enumtest::DiskInfo;
using enumtest::DiskSpec;
using enumtest::FakeMachine;
using enumtest::PartitionInfo;
using enumtest::VolumeInfo;
using testsupport::RunCommandOrFail;
using testsupport::ShellQuote;

constexpr uint64_t kMiB = 1024 * 1024;

std::unique_ptr<CEnumDeviceEx> Enumerator(const FakeMachine& m) { return std::make_unique<CEnumDeviceEx>(m.Source()); }

TEST(EnumDeviceEx, AnswersNotInitialisedBeforeInit) {
  FakeMachine m;
  auto e = Enumerator(m);
  int count = 0;
  IStorageDevice* array[1] = {};
  EXPECT_EQ(e->EnumDiskDevice(nullptr, count), enumcode::kDiskNotInitialized);
  EXPECT_EQ(e->EnumPartitionDevice(nullptr, array, count), enumcode::kPartNotInitialized);
  EXPECT_EQ(e->EnumVolumeDevice(nullptr, array, count), enumcode::kVolNotInitialized);
  EXPECT_EQ(e->Uninit(), enumcode::kUninitNotInitialized);
  EXPECT_EQ(result::Error(enumcode::kUninitNotInitialized), 2u);
  EXPECT_EQ(result::Module(enumcode::kUninitNotInitialized), 0x03);
}

TEST(EnumDeviceEx, InitFailsWithErrorOneWithoutDisks) {
  FakeMachine m;
  auto e = Enumerator(m);
  EXPECT_EQ(e->Init(), enumcode::kNoDisk);
  EXPECT_EQ(result::Error(enumcode::kNoDisk), 1u);
  int count = 0;
  EXPECT_EQ(e->EnumDiskDevice(nullptr, count), enumcode::kDiskNotInitialized);

  // A disk whose node is gone (detached between listing and opening) is no disk.
  m.AddDisk({.name = "sdx", .size512 = 2048});
  EXPECT_EQ(e->Init(), enumcode::kNoDisk);

  CEnumDeviceEx blind(std::make_unique<CLinuxMediaSource>((m / "nothing").string(), m.dev().string()));
  EXPECT_EQ(blind.Init(), enumcode::kNoMediaList);
}

// An MBR disk with a FAT primary partition, an extended partition holding an
// exFAT and an NTFS logical partition; the system shows the first two only.
class MbrMachine : public ::testing::Test {
 protected:
  void SetUp() override {
    REQUIRE_TOOL("sfdisk");
    REQUIRE_TOOL("mkfs.vfat");
    REQUIRE_TOOL("mkfs.exfat");
    REQUIRE_TOOL("mkntfs");
    image_ = m_ / "mbr.img";
    devicetest::MakeSparseImage(image_, 64 * kMiB);
    enumtest::MakeMbr(image_, {"1 : size=16M, type=c", "2 : size=40M, type=5", "5 : size=12M, type=7", "6 : type=7"});
    parts_ = parttest::Sfdisk(image_.string());
    ASSERT_EQ(parts_.size(), 4u);
    files_[1] =
        enumtest::FormatInto(image_, parts_[0].start * 512, parts_[0].size * 512, "mkfs.vfat -n PHOTOS", m_ / "p1.img");
    files_[5] = enumtest::FormatInto(image_, parts_[2].start * 512, parts_[2].size * 512, "mkfs.exfat", m_ / "p5.img");
    files_[6] = enumtest::FormatInto(image_, parts_[3].start * 512, parts_[3].size * 512, "mkntfs -Q -F -L Archive",
                                     m_ / "p6.img");
    m_.AddDisk({.name = "sdz", .major = 8, .minor = 240, .size512 = 64 * kMiB / 512});
    m_.SetNode("sdz", image_);
    m_.AddPartition("sdz", "sdz1", 1, 8, 241, parts_[0].start, parts_[0].size);
    m_.AddPartition("sdz", "sdz2", 2, 8, 242, parts_[1].start, 2);
    m_.AddPartition("sdz", "sdz5", 5, 8, 245, parts_[2].start, parts_[2].size);
    m_.SetNode("sdz1", files_[1]);
    m_.SetNode("sdz2", image_);
    m_.SetNode("sdz5", files_[5]);
    m_.SetMountInfo("27 1 254:0 / / rw - ext4 /dev/vda rw\n71 27 8:245 / /media/user/Backup rw - exfat /dev/sdz5 rw\n");
    guard_ = std::make_unique<devicetest::ImageGuard>(image_);
    e_ = Enumerator(m_);
    ASSERT_EQ(e_->Init(), 0u);
    const auto disks = enumtest::Disks(*e_);
    ASSERT_EQ(disks.size(), 1u);
    disk_ = disks[0];
  }
  void TearDown() override {
    if (e_ != nullptr) {
      EXPECT_EQ(e_->Uninit(), 0u);
    }
    guard_.reset();
  }

  FakeMachine m_;
  fs::path image_;
  std::vector<parttest::ToolPartition> parts_;
  std::map<int, fs::path> files_;
  std::unique_ptr<devicetest::ImageGuard> guard_;
  std::unique_ptr<CEnumDeviceEx> e_;
  IStorageDevice* disk_ = nullptr;
};

TEST_F(MbrMachine, DiskRecordDescribesTheDisk) {
  const auto* info = DiskInfo(disk_);
  ASSERT_NE(info, nullptr);
  EXPECT_EQ(disk_->GetType(), STORAGE_DEVICE_DISK);
  EXPECT_EQ(info->state, 0u);
  EXPECT_EQ(info->busType, static_cast<uint32_t>(DiskBusOther));
  EXPECT_EQ(info->partitionScheme, parttest::BlkidScheme(image_.string()));
  EXPECT_EQ(info->partitionScheme, 1u);
  EXPECT_EQ(info->writable, 1u);
  EXPECT_STREQ(info->bsdName, "sdz");
  EXPECT_EQ(std::string(info->devicePath), (m_.dev() / "sdz").string());
  EXPECT_EQ(info->sectorSize, 512);
  EXPECT_EQ(info->totalSectors, static_cast<int64_t>(64 * kMiB / 512));
  EXPECT_EQ(info->cylinders, info->totalSectors / 16065);
  EXPECT_EQ(info->heads, 255);
  EXPECT_EQ(info->sectorsPerTrack, 63);
  EXPECT_EQ(info->deviceID, (8 << 24) | 240);
  EXPECT_EQ(disk_->GetTotalSectors(), info->totalSectors);
}

TEST_F(MbrMachine, PartitionsAreWhatTheTableLists) {
  const auto partitions = enumtest::Partitions(*e_, disk_);
  const auto want = parttest::WithoutExtendedContainers(parts_);
  ASSERT_EQ(partitions.size(), want.size());
  for (size_t i = 0; i < want.size(); ++i) {
    SCOPED_TRACE(want[i].number);
    const auto* info = PartitionInfo(partitions[i]);
    ASSERT_NE(info, nullptr);
    EXPECT_EQ(static_cast<uint32_t>(info->partitionNumber), want[i].number);
    EXPECT_EQ(info->startSector, want[i].start);
    EXPECT_EQ(info->sectorCount, want[i].size);
    EXPECT_EQ(info->sectorSize, 512);
    EXPECT_EQ(info->deviceID, (8 << 24) | 240);
    EXPECT_EQ(info->parentDisk, disk_);
    EXPECT_EQ(partitions[i]->GetType(), STORAGE_DEVICE_PARTITION);
    const auto blkid = enumtest::Blkid(files_[static_cast<int>(want[i].number)].string());
    EXPECT_EQ(info->fileSystemType,
              enumtest::ExpectedFileSystemType(partitions[i], blkid.at("TYPE"),
                                               blkid.count("VERSION") ? blkid.at("VERSION") : ""));
  }
}

TEST_F(MbrMachine, VolumesAreTheSystemsThenTheUnshownPartitions) {
  const auto volumes = enumtest::Volumes(*e_, disk_);
  ASSERT_EQ(volumes.size(), 3u);  // sdz1, sdz5, then partition 6; never the extended container
  const auto* v1 = VolumeInfo(volumes[0]);
  const auto* v5 = VolumeInfo(volumes[1]);
  const auto* v6 = VolumeInfo(volumes[2]);
  ASSERT_TRUE(v1 && v5 && v6);

  EXPECT_STREQ(v1->bsdName, "sdz1");
  EXPECT_STREQ(v1->volumeName, enumtest::Blkid(files_[1].string()).at("LABEL").c_str());
  EXPECT_EQ(v1->partitionNumber, 1);
  EXPECT_EQ(v1->totalSectors, parts_[0].size);
  EXPECT_EQ(v1->deviceID, (8 << 24) | 241);
  EXPECT_EQ(v1->mounted, 0u);
  EXPECT_EQ(v1->startSector, 0);
  EXPECT_EQ(v1->parentDisk, disk_);

  // No label: the mount point's last folder names it.
  EXPECT_STREQ(v5->volumeName, "Backup");
  EXPECT_EQ(v5->mounted, 1u);
  EXPECT_EQ(v5->partitionNumber, 5);

  EXPECT_STREQ(v6->bsdName, "");
  EXPECT_STREQ(v6->volumeName, "");
  EXPECT_EQ(v6->partitionNumber, 6);
  EXPECT_EQ(v6->startSector, parts_[3].start);
  EXPECT_EQ(v6->totalSectors, parts_[3].size);
  EXPECT_EQ(v6->mounted, 0u);
  EXPECT_EQ(v6->deviceID, (8 << 24) | 240);
  EXPECT_EQ(v6->parentDisk, disk_);
  const auto blkid = enumtest::Blkid(files_[6].string());
  EXPECT_EQ(v6->fileSystemType, enumtest::ExpectedFileSystemType(volumes[2], blkid.at("TYPE"), ""));

  // The virtual volume reads the partition's sectors of the disk.
  std::vector<uint8_t> got(512 * 8);
  ASSERT_NE(volumes[2]->ReadSector(got.data(), 0, 8), 0);
  EXPECT_EQ(got, devicetest::DdRead(image_.string(), 512, static_cast<uint64_t>(parts_[3].start), 8));
}

TEST_F(MbrMachine, EveryCallHandsOutTheSameDevicesOwnedByTheEnumerator) {
  const auto first = enumtest::Volumes(*e_, disk_);
  const auto second = enumtest::Volumes(*e_, disk_);
  EXPECT_EQ(first, second);
  EXPECT_EQ(enumtest::Partitions(*e_, disk_), enumtest::Partitions(*e_, disk_));
}

TEST_F(MbrMachine, ArrayRules) {
  std::vector<IStorageDevice*> array(8, nullptr);
  int count = 2;
  EXPECT_EQ(e_->EnumVolumeDevice(disk_, array.data(), count), enumcode::kVolArrayTooSmall);
  EXPECT_EQ(result::Error(enumcode::kVolArrayTooSmall), 9u);
  count = 0;
  EXPECT_EQ(e_->EnumVolumeDevice(disk_, array.data(), count), enumcode::kVolArrayTooSmall);
  count = 8;
  EXPECT_EQ(e_->EnumVolumeDevice(disk_, array.data(), count), 0u);
  EXPECT_EQ(count, 3);

  std::fill(array.begin(), array.end(), nullptr);
  count = 0;
  EXPECT_EQ(e_->EnumPartitionDevice(disk_, array.data(), count), 0u);
  EXPECT_EQ(array[0], nullptr);  // count 0 fills nothing
  count = 2;
  EXPECT_EQ(e_->EnumPartitionDevice(disk_, array.data(), count), enumcode::kPartArrayTooSmall);
  count = 0;
  EXPECT_EQ(e_->EnumDiskDevice(array.data(), count), 0u);
  EXPECT_EQ(array[0], nullptr);
  count = 1;
  EXPECT_EQ(e_->EnumDiskDevice(array.data(), count), 0u);
  EXPECT_EQ(array[0], disk_);
}

TEST_F(MbrMachine, NullAndUnknownDisks) {
  int count = 0;
  EXPECT_EQ(e_->EnumVolumeDevice(nullptr, nullptr, count), enumcode::kVolNullDisk);
  EXPECT_EQ(e_->EnumPartitionDevice(nullptr, nullptr, count), enumcode::kPartNullDisk);
  EXPECT_EQ(result::Error(enumcode::kVolNullDisk), 7u);
  const auto volumes = enumtest::Volumes(*e_, disk_);
  EXPECT_EQ(e_->EnumVolumeDevice(volumes[0], nullptr, count), enumcode::kVolUnknownDisk);
  EXPECT_EQ(e_->EnumPartitionDevice(volumes[0], nullptr, count), enumcode::kPartUnknownDisk);
  EXPECT_EQ(result::Error(enumcode::kVolUnknownDisk), 5u);
}

TEST_F(MbrMachine, InitAgainRebuildsTheLists) {
  m_.AddPartition("sdz", "sdz6", 6, 8, 246, parts_[3].start, parts_[3].size);
  m_.SetNode("sdz6", files_[6]);
  ASSERT_EQ(e_->Init(), 0u);
  disk_ = enumtest::Disks(*e_).at(0);
  const auto volumes = enumtest::Volumes(*e_, disk_);
  ASSERT_EQ(volumes.size(), 3u);
  EXPECT_STREQ(VolumeInfo(volumes[2])->bsdName, "sdz6");  // now a system volume
  EXPECT_STREQ(VolumeInfo(volumes[2])->volumeName, "Archive");
}

TEST(EnumDeviceEx, ListsDisksByNameBytes) {
  FakeMachine m;
  for (const char* name : {"disk2", "disk10", "disk1"}) {
    const auto image = m / (std::string(name) + ".img");
    devicetest::MakeSparseImage(image, kMiB);
    m.AddDisk({.name = name, .size512 = kMiB / 512});
    m.SetNode(name, image);
  }
  auto e = Enumerator(m);
  ASSERT_EQ(e->Init(), 0u);
  std::vector<std::string> names;
  for (IStorageDevice* disk : enumtest::Disks(*e)) names.push_back(DiskInfo(disk)->bsdName);
  EXPECT_EQ(names, (std::vector<std::string>{"disk1", "disk10", "disk2"}));
}

TEST(EnumDeviceEx, ASuperfloppyIsItsOwnOnlyVolume) {
  REQUIRE_TOOL("mkfs.vfat");
  for (const char* mkfs : {"mkfs.vfat -n STICK", "mkfs.exfat -L STICK"}) {
    SCOPED_TRACE(mkfs);
    FakeMachine m;
    const auto image = m / "stick.img";
    devicetest::MakeSparseImage(image, 16 * kMiB);
    RunCommandOrFail(std::string(mkfs) + " " + ShellQuote(image.string()) + " >/dev/null");
    m.AddDisk({.name = "sdf", .major = 8, .minor = 80, .size512 = 16 * kMiB / 512});
    m.SetNode("sdf", image);
    devicetest::ImageGuard guard(image);
    auto e = Enumerator(m);
    ASSERT_EQ(e->Init(), 0u);
    IStorageDevice* disk = enumtest::Disks(*e).at(0);
    EXPECT_EQ(DiskInfo(disk)->partitionScheme, 0u);
    const auto partitions = enumtest::Partitions(*e, disk);
    ASSERT_EQ(partitions.size(), 1u);
    EXPECT_EQ(PartitionInfo(partitions[0])->partitionNumber, -1);
    EXPECT_EQ(PartitionInfo(partitions[0])->startSector, 0);
    EXPECT_EQ(PartitionInfo(partitions[0])->sectorCount, static_cast<int64_t>(16 * kMiB / 512));
    const auto volumes = enumtest::Volumes(*e, disk);
    ASSERT_EQ(volumes.size(), 1u);
    const auto* v = VolumeInfo(volumes[0]);
    EXPECT_EQ(v->partitionNumber, -1);
    EXPECT_STREQ(v->bsdName, "sdf");
    EXPECT_STREQ(v->volumeName, enumtest::Blkid(image.string()).at("LABEL").c_str());
    EXPECT_EQ(v->totalSectors, static_cast<int64_t>(16 * kMiB / 512));
    EXPECT_EQ(v->deviceID, (8 << 24) | 80);
    EXPECT_EQ(e->Uninit(), 0u);
  }
}

TEST(EnumDeviceEx, ApmPartitionsTheSystemDoesNotShowBecomeVirtualVolumes) {
  REQUIRE_TOOL("parted");
  REQUIRE_TOOL("partx");
  FakeMachine m;
  const auto image = m / "apm.img";
  devicetest::MakeSparseImage(image, 64 * kMiB);
  RunCommandOrFail("parted -s " + ShellQuote(image.string()) +
                   " mklabel mac mkpart one hfs+ 1MiB 20MiB mkpart two fat32 20MiB 60MiB 2>/dev/null");
  const auto want = enumtest::SortedByNumber(parttest::Partx(image.string()));
  ASSERT_GE(want.size(), 3u);  // the map itself, the two partitions, free space
  m.AddDisk({.name = "sdm", .major = 8, .minor = 96, .size512 = 64 * kMiB / 512});
  m.SetNode("sdm", image);
  devicetest::ImageGuard guard(image);
  auto e = Enumerator(m);
  ASSERT_EQ(e->Init(), 0u);
  IStorageDevice* disk = enumtest::Disks(*e).at(0);
  EXPECT_EQ(DiskInfo(disk)->partitionScheme, 3u);
  const auto volumes = enumtest::Volumes(*e, disk);
  ASSERT_EQ(volumes.size(), want.size());
  bool sawMap = false;
  for (size_t i = 0; i < want.size(); ++i) {
    SCOPED_TRACE(want[i].number);
    const auto* v = VolumeInfo(volumes[i]);
    ASSERT_NE(v, nullptr);
    EXPECT_EQ(static_cast<uint32_t>(v->partitionNumber), want[i].number);
    EXPECT_EQ(v->startSector, want[i].start);
    EXPECT_EQ(v->totalSectors, want[i].size);
    EXPECT_EQ(v->apmType, want[i].type);
    EXPECT_EQ(v->mounted, 0u);
    EXPECT_STREQ(v->bsdName, "");
    sawMap = sawMap || want[i].type == "Apple_partition_map";
  }
  // The map and free-space entries stay in the list; the application decides
  // which volumes may be scanned.
  EXPECT_TRUE(sawMap);
}

TEST(EnumDeviceEx, GptVolumesCarryBothGuidsAsTheTableStoresThem) {
  REQUIRE_TOOL("sgdisk");
  FakeMachine m;
  const auto image = m / "gpt.img";
  devicetest::MakeSparseImage(image, 6ull * 1024 * kMiB);
  // The table reader lists only partitions of at least 0x800001 sectors: of
  // these, the second. The system shows the first only.
  RunCommandOrFail("sgdisk -n 1:0:+100M -t 1:ef00 -n 2:0:+4200M -t 2:0700 " + ShellQuote(image.string()) +
                   " >/dev/null");
  const auto parts = parttest::Sgdisk(image.string());
  ASSERT_EQ(parts.size(), 2u);
  m.AddDisk({.name = "vdb", .major = 254, .minor = 16, .size512 = 6ull * 1024 * kMiB / 512});
  m.SetNode("vdb", image);
  m.AddPartition("vdb", "vdb1", 1, 254, 17, parts[0].start, parts[0].size);
  m.SetNode("vdb1", enumtest::FormatInto(image, static_cast<uint64_t>(parts[0].start) * 512,
                                         static_cast<uint64_t>(parts[0].size) * 512, "mkfs.vfat -n ESP", m / "p1.img"));
  devicetest::ImageGuard guard(image);
  auto e = Enumerator(m);
  ASSERT_EQ(e->Init(), 0u);
  IStorageDevice* disk = enumtest::Disks(*e).at(0);
  EXPECT_EQ(DiskInfo(disk)->partitionScheme, 2u);
  const auto volumes = enumtest::Volumes(*e, disk);
  ASSERT_EQ(volumes.size(), 2u);
  for (size_t i = 0; i < 2; ++i) {
    SCOPED_TRACE(i);
    const auto* v = VolumeInfo(volumes[i]);
    EXPECT_EQ(static_cast<uint32_t>(v->partitionNumber), parts[i].number);
    const auto type = parttest::GuidBytes(parts[i].type);
    const auto unique = parttest::GuidBytes(parts[i].uuid);
    EXPECT_TRUE(std::equal(type.begin(), type.end(), v->gptTypeGUID));
    EXPECT_TRUE(std::equal(unique.begin(), unique.end(), v->gptPartitionGUID));
  }
  EXPECT_STREQ(VolumeInfo(volumes[0])->bsdName, "vdb1");
  EXPECT_EQ(VolumeInfo(volumes[1])->startSector, parts[1].start);
}

TEST(EnumDeviceEx, FourKiBSectorDisksCountInTheirOwnSectors) {
  REQUIRE_TOOL("sfdisk");
  FakeMachine m;
  const auto image = m / "4k.img";
  devicetest::MakeSparseImage(image, 64 * kMiB);
  REQUIRE_TOOL("fdisk");
  // fdisk lays the table out in 4096-byte sectors when told the disk has them.
  RunCommandOrFail("printf 'o\\nn\\np\\n1\\n\\n+16M\\nt\\nc\\nn\\np\\n2\\n\\n\\nt\\n2\\n7\\nw\\n' | fdisk -b 4096 " +
                   ShellQuote(image.string()) + " >/dev/null 2>&1");
  const auto parts = parttest::Fdisk(image.string(), 4096);
  ASSERT_EQ(parts.size(), 2u);
  m.AddDisk({.name = "sdk", .major = 8, .minor = 160, .size512 = 64 * kMiB / 512, .logical = 4096});
  m.SetNode("sdk", image);
  // sysfs gives starts and sizes in 512-byte units.
  for (const auto& p : parts) {
    const std::string name = "sdk" + std::to_string(p.number);
    m.AddPartition("sdk", name, static_cast<int>(p.number), 8, 160 + p.number, p.start * 8,
                   static_cast<uint64_t>(p.size) * 8);
    m.SetNode(name, enumtest::FormatInto(image, static_cast<uint64_t>(p.start) * 4096,
                                         static_cast<uint64_t>(p.size) * 4096, "true", m / (name + ".img")));
  }
  devicetest::ImageGuard guard(image);
  auto e = Enumerator(m);
  ASSERT_EQ(e->Init(), 0u);
  IStorageDevice* disk = enumtest::Disks(*e).at(0);
  EXPECT_EQ(DiskInfo(disk)->sectorSize, 4096);
  EXPECT_EQ(DiskInfo(disk)->totalSectors, static_cast<int64_t>(64 * kMiB / 4096));
  const auto volumes = enumtest::Volumes(*e, disk);
  ASSERT_EQ(volumes.size(), 2u);  // both matched by their table partitions: no virtual volume
  for (size_t i = 0; i < 2; ++i) {
    const auto* v = VolumeInfo(volumes[i]);
    EXPECT_STREQ(v->bsdName, ("sdk" + std::to_string(parts[i].number)).c_str());
    EXPECT_EQ(v->sectorSize, 4096);
    EXPECT_EQ(v->totalSectors, parts[i].size);
    EXPECT_EQ(volumes[i]->GetSectorSize(), 4096u);
  }
}

TEST(EnumDeviceEx, OneBadDiskHidesNoOther) {
  REQUIRE_TOOL("sfdisk");
  FakeMachine m;
  // sda: a table the reader refuses (a dynamic-disk entry); sdb: no node.
  const auto bad = m / "dynamic.img";
  devicetest::MakeSparseImage(bad, 8 * kMiB);
  RunCommandOrFail("printf 'label: dos\\n,4M,42\\n' | sfdisk -q " + ShellQuote(bad.string()));
  m.AddDisk({.name = "sda", .major = 8, .minor = 0, .size512 = 8 * kMiB / 512});
  m.SetNode("sda", bad);
  m.AddPartition("sda", "sda1", 1, 8, 1, 2048, 8192);
  m.SetNode("sda1", bad);
  m.AddDisk({.name = "sdb", .major = 8, .minor = 16, .size512 = 8 * kMiB / 512});
  auto e = Enumerator(m);
  ASSERT_EQ(e->Init(), 0u);
  const auto disks = enumtest::Disks(*e);
  ASSERT_EQ(disks.size(), 1u);
  EXPECT_STREQ(DiskInfo(disks[0])->bsdName, "sda");
  EXPECT_TRUE(enumtest::Partitions(*e, disks[0]).empty());
  const auto volumes = enumtest::Volumes(*e, disks[0]);
  ASSERT_EQ(volumes.size(), 1u);
  EXPECT_STREQ(VolumeInfo(volumes[0])->bsdName, "sda1");
}

// Runs Init over `m` in a child process that may not read the images, and
// answers its result code and what it printed.
std::pair<ResultCode, std::string> InitWithoutPermission(const FakeMachine& m) {
  int out[2];
  int code[2];
  EXPECT_EQ(pipe(out), 0);
  EXPECT_EQ(pipe(code), 0);
  const pid_t pid = fork();
  if (pid == 0) {
    dup2(out[1], STDOUT_FILENO);
    close(out[0]);
    close(code[0]);
    if (geteuid() == 0 &&
        (setgroups(0, nullptr) != 0 || setresgid(65534, 65534, 65534) != 0 || setresuid(65534, 65534, 65534) != 0)) {
      _exit(3);
    }
    CEnumDeviceEx e(m.Source());
    const ResultCode rc = e.Init();
    if (write(code[1], &rc, sizeof rc) != sizeof rc) _exit(4);
    std::fflush(stdout);
    _exit(0);
  }
  close(out[1]);
  close(code[1]);
  ResultCode rc = 0;
  EXPECT_EQ(read(code[0], &rc, sizeof rc), static_cast<ssize_t>(sizeof rc));
  std::string text;
  char buffer[4096];
  for (ssize_t n; (n = read(out[0], buffer, sizeof buffer)) > 0;) text.append(buffer, static_cast<size_t>(n));
  close(out[0]);
  close(code[0]);
  int status = 0;
  waitpid(pid, &status, 0);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
  return {rc, text};
}

TEST(EnumDeviceEx, WithoutPermissionToReadDisksSaysSo) {
  FakeMachine m;
  const auto image = m / "secret.img";
  devicetest::MakeSparseImage(image, kMiB);
  ASSERT_EQ(chmod(image.c_str(), 0600), 0);
  m.AddDisk({.name = "sds", .major = 8, .minor = 32, .size512 = kMiB / 512});
  m.SetNode("sds", image);
  const auto [rc, printed] = InitWithoutPermission(m);
  EXPECT_EQ(rc, enumcode::kNoDiskPermission);
  EXPECT_EQ(result::Error(rc), 1u);
  EXPECT_NE(printed.find("no permission to read " + (m.dev() / "sds").string()), std::string::npos) << printed;

  // With one readable disk the enumeration succeeds with it alone.
  const auto open = m / "open.img";
  devicetest::MakeSparseImage(open, kMiB);
  ASSERT_EQ(chmod(open.c_str(), 0644), 0);
  m.AddDisk({.name = "sdt", .major = 8, .minor = 48, .size512 = kMiB / 512});
  m.SetNode("sdt", open);
  EXPECT_EQ(InitWithoutPermission(m).first, 0u);
}

}  // namespace
