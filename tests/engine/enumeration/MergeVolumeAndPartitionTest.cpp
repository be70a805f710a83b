// The volume list of a disk (system volumes, then unmatched table partitions
// as virtual volumes), refusals of the partition-to-volume conversion, and the
// order of device lists. What a virtual volume carries and reads is checked
// against the tools on loop devices (EnumerationLoopTest).
#include "enumeration/MergeVolumeAndPartition.h"

#include <gtest/gtest.h>

#include "device/PartitionDevice.h"
#include "engine/device/DeviceTestSupport.h"
#include "enumeration/EnumDeviceCodes.h"

namespace {

using devicetest::CMemoryDevice;

// A disk in memory, and partitions and system volumes made on it; everything
// is released with the object.
class Disk {
 public:
  Disk() {
    auto* info = new CCollectDiskDeviceInfoStruct();
    info->sectorSize = 512;
    info->totalSectors = 4000000;
    disk_.SetPrivateData(CreateDiskDeviceData(info));
  }
  ~Disk() {
    for (IStorageDevice* d : owned_) d->Release();
  }

  IStorageDevice* disk() { return &disk_; }

  IStorageDevice* Partition(int number, int64_t start, int64_t count, uint32_t state = 0) {
    IStorageDevice* p = Own(CreatePartitionDevice(&disk_, start, count));
    EXPECT_EQ(p->Open(), 1);
    auto* info = new CCollectedPartitionDeviceInfoStruct();
    info->state = state;
    info->sectorSize = 512;
    info->sectorCount = count;
    info->parentDisk = &disk_;
    info->partitionNumber = number;
    info->startSector = start;
    p->SetPrivateData(CreatePartitionDeviceData(info));
    return p;
  }

  // A system volume: a device of kind 2 with a volume record.
  IStorageDevice* Volume(int number, int64_t total, uint32_t sectorSize = 512) {
    IStorageDevice* v = Own(new CMemoryDevice({}, sectorSize, total, STORAGE_DEVICE_VOLUME));
    auto* info = new CCollectedVolumeDeviceInfoStruct();
    info->partitionNumber = number;
    info->sectorSize = sectorSize;
    info->totalSectors = total;
    v->SetPrivateData(CreateVolumeDeviceData(info));
    return v;
  }

  IStorageDevice* Own(IStorageDevice* d) {
    owned_.push_back(d);
    return d;
  }

  // The merged list of `volumes` and `parts`; the disk owns what was made.
  std::vector<IStorageDevice*> Merge(std::vector<IStorageDevice*> volumes, std::vector<IStorageDevice*> parts,
                                     CMergeVolumeAndPartition merge = {}) {
    std::list<IStorageDevice*> out;
    EXPECT_EQ(merge.MergeAsVolume(out, volumes.data(), static_cast<int>(volumes.size()), parts.data(),
                                  static_cast<int>(parts.size())),
              0u);
    for (IStorageDevice* v : out) {
      if (std::find(volumes.begin(), volumes.end(), v) == volumes.end()) Own(v);
    }
    return {out.begin(), out.end()};
  }

