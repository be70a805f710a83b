#include "fat/FATClusterClaims.h"

#include <algorithm>
#include <cstdio>
#include <span>
#include <utility>

#include "DataRunList.h"
#include "FileNode.h"
#include "base/Utility.h"
#include "fat/FATBuildDataRun.h"
#include "fat/FATFileNode.h"
#include "fat/FATFileProperties.h"
#include "fat/FATTable.h"

namespace {

using claims::Span;

// Why a file is marked; a file may have several.
enum Reason : uint8_t {
  kCrossLinked = 1,
  kAroundNewer = 2,
  kAroundUntold = 4,
  kAroundUnheld = 8,
  kStartTaken = 16,
  kReachesOther = 32,
};

// The clusters spans in first-cluster order cover, for "is all of this span
// covered" questions.
class Coverage {
 public:
  explicit Coverage(const std::vector<Span>& spans) {
    for (const Span& s : spans) {
      if (s.first >= s.end) continue;
      if (!m_spans.empty() && s.first <= m_spans.back().second) {
        m_spans.back().second = std::max(m_spans.back().second, s.end);
      } else {
        m_spans.emplace_back(s.first, s.end);
      }
    }
  }
  bool Covers(uint64_t first, uint64_t end) const {
    auto after = std::upper_bound(m_spans.begin(), m_spans.end(), first,
                                  [](uint64_t c, const std::pair<uint64_t, uint64_t>& s) { return c < s.first; });
    return after != m_spans.begin() && std::prev(after)->second >= end;
  }

 private:
  std::vector<std::pair<uint64_t, uint64_t>> m_spans;
};

}  // namespace

CFATClusterClaims::CFATClusterClaims(IFATTable* table, uint64_t clusterCount, uint32_t rootCluster)
    : m_table(table), m_clusters(clusterCount) {
  // The same bound as the walk's own cluster maps.
  m_taken.assign(static_cast<size_t>(std::min<uint64_t>(clusterCount + 2, 0x10000000)), false);
  // The root's first cluster is the volume's oldest; what it grew by since
  // has no date.
  if (m_table != nullptr && InVolume(rootCluster)) WalkChain(rootCluster, kRootOwner, 1, claims::kUnknownTime);
}

void CFATClusterClaims::WalkChain(uint64_t first, uint32_t owner, uint64_t firstKey, uint64_t restKey) {
  if (m_table == nullptr) return;
  Span open;
  bool any = false;
  uint64_t c = first;
  // Each step takes a cluster no walk took before, so the walks of a volume
  // are bounded by its clusters together.
  while (InVolume(c) && c < m_taken.size() && CFATBuildDataRun::IsGiven(m_table, static_cast<uint32_t>(c))) {
    const uint64_t key = c == first ? firstKey : restKey;
    if (m_taken[c]) {
      // Another chain (or this one, come back round) holds the rest.
      m_held.push_back(Span{c, c + 1, owner, key});
      break;
    }
    m_taken[c] = true;
    if (any && open.end == c && open.key == key) {
      ++open.end;
    } else {
      if (any) m_held.push_back(open);
      open = Span{c, c + 1, owner, key};
      any = true;
    }
    const uint32_t next = m_table->GetNextCluster(static_cast<uint32_t>(c));
    if (next < 2 || next >= fatchain::kBadCluster) break;
    c = next;
  }
  if (any) m_held.push_back(open);
}

CFATClusterClaims::Entry CFATClusterClaims::Read(CFATFileNode* node) {
  Entry entry;
  m_read.clear();
  CFATFileProperties* p = node != nullptr ? node->GetFileProperties() : nullptr;
  if (p == nullptr) return entry;
  entry.node = node;
  entry.folder = node->IsDirectory() != 0;
  entry.erased = p->IsEntryErased();
  entry.live = (p->GetState() & CFATFileProperties::kStateDeleted) == 0;
  entry.unsure = p->IsContentUnsure();
  const int64_t first = p->GetFirstClusterNum();
  entry.first = first >= 0 && InVolume(static_cast<uint64_t>(first)) ? static_cast<uint64_t>(first) : 0;
  entry.times = claims::Times{p->GetCreationTime(), p->GetModificationTime()};
  IDataRunList* runs = entry.folder ? nullptr : node->GetDataRunList();
  for (DataRun* run = runs != nullptr ? runs->GetFirst() : nullptr; run != nullptr; run = runs->GetNext()) {
    if (run->IsSparse() || run->length <= 0) continue;
    const uint64_t cluster = static_cast<uint64_t>(run->start) + 2;
    const uint64_t length = static_cast<uint64_t>(run->length);
    if (!InVolume(cluster) || length > m_clusters + 2 - cluster) continue;
    m_read.push_back(Span{cluster, cluster + length, 0, 1});
  }
  return entry;
}

