#include "exfat/PartitionBuilder.h"

#include <algorithm>
#include <cstdlib>
#include <deque>
#include <iterator>
#include <new>
#include <unordered_set>

#include "ClusterSpans.h"
#include "OnDiskBytes.h"
#include "StorageDevice.h"
#include "exfat/ExFatDBR.h"
#include "exfat/ExFatFileNode.h"

namespace {

constexpr int64_t kBootRegionSectors = 12;
// Up-case tables hold at most 65536 characters; a longer one is not real.
constexpr uint64_t kMaxUpcaseBytes = 2u << 17;
// Longer chains are checked over their first links only.
constexpr uint32_t kChainSteps = 4096;
// A folder's clusters are listed this far at most.
constexpr uint64_t kFolderClusters = 1u << 16;

// The largest power of two that divides `value` (> 0).
int64_t LowestBit(int64_t value) { return value & -value; }

uint64_t CeilDiv(uint64_t a, uint64_t b) { return b == 0 ? 0 : (a + b - 1) / b; }

bool IsHeapNumber(uint64_t cluster) { return cluster >= 2 && cluster <= CFileSet::kLastCluster; }

}  // namespace

void CPartitionBuilder::PrepareBuild(IStorageDevice* device, uint32_t sectorSize, uint64_t totalSectors) {
  Clear();
  m_steps = Steps();
  m_device = device;
  m_sectorSize = sectorSize;
  m_totalSectors = totalSectors;
}

void CPartitionBuilder::Clear() {
  m_all.clear();
  m_given = 0;
  m_processed = 0;
  m_lastPosition = 0;
  m_candidates.clear();
  m_removed.clear();
  m_list.clear();
  m_upcases.clear();
  m_fats.clear();
  m_spending = Spending::kChecks;
  m_checkSectors = 0;
  m_position = 0;
  m_owner.clear();
  m_nextClaimedID = kClaimedFolderIDs;
}

// ---- candidates -----------------------------------------------------------------

CExFatPartitionEx* CPartitionBuilder::Find(const CExFatPartitionEx::Geometry& geometry) const {
  auto it = m_candidates.find(geometry);
  return it != m_candidates.end() ? *it : nullptr;
}

void CPartitionBuilder::Add(std::unique_ptr<CExFatPartitionEx> candidate) {
  if (!m_candidates.insert(candidate.get()).second) return;
  m_list.push_back(std::move(candidate));
}

void CPartitionBuilder::Remove(CExFatPartitionEx* candidate) {
  m_removed.insert(candidate->GetGeometry());
  m_candidates.erase(candidate);
  std::erase_if(m_list, [candidate](const auto& kept) { return kept.get() == candidate; });
}

void CPartitionBuilder::SortList() {
  std::stable_sort(m_list.begin(), m_list.end(),
                   [](const auto& a, const auto& b) { return CExFatPartitionGreater()(a.get(), b.get()); });
}

CFileSet* CPartitionBuilder::FindFileSet(int64_t sector) const {
  auto it = std::lower_bound(m_all.begin(), m_all.end(), sector,
                             [](const auto& set, int64_t at) { return set->GetFirstSector() < at; });
  return it != m_all.end() && (*it)->GetFirstSector() == sector ? it->get() : nullptr;
}

// ---- evidence from the block pass ------------------------------------------------

void CPartitionBuilder::Build(int64_t sector, const uint8_t* bootSector) {
  const CExFatDBR dbr(bootSector);
  const int64_t heapOffset = dbr.GetDataRegionStartSector();
  const uint32_t spc = dbr.GetSectorsperCluster();
  // Met 12 sectors after a boot sector of the same geometry: its backup.
  if (sector >= kBootRegionSectors) {
    if (CExFatPartitionEx* main = Find({sector - kBootRegionSectors + heapOffset, spc})) {
      if (!main->HasBootSector()) main->SetFromBoot(m_device, dbr, sector - kBootRegionSectors, main->m_flags);
      main->m_flags |= CExFatPartitionEx::kBootBackup;
      // The guess that the earlier sector was a backup itself is dropped.
      if (sector >= 2 * kBootRegionSectors) {
        CExFatPartitionEx* guess = Find({sector - 2 * kBootRegionSectors + heapOffset, spc});
        if (guess != nullptr && guess->m_flags == CExFatPartitionEx::kBootBackup) Remove(guess);
      }
      SortList();
      return;
    }
  }
  auto place = [&](int64_t start, uint32_t flag) {
    if (CExFatPartitionEx* known = Find({start + heapOffset, spc})) {
      // The same geometry placed from other evidence: the boot sector says
      // the rest.
      if (!known->HasBootSector()) known->SetFromBoot(m_device, dbr, start, known->m_flags);
      known->m_flags |= flag;
      return;
    }
    auto candidate = std::make_unique<CExFatPartitionEx>();
    candidate->SetFromBoot(m_device, dbr, start, flag);
    Add(std::move(candidate));
  };
  place(sector, CExFatPartitionEx::kBootMain);
  if (sector >= kBootRegionSectors) place(sector - kBootRegionSectors, CExFatPartitionEx::kBootBackup);
  SpillPartition();
  SortList();
}

void CPartitionBuilder::RecordFAT(int64_t sector) {
  if (m_fats.size() < (size_t{1} << 20)) m_fats.push_back(sector);
  for (const auto& candidate : m_list) {
    if (candidate->m_flags < CExFatPartitionEx::kBootBackup) continue;
    const int64_t first = candidate->GetVolumeStartSector() + candidate->m_fatOffset;
    if (first == sector) {
      candidate->m_flags |= CExFatPartitionEx::kFirstFat;
      return;
    }
    if (candidate->m_fatCount >= 2 && first + candidate->m_fatLength == sector) {
      candidate->m_flags |= CExFatPartitionEx::kSecondFat;
      return;
    }
  }
}

