// The Apple-style partition map: a driver descriptor ("ER") in sector 0 and
// one map entry ("PM") per map block from block 1.
#pragma once

#include <cstdint>
#include <list>
#include <vector>

#include "partition/PartitionTableAnalyze.h"

class CAPMAnaly {
 public:
  explicit CAPMAnaly(IStorageDevice* device) : device_(device) {}

  // Lists every valid map entry (the map itself and free space included),
  // numbered by its block. Entries that start at or past the disk's end or
  // span no sectors are left out; a count past the end is cut there.
  ResultCode AnalyzePartition(std::list<PartitionEntry>& partitions);

  static constexpr uint32_t kMaxMapEntries = 31;

 private:
  ResultCode ReadMapBlock(uint32_t block);
  bool HasEntrySignature() const;

  IStorageDevice* device_;
  int32_t sectorSize_ = 0;
  int32_t sectorsPerBlock_ = 0;
  std::vector<uint8_t> sector_;
  uint32_t entryCount_ = 0;
};
