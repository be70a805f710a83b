// The exFAT boot sector: a plain view over one sector buffer owned by the
// caller, the test that decides whether it starts a usable exFAT volume, and
// its fields as stored (little-endian).
#pragma once

#include <cstdint>

class CExFatDBR {
 public:
  // `sector` must hold at least kSize bytes while the view is used.
  explicit CExFatDBR(const uint8_t* sector) : m_sector(sector) {}

  static constexpr int kSize = 512;

  // True when the sector is an exFAT boot sector whose geometry fits a device
  // of `sectorSize`-byte sectors and is consistent in itself: clusters of at
  // most 32 MiB, one or two tables in front of the cluster heap, and a heap
  // that ends inside the volume (computed in 64 bits).
  bool IsValid(uint32_t sectorSize) const;
  // The volume's own sector size when the sector names itself exFAT (name
  // and signature) with a sector shift of 9 to 12, else 0: what IsValid
  // must then be asked with, whatever the device's sectors are.
  uint32_t GetVolumeSectorSize() const;

  uint32_t GetBytePerSector() const;      // 1 << BytesPerSectorShift
  uint32_t GetSectorsperCluster() const;  // 1 << SectorsPerClusterShift
  uint8_t GetBytesPerSectorShift() const;
  uint8_t GetSectorsPerClusterShift() const;
  uint8_t GetNumberOfFat() const;
  uint8_t GetActiveFatNumber() const;         // VolumeFlags bit 0
  uint64_t GetTotalSectors() const;           // VolumeLength
  uint32_t GetFatStartSector() const;         // FatOffset
  uint32_t GetSectorsPerFat() const;          // FatLength
  uint32_t GetDataRegionStartSector() const;  // ClusterHeapOffset
  uint32_t GetTotalCluster() const;           // ClusterCount
  uint32_t GetRootDirStartCluster() const;
  int GetFileSystemType() const;  // always FILE_SYSTEM_TYPE_EXFAT

 private:
  const uint8_t* m_sector;
};
