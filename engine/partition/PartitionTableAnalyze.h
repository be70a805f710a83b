// The partition-table reader: lists the partitions that a whole disk's table
// describes (GPT, APM, or an MBR with its chain of extended boot records).
// It only reads, through IStorageDevice, and treats every byte it reads as
// hostile: entries that cannot describe a partition of this disk are left
// out, and chains of links always end.
#pragma once

#include <cstdint>
#include <list>

#include "DeviceData.h"
#include "ResultCode.h"
#include "StorageDevice.h"

// One partition of a table.
struct PartitionEntry {
  // MBR: 1-4 for primary entries, 5 onward for logical ones in chain order;
  // GPT: the entry's index in the array plus 1; APM: the map entry's block
  // number (1 onward); kWholeDiskPartitionNumber for a whole-disk
  // pseudo-partition.
  uint32_t number = 0;
  int64_t startSector = 0;  // on the disk, in its sectors
  int64_t sectorCount = 0;
  uint8_t typeGUID[16] = {};    // GPT type GUID as stored; zero for MBR and APM
  uint8_t uniqueGUID[16] = {};  // GPT unique GUID as stored; zero for MBR and APM
  char typeName[33] = {};       // APM type text (up to 32 characters), always terminated
};

inline constexpr uint32_t kWholeDiskPartitionNumber = 0xFFFFFFFF;

class IPartitionTableAnalyze {
 public:
  virtual ~IPartitionTableAnalyze() = default;
  // Empties `partitions`, then fills it with the table of `device`, a disk
  // (kind 0) carrying a usable disk record. Result codes (module 0x10): 5 null
  // device; 3 not a disk, a record whose state is not 0, a dynamic disk or a
  // layout that cannot be read; 7 no disk record; 6 bad table data; 8 sector
  // size below 512; a failing read answers the device's own code. A disk
  // without a table (or with a file system on the whole disk) answers 0 with
  // the list empty. On failure the list is empty.
  virtual ResultCode AnalyzePartitionTable(IStorageDevice* device, std::list<PartitionEntry>& partitions) = 0;

  void Release() { delete this; }
};

class CPartitionTableAnalyze final : public IPartitionTableAnalyze {
 public:
  ResultCode AnalyzePartitionTable(IStorageDevice* device, std::list<PartitionEntry>& partitions) override;
};

IPartitionTableAnalyze* CreatePartitionTableAnalyze();

// The scheme of the table in sector 0, tested in the order GPT (protective
// MBR), APM ("ER"), MBR (55 AA); DISK_PARTITION_SCHEME_UNKNOWN when there is
// none, or when sector 0 is the boot sector of a file system that fills the
// whole disk. Fails with 8 for sectors below 512 bytes, or with the device's
// code when sector 0 cannot be read.
ResultCode GetDiskType(IStorageDevice* device, uint32_t& scheme);
