// The volume list of a disk (system volumes, then unmatched table partitions
// as virtual volumes), the conversion of a partition into a volume, and the
// order of device lists.
#include "enumeration/MergeVolumeAndPartition.h"

#include <gtest/gtest.h>

#include <cstring>
#include <list>
#include <memory>
#include <numeric>
#include <vector>

#include "device/PartitionDevice.h"
#include "engine/device/DeviceTestSupport.h"
#include "engine/enumeration/EnumTestSupport.h"
#include "enumeration/EnumDeviceCodes.h"

namespace {

using devicetest::CMemoryDevice;
using enumtest::PartitionInfo;
using enumtest::VolumeInfo;

// A disk in memory whose bytes tell their own offset, with partitions and
// system volumes made on it; everything is released with the fixture.
class Disk {
 public:
  explicit Disk(int64_t total = 4000000, uint32_t sectorSize = 512) {
    std::vector<uint8_t> bytes(1 << 20);
    for (size_t i = 0; i < bytes.size(); ++i) bytes[i] = static_cast<uint8_t>(i / sectorSize * 7 + i);
    disk_ = std::make_unique<CMemoryDevice>(bytes, sectorSize, total, STORAGE_DEVICE_DISK);
    auto* info = new CCollectDiskDeviceInfoStruct();
    info->sectorSize = sectorSize;
    info->totalSectors = total;
    SetRecordText(info->bsdName, "sdq");
    disk_->SetPrivateData(CreateDiskDeviceData(info));
  }
  ~Disk() {
    for (IStorageDevice* d : owned_) d->Release();
  }

  IStorageDevice* disk() { return disk_.get(); }

  IStorageDevice* Partition(int number, int64_t start, int64_t count, uint32_t state = 0) {
    IStorageDevice* p = CreatePartitionDevice(disk_.get(), start, count);
    EXPECT_EQ(p->Open(), 1);
    auto* info = new CCollectedPartitionDeviceInfoStruct();
    info->state = state;
    info->fileSystemType = FILE_SYSTEM_TYPE_NTFS;
    SetRecordText(info->label, "DATA");
    info->sectorSize = disk_->GetSectorSize();
    info->sectorCount = count;
    info->deviceID = (8 << 24) | 16;
    info->parentDisk = disk_.get();
    info->partitionNumber = number;
    for (int i = 0; i < 16; ++i) {
      info->gptTypeGUID[i] = static_cast<uint8_t>(0xA0 + i);
      info->gptPartitionGUID[i] = static_cast<uint8_t>(0x10 + i);
    }
    SetRecordText(info->apmType, "Apple_HFS");
    info->startSector = start;
    p->SetPrivateData(CreatePartitionDeviceData(info));
    owned_.push_back(p);
    return p;
  }

  // A system volume: a device of kind 2 with a volume record.
  IStorageDevice* Volume(int number, int64_t total, uint32_t sectorSize = 512) {
    auto* v = new CMemoryDevice({}, sectorSize, total, STORAGE_DEVICE_VOLUME);
    auto* info = new CCollectedVolumeDeviceInfoStruct();
    info->partitionNumber = number;
    info->sectorSize = sectorSize;
    info->totalSectors = total;
    SetRecordText(info->bsdName, ("sdq" + std::to_string(number)).c_str());
    v->SetPrivateData(CreateVolumeDeviceData(info));
    owned_.push_back(v);
    return v;
  }

  void Own(IStorageDevice* d) { owned_.push_back(d); }

