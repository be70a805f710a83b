// Decides, from what the complete scan meets sector by sector, where exFAT
// volumes lie on a disk and which runs of directory sectors (CFileSet)
// belong to each. A volume is known by its geometry alone (the sector of
// cluster 2 and the sectors per cluster): every run can then be tested by
// arithmetic. Candidates come from boot sectors (main copy or backup), from
// root folders fitted to their up-case table or to their own position, and
// from folder trees (a folder and one of its sub-folders fitted together).
// Each is scored by the folder trees it explains (CheckTree: every folder
// a run names must sit where the geometry puts it, and no two files may
// share a cluster); candidates are winnowed so that no run serves two
// volumes, and those whose evidence another covers are dropped. The nodes
// of each settled volume are then made from its runs.
//
// Bounds: the candidate list is trimmed to 512 when it reaches 1025; at
// most 2176 runs wait in the backlog; partners for tree fitting come from
// 31 runs before to 128 after; roots try a few root clusters and up-case
// tables only; tree checks have an allowance of steps that grows with the
// runs and folders found, and the reads that check roots one of bytes that
// grows with the pass;
// clusters are taken as spans; runs are found by bisection and folders by
// a map from their clusters.
#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <memory>
#include <set>
#include <unordered_map>
#include <vector>

#include "exfat/ExFatPartitionEx.h"
#include "exfat/FileSet.h"

class CExFatFileNode;
class IStorageDevice;

class CPartitionBuilder {
 public:
  static constexpr size_t kBacklog = 2176;
  static constexpr int64_t kBacklogDistance = 0x2000000;
  static constexpr size_t kWindowBefore = 31;
  static constexpr size_t kWindowAfter = 128;
  static constexpr size_t kBelongCandidates = 16;
  static constexpr size_t kSpillAt = 1025;
  static constexpr size_t kSpillTo = 512;
  static constexpr size_t kUpcaseTries = 64;
  static constexpr uint32_t kRootClusterTries = 64;
  static constexpr size_t kRootCandidates = 64;
  static constexpr size_t kParentFolders = 256;
  static constexpr size_t kTableTries = 8;
  static constexpr size_t kChainsChecked = 64;
  // Tree checks are paid for in steps (a folder looked up each), and what
  // may be spent grows with what the pass found, so that a volume met late
  // is checked as fully as the first, and a disk full of directory sectors
  // that fit nothing costs time in proportion to them, not hours:
  // - fitting runs with their neighbours starts hypotheses while the
  //   allowance lasts: kFittingBase, plus kFittingPerRun for every run
  //   processed and kFittingPerFolder for every folder it names, so a run
  //   gets its share however much the runs before it spent;
  // - the other checks of the pass (a run's belonging, a root's tree) fail
  //   past kCheckBase plus kCheckPerFolder for every folder pushed;
  // - winnowing gets the same allowance afresh: what the pass spent never
  //   makes it fail.
  static constexpr uint64_t kFittingBase = uint64_t{1} << 24;
  static constexpr uint64_t kFittingPerRun = uint64_t{1} << 10;
  static constexpr uint64_t kFittingPerFolder = uint64_t{1} << 6;
  static constexpr uint64_t kCheckBase = uint64_t{1} << 27;
  static constexpr uint64_t kCheckPerFolder = uint64_t{1} << 8;
  // What the checks of the last build spent and were allowed (kept until the
  // next PrepareBuild, for benchmarks and tests).
  struct Steps {
    uint64_t fitting = 0, fittingAllowed = kFittingBase;
    uint64_t checks = 0, checksAllowed = 0;
    uint64_t winnowing = 0, winnowingAllowed = 0;
    uint64_t folders = 0;  // folder entries of the runs pushed
  };
  // Bytes read to check roots against up-case tables and bitmaps: at most
  // this much plus a quarter of what the pass has gone through, so that a
  // disk of root-like runs (each would read up to 16 MiB of tables) costs
  // a share of the scan, not terabytes.
  static constexpr uint64_t kCheckReadBytes = uint64_t{64} << 20;
  // Node IDs of deleted folders whose first cluster a live folder holds now.
  static constexpr int64_t kClaimedFolderIDs = int64_t{1} << 61;

  CPartitionBuilder() = default;
  CPartitionBuilder(const CPartitionBuilder&) = delete;
  CPartitionBuilder& operator=(const CPartitionBuilder&) = delete;

  // `device` (not owned) is read for up-case tables, bitmaps and allocation
  // tables when hypotheses are checked.
  void PrepareBuild(IStorageDevice* device, uint32_t sectorSize, uint64_t totalSectors);
  // A valid boot sector (512 bytes at least) was found at `sector`.
  void Build(int64_t sector, const uint8_t* bootSector);
  // An allocation table's first sector was found.
  void RecordFAT(int64_t sector);
  // An up-case table's first sector was found.
  void RecordUpCaseTable(int64_t sector);
  // Takes the run; links it to the run it goes on in (`tailSector`) or
  // comes from (`headSector`), -1 for none. Runs come in ascending order.
  void PushFileSet(std::unique_ptr<CFileSet> set, int64_t headSector, int64_t tailSector);
  // Called after every sector: works through the backlog.
  void Build(int64_t sector);
  // Settles the volumes and appends them, in their final order, to `list`
  // (the caller owns them then).
  void FinishBuid(std::vector<std::unique_ptr<CExFatPartitionEx>>& list);
  // Appends the nodes of one settled volume (owned by the caller; IDs set,
  // not the partition index). Its table, when it has one, must be bound.
  void BuildFileTree(CExFatPartitionEx& partition, std::vector<CExFatFileNode*>& nodes);
  // Frees every run and candidate.
  void Clear();

