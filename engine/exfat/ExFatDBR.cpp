#include "exfat/ExFatDBR.h"

#include <cstring>

#include "EngineTypes.h"
#include "OnDiskBytes.h"

using ondisk::Le16;
using ondisk::Le32;
using ondisk::Le64;

bool CExFatDBR::IsValid(uint32_t sectorSize) const {
  const uint8_t* s = m_sector;
  if (s == nullptr) return false;
  if (s[510] != 0x55 || s[511] != 0xAA || std::memcmp(s + 3, "EXFAT   ", 8) != 0) return false;
  if (!ondisk::AllZero(s + 11, 53)) return false;
  const uint32_t bpsShift = GetBytesPerSectorShift();
  if (bpsShift < 9 || bpsShift > 12 || (1u << bpsShift) != sectorSize) return false;
  const uint32_t spcShift = GetSectorsPerClusterShift();
  if (bpsShift + spcShift > 25) return false;
  if (GetNumberOfFat() != 1 && GetNumberOfFat() != 2) return false;
  const uint64_t volume = GetTotalSectors();
  const uint64_t fatOffset = GetFatStartSector();
  const uint64_t fatLength = GetSectorsPerFat();
  const uint64_t heap = GetDataRegionStartSector();
  const uint64_t clusters = GetTotalCluster();
  if (fatLength == 0 || heap == 0 || fatOffset == 0 || volume == 0 || clusters == 0) return false;
  if (GetRootDirStartCluster() < 2) return false;
  if (fatOffset > volume || heap > volume || fatOffset + fatLength > heap) return false;
  // The largest cluster number the format allows is 0xFFFFFFF6.
  if (clusters > 0xFFFFFFF5u) return false;
  // 64-bit: ClusterCount may be anything up to 2^32 and the shift up to 16.
  return ((clusters - 1) << spcShift) + heap <= volume;
}

uint32_t CExFatDBR::GetVolumeSectorSize() const {
  const uint8_t* s = m_sector;
  if (s == nullptr || s[510] != 0x55 || s[511] != 0xAA || std::memcmp(s + 3, "EXFAT   ", 8) != 0) return 0;
  const uint32_t shift = GetBytesPerSectorShift();
  return shift >= 9 && shift <= 12 ? 1u << shift : 0;
}

uint8_t CExFatDBR::GetBytesPerSectorShift() const { return m_sector[108]; }
uint8_t CExFatDBR::GetSectorsPerClusterShift() const { return m_sector[109]; }
uint32_t CExFatDBR::GetBytePerSector() const {
  return GetBytesPerSectorShift() < 32 ? 1u << GetBytesPerSectorShift() : 0;
}
uint32_t CExFatDBR::GetSectorsperCluster() const {
  return GetSectorsPerClusterShift() < 32 ? 1u << GetSectorsPerClusterShift() : 0;
}
uint8_t CExFatDBR::GetNumberOfFat() const { return m_sector[110]; }
uint8_t CExFatDBR::GetActiveFatNumber() const { return static_cast<uint8_t>(Le16(m_sector + 106) & 1); }
uint64_t CExFatDBR::GetTotalSectors() const { return Le64(m_sector + 72); }
uint32_t CExFatDBR::GetFatStartSector() const { return Le32(m_sector + 80); }
uint32_t CExFatDBR::GetSectorsPerFat() const { return Le32(m_sector + 84); }
uint32_t CExFatDBR::GetDataRegionStartSector() const { return Le32(m_sector + 88); }
uint32_t CExFatDBR::GetTotalCluster() const { return Le32(m_sector + 92); }
uint32_t CExFatDBR::GetRootDirStartCluster() const { return Le32(m_sector + 96); }
int CExFatDBR::GetFileSystemType() const { return FILE_SYSTEM_TYPE_EXFAT; }
