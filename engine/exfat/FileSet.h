// The entry sets the complete scan finds in one run of directory sectors
// (consecutive sectors holding acceptable exFAT entries), and what they tell
// about the volume they belong to: bounds on its cluster size, the range of
// clusters their files use, and whether the run is a root folder (it names
// the volume label, the allocation bitmap and the up-case table).
//
// A run is cut where a directory ends, where an entry set is split off to
// another cluster (the run is then "not ended") and where it has filled a
// cluster of the largest size its folders allow. A run that starts inside a
// set begun elsewhere is "abridged". Runs whose split set was joined again
// are chained (next / last), so that a folder whose clusters lie apart on
// the disk reads as one. The entry set under construction belongs to its
// run: nothing is shared between runs, parsers or scans.
#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "ClusterSpans.h"
#include "exfat/EFDTAnalyze.h"

class CFileSet {
 public:
  // Flags.
  static constexpr uint32_t kLabel = 1;
  static constexpr uint32_t kBitmap = 2;
  static constexpr uint32_t kUpcase = 4;
  static constexpr uint32_t kAbridged = 8;  // starts inside a set begun elsewhere
  static constexpr uint32_t kNotEnd = 16;   // its last set goes on elsewhere
  static constexpr uint32_t kMatched = 32;  // given to a settled partition
  // Cluster numbers above this are not heap clusters.
  static constexpr uint32_t kLastCluster = 0xFFFFFFF5;
  static constexpr uint32_t kNoCluster = 0xFFFFFFF6;
  // Bounds on the cluster size before CalculateClusterSize, in bytes.
  static constexpr uint32_t kSmallestClusterBytes = 512;
  static constexpr uint32_t kLargestClusterBytes = 32u << 20;
  // Runs chained one after the other are followed this far at most.
  static constexpr size_t kChainLimit = 1u << 16;

  CFileSet() = default;
  CFileSet(const CFileSet&) = delete;
  CFileSet& operator=(const CFileSet&) = delete;

  // The entry set under construction, from entries that passed their rules
  // (exfat_entry). A set is complete when its name is, and then joins the
  // run's records.
  void PushPrimaryEntry(const uint8_t* entry, int64_t sector);
  // False when the entry does not continue the set under construction (the
  // set is dropped); a stream or name entry that starts the run marks it
  // abridged.
  bool PushStreamEntry(const uint8_t* entry, bool firstInSector);
  bool PushNameEntry(const uint8_t* entry, bool firstInSector);
  // A vendor entry after a set's name: counted, nothing kept. False when
  // the last set expects none.
  bool PushBenignSecondary(const uint8_t* entry);
  // How many characters of a name entry belong to the name of the set under
  // construction (15 when no set is open).
  int NameUnitsExpected() const;
  void BackupFileInfo() { m_saved = m_building; }
  void RestoreFileInfo() { m_building = m_saved; }
  void ResetFileInfo() { m_building = Building(); }

  void RecordSector(int64_t sector);
  void SetVolumeLabel(const uint8_t* entry);
  void SetBitmapInfo(uint32_t cluster, uint64_t length);
  void SetUpcaseTableInfo(uint32_t cluster, uint64_t length, uint32_t checksum = 0);
  void SetNotEnd() { m_flags |= kNotEnd; }
  void SetAbridged() { m_flags |= kAbridged; }
  void SetMatched(bool matched) { m_flags = matched ? (m_flags | kMatched) : (m_flags & ~kMatched); }
  // Chain this run to the one it goes on in (and back); both keep only the
  // cluster sizes both allow.
  void SetNext(CFileSet* next);
  void SetLast(CFileSet* last);

  // Narrows the smallest cluster size from the files that must fit between
  // their neighbours' first clusters, then turns both bounds into sectors.
  void CalculateClusterSize(uint32_t sectorShift);
  // Takes into `set` the first cluster of every live file of this run and of
  // the runs chained after it, and every cluster a contiguous one covers;
  // false at the first cluster taken twice or outside the heap's numbering.
  bool GetAndCheckClusterSet(ClusterSpans& set, uint64_t clusterBytes) const;
  // Appends the first clusters of the live folders of this run and of the
  // runs chained after it.
  void GetFolder(std::vector<uint32_t>& list) const;
  // This run and the runs chained after it, each once.
  std::vector<const CFileSet*> Chain() const;
  // Whether a cluster of `clusterSectors` sectors is outside the bounds.
  bool IsClusterSizeConflict(uint64_t clusterSectors) const;
  void Reset();

