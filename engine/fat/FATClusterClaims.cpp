#include "fat/FATClusterClaims.h"

#include <algorithm>
#include <utility>

#include "FileNode.h"
#include "base/Utility.h"
#include "fat/FATBuildDataRun.h"
#include "fat/FATFileNode.h"
#include "fat/FATFileProperties.h"
#include "fat/FATTable.h"

CFATClusterClaims::CFATClusterClaims(IFATTable* table, uint64_t clusterCount, uint32_t rootCluster,
                                     const fileheads::ClusterPlace& place)
    : m_table(table), m_clusters(clusterCount), m_place(place), m_ledger(clusterCount + 2) {
  // The same bound as the walk's own cluster maps.
  m_taken.assign(static_cast<size_t>(std::min<uint64_t>(clusterCount + 2, 0x10000000)), false);
  // The root's first cluster is the volume's oldest; what it grew by since
  // has no date.
  if (m_table != nullptr && InVolume(rootCluster))
    WalkChain(rootCluster, claims::kVolumeOwner, 1, claims::kUnknownTime);
}

void CFATClusterClaims::WalkChain(uint64_t first, uint32_t owner, uint64_t firstKey, uint64_t restKey) {
  if (m_table == nullptr) return;
  m_ledger.HoldChain(
      first, m_clusters + 1, owner, firstKey, restKey,
      [&](uint64_t c) {
        if (m_taken[c]) return false;
        m_taken[c] = true;
        return true;
      },
      [&](uint64_t c, uint64_t* next) {
        if (!InVolume(c) || c >= m_taken.size() || !CFATBuildDataRun::IsGiven(m_table, static_cast<uint32_t>(c))) {
          return false;
        }
        const uint32_t after = m_table->GetNextCluster(static_cast<uint32_t>(c));
        *next = after < 2 || after >= fatchain::kBadCluster ? 0 : after;
        return true;
      });
}

CFATClusterClaims::Entry CFATClusterClaims::Read(CFATFileNode* node) {
  CFATFileProperties* p = node != nullptr ? node->GetFileProperties() : nullptr;
  Entry entry = m_ledger.Read(p != nullptr ? node : nullptr);
  if (p == nullptr) return entry;
  claims::Claim& c = entry.claim;
  c.folder = node->IsDirectory() != 0;
  c.erased = p->IsEntryErased();
  c.live = (p->GetState() & CFATFileProperties::kStateDeleted) == 0;
  // Every deleted file's runs are a walk's (it never follows a chain).
  c.walked = true;
  entry.unsure = p->IsContentUnsure();
  const int64_t first = p->GetFirstClusterNum();
  c.first = first >= 0 && InVolume(static_cast<uint64_t>(first)) ? static_cast<uint64_t>(first) : 0;
  c.times = claims::Times{p->GetCreationTime(), p->GetModificationTime()};
  return entry;
}

void CFATClusterClaims::Keep(Entry&& entry, bool taken) {
  if (m_judged) return;
  auto* node = static_cast<CFATFileNode*>(entry.node);
  // A node handed over again is the same file.
  if (taken && node != nullptr && node == m_last) return;
  const claims::Claim c = entry.claim;
  const bool unsure = entry.unsure;
  const uint32_t owner = m_ledger.Keep(std::move(entry), taken);
  if (owner == claims::kNoOwner) return;
  m_last = taken ? node : nullptr;
  if (!c.erased) {
    // An entry outside a live folder vouches for its chain only where the
    // walk found the chain to be its own.
    const uint64_t key = c.live || !unsure ? claims::TakenBy(c.times) : claims::kUnknownTime;
    WalkChain(c.first, owner, key, c.folder ? claims::kUnknownTime : key);
  }
}

claims::Verdicts CFATClusterClaims::Judge() {
  if (m_judged) return {};
  m_judged = true;
  return m_ledger.Judge("FAT", kTick, m_place, IsNodeTraceOn(), [](CFileNode* node) {
    if (CFATFileProperties* p = static_cast<CFATFileNode*>(node)->GetFileProperties()) p->SetContentUnsure(true);
  });
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