 private:
  CMemoryDevice disk_{{}, 512, 4000000, STORAGE_DEVICE_DISK};
  std::vector<IStorageDevice*> owned_;
};

TEST(IsSameDevice, AllowsLessThan0xA00001BytesOfDifferenceAndTheSameSectorSize) {
  Disk d;
  CMergeVolumeAndPartition merge;
  IStorageDevice* p = d.Partition(1, 2048, 1000000);
  for (auto [sectors, sectorSize, same] : {std::tuple{1000000 + 20480, 512u, 1},  // 10485760 bytes apart
                                           {1000000 + 20481, 512u, 0},
                                           {1000000 - 20481, 512u, 0},
                                           {1000000, 4096u, 0}}) {
    int answer = -1;
    EXPECT_EQ(merge.IsSameDevice(p, d.Volume(1, sectors, sectorSize), answer), 0u);
    EXPECT_EQ(answer, same) << sectors << " sectors of " << sectorSize;
  }
  EXPECT_EQ(d.Merge({d.Volume(1, 1000000 + 20481)}, {p}).size(), 2u);  // both listed
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
  const auto out = d.Merge({v2}, {p1, p2}, merge);
  ASSERT_EQ(out.size(), 2u);
  EXPECT_EQ(out[0], v2);
  EXPECT_EQ(VolumeRecordOf(out[1])->partitionNumber, 1);
  EXPECT_EQ(VolumeRecordOf(out[1])->startSector, 2048);
}

TEST(ConvertPartition2Volume, RefusesWhatIsNoUsablePartitionAndAFailureAppendsNothing) {
  Disk d;
  CVolumePartitionConverter converter;
  IStorageDevice* v = reinterpret_cast<IStorageDevice*>(1);
  EXPECT_EQ(converter.ConvertPartition2Volume(v, d.Volume(1, 100)), enumcode::kConvertNotPartition);
  EXPECT_EQ(v, nullptr);
  EXPECT_EQ(converter.ConvertPartition2Volume(v, nullptr), enumcode::kConvertNotPartition);
  EXPECT_EQ(converter.ConvertPartition2Volume(v, d.Own(CreatePartitionDevice(d.disk(), 0, 10))),
            enumcode::kConvertNoRecord);
  EXPECT_EQ(converter.ConvertPartition2Volume(v, d.Partition(1, 0, 10, /*state=*/1)), enumcode::kConvertNotMade);
  CCollectedVolumeDeviceInfoStruct used;
  used.state = 2;
  CCollectedPartitionDeviceInfoStruct from;
  EXPECT_EQ(converter.PartitionInfo2VolumeInfo(&used, &from), enumcode::kConvertRecordInUse);
  EXPECT_EQ(converter.PartitionInfo2VolumeInfo(nullptr, &from), enumcode::kConvertNullArgument);

  // The volume made from the good partition is released (the sanitizer build checks).
  std::vector<IStorageDevice*> volumes{d.Volume(3, 1000000)};  // far from both in size
  std::vector<IStorageDevice*> parts{d.Partition(1, 0, 100), d.Partition(2, 100, 100, /*state=*/1)};
  std::list<IStorageDevice*> out;
  EXPECT_EQ(CMergeVolumeAndPartition().MergeAsVolume(out, volumes.data(), 1, parts.data(), 2),
            enumcode::kConvertNotMade);
  EXPECT_TRUE(out.empty());
}

TEST(DevListSortAlgorithm, OrdersByNumberOrDiskNameAndKeepsTheOrderOfWhatItCannotCompare) {
  Disk d;
  auto numbers = [](std::list<IStorageDevice*> list) {
    list.sort(CDevListSortAlgorithm());
    std::vector<int> out;
    for (IStorageDevice* x : list) {
      out.push_back(VolumeRecordOf(x) ? VolumeRecordOf(x)->partitionNumber : PartitionRecordOf(x)->partitionNumber);
    }
    return out;
  };
  EXPECT_EQ(numbers({d.Volume(3, 10), d.Volume(1, 10), d.Volume(2, 10), d.Volume(-1, 10)}),
            (std::vector<int>{-1, 1, 2, 3}));
  EXPECT_EQ(numbers({d.Partition(5, 0, 1), d.Partition(-1, 0, 1), d.Partition(1, 0, 1)}), (std::vector<int>{-1, 1, 5}));

  std::list<IStorageDevice*> disks;
  for (const char* name : {"disk2", "disk10", "disk1"}) {
    auto* info = new CCollectDiskDeviceInfoStruct();
    SetRecordText(info->bsdName, name);
    disks.push_back(d.Own(new CMemoryDevice({}, 512, 10, STORAGE_DEVICE_DISK)));
    disks.back()->SetPrivateData(CreateDiskDeviceData(info));
  }
  disks.sort(CDevListSortAlgorithm());
  std::string names;
  for (IStorageDevice* disk : disks) names += DiskRecordOf(disk)->bsdName + std::string(" ");
  EXPECT_EQ(names, "disk1 disk10 disk2 ");

  CDevListSortAlgorithm before;
  IStorageDevice* v = d.Volume(1, 10);
  IStorageDevice* p = d.Partition(0, 0, 1);
  IStorageDevice* bare = d.Own(new CMemoryDevice({}, 512, 10, STORAGE_DEVICE_VOLUME));
  for (auto [a, b] : {std::pair{v, p}, {p, v}, {bare, v}, {v, bare}, {nullptr, v}, {v, nullptr}}) {
    EXPECT_FALSE(before(a, b));
  }
}

}  // namespace
