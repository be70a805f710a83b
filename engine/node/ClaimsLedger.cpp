#include "ClaimsLedger.h"

#include <cstdio>
#include <utility>

#include "DataRunList.h"
#include "FileNode.h"
#include "StorageDevice.h"

CClaimsLedger::Entry CClaimsLedger::Read(CFileNode* node) {
  Entry entry;
  m_read.clear();
  if (node == nullptr) return entry;
  entry.node = node;
  entry.unsure = node->IsContentUnsure();
  entry.size = node->GetFileSize();
  IDataRunList* runs = node->IsDirectory() != 0 ? nullptr : node->GetDataRunList();
  for (DataRun* run = runs != nullptr ? runs->GetFirst() : nullptr; run != nullptr; run = runs->GetNext()) {
    if (run->IsSparse() || run->length <= 0) continue;
    const uint64_t cluster = static_cast<uint64_t>(run->start) + 2;
    const uint64_t length = static_cast<uint64_t>(run->length);
    if (cluster >= m_end || length > m_end - cluster) continue;
    m_read.push_back(claims::Span{cluster, cluster + length, 0, 1});
  }
  return entry;
}

uint32_t CClaimsLedger::Keep(Entry&& entry, bool taken) {
  claims::Claim& c = entry.claim;
  if (c.first == 0 || (c.erased && c.folder) || m_entries.size() >= claims::kVolumeOwner) return claims::kNoOwner;
  if (!taken) entry.node = nullptr;
  const auto owner = static_cast<uint32_t>(m_entries.size());
  c.runsAt = m_runs.size();
  c.runCount = c.folder ? 0 : m_read.size();
  for (size_t i = 0; i < c.runCount; ++i) {
    claims::Span run = m_read[i];
    run.owner = owner;
    m_runs.push_back(run);
  }
  m_entries.push_back(std::move(entry));
  return owner;
}

void CClaimsLedger::HoldChain(uint64_t first, uint64_t count, uint32_t owner, uint64_t firstKey, uint64_t restKey,
                              const Take& take, const Step& step) {
  uint64_t c = first;
  for (uint64_t i = 0; i < count && c != 0; ++i) {
    uint64_t next = 0;
    if (!step(c, &next)) break;
    const bool fresh = take(c);
    const uint64_t key = c == first ? firstKey : restKey;
    if (!m_held.empty() && m_held.back().owner == owner && m_held.back().end == c && m_held.back().key == key) {
      ++m_held.back().end;
    } else {
      m_held.push_back(claims::Span{c, c + 1, owner, key});
    }
    if (!fresh) break;
    c = next;
  }
}

claims::Verdicts CClaimsLedger::Judge(const char* system, uint64_t tick, const fileheads::ClusterPlace& place,
                                      bool trace, const std::function<void(CFileNode*)>& mark) {
  std::vector<claims::Claim> files;
  files.reserve(m_entries.size());
  for (const Entry& e : m_entries) files.push_back(e.claim);
  auto name = [&](size_t i) { return m_entries[i].node != nullptr ? m_entries[i].node->GetFileName() : nullptr; };
  claims::Evidence evidence;
  // A file's end is read through it whole (a JPEG's data): the ends read
  // for one volume together cost at most twice its bytes and a little,
  // however many entries name its clusters; past that they are not there.
  uint64_t tailBudget = 0;
  if (place.device != nullptr) {
    const uint64_t clusterBytes = uint64_t{place.sectorsPerCluster} * place.device->GetSectorSize();
    tailBudget = 2 * (m_end > 2 ? m_end - 2 : 0) * clusterBytes + (uint64_t{256} << 20);
    evidence.head = [&](size_t i) { return fileheads::ReadHead(place, m_entries[i].claim.first, name(i)); };
    evidence.tail = [&](size_t i) {
      return fileheads::ReadTail(place, RunsOf(i), m_entries[i].size, name(i), &tailBudget);
    };
  }
  const std::vector<uint16_t> reasons =
      claims::JudgeClaims(files, m_runs, std::move(m_held), claims::Volume{2, m_end}, tick, evidence);
  claims::Verdicts verdicts = claims::CountReasons(reasons);
  {
    NodeTreeGuard held;
    for (size_t i = 0; i < m_entries.size(); ++i) {
      const Entry& e = m_entries[i];
      if (reasons[i] == 0 || e.node == nullptr) continue;
      if (!e.unsure) ++verdicts.marked;
      e.node->SetContentUnsure(true);
      if (mark) mark(e.node);
      if (trace) {
        const char* name = e.node->GetFileName();
        std::printf("%s claims: %s (cluster %llu) not vouched for: reasons %#x\n", system, name != nullptr ? name : "",
                    static_cast<unsigned long long>(e.claim.first), static_cast<unsigned>(reasons[i]));
      }
    }
  }
  claims::PrintVerdicts(system, verdicts);
  std::vector<Entry>().swap(m_entries);
  std::vector<claims::Span>().swap(m_runs);
  std::vector<claims::Span>().swap(m_read);
  std::vector<claims::Span>().swap(m_held);
  return verdicts;
}
