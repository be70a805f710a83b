// An exFAT volume as it is now, for the files an earlier scan of it found
// (AllocationJudge.h): its boot sector, its first allocation table and the
// allocation bitmap its root names, believed only when it gives the
// volume's own clusters (the bitmap's, the up-case table's, the root's)
// in use; otherwise nothing is said of the heap.
//
// A file's clusters are in use when the bitmap marks one (or its bit lies on
// a sector a failing medium could not give), or when they now lie in front
// of the heap (boot region, tables). Such a file is still its
// own only when the entry set at its metadata sector (where the scan read
// its File entry) is in use and still describes it (its first cluster and
// length, and its name or both its times), and its clusters still follow
// each other as the set says: one after the other for a NoFatChain stream,
// along the table otherwise.
//
// Where a file must be described by its own entry set (SetOwnEntryRequired),
// free clusters keep it only while the set at its metadata sector, in use
// or not, still describes it, its times too (a card formatted again names
// the same file at the same place, written another day).
#pragma once

#include <cstdint>
#include <memory>
#include <unordered_map>
#include <vector>

#include "AllocationJudge.h"
#include "UnreadableSectors.h"
#include "exfat/ExFatPartition.h"

class CSearchedPartitionInfo;
class CSectorSizeDevice;
class IStorageDevice;

class CExFatAllocationJudge final : public IAllocationJudge {
 public:
  // The volume `record` places on `device`; null when no exFAT boot sector
  // is there.
  static std::unique_ptr<CExFatAllocationJudge> Open(IStorageDevice* device, const CSearchedPartitionInfo& record);
  ~CExFatAllocationJudge() override;
  CExFatAllocationJudge(const CExFatAllocationJudge&) = delete;
  CExFatAllocationJudge& operator=(const CExFatAllocationJudge&) = delete;

  bool IsTaken(CFileNode& node) override;
  bool ForEachGiven(uint64_t begin, uint64_t end, const GivenPiece& given) override;

  // The root is read along its chain for its bitmap entry this far.
  static constexpr uint32_t kMaxRootClusters = 64;

 private:
  CExFatAllocationJudge() = default;

  // Reads the root's Allocation Bitmap and Up-case Table entries and judges
  // the bitmap once.
  bool BitmapBelieved();
  // Whether the set at the node's metadata sector (in use, unless `erased`
  // sets count too) still describes it.
  bool Describes(CFileNode& node, uint32_t first, bool consecutive, bool chained, bool erased = false);
  // Appends the sectors to `out`, and to `lost` those a failing medium
  // could not give (zeros in `out`).
  bool Read(int64_t sector, uint32_t sectors, std::vector<uint8_t>& out, SectorRuns& lost);
  // The entry sets that start in folder cluster `cluster` (read with the
  // folder's next cluster, where a set may end), kept for the files after.
  const std::vector<_tagFileBaseInfo>& SetsIn(uint32_t cluster);
  static constexpr size_t kMaxClustersKept = 1024;

  std::unique_ptr<CSectorSizeDevice> m_view;
  IStorageDevice* m_read = nullptr;  // the device, or the view in the volume's sectors
  int64_t m_volumeStart = 0;         // in m_read's sectors
  CExFatPartition m_partition;
  RecordPlace m_record;
  int m_believed = -1;  // not judged yet
  std::unordered_map<uint32_t, std::vector<_tagFileBaseInfo>> m_sets;
};

std::unique_ptr<IAllocationJudge> CreateExFatAllocationJudge(IStorageDevice* device,
                                                             const CSearchedPartitionInfo& record);
