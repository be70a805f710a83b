// Recognition of an NTFS volume for device enumeration: the boot sector
// test, the volume's size and (always empty) label.
#pragma once

#include <cstdint>

#include "VolumeAnalyze.h"

class CNTFSVolumeAnalyer : public IVolumeAnalyze {
 public:
  explicit CNTFSVolumeAnalyer(uint64_t totalSectors) : m_totalSectors(totalSectors) {}

  enumFILE_SYSTEM_TYPE GetFileSystemType() override { return FILE_SYSTEM_TYPE_NTFS; }
  // The boot sector's sector count, in the device's sectors.
  uint64_t GetTotalSector() override { return m_totalSectors; }
  // Writes an empty text (a buffer of at least one byte).
  void GetLabel(char* buffer, int size) override;

 private:
  uint64_t m_totalSectors;
};
