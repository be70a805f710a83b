// The allocation table and geometry of one exFAT volume: cluster and sector
// arithmetic (64-bit, bounded by the cluster heap), cluster chains, the data
// runs of a decoded entry set and the node made from it.
#pragma once

#include <cstdint>
#include <map>
#include <set>
#include <utility>
#include <vector>

#include "exfat/EFDTAnalyze.h"

class CExFatDBR;
class CExFatFileNode;
class IDataRunList;
class IStorageDevice;

// The allocation table, read in windows of 1 MiB as the chains reach them;
// at most kMaxWindows are kept, the one with the lowest start sector goes
// first.
class CFatTable {
 public:
  static constexpr uint32_t kWindowBytes = 1u << 20;
  static constexpr size_t kMaxWindows = 9;
  static constexpr uint32_t kEndOfChain = 0xFFFFFFFF;

  CFatTable() = default;
  virtual ~CFatTable() = default;
  CFatTable(const CFatTable&) = delete;
  CFatTable& operator=(const CFatTable&) = delete;

  // Binds the reader to the table of `fatSectors` sectors at `fatStartSector`
  // of `device` (which must lie on the device) for clusters 2 to
  // clusterCount + 1, and loads the first window. False, with no window,
  // when the table does not fit the device or cannot be read.
  bool CreateFatTable(IStorageDevice* device, int64_t fatStartSector, uint32_t fatSectors, uint32_t clusterCount);
  // The raw table entry of `cluster`; kEndOfChain when no window is loaded,
  // the cluster is outside 2..clusterCount + 1 or past the table, or its
  // window or sector cannot be read.
  uint32_t GetNextCluster(uint32_t cluster);
  void ClearFatData();
  bool IsValid() const { return !m_windows.empty(); }
  // Whether a window could not be read since the table was bound.
  bool HasReadFailed() const { return m_readFailed; }

 private:
  std::vector<uint8_t>* LoadWindow(int64_t start);

  IStorageDevice* m_device = nullptr;  // not owned
  int64_t m_fatStart = 0;
  uint32_t m_fatSectors = 0;
  uint32_t m_windowSectors = 0;
  uint32_t m_sectorSize = 0;
  uint32_t m_clusterCount = 0;
  bool m_readFailed = false;
  std::map<int64_t, std::vector<uint8_t>> m_windows;
  std::set<int64_t> m_lostSectors;  // table sectors a failing medium could not give
};

class CExFatPartition : public CFatTable {
 public:
  // Takes the geometry of a boot sector that passed CExFatDBR::IsValid for
  // this device, for the volume starting at `volumeStart`, and binds its
  // first allocation table. False when the table cannot be read.
  bool Init(const CExFatDBR& dbr, IStorageDevice* device, int64_t volumeStart);

  // 0 for a cluster outside the heap, else the device sector where it starts.
  int64_t ConvertClusterNumToSector(uint32_t cluster) const;
  // The cluster holding `sector` (rounded up); 0 when no geometry is set.
  uint32_t ConvertSectorToClusterNum(int64_t sector) const;
  // Clusters 2 to ClusterCount + 1 hold data.
  bool IsHeapCluster(uint64_t cluster) const { return cluster >= 2 && cluster < m_clusterLimit; }
  // The cluster after `cluster` in its chain: the next one on disk for a
  // contiguous (NoFatChain) chain, the table entry otherwise; kEndOfChain
  // for anything outside the heap.
  uint32_t GetNextCluster(uint32_t cluster, bool contiguous);
  using CFatTable::GetNextCluster;
  // A new run list (never null unless memory is short): empty for folders,
  // files without clusters or data; one run for contiguous files; the table
  // chain otherwise, as far as the data length reaches. Runs count from the
  // heap (cluster 2 is run start 0) and never leave it.
  //
  // A deleted file's chain is followed only while it still holds in the
  // table: as long as the length needs, ending with the end-of-chain mark,
  // no cluster twice and none the volume gives to a live file
  // (IsClusterGiven). Otherwise (writers free the chain with the file)
  // `guessed` is set and its clusters are taken to follow each other from
  // the first, passing over those given to live files when the bitmap is
  // known, and going on at the heap's first cluster past its last.
  //
  // Such a guess is only as good as the bitmap under it: `unsure` is set
  // when the file needs more than one cluster and the bitmap is unknown or
  // its pieces over the clusters walked were not believed (BitmapHolds).
  IDataRunList* BuildFileDataRun(const _tagFileBaseInfo& info, bool* guessed = nullptr, bool* unsure = nullptr);
  // A new node of the set (IDs are set by the caller); null when memory is
  // short. Its size is what its runs hold when the stream's length is more
  // (the node then says its size is damaged). A deleted file whose runs
  // reach clusters in use now (RunsReachClustersInUse) is content-unsure:
  // its copy is kept for the user to judge, never counted as recovered.
  CExFatFileNode* BuildFile(const _tagFileBaseInfo& info);

