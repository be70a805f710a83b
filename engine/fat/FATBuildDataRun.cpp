#include "fat/FATBuildDataRun.h"

#include <algorithm>

#include "ClusterSpans.h"
#include "DataRunList.h"
#include "fat/FATTable.h"

namespace {

bool InVolume(uint64_t cluster, uint64_t clusters) { return cluster >= 2 && cluster <= clusters + 1; }

int64_t Supported(int64_t size, uint64_t clusters, uint64_t clusterBytes) {
  const uint64_t bytes = clusters * clusterBytes;
  return bytes >= static_cast<uint64_t>(size) ? size : static_cast<int64_t>(bytes);
}

}  // namespace

IDataRunList* CFATBuildDataRun::BuildDataRunList(uint32_t firstCluster, int64_t size, int deleted) {
  m_supported = 0;
  m_unsure = false;
  if (m_table == nullptr || m_clusters == 0 || m_sectorsPerCluster == 0 || m_sectorSize == 0 || size <= 0) {
    return nullptr;
  }
  if (deleted == 0) return BuildLiveDataRunList(firstCluster, size);
  IDataRunList* list = CreateDataRunList();
  if (list == nullptr) return nullptr;
  if (!BuildDeleteFileDataRunList(list, firstCluster, size, m_table, m_sectorsPerCluster, m_clusters, m_sectorSize,
                                  &m_supported, &m_unsure)) {
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
  ClusterSpans taken;
  taken.Take(current);
  // Each step takes a new cluster of the volume, so the walk ends.
  for (;;) {
    if (covered + static_cast<uint64_t>(run.length) >= needed) {
      // A chain longer than the file is cut.
      run.length = static_cast<int64_t>(needed - covered);
      break;
    }
    const uint32_t next = m_table->GetNextCluster(current);
    if (next >= fatchain::kEndOfChain) break;  // the chain holds less than the size
    if (next < 2 || next == fatchain::kBadCluster || !InVolume(next, m_clusters) || taken.Has(next)) {
      // A broken chain: the file is taken to go on consecutively, as far as
      // the volume allows. Where the table lost the entry itself, that is a
      // guess the copy cannot vouch for.
      m_unsure = m_table->IsEntryUnknown(current);
      const uint64_t room = m_clusters - static_cast<uint64_t>(run.start);
      run.length = static_cast<int64_t>(std::min(needed - covered, room));
      break;
    }
    if (next == current + 1) {
      ++run.length;
    } else {
      list->AddDataRun(&run);
      covered += static_cast<uint64_t>(run.length);
      run = DataRun{int64_t{next} - 2, 1};
    }
    taken.Take(next);
    current = next;
  }
  list->AddDataRun(&run);
  m_supported = Supported(size, covered + static_cast<uint64_t>(run.length), clusterBytes);
  return list;
}

bool CFATBuildDataRun::BuildDeleteFileDataRunList(IDataRunList* list, uint32_t firstCluster, int64_t size,
                                                  IFATTable* table, uint32_t sectorsPerCluster, uint64_t clusterCount,
                                                  uint32_t sectorSize, int64_t* supported, bool* unsure) {
  if (supported != nullptr) *supported = 0;
  if (unsure != nullptr) *unsure = false;
  if (list == nullptr || table == nullptr || size <= 0) return false;
  const uint64_t clusterBytes = uint64_t{sectorsPerCluster} * sectorSize;
  if (clusterBytes == 0) return false;
  uint64_t c = firstCluster;
  bool followTable = true;
  uint64_t covered = 0;
  uint64_t clusters = 0;
  ClusterSpans taken;
  // Clusters the table gives to files are passed over while this many
  // look-ups last; then the walk simply goes on.
  uint64_t skipBudget = kSkipBudget;
  // Each step adds one cluster of the volume not taken before, so the walk
  // is bounded by the size and the volume.
  bool guessed = false;
  while (covered < static_cast<uint64_t>(size) && InVolume(c, clusterCount) && taken.Take(c)) {
    const DataRun run{static_cast<int64_t>(c) - 2, 1};
    list->AddDataRun(&run);
    // A cluster after the first whose entry the table lost may as well be
    // another file's: the copy is a guess.
    if (clusters > 0 && table->IsEntryUnknown(static_cast<uint32_t>(c))) guessed = true;
    ++clusters;
    covered += clusterBytes;
    uint64_t next = c + 1;
    if (followTable) {
      const uint32_t entry = table->GetNextCluster(static_cast<uint32_t>(c));
      if (entry == 0 || entry == fatchain::kBadCluster) {
        // The freed chain (or an entry damaged in every copy, which tells
        // nothing): go on consecutively.
        followTable = false;
      } else if (entry >= fatchain::kEndOfChain || !InVolume(entry, clusterCount)) {
        break;
      } else {
        next = entry;
      }
    }
    if (!followTable) {
      // A file written in pieces lay between others' clusters: those the
      // table still gives to files are not its own. One whose entry the
      // table lost is not passed over for that: it may be the file's own.
      while (skipBudget > 0 && InVolume(next, clusterCount) &&
             table->GetNextCluster(static_cast<uint32_t>(next)) != 0 &&
             !table->IsEntryUnknown(static_cast<uint32_t>(next))) {
        --skipBudget;
        ++next;
      }
    }
    c = next;
  }
  if (supported != nullptr) *supported = Supported(size, clusters, clusterBytes);
  if (unsure != nullptr) *unsure = guessed;
  return clusters > 0;
}

CEmptyFileVirtualClusterNum* GetEmptyFileVirtualClusterNumObject() {
  static CEmptyFileVirtualClusterNum counter;
  return &counter;
}