void CPartitionBuilder::RecordUpCaseTable(int64_t sector) {
  if (m_upcases.size() < (size_t{1} << 20)) m_upcases.push_back(sector);
}

void CPartitionBuilder::PushFileSet(std::unique_ptr<CFileSet> set, int64_t headSector, int64_t tailSector) {
  if (set == nullptr || set->GetFirstSector() < 0) return;
  // Runs are found by bisection: they must come in ascending order.
  if (!m_all.empty() && set->GetFirstSector() <= m_all.back()->GetFirstSector()) return;
  CFileSet* run = set.get();
  m_all.push_back(std::move(set));
  m_steps.folders += run->GetFolders().size();
  m_lastPosition = run->GetFirstSector() + run->GetLargestCluster();
  if (headSector >= 0) {
    CFileSet* head = FindFileSet(headSector);
    if (head != nullptr && head != run) {
      head->SetNext(run);
      run->SetLast(head);
    }
  }
  if (tailSector >= 0) {
    CFileSet* tail = FindFileSet(tailSector);
    if (tail != nullptr && tail != run) {
      run->SetNext(tail);
      tail->SetLast(run);
    }
  }
}

void CPartitionBuilder::Build(int64_t sector) {
  m_position = std::max(m_position, sector);
  const size_t waiting = m_all.size() - m_processed;
  if (waiting > kBacklog || (waiting > 0 && sector > m_lastPosition + kBacklogDistance)) BuildFromTree();
}

// ---- hypotheses -------------------------------------------------------------------

void CPartitionBuilder::BuildFromTree() {
  if (m_processed >= m_all.size()) return;
  const size_t index = m_processed++;
  CFileSet& set = *m_all[index];
  // Every run brings its share of hypotheses, whatever the runs before it
  // spent.
  m_steps.fittingAllowed += kFittingPerRun + kFittingPerFolder * set.GetFolders().size();
  if (set.IsRoot()) {
    BuildFromUpcaseTable(set);
    BuildFromRoot(set);
    return;
  }
  if (!set.HasFolder() || IsBelongExistedPartition(set)) return;
  const size_t first = index >= kWindowBefore ? index - kWindowBefore : 0;
  const size_t last = std::min(m_all.size(), index + kWindowAfter + 1);
  for (size_t i = first; i < last && m_steps.fitting < m_steps.fittingAllowed; ++i) {
    CFileSet& child = *m_all[i];
    if (i == index || child.IsRoot() || !child.HasFolder() || child.IsAbridged()) continue;
    BuildFromTree(set, child, 7);
  }
}

bool CPartitionBuilder::MayRead(uint64_t sectors) {
  const uint64_t size = std::max<uint32_t>(m_sectorSize, 1);
  const uint64_t allowed = kCheckReadBytes / size + static_cast<uint64_t>(std::max<int64_t>(m_position, 0)) / 4;
  if (sectors > allowed || m_checkSectors > allowed - sectors) return false;
  m_checkSectors += sectors;
  return true;
}

bool CPartitionBuilder::UpcaseTableMatches(int64_t sector, const CFileSet& root) {
  const uint64_t size = root.GetUpcaseSize();
  if (m_device == nullptr || size == 0 || size > kMaxUpcaseBytes || sector < 0) return false;
  const int64_t sectors = static_cast<int64_t>(CeilDiv(size, m_sectorSize));
  if (static_cast<uint64_t>(sector + sectors) > m_totalSectors || !MayRead(static_cast<uint64_t>(sectors))) {
    return false;
  }
  std::vector<uint8_t> table;
  try {
    table.assign(static_cast<size_t>(sectors) * m_sectorSize, 0);
  } catch (const std::bad_alloc&) {
    return false;
  }
  if (m_device->ReadSector(table.data(), sector, sectors) == 0) return false;
  uint32_t sum = 0;
  for (uint64_t i = 0; i < size; ++i) sum = ((sum & 1) != 0 ? 0x80000000u : 0) + (sum >> 1) + table[i];
  return sum == root.GetUpcaseChecksum();
}

bool CPartitionBuilder::BitmapMarks(int64_t heap, uint32_t spc, const CFileSet& root, uint32_t rootCluster) {
  const uint32_t bitmap = root.GetBitmapCluster();
  if (m_device == nullptr || bitmap < 2) return false;
  const int64_t first = heap + (int64_t{bitmap} - 2) * spc;
  std::vector<uint8_t> bytes(m_sectorSize, 0);
  int64_t loaded = -1;
  for (const uint32_t cluster : {bitmap, root.GetUpcaseCluster(), rootCluster}) {
    if (cluster < 2) return false;
    const uint64_t bit = uint64_t{cluster} - 2;
    if (bit / 8 >= root.GetBitmapLength()) return false;
    const int64_t sector = first + static_cast<int64_t>(bit / 8 / m_sectorSize);
    if (sector < 0 || static_cast<uint64_t>(sector) >= m_totalSectors) return false;
    if (sector != loaded) {
      if (!MayRead(1) || m_device->ReadSector(bytes.data(), sector, 1) == 0) return false;
      loaded = sector;
    }
    if ((bytes[(bit / 8) % m_sectorSize] & (1u << (bit % 8))) == 0) return false;
  }
  return true;
}

