#include "exfat/ExFatPartition.h"

#include <algorithm>
#include <iterator>
#include <map>
#include <new>

#include "DataRunList.h"
#include "OnDiskBytes.h"
#include "StorageDevice.h"
#include "exfat/ExFatDBR.h"
#include "exfat/ExFatFileNode.h"

// ---- the allocation table ---------------------------------------------------

bool CFatTable::CreateFatTable(IStorageDevice* device, int64_t fatStartSector, uint32_t fatSectors,
                               uint32_t clusterCount) {
  ClearFatData();
  if (device == nullptr || fatStartSector < 0 || fatSectors == 0) return false;
  const uint32_t sectorSize = device->GetSectorSize();
  const int64_t total = device->GetTotalSectors();
  if (sectorSize == 0 || sectorSize > kWindowBytes || total <= 0 || fatStartSector + int64_t{fatSectors} > total) {
    return false;
  }
  m_device = device;
  m_fatStart = fatStartSector;
  m_fatSectors = fatSectors;
  m_sectorSize = sectorSize;
  m_windowSectors = kWindowBytes / sectorSize;
  m_clusterCount = clusterCount;
  m_readFailed = false;
  if (LoadWindow(fatStartSector) == nullptr) {
    ClearFatData();
    return false;
  }
  return true;
}

void CFatTable::ClearFatData() {
  m_windows.clear();
  m_device = nullptr;
  m_fatStart = 0;
  m_fatSectors = 0;
  m_clusterCount = 0;
}

std::vector<uint8_t>* CFatTable::LoadWindow(int64_t start) {
  std::vector<uint8_t> buffer;
  if (m_windows.size() >= kMaxWindows) {
    auto lowest = m_windows.begin();
    buffer = std::move(lowest->second);
    m_windows.erase(lowest);
  }
  try {
    buffer.assign(kWindowBytes, 0);
  } catch (const std::bad_alloc&) {
    return nullptr;
  }
  // Only the table's own sectors are read; the rest of the window stays 0.
  const int64_t count = std::min<int64_t>(m_windowSectors, m_fatStart + m_fatSectors - start);
  if (count <= 0 || m_device->ReadSector(buffer.data(), start, count) == 0) {
    m_readFailed = true;
    return nullptr;
  }
  return &(m_windows[start] = std::move(buffer));
}

uint32_t CFatTable::GetNextCluster(uint32_t cluster) {
  if (m_windows.empty() || cluster < 2 || uint64_t{cluster} > uint64_t{m_clusterCount} + 1) return kEndOfChain;
  const uint64_t byte = uint64_t{cluster} * 4;
  if (byte + 4 > uint64_t{m_fatSectors} * m_sectorSize) return kEndOfChain;
  const int64_t tableSector = static_cast<int64_t>(byte / m_sectorSize);
  const int64_t start = m_fatStart + tableSector / m_windowSectors * m_windowSectors;
  auto found = m_windows.find(start);
  std::vector<uint8_t>* window = found != m_windows.end() ? &found->second : LoadWindow(start);
  if (window == nullptr) return kEndOfChain;
  const uint64_t offset = byte - uint64_t(start - m_fatStart) * m_sectorSize;
  return ondisk::Le32(window->data() + offset);
}

// ---- the volume's geometry --------------------------------------------------

bool CExFatPartition::Init(const CExFatDBR& dbr, IStorageDevice* device, int64_t volumeStart) {
  m_bytesPerSector = dbr.GetBytePerSector();
  m_sectorsPerCluster = dbr.GetSectorsperCluster();
  m_bytesPerCluster = m_bytesPerSector * m_sectorsPerCluster;
  m_clusterLimit = uint64_t{dbr.GetTotalCluster()} + 2;
  m_rootCluster = dbr.GetRootDirStartCluster();
  m_volumeStart = volumeStart;
  m_heapFirstSector = volumeStart + int64_t{dbr.GetDataRegionStartSector()};
  m_totalSectors = dbr.GetTotalSectors();
  // The first table, whatever the active-table flag says: the second one is
  // only ever a copy kept by some writers.
  return CreateFatTable(device, volumeStart + int64_t{dbr.GetFatStartSector()}, dbr.GetSectorsPerFat(),
                        dbr.GetTotalCluster());
}

