#include "fat/FATVolume.h"

#include <algorithm>
#include <cstring>
#include <new>
#include <vector>

#include "OnDiskBytes.h"
#include "StorageDevice.h"
#include "fat/FATBuildWorker.h"
#include "fat/FATDBR.h"
#include "fat/FATDirEntry.h"
#include "fat/FATTable.h"
#include "fat/FATVolumeView.h"

CFATVolume::CFATVolume(IStorageDevice* device)
    : m_device(device), m_sectorSize(device != nullptr ? device->GetSectorSize() : 512) {
  if (m_sectorSize == 0) m_sectorSize = 512;
}

int CFATVolume::SearchChunk(const uint8_t* bytes, size_t length, std::string* label) const {
  if (length < 32) return -1;
  for (size_t o = 0; o + 32 <= length; o += 32) {
    CTempFATDirEntry entry(bytes + o);
    if (!entry.IsValidFATDirEntry(0)) return -1;
    if (!entry.IsErased() && entry.IsVolumeLabel() && !entry.IsLongFileNameEntry()) {
      if (entry.IsNeverUsed()) return -1;
      *label = entry.GetShortName(1);
      return 1;
    }
  }
  return 0;
}

int64_t CFATVolume::ConvertClusterToSector(const uint8_t* bootSector, uint64_t cluster) const {
  const CTempFATDBR dbr(bootSector, m_sectorSize);
  if (!dbr.IsValidDBR() || cluster < 2) return -1;
  int64_t first = int64_t{dbr.GetReservedSector()} + int64_t{dbr.GetNumberOfFat()} * dbr.GetSectorsPerFat();
  if (dbr.GetFileSystemType() == FILE_SYSTEM_TYPE_FAT16) first += int64_t{dbr.GetRootEntries()} * 32 / m_sectorSize;
  return first + static_cast<int64_t>(cluster - 2) * dbr.GetSectorsperCluster();
}

bool CFATVolume::GetPartitionLabel(uint64_t volumeStart, const uint8_t* bootSector, std::string* label) {
  if (m_device == nullptr || bootSector == nullptr || label == nullptr) return false;
  const CTempFATDBR dbr(bootSector, m_sectorSize);
  const uint32_t spc = dbr.GetSectorsperCluster();
  if (!dbr.IsValidDBR() || spc == 0) return false;
  const int64_t start = static_cast<int64_t>(volumeStart);
  const int64_t rootStart = start + dbr.GetReservedSector() + int64_t{dbr.GetNumberOfFat()} * dbr.GetSectorsPerFat();
  std::vector<uint8_t> chunk(size_t{spc} * m_sectorSize);

  if (dbr.GetFileSystemType() == FILE_SYSTEM_TYPE_FAT16) {
    const uint64_t rootSectors = uint64_t{dbr.GetRootEntries()} * 32 / m_sectorSize;
    for (uint64_t done = 0; done < rootSectors; done += spc) {
      const uint64_t count = std::min<uint64_t>(spc, rootSectors - done);
      if (m_device->ReadSector(chunk.data(), rootStart + static_cast<int64_t>(done), static_cast<int64_t>(count)) ==
          0) {
        return false;
      }
      const int found = SearchChunk(chunk.data(), count * m_sectorSize, label);
      if (found != 0) return found > 0;
    }
    return false;
  }

  // FAT32: the root's chain, read entry by entry from the first table.
  const uint64_t total = dbr.GetTotalSectors();
  const uint64_t dataStart = static_cast<uint64_t>(rootStart - start);
  const uint64_t clusters = total > dataStart ? (total - dataStart) / spc : 0;
  std::vector<uint8_t> tableSector(m_sectorSize);
  int64_t loadedTableSector = -1;
  uint64_t cluster = dbr.GetRootDirStartCluster();
  for (uint64_t steps = 0; steps <= clusters && cluster >= 2 && cluster <= clusters + 1; ++steps) {
    if (m_device->ReadSector(chunk.data(), rootStart + static_cast<int64_t>(cluster - 2) * spc, spc) == 0) return false;
    const int found = SearchChunk(chunk.data(), chunk.size(), label);
    if (found != 0) return found > 0;
    const int64_t entrySector = start + dbr.GetReservedSector() + static_cast<int64_t>(cluster * 4 / m_sectorSize);
    if (entrySector != loadedTableSector) {
      if (m_device->ReadSector(tableSector.data(), entrySector, 1) == 0) return false;
      loadedTableSector = entrySector;
    }
    cluster = ondisk::Le32(tableSector.data() + (cluster * 4) % m_sectorSize) & 0x0FFFFFFF;
  }
  return false;
}

CFatVolumeAnalyze::CFatVolumeAnalyze(IStorageDevice* device, uint64_t startSector) {
  if (device == nullptr || startSector > static_cast<uint64_t>(INT64_MAX)) return;
  // A FAT32 volume whose first sector is damaged still has its copy at
  // sector 6, which the quick scan reads: it must be offered that volume.
  CFATVolumeView view;
  if (!view.Open(device, static_cast<int64_t>(startSector), true, true)) return;
  const CTempFATDBR dbr(view.Boot().data(), view.SectorSize());
  m_type = dbr.GetFileSystemType();
  // In the device's sectors, whatever the volume's own.
  const unsigned __int128 bytes = static_cast<unsigned __int128>(dbr.GetTotalSectors()) * view.SectorSize();
  m_totalSectors = static_cast<uint64_t>(bytes / device->GetSectorSize());
  std::string label;
  if (CFATVolume(view.Device()).GetPartitionLabel(static_cast<uint64_t>(view.Start()), view.Boot().data(), &label)) {
    std::strncpy(m_label, label.c_str(), sizeof m_label - 1);
  }
}

void CFatVolumeAnalyze::GetLabel(char* buffer, int size) {
  if (buffer == nullptr || size < 1) return;
  const size_t n = std::min(std::strlen(m_label), static_cast<size_t>(size) - 1);
  std::memcpy(buffer, m_label, n);
  buffer[n] = '\0';
}

IVolumeAnalyze* CreateFatVolumeAnalyze(IStorageDevice* device, uint64_t startSector) {
  return new (std::nothrow) CFatVolumeAnalyze(device, startSector);
}