void CPartitionBuilder::KeepMarked(std::vector<Fit>& fits, const CFileSet& root) {
  // A bitmap that marks its own, the table's and the root's clusters in
  // use where a geometry puts it settles the cluster size; without one,
  // every size that fits stays a candidate.
  std::vector<Fit> marked;
  for (const Fit& fit : fits) {
    if (BitmapMarks(fit.heap, fit.spc, root, fit.rootCluster)) marked.push_back(fit);
  }
  if (!marked.empty()) fits.swap(marked);
}

void CPartitionBuilder::BuildFromUpcaseTable(CFileSet& root) {
  if (m_upcases.empty() || root.GetUpcaseSize() == 0 || root.GetUpcaseCluster() < 2) return;
  const int64_t tableSectors = static_cast<int64_t>(CeilDiv(root.GetUpcaseSize(), m_sectorSize));
  // The nearest tables first: a formatter lays the table out just before
  // the root.
  std::vector<int64_t> order(m_upcases);
  const int64_t at = root.GetFirstSector();
  const size_t tries = std::min(order.size(), kUpcaseTries);
  std::partial_sort(order.begin(), order.begin() + static_cast<std::ptrdiff_t>(tries), order.end(),
                    [at](int64_t a, int64_t b) { return std::abs(a - at) < std::abs(b - at); });
  order.resize(tries);

  Results results;
  const uint32_t upcaseCluster = root.GetUpcaseCluster();
  for (const int64_t upcase : order) {
    const int64_t distance = std::abs(at - upcase);
    // The table must be the one the root names: its checksum is in the
    // root's entry (every volume a formatter makes has the same table, so
    // its first sector alone says little).
    if (distance < tableSectors || !UpcaseTableMatches(upcase, root)) continue;
    std::vector<Fit> fits;
    const int64_t largest = std::min<int64_t>(LowestBit(distance), root.GetLargestClusterSize());
    for (int64_t spc = root.GetSmallestClusterSize(); spc > 0 && spc <= largest; spc <<= 1) {
      if (distance % spc != 0) break;
      const int64_t heap = upcase - spc * (int64_t{upcaseCluster} - 2);
      if (heap < 0) break;
      if (at < heap) continue;
      const int64_t cluster = (at - heap) / spc + 2;
      if (cluster >= root.GetSmallestCluster() || cluster > CFileSet::kLastCluster) continue;
      fits.push_back({heap, static_cast<uint32_t>(spc), static_cast<uint32_t>(cluster)});
    }
    KeepMarked(fits, root);
    bool found = false;
    for (const Fit& fit : fits) {
      found = BuildPartionByRoot(fit.heap, fit.spc, root.GetBitmapClusterCount(), fit.rootCluster, results);
      if (found) break;
    }
    if (found) break;
  }
  UpdatePartitionList(results, &root);
}

void CPartitionBuilder::BuildFromRoot(CFileSet& root) {
  const uint32_t smallestCluster = root.GetSmallestCluster();
  if (!IsHeapNumber(smallestCluster)) return;
  // The root follows the bitmap and the up-case table: a few clusters past
  // the later of them at most, however small the clusters.
  const uint64_t clusterBytes = uint64_t{root.GetSmallestClusterSize()} * m_sectorSize;
  const uint64_t span = std::min<uint64_t>(
      CeilDiv(root.GetBitmapLength(), clusterBytes) + CeilDiv(root.GetUpcaseSize(), clusterBytes) + 2,
      kRootClusterTries);
  const uint64_t end = std::min<uint64_t>(smallestCluster, uint64_t{root.GetRootClusterEstimate()} + span);
  std::vector<Fit> fits;
  const int64_t at = root.GetFirstSector();
  for (uint64_t r = std::max<uint32_t>(root.GetRootClusterEstimate(), 2); r < end; ++r) {
    for (int64_t spc = root.GetSmallestClusterSize(); spc > 0 && spc <= root.GetLargestClusterSize(); spc <<= 1) {
      const int64_t heap = at - spc * static_cast<int64_t>(r - 2);
      if (heap < 0) break;
      fits.push_back({heap, static_cast<uint32_t>(spc), static_cast<uint32_t>(r)});
    }
  }
  KeepMarked(fits, root);
  Results results;
  for (const Fit& fit : fits) {
    // Past the cap, only a candidate already known can still be found.
    if (results.made.size() >= kRootCandidates && Find({fit.heap, fit.spc}) == nullptr) continue;
    if (BuildPartionByRoot(fit.heap, fit.spc, root.GetBitmapClusterCount(), fit.rootCluster, results)) break;
  }
  UpdatePartitionList(results, &root);
}

bool CPartitionBuilder::BuildPartionByRoot(int64_t heap, uint32_t spc, uint64_t clusters, uint32_t rootCluster,
                                           Results& results) {
  if (CExFatPartitionEx* known = Find({heap, spc})) {
    if (known->GetRootCluster() != rootCluster) return false;
    known->m_flags |= CExFatPartitionEx::kRootSet;
    results.made.clear();
    results.existing.assign(1, known);
    return true;
  }
  for (const auto& made : results.made) {
    if (made->GetGeometry() == CExFatPartitionEx::Geometry{heap, spc}) return false;
  }
  if (heap < 0 || spc == 0 || static_cast<uint64_t>(heap) >= m_totalSectors) return false;
  const uint64_t room = (m_totalSectors - static_cast<uint64_t>(heap)) / spc;
  if (room == 0) return false;
  if (clusters == 0 || clusters > room) clusters = room;
  auto candidate = std::make_unique<CExFatPartitionEx>();
  candidate->SetFromEvidence(m_device, m_sectorSize, heap, spc, clusters, rootCluster, CExFatPartitionEx::kRootSet);
  results.made.push_back(std::move(candidate));
  return false;
}