  // The score of the folder tree below `root` under the geometry (the sum,
  // over the runs of its folders found where the geometry puts them, of
  // their depth), 0 when it is below `minimum` or the tree does not fit: a
  // folder named twice or inside itself, a run given to another volume or
  // beyond the device, files sharing a cluster. `tree` gets its runs.
  uint32_t CheckTree(CFileSet& root, int64_t heap, uint32_t spc, uint32_t minimum, std::vector<CFileSet*>* tree);

  // What tests look at.
  const std::vector<std::unique_ptr<CExFatPartitionEx>>& GetCandidates() const { return m_list; }
  const std::vector<std::unique_ptr<CFileSet>>& GetFileSets() const { return m_all; }
  CFileSet* FindFileSet(int64_t sector) const;
  uint64_t GetTreeSteps() const { return m_steps.fitting + m_steps.checks + m_steps.winnowing; }
  const Steps& GetSteps() const { return m_steps; }
  uint64_t GetCheckSectors() const { return m_checkSectors; }

 private:
  struct Results {
    std::vector<std::unique_ptr<CExFatPartitionEx>> made;
    std::vector<CExFatPartitionEx*> existing;
  };
  // A geometry that puts a root at its cluster.
  struct Fit {
    int64_t heap;
    uint32_t spc, rootCluster;
  };

  CExFatPartitionEx* Find(const CExFatPartitionEx::Geometry& geometry) const;
  void Add(std::unique_ptr<CExFatPartitionEx> candidate);
  void Remove(CExFatPartitionEx* candidate);
  void SortList();

  void BuildFromTree();
  void BuildFromUpcaseTable(CFileSet& root);
  void BuildFromRoot(CFileSet& root);
  bool BuildPartionByRoot(int64_t heap, uint32_t spc, uint64_t clusters, uint32_t rootCluster, Results& results);
  void BuildFromTree(CFileSet& parent, CFileSet& child, uint32_t minimum);
  bool IsBelongExistedPartition(CFileSet& set);
  void UpdatePartitionList(Results& results, CFileSet* root);
  void SpillPartition();
  std::vector<CExFatPartitionEx*> WinnowPartition();
  void RemovePartionBeCoveredByOther(std::vector<CExFatPartitionEx*>& winnowed,
                                     std::vector<std::unique_ptr<CExFatPartitionEx>>& out);
  void CalcPartitionParam(CExFatPartitionEx& partition);
  uint64_t CheckAllowance() const;

  // Checks made beyond the runs' own evidence.
  // Whether `sectors` more may be read for checks (counted when so).
  bool MayRead(uint64_t sectors);
  bool UpcaseTableMatches(int64_t sector, const CFileSet& root);
  bool BitmapMarks(int64_t heap, uint32_t spc, const CFileSet& root, uint32_t rootCluster);
  // Keeps the fits whose bitmap marks the root's clusters, when any does.
  void KeepMarked(std::vector<Fit>& fits, const CFileSet& root);
  void FindTable(CExFatPartitionEx& partition, const std::vector<std::unique_ptr<CExFatPartitionEx>>& settled);
  bool TableHolds(CExFatPartitionEx& partition, int64_t sector, uint32_t length, bool needChains);
  void AssignRuns(std::vector<std::unique_ptr<CExFatPartitionEx>>& settled);

  IStorageDevice* m_device = nullptr;  // not owned
  uint32_t m_sectorSize = 512;
  uint64_t m_totalSectors = 0;
  std::vector<std::unique_ptr<CFileSet>> m_all;  // ascending first sector
  size_t m_given = 0;                            // runs given to a winnowed volume
  size_t m_processed = 0;
  int64_t m_lastPosition = 0;
  std::set<CExFatPartitionEx*, CExFatPartitionLess> m_candidates;
  std::set<CExFatPartitionEx::Geometry> m_removed;
  std::vector<std::unique_ptr<CExFatPartitionEx>> m_list;
  std::vector<int64_t> m_upcases;
  std::vector<int64_t> m_fats;
  Steps m_steps;
  // Which allowance tree checks spend now.
  enum class Spending { kChecks, kFitting, kWinnowing };
  Spending m_spending = Spending::kChecks;
  uint64_t m_checkSectors = 0;  // read for checks
  int64_t m_position = 0;       // the furthest sector the pass has reached
  // Which settled volume builds each run.
  std::unordered_map<const CFileSet*, const CExFatPartitionEx*> m_owner;
  int64_t m_nextClaimedID = kClaimedFolderIDs;
};
