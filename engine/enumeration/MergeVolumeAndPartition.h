// The volume list of a disk: the operating system's volumes of the disk plus
// a volume made from every table partition that matches none of them, so that
// unmounted and foreign partitions can be scanned like volumes; and the order
// of every device list.
#pragma once

#include <cstdint>
#include <list>
#include <map>

#include "DeviceData.h"
#include "ResultCode.h"
#include "StorageDevice.h"

class CMergeVolumeAndPartition {
 public:
  // Tells where an operating-system volume starts on its disk, in the disk's
  // sectors (0 for a whole medium). With the starts of both sides known, a
  // partition matches a volume only at the same start: sizes alone cannot
  // tell two partitions of equal size apart, and one of them would vanish
  // from the list.
  void SetVolumeStartSector(IStorageDevice* volume, int64_t startSector) { volumeStarts_[volume] = startSector; }

  // Appends to `out` every volume in array order, then a new virtual volume
  // (the caller owns it) for each partition that is the same device as no
  // volume, in partition-array order. The first conversion that fails ends
  // the merge with its code, releases the volumes it made and appends nothing.
  ResultCode MergeAsVolume(std::list<IStorageDevice*>& out, IStorageDevice** volumes, int volumeCount,
                           IStorageDevice** partitions, int partitionCount);

  // Appends, in array order, every partition for which no volume is the same
  // device.
  ResultCode GetPartListNonexistentInVolumeList(std::list<IStorageDevice*>& out, IStorageDevice** volumes,
                                                int volumeCount, IStorageDevice** partitions, int partitionCount);

  // Same sector size, and: at the same start when both starts are known, and
  // in any case of equal sizes or sizes less than 0xA00001 bytes apart.
  ResultCode IsSameDevice(IStorageDevice* partition, IStorageDevice* volume, int& same);

 private:
  std::map<IStorageDevice*, int64_t> volumeStarts_;
};

class CVolumePartitionConverter {
 public:
  // Converts each partition in order and appends the volumes; the first
  // failure is returned (volumes made before it stay in `volumesOut`).
  ResultCode ConvertPartitions2Volumes(std::list<IStorageDevice*>& volumesOut, std::list<IStorageDevice*>& partitions);
  // A new, opened virtual volume over the partition's window carrying a
  // volume record made from the partition record (the caller owns it).
  ResultCode ConvertPartition2Volume(IStorageDevice*& volumeOut, IStorageDevice* partition);
  // Fills a zeroed volume record from a partition record; refuses a record
  // whose state is already non-zero.
  ResultCode PartitionInfo2VolumeInfo(CCollectedVolumeDeviceInfoStruct* volume,
                                      CCollectedPartitionDeviceInfoStruct* partition);
};

// The order of device lists, for a stable sort: disks by kernel name (byte
// order), partitions and volumes by partition number (a whole medium, -1,
// first). Devices of different kinds, or without their record, keep the
// order found.
class CDevListSortAlgorithm {
 public:
  bool operator()(IStorageDevice* a, IStorageDevice* b) const;

  static bool DiskSortAlgorithm(IStorageDevice* a, IStorageDevice* b);
  static bool PartSortAlgorithm(IStorageDevice* a, IStorageDevice* b);
  static bool VolumeSortAlgorithm(IStorageDevice* a, IStorageDevice* b);
};
