#include "partition/BootSectorProbe.h"

#include <cstring>

#include "OnDiskBytes.h"
#include "partition/PartitionTableChainAnalyzer.h"

namespace partition {

namespace {

bool IsPowerOfTwo(uint32_t v) { return v != 0 && (v & (v - 1)) == 0; }

// The BIOS parameter block of a FAT boot sector, checked field by field: a
// jump, a power-of-two sector and cluster size, reserved sectors, one or two
// tables, a media byte, a sector count, and a root folder or a FAT32 table
// size.
bool IsFATBootSector(const uint8_t* s) {
  const bool jump = (s[0] == 0xEB && s[2] == 0x90) || s[0] == 0xE9;
  if (!jump) return false;
  const uint16_t bytesPerSector = ondisk::Le16(s + 11);
  const uint8_t sectorsPerCluster = s[13];
  const uint16_t reserved = ondisk::Le16(s + 14);
  const uint8_t fats = s[16];
  const uint16_t rootEntries = ondisk::Le16(s + 17);
  const uint16_t sectors16 = ondisk::Le16(s + 19);
  const uint8_t media = s[21];
  const uint16_t fatSectors16 = ondisk::Le16(s + 22);
  const uint32_t sectors32 = ondisk::Le32(s + 32);
  const uint32_t fatSectors32 = ondisk::Le32(s + 36);
  if (bytesPerSector < 512 || bytesPerSector > 4096 || !IsPowerOfTwo(bytesPerSector)) return false;
  if (!IsPowerOfTwo(sectorsPerCluster)) return false;
  if (reserved == 0 || fats == 0 || fats > 2) return false;
  if (media != 0xF0 && media < 0xF8) return false;
  if (sectors16 == 0 && sectors32 == 0) return false;
  if (fatSectors16 == 0) return rootEntries == 0 && fatSectors32 != 0;  // FAT32
  return rootEntries != 0;
}

}  // namespace

bool IsFileSystemBootSector(const uint8_t* s) {
  if (s[510] != 0x55 || s[511] != 0xAA) return false;
  if (std::memcmp(s + 3, "NTFS    ", 8) == 0) return true;
  if (std::memcmp(s + 3, "EXFAT   ", 8) == 0) return true;
  return IsFATBootSector(s);
}

bool IsWholeDiskFileSystem(const uint8_t* s, int64_t totalSectors) {
  if (!IsFileSystemBootSector(s)) return false;
  if (!CPartitionTableChainAnalyzer::IsValidTableSector(s)) return true;
  for (int i = 0; i < 4; ++i) {
    const CPartitionTableEntry entry(s + CPartitionTableChainAnalyzer::kTableOffset + 16 * i);
    if (entry.Type() != 0 && entry.StartLBA() != 0 && entry.SectorCount() != 0 &&
        int64_t{entry.StartLBA()} < totalSectors) {
      return false;  // a real table written over a boot sector's code area
    }
  }
  return true;
}

}  // namespace partition
