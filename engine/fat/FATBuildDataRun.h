// The extents of a FAT file: a live file's follow its chain in the table; a
// deleted file's chain is normally freed, so after the table runs out the
// file is taken to go on in consecutive clusters. Runs count clusters from
// cluster 2 (run start = cluster - 2) and are bounded by the volume.
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

  // A new list (the caller owns it), or null when the file has no place on
  // the volume.
  IDataRunList* BuildDataRunList(uint32_t firstCluster, int64_t size, int deleted);
  // Fills `list` for a deleted file; false when nothing was added.
  static bool BuildDeleteFileDataRunList(IDataRunList* list, uint32_t firstCluster, int64_t size, IFATTable* table,
                                         uint32_t sectorsPerCluster, uint64_t clusterCount, uint32_t sectorSize);

 private:
  IDataRunList* BuildLiveDataRunList(uint32_t firstCluster, int64_t size);

  IFATTable* m_table;
  uint32_t m_sectorSize;
  uint32_t m_sectorsPerCluster;
  uint64_t m_clusters;
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
