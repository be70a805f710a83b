#include "partition/BaseGPTAnalyzer.h"

#include <cstring>
#include <limits>
#include <vector>

#include "OnDiskBytes.h"
#include "partition/SectorReader.h"

namespace {

// Type GUIDs as stored: the first three fields little-endian.
constexpr uint8_t kSystemTypes[][16] = {
    // EFI system C12A7328-F81F-11D2-BA4B-00A0C93EC93B
    {0x28, 0x73, 0x2A, 0xC1, 0x1F, 0xF8, 0xD2, 0x11, 0xBA, 0x4B, 0x00, 0xA0, 0xC9, 0x3E, 0xC9, 0x3B},
    // BIOS boot 21686148-6449-6E6F-744E-656564454649
    {0x48, 0x61, 0x68, 0x21, 0x49, 0x64, 0x6F, 0x6E, 0x74, 0x4E, 0x65, 0x65, 0x64, 0x45, 0x46, 0x49},
    // Microsoft reserved E3C9E316-0B5C-4DB8-817D-F92DF00215AE
    {0x16, 0xE3, 0xC9, 0xE3, 0x5C, 0x0B, 0xB8, 0x4D, 0x81, 0x7D, 0xF9, 0x2D, 0xF0, 0x02, 0x15, 0xAE},
    // Windows recovery DE94BBA4-06D1-4D40-A16A-BFD50179D6AC
    {0xA4, 0xBB, 0x94, 0xDE, 0xD1, 0x06, 0x40, 0x4D, 0xA1, 0x6A, 0xBF, 0xD5, 0x01, 0x79, 0xD6, 0xAC},
    // Apple boot 426F6F74-0000-11AA-AA11-00306543ECAC
    {0x74, 0x6F, 0x6F, 0x42, 0x00, 0x00, 0xAA, 0x11, 0xAA, 0x11, 0x00, 0x30, 0x65, 0x43, 0xEC, 0xAC},
    // Linux swap 0657FD6D-A4AB-43C4-84E5-0933C84B4F4F
    {0x6D, 0xFD, 0x57, 0x06, 0xAB, 0xA4, 0xC4, 0x43, 0x84, 0xE5, 0x09, 0x33, 0xC8, 0x4B, 0x4F, 0x4F},
};

}  // namespace

bool CBaseGPTAnalyzer::IsSystemPartitionType(const uint8_t* typeGUID) {
  if (typeGUID == nullptr) return false;
  for (const auto& type : kSystemTypes) {
    if (std::memcmp(type, typeGUID, 16) == 0) return true;
  }
  return false;
}

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
    if (count < kMinListedSectors && IsSystemPartitionType(entry)) continue;

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
