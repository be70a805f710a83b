// The device list model over the engine's enumeration of a stand-in machine
// (an attached image, a disk with an Apple partition map from parted, a USB
// stick), GPT entries from sgdisk, a failed enumeration, media open only
// while held, and a refresh while another thread reads.
#include <gtest/gtest.h>

#include <atomic>
#include <system_error>
#include <thread>

#include "app/KVUIDeviceData.h"
#include "engine/device/DeviceTestSupport.h"
#include "engine/enumeration/EnumTestSupport.h"

namespace {

namespace fs = std::filesystem;
using testsupport::RunCommandOrFail;
using testsupport::ShellQuote;

constexpr uint64_t kMiB = 1 << 20;
constexpr uint64_t kDisk512 = 16 * kMiB / 512;

KVUIDeviceData::EnumeratorFactory On(const enumtest::FakeMachine& machine) {
  return [&machine] { return std::make_unique<CEnumDeviceEx>(machine.Source()); };
}

// A 16 MiB image with one MBR partition of 8 MiB.
fs::path MbrImage(const enumtest::FakeMachine& machine) {
  const fs::path image = machine / "mbr.img";
  devicetest::MakeSparseImage(image, 16 * kMiB);
  enumtest::MakeMbr(image, {"1 : start=2048, size=8M, type=7"});
  return image;
}

TEST(DeviceModel, DisksInOrderWithTheirFlagsAndScannableVolumes) {
  REQUIRE_TOOL("parted");
  enumtest::FakeMachine machine;
  const fs::path mbr = MbrImage(machine), apm = machine / "apm.img";
  devicetest::MakeSparseImage(apm, 16 * kMiB);
  RunCommandOrFail("parted -s " + ShellQuote(apm.string()) + " mklabel mac mkpart data 1MiB 8MiB >/dev/null 2>&1");
  machine.AddDisk({.name = "loop3", .major = 7, .minor = 3, .size512 = kDisk512, .backingFile = "/srv/photos.img"});
  machine.AddDisk({.name = "sda", .major = 8, .minor = 0, .size512 = kDisk512, .vendor = "ACME", .model = "Disk"});
  machine.AddDisk(
      {.name = "sdb",
       .major = 8,
       .minor = 16,
       .size512 = kDisk512,
       .devicePath = "devices/pci0000:00/0000:00:14.0/usb1/1-1/1-1:1.0/host6/target6:0:0/6:0:0:0/block/sdb"});
  machine.SetNode("loop3", mbr);
  machine.SetNode("sda", apm);
  machine.SetNode("sdb", mbr);
  devicetest::ImageGuard g1(mbr), g2(apm);
  KVUIDeviceData model(On(machine));
  model.InitDeviceInfo();
  ASSERT_EQ(model.GetInitState(), KVDeviceReady);
  std::list<_DiskVolumeData> rows;
  model.GetAllDeviceInfo(rows);
  ASSERT_EQ(rows.size(), 3u);
  const std::vector<_DiskVolumeData> d(rows.begin(), rows.end());
  EXPECT_EQ(std::make_tuple(d[0].name, d[0].diskIndex, d[0].isDmg, d[0].isUsb, d[0].size),
            std::make_tuple(std::string("photos.img"), 0, 1, 0, 16 * kMiB));
  EXPECT_EQ(std::make_tuple(d[1].name, d[1].diskIndex, d[1].isDmg, d[1].isUsb),
            std::make_tuple(std::string("ACME Disk"), 1, 0, 0));
  EXPECT_EQ(std::make_tuple(d[2].diskIndex, d[2].isDmg, d[2].isUsb), std::make_tuple(2, 0, 1));
  // The partition map's own entry is not offered; the data partition keeps
  // its position.
  ASSERT_EQ(d[1].children.size(), 1u);
  EXPECT_EQ(std::make_tuple(d[1].children[0].size, d[1].children[0].volumeIndex), std::make_tuple(7 * kMiB, 1));

  IStorageDevice* disk = model.GetStorageByDiskVolumeIndex(1, -1);
  IStorageDevice* volume = model.GetStorageByDiskVolumeIndex(1, 1);
  ASSERT_TRUE(disk != nullptr && volume != nullptr);
  EXPECT_EQ(model.GetStorageByDiskVolumeIndex(-1, 1), nullptr);
  EXPECT_EQ(model.GetStorageByDiskVolumeIndex(3, -1), nullptr);
  int di = 0, vi = 0;
  EXPECT_TRUE(model.GetDiskVolumeIndexByStorage(volume, di, vi));
  EXPECT_EQ(std::make_pair(di, vi), std::make_pair(1, 1));

  // Rows own their texts, and a held device outlives refreshes.
  auto hold = model.HoldDevices(volume);
  for (int i = 0; i < 3; ++i) model.InitDeviceInfo();
  EXPECT_EQ(d[1].name, "ACME Disk");
  EXPECT_NE(model.GetStorageByDiskVolumeIndex(1, 1), volume);
  EXPECT_EQ(VolumeRecordOf(volume)->totalSectors * 512, int64_t(7 * kMiB));
}

TEST(DeviceModel, TheGptEfiSystemAndBootHelperEntriesAreNotScannable) {
  testsupport::TempDir dir;
  const fs::path gpt = dir / "gpt.img";
  devicetest::MakeSparseImage(gpt, 16 * kMiB);
  RunCommandOrFail("sgdisk -n1:2048:+2M -t1:ef00 -n2:0:+2M -t2:ab00 -n3:0:+4M -t3:0700 " + ShellQuote(gpt.string()) +
                   " >/dev/null");
  enumtest::FakeMachine machine;  // a disk whose record says GPT
  machine.AddDisk({.name = "sde", .major = 8, .minor = 64, .size512 = kDisk512});
  machine.SetNode("sde", gpt);
  KVUIDeviceData model(On(machine));
  model.InitDeviceInfo();
  CCollectedVolumeDeviceInfoStruct info;
  info.parentDisk = model.GetDiskStorageByIndex(0);
  ASSERT_EQ(DiskRecordOf(info.parentDisk)->partitionScheme, uint32_t{DISK_PARTITION_SCHEME_GPT});
  for (int entry = 0; entry < 3; ++entry) {
    const auto bytes = devicetest::DdRead(gpt.string(), 128, 8 + entry, 1);  // the entries from LBA 2
    std::copy(bytes.begin(), bytes.begin() + 16, info.gptTypeGUID);
    EXPECT_EQ(KVUIDeviceData::IsSupportVolume(&info), entry == 2) << "entry " << entry;
  }
}

TEST(DeviceModel, AFailedEnumerationIsSeenAndCanBeRetried) {
  enumtest::FakeMachine machine;
  KVUIDeviceData model(On(machine));
  model.InitDeviceInfo();
  EXPECT_EQ(model.GetInitState(), KVDeviceEnumerationFailed);
  EXPECT_TRUE(result::IsFailure(model.GetInitResult()));
  EXPECT_EQ(model.GetStorageByDiskVolumeIndex(0, -1), nullptr);
  machine.AddDisk({.name = "sdc", .major = 8, .minor = 32, .size512 = kDisk512});
  machine.SetNode("sdc", MbrImage(machine));
  model.InitDeviceInfo();
  EXPECT_EQ(model.GetInitState(), KVDeviceReady);
  EXPECT_NE(model.GetStorageByDiskVolumeIndex(0, 0), nullptr);
}

// Two quick requests for the list: the first claims the enumeration it
// queues, the second finds it under way.
TEST(DeviceModel, OneEnumerationIsClaimedForTwoQuickRequests) {
  enumtest::FakeMachine machine;
  machine.AddDisk({.name = "sdf", .major = 8, .minor = 80, .size512 = kDisk512});
  machine.SetNode("sdf", MbrImage(machine));
  int enumerations = 0;
  KVUIDeviceData model([&] {
    ++enumerations;
    return std::make_unique<CEnumDeviceEx>(machine.Source());
  });
  EXPECT_EQ(model.ClaimEnumeration(), uint32_t{KVDeviceNeverEnumerated});
  EXPECT_EQ(model.ClaimEnumeration(), uint32_t{KVDeviceEnumerating});
  model.InitDeviceInfo();
  EXPECT_EQ(model.ClaimEnumeration(), uint32_t{KVDeviceReady});
  EXPECT_EQ(model.GetInitState(), uint32_t{KVDeviceReady});
  EXPECT_EQ(enumerations, 1);
}

// A device taken by its indexes is held in the same step, and stays alive
// and known by its disk through any number of refreshes while it is held.
TEST(DeviceModel, ADeviceHeldByItsIndexesOutlivesRefreshesAndKeepsItsDisk) {
  enumtest::FakeMachine machine;
  const fs::path image = MbrImage(machine);
  devicetest::PatchFile(image, 2048 * 512, std::vector<uint8_t>(512, 0x5A));
  machine.AddDisk({.name = "sdg", .major = 8, .minor = 96, .size512 = kDisk512});
  machine.SetNode("sdg", image);
  devicetest::ImageGuard guard(image);
  KVUIDeviceData model(On(machine));
  model.InitDeviceInfo();
  EXPECT_EQ(model.HoldStorageByDiskVolumeIndex(0, 1), nullptr);
  EXPECT_EQ(model.HoldStorageByDiskVolumeIndex(1, -1), nullptr);
  std::shared_ptr<IStorageDevice> disk = model.HoldStorageByDiskVolumeIndex(0, -1);
  std::shared_ptr<IStorageDevice> volume = model.HoldStorageByDiskVolumeIndex(0, 0);
  ASSERT_TRUE(disk != nullptr && volume != nullptr);
  for (int i = 0; i < 3; ++i) {
    model.Clear();
    model.InitDeviceInfo();
  }
  EXPECT_NE(model.GetStorageByDiskVolumeIndex(0, 0), volume.get());
  EXPECT_NE(model.HoldDevices(volume.get()), nullptr);
  EXPECT_TRUE(model.IsDiskStorage(disk.get()));
  EXPECT_EQ(model.GetDiskStorageByVolumeStorage(volume.get()), disk.get());
  std::list<IStorageDevice*> volumes;
  ASSERT_TRUE(model.GetDiskVolumeStorage(disk.get(), volumes));
  EXPECT_EQ(volumes, std::list<IStorageDevice*>{volume.get()});
  std::vector<uint8_t> sector(512);
  ASSERT_NE(volume->ReadSector(sector.data(), 0, 1), 0);
  EXPECT_EQ(sector, devicetest::DdRead(image.string(), 512, 2048, 1));
}

// How many descriptors of this process are open on `file`.
int OpenOn(const fs::path& file) {
  int count = 0;
  for (const auto& entry : fs::directory_iterator("/proc/self/fd")) {
    std::error_code ec;
    count += fs::read_symlink(entry.path(), ec) == fs::canonical(file) ? 1 : 0;
  }
  return count;
}

// Listed, no medium is open. A hold of a volume opens its disk and the
// disk's volumes (no other disk) until the last hold goes, also through a
// refresh; a kept device stays closed, and one nobody holds reads nothing.
TEST(DeviceModel, AMediumIsOpenOnlyWhileADeviceOfItIsHeld) {
  enumtest::FakeMachine machine;
  const fs::path disk = MbrImage(machine), other = machine / "other.img", part = machine / "part.img";
  fs::copy_file(disk, other);
  devicetest::MakeSparseImage(part, 8 * kMiB);
  machine.AddDisk({.name = "sdh", .major = 8, .minor = 112, .size512 = kDisk512});
  machine.AddPartition("sdh", "sdh1", 1, 8, 113, 2048, 8 * kMiB / 512);
  machine.AddDisk({.name = "sdi", .major = 8, .minor = 128, .size512 = kDisk512});
  for (const auto& [name, image] : {std::pair{"sdh", disk}, std::pair{"sdh1", part}, std::pair{"sdi", other}})
    machine.SetNode(name, image);
  devicetest::ImageGuard g1(disk), g2(other), g3(part);
  KVUIDeviceData model(On(machine));
  model.InitDeviceInfo();
  const auto open = [&] { return std::vector<int>{OpenOn(disk), OpenOn(part), OpenOn(other)}; };
  const std::vector<int> none{0, 0, 0}, first{1, 1, 0};
  EXPECT_EQ(open(), none) << "listed";
  IStorageDevice* volume = model.GetStorageByDiskVolumeIndex(0, 0);
  std::vector<uint8_t> sector(512);
  EXPECT_EQ(volume->ReadSector(sector.data(), 0, 1), 0) << "read without a hold";
  const auto kept = model.KeepDevices(volume);
  EXPECT_EQ(open(), none) << "kept";
  {
    const auto hold = model.HoldDevices(volume);
    std::shared_ptr<IStorageDevice> whole = model.HoldStorageByDiskVolumeIndex(0, -1);
    model.InitDeviceInfo();
    EXPECT_EQ(open(), first) << "held twice, through a refresh";
    ASSERT_NE(whole->ReadSector(sector.data(), 2048, 1), 0);
    EXPECT_EQ(sector, devicetest::DdRead(disk.string(), 512, 2048, 1));
    whole.reset();
    EXPECT_EQ(open(), first) << "held once";
  }
  EXPECT_EQ(open(), none) << "let go";
}

TEST(DeviceModelThreads, ARefreshWhileAnotherThreadReadsIsSafe) {
  enumtest::FakeMachine machine;
  machine.AddDisk({.name = "sdd", .major = 8, .minor = 48, .size512 = kDisk512});
  machine.SetNode("sdd", MbrImage(machine));
  KVUIDeviceData model(On(machine));
  model.InitDeviceInfo();
  std::atomic<bool> done{false};
  std::atomic<int> reads{0};
  std::thread reader([&] {
    std::vector<uint8_t> sector(512);
    while (!done) {
      std::list<_DiskVolumeData> rows;
      model.GetAllDeviceInfo(rows);
      IStorageDevice* volume = model.GetStorageByDiskVolumeIndex(0, 0);
      if (auto hold = model.HoldDevices(volume)) {
        EXPECT_NE(volume->ReadSector(sector.data(), 0, 1), 0);
        ++reads;
      }
    }
  });
  for (int i = 0; i < 20; ++i) i % 5 == 0 ? model.Clear() : model.InitDeviceInfo();
  while (reads < 10) std::this_thread::yield();
  done = true;
  reader.join();
}

}  // namespace
