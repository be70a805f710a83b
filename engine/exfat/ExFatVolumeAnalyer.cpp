#include "exfat/ExFatVolumeAnalyer.h"

#include <algorithm>
#include <new>
#include <vector>

#include "StorageDevice.h"
#include "device/SectorSizeDevice.h"
#include "exfat/ExFatDBR.h"

IVolumeAnalyze* CreateExfatVolumeAnalyze(IStorageDevice* device, uint64_t startSector) {
  if (device == nullptr || startSector > static_cast<uint64_t>(INT64_MAX)) return nullptr;
  const uint32_t sectorSize = device->GetSectorSize();
  if (sectorSize < 512 || (sectorSize & (sectorSize - 1)) != 0) return nullptr;
  std::vector<uint8_t> sector(std::max<uint32_t>(4096, sectorSize), 0);
  if (device->ReadSector(sector.data(), static_cast<int64_t>(startSector), 1) == 0) return nullptr;
  // The volume counts in its own sectors, which need not be the device's:
  // its boot sector is then read whole in them.
  const uint32_t own = CExFatDBR(sector.data()).GetVolumeSectorSize();
  if (own != 0 && own != sectorSize) {
    CSectorSizeDevice view(device, own, static_cast<int64_t>(startSector));
    std::fill(sector.begin(), sector.end(), 0);
    if (view.ReadSector(sector.data(), 0, 1) == 0) return nullptr;
  }
  const CExFatDBR dbr(sector.data());
  if (own == 0 || !dbr.IsValid(own)) return nullptr;
  // In the device's sectors.
  const unsigned __int128 bytes = static_cast<unsigned __int128>(dbr.GetTotalSectors()) * own;
  return new (std::nothrow) CExFatVolumeAnalyer(static_cast<uint64_t>(bytes / sectorSize));
}
