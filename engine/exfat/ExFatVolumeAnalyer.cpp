#include "exfat/ExFatVolumeAnalyer.h"

#include <algorithm>
#include <new>
#include <vector>

#include "StorageDevice.h"
#include "exfat/ExFatDBR.h"

IVolumeAnalyze* CreateExfatVolumeAnalyze(IStorageDevice* device, uint64_t startSector) {
  if (device == nullptr || startSector > static_cast<uint64_t>(INT64_MAX)) return nullptr;
  const uint32_t sectorSize = device->GetSectorSize();
  if (sectorSize < 512 || sectorSize > 4096) return nullptr;
  std::vector<uint8_t> sector(4096, 0);
  if (device->ReadSector(sector.data(), static_cast<int64_t>(startSector), 1) == 0) return nullptr;
  const CExFatDBR dbr(sector.data());
  if (!dbr.IsValid(sectorSize)) return nullptr;
  return new (std::nothrow) CExFatVolumeAnalyer(dbr.GetTotalSectors());
}