  bool IsRoot() const { return (m_flags & (kLabel | kBitmap | kUpcase)) == (kLabel | kBitmap | kUpcase); }
  bool HasFile() const { return !m_live.empty() || !m_deleted.empty(); }
  bool HasFolder() const { return !m_folders.empty(); }
  bool IsAbridged() const { return (m_flags & kAbridged) != 0; }
  bool IsNotEnd() const { return (m_flags & kNotEnd) != 0; }
  bool IsMatched() const { return (m_flags & kMatched) != 0; }

  const std::vector<_tagFileBaseInfo>& GetLiveFiles() const { return m_live; }
  const std::vector<_tagFileBaseInfo>& GetDeletedFiles() const { return m_deleted; }
  const std::vector<uint32_t>& GetFolders() const { return m_folders; }
  uint32_t GetSmallestCluster() const { return m_smallestCluster; }
  uint32_t GetLargestCluster() const { return m_largestCluster; }
  // Bytes before CalculateClusterSize, sectors after.
  uint32_t GetSmallestClusterSize() const { return m_smallestSize; }
  uint32_t GetLargestClusterSize() const { return m_largestSize; }
  int64_t GetFirstSector() const { return m_firstSector; }
  uint32_t GetSectorCount() const { return m_sectors; }
  int64_t GetEndSector() const { return m_firstSector + m_sectors; }
  uint32_t GetFlags() const { return m_flags; }
  uint32_t GetRootClusterEstimate() const { return m_rootEstimate; }
  uint64_t GetBitmapClusterCount() const { return m_bitmapClusters; }
  uint32_t GetBitmapCluster() const { return m_bitmapCluster; }
  uint64_t GetBitmapLength() const { return m_bitmapLength; }
  uint32_t GetUpcaseCluster() const { return m_upcaseCluster; }
  uint64_t GetUpcaseSize() const { return m_upcaseSize; }
  uint32_t GetUpcaseChecksum() const { return m_upcaseChecksum; }
  CFileSet* GetNext() const { return m_next; }
  CFileSet* GetLast() const { return m_last; }

 private:
  struct Building {
    uint8_t state = 0;  // 0 none, 1 File seen, 2 stream seen, 3 and up one more per name entry
    uint8_t expected = 0;
    uint8_t nameLength = 0;
    uint8_t trailing = 0;  // secondary entries the last set still counts past its name
    uint8_t trailingInUse = 0;
    _tagFileBaseInfo info;
    std::u16string units;
  };
  // Drops the set under construction; a stray secondary entry that starts
  // an empty run marks it abridged.
  bool Drop(bool firstInSector);
  void UpdateFileList();
  void NarrowTo(const CFileSet& other);

  Building m_building;
  Building m_saved;
  std::vector<_tagFileBaseInfo> m_live;     // by first cluster from CalculateClusterSize on
  std::vector<_tagFileBaseInfo> m_deleted;  // in the order met
  std::vector<uint32_t> m_folders;          // first clusters of the live folders
  uint32_t m_smallestCluster = kNoCluster;
  uint32_t m_largestCluster = 0;
  uint32_t m_smallestSize = kSmallestClusterBytes;
  uint32_t m_largestSize = kLargestClusterBytes;
  bool m_inSectors = false;
  int64_t m_firstSector = -1;
  uint32_t m_sectors = 0;
  uint32_t m_flags = 0;
  uint32_t m_rootEstimate = 2;
  uint64_t m_bitmapClusters = 0;
  uint32_t m_bitmapCluster = 0;
  uint64_t m_bitmapLength = 0;
  uint32_t m_upcaseCluster = 0;
  uint64_t m_upcaseSize = 0;
  uint32_t m_upcaseChecksum = 0;
  std::u16string m_label;
  CFileSet* m_next = nullptr;  // not owned
  CFileSet* m_last = nullptr;  // not owned
};
