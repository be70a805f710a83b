#include "fat/FATBuildDataRun.h"

#include "DataRunList.h"
#include "fat/FATTable.h"

namespace {

bool InVolume(uint64_t cluster, uint64_t clusters) { return cluster >= 2 && cluster <= clusters + 1; }

}  // namespace

IDataRunList* CFATBuildDataRun::BuildDataRunList(uint32_t firstCluster, int64_t size, int deleted) {
  if (m_table == nullptr || m_clusters == 0 || m_sectorsPerCluster == 0 || m_sectorSize == 0 || size <= 0) {
    return nullptr;
  }
  if (deleted == 0) return BuildLiveDataRunList(firstCluster, size);
  IDataRunList* list = CreateDataRunList();
  if (list == nullptr) return nullptr;
  if (!BuildDeleteFileDataRunList(list, firstCluster, size, m_table, m_sectorsPerCluster, m_clusters, m_sectorSize)) {
    list->Release();
    return nullptr;
  }
  return list;
}

IDataRunList* CFATBuildDataRun::BuildLiveDataRunList(uint32_t firstCluster, int64_t size) {
  // A cluster of 0 or 1, or one past the volume, would read the tables or
  // the root as file data.
  if (!InVolume(firstCluster, m_clusters)) return nullptr;
  const uint64_t clusterBytes = uint64_t{m_sectorsPerCluster} * m_sectorSize;
  const uint64_t needed = (static_cast<uint64_t>(size) + clusterBytes - 1) / clusterBytes;
  IDataRunList* list = CreateDataRunList();
  if (list == nullptr) return nullptr;
  DataRun run{int64_t{firstCluster} - 2, 1};
  uint64_t covered = 0;  // clusters in finished runs
  uint32_t current = firstCluster;
  // Each step takes one cluster of the file, so a chain that loops ends with
  // the file's size.
  for (uint64_t steps = 0;; ++steps) {
    const uint32_t next = m_table->GetNextCluster(current);
    const bool chainEnds = next < 2 || next >= fatchain::kBadCluster || !InVolume(next, m_clusters) ||
                           covered + static_cast<uint64_t>(run.length) >= needed || steps > m_clusters;
    if (chainEnds) {
      // The last run is sized from the file: a chain longer than the file is
      // cut, one that ends early is stretched (within the volume).
      run.length = static_cast<int64_t>(needed - covered);
      if (static_cast<uint64_t>(run.start + run.length) > m_clusters) {
        list->Release();
        return nullptr;
      }
      list->AddDataRun(&run);
      return list;
    }
    if (next == current + 1) {
      ++run.length;
    } else {
      list->AddDataRun(&run);
      covered += static_cast<uint64_t>(run.length);
      run = DataRun{int64_t{next} - 2, 1};
    }
    current = next;
  }
}

bool CFATBuildDataRun::BuildDeleteFileDataRunList(IDataRunList* list, uint32_t firstCluster, int64_t size,
                                                  IFATTable* table, uint32_t sectorsPerCluster, uint64_t clusterCount,
                                                  uint32_t sectorSize) {
  if (list == nullptr || table == nullptr || size <= 0) return false;
  const uint64_t clusterBytes = uint64_t{sectorsPerCluster} * sectorSize;
  if (clusterBytes == 0) return false;
  uint64_t c = firstCluster;
  bool followTable = true;
  uint64_t covered = 0;
  bool added = false;
  // Each step adds one cluster of the file, and clusters stay inside the
  // volume, so the walk is bounded by the size and the volume's end.
  while (covered < static_cast<uint64_t>(size) && InVolume(c, clusterCount)) {
    const DataRun run{static_cast<int64_t>(c) - 2, 1};
    list->AddDataRun(&run);
    added = true;
    covered += clusterBytes;
    uint64_t next = c + 1;
    if (followTable) {
      const uint32_t entry = table->GetNextCluster(static_cast<uint32_t>(c));
      if (entry == 0) {
        followTable = false;  // the freed chain: go on consecutively
      } else if (entry >= fatchain::kBadCluster || !InVolume(entry, clusterCount)) {
        break;
      } else {
        next = entry;
      }
    }
    c = next;
  }
  return added;
}

CEmptyFileVirtualClusterNum* GetEmptyFileVirtualClusterNumObject() {
  static CEmptyFileVirtualClusterNum counter;
  return &counter;
}
