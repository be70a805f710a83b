// A FAT volume's label and cluster addresses, and the volume analyzer that
// device enumeration asks first.
#pragma once

#include <cstdint>
#include <string>

#include "VolumeAnalyze.h"

class IStorageDevice;

class CFATVolume {
 public:
  explicit CFATVolume(IStorageDevice* device);

  // The label entry of the root folder of the volume at `volumeStart` whose
  // boot sector is `bootSector`; false when there is none. FAT32 roots are
  // walked along their chain, at most once round the volume's clusters.
  bool GetPartitionLabel(uint64_t volumeStart, const uint8_t* bootSector, std::string* label);
  // The first sector of `cluster` (2 or more), counted from the volume
  // start; -1 for a sector that is not FAT16 or FAT32 or a cluster below 2.
  int64_t ConvertClusterToSector(const uint8_t* bootSector, uint64_t cluster) const;

 private:
  // 1 label found, 0 none here (go on), -1 stop with none.
  int SearchChunk(const uint8_t* bytes, size_t length, std::string* label) const;

  IStorageDevice* m_device;
  uint32_t m_sectorSize;
};

// Reads the boot sector at the start (for FAT32, the copy at sector 6 when
// the first one is damaged and the copy passes the strong test), in the
// volume's own sector size; the total is in the device's sectors.
class CFatVolumeAnalyze : public IVolumeAnalyze {
 public:
  CFatVolumeAnalyze(IStorageDevice* device, uint64_t startSector);

  enumFILE_SYSTEM_TYPE GetFileSystemType() override { return m_type; }
  uint64_t GetTotalSector() override { return m_totalSectors; }
  void GetLabel(char* buffer, int size) override;

 private:
  enumFILE_SYSTEM_TYPE m_type = FILE_SYSTEM_TYPE_UNKNOWN;
  uint64_t m_totalSectors = 0;
  char m_label[100] = {};
};
