// The read-only, sector-addressed device that everything the engine reads
// goes through: whole disks and OS volumes (device nodes or image files),
// partition windows on a disk, partitions presented as volumes, and the
// caching and in-memory devices of the scanners.
//
// Nothing is ever written through a device.
//
// Reads may come from several threads at once (the complete scan's read-ahead
// thread and its worker share one device), so ReadSector must not depend on a
// shared file position and must keep its last error per device safely.
#pragma once

#include <cstdint>

#include "ResultCode.h"

class IStorageDeviceData;

// Kinds answered by GetType.
enum : uint32_t {
  STORAGE_DEVICE_DISK = 0,
  STORAGE_DEVICE_PARTITION = 1,
  STORAGE_DEVICE_VOLUME = 2,
  STORAGE_DEVICE_CACHED = 3,  // the complete scan's caching device, in-memory devices
};

// Virtual operations in slot order; implementations keep this order.
class IStorageDevice {
 public:
  virtual ~IStorageDevice() = default;

  // 1 opened, 0 failed (see GetLastError).
  virtual int Open() = 0;
  virtual int Close() = 0;
  // Reads `sectorCount` whole sectors from `firstSector` into `buffer`, which
  // holds sectorCount x GetSectorSize() bytes. Non-zero on success; 0 on
  // failure, and then the buffer's content is unspecified and must not be
  // used, unless the error says that only some sectors could not be read
  // (result::kErrUnreadableSectors, UnreadableSectors.h).
  virtual int ReadSector(void* buffer, int64_t firstSector, int64_t sectorCount) = 0;
  virtual uint32_t GetSectorSize() = 0;
  virtual int64_t GetTotalSectors() = 0;
  virtual int IOCtl(uint64_t code, void* data) = 0;
  // The device-data record attached to the device (owned by the device).
  virtual IStorageDeviceData* GetPrivateData() = 0;
  // Takes ownership of `data`, releasing the record held before.
  virtual void SetPrivateData(IStorageDeviceData* data) = 0;
  // STORAGE_DEVICE_DISK, _PARTITION, _VOLUME or _CACHED.
  virtual uint32_t GetType() = 0;
  // The result code of the last Open, Close, ReadSector, IOCtl or
  // SetPrivateData call (of this thread's, for devices that threads share:
  // ThreadLastError.h).
  virtual ResultCode GetLastError() = 0;

  // Gives back an object made by a Create... function.
  void Release() { delete this; }
};

// Devices that are a window on a parent device (table partitions and the
// virtual volumes made from them) also tell where the window starts.
class IPartitionStorageDevice : public IStorageDevice {
 public:
  // The window's first sector on the parent device.
  virtual int64_t GetStartSector() = 0;
};
