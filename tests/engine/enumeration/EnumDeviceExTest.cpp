// The enumerator over a stand-in machine: a sysfs tree whose device nodes are
// image files made by the partitioning and file-system tools. Records, the
// merged volume list, the array rules and codes, and failures that must not
// hide the other disks.
#include "enumeration/EnumDeviceEx.h"

#include <grp.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include "engine/device/DeviceTestSupport.h"
#include "engine/enumeration/EnumTestSupport.h"
#include "engine/partition/PartitionToolOutput.h"

namespace {

namespace fs = std::filesystem;
using enumtest::FakeMachine;

constexpr uint64_t kMiB = 1024 * 1024;

TEST(EnumDeviceEx, AnswersItsCodesWithoutDisks) {
  FakeMachine m;
  CEnumDeviceEx e(m.Source());
  int count = 0;
  EXPECT_EQ(e.EnumDiskDevice(nullptr, count), enumcode::kDiskNotInitialized);
  EXPECT_EQ(e.EnumPartitionDevice(nullptr, nullptr, count), enumcode::kPartNotInitialized);
  EXPECT_EQ(e.EnumVolumeDevice(nullptr, nullptr, count), enumcode::kVolNotInitialized);
  EXPECT_EQ(e.Uninit(), enumcode::kUninitNotInitialized);
  EXPECT_EQ(e.Init(), enumcode::kNoDisk);
  // A disk whose node is gone (detached between listing and opening) is no disk.
  m.AddDisk({.name = "sdx", .size512 = 2048});
  EXPECT_EQ(e.Init(), enumcode::kNoDisk);
  EXPECT_EQ(e.EnumDiskDevice(nullptr, count), enumcode::kDiskNotInitialized);
  CEnumDeviceEx blind(std::make_unique<CLinuxMediaSource>((m / "nothing").string(), m.dev().string()));
  EXPECT_EQ(blind.Init(), enumcode::kNoMediaList);
}

// An MBR disk with a primary partition and an extended one holding two
// logical ones; the system shows sdz1 and sdz5 (and the extended container
// as sdz2), and sdz5 is mounted. Every node is the image itself.
class MbrMachine : public ::testing::Test {
 protected:
  void SetUp() override {
    REQUIRE_TOOL("sfdisk");
    REQUIRE_TOOL("jq");
    devicetest::MakeSparseImage(image_, 64 * kMiB);
    enumtest::MakeMbr(image_, {"1 : size=16M, type=c", "2 : size=40M, type=5", "5 : size=12M, type=7", "6 : type=7"});
    parts_ = parttest::Sfdisk(image_.string());
    ASSERT_EQ(parts_.size(), 4u);
    m_.AddDisk({.name = "sdz", .major = 8, .minor = 240, .size512 = 64 * kMiB / 512});
    for (size_t i = 0; i < 3; ++i) {
      const auto& p = parts_[i];
      const std::string name = "sdz" + std::to_string(p.number);
      // The kernel shows the extended container as a 1 KiB device.
      m_.AddPartition("sdz", name, p.number, 8, 240 + p.number, p.start, i == 1 ? 2 : p.size);
      m_.SetNode(name, image_);
    }
    m_.SetNode("sdz", image_);
    m_.SetMountInfo("27 1 254:0 / / rw - ext4 /dev/vda rw\n71 27 8:245 / /media/user/Backup rw - exfat /dev/sdz5 rw\n");
    guard_ = std::make_unique<devicetest::ImageGuard>(image_);
    ASSERT_EQ(e_.Init(), 0u);
    ASSERT_EQ(enumtest::Disks(e_).size(), 1u);
    disk_ = enumtest::Disks(e_)[0];
  }
  void TearDown() override {
    e_.Uninit();
    guard_.reset();
  }