void CFATClusterClaims::Keep(Entry&& entry, bool taken) {
  if (m_judged || entry.first == 0 || (entry.erased && entry.folder)) return;
  if (!taken) entry.node = nullptr;
  // A node handed over again is the same file.
  if (entry.node != nullptr && !m_entries.empty() && m_entries.back().node == entry.node) return;
  if (m_entries.size() >= kRootOwner) return;
  const auto owner = static_cast<uint32_t>(m_entries.size());
  if (!entry.folder) {
    entry.runsAt = m_runs.size();
    entry.runCount = m_read.size();
    for (Span run : m_read) {
      run.owner = owner;
      m_runs.push_back(run);
    }
  }
  if (!entry.erased) {
    // An entry outside a live folder vouches for its chain only where the
    // walk found the chain to be its own.
    const uint64_t key = entry.live || !entry.unsure ? claims::TakenBy(entry.times) : claims::kUnknownTime;
    WalkChain(entry.first, owner, key, entry.folder ? claims::kUnknownTime : key);
  }
  m_entries.push_back(std::move(entry));
}

CFATClusterClaims::Verdicts CFATClusterClaims::Judge() {
  Verdicts verdicts;
  if (m_judged) return verdicts;
  m_judged = true;
  // In first-cluster order once, for every question asked of the chains.
  std::sort(m_held.begin(), m_held.end(), [](const Span& a, const Span& b) { return a.first < b.first; });
  std::vector<uint8_t> reasons(m_entries.size(), 0);
  auto isFile = [&](const Entry& e) { return !e.folder && e.runCount > 0; };
  auto runsOf = [&](const Entry& e) { return std::span<const Span>(m_runs.data() + e.runsAt, e.runCount); };

  // Live files whose runs reach another live entry's chain (or the root's).
  {
    std::vector<Span> keys;
    for (const Span& s : m_held) {
      if (s.owner == kRootOwner || m_entries[s.owner].live) keys.push_back(Span{s.first, s.end, s.owner, 1});
    }
    std::vector<Span> queries;
    for (const Entry& e : m_entries) {
      if (e.live && isFile(e)) queries.insert(queries.end(), runsOf(e).begin(), runsOf(e).end());
    }
    const std::vector<uint64_t> hit = claims::LargestOverlappingKey(std::move(keys), queries);
    for (size_t i = 0; i < queries.size(); ++i) {
      if (hit[i] != claims::kNoOverlap) reasons[queries[i].owner] |= kCrossLinked;
    }
  }

  // Deleted files' walks over clusters that chains hold: the gaps between
  // their runs.
  {
    std::vector<Span> gaps;
    for (size_t i = 0; i < m_entries.size(); ++i) {
      const Entry& e = m_entries[i];
      if (!e.erased || !isFile(e)) continue;
      const std::span<const Span> runs = runsOf(e);
      for (size_t k = 1; k < runs.size(); ++k) {
        if (runs[k].first > runs[k - 1].end) {
          gaps.push_back(Span{runs[k - 1].end, runs[k].first, static_cast<uint32_t>(i), 1});
        }
      }
    }
    const Coverage held(m_held);
    std::vector<Span> queries = gaps;
    for (Span& q : queries) q.owner = claims::kNoOwner;
    const std::vector<uint64_t> latest = claims::LargestOverlappingKey(m_held, queries);
    for (size_t i = 0; i < gaps.size(); ++i) {
      const Entry& e = m_entries[gaps[i].owner];
      if (!held.Covers(gaps[i].first, gaps[i].end)) {
        reasons[gaps[i].owner] |= kAroundUnheld;
      } else if (!claims::ClearlyAfter(e.times.written, latest[i], kTick)) {
        const bool newer = latest[i] != claims::kUnknownTime && claims::ClearlyAfter(latest[i], e.times.written, kTick);
        reasons[gaps[i].owner] |= newer ? kAroundNewer : kAroundUntold;
      }
    }
  }

  // Deleted files that meet: first clusters in other deleted files' runs.
  {
    std::vector<Span> starts;
    std::vector<Span> pastStarts;
    std::vector<Span> runs;
    for (size_t i = 0; i < m_entries.size(); ++i) {
      const Entry& e = m_entries[i];
      if (!e.erased || !isFile(e)) continue;
      const auto owner = static_cast<uint32_t>(i);
      starts.push_back(Span{e.first, e.first + 1, owner, 1});
      for (Span run : runsOf(e)) {
        run.key = claims::TakenBy(e.times);
        runs.push_back(run);
        // The file's own first cluster is where others may start with it.
        if (run.first == e.first) ++run.first;
        pastStarts.push_back(run);
      }
    }
    const std::vector<uint64_t> reached = claims::LargestOverlappingKey(starts, pastStarts);
    for (size_t i = 0; i < pastStarts.size(); ++i) {
      if (reached[i] != claims::kNoOverlap) reasons[pastStarts[i].owner] |= kReachesOther;
    }
    const std::vector<uint64_t> latest = claims::LargestOverlappingKey(std::move(runs), starts);
    for (size_t i = 0; i < starts.size(); ++i) {
      if (latest[i] == claims::kNoOverlap) continue;
      if (!claims::ClearlyAfter(claims::TakenBy(m_entries[starts[i].owner].times), latest[i], kTick)) {
        reasons[starts[i].owner] |= kStartTaken;
      }
    }
  }

  NodeTreeGuard held;
  for (size_t i = 0; i < m_entries.size(); ++i) {
    const uint8_t r = reasons[i];
    if (r == 0) continue;
    verdicts.crossLinked += (r & kCrossLinked) != 0;
    verdicts.aroundNewer += (r & kAroundNewer) != 0;
    verdicts.aroundUntold += (r & (kAroundNewer | kAroundUntold)) == kAroundUntold;
    verdicts.aroundUnheld += (r & (kAroundNewer | kAroundUntold | kAroundUnheld)) == kAroundUnheld;
    verdicts.startTaken += (r & kStartTaken) != 0;
    verdicts.reachesOther += (r & kReachesOther) != 0;
    Entry& e = m_entries[i];
    if (e.node == nullptr) continue;
    CFATFileProperties* p = e.node->GetFileProperties();
    if (!e.unsure) ++verdicts.marked;
    if (p != nullptr) p->SetContentUnsure(true);
    e.node->SetContentUnsure(true);
    if (IsNodeTraceOn()) {
      const char* name = e.node->GetFileName();
      std::printf("FAT claims: %s (cluster %llu) not vouched for: reasons %#x\n", name != nullptr ? name : "",
                  static_cast<unsigned long long>(e.first), static_cast<unsigned>(r));
    }
  }
  if (verdicts.marked > 0) {
    std::printf(
        "FAT claims: %llu cross-linked, %llu written around newer files, %llu around files of untold times, "
        "%llu around clusters no entry holds, %llu first clusters taken, %llu reaching others' first clusters\n",
        static_cast<unsigned long long>(verdicts.crossLinked), static_cast<unsigned long long>(verdicts.aroundNewer),
        static_cast<unsigned long long>(verdicts.aroundUntold), static_cast<unsigned long long>(verdicts.aroundUnheld),
        static_cast<unsigned long long>(verdicts.startTaken), static_cast<unsigned long long>(verdicts.reachesOther));
  }
  m_entries.clear();
  m_entries.shrink_to_fit();
  m_runs.clear();
  m_runs.shrink_to_fit();
  m_held.clear();
  m_held.shrink_to_fit();
  return verdicts;
}

