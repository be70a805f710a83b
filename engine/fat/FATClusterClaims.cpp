#include "fat/FATClusterClaims.h"

#include <algorithm>
#include <cstdio>
#include <span>
#include <utility>

#include "DataRunList.h"
#include "FileHeads.h"
#include "FileNode.h"
#include "base/Utility.h"
#include "fat/FATBuildDataRun.h"
#include "fat/FATFileNode.h"
#include "fat/FATFileProperties.h"
#include "fat/FATTable.h"

using claims::Span;

CFATClusterClaims::CFATClusterClaims(IFATTable* table, uint64_t clusterCount, uint32_t rootCluster,
                                     const fileheads::ClusterPlace& place)
    : m_table(table), m_clusters(clusterCount), m_place(place) {
  // The same bound as the walk's own cluster maps.
  m_taken.assign(static_cast<size_t>(std::min<uint64_t>(clusterCount + 2, 0x10000000)), false);
  // The root's first cluster is the volume's oldest; what it grew by since
  // has no date.
  if (m_table != nullptr && InVolume(rootCluster))
    WalkChain(rootCluster, claims::kVolumeOwner, 1, claims::kUnknownTime);
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
  entry.size = node->GetFileSize();
  if (const char* name = node->GetFileName(); !entry.folder && fileheads::HasHead(name)) entry.headName = name;
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
  if (m_entries.size() >= claims::kVolumeOwner) return;
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

claims::Verdicts CFATClusterClaims::Judge() {
  if (m_judged) return {};
  m_judged = true;
  std::vector<claims::Claim> files(m_entries.size());
  for (size_t i = 0; i < m_entries.size(); ++i) {
    const Entry& e = m_entries[i];
    // Every deleted file's runs are a walk's (it never follows a chain).
    files[i] = claims::Claim{e.first, e.times, e.folder, e.live, e.erased, true, e.runsAt, e.runCount};
  }
  claims::Evidence evidence;
  if (m_place.device != nullptr) {
    evidence.head = [&](size_t i) {
      const Entry& e = m_entries[i];
      return e.headName.empty() ? claims::Head::kUnknown : fileheads::ReadHead(m_place, e.first, e.headName.c_str());
    };
    evidence.tail = [&](size_t i) {
      const Entry& e = m_entries[i];
      if (e.headName.empty()) return claims::Head::kUnknown;
      return fileheads::ReadTail(m_place, std::span<const Span>(m_runs.data() + e.runsAt, e.runCount), e.size,
                                 e.headName.c_str());
    };
  }
  const std::vector<uint16_t> reasons =
      claims::JudgeClaims(files, m_runs, std::move(m_held), claims::Volume{2, m_clusters + 2}, kTick, evidence);
  claims::Verdicts verdicts = claims::CountReasons(reasons);
  NodeTreeGuard held;
  for (size_t i = 0; i < m_entries.size(); ++i) {
    if (reasons[i] == 0) continue;
    Entry& e = m_entries[i];
    if (e.node == nullptr) continue;
    CFATFileProperties* p = e.node->GetFileProperties();
    if (!e.unsure) ++verdicts.marked;
    if (p != nullptr) p->SetContentUnsure(true);
    e.node->SetContentUnsure(true);
    if (IsNodeTraceOn()) {
      const char* name = e.node->GetFileName();
      std::printf("FAT claims: %s (cluster %llu) not vouched for: reasons %#x\n", name != nullptr ? name : "",
                  static_cast<unsigned long long>(e.first), static_cast<unsigned>(reasons[i]));
    }
  }
  claims::PrintVerdicts("FAT", verdicts);
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