void CPartitionBuilder::BuildFromTree(CFileSet& parent, CFileSet& child, uint32_t minimum) {
  const Spending spending = m_spending;
  m_spending = Spending::kFitting;
  uint32_t best = 5;
  Results results;
  std::vector<uint32_t> folders;
  parent.GetFolder(folders);
  std::sort(folders.begin(), folders.end(), std::greater<>());
  folders.erase(std::unique(folders.begin(), folders.end()), folders.end());
  if (folders.size() > kParentFolders) folders.resize(kParentFolders);
  const int64_t distance = std::abs(child.GetFirstSector() - parent.GetFirstSector());
  // A parent's run may be longer than one cluster (a folder written
  // contiguously), so its length rules out no size.
  for (int64_t spc = parent.GetSmallestClusterSize(); spc > 0 && spc <= parent.GetLargestClusterSize(); spc <<= 1) {
    if (child.IsClusterSizeConflict(static_cast<uint64_t>(spc))) continue;
    if (distance % spc != 0) break;
    // Each folder the parent names may be the child: largest first, so that
    // the heap only grows.
    for (const uint32_t folder : folders) {
      if (m_steps.fitting >= m_steps.fittingAllowed) break;
      if (folder > child.GetLargestCluster()) continue;
      const int64_t heap = child.GetFirstSector() - (int64_t{folder} - 2) * spc;
      if (heap < 0 || heap + 3 * spc > parent.GetFirstSector()) break;
      const CExFatPartitionEx::Geometry geometry{heap, static_cast<uint32_t>(spc)};
      if (m_removed.count(geometry) != 0) continue;
      if ((parent.GetFirstSector() - heap) / spc + 2 > parent.GetLargestCluster()) continue;
      std::vector<CFileSet*> tree;
      const uint32_t score = CheckTree(parent, heap, static_cast<uint32_t>(spc), minimum, &tree);
      if (score == 0 || score < best) continue;
      if (score > best) {
        results.made.clear();
        results.existing.clear();
        best = score;
      }
      CExFatPartitionEx* candidate = Find(geometry);
      if (candidate != nullptr) {
        candidate->m_flags |= CExFatPartitionEx::kDirectoryTree;
        results.existing.push_back(candidate);
      } else {
        bool made = false;
        for (const auto& m : results.made) made = made || m->GetGeometry() == geometry;
        if (made) continue;
        const uint64_t clusters = (m_totalSectors - static_cast<uint64_t>(heap)) / static_cast<uint64_t>(spc);
        if (clusters == 0) continue;
        auto fresh = std::make_unique<CExFatPartitionEx>();
        fresh->SetFromEvidence(m_device, m_sectorSize, heap, static_cast<uint32_t>(spc), clusters,
                               CExFatPartitionEx::kUnknownRoot, CExFatPartitionEx::kDirectoryTree);
        candidate = fresh.get();
        results.made.push_back(std::move(fresh));
      }
      candidate->m_matched.insert(tree.begin(), tree.end());
    }
  }
  m_spending = spending;
  UpdatePartitionList(results, nullptr);
}

uint64_t CPartitionBuilder::CheckAllowance() const { return kCheckBase + kCheckPerFolder * m_steps.folders; }

uint32_t CPartitionBuilder::CheckTree(CFileSet& root, int64_t heap, uint32_t spc, uint32_t minimum,
                                      std::vector<CFileSet*>* tree) {
  if (tree != nullptr) tree->clear();
  if (spc == 0 || root.GetFirstSector() < heap || (root.GetFirstSector() - heap) % spc != 0) return 0;
  const int64_t rootCluster = (root.GetFirstSector() - heap) / spc + 2;
  if (!IsHeapNumber(static_cast<uint64_t>(rootCluster))) return 0;
  std::unordered_set<uint32_t> visited{static_cast<uint32_t>(rootCluster)};
  std::vector<CFileSet*> found{&root};
  std::deque<std::pair<CFileSet*, uint32_t>> queue{{&root, 0}};
  uint64_t score = 0;
  std::vector<uint32_t> folders;
  // A hypothesis begun within the fitting allowance may run past it, by
  // the base at most.
  uint64_t& spent = m_spending == Spending::kFitting     ? m_steps.fitting
                    : m_spending == Spending::kWinnowing ? m_steps.winnowing
                                                         : m_steps.checks;
  const uint64_t limit = m_spending == Spending::kFitting ? m_steps.fittingAllowed + kFittingBase : CheckAllowance();
  while (!queue.empty()) {
    auto [at, depth] = queue.front();
    queue.pop_front();
    folders.clear();
    at->GetFolder(folders);
    for (const uint32_t folder : folders) {
      if (++spent > limit || !visited.insert(folder).second) return 0;  // a folder named twice, or a loop
      const int64_t sector = heap + (int64_t{folder} - 2) * spc;
      if (sector < 0 || static_cast<uint64_t>(sector) >= m_totalSectors) return 0;
      CFileSet* child = FindFileSet(sector);
      if (child == nullptr) continue;
      const uint32_t largest = child->GetLargestCluster();
      if (child->IsMatched() || child->IsAbridged() || child->IsClusterSizeConflict(spc) ||
          (largest >= 2 && static_cast<uint64_t>(heap + (int64_t{largest} - 2) * spc) >= m_totalSectors)) {
        return 0;
      }
      score += depth + 1;
      found.push_back(child);
      if (child->HasFolder()) queue.emplace_back(child, depth + 1);
    }
  }
  if (score < minimum || score == 0) return 0;
  ClusterSpans clusters;
  clusters.Take(static_cast<uint64_t>(rootCluster));
  const uint64_t clusterBytes = uint64_t{spc} * m_sectorSize;
  for (const CFileSet* set : found) {
    if (!set->GetAndCheckClusterSet(clusters, clusterBytes)) return 0;
  }
  if (tree != nullptr) tree->swap(found);
  return static_cast<uint32_t>(std::min<uint64_t>(score, 0xFFFFFFFF));
}

