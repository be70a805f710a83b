#include "partition/PartitionTableChainAnalyzer.h"

#include <algorithm>
#include <unordered_set>
#include <vector>

#include "OnDiskBytes.h"
#include "partition/SectorReader.h"

namespace {

constexpr ResultCode BadData(uint16_t line) {
  return result::MakeResult(result::kModulePartitionTable, line, result::kErrBadData);
}

bool StartsAt(const std::list<PartitionEntry>& partitions, int64_t start) {
  return std::any_of(partitions.begin(), partitions.end(),
                     [start](const PartitionEntry& p) { return p.startSector == start; });
}

// A data partition that an entry describes, `start` sectors from the disk's
// first sector, or false when it cannot be one of this disk.
bool MakeEntry(const CPartitionTableEntry& entry, int64_t start, int64_t total, uint32_t number, PartitionEntry& out) {
  if (entry.Type() == 0 || start <= 0 || start >= total) return false;
  out = PartitionEntry{};
  out.number = number;
  out.startSector = start;
  out.sectorCount = partition::CountToDiskEnd(start, entry.SectorCount(), total);
  return true;
}

}  // namespace

uint32_t CPartitionTableEntry::StartLBA() const { return ondisk::Le32(bytes_ + 8); }
uint32_t CPartitionTableEntry::SectorCount() const { return ondisk::Le32(bytes_ + 12); }
bool CPartitionTableEntry::IsEmpty() const { return ondisk::AllZero(bytes_, 16); }

bool CPartitionTableChainAnalyzer::IsValidTableSector(const uint8_t* sector) {
  if (sector[510] != 0x55 || sector[511] != 0xAA) return false;
  for (int i = 0; i < 4; ++i) {
    if (!CPartitionTableEntry(sector + kTableOffset + 16 * i).HasValidBootIndicator()) return false;
  }
  return true;
}

ResultCode CPartitionTableChainAnalyzer::AnalyzePartitionTableChain(IStorageDevice* device,
                                                                    std::list<PartitionEntry>& partitions) {
  std::vector<uint8_t> sector;
  const ResultCode rc = partition::ReadSectors(device, 0, 1, sector);
  if (result::IsFailure(rc)) return rc;
  if (sector.size() < 512) return RESULT_FAILURE(result::kModulePartitionTable, result::kErrBufferTooSmall);
  return AnalyzeMBR(device, sector.data(), partitions);
}

ResultCode CPartitionTableChainAnalyzer::AnalyzeMBR(IStorageDevice* device, const uint8_t* sector0,
                                                    std::list<PartitionEntry>& partitions) {
  if (sector0[510] != 0x55 || sector0[511] != 0xAA) return BadData(__LINE__);
  if (!IsValidTableSector(sector0)) return BadData(__LINE__);

  const int64_t total = device->GetTotalSectors();
  // Logical partitions are numbered on from 5 across every extended entry.
  uint32_t lastNumber = 4;
  for (int i = 0; i < 4; ++i) {
    const CPartitionTableEntry entry(sector0 + kTableOffset + 16 * i);
    if (entry.IsEmpty()) continue;
    const int64_t start = entry.StartLBA();
    if (entry.IsExtended()) {
      if (start <= 0 || start >= total) continue;
      const ResultCode rc = AnalyzeEMBR(device, start, lastNumber, partitions);
      if (result::IsFailure(rc)) return rc;
      continue;
    }
    PartitionEntry p;
    if (MakeEntry(entry, start, total, static_cast<uint32_t>(i + 1), p)) partitions.push_back(p);
  }
  return 0;
}

ResultCode CPartitionTableChainAnalyzer::AnalyzeEMBR(IStorageDevice* device, int64_t chainBase, uint32_t& lastNumber,
                                                     std::list<PartitionEntry>& partitions) {
  const int64_t total = device->GetTotalSectors();
  std::unordered_set<int64_t> visited;
  std::vector<uint8_t> sector;
  int listed = 0;
  int64_t ebr = chainBase;

  // One EBR per turn; a link that leaves the disk, returns to an EBR already
  // read or exceeds the bounds ends the chain with what was listed so far.
  while (ebr > 0 && ebr < total && static_cast<int>(visited.size()) < kMaxChainLinks) {
    if (!visited.insert(ebr).second) break;
    const ResultCode rc = partition::ReadSectors(device, ebr, 1, sector);
    if (result::IsFailure(rc)) return rc;
    if (sector.size() < 512 || !IsValidTableSector(sector.data())) return BadData(__LINE__);

    int64_t next = -1;
    for (int i = 0; i < 4; ++i) {
      const CPartitionTableEntry entry(sector.data() + kTableOffset + 16 * i);
      if (entry.IsEmpty()) continue;
      const int64_t start = int64_t{entry.StartLBA()} + ebr;
      // A chain that comes back to partitions already listed ends here.
      if (StartsAt(partitions, start)) break;
      if (entry.IsExtended()) {
        if (next >= 0) return BadData(__LINE__);  // two links in one EBR
        next = int64_t{entry.StartLBA()} + chainBase;
        continue;
      }
      if (listed >= kMaxLogicalPartitions) return 0;
      PartitionEntry p;
      if (MakeEntry(entry, start, total, lastNumber + 1, p)) {
        ++lastNumber;
        ++listed;
        partitions.push_back(p);
      }
    }
    if (next < 0) break;
    ebr = next;
  }
  return 0;
}
