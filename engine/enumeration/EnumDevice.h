// The workers of device enumeration: they turn the media that a media source
// found into opened, read-only devices carrying their records.
#pragma once

#include <cstdint>
#include <list>
#include <map>
#include <string>
#include <vector>

#include "DeviceData.h"
#include "ResultCode.h"
#include "StorageDevice.h"
#include "enumeration/MediaSource.h"

// What a pass found besides the devices themselves.
struct EnumFindings {
  // Devices that could not be opened because the process may not read them.
  int permissionDenied = 0;
  // Where each operating-system volume starts on its disk, in the disk's
  // sectors (0 for a whole medium).
  std::map<IStorageDevice*, int64_t> volumeStarts;
};

class CEnumDisk {
 public:
  // Appends an opened disk device with its disk record for every whole disk
  // of `media` that can be opened, ordered by kernel name.
  static ResultCode ExecEnum(const std::vector<MediaRecord>& media, std::list<IStorageDevice*>& disks,
                             EnumFindings& findings);
};

class CEnumVolume {
 public:
  // Appends the operating system's volumes of `disk`: its partitions when its
  // scheme is known, else the whole disk itself; ordered by partition number.
  static ResultCode ExecEnum(const std::vector<MediaRecord>& media, IStorageDevice* disk,
                             std::list<IStorageDevice*>& volumes, EnumFindings& findings);
};

class CEnumPartition {
 public:
  // Appends a partition device with its record for every partition that the
  // disk's table lists (one whole-disk pseudo-partition when it lists none),
  // ordered by number. A failure ends the pass (devices made so far stay in
  // the list, unsorted) and is returned.
  static ResultCode ExecEnum(IStorageDevice* disk, std::list<IStorageDevice*>& partitions);
};

// Virtual operations: destructor pair, EnumDiskDevice, EnumPartitionDevice,
// EnumVolumeDevice. Each empties the given list (without releasing what it
// held: pass an empty one) and fills it; the devices belong to the caller.
class CEnumDevice {
 public:
  explicit CEnumDevice(std::vector<MediaRecord> media) : media_(std::move(media)) {}
  virtual ~CEnumDevice() = default;

  virtual ResultCode EnumDiskDevice(std::list<IStorageDevice*>& disks);
  virtual ResultCode EnumPartitionDevice(IStorageDevice* disk, std::list<IStorageDevice*>& partitions);
  // A null disk gives an empty list.
  virtual ResultCode EnumVolumeDevice(IStorageDevice* disk, std::list<IStorageDevice*>& volumes);

  const EnumFindings& Findings() const { return findings_; }

 private:
  std::vector<MediaRecord> media_;
  EnumFindings findings_;
};

// Opens `path` read-only only to learn why a device open failed: the errno,
// or 0 when it opens now.
int OpenErrno(const std::string& path);
