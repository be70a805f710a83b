#include "exfat/FileSet.h"

#include <algorithm>
#include <iterator>
#include <unordered_set>

#include "OnDiskBytes.h"
#include "base/TextConvert.h"
#include "exfat/ExFatFileNode.h"

using ondisk::Le16;

// ---- the set under construction -------------------------------------------------

void CFileSet::PushPrimaryEntry(const uint8_t* e, int64_t sector) {
  m_building = Building();
  m_building.state = 1;
  m_building.expected = e[1];
  exfat_entry::ReadFileEntry(e, sector, &m_building.info);
}

bool CFileSet::Drop(bool firstInSector) {
  m_building.state = 0;
  m_building.trailing = 0;
  if (firstInSector && !HasFile()) SetAbridged();
  return false;
}

bool CFileSet::PushStreamEntry(const uint8_t* e, bool firstInSector) {
  const uint8_t inUse = (e[0] & exfat_entry::kInUse) != 0 ? 1 : 0;
  if (m_building.state != 1 || inUse != m_building.info.inUse) return Drop(firstInSector);
  m_building.state = 2;
  --m_building.expected;
  m_building.nameLength = e[3];
  exfat_entry::ReadStreamEntry(e, &m_building.info);
  return true;
}

int CFileSet::NameUnitsExpected() const {
  if (m_building.state < 2 || m_building.nameLength == 0) return exfat_entry::kNameUnitsPerEntry;
  const size_t have = m_building.units.size();
  if (have >= m_building.nameLength) return exfat_entry::kNameUnitsPerEntry;
  return static_cast<int>(std::min<size_t>(m_building.nameLength - have, exfat_entry::kNameUnitsPerEntry));
}

bool CFileSet::PushNameEntry(const uint8_t* e, bool firstInSector) {
  const uint8_t inUse = (e[0] & exfat_entry::kInUse) != 0 ? 1 : 0;
  if (m_building.state < 2 || m_building.expected == 0 || inUse != m_building.info.inUse) return Drop(firstInSector);
  const bool ended = exfat_entry::ReadNameEntry(e, NameUnitsExpected(), &m_building.units);
  if (m_building.state < 0xFF) ++m_building.state;
  --m_building.expected;
  // The name ends at its stream's NameLength; vendor entries may follow.
  if (m_building.expected == 0 || ended ||
      (m_building.nameLength != 0 && m_building.units.size() >= m_building.nameLength)) {
    UpdateFileList();
  }
  return true;
}

bool CFileSet::PushBenignSecondary(const uint8_t* e) {
  const uint8_t inUse = (e[0] & exfat_entry::kInUse) != 0 ? 1 : 0;
  if (m_building.state == 0 && m_building.trailing > 0 && inUse == m_building.trailingInUse) {
    --m_building.trailing;
    return true;
  }
  return false;
}

void CFileSet::UpdateFileList() {
  _tagFileBaseInfo info = std::move(m_building.info);
  info.name = Utf16LEToUtf8(m_building.units.data(), m_building.units.size());
  const uint8_t trailing = m_building.expected;
  const uint8_t inUse = info.inUse;
  m_building = Building();
  m_building.trailing = trailing;
  m_building.trailingInUse = inUse;

  const uint32_t first = info.firstCluster;
  const bool heapCluster = first >= 2 && first <= kLastCluster;
  // Empty files have no cluster: they bound nothing.
  if (heapCluster) {
    m_smallestCluster = std::min(m_smallestCluster, first);
    m_largestCluster = std::max(m_largestCluster, first);
  }
  const bool folder = (info.attributes & CExFatFileNode::kDirectory) != 0;
  if (folder) {
    // A folder's length is a whole number of its clusters.
    const auto length = static_cast<uint32_t>(info.dataLength);
    const uint32_t power = length & (~length + 1);
    if (power != 0 && power < m_largestSize) m_largestSize = power;
  }
  if (info.inUse == 0) {
    m_deleted.push_back(std::move(info));
    return;
  }
  if (folder && heapCluster) m_folders.push_back(first);
  // Put in cluster order once, when the run is handed out: kept in order
  // here, a run of a cluster's worth of sets in descending order (a third
  // of a million in 32 MiB) moved every record for each one.
  m_live.push_back(std::move(info));
}

// ---- the run --------------------------------------------------------------------

void CFileSet::RecordSector(int64_t sector) {
  if (m_firstSector < 0 || sector < m_firstSector) {
    m_firstSector = sector;
    m_sectors = 1;
    return;
  }
  m_sectors = static_cast<uint32_t>(std::min<int64_t>(sector + 1 - m_firstSector, 0xFFFFFFFF));
}

void CFileSet::SetVolumeLabel(const uint8_t* e) {
  m_flags |= kLabel;
  m_label.clear();
  for (int i = 0; i < e[1] && i < 11; ++i) m_label.push_back(static_cast<char16_t>(Le16(e + 2 + 2 * i)));
}

