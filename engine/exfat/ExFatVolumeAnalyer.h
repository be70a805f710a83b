// Recognition of an exFAT volume for device enumeration: the boot-sector
// test, the volume's size and its (always empty) label.
#pragma once

#include <cstdint>

#include "VolumeAnalyze.h"

class CExFatVolumeAnalyer : public IVolumeAnalyze {
 public:
  explicit CExFatVolumeAnalyer(uint64_t totalSectors) : m_totalSectors(totalSectors) {}

  enumFILE_SYSTEM_TYPE GetFileSystemType() override { return FILE_SYSTEM_TYPE_EXFAT; }
  // VolumeLength: the boot sector's sectors are the device's.
  uint64_t GetTotalSector() override { return m_totalSectors; }
  // Writes an empty text (a buffer of at least one byte).
  void GetLabel(char* buffer, int size) override {
    if (buffer != nullptr && size >= 1) buffer[0] = '\0';
  }

 private:
  uint64_t m_totalSectors;
};
