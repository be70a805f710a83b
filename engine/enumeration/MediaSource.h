// Where device enumeration learns what media the machine has: one record of
// plain facts per whole disk and per partition the kernel shows.
//
// On Linux the facts come from sysfs (disks, partitions, sizes, numbers,
// device numbers, bus), libblkid (partition scheme, partition types and
// UUIDs, labels), /proc/self/mountinfo (mount points) and, where a udev
// database exists, libudev (bus and model). The sysfs root, the device-node
// folder and the mount table are paths given to the source, so that a tree
// of ordinary files and disk images stands in for the machine in tests.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "DeviceData.h"
#include "EngineTypes.h"
#include "ResultCode.h"

struct MediaRecord {
  std::string name;        // kernel name: "sda", "sda1", "loop0p2", "nvme0n1"
  std::string devicePath;  // the device node: <dev root>/<name>
  bool whole = false;      // a whole disk (false: a partition of `parent`)
  std::string parent;      // a partition's disk
  bool writable = false;
  // A whole disk: its partition scheme as libblkid names it ("dos", "gpt",
  // "mac"), empty without a table. A partition: its table entry's type (a GPT
  // type GUID, an APM type text, an MBR type as "0x83").
  std::string content;
  std::string partitionUUID;       // a GPT partition's unique GUID, as text
  int32_t partitionNumber = -1;    // the kernel's number of a partition; -1 for a whole disk
  int64_t start512 = -1;           // a partition's start on its disk in 512-byte units; -1 unknown
  bool extendedContainer = false;  // the kernel's stand-in for an MBR extended partition
  uint32_t logicalBlockSize = 0;   // bytes; a partition has its disk's
  uint64_t sizeBytes = 0;
  uint32_t major = 0;
  uint32_t minor = 0;
  std::string busProtocol;   // "ATA", "SATA", "SCSI", "USB", "Virtual Interface" or empty
  std::string registryName;  // model, or a loop device's backing file name
  std::string label;         // the file system's label, empty when none
  std::string fsType;        // libblkid's name of the file system (diagnostics only)
  std::string mountPath;     // empty when not mounted
  int probeErrno = 0;        // why the device node could not be read for probing (0: it could)
};

class IMediaSource {
 public:
  virtual ~IMediaSource() = default;
  // Fills `media` with every whole disk worth listing, each followed by its
  // partitions. Optical drives, empty drives and loop devices without a
  // backing file are left out; so is anything whose basic facts (device
  // number, size, sector size) cannot be read. Fails only when the list of
  // block devices itself cannot be read.
  virtual ResultCode ListMedia(std::vector<MediaRecord>& media) = 0;
};

class CLinuxMediaSource final : public IMediaSource {
 public:
  CLinuxMediaSource(std::string sysRoot = "/sys", std::string devRoot = "/dev",
                    std::string mountInfoPath = "/proc/self/mountinfo");
  ResultCode ListMedia(std::vector<MediaRecord>& media) override;

 private:
  ResultCode ListMediaOrThrow(std::vector<MediaRecord>& media);

  std::string sysRoot_;
  std::string devRoot_;
  std::string mountInfoPath_;
};

// DiskBusType of a bus protocol text: "ATA" 1, "SATA" 2, any text beginning
// "SCSI" 3, "USB" 4, "Virtual Interface" 5, anything else (or null) 0.
int BusTypeFromProtocol(const char* protocol);

// enumDiskPartitionScheme of a disk's content text: "dos" 1, "gpt" 2, "mac" 3,
// anything else 0.
uint32_t SchemeFromContent(const std::string& content);

// The device ID of a record: (major << 24) | minor, kept in 32 bits. Majors
// above 255 (NVMe is 259) do not fit and wrap; compare a file's st_dev with a
// record by computing the same value from major(st_dev) and minor(st_dev).
int32_t DeviceIDFromNumbers(uint32_t major, uint32_t minor);

// Parses a GUID text ("c12a7328-f81f-11d2-ba4b-00a0c93ec93b", either case)
// into the 16 bytes a GPT stores (first three groups little-endian); false
// when the text is not a GUID.
bool ParseGptGuidText(const std::string& text, uint8_t out[16]);
