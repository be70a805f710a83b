// Helpers for the enumeration tests: a stand-in machine (a sysfs tree, device
// nodes that are image files, a mount table) and what the real tools (lsblk,
// blkid) report about a device.
#pragma once

#include <cstdint>
#include <filesystem>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "DeviceData.h"
#include "StorageDevice.h"
#include "engine/partition/PartitionToolOutput.h"
#include "enumeration/EnumDeviceEx.h"
#include "enumeration/MediaSource.h"
#include "support/TestSupport.h"

namespace enumtest {

namespace fs = std::filesystem;

struct DiskSpec {
  std::string name = {};
  uint32_t major = 8;
  uint32_t minor = 0;
  uint64_t size512 = 0;    // sysfs "size"
  uint32_t logical = 512;  // queue/logical_block_size
  bool readOnly = false;
  // Where the disk hangs in the device tree, under sys/ (the block entry is a
  // link to it); "devices/virtual/block/<name>" when empty.
  std::string devicePath = {};
  std::string backingFile = {};  // loop/backing_file
  std::string scsiType = {};     // device/type
  std::string vendor = {};       // device/vendor
  std::string model = {};        // device/model
};

class FakeMachine {
 public:
  FakeMachine();
  fs::path sys() const { return dir_.path() / "sys"; }
  fs::path dev() const { return dir_.path() / "dev"; }
  fs::path mountinfo() const { return dir_.path() / "mountinfo"; }
  fs::path operator/(const std::string& name) const { return dir_ / name; }

  // The disk's sysfs folder.
  fs::path AddDisk(const DiskSpec& disk);
  fs::path AddPartition(const std::string& disk, const std::string& name, int number, uint32_t major, uint32_t minor,
                        int64_t start512, uint64_t size512);
  // dev/<name> becomes a link to `image`.
  void SetNode(const std::string& name, const fs::path& image);
  void SetMountInfo(const std::string& text);
  void Write(const fs::path& relative, const std::string& text);

  std::unique_ptr<IMediaSource> Source() const;
  std::vector<MediaRecord> List() const;

 private:
  testsupport::TempDir dir_;
  std::map<std::string, fs::path> diskDirs_;
};

// Runs `command` to make a file system in a new file of `bytes` bytes and
// copies it into `image` at `offset` (without truncating the image); the
// file is kept as a stand-in partition node. `command` gets the file's path
// appended.
fs::path FormatInto(const fs::path& image, uint64_t offset, uint64_t bytes, const std::string& command,
                    const fs::path& file);

// Writes an MBR into an image file with sfdisk from numbered entries such as
// "1 : size=16M, type=c", "5 : size=12M, type=7" (numbers 5 onward are
// logical partitions inside the extended one).
void MakeMbr(const fs::path& image, const std::vector<std::string>& entries);

// Tool partitions sorted by number, types and GUIDs kept.
std::vector<parttest::ToolPartition> SortedByNumber(std::vector<parttest::ToolPartition> parts);

// `blkid -p -o export` of a device or image: KEY -> value; empty when blkid
// finds nothing.
std::map<std::string, std::string> Blkid(const std::string& path);

// One line of `lsblk -J -b -o NAME,SIZE,LOG-SEC,MAJ:MIN,START,PARTUUID,PARTTYPE,LABEL,MOUNTPOINT`
// for a device and its partitions (null columns are empty texts).
struct LsblkRow {
  std::string name = {};
  uint64_t size = 0;
  uint32_t logSec = 0;
  uint32_t major = 0;
  uint32_t minor = 0;
  int64_t start = -1;
  std::string partUUID;
  std::string partType;
  std::string label;
  std::string mountpoint;
};
std::vector<LsblkRow> Lsblk(const std::string& path);

// The records of a device, or null.
CCollectDiskDeviceInfoStruct* DiskInfo(IStorageDevice* device);
CCollectedVolumeDeviceInfoStruct* VolumeInfo(IStorageDevice* device);
CCollectedPartitionDeviceInfoStruct* PartitionInfo(IStorageDevice* device);

// What an initialised enumerator hands out (failures are test failures).
std::vector<IStorageDevice*> Disks(IEnumDeviceEx& e);
std::vector<IStorageDevice*> Partitions(IEnumDeviceEx& e, IStorageDevice* disk);
std::vector<IStorageDevice*> Volumes(IEnumDeviceEx& e, IStorageDevice* disk);
// The disk whose record names `devicePath`, or null.
IStorageDevice* FindDisk(IEnumDeviceEx& e, const std::string& devicePath);

// The type enumeration should record for a volume that blkid says holds
// `blkidType` (and `blkidVersion` for FAT): that type once the file system's
// analyzer has landed and recognises the volume, unknown (9) until then.
uint32_t ExpectedFileSystemType(IStorageDevice* volume, const std::string& blkidType, const std::string& blkidVersion);

// Parses /proc/self/mountinfo and checks every mount against what findmnt
// reports of the same table.
void ExpectMountInfoAgreesWithFindmnt();

}  // namespace enumtest