bool CPartitionBuilder::IsBelongExistedPartition(CFileSet& set) {
  size_t examined = 0;
  for (const auto& owned : m_list) {
    CExFatPartitionEx& candidate = *owned;
    if (!candidate.Contains(set)) continue;
    if (++examined > kBelongCandidates) break;
    const uint32_t spc = candidate.GetSectorsPerCluster();
    if (set.IsClusterSizeConflict(spc) || set.GetFirstSector() <= candidate.GetHeapFirstSector() ||
        !candidate.IsClusterStart(set.GetFirstSector())) {
      continue;
    }
    if (candidate.m_matched.count(&set) != 0) return true;
    if (!set.HasFolder()) continue;
    const uint32_t minimum = candidate.m_flags <= CExFatPartitionEx::kDirectoryTree ? 7 : 1;
    std::vector<CFileSet*> tree;
    if (CheckTree(set, candidate.GetHeapFirstSector(), spc, minimum, &tree) != 0) {
      candidate.m_matched.insert(tree.begin(), tree.end());
      // More runs explained: the candidate may move up the list, past
      // those with its evidence and fewer runs.
      auto at = std::find_if(m_list.begin(), m_list.end(), [&](const auto& c) { return c.get() == &candidate; });
      for (; at != m_list.begin() && CExFatPartitionGreater()(at->get(), std::prev(at)->get()); --at) {
        std::iter_swap(at, std::prev(at));
      }
      return true;
    }
  }
  return false;
}

void CPartitionBuilder::UpdatePartitionList(Results& results, CFileSet* root) {
  auto joinRoot = [&](CExFatPartitionEx& candidate) {
    if (root == nullptr || candidate.m_matched.count(root) != 0) return;
    candidate.m_matched.insert(root);
    std::vector<CFileSet*> tree;
    if (CheckTree(*root, candidate.GetHeapFirstSector(), candidate.GetSectorsPerCluster(), 1, &tree) != 0) {
      candidate.m_matched.insert(tree.begin(), tree.end());
    }
  };
  for (CExFatPartitionEx* candidate : results.existing) joinRoot(*candidate);
  for (auto& made : results.made) {
    joinRoot(*made);
    if (Find(made->GetGeometry()) == nullptr) Add(std::move(made));
  }
  results.made.clear();
  results.existing.clear();
  // Only now: the results may be among those trimmed.
  SpillPartition();
  SortList();
}

void CPartitionBuilder::SpillPartition() {
  if (m_list.size() < kSpillAt) return;
  SortList();
  while (m_list.size() > kSpillTo) {
    m_candidates.erase(m_list.back().get());
    m_list.pop_back();
  }
}

// ---- settling ---------------------------------------------------------------------

void CPartitionBuilder::FinishBuid(std::vector<std::unique_ptr<CExFatPartitionEx>>& list) {
  while (m_processed < m_all.size()) BuildFromTree();
  std::vector<CExFatPartitionEx*> winnowed = WinnowPartition();
  std::vector<std::unique_ptr<CExFatPartitionEx>> settled;
  RemovePartionBeCoveredByOther(winnowed, settled);
  AssignRuns(settled);
  // Tables: those the boot sectors name first, so that no volume placed
  // without one takes another's; then the others in disk order.
  std::vector<CExFatPartitionEx*> order;
  for (auto& partition : settled) order.push_back(partition.get());
  std::stable_sort(order.begin(), order.end(), [](const CExFatPartitionEx* a, const CExFatPartitionEx* b) {
    if (a->HasBootSector() != b->HasBootSector()) return a->HasBootSector();
    return a->GetHeapFirstSector() < b->GetHeapFirstSector();
  });
  for (CExFatPartitionEx* partition : order) FindTable(*partition, settled);
  for (auto& partition : settled) list.push_back(std::move(partition));
}

