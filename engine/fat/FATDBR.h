// FAT boot sectors: which FAT width a sector describes and the geometry it
// gives. A view over the caller's buffer (at least 512 bytes), never copied.
#pragma once

#include <cstdint>

#include "EngineTypes.h"

// Byte offsets of the fields read from a FAT boot sector.
struct tagFATPARTITIONDBR {
  static constexpr int kBytesPerSector = 11;
  static constexpr int kSectorsPerCluster = 13;
  static constexpr int kReservedSectors = 14;
  static constexpr int kNumberOfFats = 16;
  static constexpr int kRootEntries = 17;
  static constexpr int kTotalSectors16 = 19;
  static constexpr int kSectorsPerFat16 = 22;
  static constexpr int kTotalSectors32 = 32;
  static constexpr int kSectorsPerFat32 = 36;
  static constexpr int kRootCluster = 44;
  static constexpr int kFat16TypeText = 54;
  static constexpr int kFat32TypeText = 82;
  static constexpr int kSize = 512;
};

class CTempFATDBR {
 public:
  // `buffer` holds at least 512 bytes (null gives a view of type 9).
  CTempFATDBR(const uint8_t* buffer, uint32_t sectorSize);

  // FAT16, FAT32 or UNKNOWN: no test yields FAT12.
  enumFILE_SYSTEM_TYPE GetFileSystemType() const { return m_type; }
  bool IsValidDBR() const { return m_type != FILE_SYSTEM_TYPE_UNKNOWN; }
  // Reserved sectors: the first table, counted from the volume start.
  uint32_t GetFatTableStartSector() const;
  uint32_t GetRootEntries() const;
  uint32_t GetRootDirStartCluster() const;
  uint64_t GetTotalSectors() const;
  uint32_t GetNumberOfFat() const;
  uint32_t GetSectorsPerFat() const;
  uint32_t GetReservedSector() const;
  uint32_t GetSectorsperCluster() const;

  // Byte 0 is set and the sector ends in 0x55 0xAA.
  static bool SimpleCheck(const uint8_t* buffer);

 private:
  bool IsFat16() const;
  bool IsFat32() const;
  bool CommonFieldsHold(int typeTextOffset, const char* typeText) const;

  const uint8_t* m_buffer;
  enumFILE_SYSTEM_TYPE m_type = FILE_SYSTEM_TYPE_UNKNOWN;
  uint32_t m_sectorSize;
};
