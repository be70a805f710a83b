// The extents of a FAT file: a live file's follow its chain in the table; a
// deleted file's chain was freed, so the file is taken to go on from its
// first cluster in the next clusters the table does not give to other files
// (a file written in pieces lay between others'), and past the volume's
// last cluster at its first one, as the allocator that wrote it wrapped. A
// deleted file never follows a chain: where its first cluster is given to a
// file now, a newer file took it, and the copy from there is a guess. Runs
// count clusters from cluster 2 (run start = cluster - 2) and are bounded by
// the volume.
//
// A size is judged against what the runs can hold: a live file whose chain
// ends where the table says it ends holds no more than its chain (a larger
// size is damaged, as fsck.fat also finds); a chain broken by a free or bad
// entry, a cluster past the volume or a loop goes on consecutively as far
// as the size needs, but never past the volume's end. GetSupportedSize
// gives the size the runs support; the caller keeps that and marks the
// entry's size damaged when it is smaller.
//
// Where the table lost an entry in every copy (IFATTable::IsEntryUnknown)
// it says nothing of that cluster: a deleted file's walk does not pass over
// it as another file's, and a live chain broken there goes on
// consecutively, but either way the runs are a guess: IsContentUnsure says
// so, and the caller marks the file's content unsure. So it does for a live
// chain that starts at a cluster the table calls free, and for a deleted
// file whose runs reach clusters the table gives to files.
#pragma once

#include <cstdint>

class IDataRunList;
class IFATTable;

class CFATBuildDataRun {
 public:
  // `clusterCount`: the clusters of the data area (valid clusters are 2 to
  // clusterCount + 1).
  CFATBuildDataRun(IFATTable* table, uint32_t sectorSize, uint32_t sectorsPerCluster, uint64_t clusterCount)
      : m_table(table), m_sectorSize(sectorSize), m_sectorsPerCluster(sectorsPerCluster), m_clusters(clusterCount) {}

  // What BuildDataRunList's `deleted` says of the file's entry: in a live
  // folder and not erased; erased (any other value); not erased, but in a
  // folder that is deleted or lost, so that its chain is followed as a live
  // one but only vouched for when it ends with the file.
  static constexpr int kLiveEntry = 0;
  static constexpr int kErasedEntry = 1;
  static constexpr int kUnvouchedEntry = 2;
  // A new list (the caller owns it), or null when the file has no place on
  // the volume.
  IDataRunList* BuildDataRunList(uint32_t firstCluster, int64_t size, int deleted);
  // The bytes of the size of the last BuildDataRunList that its runs hold
  // (the size itself when they hold it all; 0 without runs).
  int64_t GetSupportedSize() const { return m_supported; }
  // Whether the runs of the last BuildDataRunList are a guess (entries the
  // table lost, clusters it gives to other files, a chain that starts free).
  bool IsContentUnsure() const { return m_unsure; }
  // Whether the table gives `cluster` to a file (or a folder): an entry it
  // believes, neither free nor bad.
  static bool IsGiven(IFATTable* table, uint32_t cluster);
  // Fills `list` for a deleted file; false when nothing was added. With
  // `supported`, the bytes of `size` the runs hold; with `unsure`, whether
  // they are a guess (entries the table lost, a first cluster or a later one
  // the table gives to a file). At most kSkipBudget
  // clusters given to files are passed over (a bound on the look-ups of one
  // file); past that the file goes on consecutively.
  static constexpr uint64_t kSkipBudget = 1u << 16;
  static bool BuildDeleteFileDataRunList(IDataRunList* list, uint32_t firstCluster, int64_t size, IFATTable* table,
                                         uint32_t sectorsPerCluster, uint64_t clusterCount, uint32_t sectorSize,
                                         int64_t* supported = nullptr, bool* unsure = nullptr);

 private:
  IDataRunList* BuildLiveDataRunList(uint32_t firstCluster, int64_t size, bool unvouched);

  IFATTable* m_table;
  uint32_t m_sectorSize;
  uint32_t m_sectorsPerCluster;
  uint64_t m_clusters;
  int64_t m_supported = 0;
  bool m_unsure = false;
};

// The unique IDs of empty files, above every 32-bit cluster number.
class CEmptyFileVirtualClusterNum {
 public:
  static constexpr uint64_t kFirst = uint64_t{1} << 32;
  void ResetVirtualClusterNum() { m_next = kFirst; }
  uint64_t GetVirtualClusterNum() { return m_next++; }

 private:
  uint64_t m_next = kFirst;
};

// The process-wide counter (one scan at a time).
CEmptyFileVirtualClusterNum* GetEmptyFileVirtualClusterNumObject();
