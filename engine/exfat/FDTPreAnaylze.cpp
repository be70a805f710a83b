#include "exfat/FDTPreAnaylze.h"

#include <algorithm>
#include <cstring>

#include "OnDiskBytes.h"

using ondisk::Le16;
using ondisk::Le32;
using ondisk::Le64;

namespace {

constexpr size_t kEntry = exfat_entry::kEntrySize;

// Up to `count` keys of `map` other than `skip`, nearest to `key` first.
template <typename Map>
std::vector<int64_t> Nearest(const Map& map, int64_t key, int64_t skip, size_t count) {
  std::vector<int64_t> keys;
  auto up = map.lower_bound(key);
  auto down = up;
  while (keys.size() < count && (up != map.end() || down != map.begin())) {
    const bool takeUp = up != map.end() && (down == map.begin() || up->first - key <= key - std::prev(down)->first);
    const int64_t at = takeUp ? (up++)->first : (--down)->first;
    if (at != skip) keys.push_back(at);
  }
  return keys;
}

template <typename Map>
void DropOldest(Map& map, size_t cap) {
  while (map.size() >= cap) map.erase(map.begin());
}

}  // namespace

void CFDTPreAnaylze::PrepareAnayze(uint32_t sectorShift, uint32_t clusterShift, uint64_t totalSectors) {
  FinisAnayze();
  m_sectorShift = std::clamp<uint32_t>(sectorShift, 9, 12);
  m_clusterShift = std::min<uint32_t>(clusterShift, 25);
  m_totalSectors = totalSectors;
  m_entriesPerSector = 1u << (m_sectorShift - 5);
}

void CFDTPreAnaylze::FinisAnayze() {
  m_heads.clear();
  m_tails.clear();
  m_links.clear();
  m_lasts.clear();
  m_set.reset();
}

int64_t CFDTPreAnaylze::GetNext(int64_t sector) const {
  auto it = m_links.find(sector);
  return it != m_links.end() ? it->second : -1;
}

int64_t CFDTPreAnaylze::GetLast(int64_t sector) const {
  auto it = m_lasts.find(sector);
  return it != m_lasts.end() ? it->second : -1;
}

std::unique_ptr<CFileSet> CFDTPreAnaylze::GetFileSet() {
  if (m_set == nullptr) return nullptr;
  if (!m_set->HasFile() && !m_set->IsRoot()) {
    m_set->Reset();
    return nullptr;
  }
  m_set->CalculateClusterSize(m_sectorShift);
  return std::move(m_set);
}

bool CFDTPreAnaylze::Analyze(int64_t sector, const uint8_t* buffer, size_t available) {
  using namespace exfat_entry;
  const size_t sectorBytes = size_t{1} << m_sectorShift;
  if (buffer == nullptr || available < sectorBytes) return true;
  if (m_set == nullptr) m_set = std::make_unique<CFileSet>();
  CFileSet& set = *m_set;
  size_t good = 0;
  size_t real = 0;  // good entries other than benign ones
  bool stopped = false;
  bool label = false, bitmap = false, upcase = false;
  for (size_t i = 0; i < m_entriesPerSector && !stopped; ++i) {
    const uint8_t* e = buffer + i * kEntry;
    const uint8_t type = e[0];
    bool ok = false;
    bool split = false;
    switch (type) {
      case kLabel & 0x7F:
        ok = IsValidLabelEntry(e);
        if (ok) set.SetVolumeLabel(e);
        break;
      case kLabel:
        ok = !label && IsValidLabelEntry(e);
        if (ok) {
          label = true;
          set.SetVolumeLabel(e);
        }
        break;
      case kBitmap:
        if (!IsValidBitmapEntry(e, m_sectorShift, m_clusterShift, m_totalSectors)) break;
        if (!bitmap) {
          bitmap = true;
          set.SetBitmapInfo(Le32(e + 20), Le64(e + 24));
          ok = true;
        } else {
          // The second table's bitmap, on volumes that keep two.
          ok = (e[1] & 1) != 0;
        }
        break;
      case kUpcase:
        ok = !upcase && IsValidUpcaseEntry(e, m_sectorShift, m_clusterShift, m_totalSectors);
        if (ok) {
          upcase = true;
          set.SetUpcaseTableInfo(Le32(e + 20), Le64(e + 24), Le32(e + 4));
        }
        break;
      case kFile:
      case kFile & 0x7F:
        if (!IsValidFileEntry(e, available - i * kEntry)) break;
        ok = true;
        split = CheckAndRecordNotEnd(e, m_entriesPerSector - i, sector, available - i * kEntry);
        if (!split) set.PushPrimaryEntry(e, sector);
        break;
      case kStream:
      case kStream & 0x7F:
        ok = IsValidStreamEntry(e, m_sectorShift, m_clusterShift, m_totalSectors);
        if (ok) set.PushStreamEntry(e, i == 0);
        break;
      case kName:
      case kName & 0x7F:
        ok = IsValidNameEntry(e, set.NameUnitsExpected());
        if (ok) set.PushNameEntry(e, i == 0);
        break;
      default:
        // Benign entries pass only beside real ones: text is full of the
        // bytes that name them.
        if (IsBenignSecondary(type)) {
          ok = set.PushBenignSecondary(e);
        } else if (IsBenignPrimary(type)) {
          ok = real > 0;
        }
        if (ok) --real;  // counted back below
        break;
    }
    if (!ok) {
      stopped = true;
      break;
    }
    ++good;
    ++real;
    if (split) stopped = true;
  }
  if (good > 0) {
    set.RecordSector(sector);
    if (set.IsAbridged() && set.GetSectorCount() == 1) RecordAbrige(sector, buffer, available);
  } else if (!set.HasFile() && !set.IsRoot()) {
    set.Reset();
  }
  // A run ends where it fills a cluster of the largest size its folders
  // allow.
  return stopped || (uint64_t{set.GetSectorCount()} << m_sectorShift) >= set.GetLargestClusterSize();
}

