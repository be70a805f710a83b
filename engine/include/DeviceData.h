// What a device is: the records that device enumeration attaches to every
// device it makes, and the holders that carry them.
//
// A device owns its holder (IStorageDevice::SetPrivateData), and a holder owns
// its record: it deletes the record with itself. Users find a record by the
// run-time kind of the holder: a disk record only through an IDiskDeviceData,
// a volume record only through an IVolumeDeviceData, and so on.
//
// Text fields are fixed arrays and always hold a terminating NUL (texts longer
// than the field are cut); store them with SetRecordText.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>

class IStorageDevice;

// The partition scheme of a disk.
enum enumDiskPartitionScheme : uint32_t {
  DISK_PARTITION_SCHEME_UNKNOWN = 0,  // no table (or a file system on the whole disk)
  DISK_PARTITION_SCHEME_MBR = 1,
  DISK_PARTITION_SCHEME_GPT = 2,
  DISK_PARTITION_SCHEME_APM = 3,
};

// A whole disk.
struct CCollectDiskDeviceInfoStruct {
  uint32_t state = 0;            // 0 usable
  uint32_t busType = 0;          // DiskBusType
  uint32_t partitionScheme = 0;  // enumDiskPartitionScheme
  uint32_t writable = 0;         // 1 writable, 0 not (or unknown)
  char registryName[128] = {};   // model or backing file; empty when unknown
  char bsdName[128] = {};        // kernel name, e.g. "sda", "loop0"
  int64_t sectorSize = 0;        // logical sector size in bytes
  int64_t totalSectors = 0;
  int64_t cylinders = 0;        // totalSectors / 16065
  int64_t heads = 0;            // 255
  int64_t sectorsPerTrack = 0;  // 63
  int32_t deviceID = 0;         // (major << 24) | minor
  char devicePath[1024] = {};   // the node the device was opened on: "/dev/<bsdName>"
};

// A volume: one the operating system sees, or a table partition presented as
// a volume.
struct CCollectedVolumeDeviceInfoStruct {
  uint32_t state = 0;           // 0 usable
  uint32_t fileSystemType = 0;  // enumFILE_SYSTEM_TYPE
  char label[100] = {};
  char volumeName[1024] = {};
  char bsdName[128] = {};
  int64_t sectorSize = 0;
  int64_t totalSectors = 0;
  int32_t deviceID = 0;
  IStorageDevice* parentDisk = nullptr;  // not owned
  int32_t partitionNumber = 0;           // -1 for a whole medium
  uint8_t gptTypeGUID[16] = {};          // GPT on-disk byte order
  uint8_t gptPartitionGUID[16] = {};
  char apmType[33] = {};    // APM partition type text (up to 32 characters)
  // On the parent disk, in its sectors: 0 for a whole medium, -1 when the
  // system does not tell where its partition starts.
  int64_t startSector = 0;
  uint32_t mounted = 0;     // 1 when the volume has a mount point
};

// A partition listed by a disk's partition table.
struct CCollectedPartitionDeviceInfoStruct {
  uint32_t state = 0;           // copied from the disk record
  uint32_t fileSystemType = 0;  // enumFILE_SYSTEM_TYPE
  char label[100] = {};
  int64_t sectorSize = 0;  // the disk's
  int64_t sectorCount = 0;
  int32_t deviceID = 0;                  // the disk's
  IStorageDevice* parentDisk = nullptr;  // not owned
  int32_t partitionNumber = 0;           // -1 (0xFFFFFFFF) for the whole-disk pseudo-partition
  uint8_t gptTypeGUID[16] = {};          // GPT on-disk byte order
  uint8_t gptPartitionGUID[16] = {};
  char apmType[33] = {};
  int64_t startSector = 0;  // on the parent disk, in its sectors
};

// Stores `text` (null counts as "") in a fixed field, cut to the field's size
// minus one and always terminated.
template <size_t N>
inline void SetRecordText(char (&field)[N], const char* text) {
  static_assert(N > 0);
  size_t n = 0;
  if (text != nullptr) {
    while (n + 1 < N && text[n] != '\0') ++n;
    std::memcpy(field, text, n);
  }
  std::memset(field + n, 0, N - n);
}

// Holders. Virtual operations in slot order: destructor pair, then the getter
// and setter of the record.
class IStorageDeviceData {
 public:
  virtual ~IStorageDeviceData() = default;
  void Release() { delete this; }
};

class IDiskDeviceData : public IStorageDeviceData {
 public:
  virtual CCollectDiskDeviceInfoStruct* GetDiskInfo() = 0;
  // Takes ownership of `info` and deletes the record held before.
  virtual void SetDiskInfo(CCollectDiskDeviceInfoStruct* info) = 0;
};

class IVolumeDeviceData : public IStorageDeviceData {
 public:
  virtual CCollectedVolumeDeviceInfoStruct* GetVolumeInfo() = 0;
  virtual void SetVolumeInfo(CCollectedVolumeDeviceInfoStruct* info) = 0;
};

class IPartitionDeviceData : public IStorageDeviceData {
 public:
  virtual CCollectedPartitionDeviceInfoStruct* GetPartitionInfo() = 0;
  virtual void SetPartitionInfo(CCollectedPartitionDeviceInfoStruct* info) = 0;
};

// Wrap a record made with `new` (null allowed); the holder owns it from then
// on. Null when the holder cannot be made, and then the record stays the
// caller's.
IDiskDeviceData* CreateDiskDeviceData(CCollectDiskDeviceInfoStruct* info);
IVolumeDeviceData* CreateVolumeDeviceData(CCollectedVolumeDeviceInfoStruct* info);
IPartitionDeviceData* CreatePartitionDeviceData(CCollectedPartitionDeviceInfoStruct* info);

// The record of the holder that `device` carries, when the holder is of that
// kind; null for a null device, no holder, a holder of another kind or one
// without a record.
CCollectDiskDeviceInfoStruct* DiskRecordOf(IStorageDevice* device);
CCollectedVolumeDeviceInfoStruct* VolumeRecordOf(IStorageDevice* device);
CCollectedPartitionDeviceInfoStruct* PartitionRecordOf(IStorageDevice* device);