std::vector<CExFatPartitionEx*> CPartitionBuilder::WinnowPartition() {
  m_spending = Spending::kWinnowing;
  m_steps.winnowingAllowed = CheckAllowance();
  m_steps.checksAllowed = CheckAllowance();
  m_candidates.clear();
  SortList();
  std::vector<CExFatPartitionEx*> kept;
  for (const auto& owned : m_list) {
    CExFatPartitionEx& candidate = *owned;
    const size_t remaining = m_all.size() - m_given;
    if (candidate.m_matched.size() > remaining) continue;
    bool taken = false;
    for (const CFileSet* set : candidate.m_matched) taken = taken || set->IsMatched();
    if (taken) continue;

    candidate.m_matched.clear();
    candidate.m_alignedSectors.clear();
    candidate.m_otherSectors.clear();
    candidate.m_scores.clear();
    const int64_t heap = candidate.GetHeapFirstSector();
    const uint32_t spc = candidate.GetSectorsPerCluster();
    // Every run matched keeps a score, also those no tree check scored, so
    // that a volume explained by such runs alone is never taken as covered
    // by another.
    auto match = [&](CFileSet* set, uint32_t score) {
      candidate.m_matched.insert(set);
      uint32_t& best = candidate.m_scores[set->GetFirstSector()];
      best = std::max(best, score);
    };
    auto it = std::lower_bound(m_all.begin(), m_all.end(), heap + 2 * int64_t{spc},
                               [](const auto& set, int64_t at) { return set->GetFirstSector() < at; });
    for (; it != m_all.end() && (*it)->GetFirstSector() < candidate.GetEnd(); ++it) {
      CFileSet& set = **it;
      if (set.IsMatched() || !candidate.Contains(set) || set.IsClusterSizeConflict(spc)) continue;
      const bool aligned = candidate.IsClusterStart(set.GetFirstSector());
      (aligned ? candidate.m_alignedSectors : candidate.m_otherSectors).push_back(set.GetFirstSector());
      if (!aligned) continue;
      if (!set.IsAbridged() && candidate.m_matched.count(&set) == 0) {
        std::vector<CFileSet*> tree;
        const uint32_t score = CheckTree(set, heap, spc, 1, &tree);
        if (score != 0) {
          for (CFileSet* member : tree) match(member, score);
        } else {
          // A folder without sub-folders: its files do not clash and the
          // first of them follows its own cluster.
          const uint32_t own = candidate.ClusterOf(set.GetFirstSector());
          ClusterSpans clusters;
          clusters.Take(own);
          if (set.GetAndCheckClusterSet(clusters, uint64_t{spc} * m_sectorSize) &&
              uint64_t{own} + 1 == set.GetSmallestCluster()) {
            match(&set, 1);
          }
        }
      }
      const uint32_t root = candidate.GetRootCluster();
      if (set.IsRoot() &&
          (root == CExFatPartitionEx::kUnknownRoot || root == candidate.ClusterOf(set.GetFirstSector()))) {
        match(&set, 1);
      }
    }
    if (candidate.m_alignedSectors.empty() || candidate.m_matched.empty()) continue;
    const int64_t first = candidate.m_alignedSectors.front();
    const int64_t last = candidate.m_alignedSectors.back();
    for (CFileSet* set : candidate.m_matched) {
      if (set->GetFirstSector() < first || set->GetFirstSector() > last || set->IsMatched()) continue;
      set->SetMatched(true);
      ++m_given;
      m_owner[set] = &candidate;
    }
    kept.push_back(&candidate);
  }
  m_spending = Spending::kChecks;
  return kept;
}

void CPartitionBuilder::RemovePartionBeCoveredByOther(std::vector<CExFatPartitionEx*>& winnowed,
                                                      std::vector<std::unique_ptr<CExFatPartitionEx>>& out) {
  std::stable_sort(winnowed.begin(), winnowed.end(), CExFatPartitionGreater());
  auto covered = [](const CExFatPartitionEx& later, const CExFatPartitionEx& first) {
    if (later.m_scores.size() > first.m_scores.size()) return false;
    for (const auto& [sector, score] : later.m_scores) {
      auto it = first.m_scores.find(sector);
      if (it == first.m_scores.end() || it->second < score) return false;
    }
    return true;
  };
  std::vector<bool> gone(winnowed.size(), false);
  for (size_t i = 0; i < winnowed.size(); ++i) {
    if (gone[i]) continue;
    CExFatPartitionEx* first = winnowed[i];
    for (size_t j = i + 1; j < winnowed.size(); ++j) {
      if (gone[j] || !covered(*winnowed[j], *first)) continue;
      gone[j] = true;
      for (auto& [set, owner] : m_owner) {
        if (owner == winnowed[j]) owner = first;
      }
    }
    CalcPartitionParam(*first);
    auto at = std::find_if(m_list.begin(), m_list.end(), [first](const auto& kept) { return kept.get() == first; });
    if (at == m_list.end()) continue;
    out.push_back(std::move(*at));
    m_list.erase(at);
  }
}

void CPartitionBuilder::CalcPartitionParam(CExFatPartitionEx& partition) {
  std::vector<int64_t>& aligned = partition.m_alignedSectors;
  // Without a boot sector nothing says how far the volume reaches: as far
  // as its runs, then.
  const int64_t end = partition.HasBootSector() || aligned.empty() ? partition.GetEnd() : aligned.back();
  for (const int64_t sector : partition.m_otherSectors) {
    if (sector < end) aligned.push_back(sector);
  }
  partition.m_otherSectors.clear();
  std::sort(aligned.begin(), aligned.end());
  aligned.erase(std::unique(aligned.begin(), aligned.end()), aligned.end());
  if (!partition.HasBootSector() && (partition.m_flags & CExFatPartitionEx::kRootSet) == 0 && !aligned.empty()) {
    // A volume placed from a folder tree alone ends with its last run's
    // cluster.
    const CFileSet* last = FindFileSet(aligned.back());
    const int64_t spc = partition.GetSectorsPerCluster();
    if (last != nullptr) {
      const int64_t heap = partition.GetHeapFirstSector();
      const auto clusters = static_cast<int64_t>(CeilDiv(static_cast<uint64_t>(last->GetEndSector() - heap), spc));
      partition.SetEnd(std::min(partition.GetEnd(), heap + clusters * spc));
      partition.SetStart(heap);
    }
  }
}

