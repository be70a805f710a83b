#include "exfat/ExFatPartitionEx.h"

#include <algorithm>

#include "exfat/ExFatDBR.h"
#include "exfat/FileSet.h"

void CExFatPartitionEx::SetFromBoot(IStorageDevice* device, const CExFatDBR& dbr, int64_t volumeStart, uint32_t flags) {
  SetGeometry(device, dbr.GetBytePerSector(), dbr.GetSectorsperCluster(),
              volumeStart + int64_t{dbr.GetDataRegionStartSector()}, volumeStart, dbr.GetTotalSectors(),
              dbr.GetTotalCluster(), dbr.GetRootDirStartCluster());
  m_flags = flags;
  m_fatCount = dbr.GetNumberOfFat();
  m_fatLength = dbr.GetSectorsPerFat();
  m_fatOffset = dbr.GetFatStartSector();
  m_end = volumeStart + static_cast<int64_t>(dbr.GetTotalSectors());
}

void CExFatPartitionEx::SetFromEvidence(IStorageDevice* device, uint32_t bytesPerSector, int64_t heap, uint32_t spc,
                                        uint64_t clusters, uint32_t rootCluster, uint32_t flags) {
  const uint64_t sectors = clusters * spc;
  SetGeometry(device, bytesPerSector, spc, heap, heap, sectors, clusters, rootCluster);
  m_flags = flags;
  m_end = heap + static_cast<int64_t>(sectors);
}

bool CExFatPartitionEx::Contains(const CFileSet& set) const {
  const int64_t spc = GetSectorsPerCluster();
  return set.GetFirstSector() >= GetHeapFirstSector() + 2 * spc && set.GetEndSector() <= m_end;
}

bool CExFatPartitionEx::IsClusterStart(int64_t sector) const {
  const int64_t offset = sector - GetHeapFirstSector();
  return offset >= 0 && offset % GetSectorsPerCluster() == 0;
}

uint32_t CExFatPartitionEx::ClusterOf(int64_t sector) const {
  const int64_t offset = sector - GetHeapFirstSector();
  if (offset < 0) return 0;
  return static_cast<uint32_t>(std::min<int64_t>(offset / GetSectorsPerCluster() + 2, 0xFFFFFFFF));
}
