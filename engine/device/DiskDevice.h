// Devices on an operating-system device node or a disk-image file: whole
// disks (kind 0) and OS volumes (kind 2). Both are opened read-only and read
// with positional reads, so any number of threads may read at once.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "UnreadableSectors.h"
#include "device/RecordDevice.h"
#include "device/SectorSalvage.h"
#include "device/StorageDeviceCodes.h"

// The shape that disks and volumes share.
class CRawDevice : public CRecordDevice<IStorageDevice>, public IUnreadableSectors {
 public:
  explicit CRawDevice(const char* path);
  ~CRawDevice() override;

  // Opens the path read-only. A block device reports its logical sector size
  // and its size; an image file counts in 512-byte sectors (a partial last
  // sector is not counted). A device record set later overrides both.
  int Open() override;
  int Close() override;
  // Reads whole sectors at their own offset (no shared file position). Short
  // reads and interruptions are retried; bytes past the end of the device
  // read as zeros; a read that starts at or past the end fails. A range the
  // medium answers with an I/O error is read around the damage
  // (SectorSalvage.h): the read then fails with devicecode::kReadBadSectors,
  // every sector the medium gave in the buffer and zeros for the others,
  // which FindUnreadable names. Other errors fail the read as they come.
  int ReadSector(void* buffer, int64_t firstSector, int64_t sectorCount) override;
  int IOCtl(uint64_t code, void* data) override;
  void FindUnreadable(int64_t first, int64_t count, SectorRuns& out) override;

  const char* GetDevicePath() const { return path_.c_str(); }
  bool IsOpen() const { return reader_ != nullptr; }
  // The salvaging reader of an open device (null when closed).
  const CSalvagingReader* Reader() const { return reader_.get(); }
  // Opens the device on `medium` instead of its path, with the given
  // geometry: how tests put a medium that fails on chosen ranges under it.
  void OpenOn(std::unique_ptr<IRawMedium> medium, uint32_t sectorSize, int64_t totalSectors);

 protected:
  static constexpr RecordCodes kCodes = {devicecode::kDiskNoData, devicecode::kDiskWrongData, devicecode::kDiskNoInfo};

 private:
  std::unique_ptr<CSalvagingReader> reader_;
  // The whole path is kept: a cut path would name another file.
  std::string path_;
};

// A whole disk; its record is an IDiskDeviceData.
class CDiskDevice final : public CRawDevice {
 public:
  explicit CDiskDevice(const char* path) : CRawDevice(path) {}
  uint32_t GetType() override { return STORAGE_DEVICE_DISK; }

 protected:
  ResultCode GetRecordGeometry(IStorageDeviceData* data, Geometry& out) override {
    return ReadRecordGeometry(data, &IDiskDeviceData::GetDiskInfo, &CCollectDiskDeviceInfoStruct::totalSectors, kCodes,
                              out);
  }
};

// A volume the operating system sees; its record is an IVolumeDeviceData.
class CVolumeDevice final : public CRawDevice {
 public:
  explicit CVolumeDevice(const char* path) : CRawDevice(path) {}
  uint32_t GetType() override { return STORAGE_DEVICE_VOLUME; }

 protected:
  ResultCode GetRecordGeometry(IStorageDeviceData* data, Geometry& out) override {
    return ReadRecordGeometry(data, &IVolumeDeviceData::GetVolumeInfo, &CCollectedVolumeDeviceInfoStruct::totalSectors,
                              kCodes, out);
  }
};

// New, unopened devices on `path` ("/dev/<name>" or an image file); null for
// a null or empty path.
IStorageDevice* CreateDiskDevice(const char* path);
IStorageDevice* CreateVolumeDevice(const char* path);
