// The classic master boot record and its chain of extended boot records.
#pragma once

#include <cstdint>
#include <list>

#include "partition/PartitionTableAnalyze.h"

// A view of one 16-byte table entry.
class CPartitionTableEntry {
 public:
  explicit CPartitionTableEntry(const uint8_t* bytes) : bytes_(bytes) {}

  uint8_t BootIndicator() const { return bytes_[0]; }
  uint8_t Type() const { return bytes_[4]; }
  uint32_t StartLBA() const;
  uint32_t SectorCount() const;
  bool IsEmpty() const;
  bool HasValidBootIndicator() const { return BootIndicator() == 0x00 || BootIndicator() == 0x80; }
  bool IsExtended() const { return Type() == 0x05 || Type() == 0x0F; }

 private:
  const uint8_t* bytes_;
};

class CPartitionTableChainAnalyzer {
 public:
  // Lists the four primary entries (numbers 1-4) and, for an extended entry,
  // the logical partitions of its chain (numbers from 5). Entries that cannot
  // describe a partition of this disk (type 0, starting at sector 0 or at or
  // past the disk's end) are left out. A count of 0, or one running past the
  // disk's end, runs to the end.
  static ResultCode AnalyzePartitionTableChain(IStorageDevice* device, std::list<PartitionEntry>& partitions);

  // Sector 0 of a table: 55 AA and four valid boot indicators.
  static bool IsValidTableSector(const uint8_t* sector);

  static constexpr size_t kTableOffset = 446;
  // Bounds on one chain: the walk also stops at an EBR it has seen before.
  static constexpr int kMaxLogicalPartitions = 256;
  static constexpr int kMaxChainLinks = 4096;

 private:
  static ResultCode AnalyzeMBR(IStorageDevice* device, const uint8_t* sector0, std::list<PartitionEntry>& partitions);
  // Walks the chain whose first EBR is at `chainBase`; links are relative to
  // `chainBase`, logical partitions to their own EBR. `lastNumber` is the
  // number used last and is carried on.
  static ResultCode AnalyzeEMBR(IStorageDevice* device, int64_t chainBase, uint32_t& lastNumber,
                                std::list<PartitionEntry>& partitions);
};
