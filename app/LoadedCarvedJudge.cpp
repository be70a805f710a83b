#include "app/LoadedCarvedJudge.h"

#include <algorithm>
#include <list>
#include <new>
#include <set>
#include <utility>

#include "AllocationJudge.h"
#include "DataRunList.h"
#include "FileNode.h"
#include "OnDiskBytes.h"
#include "ResultCode.h"
#include "SearchedPartitionInfo.h"
#include "StorageDevice.h"
#include "app/ScanResultChecks.h"
#include "copyout/CDataRecovery.h"
#include "partition/PartitionTableAnalyze.h"

namespace SaveRestoreResult {

namespace {

using Wide = unsigned __int128;

// The volumes a device's table names are looked at up to this many.
constexpr size_t kMaxVolumesNow = 128;

// Where a loaded node's runs lie, counted as its record says.
bool PlaceOf(const CFileNode& node, uint32_t deviceSector, RecordPlace& place) {
  const auto* judged = dynamic_cast<const IJudgedPartitionNode*>(&node);
  const CSearchedPartitionInfo* record = judged != nullptr ? judged->GetJudgedPartition() : nullptr;
  return record != nullptr && place.Of(*record, deviceSector);
}

// Calls `span(begin, end)` for the bytes of the device each run of `runs`
// covers (counted as `place` says), up to `size` bytes of the file in all;
// holes and what does not fit 64 bits are left out.
template <typename Span>
void ForEachSpan(IDataRunList* runs, const RecordPlace& place, uint64_t size, Span&& span) {
  if (runs == nullptr || runs->IsResident() != 0 || place.clusterBytes == 0) return;
  Wide left = size;
  for (DataRun* run = runs->GetFirst(); run != nullptr && left > 0; run = runs->GetNext()) {
    if (run->length <= 0) continue;
    const Wide bytes = std::min<Wide>(Wide(static_cast<uint64_t>(run->length)) * place.clusterBytes, left);
    left -= bytes;
    if (run->IsSparse() || run->start < 0) continue;
    const Wide begin = Wide(place.base) + Wide(static_cast<uint64_t>(run->start)) * place.clusterBytes;
    if (begin + bytes > UINT64_MAX) continue;
    span(static_cast<uint64_t>(begin), static_cast<uint64_t>(begin + bytes));
  }
}

}  // namespace

LoadedCarvedJudge::LoadedCarvedJudge(IStorageDevice* device, const std::vector<LoadedTree>& trees, JudgeOf judgeOf)
    : m_device(device), m_judgeOf(std::move(judgeOf)) {
  if (m_device == nullptr) return;
  // The nodes, gathered under the tree lock; a loaded node's record and runs
  // no longer change, and the volumes are read without holding it.
  std::vector<std::pair<CFileNode*, _tagSearcherType>> nodes;
  {
    NodeTreeGuard guard;
    for (const LoadedTree& tree : trees) {
      if (tree.root == nullptr || tree.device != m_device || tree.type == SEARCHER_TYPE_RAW) continue;
      // Depth first; a folder's children are linked through their next node.
      std::vector<IFileNode*> stack;
      if (IFileNode* first = tree.root->GetFirstChild()) stack.push_back(first);
      while (!stack.empty()) {
        IFileNode* node = stack.back();
        stack.pop_back();
        if (IFileNode* next = node->GetNextNode()) stack.push_back(next);
        if (IFileNode* child = node->GetFirstChild()) stack.push_back(child);
        if (auto* file = dynamic_cast<CFileNode*>(node)) nodes.emplace_back(file, tree.type);
      }
    }
  }
  for (const auto& [node, type] : nodes) Keep(*node, type);
  AddVolumesNow();
  std::sort(m_held.begin(), m_held.end(), [](const Held& a, const Held& b) { return a.begin < b.begin; });
  m_reach.reserve(m_held.size());
  uint64_t reach = 0;
  for (const Held& held : m_held) m_reach.push_back(reach = std::max(reach, held.end));
}

void LoadedCarvedJudge::Keep(CFileNode& node, _tagSearcherType type) {
  const auto* judged = dynamic_cast<const IJudgedPartitionNode*>(&node);
  const CSearchedPartitionInfo* record = judged != nullptr ? judged->GetJudgedPartition() : nullptr;
  if (record == nullptr) return;
  auto known = m_volumeOf.find(record);
  if (known == m_volumeOf.end()) {
    known = m_volumeOf.emplace(record, m_volumes.size()).first;
    m_volumes.push_back({record, m_judgeOf(record, type)});
  }
  IAllocationJudge* judge = m_volumes[known->second].judge;
  // Only what the volume gave at the scan: files deleted then held nothing.
  // A folder vouches for nothing either: its clusters change with every
  // entry written in it (a new shot's in its camera folder), and no judge
  // tells that they have not.
  RecordPlace place;
  if (judge == nullptr || node.IsDeleted() != 0 || node.IsDirectory() != 0 ||
      !PlaceOf(node, m_device->GetSectorSize(), place)) {
    return;
  }
  ForEachSpan(node.GetDataRunList(), place, node.GetFileSize(), [&](uint64_t begin, uint64_t end) {
    m_held.push_back({begin, end, &node, judge});
  });
}

void LoadedCarvedJudge::AddVolumesNow() {
  const uint32_t deviceSector = m_device->GetSectorSize();
  if (deviceSector == 0) return;
  std::vector<int64_t> starts{0};
  if (IPartitionTableAnalyze* tables = CreatePartitionTableAnalyze()) {
    std::list<PartitionEntry> partitions;
    if (result::IsSuccess(tables->AnalyzePartitionTable(m_device, partitions))) {
      for (const PartitionEntry& entry : partitions) {
        if (starts.size() >= kMaxVolumesNow) break;
        if (entry.startSector > 0) starts.push_back(entry.startSector);
      }
    }
    tables->Release();
  }
  // Where the trees' volumes begin, as their records count.
  std::set<uint64_t> known;
  for (const Volume& volume : m_volumes) {
    for (const int64_t sector : {volume.record->GetStartSector(), volume.record->GetFirstDataSector()}) {
      if (sector >= 0) known.insert(static_cast<uint64_t>(sector) * volume.record->GetSectorSize());
    }
  }
  for (const int64_t start : starts) {
    const uint64_t byte = static_cast<uint64_t>(start) * deviceSector;
    std::vector<uint8_t> region;
    VolumeIdentity identity;
    if (!known.insert(byte).second || !ReadBytes(m_device, byte, kIdentityRegionBytes, region) ||
        !IdentityOf(region.data(), region.size(), identity)) {
      continue;
    }
    // A record of the volume as a scan of it would place it: its runs count
    // from its first sector, in the device's sectors (an HFS+ volume's in
    // its blocks).
    auto record = std::make_unique<CSearchedPartitionInfo>(deviceSector);
    record->SetStartSector(start);
    record->SetFirstDataSector(start);
    record->SetSectorsperCluster(1);
    _tagSearcherType type = SEARCHER_TYPE_NONE;
    switch (static_cast<IdentityKind>(identity.kind)) {
      case IdentityKind::kFat:
        type = SEARCHER_TYPE_FAT;
        break;
      case IdentityKind::kExfat:
        type = SEARCHER_TYPE_EXFAT;
        break;
      case IdentityKind::kNtfs:
        type = SEARCHER_TYPE_NTFS;
        break;
      case IdentityKind::kHfsPlus: {
        // The volume header's block size.
        const uint32_t blockSize = region.size() >= 1024 + 44 ? ondisk::Be32(region.data() + 1024 + 40) : 0;
        if (blockSize == 0 || blockSize % deviceSector != 0) continue;
        record->SetSectorsperCluster(blockSize / deviceSector);
        type = SEARCHER_TYPE_HFSPLUS;
        break;
      }
      default:
        continue;
    }
    if (IAllocationJudge* judge = m_judgeOf(record.get(), type)) {
      m_volumes.push_back({record.get(), judge});
      m_recordsNow.push_back(std::move(record));
    }
  }
}

bool LoadedCarvedJudge::StillHeld(const Held& held) {
  const auto known = m_stillHeld.find(held.file);
  if (known != m_stillHeld.end()) return known->second;
  // A file written again in place since the scan (its name, size and
  // clusters kept) still holds them, but no longer the bytes the carver read
  // there: only its own entry with the scan's times vouches for those.
  IAllocationJudge& judge = *held.judge;
  const bool required = judge.OwnEntryRequired();
  judge.SetOwnEntryRequired(true);
  bool taken = false;
  try {
    taken = judge.IsTaken(*held.file);
  } catch (const std::bad_alloc&) {
    taken = false;  // no more than the scan said
  }
  judge.SetOwnEntryRequired(required);
  m_stillHeld.emplace(held.file, !taken);
  return !taken;
}

bool LoadedCarvedJudge::Covered(uint64_t from, uint64_t to) {
  // The first piece that may reach past `from`: the furthest ends grow.
  size_t i = static_cast<size_t>(std::upper_bound(m_reach.begin(), m_reach.end(), from) - m_reach.begin());
  uint64_t covered = from;
  for (; i < m_held.size() && m_held[i].begin <= covered && covered < to; ++i) {
    if (m_held[i].end > covered && StillHeld(m_held[i])) covered = m_held[i].end;
  }
  return covered >= to;
}

bool LoadedCarvedJudge::IsTaken(CFileNode& carved) {
  RecordPlace place;
  if (m_device == nullptr || m_volumes.empty() || !PlaceOf(carved, m_device->GetSectorSize(), place)) return false;
  std::vector<std::pair<uint64_t, uint64_t>> spans;
  ForEachSpan(carved.GetDataRunList(), place, carved.GetFileSize(),
              [&spans](uint64_t begin, uint64_t end) { spans.emplace_back(begin, end); });
  bool taken = false;
  for (const Volume& volume : m_volumes) {
    if (volume.judge == nullptr) continue;
    for (const auto& [begin, end] : spans) {
      volume.judge->ForEachGiven(begin, end, [&](uint64_t from, uint64_t to) {
        if (!taken && !Covered(from, to)) taken = true;
      });
      if (taken) return true;
    }
  }
  return false;
}

}  // namespace SaveRestoreResult
