// A candidate exFAT volume of the complete scan: a geometry (the sector of
// cluster 2 and the sectors per cluster, which place every folder cluster
// by arithmetic), where it came from, and the runs of directory sectors it
// explains.
#pragma once

#include <cstdint>
#include <map>
#include <unordered_set>
#include <utility>
#include <vector>

#include "exfat/ExFatPartition.h"

class CExFatDBR;
class CFileSet;

class CExFatPartitionEx : public CExFatPartition {
 public:
  // Where the candidate came from, strongest first.
  static constexpr uint32_t kBootMain = 0x80000000;       // a boot sector at its start
  static constexpr uint32_t kBootBackup = 0x40000000;     // the backup 12 sectors on
  static constexpr uint32_t kRootSet = 0x10000000;        // its root folder fitted
  static constexpr uint32_t kDirectoryTree = 0x08000000;  // a folder and a sub-folder fitted together
  static constexpr uint32_t kBackward = 0x02000000;       // a folder fitted back from its files' clusters
  static constexpr uint32_t kSecondFat = 0x00000002;      // the second table's first sector seen in place
  static constexpr uint32_t kFirstFat = 0x00000001;       // the first table's first sector seen in place
  static constexpr uint32_t kUnknownRoot = 0xFFFFFFFF;

  using Geometry = std::pair<int64_t, uint32_t>;  // heap first sector, sectors per cluster

  // From a valid boot sector of a volume starting at `volumeStart`.
  void SetFromBoot(IStorageDevice* device, const CExFatDBR& dbr, int64_t volumeStart, uint32_t flags);
  // From evidence without a boot sector: the volume holds `clusters`
  // clusters from `heap` (so it ends at heap + clusters x spc).
  void SetFromEvidence(IStorageDevice* device, uint32_t bytesPerSector, int64_t heap, uint32_t spc, uint64_t clusters,
                       uint32_t rootCluster, uint32_t flags);

  Geometry GetGeometry() const { return {GetHeapFirstSector(), GetSectorsPerCluster()}; }
  bool HasBootSector() const { return (m_flags & (kBootMain | kBootBackup)) != 0; }
  // One past the last sector the volume may hold.
  int64_t GetEnd() const { return m_end; }
  void SetEnd(int64_t end) { m_end = end; }
  // Where a volume placed without its boot sector starts: its table when
  // one was found, else its heap.
  void SetStart(int64_t start) { SetVolumeStart(start, static_cast<uint64_t>(m_end - start)); }
  // Whether the run lies in the volume past its first two clusters.
  bool Contains(const CFileSet& set) const;
  // Whether `sector` starts a cluster, and the cluster that holds it.
  bool IsClusterStart(int64_t sector) const;
  uint32_t ClusterOf(int64_t sector) const;
  int64_t SectorOf(uint32_t cluster) const {
    return GetHeapFirstSector() + (int64_t{cluster} - 2) * GetSectorsPerCluster();
  }

  uint32_t m_flags = 0;
  uint32_t m_fatCount = 0;
  uint32_t m_fatLength = 0;  // sectors
  int64_t m_fatOffset = 0;   // from the volume start
  // The table the tree is read with: the first sector (-1 none) and length.
  int64_t m_tableSector = -1;
  uint32_t m_tableLength = 0;
  std::unordered_set<CFileSet*> m_matched;  // not owned
  std::vector<int64_t> m_alignedSectors;    // first sectors of matched runs that start a cluster
  std::vector<int64_t> m_otherSectors;
  std::map<int64_t, uint32_t> m_scores;  // run first sector -> the score of the tree it was matched in

 private:
  int64_t m_end = 0;
};

// The candidate set's order: by geometry. Transparent, so that a geometry
// finds its candidate.
struct CExFatPartitionLess {
  using is_transparent = void;
  bool operator()(const CExFatPartitionEx* a, const CExFatPartitionEx* b) const {
    return a->GetGeometry() < b->GetGeometry();
  }
  bool operator()(const CExFatPartitionEx* a, const CExFatPartitionEx::Geometry& b) const {
    return a->GetGeometry() < b;
  }
  bool operator()(const CExFatPartitionEx::Geometry& a, const CExFatPartitionEx* b) const {
    return a < b->GetGeometry();
  }
};

// The candidate list's order: the strongest evidence first, then the most
// runs explained, then the geometry (so that ties always fall the same way).
struct CExFatPartitionGreater {
  bool operator()(const CExFatPartitionEx* a, const CExFatPartitionEx* b) const {
    if (a->m_flags != b->m_flags) return a->m_flags > b->m_flags;
    if (a->m_matched.size() != b->m_matched.size()) return a->m_matched.size() > b->m_matched.size();
    return a->GetGeometry() < b->GetGeometry();
  }
};
