// Windows on a parent device: table partitions (kind 1) and partitions
// presented as volumes (kind 2). A window reads through its parent, which it
// does not own and which must outlive it.
#pragma once

#include <atomic>
#include <cstdint>

#include "DeviceData.h"
#include "StorageDevice.h"

// The shape that partition windows and virtual volumes share.
class CPartitionWindowDevice : public IPartitionStorageDevice {
 public:
  CPartitionWindowDevice(IStorageDevice* parent, int64_t startSector, int64_t totalSectors);
  ~CPartitionWindowDevice() override;
  CPartitionWindowDevice(const CPartitionWindowDevice&) = delete;
  CPartitionWindowDevice& operator=(const CPartitionWindowDevice&) = delete;

  // Takes the sector size of the parent disk's record, or the parent's own
  // sector size when the parent carries no disk record (a caching device, a
  // volume). Fails only without a parent.
  int Open() override;
  int Close() override;
  // Reads through the parent. A range that runs past the window's end gives
  // the sectors inside it followed by zeros; a start outside the window, a
  // count that is not positive or exceeds the window, or a window whose sector
  // size differs from the parent's, is refused.
  int ReadSector(void* buffer, int64_t firstSector, int64_t sectorCount) override;
  uint32_t GetSectorSize() override { return sectorSize_.load(std::memory_order_relaxed); }
  int64_t GetTotalSectors() override { return totalSectors_.load(std::memory_order_relaxed); }
  int IOCtl(uint64_t code, void* data) override;
  IStorageDeviceData* GetPrivateData() override { return data_; }
  // Keeps `data` (releasing the old record) and takes the sector size and
  // count from its record when it is of this device's kind; the start sector
  // never changes.
  void SetPrivateData(IStorageDeviceData* data) override;
  ResultCode GetLastError() override { return lastError_.load(std::memory_order_relaxed); }
  int64_t GetStartSector() override { return startSector_; }

  IStorageDevice* GetParentDevice() const { return parent_; }

  // The range rule of ReadSector: 0 when [first, first + count) may be read
  // from a window of `total` sectors, with `readable` set to the sectors that
  // lie inside it; otherwise the failure code.
  static ResultCode IsValidRange(int64_t first, int64_t count, int64_t& readable, int64_t total);

 protected:
  struct Geometry {
    int64_t sectorSize;
    int64_t totalSectors;
  };
  virtual ResultCode GetRecordGeometry(IStorageDeviceData* data, Geometry& out) = 0;

 private:
  void SetLastError(ResultCode code) { lastError_.store(code, std::memory_order_relaxed); }

  std::atomic<ResultCode> lastError_{0};
  IStorageDevice* parent_;
  std::atomic<uint32_t> sectorSize_{512};
  const int64_t startSector_;
  std::atomic<int64_t> totalSectors_;
  IStorageDeviceData* data_ = nullptr;
};

// A partition that a disk's table lists; its record is an IPartitionDeviceData.
class CPartitionDevice final : public CPartitionWindowDevice {
 public:
  using CPartitionWindowDevice::CPartitionWindowDevice;
  uint32_t GetType() override { return STORAGE_DEVICE_PARTITION; }

 protected:
  ResultCode GetRecordGeometry(IStorageDeviceData* data, Geometry& out) override;
};

// A window presented as a volume (a partition the operating system does not
// show, or a volume found by a scan); its record is an IVolumeDeviceData.
class CPartitionVirtualVolumeDevice final : public CPartitionWindowDevice {
 public:
  using CPartitionWindowDevice::CPartitionWindowDevice;
  uint32_t GetType() override { return STORAGE_DEVICE_VOLUME; }

 protected:
  ResultCode GetRecordGeometry(IStorageDeviceData* data, Geometry& out) override;
};

// A new, unopened window of `totalSectors` sectors from `startSector` of
// `parent`; null when the start or the count is negative.
IStorageDevice* CreatePartitionDevice(IStorageDevice* parent, int64_t startSector, int64_t totalSectors);

// A virtual volume over the same window as `partition`, which must carry a
// partition record of state 0 that names its parent disk; the volume reads
// that disk from the record's start sector for its sector count. Null
// otherwise.
IStorageDevice* CreatePartitionVirtualVolumeDevice(IStorageDevice* partition);