int64_t CExFatPartition::ConvertClusterNumToSector(uint32_t cluster) const {
  if (!IsHeapCluster(cluster)) return 0;
  return m_heapFirstSector + int64_t{cluster - 2} * m_sectorsPerCluster;
}

uint32_t CExFatPartition::ConvertSectorToClusterNum(int64_t sector) const {
  if (m_sectorsPerCluster == 0) return 0;
  const int64_t spc = m_sectorsPerCluster;
  return static_cast<uint32_t>((sector - m_heapFirstSector + spc - 1) / spc + 2);
}

uint32_t CExFatPartition::GetNextCluster(uint32_t cluster, bool contiguous) {
  if (!IsHeapCluster(cluster)) return kEndOfChain;
  // A contiguous chain's table entries are not kept up to date by writers:
  // its next cluster is simply the next one on disk.
  const uint64_t next = contiguous ? uint64_t{cluster} + 1 : GetNextCluster(cluster);
  return IsHeapCluster(next) ? static_cast<uint32_t>(next) : kEndOfChain;
}

IDataRunList* CExFatPartition::BuildFileDataRun(const _tagFileBaseInfo& info) {
  IDataRunList* list = CreateDataRunList();
  if (list == nullptr) return nullptr;
  if ((info.attributes & CExFatFileNode::kDirectory) != 0 || !IsHeapCluster(info.firstCluster) ||
      info.dataLength <= 0 || m_bytesPerCluster == 0) {
    return list;
  }
  const uint64_t clusters = (uint64_t(info.dataLength) + m_bytesPerCluster - 1) / m_bytesPerCluster;
  if (info.contiguous != 0) {
    // Never past the heap's last cluster.
    const uint64_t fit = std::min<uint64_t>(clusters, m_clusterLimit - info.firstCluster);
    const DataRun run{int64_t{info.firstCluster} - 2, static_cast<int64_t>(fit)};
    list->AddDataRun(&run);
    return list;
  }
  // One step per cluster the data needs: a chain that runs on is cut there.
  // A chain that comes back on itself is cut where it does. The clusters
  // seen are kept as intervals: real chains are few runs of neighbours.
  std::map<uint32_t, uint32_t> seen;  // first cluster -> one past the last
  auto current = seen.end();
  uint32_t cluster = info.firstCluster;
  for (uint64_t step = 0; step < clusters && IsHeapCluster(cluster); ++step) {
    auto after = seen.upper_bound(cluster);
    if (after != seen.begin() && std::prev(after)->second > cluster) break;
    if (current != seen.end() && current->second == cluster) {
      ++current->second;
    } else {
      current = seen.emplace_hint(after, cluster, cluster + 1);
    }
    const DataRun run{int64_t{cluster} - 2, 1};
    list->AddDataRun(&run);
    cluster = GetNextCluster(cluster, false);
  }
  return list;
}

CExFatFileNode* CExFatPartition::BuildFile(const _tagFileBaseInfo& info) {
  auto* node = new (std::nothrow) CExFatFileNode();
  if (node == nullptr) return nullptr;
  node->SetFirstCluster(info.firstCluster);
  node->SetFileAttributes(info.attributes);
  node->SetFileTime(DosTime2FileTime(info.createTime, info.create10ms, info.createUtcOffset),
                    DosTime2FileTime(info.modifyTime, info.modify10ms, info.modifyUtcOffset),
                    DosTime2FileTime(info.accessTime, 0, info.accessUtcOffset));
  node->SetFileName(info.name.c_str());
  node->SetFileSize(static_cast<uint64_t>(std::max<int64_t>(info.dataLength, 0)));
  node->SetMetaDataSector(info.sector);
  if (info.inUse == 0) node->SetFileDeleted();
  if (info.contiguous != 0) node->SetFileFatInvalid();
  node->SetDataRunList(BuildFileDataRun(info));
  return node;
}
