// Recognition of an HFS+ or HFSX volume for device enumeration: the volume
// header test, the volume's size in device sectors and its (empty) label.
#pragma once

#include <cstdint>

#include "VolumeAnalyze.h"

class CHFSPlusVolumeAnalyze final : public IVolumeAnalyze {
 public:
  // Reads the sector that holds byte 1024 of the volume at startSector.
  CHFSPlusVolumeAnalyze(IStorageDevice* device, uint64_t startSector);

  // FILE_SYSTEM_TYPE_HFSPLUS, or FILE_SYSTEM_TYPE_UNKNOWN without a valid header.
  enumFILE_SYSTEM_TYPE GetFileSystemType() override { return m_type; }
  uint64_t GetTotalSector() override { return m_totalSectors; }
  void GetLabel(char* buffer, int size) override;

 private:
  enumFILE_SYSTEM_TYPE m_type = FILE_SYSTEM_TYPE_UNKNOWN;
  uint64_t m_totalSectors = 0;
};