int CFATClaimingTreeBuilder::Initialize(const char* description, IDrirectoryTree* tree, IRecoveryFilter* filter) {
  return m_inner != nullptr ? m_inner->Initialize(description, tree, filter) : 0;
}

int CFATClaimingTreeBuilder::AddNode(IFileNode* node, _tagSearcherType type) {
  auto* fat = dynamic_cast<CFATFileNode*>(node);
  if (fat == nullptr) return m_inner != nullptr ? m_inner->AddNode(node, type) : 0;
  CFATClusterClaims::Entry entry = m_claims.Read(fat);
  const int taken = m_inner != nullptr ? m_inner->AddNode(node, type) : 0;
  m_claims.Keep(std::move(entry), taken != 0);
  return taken;
}

int CFATClaimingTreeBuilder::AddSearcherInfo(_tagSearcherType type, int64_t rootNodeID) {
  return m_inner != nullptr ? m_inner->AddSearcherInfo(type, rootNodeID) : 0;
}

void CFATClaimingTreeBuilder::FlashBuild(_tagSearcherType type) {
  if (m_inner != nullptr) m_inner->FlashBuild(type);
}

void CFATClaimingTreeBuilder::SetPartitonDevice(CSearchedPartitionInfo* partition, IStorageDevice* device) {
  if (m_inner != nullptr) m_inner->SetPartitonDevice(partition, device);
}

void CFATClaimingTreeBuilder::SetPartitionSource(_tagSearcherType type, IFileSystemSearchController* searcher) {
  if (m_inner != nullptr) m_inner->SetPartitionSource(type, searcher);
}
