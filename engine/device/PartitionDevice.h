// Windows on a parent device: table partitions (kind 1) and partitions
// presented as volumes (kind 2). A window reads through its parent, which it
// does not own and which must outlive it.
#pragma once

#include <cstdint>

#include "UnreadableSectors.h"
#include "device/RecordDevice.h"
#include "device/StorageDeviceCodes.h"

// The shape that partition windows and virtual volumes share.
class CPartitionWindowDevice : public CRecordDevice<IPartitionStorageDevice>, public IUnreadableSectors {
 public:
  CPartitionWindowDevice(IStorageDevice* parent, int64_t startSector, int64_t totalSectors);

  // Takes the sector size of the parent disk's record, or the parent's own
  // sector size when the parent carries no disk record (a caching device, a
  // volume). Fails only without a parent.
  int Open() override;
  int Close() override;
  // Reads through the parent. A range that runs past the window's end gives
  // the sectors inside it followed by zeros; a start outside the window, a
  // count that is not positive or exceeds the window, or a window whose sector
  // size differs from the parent's, is refused. A parent read that lost
  // sectors (UnreadableSectors.h) passes its code and its buffer on.
  int ReadSector(void* buffer, int64_t firstSector, int64_t sectorCount) override;
  int IOCtl(uint64_t code, void* data) override;
  // The parent's unreadable sectors that lie in the window, in its sectors.
  void FindUnreadable(int64_t first, int64_t count, SectorRuns& out) override;
  // A record sets the sector size and count; the start never changes.
  int64_t GetStartSector() override { return startSector_; }

  IStorageDevice* GetParentDevice() const { return parent_; }

  // The range rule of ReadSector: 0 when [first, first + count) may be read
  // from a window of `total` sectors, with `readable` set to the sectors that
  // lie inside it; otherwise the failure code.
  static ResultCode IsValidRange(int64_t first, int64_t count, int64_t& readable, int64_t total);

 protected:
  static constexpr RecordCodes kCodes = {devicecode::kWindowNoData, devicecode::kWindowWrongData,
                                         devicecode::kWindowNoInfo};

 private:
  IStorageDevice* parent_;
  const int64_t startSector_;
};

// A partition that a disk's table lists; its record is an IPartitionDeviceData.
class CPartitionDevice final : public CPartitionWindowDevice {
 public:
  using CPartitionWindowDevice::CPartitionWindowDevice;
  uint32_t GetType() override { return STORAGE_DEVICE_PARTITION; }

 protected:
  ResultCode GetRecordGeometry(IStorageDeviceData* data, Geometry& out) override {
    return ReadRecordGeometry(data, &IPartitionDeviceData::GetPartitionInfo,
                              &CCollectedPartitionDeviceInfoStruct::sectorCount, kCodes, out);
  }
};

// A window presented as a volume (a partition the operating system does not
// show, or a volume found by a scan); its record is an IVolumeDeviceData.
class CPartitionVirtualVolumeDevice final : public CPartitionWindowDevice {
 public:
  using CPartitionWindowDevice::CPartitionWindowDevice;
  uint32_t GetType() override { return STORAGE_DEVICE_VOLUME; }

 protected:
  ResultCode GetRecordGeometry(IStorageDeviceData* data, Geometry& out) override {
    return ReadRecordGeometry(data, &IVolumeDeviceData::GetVolumeInfo, &CCollectedVolumeDeviceInfoStruct::totalSectors,
                              kCodes, out);
  }
};

// A new, unopened window of `totalSectors` sectors from `startSector` of
// `parent`; null when the start or the count is negative.
IStorageDevice* CreatePartitionDevice(IStorageDevice* parent, int64_t startSector, int64_t totalSectors);

// A virtual volume over the same window as `partition`, which must carry a
// partition record of state 0 that names its parent disk; the volume reads
// that disk from the record's start sector for its sector count. Null
// otherwise.
IStorageDevice* CreatePartitionVirtualVolumeDevice(IStorageDevice* partition);
