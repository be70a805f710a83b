// Where a FAT volume's boot sector is, and the sectors to read the volume
// in. A volume counts in its own sectors (the boot sector's bytes per
// sector), which need not be the device's: a volume made for 512-byte
// sectors behind a 4096-byte-sector enclosure, or one made for 4096-byte
// sectors in an image file read in 512-byte sectors. Such a volume is read
// through a view in its own sector size, so that every sector number the
// scanner works out, and every one it records, is the volume's.
#pragma once

#include <cstdint>
#include <memory>
#include <vector>

class CSectorSizeDevice;
class IStorageDevice;

class CFATVolumeView {
 public:
  CFATVolumeView();
  ~CFATVolumeView();
  CFATVolumeView(const CFATVolumeView&) = delete;
  CFATVolumeView& operator=(const CFATVolumeView&) = delete;

  // Looks for the boot sector of the FAT16 or FAT32 volume at sector
  // `start` of `device`: its first sector, or, with `fat32Copy`, the FAT32
  // copy at the volume's sector 6, each in the sector size its own field
  // gives (512 to 4096 bytes). The copy must pass the strong test (a table
  // begins where it says); the first sector too unless `firstAlone`. False
  // when none is found.
  bool Open(IStorageDevice* device, int64_t start, bool fat32Copy, bool firstAlone = false);

  // What to read the volume through (the device itself, or the view), and
  // the volume's first sector there.
  IStorageDevice* Device() const { return m_device; }
  int64_t Start() const { return m_start; }
  // The boot sector found: one sector of Device(), at least 512 bytes.
  const std::vector<uint8_t>& Boot() const { return m_boot; }
  bool FromCopy() const { return m_copy; }
  uint32_t SectorSize() const;

  // The bytes-per-sector field of a boot sector when it is a power of two
  // from 512 to 4096, else 0.
  static uint32_t BootSectorSize(const uint8_t* boot);

 private:
  bool Try(IStorageDevice* device, int64_t start, uint32_t sectorSize, int64_t at, bool strong);

  IStorageDevice* m_device = nullptr;
  std::unique_ptr<CSectorSizeDevice> m_view;
  int64_t m_start = 0;
  std::vector<uint8_t> m_boot;
  bool m_copy = false;
};