void CPartitionBuilder::AssignRuns(std::vector<std::unique_ptr<CExFatPartitionEx>>& settled) {
  // A run no volume matched goes to the innermost volume it lies in: the
  // runs of a volume image kept as a file are that volume's, not the one
  // that holds the file.
  std::vector<CExFatPartitionEx*> inner;
  for (auto& partition : settled) inner.push_back(partition.get());
  std::stable_sort(inner.begin(), inner.end(), [](const CExFatPartitionEx* a, const CExFatPartitionEx* b) {
    return a->GetEnd() - a->GetHeapFirstSector() < b->GetEnd() - b->GetHeapFirstSector();
  });
  for (CExFatPartitionEx* partition : inner) {
    for (const int64_t sector : partition->m_alignedSectors) {
      const CFileSet* set = FindFileSet(sector);
      if (set != nullptr) m_owner.emplace(set, partition);
    }
  }
  for (auto& partition : settled) {
    std::erase_if(partition->m_alignedSectors, [&](int64_t sector) {
      auto it = m_owner.find(FindFileSet(sector));
      return it == m_owner.end() || it->second != partition.get();
    });
  }
}

bool CPartitionBuilder::TableHolds(CExFatPartitionEx& partition, int64_t sector, uint32_t length, bool needChains) {
  const uint64_t clusters = partition.GetClusterLimit() - 2;
  if (!partition.CreateFatTable(m_device, sector, length, static_cast<uint32_t>(clusters))) return false;
  const uint64_t clusterBytes = partition.GetBytesPerCluster();
  size_t checked = 0;
  bool holds = true;
  for (const int64_t first : partition.m_alignedSectors) {
    const CFileSet* set = FindFileSet(first);
    if (set == nullptr) continue;
    for (const _tagFileBaseInfo& info : set->GetLiveFiles()) {
      if (checked >= kChainsChecked || !holds) break;
      if (info.contiguous != 0 || info.dataLength <= 0 || !partition.IsHeapCluster(info.firstCluster)) continue;
      // A live chain: as many links as the length needs, ending with the
      // end-of-chain mark, no cluster twice, none outside the heap.
      const uint64_t needed = CeilDiv(static_cast<uint64_t>(info.dataLength), clusterBytes);
      ClusterSpans taken;
      uint32_t cluster = info.firstCluster;
      taken.Take(cluster);
      for (uint64_t step = 1; step < needed && step < kChainSteps && holds; ++step) {
        cluster = partition.GetNextCluster(cluster);
        holds = partition.IsHeapCluster(cluster) && taken.Take(cluster);
      }
      if (holds && needed <= kChainSteps) holds = partition.GetNextCluster(cluster) >= 0xFFFFFFF8u;
      ++checked;
    }
    if (checked >= kChainsChecked || !holds) break;
  }
  partition.ClearFatData();
  return holds && (checked > 0 || !needChains);
}

void CPartitionBuilder::FindTable(CExFatPartitionEx& partition,
                                  const std::vector<std::unique_ptr<CExFatPartitionEx>>& settled) {
  partition.m_tableSector = -1;
  partition.m_tableLength = 0;
  if (m_device == nullptr) return;
  if (partition.HasBootSector()) {
    // The table the boot sector names, once its first sector was seen in
    // place or its chains hold.
    const int64_t sector = partition.GetVolumeStartSector() + partition.m_fatOffset;
    if ((partition.m_flags & CExFatPartitionEx::kFirstFat) != 0 ||
        TableHolds(partition, sector, partition.m_fatLength, false)) {
      partition.m_tableSector = sector;
      partition.m_tableLength = partition.m_fatLength;
    }
    return;
  }
  // Without a boot sector: a table start seen before the heap, with room for
  // an entry per cluster, that no other volume holds, and whose chains are
  // those of this volume's files.
  const int64_t heap = partition.GetHeapFirstSector();
  const uint64_t needed = CeilDiv((partition.GetClusterLimit()) * 4, m_sectorSize);
  if (needed == 0 || needed > 0xFFFFFFFFu) return;
  auto elsewhere = [&](int64_t sector) {
    for (const auto& other : settled) {
      if (other.get() == &partition) continue;
      if (other->m_tableSector == sector) return true;
      if (other->HasBootSector() && other->GetVolumeStartSector() + other->m_fatOffset == sector) return true;
      // Inside another volume that does not hold this one.
      const bool holdsThis = other->GetVolumeStartSector() <= heap && heap < other->GetEnd();
      if (!holdsThis && other->GetVolumeStartSector() <= sector && sector < other->GetEnd()) return true;
    }
    return false;
  };
  size_t tried = 0;
  for (auto it = std::lower_bound(m_fats.begin(), m_fats.end(), heap); it != m_fats.begin() && tried < kTableTries;) {
    const int64_t sector = *--it;
    if (static_cast<uint64_t>(heap - sector) < needed || elsewhere(sector)) continue;
    ++tried;
    if (TableHolds(partition, sector, static_cast<uint32_t>(needed), true)) {
      partition.m_tableSector = sector;
      partition.m_tableLength = static_cast<uint32_t>(needed);
      partition.SetStart(sector);
      return;
    }
  }
}

// ---- nodes ------------------------------------------------------------------------

