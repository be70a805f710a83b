// The GUID partition table: the entry array that follows the protective MBR.
#pragma once

#include <list>

#include "partition/PartitionTableAnalyze.h"

class CBaseGPTAnalyzer {
 public:
  // The array is read as 128 entries of 128 bytes from sector 2 (the header in
  // sector 1 is not consulted). Used entries that start inside the disk and
  // end after they start are listed, cut at the disk's end; of those smaller
  // than kMinListedSectors, the system partitions (IsSystemPartitionType)
  // are left out: they hold nothing worth scanning. Small data partitions
  // (a memory card, a small USB disk) are listed, so that each shows as the
  // volume it is; leaving them out too made the enumerator offer the whole
  // disk instead.
  static ResultCode AnalyzeBaseGPT(IStorageDevice* device, std::list<PartitionEntry>& partitions);
  // Whether a type GUID (16 bytes as stored) is that of a partition the
  // system keeps for itself: EFI system, BIOS boot, Microsoft reserved,
  // Windows recovery, Apple boot and Linux swap.
  static bool IsSystemPartitionType(const uint8_t* typeGUID);

  static constexpr int kEntryCount = 128;
  static constexpr int kEntrySize = 128;
  static constexpr int64_t kArrayFirstSector = 2;
  static constexpr int64_t kArraySectorsRead = 32;
  static constexpr int64_t kMinListedSectors = 0x800001;
};