bool CFDTPreAnaylze::CheckAndRecordNotEnd(const uint8_t* e, size_t entriesLeft, int64_t sector, size_t bytesFromEntry) {
  const size_t count = size_t{e[1]} + 1;
  if (count <= entriesLeft) return false;
  CFileSet& set = *m_set;
  const int64_t runFirst = set.GetFirstSector() >= 0 ? set.GetFirstSector() : sector;
  const uint64_t runSectors = static_cast<uint64_t>(sector - runFirst + 1);
  // Within a cluster the set simply goes on in the next sector.
  if ((runSectors << m_sectorShift) < set.GetLargestClusterSize() && count * kEntry <= bytesFromEntry &&
      CheckDirEntry(e, count * kEntry, Le16(e + 2))) {
    return false;
  }
  set.SetNotEnd();
  Head head;
  head.sector = sector;
  head.entries.assign(e, e + entriesLeft * kEntry);
  for (const int64_t key : Nearest(m_tails, runFirst, runFirst, kJoinTries)) {
    auto tail = m_tails.find(key);
    if (Joint(head, tail->second.data())) {
      Link(runFirst, key);
      m_tails.erase(tail);
      return true;
    }
  }
  DropOldest(m_heads, kMaxOpen);
  m_heads[runFirst] = std::move(head);
  return true;
}

void CFDTPreAnaylze::RecordAbrige(int64_t sector, const uint8_t* start, size_t available) {
  const int64_t runFirst = m_set->GetFirstSector();
  for (const int64_t key : Nearest(m_heads, runFirst, runFirst, kJoinTries)) {
    auto head = m_heads.find(key);
    if (Joint(head->second, start)) {
      Link(key, sector);
      m_heads.erase(head);
      return;
    }
  }
  DropOldest(m_tails, kMaxOpen);
  std::vector<uint8_t>& tail = m_tails[runFirst];
  tail.assign(kTailBytes, 0);
  std::memcpy(tail.data(), start, std::min(kTailBytes, available));
}

void CFDTPreAnaylze::Link(int64_t head, int64_t tail) {
  if (m_links.size() >= kMaxLinks) {
    m_lasts.erase(m_links.begin()->second);
    m_links.erase(m_links.begin());
  }
  m_links[head] = tail;
  m_lasts[tail] = head;
}

bool CFDTPreAnaylze::Joint(const Head& head, const uint8_t* tail) {
  using namespace exfat_entry;
  const size_t count = size_t{head.entries[1]} + 1;
  const size_t have = head.entries.size() / kEntry;
  if (have == 0 || have >= count || count - have > kTailBytes / kEntry) return false;
  // The entry the tail must begin with: the stream right after the File
  // entry, else a name, with the File entry's in-use bit.
  const uint8_t inUse = head.entries[0] & kInUse;
  const uint8_t want = static_cast<uint8_t>((have == 1 ? (kStream & 0x7F) : (kName & 0x7F)) | inUse);
  if (tail[0] != want) return false;
  uint8_t joined[19 * kEntry];
  std::memcpy(joined, head.entries.data(), have * kEntry);
  std::memcpy(joined + have * kEntry, tail, (count - have) * kEntry);
  if (!CheckDirEntry(joined, count * kEntry, Le16(joined + 2))) return false;

  CFileSet& set = *m_set;
  const size_t before = set.GetLiveFiles().size() + set.GetDeletedFiles().size();
  set.BackupFileInfo();
  set.PushPrimaryEntry(joined, head.sector);
  bool ok = true;
  for (size_t i = 1; i < count && ok; ++i) {
    const uint8_t* e = joined + i * kEntry;
    if (i == 1) {
      ok = IsValidStreamEntry(e, m_sectorShift, m_clusterShift, m_totalSectors) && set.PushStreamEntry(e, false);
    } else if ((e[0] & 0x7F) == (kName & 0x7F)) {
      ok = IsValidNameEntry(e, set.NameUnitsExpected()) && set.PushNameEntry(e, false);
    } else {
      ok = IsBenignSecondary(e[0]) && set.PushBenignSecondary(e);
    }
  }
  set.RestoreFileInfo();
  return ok && set.GetLiveFiles().size() + set.GetDeletedFiles().size() > before;
}