void CPartitionBuilder::BuildFileTree(CExFatPartitionEx& partition, std::vector<CExFatFileNode*>& nodes) {
  const int64_t heap = partition.GetHeapFirstSector();
  const int64_t spc = partition.GetSectorsPerCluster();
  if (spc <= 0) return;
  const uint32_t rootCluster = partition.GetRootCluster();
  const int64_t rootSector = partition.IsHeapCluster(rootCluster) ? partition.SectorOf(rootCluster) : -1;
  if (rootSector >= 0) {
    const CFileSet* root = FindFileSet(rootSector);
    if (root != nullptr && root->IsRoot()) {
      partition.SetAllocationBitmap(root->GetBitmapCluster(), root->GetBitmapLength());
      partition.SetUpcaseTable(root->GetUpcaseCluster(), root->GetUpcaseSize());
    }
  }
  std::vector<CFileSet*> runs;
  for (const int64_t sector : partition.m_alignedSectors) {
    CFileSet* set = FindFileSet(sector);
    auto owner = m_owner.find(set);
    if (set != nullptr && owner != m_owner.end() && owner->second == &partition) runs.push_back(set);
  }
  auto mine = [&](const CFileSet* set) {
    auto owner = m_owner.find(set);
    return owner != m_owner.end() && owner->second == &partition;
  };

  // Every folder's clusters first, so that a run finds its folder wherever
  // the folder's own entry lies: the first sector of each cluster -> the
  // folder's node ID.
  std::unordered_map<int64_t, int64_t> folderAt;
  auto list = [&](uint32_t first, uint64_t length, bool contiguous, int64_t id, bool live) {
    const uint64_t count =
        std::min<uint64_t>(length == 0 ? 1 : CeilDiv(length, partition.GetBytesPerCluster()), kFolderClusters);
    ClusterSpans taken;
    uint32_t cluster = first;
    for (uint64_t i = 0; i < count && partition.IsHeapCluster(cluster) && taken.Take(cluster); ++i) {
      folderAt.emplace(partition.SectorOf(cluster), id);
      if (live) partition.NoteClusterInUse(cluster);
      cluster = partition.GetNextCluster(cluster, contiguous);
    }
  };
  // Runs in the root's later clusters belong to the root too.
  if (rootSector >= 0) list(rootCluster, uint64_t{kFolderClusters} * partition.GetBytesPerCluster(), false, -1, true);
  std::unordered_set<uint32_t> liveFolders;
  for (const CFileSet* run : runs) {
    for (const _tagFileBaseInfo& info : run->GetLiveFiles()) {
      if ((info.attributes & CExFatFileNode::kDirectory) == 0 || info.dataLength > 0xFFFFFFF) continue;
      liveFolders.insert(info.firstCluster);
      list(info.firstCluster, static_cast<uint64_t>(info.dataLength), info.contiguous != 0,
           partition.ConvertClusterNumToSector(info.firstCluster), true);
    }
  }
  // A deleted folder whose first cluster a live one holds now keeps an ID of
  // its own (and none of the live folder's entries).
  std::unordered_map<const _tagFileBaseInfo*, int64_t> claimed;
  for (const CFileSet* run : runs) {
    for (const _tagFileBaseInfo& info : run->GetDeletedFiles()) {
      if ((info.attributes & CExFatFileNode::kDirectory) == 0 || info.dataLength > 0xFFFFFFF) continue;
      if (partition.IsHeapCluster(info.firstCluster) && liveFolders.count(info.firstCluster) != 0) {
        claimed[&info] = m_nextClaimedID++;
        continue;
      }
      list(info.firstCluster, static_cast<uint64_t>(info.dataLength), info.contiguous != 0,
           partition.ConvertClusterNumToSector(info.firstCluster), false);
    }
  }

  auto parentOf = [&](const CFileSet& run) -> int64_t {
    if (run.GetFirstSector() == rootSector) return -1;
    const int64_t cluster = heap + (run.GetFirstSector() - heap) / spc * spc;
    auto it = folderAt.find(cluster);
    return it != folderAt.end() ? it->second : run.GetFirstSector();
  };
  // Deleted files are built last: their runs are guessed through the
  // bitmap, judged against every live file's clusters first.
  std::vector<std::pair<const _tagFileBaseInfo*, int64_t>> heldBack;
  bool liveDone = false;
  auto make = [&](const _tagFileBaseInfo& info, int64_t parent) {
    if (!liveDone && info.inUse == 0 && (info.attributes & CExFatFileNode::kDirectory) == 0) {
      try {
        heldBack.emplace_back(&info, parent);
        return;
      } catch (const std::bad_alloc&) {
        // Built now: without the judged bitmap its guess is unsure.
      }
    }
    CExFatFileNode* node = partition.BuildFile(info);
    if (node == nullptr) return;
    if (info.inUse != 0 && node->IsDirectory() == 0) partition.NoteClustersInUse(node->GetDataRunList());
    auto it = claimed.find(&info);
    node->SetID(it != claimed.end() ? it->second : partition.ConvertClusterNumToSector(info.firstCluster));
    node->SetParentID(parent);
    try {
      nodes.push_back(node);
    } catch (const std::bad_alloc&) {
      node->Release();
    }
  };
  std::unordered_set<const CFileSet*> built;
  auto build = [&](const CFileSet& run, int64_t parent) {
    for (const CFileSet* part : run.Chain()) {
      if (!mine(part) || !built.insert(part).second) continue;
      for (const _tagFileBaseInfo& info : part->GetLiveFiles()) make(info, parent);
      for (const _tagFileBaseInfo& info : part->GetDeletedFiles()) make(info, parent);
    }
  };
  std::vector<const CFileSet*> aside;
  for (const CFileSet* run : runs) {
    if (built.count(run) != 0) continue;
    // A run that goes on from another is built with the run it comes from.
    if (run->GetLast() != nullptr) {
      aside.push_back(run);
      continue;
    }
    build(*run, parentOf(*run));
  }
  for (const CFileSet* run : aside) {
    if (built.count(run) == 0) build(*run, parentOf(*run));
  }
  liveDone = true;
  partition.JudgeBitmap();
  for (const auto& [info, parent] : heldBack) make(*info, parent);
}
