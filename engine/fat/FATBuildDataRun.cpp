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
  if (deleted == kLiveEntry || deleted == kUnvouchedEntry) {
    return BuildLiveDataRunList(firstCluster, size, deleted == kUnvouchedEntry);
  }
  IDataRunList* list = CreateDataRunList();
  if (list == nullptr) return nullptr;
  if (!BuildDeleteFileDataRunList(list, firstCluster, size, m_table, m_sectorsPerCluster, m_clusters, m_sectorSize,
                                  &m_supported, &m_unsure)) {
    list->Release();
    return nullptr;
  }
  return list;
}

IDataRunList* CFATBuildDataRun::BuildLiveDataRunList(uint32_t firstCluster, int64_t size, bool unvouched) {
  // A cluster of 0 or 1, or one past the volume, would read the tables or
  // the root as file data.
  if (!InVolume(firstCluster, m_clusters)) return nullptr;
  const uint64_t clusterBytes = uint64_t{m_sectorsPerCluster} * m_sectorSize;
  const uint64_t needed = (static_cast<uint64_t>(size) + clusterBytes - 1) / clusterBytes;
  IDataRunList* list = CreateDataRunList();
  if (list == nullptr) return nullptr;
  // A chain cannot start at a cluster the table calls free: whatever the
  // clusters from there hold, nothing says it is this file.
  bool unsure = m_table->IsEntryFree(firstCluster);
  DataRun run{int64_t{firstCluster} - 2, 1};
  uint64_t covered = 0;  // clusters in finished runs
  uint32_t current = firstCluster;
  ClusterSpans taken;
  taken.Take(current);
  // Each step takes a new cluster of the volume, so the walk ends.
  for (;;) {
    if (covered + static_cast<uint64_t>(run.length) >= needed) {
      // A chain longer than the file is cut. Under a folder that is deleted
      // or lost, a chain that does not end with the file may be a newer
      // file's (where the table lost the entry, it says nothing either way).
      if (unvouched && m_table->GetNextCluster(current) < fatchain::kEndOfChain && !m_table->IsEntryUnknown(current)) {
        unsure = true;
      }
      run.length = static_cast<int64_t>(needed - covered);
      break;
    }
    const uint32_t next = m_table->GetNextCluster(current);
    if (next >= fatchain::kEndOfChain) break;  // the chain holds less than the size
    if (next < 2 || next == fatchain::kBadCluster || !InVolume(next, m_clusters) || taken.Has(next)) {
      // A broken chain: the file is taken to go on consecutively, as far as
      // the volume allows. Where the table lost the entry itself, or the
      // entry's folder is deleted or lost, that is a guess the copy cannot
      // vouch for.
      if (unvouched || m_table->IsEntryUnknown(current)) unsure = true;
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
  m_unsure = unsure;
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
  // Deleting a file frees its chain, so a first cluster the table gives to a
  // file now was taken since by a newer one (or by a folder): its chain is
  // never followed. The clusters from there are copied for the user to
  // judge, consecutively, without passing over others' clusters (they are
  // no guide any more), and the copy is not vouched for.
  const bool firstTaken = InVolume(c, clusterCount) && IsGiven(table, static_cast<uint32_t>(c));
  uint64_t covered = 0;
  uint64_t clusters = 0;
  ClusterSpans taken;
  // Clusters the table gives to files are passed over while this many
  // look-ups last; then the walk simply goes on, and the copy is a guess.
  uint64_t skipBudget = kSkipBudget;
  // A walk that reaches the volume's end with clusters still to go goes on
  // at its first cluster, as the allocator that wrote the file did; once.
  bool wrapped = false;
  auto onward = [&](uint64_t next) {
    if (InVolume(next, clusterCount) || wrapped) return next;
    wrapped = true;
    return uint64_t{2};
  };
  // Each step adds one cluster of the volume not taken before, so the walk
  // is bounded by the size and the volume.
  bool guessed = firstTaken;
  while (covered < static_cast<uint64_t>(size) && InVolume(c, clusterCount) && taken.Take(c)) {
    const DataRun run{static_cast<int64_t>(c) - 2, 1};
    list->AddDataRun(&run);
    // A cluster after the first whose entry the table lost may as well be
    // another file's: the copy is a guess. So is one given to a file.
    if (clusters > 0 && (table->IsEntryUnknown(static_cast<uint32_t>(c)) || IsGiven(table, static_cast<uint32_t>(c)))) {
      guessed = true;
    }
    ++clusters;
    covered += clusterBytes;
    uint64_t next = onward(c + 1);
    if (!firstTaken) {
      // A file written in pieces lay between others' clusters: those the
      // table gives to files are not its own. One whose entry the table
      // lost is not passed over for that: it may be the file's own.
      while (skipBudget > 0 && InVolume(next, clusterCount) &&
             table->GetNextCluster(static_cast<uint32_t>(next)) != 0 &&
             !table->IsEntryUnknown(static_cast<uint32_t>(next))) {
        --skipBudget;
        next = onward(next + 1);
      }
    }
    c = next;
  }
  if (supported != nullptr) *supported = Supported(size, clusters, clusterBytes);
  if (unsure != nullptr) *unsure = guessed;
  return clusters > 0;
}

bool CFATBuildDataRun::IsGiven(IFATTable* table, uint32_t cluster) {
  const uint32_t entry = table->GetNextCluster(cluster);
  // A bad mark is also what an entry lost in every copy answers: neither
  // says a file holds the cluster.
  return entry != 0 && entry != fatchain::kBadCluster && !table->IsEntryUnknown(cluster);
}

CEmptyFileVirtualClusterNum* GetEmptyFileVirtualClusterNumObject() {
  static CEmptyFileVirtualClusterNum counter;
  return &counter;
}
