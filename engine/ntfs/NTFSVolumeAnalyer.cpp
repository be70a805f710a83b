#include "ntfs/NTFSVolumeAnalyer.h"

#include <algorithm>
#include <cstdint>
#include <new>
#include <vector>

#include "StorageDevice.h"
#include "ntfs/NTFSDBR.h"
#include "ntfs/NTFSResidentData.h"

void CNTFSVolumeAnalyer::GetLabel(char* buffer, int size) {
  if (buffer != nullptr && size >= 1) buffer[0] = '\0';
}

IVolumeAnalyze* CreateNTFSVolumeAnalyze(IStorageDevice* device, uint64_t startSector) {
  if (device == nullptr || startSector > static_cast<uint64_t>(INT64_MAX)) return nullptr;
  RegisterNTFSResidentDataReader();
  const uint32_t sectorSize = device->GetSectorSize();
  if (sectorSize == 0 || sectorSize % 512 != 0) return nullptr;
  std::vector<uint8_t> sector(std::max<uint32_t>(4096, sectorSize), 0);
  if (device->ReadSector(sector.data(), static_cast<int64_t>(startSector), 1) == 0) return nullptr;
  CNTFSDBR dbr;
  if (!dbr.InitFromBuffer(sector.data())) return nullptr;
  // The boot sector counts in its own sectors, which need not be the
  // device's.
  const int64_t total = dbr.GetTotalSectors();
  if (total < 0) return nullptr;
  const unsigned __int128 bytes = static_cast<unsigned __int128>(total) * dbr.GetBytesPerSector();
  const unsigned __int128 deviceSectors = bytes / sectorSize;
  if (deviceSectors > UINT64_MAX) return nullptr;
  return new (std::nothrow) CNTFSVolumeAnalyer(static_cast<uint64_t>(deviceSectors));
}
