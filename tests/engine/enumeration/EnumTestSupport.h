// Helpers for the enumeration tests: a stand-in machine (a sysfs tree, device
// nodes that are image files, a mount table) and what the real tools (lsblk,
// blkid, findmnt) report.
#pragma once

#include <cstdint>
#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "StorageDevice.h"
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
  fs::path operator/(const std::string& name) const { return dir_ / name; }

  void AddDisk(const DiskSpec& disk);
  void AddPartition(const std::string& disk, const std::string& name, int number, uint32_t major, uint32_t minor,
                    int64_t start512, uint64_t size512);
  // dev/<name> becomes a link to `image`.
  void SetNode(const std::string& name, const fs::path& image);
  void SetMountInfo(const std::string& text) { Write("mountinfo", text); }
  void Write(const fs::path& relative, const std::string& text);

  std::unique_ptr<IMediaSource> Source() const;
  std::vector<MediaRecord> List() const;

 private:
  testsupport::TempDir dir_;
  std::map<std::string, fs::path> diskDirs_;
};

// Writes an MBR into an image with sfdisk from entries such as
// "1 : size=16M, type=c" (numbers 5 onward are logical partitions).
void MakeMbr(const fs::path& image, const std::vector<std::string>& entries);

// `blkid -p -o export`: KEY -> value; empty when blkid finds nothing.
std::map<std::string, std::string> Blkid(const std::string& path);
// A value of Blkid's answer, empty when absent.
inline std::string Value(const std::map<std::string, std::string>& values, const std::string& key) {
  const auto it = values.find(key);
  return it == values.end() ? std::string() : it->second;
}

// What lsblk reports of a device and each of its partitions (empty texts for
// what it does not know).
struct LsblkRow {
  std::string name = {};
  uint64_t size = 0;
  uint32_t logSec = 0;
  uint32_t major = 0;
  uint32_t minor = 0;
  std::string partUUID, partType, label, mountpoint;
};
std::vector<LsblkRow> Lsblk(const std::string& path);

// What an initialised enumerator hands out (failures are test failures).
std::vector<IStorageDevice*> Listed(const std::function<ResultCode(IStorageDevice**, int&)>& enumerate);
inline std::vector<IStorageDevice*> Disks(IEnumDeviceEx& e) {
  return Listed([&](IStorageDevice** a, int& n) { return e.EnumDiskDevice(a, n); });
}
inline std::vector<IStorageDevice*> Partitions(IEnumDeviceEx& e, IStorageDevice* disk) {
  return Listed([&](IStorageDevice** a, int& n) { return e.EnumPartitionDevice(disk, a, n); });
}
inline std::vector<IStorageDevice*> Volumes(IEnumDeviceEx& e, IStorageDevice* disk) {
  return Listed([&](IStorageDevice** a, int& n) { return e.EnumVolumeDevice(disk, a, n); });
}
// The disk whose record names `devicePath`, or null.
IStorageDevice* FindDisk(IEnumDeviceEx& e, const std::string& devicePath);

// The type enumeration should record for a volume on which blkid reads
// `blkid` (TYPE and VERSION): that type once the file system's analyzer has
// landed and recognises the volume, unknown (9) until then.
uint32_t ExpectedFileSystemType(IStorageDevice* volume, const std::map<std::string, std::string>& blkid);

// Parses /proc/self/mountinfo and checks every mount against what findmnt
// reports of the same table.
void ExpectMountInfoAgreesWithFindmnt();

}  // namespace enumtest
