#include "fat/FATDBR.h"

#include <strings.h>

#include "OnDiskBytes.h"

using ondisk::Le16;
using ondisk::Le32;
using D = tagFATPARTITIONDBR;

CTempFATDBR::CTempFATDBR(const uint8_t* buffer, uint32_t sectorSize) : m_buffer(buffer), m_sectorSize(sectorSize) {
  if (m_buffer == nullptr) return;
  if (IsFat16()) {
    m_type = FILE_SYSTEM_TYPE_FAT16;
  } else if (IsFat32()) {
    m_type = FILE_SYSTEM_TYPE_FAT32;
  }
}

bool CTempFATDBR::SimpleCheck(const uint8_t* buffer) {
  return buffer != nullptr && buffer[0] != 0 && buffer[510] == 0x55 && buffer[511] == 0xAA;
}

bool CTempFATDBR::CommonFieldsHold(int typeTextOffset, const char* typeText) const {
  if (strncasecmp(reinterpret_cast<const char*>(m_buffer + typeTextOffset), typeText, 8) != 0) return false;
  if (m_buffer[D::kNumberOfFats] != 2) return false;
  const uint8_t spc = m_buffer[D::kSectorsPerCluster];
  if (spc == 0 || (spc & (spc - 1)) != 0) return false;
  return Le16(m_buffer + D::kBytesPerSector) == m_sectorSize;
}

bool CTempFATDBR::IsFat16() const {
  if (!CommonFieldsHold(D::kFat16TypeText, "FAT16   ")) return false;
  const uint32_t rootEntries = Le16(m_buffer + D::kRootEntries);
  if (rootEntries < 224 || (rootEntries * 32) % m_sectorSize != 0) return false;
  if (Le16(m_buffer + D::kSectorsPerFat16) == 0) return false;
  return m_buffer[510] == 0x55 && m_buffer[511] == 0xAA;
}

bool CTempFATDBR::IsFat32() const {
  if (!CommonFieldsHold(D::kFat32TypeText, "FAT32   ")) return false;
  if (Le32(m_buffer + D::kSectorsPerFat32) == 0) return false;
  return m_buffer[510] == 0x55 && m_buffer[511] == 0xAA;
}

uint32_t CTempFATDBR::GetFatTableStartSector() const { return m_buffer ? Le16(m_buffer + D::kReservedSectors) : 0; }
uint32_t CTempFATDBR::GetRootEntries() const { return m_buffer ? Le16(m_buffer + D::kRootEntries) : 0; }

uint32_t CTempFATDBR::GetRootDirStartCluster() const {
  return m_type == FILE_SYSTEM_TYPE_FAT32 ? Le32(m_buffer + D::kRootCluster) : 0;
}

uint64_t CTempFATDBR::GetTotalSectors() const {
  if (m_type == FILE_SYSTEM_TYPE_FAT32) return Le32(m_buffer + D::kTotalSectors32);
  if (m_type != FILE_SYSTEM_TYPE_FAT16) return 0;
  const uint16_t small = Le16(m_buffer + D::kTotalSectors16);
  return small != 0 ? small : Le32(m_buffer + D::kTotalSectors32);
}

uint32_t CTempFATDBR::GetNumberOfFat() const { return IsValidDBR() ? m_buffer[D::kNumberOfFats] : 0; }

uint32_t CTempFATDBR::GetSectorsPerFat() const {
  if (m_type == FILE_SYSTEM_TYPE_FAT32) return Le32(m_buffer + D::kSectorsPerFat32);
  return m_type == FILE_SYSTEM_TYPE_FAT16 ? Le16(m_buffer + D::kSectorsPerFat16) : 0;
}

uint32_t CTempFATDBR::GetReservedSector() const { return IsValidDBR() ? Le16(m_buffer + D::kReservedSectors) : 0; }
uint32_t CTempFATDBR::GetSectorsperCluster() const { return IsValidDBR() ? m_buffer[D::kSectorsPerCluster] : 0; }
