#include "exfat/ExFatClusterClaims.h"

#include <algorithm>
#include <cstdio>
#include <span>
#include <utility>

#include "ClusterSpans.h"
#include "DataRunList.h"
#include "FileHeads.h"
#include "FileNode.h"
#include "base/Utility.h"
#include "exfat/ExFatFileNode.h"
#include "exfat/ExFatPartition.h"

using claims::Span;

CExFatClusterClaims::CExFatClusterClaims(CExFatPartition& partition, IStorageDevice* device)
    : m_partition(partition), m_device(device) {}

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
  ClusterSpans taken;
  uint32_t c = first;
  count = std::min<uint64_t>(count, m_partition.GetClusterLimit());
  // Each step takes a cluster of the heap not taken before.
  for (uint64_t i = 0; i < count && m_partition.IsHeapCluster(c) && taken.Take(c); ++i) {
    const uint64_t key = i == 0 ? firstKey : restKey;
    if (!m_held.empty() && m_held.back().owner == owner && m_held.back().end == c && m_held.back().key == key) {
      ++m_held.back().end;
    } else {
      m_held.push_back(Span{c, uint64_t{c} + 1, owner, key});
    }
    uint32_t next = m_partition.GetNextCluster(c, follow == Follow::kContiguous);
    if (follow == Follow::kTableElseNext && !m_partition.IsHeapCluster(next)) next = c + 1;
    c = next;
  }
}

CExFatClusterClaims::Entry CExFatClusterClaims::Read(CExFatFileNode* node) {
  Entry entry;
  m_read.clear();
  if (node == nullptr) return entry;
  entry.node = node;
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
  entry.unsure = node->IsContentUnsure();
  entry.local = node->AreTimesLocal();
  entry.size = node->GetFileSize();
  entry.contiguous = node->IsFatInvalid();
  if (const char* name = node->GetFileName(); !c.folder && fileheads::HasHead(name)) entry.headName = name;
  IDataRunList* runs = c.folder ? nullptr : node->GetDataRunList();
  const uint64_t limit = m_partition.GetClusterLimit();
  for (DataRun* run = runs != nullptr ? runs->GetFirst() : nullptr; run != nullptr; run = runs->GetNext()) {
    if (run->IsSparse() || run->length <= 0) continue;
    const uint64_t cluster = static_cast<uint64_t>(run->start) + 2;
    const uint64_t length = static_cast<uint64_t>(run->length);
    if (!m_partition.IsHeapCluster(cluster) || length > limit - cluster) continue;
    m_read.push_back(Span{cluster, cluster + length, 0, 1});
  }
  return entry;
}

void CExFatClusterClaims::Keep(Entry&& entry, bool taken) {
  claims::Claim& c = entry.claim;
  if (m_judged || c.first == 0 || (c.erased && c.folder)) return;
  if (!taken) entry.node = nullptr;
  if (m_entries.size() >= claims::kVolumeOwner) return;
  const auto owner = static_cast<uint32_t>(m_entries.size());
  c.runsAt = m_runs.size();
  c.runCount = c.folder ? 0 : m_read.size();
  for (size_t i = 0; i < c.runCount; ++i) {
    Span run = m_read[i];
    run.owner = owner;
    m_runs.push_back(run);
  }
  if (c.live) {
    const uint64_t key = claims::TakenBy(c.times);
    if (c.folder) {
      const uint64_t bytes = m_partition.GetBytesPerCluster();
      const uint64_t count = bytes == 0 ? 1 : std::max<uint64_t>(1, (entry.size + bytes - 1) / bytes);
      Hold(static_cast<uint32_t>(c.first), count, entry.contiguous ? Follow::kContiguous : Follow::kTable, owner, key,
           claims::kUnknownTime);
    } else {
      for (size_t i = 0; i < c.runCount; ++i) {
        Span run = m_runs[c.runsAt + i];
        run.key = key;
        m_held.push_back(run);
      }
    }
  }
  m_entries.push_back(std::move(entry));
}

claims::Verdicts CExFatClusterClaims::Judge() {
  if (m_judged) return {};
  m_judged = true;
  HoldVolume();
  std::vector<claims::Claim> files;
  files.reserve(m_entries.size());
  bool local = false;
  bool zoned = false;
  for (const Entry& e : m_entries) {
    files.push_back(e.claim);
    (e.local ? local : zoned) = true;
  }
  // Times of an unknown zone beside times with their offset may be a day
  // off either way.
  const uint64_t tick = kTick + (local && zoned ? kZoneSpread : 0);
  const fileheads::ClusterPlace place{m_device, m_partition.GetHeapFirstSector(), m_partition.GetSectorsPerCluster()};
  claims::Evidence evidence;
  if (m_device != nullptr) {
    evidence.head = [&](size_t i) {
      const Entry& e = m_entries[i];
      return e.headName.empty() ? claims::Head::kUnknown
                                : fileheads::ReadHead(place, e.claim.first, e.headName.c_str());
    };
    evidence.tail = [&](size_t i) {
      const Entry& e = m_entries[i];
      if (e.headName.empty()) return claims::Head::kUnknown;
      return fileheads::ReadTail(place, std::span<const Span>(m_runs.data() + e.claim.runsAt, e.claim.runCount), e.size,
                                 e.headName.c_str());
    };
  }
  const std::vector<uint16_t> reasons = claims::JudgeClaims(
      files, m_runs, std::move(m_held), claims::Volume{2, m_partition.GetClusterLimit()}, tick, evidence);
  claims::Verdicts verdicts = claims::CountReasons(reasons);
  NodeTreeGuard held;
  for (size_t i = 0; i < m_entries.size(); ++i) {
    Entry& e = m_entries[i];
    if (reasons[i] == 0 || e.node == nullptr) continue;
    if (!e.unsure) ++verdicts.marked;
    e.node->SetContentUnsure(true);
    if (IsNodeTraceOn()) {
      std::printf("exFAT claims: %s (cluster %llu) not vouched for: reasons %#x\n", e.node->GetFileName(),
                  static_cast<unsigned long long>(e.claim.first), static_cast<unsigned>(reasons[i]));
    }
  }
  claims::PrintVerdicts("exFAT", verdicts);
  m_entries.clear();
  m_entries.shrink_to_fit();
  m_runs.clear();
  m_runs.shrink_to_fit();
  m_held.clear();
  m_held.shrink_to_fit();
  return verdicts;
}
