#include "exfat/ExFatClusterClaims.h"

#include <algorithm>
#include <utility>
#include <vector>

#include "ClusterSpans.h"
#include "FileNode.h"
#include "base/Utility.h"
#include "exfat/ExFatFileNode.h"
#include "exfat/ExFatPartition.h"

using claims::Span;

CExFatClusterClaims::CExFatClusterClaims(CExFatPartition& partition, IStorageDevice* device, IProgress* progress)
    : m_partition(partition), m_device(device), m_progress(progress), m_ledger(partition.GetClusterLimit()) {}

void CExFatClusterClaims::HoldVolume() {
  const uint64_t bytes = m_partition.GetBytesPerCluster();
  if (bytes == 0) return;
  // The root's first cluster is the volume's oldest; what it grew by since
  // has no date. Its length is its chain's.
  Hold(m_partition.GetRootCluster(), m_partition.GetClusterLimit(), Follow::kTable, claims::kVolumeOwner, 1,
       claims::kUnknownTime);
  Hold(m_partition.GetBitmapCluster(), (m_partition.GetBitmapLength() + bytes - 1) / bytes, Follow::kTableElseNext,
       claims::kVolumeOwner, 1, 1);
  Hold(m_partition.GetUpcaseCluster(), (m_partition.GetUpcaseLength() + bytes - 1) / bytes, Follow::kTableElseNext,
       claims::kVolumeOwner, 1, 1);
}

void CExFatClusterClaims::Hold(uint32_t first, uint64_t count, Follow follow, uint32_t owner, uint64_t firstKey,
                               uint64_t restKey) {
  m_ledger.HoldChain(
      first, std::min<uint64_t>(count, m_partition.GetClusterLimit()), owner, firstKey, restKey,
      [&](uint64_t c) { return m_taken.Take(c); },
      [&](uint64_t c, uint64_t* next) {
        if (!m_partition.IsHeapCluster(c)) return false;
        const auto cluster = static_cast<uint32_t>(c);
        uint32_t after = m_partition.GetNextCluster(cluster, follow == Follow::kContiguous);
        if (follow == Follow::kTableElseNext && !m_partition.IsHeapCluster(after)) after = cluster + 1;
        *next = after;
        return true;
      });
}

CExFatClusterClaims::Entry CExFatClusterClaims::Read(CExFatFileNode* node) {
  Entry entry = m_ledger.Read(node);
  if (node == nullptr) return entry;
  claims::Claim& c = entry.claim;
  c.folder = node->IsDirectory() != 0;
  c.erased = node->IsDeleted() != 0;
  c.live = !c.erased;
  // Runs a walk guessed over the clusters free now; a chain the table still
  // holds, or clusters the entry says follow each other, are the volume's.
  c.walked = node->IsContentGuessed() && !node->IsFatInvalid();
  const int64_t first = node->GetFirstCluster();
  c.first = first >= 0 && m_partition.IsHeapCluster(static_cast<uint64_t>(first)) ? static_cast<uint64_t>(first) : 0;
  c.times = claims::Times{node->GetCreationTime(), node->GetModificationTime()};
  return entry;
}

void CExFatClusterClaims::Keep(Entry&& entry, bool taken) {
  if (m_judged || entry.node == nullptr) return;
  auto* node = static_cast<CExFatFileNode*>(entry.node);
  const bool local = node->AreTimesLocal();
  const bool contiguous = node->IsFatInvalid();
  const uint64_t size = entry.size;
  const claims::Claim c = entry.claim;
  const uint32_t owner = m_ledger.Keep(std::move(entry), taken);
  if (owner == claims::kNoOwner) return;
  (local ? m_local : m_zoned) = true;
  if (!c.live) return;
  const uint64_t key = claims::TakenBy(c.times);
  if (c.folder) {
    const uint64_t bytes = m_partition.GetBytesPerCluster();
    const uint64_t count = bytes == 0 ? 1 : std::max<uint64_t>(1, (size + bytes - 1) / bytes);
    Hold(static_cast<uint32_t>(c.first), count, contiguous ? Follow::kContiguous : Follow::kTable, owner, key,
         claims::kUnknownTime);
  } else {
    for (Span run : m_ledger.RunsOf(owner)) {
      run.key = key;
      m_ledger.Held().push_back(run);
    }
  }
}

claims::Verdicts CExFatClusterClaims::Judge() {
  if (m_judged) return {};
  m_judged = true;
  HoldVolume();
  // Times of an unknown zone beside times with their offset may be a day
  // off either way.
  const uint64_t tick = kTick + (m_local && m_zoned ? kZoneSpread : 0);
  return m_ledger.Judge("exFAT", tick,
                        fileheads::ClusterPlace{m_device, m_partition.GetHeapFirstSector(),
                                                m_partition.GetSectorsPerCluster(), m_progress},
                        IsNodeTraceOn());
}