 private:
  std::unique_ptr<CMemoryDevice> disk_;
  std::vector<IStorageDevice*> owned_;
};

std::list<IStorageDevice*> Merge(Disk& d, std::vector<IStorageDevice*> volumes, std::vector<IStorageDevice*> parts,
                                 CMergeVolumeAndPartition merge = {}) {
  std::list<IStorageDevice*> out;
  EXPECT_EQ(merge.MergeAsVolume(out, volumes.data(), static_cast<int>(volumes.size()), parts.data(),
                                static_cast<int>(parts.size())),
            0u);
  for (IStorageDevice* v : out) {
    if (std::find(volumes.begin(), volumes.end(), v) == volumes.end()) d.Own(v);
  }
  return out;
}

TEST(MergeAsVolume, SystemVolumesFirstThenPartitionsThatMatchNone) {
  Disk d;
  IStorageDevice* p1 = d.Partition(1, 2048, 100000);
  IStorageDevice* p2 = d.Partition(2, 102048, 2000000);
  IStorageDevice* p3 = d.Partition(3, 2102048, 500000);
  IStorageDevice* v2 = d.Volume(2, 2000000);
  IStorageDevice* v1 = d.Volume(1, 100010);  // 10 sectors (5120 bytes) off: the same device
  const auto out = Merge(d, {v2, v1}, {p1, p2, p3});
  ASSERT_EQ(out.size(), 3u);
  auto it = out.begin();
  EXPECT_EQ(*it++, v2);
  EXPECT_EQ(*it++, v1);
  const auto* info = VolumeInfo(*it);
  ASSERT_NE(info, nullptr);
  EXPECT_EQ(info->partitionNumber, 3);
  EXPECT_EQ(info->startSector, 2102048);
  EXPECT_EQ(info->totalSectors, 500000);
  EXPECT_EQ((*it)->GetType(), STORAGE_DEVICE_VOLUME);
}

TEST(IsSameDevice, AllowsAtMostTenMiBOfDifference) {
  Disk d;
  CMergeVolumeAndPartition merge;
  int same = -1;
  IStorageDevice* p = d.Partition(1, 2048, 1000000);
  EXPECT_EQ(merge.IsSameDevice(p, d.Volume(1, 1000000 + 20480), same), 0u);
  EXPECT_EQ(same, 1);  // 10485760 bytes apart
  EXPECT_EQ(merge.IsSameDevice(p, d.Volume(1, 1000000 + 20481), same), 0u);
  EXPECT_EQ(same, 0);  // just over
  EXPECT_EQ(merge.IsSameDevice(p, d.Volume(1, 1000000 - 20481), same), 0u);
  EXPECT_EQ(same, 0);
  EXPECT_EQ(merge.IsSameDevice(p, d.Volume(1, 1000000, 4096), same), 0u);
  EXPECT_EQ(same, 0);  // other sector size

  const auto out = Merge(d, {d.Volume(1, 1000000 + 20481)}, {p});
  EXPECT_EQ(out.size(), 2u);  // both listed
}

TEST(IsSameDevice, KnownStartsTellEqualSizedPartitionsApart) {
  // Two partitions of one size, and the system shows only the second: the
  // first must still come back, as a virtual volume.
  Disk d;
  IStorageDevice* p1 = d.Partition(1, 2048, 409600);
  IStorageDevice* p2 = d.Partition(2, 411648, 409600);
  IStorageDevice* v2 = d.Volume(2, 409600);
  CMergeVolumeAndPartition merge;
  merge.SetVolumeStartSector(v2, 411648);
  int same = -1;
  EXPECT_EQ(merge.IsSameDevice(p1, v2, same), 0u);
  EXPECT_EQ(same, 0);
  EXPECT_EQ(merge.IsSameDevice(p2, v2, same), 0u);
  EXPECT_EQ(same, 1);
  const auto out = Merge(d, {v2}, {p1, p2}, merge);
  ASSERT_EQ(out.size(), 2u);
  EXPECT_EQ(out.front(), v2);
  EXPECT_EQ(VolumeInfo(out.back())->partitionNumber, 1);
  EXPECT_EQ(VolumeInfo(out.back())->startSector, 2048);
}

TEST(ConvertPartition2Volume, CopiesThePartitionRecordAndReadsTheSameSectors) {
  Disk d;
  IStorageDevice* p = d.Partition(7, 300, 900);
  IStorageDevice* v = nullptr;
  CVolumePartitionConverter converter;
  ASSERT_EQ(converter.ConvertPartition2Volume(v, p), 0u);
  ASSERT_NE(v, nullptr);
  d.Own(v);
  const auto* pi = PartitionInfo(p);
  const auto* vi = VolumeInfo(v);
  ASSERT_NE(vi, nullptr);
  EXPECT_EQ(vi->state, 0u);
  EXPECT_EQ(vi->fileSystemType, static_cast<uint32_t>(FILE_SYSTEM_TYPE_NTFS));
  EXPECT_STREQ(vi->label, "DATA");
  EXPECT_STREQ(vi->volumeName, "");
  EXPECT_STREQ(vi->bsdName, "");
  EXPECT_EQ(vi->sectorSize, 512);
  EXPECT_EQ(vi->totalSectors, 900);
  EXPECT_EQ(vi->deviceID, pi->deviceID);
  EXPECT_EQ(vi->parentDisk, d.disk());
  EXPECT_EQ(vi->partitionNumber, 7);
  EXPECT_EQ(std::memcmp(vi->gptTypeGUID, pi->gptTypeGUID, 16), 0);
  EXPECT_EQ(std::memcmp(vi->gptPartitionGUID, pi->gptPartitionGUID, 16), 0);
  EXPECT_STREQ(vi->apmType, "Apple_HFS");
  EXPECT_EQ(vi->startSector, 300);
  EXPECT_EQ(vi->mounted, 0u);
  EXPECT_EQ(v->GetTotalSectors(), 900);

  std::vector<uint8_t> a(512 * 4), b(512 * 4);
  ASSERT_NE(p->ReadSector(a.data(), 10, 4), 0);
  ASSERT_NE(v->ReadSector(b.data(), 10, 4), 0);
  EXPECT_EQ(a, b);
  std::vector<uint8_t> raw(512 * 4);
  ASSERT_NE(d.disk()->ReadSector(raw.data(), 310, 4), 0);
  EXPECT_EQ(a, raw);
}

TEST(ConvertPartition2Volume, RefusesWhatIsNoUsablePartition) {
  Disk d;
  CVolumePartitionConverter converter;
  IStorageDevice* v = reinterpret_cast<IStorageDevice*>(1);
  EXPECT_EQ(converter.ConvertPartition2Volume(v, d.Volume(1, 100)), enumcode::kConvertNotPartition);
  EXPECT_EQ(v, nullptr);
  EXPECT_EQ(converter.ConvertPartition2Volume(v, nullptr), enumcode::kConvertNotPartition);
  IStorageDevice* bare = CreatePartitionDevice(d.disk(), 0, 10);
  d.Own(bare);
  EXPECT_EQ(converter.ConvertPartition2Volume(v, bare), enumcode::kConvertNoRecord);
  // A partition whose record is not usable cannot give a virtual volume.
  EXPECT_EQ(converter.ConvertPartition2Volume(v, d.Partition(1, 0, 10, /*state=*/1)), enumcode::kConvertNotMade);

  CCollectedVolumeDeviceInfoStruct used;
  used.state = 2;
  CCollectedPartitionDeviceInfoStruct from;
  EXPECT_EQ(converter.PartitionInfo2VolumeInfo(&used, &from), enumcode::kConvertRecordInUse);
  EXPECT_EQ(converter.PartitionInfo2VolumeInfo(nullptr, &from), enumcode::kConvertNullArgument);
}

TEST(MergeAsVolume, AFailedConversionAppendsNothing) {
  Disk d;
  IStorageDevice* good = d.Partition(1, 0, 100);
  IStorageDevice* bad = d.Partition(2, 100, 100, /*state=*/1);
  IStorageDevice* v = d.Volume(3, 1000000);  // far from both in size
  std::vector<IStorageDevice*> volumes{v};
  std::vector<IStorageDevice*> parts{good, bad};
  std::list<IStorageDevice*> out;
  CMergeVolumeAndPartition merge;
  EXPECT_EQ(merge.MergeAsVolume(out, volumes.data(), 1, parts.data(), 2), enumcode::kConvertNotMade);
  EXPECT_TRUE(out.empty());  // and the volume made from `good` was released (the sanitizer build checks)
}

std::vector<int> Numbers(const std::list<IStorageDevice*>& list) {
  std::vector<int> out;
  for (IStorageDevice* d : list) {
    if (const auto* v = VolumeInfo(d))
      out.push_back(v->partitionNumber);
    else if (const auto* p = PartitionInfo(d))
      out.push_back(p->partitionNumber);
    else
      out.push_back(1000);
  }
  return out;
}

TEST(DevListSortAlgorithm, OrdersVolumesAndPartitionsByNumberWholeMediaFirst) {
  Disk d;
  std::list<IStorageDevice*> volumes{d.Volume(3, 10), d.Volume(1, 10), d.Volume(2, 10), d.Volume(-1, 10)};
  volumes.sort(CDevListSortAlgorithm());
  EXPECT_EQ(Numbers(volumes), (std::vector<int>{-1, 1, 2, 3}));
  std::list<IStorageDevice*> parts{d.Partition(5, 0, 1), d.Partition(static_cast<int>(0xFFFFFFFF), 0, 1),
                                   d.Partition(1, 0, 1)};
  parts.sort(CDevListSortAlgorithm());
  EXPECT_EQ(Numbers(parts), (std::vector<int>{-1, 1, 5}));
}

TEST(DevListSortAlgorithm, OrdersDisksByNameBytes) {
  std::vector<std::unique_ptr<CMemoryDevice>> disks;
  std::list<IStorageDevice*> list;
  for (const char* name : {"disk2", "disk10", "disk1"}) {
    disks.push_back(std::make_unique<CMemoryDevice>(std::vector<uint8_t>{}, 512, 10, STORAGE_DEVICE_DISK));
    auto* info = new CCollectDiskDeviceInfoStruct();
    SetRecordText(info->bsdName, name);
    disks.back()->SetPrivateData(CreateDiskDeviceData(info));
    list.push_back(disks.back().get());
  }
  list.sort(CDevListSortAlgorithm());
  std::vector<std::string> names;
  for (IStorageDevice* disk : list) names.push_back(enumtest::DiskInfo(disk)->bsdName);
  EXPECT_EQ(names, (std::vector<std::string>{"disk1", "disk10", "disk2"}));
}

TEST(DevListSortAlgorithm, KeepsTheOrderFoundForMixedKindsAndMissingRecords) {
  Disk d;
  CDevListSortAlgorithm before;
  IStorageDevice* v = d.Volume(1, 10);
  IStorageDevice* p = d.Partition(0, 0, 1);
  auto* bare = new CMemoryDevice({}, 512, 10, STORAGE_DEVICE_VOLUME);
  d.Own(bare);
  EXPECT_FALSE(before(v, p));
  EXPECT_FALSE(before(p, v));
  EXPECT_FALSE(before(bare, v));
  EXPECT_FALSE(before(v, bare));
  EXPECT_FALSE(before(nullptr, v));
  EXPECT_FALSE(before(v, nullptr));
  auto* cached = new CMemoryDevice({}, 512, 10, STORAGE_DEVICE_CACHED);
  d.Own(cached);
  EXPECT_FALSE(before(cached, cached));
}

}  // namespace