  // The allocation bitmap, from the root's Allocation Bitmap entry; read
  // whole on first use, when at most kMaxBitmapBytes.
  static constexpr uint64_t kMaxBitmapBytes = 32u << 20;
  void SetAllocationBitmap(uint32_t firstCluster, uint64_t length);
  bool HasAllocationBitmap() const { return m_bitmapCluster != 0; }
  // The volume's own structures (from the root's entries): the bitmap's and
  // the up-case table's first cluster and length in bytes; 0 where unknown.
  void SetUpcaseTable(uint32_t firstCluster, uint64_t length) {
    m_upcaseCluster = IsHeapCluster(firstCluster) ? firstCluster : 0;
    m_upcaseLength = length;
  }
  uint32_t GetBitmapCluster() const { return m_bitmapCluster; }
  uint64_t GetBitmapLength() const { return m_bitmapLength; }
  uint32_t GetUpcaseCluster() const { return m_upcaseCluster; }
  uint64_t GetUpcaseLength() const { return m_upcaseLength; }
  // 1 when the bitmap gives `cluster` to a file, 0 when it is free, -1 when
  // that is not known, kBitLost when its bit lies on a sector a failing
  // medium could not give (UnreadableSectors.h): it may be set.
  static constexpr int kBitLost = -2;
  int IsClusterAllocated(uint32_t cluster);
  // Once the bitmap is judged, whether the volume gives `cluster` to
  // something as far as can be believed: where the scan saw a live file or
  // folder take it, or where the bitmap's piece over it is believed and
  // says so; 0 where it is not (IsClusterAllocated before).
  int IsClusterGiven(uint32_t cluster);

  // The bitmap is judged by 512-byte piece against the clusters the scan
  // knows are in use: those of live files and folders, noted here before
  // JudgeBitmap, and the bitmap's own. A sound piece gives every one of them
  // and little else; bytes written over a piece disagree with about half of
  // its clusters. A piece where more than a quarter of the clusters disagree
  // is not believed (folders lost to damage leave their files' clusters
  // unexplained, so the bar is well above what a whole volume holds in
  // metadata). Runs count from the heap, as BuildFileDataRun's do.
  void NoteClustersInUse(IDataRunList* runs);
  void NoteClusterInUse(uint32_t cluster);
  void JudgeBitmap();
  static constexpr uint32_t kBitmapPieceBytes = 512;
  static constexpr uint32_t kDisagreeShare = 4;
  // Whether the bitmap was judged and every piece over clusters first to
  // last (inclusive) believed.
  bool BitmapHolds(uint32_t first, uint32_t last);
  // Whether runs (counted from the heap) reach a cluster the volume gives to
  // something now: one the scan saw a live file, a live folder or the
  // bitmap take, or one the bitmap marks in use where its piece is believed.
  // A deleted file's runs that do hold another file's bytes (or the
  // volume's own) there: a copy would pass them off as the file's. Where
  // the bitmap is not believed only what the scan saw counts; bits a
  // failing medium lost count as set.
  bool RunsReachClustersInUse(IDataRunList* runs);

  uint32_t GetBytesPerSector() const { return m_bytesPerSector; }
  uint32_t GetSectorsPerCluster() const { return m_sectorsPerCluster; }
  uint32_t GetBytesPerCluster() const { return m_bytesPerCluster; }
  uint32_t GetRootCluster() const { return m_rootCluster; }
  // One past the last heap cluster (ClusterCount + 2).
  uint64_t GetClusterLimit() const { return m_clusterLimit; }
  int64_t GetHeapFirstSector() const { return m_heapFirstSector; }
  int64_t GetVolumeStartSector() const { return m_volumeStart; }
  uint64_t GetTotalSectors() const { return m_totalSectors; }

 protected:
  // Takes a geometry worked out without a boot sector (clusters 2 to
  // clusterCount + 1 from `heapFirstSector`); binds no table and forgets the
  // bitmap.
  void SetGeometry(IStorageDevice* device, uint32_t bytesPerSector, uint32_t sectorsPerCluster, int64_t heapFirstSector,
                   int64_t volumeStart, uint64_t totalSectors, uint64_t clusterCount, uint32_t rootCluster);
  void SetVolumeStart(int64_t sector, uint64_t totalSectors) {
    m_volumeStart = sector;
    m_totalSectors = totalSectors;
  }

 private:
  // Whether the deleted chain from `first` still holds `clusters` clusters.
  bool DeletedChainHolds(uint32_t first, uint64_t clusters);
  bool LoadBitmap();
  // Whether bits [from, to) (from cluster 2) meet bytes the medium lost.
  bool BitmapLost(uint64_t from, uint64_t to) const;

  void ForgetBitmap();

  IStorageDevice* m_device = nullptr;  // not owned
  // Clusters known in use, a bit each from cluster 2 (as the bitmap), and
  // per bitmap piece whether it is believed; both empty until used.
  std::vector<uint8_t> m_inUse;
  std::vector<uint8_t> m_pieceSound;
  bool m_bitmapJudged = false;
  uint32_t m_bitmapCluster = 0;
  uint64_t m_bitmapLength = 0;
  uint32_t m_upcaseCluster = 0;
  uint64_t m_upcaseLength = 0;
  bool m_bitmapTried = false;
  std::vector<uint8_t> m_bitmap;
  std::vector<std::pair<uint64_t, uint64_t>> m_bitmapLost;  // bytes [from, to) of it a failing medium lost
  uint32_t m_bytesPerSector = 512;
  uint32_t m_sectorsPerCluster = 1;
  uint64_t m_clusterLimit = 0;
  uint32_t m_rootCluster = 0xFFFFFFFF;
  uint32_t m_bytesPerCluster = 512;
  int64_t m_heapFirstSector = 0;
  int64_t m_volumeStart = 0;
  uint64_t m_totalSectors = 0;
};
