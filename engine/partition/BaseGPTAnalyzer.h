// The GUID partition table: the entry array that follows the protective MBR.
#pragma once

#include <list>

#include "partition/PartitionTableAnalyze.h"

class CBaseGPTAnalyzer {
 public:
  // The array is read as 128 entries of 128 bytes from sector 2 (the header in
  // sector 1 is not consulted). Used entries that start inside the disk and
  // end after they start are listed when they span at least
  // kMinListedSectors sectors (smaller ones are system partitions that hold
  // nothing worth scanning); an entry running past the disk's end is cut there.
  static ResultCode AnalyzeBaseGPT(IStorageDevice* device, std::list<PartitionEntry>& partitions);

  static constexpr int kEntryCount = 128;
  static constexpr int kEntrySize = 128;
  static constexpr int64_t kArrayFirstSector = 2;
  static constexpr int64_t kArraySectorsRead = 32;
  static constexpr int64_t kMinListedSectors = 0x800001;
};