  FakeMachine m_;
  fs::path image_ = m_ / "mbr.img";
  std::vector<parttest::ToolPartition> parts_;
  std::unique_ptr<devicetest::ImageGuard> guard_;
  CEnumDeviceEx e_{m_.Source()};
  IStorageDevice* disk_ = nullptr;
};

TEST_F(MbrMachine, VolumesAreTheSystemsThenTheUnshownPartitionsOnceForAll) {
  EXPECT_STREQ(DiskRecordOf(disk_)->bsdName, "sdz");
  EXPECT_EQ(DiskRecordOf(disk_)->deviceID, (8 << 24) | 240);
  const auto volumes = enumtest::Volumes(e_, disk_);
  ASSERT_EQ(volumes.size(), 3u);                     // sdz1, sdz5, then partition 6; never the extended container
  EXPECT_EQ(enumtest::Volumes(e_, disk_), volumes);  // the same devices on every call
  // What the volumes carry and read is checked against the tools on loop devices (EnumerationLoopTest).
  EXPECT_STREQ(VolumeRecordOf(volumes[0])->volumeName, "sdz1");  // no label, not mounted: the kernel name
  EXPECT_EQ(VolumeRecordOf(volumes[0])->parentDisk, disk_);
  EXPECT_EQ(
      parttest::ToolPartition({6, VolumeRecordOf(volumes[2])->startSector, VolumeRecordOf(volumes[2])->totalSectors}),
      parts_[3]);

  // Init again rebuilds the lists from what the system shows now.
  m_.AddPartition("sdz", "sdz6", 6, 8, 246, parts_[3].start, parts_[3].size);
  m_.SetNode("sdz6", image_);
  ASSERT_EQ(e_.Init(), 0u);
  const auto again = enumtest::Volumes(e_, enumtest::Disks(e_).at(0));
  ASSERT_EQ(again.size(), 3u);
  EXPECT_STREQ(VolumeRecordOf(again[2])->bsdName, "sdz6");
}

TEST_F(MbrMachine, ArraysDisksAndTheirCodes) {
  std::vector<IStorageDevice*> array(8, nullptr);
  const struct {
    ResultCode (CEnumDeviceEx::*enumerate)(const IStorageDevice*, IStorageDevice**, int&);
    int count;
    ResultCode rc;
    int countAfter;
  } cases[] = {{&CEnumDeviceEx::EnumVolumeDevice, 2, enumcode::kVolArrayTooSmall, 2},
               {&CEnumDeviceEx::EnumVolumeDevice, 0, enumcode::kVolArrayTooSmall, 0},
               {&CEnumDeviceEx::EnumVolumeDevice, 8, 0, 3},
               {&CEnumDeviceEx::EnumPartitionDevice, 2, enumcode::kPartArrayTooSmall, 2},
               {&CEnumDeviceEx::EnumPartitionDevice, 0, 0, 0}};  // count 0 fills nothing
  for (const auto& c : cases) {
    std::fill(array.begin(), array.end(), nullptr);
    int count = c.count;
    EXPECT_EQ((e_.*c.enumerate)(disk_, array.data(), count), c.rc);
    EXPECT_EQ(count, c.countAfter);
    EXPECT_EQ(array[0] != nullptr, c.rc == 0 && c.countAfter > 0);
  }
  int count = 0;
  EXPECT_EQ(e_.EnumDiskDevice(array.data(), count), 0u);
  count = 1;
  EXPECT_EQ(e_.EnumDiskDevice(array.data(), count), 0u);
  EXPECT_EQ(array[0], disk_);

  EXPECT_EQ(e_.EnumVolumeDevice(nullptr, nullptr, count), enumcode::kVolNullDisk);
  EXPECT_EQ(e_.EnumPartitionDevice(nullptr, nullptr, count), enumcode::kPartNullDisk);
  IStorageDevice* volume = enumtest::Volumes(e_, disk_)[0];
  EXPECT_EQ(e_.EnumVolumeDevice(volume, nullptr, count), enumcode::kVolUnknownDisk);
  EXPECT_EQ(e_.EnumPartitionDevice(volume, nullptr, count), enumcode::kPartUnknownDisk);
}

TEST(EnumDeviceEx, OneBadDiskHidesNoOther) {
  REQUIRE_TOOL("sfdisk");
  FakeMachine m;
  // sda: a table the reader refuses (a dynamic-disk entry); sdb: no node.
  const auto bad = m / "dynamic.img";
  devicetest::MakeSparseImage(bad, 8 * kMiB);
  testsupport::RunCommandOrFail("printf 'label: dos\\n,4M,42\\n' | sfdisk -q " + testsupport::ShellQuote(bad.string()));
  m.AddDisk({.name = "sda", .major = 8, .minor = 0, .size512 = 8 * kMiB / 512});
  m.SetNode("sda", bad);
  m.AddPartition("sda", "sda1", 1, 8, 1, 2048, 8192);
  m.SetNode("sda1", bad);
  m.AddDisk({.name = "sdb", .major = 8, .minor = 16, .size512 = 8 * kMiB / 512});
  CEnumDeviceEx e(m.Source());
  ASSERT_EQ(e.Init(), 0u);
  const auto disks = enumtest::Disks(e);
  ASSERT_EQ(disks.size(), 1u);
  EXPECT_STREQ(DiskRecordOf(disks[0])->bsdName, "sda");
  EXPECT_TRUE(enumtest::Partitions(e, disks[0]).empty());
  const auto volumes = enumtest::Volumes(e, disks[0]);
  ASSERT_EQ(volumes.size(), 1u);
  EXPECT_STREQ(VolumeRecordOf(volumes[0])->bsdName, "sda1");
}

// Runs Init over `m` in a child process that may not read the images;
// answers its result code and what it printed.
std::pair<ResultCode, std::string> InitWithoutPermission(const FakeMachine& m) {
  const auto child = testsupport::RunInChild([&] {
    if (geteuid() == 0 &&
        (setgroups(0, nullptr) != 0 || setresgid(65534, 65534, 65534) != 0 || setresuid(65534, 65534, 65534) != 0)) {
      return 3;
    }
    std::printf("\nrc=%llx\n", static_cast<unsigned long long>(CEnumDeviceEx(m.Source()).Init()));
    return 0;
  });
  EXPECT_TRUE(WIFEXITED(child.status) && WEXITSTATUS(child.status) == 0) << child.status;
  const size_t at = child.output.rfind("\nrc=");
  return {at == std::string::npos ? 0 : std::stoull(child.output.substr(at + 4), nullptr, 16), child.output};
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
