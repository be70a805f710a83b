#include "partition/BaseGPTAnalyzer.h"

#include <cstring>
#include <limits>
#include <vector>

#include "OnDiskBytes.h"
#include "partition/SectorReader.h"

ResultCode CBaseGPTAnalyzer::AnalyzeBaseGPT(IStorageDevice* device, std::list<PartitionEntry>& partitions) {
  std::vector<uint8_t> array;
  const ResultCode rc = partition::ReadSectors(device, kArrayFirstSector, kArraySectorsRead, array);
  if (result::IsFailure(rc)) return rc;
  const int64_t total = device->GetTotalSectors();

  for (int i = 0; i < kEntryCount; ++i) {
    const size_t at = static_cast<size_t>(i) * kEntrySize;
    if (at + kEntrySize > array.size()) break;
    const uint8_t* entry = array.data() + at;
    if (ondisk::AllZero(entry, 16)) continue;  // unused entry

    const uint64_t first = ondisk::Le64(entry + 32);
    const uint64_t last = ondisk::Le64(entry + 40);
    // Entries that cannot be a partition of this disk are not offered.
    if (total <= 0 || first >= static_cast<uint64_t>(total) || last < first) continue;
    const int64_t start = static_cast<int64_t>(first);
    const int64_t count =
        (last >= static_cast<uint64_t>(total)) ? total - start : static_cast<int64_t>(last - first) + 1;
    if (count < kMinListedSectors) continue;

    PartitionEntry p;
    p.number = static_cast<uint32_t>(i + 1);
    p.startSector = start;
    p.sectorCount = count;
    std::memcpy(p.typeGUID, entry, 16);
    std::memcpy(p.uniqueGUID, entry + 16, 16);
    partitions.push_back(p);
  }
  return 0;
}
