#include "hfsplus/CHFSPlusVolumeAnalyze.h"

#include <cstring>
#include <new>
#include <vector>

#include "StorageDevice.h"
#include "hfsplus/CHFSPlusVolume.h"
#include "hfsplus/HFSPlusFormat.h"

CHFSPlusVolumeAnalyze::CHFSPlusVolumeAnalyze(IStorageDevice* device, uint64_t startSector) {
  if (device == nullptr) return;
  const uint32_t sectorSize = device->GetSectorSize();
  if (sectorSize < 512 || sectorSize % 512 != 0 || sectorSize > 65536) return;
  const uint64_t sector = startSector + hfsplus::kVolumeHeaderOffset / sectorSize;
  const uint32_t inside = hfsplus::kVolumeHeaderOffset % sectorSize;
  if (sector > static_cast<uint64_t>(INT64_MAX)) return;
  std::vector<uint8_t> bytes(sectorSize);
  if (device->ReadSector(bytes.data(), static_cast<int64_t>(sector), 1) == 0) return;
  if (!CHFSPlusVolume::IsValidVolumeHeader(bytes.data() + inside, hfsplus::kVolumeHeaderSize)) return;
  HFSPlusVolumeHeader header;
  hfsplus::LoadVolumeHeader(bytes.data() + inside, header);
  m_type = FILE_SYSTEM_TYPE_HFSPLUS;
  m_totalSectors = uint64_t{header.totalBlocks} * header.blockSize / sectorSize;
}

void CHFSPlusVolumeAnalyze::GetLabel(char* buffer, int size) {
  if (buffer == nullptr || size < 1) return;
  std::memset(buffer, 0, size > 99 ? 100 : static_cast<size_t>(size));
}

IVolumeAnalyze* CreateHFSPlusVolumeAnalyze(IStorageDevice* device, uint64_t startSector) {
  return new (std::nothrow) CHFSPlusVolumeAnalyze(device, startSector);
}