void CFileSet::SetBitmapInfo(uint32_t cluster, uint64_t length) {
  m_flags |= kBitmap;
  m_rootEstimate = std::max<uint32_t>(m_rootEstimate, cluster + 1);
  m_bitmapCluster = cluster;
  m_bitmapLength = length;
  m_bitmapClusters = std::min<uint64_t>(length * 8, kLastCluster);
}

void CFileSet::SetUpcaseTableInfo(uint32_t cluster, uint64_t length, uint32_t checksum) {
  m_flags |= kUpcase;
  m_rootEstimate = std::max<uint32_t>(m_rootEstimate, cluster + 1);
  m_upcaseCluster = cluster;
  m_upcaseSize = length;
  m_upcaseChecksum = checksum;
}

void CFileSet::NarrowTo(const CFileSet& other) {
  m_smallestSize = std::max(m_smallestSize, other.m_smallestSize);
  m_largestSize = std::min(m_largestSize, other.m_largestSize);
}

void CFileSet::SetNext(CFileSet* next) {
  m_next = next;
  if (next != nullptr) NarrowTo(*next);
}

void CFileSet::SetLast(CFileSet* last) {
  m_last = last;
  if (last != nullptr) NarrowTo(*last);
}

std::vector<const CFileSet*> CFileSet::Chain() const {
  std::vector<const CFileSet*> chain{this};
  if (m_next == nullptr) return chain;
  std::unordered_set<const CFileSet*> seen{this};
  for (const CFileSet* at = m_next; at != nullptr && chain.size() < kChainLimit && seen.insert(at).second;
       at = at->m_next) {
    chain.push_back(at);
  }
  return chain;
}

void CFileSet::CalculateClusterSize(uint32_t sectorShift) {
  if (m_inSectors) return;
  m_inSectors = true;
  // Files of one first cluster keep the order they came in.
  std::stable_sort(m_live.begin(), m_live.end(), [](const _tagFileBaseInfo& a, const _tagFileBaseInfo& b) {
    return a.firstCluster < b.firstCluster;
  });
  for (size_t i = 0; i + 1 < m_live.size(); ++i) {
    const _tagFileBaseInfo& a = m_live[i];
    const _tagFileBaseInfo& b = m_live[i + 1];
    if (a.contiguous == 0 || a.dataLength <= 0) continue;
    if (a.firstCluster < 2 || a.firstCluster > kLastCluster || b.firstCluster < 2 || b.firstCluster > kLastCluster) {
      continue;
    }
    // A contiguous file fits between its first cluster and the next file's.
    const uint64_t gap = b.firstCluster == a.firstCluster ? 0xFFFFFFFFu : b.firstCluster - a.firstCluster;
    const uint64_t bound = (static_cast<uint64_t>(a.dataLength) + gap - 1) / gap;
    if (bound <= m_smallestSize) continue;
    uint64_t power = 1;
    while (power < bound && power <= kLargestClusterBytes) power <<= 1;
    m_smallestSize = static_cast<uint32_t>(std::min<uint64_t>(power, uint64_t{kLargestClusterBytes} * 2));
  }
  m_smallestSize = std::max<uint32_t>(1, m_smallestSize >> sectorShift);
  m_largestSize >>= sectorShift;
}

bool CFileSet::GetAndCheckClusterSet(ClusterSpans& set, uint64_t clusterBytes) const {
  if (clusterBytes == 0) return false;
  for (const CFileSet* run : Chain()) {
    for (const _tagFileBaseInfo& info : run->m_live) {
      const uint32_t first = info.firstCluster;
      if (first < 2 || first > kLastCluster) continue;
      uint64_t last = first;
      if (info.contiguous != 0 && info.dataLength > 0) {
        last = first + (static_cast<uint64_t>(info.dataLength) + clusterBytes - 1) / clusterBytes - 1;
        if (last > kLastCluster) return false;
      }
      if (!set.TakeRange(first, last)) return false;
    }
  }
  return true;
}

void CFileSet::GetFolder(std::vector<uint32_t>& list) const {
  for (const CFileSet* run : Chain()) list.insert(list.end(), run->m_folders.begin(), run->m_folders.end());
}

bool CFileSet::IsClusterSizeConflict(uint64_t clusterSectors) const {
  // A run may hold more than one cluster of a folder written contiguously,
  // so its length bounds nothing.
  return clusterSectors > m_largestSize || clusterSectors < m_smallestSize;
}

void CFileSet::Reset() {
  m_building = Building();
  m_saved = Building();
  m_live.clear();
  m_deleted.clear();
  m_folders.clear();
  m_smallestCluster = kNoCluster;
  m_largestCluster = 0;
  m_smallestSize = kSmallestClusterBytes;
  m_largestSize = kLargestClusterBytes;
  m_inSectors = false;
  m_firstSector = -1;
  m_sectors = 0;
  m_flags = 0;
  m_rootEstimate = 2;
  m_bitmapClusters = 0;
  m_bitmapCluster = 0;
  m_bitmapLength = 0;
  m_upcaseCluster = 0;
  m_upcaseSize = 0;
  m_upcaseChecksum = 0;
  m_label.clear();
  m_next = nullptr;
  m_last = nullptr;
}
