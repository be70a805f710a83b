// Devices on an operating-system device node or a disk-image file: whole
// disks (kind 0) and OS volumes (kind 2). Both are opened read-only and read
// with positional reads, so any number of threads may read at once.
#pragma once

#include <atomic>
#include <cstdint>
#include <string>

#include "DeviceData.h"
#include "StorageDevice.h"

// The shape that disks and volumes share.
class CRawDevice : public IStorageDevice {
 public:
  explicit CRawDevice(const char* path);
  ~CRawDevice() override;
  CRawDevice(const CRawDevice&) = delete;
  CRawDevice& operator=(const CRawDevice&) = delete;

  // Opens the path read-only. A block device reports its logical sector size
  // and its size; an image file counts in 512-byte sectors (a partial last
  // sector is not counted). A device record set later overrides both.
  int Open() override;
  int Close() override;
  // Reads whole sectors at their own offset (no shared file position). Short
  // reads and interruptions are retried; bytes past the end of the device
  // read as zeros; a read that starts at or past the end, or that an I/O
  // error stops, fails.
  int ReadSector(void* buffer, int64_t firstSector, int64_t sectorCount) override;
  uint32_t GetSectorSize() override { return sectorSize_.load(std::memory_order_relaxed); }
  int64_t GetTotalSectors() override { return totalSectors_.load(std::memory_order_relaxed); }
  int IOCtl(uint64_t code, void* data) override;
  IStorageDeviceData* GetPrivateData() override { return data_; }
  // Keeps `data` (releasing the old record) and takes the sector size and
  // count from its record when it is of this device's kind.
  void SetPrivateData(IStorageDeviceData* data) override;
  ResultCode GetLastError() override { return lastError_.load(std::memory_order_relaxed); }

  const char* GetDevicePath() const { return path_.c_str(); }
  bool IsOpen() const { return fd_ >= 0; }

 protected:
  struct Geometry {
    int64_t sectorSize;
    int64_t totalSectors;
  };
  // The geometry in this kind's record, or the failure code when there is no
  // record, it is of another kind or holds no structure.
  virtual ResultCode GetRecordGeometry(IStorageDeviceData* data, Geometry& out) = 0;

 private:
  void SetLastError(ResultCode code) { lastError_.store(code, std::memory_order_relaxed); }

  std::atomic<ResultCode> lastError_{0};
  int fd_ = -1;
  // The whole path is kept: a cut path would name another file.
  std::string path_;
  std::atomic<uint32_t> sectorSize_{512};
  std::atomic<int64_t> totalSectors_{0};
  IStorageDeviceData* data_ = nullptr;
};

// A whole disk; its record is an IDiskDeviceData.
class CDiskDevice final : public CRawDevice {
 public:
  explicit CDiskDevice(const char* path) : CRawDevice(path) {}
  uint32_t GetType() override { return STORAGE_DEVICE_DISK; }

 protected:
  ResultCode GetRecordGeometry(IStorageDeviceData* data, Geometry& out) override;
};

// A volume the operating system sees; its record is an IVolumeDeviceData.
class CVolumeDevice final : public CRawDevice {
 public:
  explicit CVolumeDevice(const char* path) : CRawDevice(path) {}
  uint32_t GetType() override { return STORAGE_DEVICE_VOLUME; }

 protected:
  ResultCode GetRecordGeometry(IStorageDeviceData* data, Geometry& out) override;
};

// New, unopened devices on `path` ("/dev/<name>" or an image file); null for
// a null or empty path.
IStorageDevice* CreateDiskDevice(const char* path);
IStorageDevice* CreateVolumeDevice(const char* path);
