// The device list model over the engine's enumeration of a stand-in machine:
// a disk image on a loop device, a GPT disk made by sgdisk, a USB stick with
// an Apple partition map made by parted; a failed enumeration; a refresh
// while another thread reads.
#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "app/KVUIDeviceData.h"
#include "engine/device/DeviceTestSupport.h"
#include "engine/enumeration/EnumTestSupport.h"
#include "support/StubDevice.h"

namespace {

namespace fs = std::filesystem;
using testsupport::RunCommandOrFail;
using testsupport::ShellQuote;

constexpr uint64_t kMiB = 1 << 20;

KVUIDeviceData::EnumeratorFactory On(const enumtest::FakeMachine& machine) {
  return [&machine] { return std::make_unique<CEnumDeviceEx>(machine.Source()); };
}

// A 16 MiB image that `partition` (a command run with the image's path
// after it, then `arguments`) gives a table.
fs::path Image(const enumtest::FakeMachine& machine, const std::string& name, const std::string& partition,
               const std::string& arguments = "") {
  const fs::path image = machine / name;
  devicetest::MakeSparseImage(image, 16 * kMiB);
  RunCommandOrFail(partition + " " + ShellQuote(image.string()) + " " + arguments + " >/dev/null 2>&1");
  return image;
}

TEST(DeviceModel, DisksInEnumerationOrderWithTheirScannableVolumesFlagsAndLookups) {
  REQUIRE_TOOL("parted");
  enumtest::FakeMachine machine;
  const fs::path mbr = machine / "mbr.img";
  devicetest::MakeSparseImage(mbr, 16 * kMiB);
  enumtest::MakeMbr(mbr, {"1 : start=2048, size=8M, type=7"});
  const fs::path apm = Image(machine, "apm.img", "parted -s", "mklabel mac mkpart data 1MiB 8MiB");
  const uint64_t size512 = 16 * kMiB / 512;
  machine.AddDisk({.name = "loop3", .major = 7, .minor = 3, .size512 = size512, .backingFile = "/srv/photos.img"});
  machine.AddDisk({.name = "sda", .major = 8, .minor = 0, .size512 = size512, .vendor = "ACME", .model = "Disk"});
  machine.AddDisk({.name = "sdb",
                   .major = 8,
                   .minor = 16,
                   .size512 = size512,
                   .devicePath = "devices/pci0000:00/0000:00:14.0/usb1/1-1/1-1:1.0/host6/target6:0:0/6:0:0:0/block/sdb",
                   .model = "Stick"});
  machine.SetNode("loop3", mbr);
  machine.SetNode("sda", apm);
  machine.SetNode("sdb", mbr);
  devicetest::ImageGuard g1(mbr), g2(apm);

  KVUIDeviceData model(On(machine));
  EXPECT_EQ(model.GetInitState(), KVDeviceNeverEnumerated);
  model.InitDeviceInfo();
  ASSERT_EQ(model.GetInitState(), KVDeviceReady);
  std::list<_DiskVolumeData> rows;
  model.GetAllDeviceInfo(rows);
  ASSERT_EQ(rows.size(), 3u);
  const std::vector<_DiskVolumeData> disks(rows.begin(), rows.end());
  for (int i = 0; i < 3; ++i) {
    EXPECT_EQ(disks[i].diskIndex, i);
    EXPECT_EQ(disks[i].volumeIndex, -1);
    EXPECT_EQ(disks[i].fileSystem, -1);
    EXPECT_EQ(disks[i].size, 16 * kMiB);
  }
  EXPECT_EQ(disks[0].name, "photos.img");
  EXPECT_EQ(disks[0].description, (machine.dev() / "loop3").string());
  EXPECT_EQ(std::make_pair(disks[0].isDmg, disks[0].isUsb), std::make_pair(1, 0));
  EXPECT_EQ(disks[1].name, "ACME Disk");
  EXPECT_EQ(std::make_pair(disks[1].isDmg, disks[1].isUsb), std::make_pair(0, 0));
  EXPECT_EQ(std::make_pair(disks[2].isDmg, disks[2].isUsb), std::make_pair(0, 1));

  // The partition map's own entry is not offered; the data partition keeps
  // its position.
  ASSERT_EQ(disks[0].children.size(), 1u);
  EXPECT_EQ(disks[0].children[0].size, 8 * kMiB);
  ASSERT_EQ(disks[1].children.size(), 1u);
  const _DiskVolumeData& data = disks[1].children[0];
  EXPECT_EQ(data.size, 7 * kMiB);
  EXPECT_EQ(std::make_pair(data.diskIndex, data.volumeIndex), std::make_pair(1, 1));

  IStorageDevice* apmDisk = model.GetStorageByDiskVolumeIndex(1, -1);
  IStorageDevice* volume = model.GetStorageByDiskVolumeIndex(1, 1);
  ASSERT_NE(apmDisk, nullptr);
  ASSERT_NE(volume, nullptr);
  EXPECT_EQ(apmDisk, model.GetDiskStorageByIndex(1));
  EXPECT_EQ(model.GetStorageByDiskVolumeIndex(-1, 0), nullptr);
  std::list<IStorageDevice*> all;
  ASSERT_TRUE(model.GetDiskVolumeStorage(apmDisk, all));
  EXPECT_EQ(model.GetStorageByDiskVolumeIndex(1, static_cast<int>(all.size())), nullptr);
  EXPECT_EQ(model.GetStorageByDiskVolumeIndex(3, -1), nullptr);
  EXPECT_FALSE(model.IsVolumeStorageSupported(model.GetStorageByDiskVolumeIndex(1, 0)));
  EXPECT_TRUE(model.IsVolumeStorageSupported(volume));
  int d = 0, v = 0;
  EXPECT_TRUE(model.GetDiskVolumeIndexByStorage(volume, d, v));
  EXPECT_EQ(std::make_pair(d, v), std::make_pair(1, 1));
  EXPECT_TRUE(model.GetDiskVolumeIndexByStorage(apmDisk, d, v));
  EXPECT_EQ(std::make_pair(d, v), std::make_pair(1, -1));
  EXPECT_EQ(model.GetDiskStorageByVolumeStorage(volume), apmDisk);
  EXPECT_EQ(model.GetVolumeIndexByStorage(apmDisk, volume), 1u);
  EXPECT_EQ(model.GetDiskIndexByStorage(volume), 0xFFFFFFFFu);
  EXPECT_TRUE(model.IsDiskStorage(apmDisk));
  EXPECT_FALSE(model.IsDiskStorage(volume));
  EXPECT_EQ(model.GetVolumeInfo(apmDisk), nullptr);
  EXPECT_NE(model.GetVolumeInfo(volume), nullptr);

  // Rows own their texts; a refresh numbers the disks again.
  auto hold = model.HoldDevices(volume);
  model.Clear();
  model.InitDeviceInfo();
  model.InitDeviceInfo();
  EXPECT_EQ(disks[1].name, "ACME Disk");
  EXPECT_NE(model.GetStorageByDiskVolumeIndex(1, 1), volume);
  EXPECT_EQ(VolumeRecordOf(volume)->totalSectors * VolumeRecordOf(volume)->sectorSize, int64_t(7 * kMiB))
      << "a held device outlives two refreshes";
}

// A device carrying only a record.
class RecordDevice final : public testsupport::StubDevice {
 public:
  int ReadSector(void*, int64_t, int64_t) override { return 0; }
  uint32_t GetSectorSize() override { return 512; }
  int64_t GetTotalSectors() override { return 0; }
  uint32_t GetType() override { return STORAGE_DEVICE_VOLUME; }
  ResultCode GetLastError() override { return 0; }
};

TEST(DeviceModel, TheGptEfiSystemAndBootHelperPartitionsAreNotScannable) {
  // The type GUIDs as sgdisk writes them (codes ef00, ab00, 0700).
  testsupport::TempDir dir;
  const fs::path gpt = dir / "gpt.img";
  devicetest::MakeSparseImage(gpt, 16 * kMiB);
  RunCommandOrFail("sgdisk -n1:2048:+2M -t1:ef00 -n2:0:+2M -t2:ab00 -n3:0:+4M -t3:0700 " + ShellQuote(gpt.string()) +
                   " >/dev/null");
  RecordDevice disk;
  auto* diskInfo = new CCollectDiskDeviceInfoStruct();
  diskInfo->partitionScheme = DISK_PARTITION_SCHEME_GPT;
  disk.SetPrivateData(CreateDiskDeviceData(diskInfo));
  for (int entry = 0; entry < 3; ++entry) {
    CCollectedVolumeDeviceInfoStruct info;
    info.parentDisk = &disk;
    const auto bytes = devicetest::DdRead(gpt.string(), 128, 8 + entry, 1);  // entries from LBA 2
    std::copy(bytes.begin(), bytes.begin() + 16, info.gptTypeGUID);
    EXPECT_EQ(KVUIDeviceData::IsSupportVolume(&info), entry == 2) << "entry " << entry;
    diskInfo->partitionScheme = DISK_PARTITION_SCHEME_MBR;
    EXPECT_TRUE(KVUIDeviceData::IsSupportVolume(&info)) << "only GPT entries are judged by their type";
    diskInfo->partitionScheme = DISK_PARTITION_SCHEME_GPT;
  }
}

TEST(DeviceModel, AFailedEnumerationIsSeenAndCanBeRetried) {
  enumtest::FakeMachine machine;
  KVUIDeviceData model(On(machine));
  model.InitDeviceInfo();
  EXPECT_EQ(model.GetInitState(), KVDeviceEnumerationFailed);
  EXPECT_TRUE(result::IsFailure(model.GetInitResult()));
  std::list<_DiskVolumeData> rows;
  model.GetAllDeviceInfo(rows);
  EXPECT_TRUE(rows.empty());
  EXPECT_EQ(model.GetStorageByDiskVolumeIndex(0, -1), nullptr);

  const fs::path image = machine / "disk.img";
  devicetest::MakeSparseImage(image, 4 * kMiB);
  machine.AddDisk({.name = "sdc", .major = 8, .minor = 32, .size512 = 4 * kMiB / 512});
  machine.SetNode("sdc", image);
  model.InitDeviceInfo();
  EXPECT_EQ(model.GetInitState(), KVDeviceReady);
  model.GetAllDeviceInfo(rows);
  EXPECT_EQ(rows.size(), 1u);
}

TEST(DeviceModelThreads, ARefreshWhileAnotherThreadReadsIsSafe) {
  enumtest::FakeMachine machine;
  const fs::path image = machine / "disk.img";
  devicetest::MakeSparseImage(image, 16 * kMiB);
  enumtest::MakeMbr(image, {"1 : start=2048, size=4M, type=c", "2 : size=4M, type=7"});
  machine.AddDisk({.name = "sdd", .major = 8, .minor = 48, .size512 = 16 * kMiB / 512});
  machine.SetNode("sdd", image);
  devicetest::ImageGuard guard(image);
  KVUIDeviceData model(On(machine));
  model.InitDeviceInfo();

  std::atomic<bool> done{false};
  std::atomic<int> reads{0};
  std::thread reader([&] {
    std::vector<uint8_t> sector(512);
    while (!done) {
      std::list<_DiskVolumeData> rows;
      model.GetAllDeviceInfo(rows);
      IStorageDevice* volume = model.GetStorageByDiskVolumeIndex(0, 1);
      if (auto hold = model.HoldDevices(volume)) {
        EXPECT_EQ(VolumeRecordOf(volume)->totalSectors, int64_t(4 * kMiB / 512));
        EXPECT_NE(volume->ReadSector(sector.data(), 0, 1), 0);
        ++reads;
      }
    }
  });
  for (int i = 0; i < 20; ++i) {
    model.InitDeviceInfo();
    if (i % 5 == 0) model.Clear();
  }
  while (reads < 10) std::this_thread::yield();
  done = true;
  reader.join();
}

}  // namespace
