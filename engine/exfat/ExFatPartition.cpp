#include "exfat/ExFatPartition.h"

#include <algorithm>
#include <bit>
#include <cstddef>
#include <iterator>
#include <map>
#include <new>

#include "ClusterSpans.h"
#include "DataRunList.h"
#include "OnDiskBytes.h"
#include "StorageDevice.h"
#include "UnreadableSectors.h"
#include "exfat/ExFatDBR.h"
#include "exfat/ExFatFileNode.h"

// ---- the allocation table ---------------------------------------------------

bool CFatTable::CreateFatTable(IStorageDevice* device, int64_t fatStartSector, uint32_t fatSectors,
                               uint32_t clusterCount) {
  ClearFatData();
  if (device == nullptr || fatStartSector < 0 || fatSectors == 0) return false;
  const uint32_t sectorSize = device->GetSectorSize();
  const int64_t total = device->GetTotalSectors();
  if (sectorSize == 0 || sectorSize > kWindowBytes || total <= 0 || fatStartSector + int64_t{fatSectors} > total) {
    return false;
  }
  m_device = device;
  m_fatStart = fatStartSector;
  m_fatSectors = fatSectors;
  m_sectorSize = sectorSize;
  m_windowSectors = kWindowBytes / sectorSize;
  m_clusterCount = clusterCount;
  m_readFailed = false;
  if (LoadWindow(fatStartSector) == nullptr) {
    ClearFatData();
    return false;
  }
  return true;
}

void CFatTable::ClearFatData() {
  m_windows.clear();
  m_lostSectors.clear();
  m_device = nullptr;
  m_fatStart = 0;
  m_fatSectors = 0;
  m_clusterCount = 0;
}

std::vector<uint8_t>* CFatTable::LoadWindow(int64_t start) {
  std::vector<uint8_t> buffer;
  if (m_windows.size() >= kMaxWindows) {
    auto lowest = m_windows.begin();
    buffer = std::move(lowest->second);
    m_windows.erase(lowest);
  }
  try {
    buffer.assign(kWindowBytes, 0);
  } catch (const std::bad_alloc&) {
    return nullptr;
  }
  // Only the table's own sectors are read; the rest of the window stays 0.
  // Sectors a failing medium could not give cost only their own entries.
  const int64_t count = std::min<int64_t>(m_windowSectors, m_fatStart + m_fatSectors - start);
  SectorRuns lost;
  if (count <= 0 || !unreadable::ReadAround(m_device, buffer.data(), start, count, lost)) {
    m_readFailed = true;
    return nullptr;
  }
  for (const auto& [first, length] : lost) {
    for (int64_t sector = first; sector < first + length; ++sector) m_lostSectors.insert(sector);
  }
  return &(m_windows[start] = std::move(buffer));
}

uint32_t CFatTable::GetNextCluster(uint32_t cluster) {
  if (m_windows.empty() || cluster < 2 || uint64_t{cluster} > uint64_t{m_clusterCount} + 1) return kEndOfChain;
  const uint64_t byte = uint64_t{cluster} * 4;
  if (byte + 4 > uint64_t{m_fatSectors} * m_sectorSize) return kEndOfChain;
  const int64_t tableSector = static_cast<int64_t>(byte / m_sectorSize);
  const int64_t start = m_fatStart + tableSector / m_windowSectors * m_windowSectors;
  auto found = m_windows.find(start);
  std::vector<uint8_t>* window = found != m_windows.end() ? &found->second : LoadWindow(start);
  if (window == nullptr) return kEndOfChain;
  if (!m_lostSectors.empty() && m_lostSectors.count(m_fatStart + tableSector) != 0) {
    // Lost with its sector, as an gone window is.
    m_readFailed = true;
    return kEndOfChain;
  }
  const uint64_t offset = byte - uint64_t(start - m_fatStart) * m_sectorSize;
  return ondisk::Le32(window->data() + offset);
}

// ---- the volume's geometry --------------------------------------------------

void CExFatPartition::ForgetBitmap() {
  m_bitmapCluster = 0;
  m_bitmapLength = 0;
  m_upcaseCluster = 0;
  m_upcaseLength = 0;
  m_bitmapTried = false;
  m_bitmap.clear();
  m_bitmapLost.clear();
  m_inUse.clear();
  m_pieceSound.clear();
  m_bitmapJudged = false;
}

bool CExFatPartition::Init(const CExFatDBR& dbr, IStorageDevice* device, int64_t volumeStart) {
  m_device = device;
  ForgetBitmap();
  m_bytesPerSector = dbr.GetBytePerSector();
  m_sectorsPerCluster = dbr.GetSectorsperCluster();
  m_bytesPerCluster = m_bytesPerSector * m_sectorsPerCluster;
  m_clusterLimit = uint64_t{dbr.GetTotalCluster()} + 2;
  m_rootCluster = dbr.GetRootDirStartCluster();
  m_volumeStart = volumeStart;
  m_heapFirstSector = volumeStart + int64_t{dbr.GetDataRegionStartSector()};
  m_totalSectors = dbr.GetTotalSectors();
  // The first table, whatever the active-table flag says: the second one is
  // only ever a copy kept by some writers.
  return CreateFatTable(device, volumeStart + int64_t{dbr.GetFatStartSector()}, dbr.GetSectorsPerFat(),
                        dbr.GetTotalCluster());
}

void CExFatPartition::SetGeometry(IStorageDevice* device, uint32_t bytesPerSector, uint32_t sectorsPerCluster,
                                  int64_t heapFirstSector, int64_t volumeStart, uint64_t totalSectors,
                                  uint64_t clusterCount, uint32_t rootCluster) {
  ClearFatData();
  m_device = device;
  ForgetBitmap();
  m_bytesPerSector = bytesPerSector;
  m_sectorsPerCluster = sectorsPerCluster;
  m_bytesPerCluster = bytesPerSector * sectorsPerCluster;
  m_clusterLimit = std::min<uint64_t>(clusterCount, 0xFFFFFFF4u) + 2;
  m_rootCluster = rootCluster;
  m_volumeStart = volumeStart;
  m_heapFirstSector = heapFirstSector;
  m_totalSectors = totalSectors;
}

int64_t CExFatPartition::ConvertClusterNumToSector(uint32_t cluster) const {
  if (!IsHeapCluster(cluster)) return 0;
  return m_heapFirstSector + int64_t{cluster - 2} * m_sectorsPerCluster;
}

uint32_t CExFatPartition::ConvertSectorToClusterNum(int64_t sector) const {
  if (m_sectorsPerCluster == 0) return 0;
  const int64_t spc = m_sectorsPerCluster;
  return static_cast<uint32_t>((sector - m_heapFirstSector + spc - 1) / spc + 2);
}

uint32_t CExFatPartition::GetNextCluster(uint32_t cluster, bool contiguous) {
  if (!IsHeapCluster(cluster)) return kEndOfChain;
  // A contiguous chain's table entries are not kept up to date by writers:
  // its next cluster is simply the next one on disk.
  const uint64_t next = contiguous ? uint64_t{cluster} + 1 : GetNextCluster(cluster);
  return IsHeapCluster(next) ? static_cast<uint32_t>(next) : kEndOfChain;
}

void CExFatPartition::SetAllocationBitmap(uint32_t firstCluster, uint64_t length) {
  if (!IsHeapCluster(firstCluster) || length == 0) return;
  m_bitmapCluster = firstCluster;
  m_bitmapLength = length;
  m_bitmapTried = false;
  m_bitmap.clear();
  m_bitmapLost.clear();
  m_pieceSound.clear();
  m_bitmapJudged = false;
}

bool CExFatPartition::LoadBitmap() {
  if (m_bitmapTried) return !m_bitmap.empty();
  m_bitmapTried = true;
  if (m_device == nullptr || m_bitmapCluster == 0 || m_bytesPerCluster == 0) return false;
  // Bits past the heap's clusters describe nothing.
  const uint64_t length = std::min<uint64_t>(m_bitmapLength, (m_clusterLimit - 2 + 7) / 8);
  if (length > kMaxBitmapBytes) return false;
  std::vector<uint8_t> bytes;
  try {
    bytes.assign((length + m_bytesPerCluster - 1) / m_bytesPerCluster * m_bytesPerCluster, 0);
  } catch (const std::bad_alloc&) {
    return false;
  }
  // Its clusters by the table, or one after the other where the table has
  // no chain for them.
  uint32_t cluster = m_bitmapCluster;
  ClusterSpans taken;
  std::vector<std::pair<uint64_t, uint64_t>> lost;
  SectorRuns gone;
  for (uint64_t at = 0; at < bytes.size(); at += m_bytesPerCluster) {
    const int64_t first = ConvertClusterNumToSector(cluster);
    gone.clear();
    if (!IsHeapCluster(cluster) || !taken.Take(cluster) ||
        !unreadable::ReadAround(m_device, bytes.data() + at, first, m_sectorsPerCluster, gone)) {
      return false;
    }
    // Bits on sectors a failing medium could not give say nothing.
    for (const auto& [from, count] : gone) {
      const int64_t a = std::max(from, first) - first;
      const int64_t b = std::min<int64_t>(from + count, first + m_sectorsPerCluster) - first;
      if (b > a) lost.emplace_back(at + uint64_t(a) * m_bytesPerSector, at + uint64_t(b) * m_bytesPerSector);
    }
    NoteClusterInUse(cluster);
    const uint32_t next = GetNextCluster(cluster);
    cluster = IsHeapCluster(next) ? next : cluster + 1;
  }
  bytes.resize(length);
  m_bitmap.swap(bytes);
  m_bitmapLost.swap(lost);
  return true;
}

bool CExFatPartition::BitmapLost(uint64_t from, uint64_t to) const {
  for (const auto& [a, b] : m_bitmapLost) {
    if (a * 8 < to && from < b * 8) return true;
  }
  return false;
}

int CExFatPartition::IsClusterAllocated(uint32_t cluster) {
  if (!IsHeapCluster(cluster) || !LoadBitmap()) return -1;
  const uint64_t bit = uint64_t{cluster} - 2;
  if (bit / 8 >= m_bitmap.size()) return -1;
  if (!m_bitmapLost.empty() && BitmapLost(bit, bit + 1)) return kBitLost;
  return (m_bitmap[bit / 8] >> (bit % 8)) & 1;
}

int CExFatPartition::IsClusterGiven(uint32_t cluster) {
  const int allocated = IsClusterAllocated(cluster);
  if (!m_bitmapJudged || allocated < 0) return allocated;
  const uint64_t bit = uint64_t{cluster} - 2;
  if (bit / 8 < m_inUse.size() && ((m_inUse[bit / 8] >> (bit % 8)) & 1) != 0) return 1;
  const uint64_t piece = bit / (uint64_t{kBitmapPieceBytes} * 8);
  return piece < m_pieceSound.size() && m_pieceSound[piece] != 0 ? allocated : 0;
}

void CExFatPartition::NoteClusterInUse(uint32_t cluster) {
  if (!IsHeapCluster(cluster)) return;
  if (m_inUse.empty()) {
    // Clusters past what a bitmap may hold stay unknown (not believed).
    const uint64_t bytes = std::min<uint64_t>((m_clusterLimit - 2 + 7) / 8, kMaxBitmapBytes);
    try {
      m_inUse.assign(bytes, 0);
    } catch (const std::bad_alloc&) {
      return;
    }
  }
  const uint64_t bit = uint64_t{cluster} - 2;
  if (bit / 8 < m_inUse.size()) m_inUse[bit / 8] |= static_cast<uint8_t>(1u << (bit % 8));
}

void CExFatPartition::NoteClustersInUse(IDataRunList* runs) {
  if (runs == nullptr) return;
  for (DataRun* run = runs->GetFirst(); run != nullptr; run = runs->GetNext()) {
    if (run->start < 0 || run->length <= 0) continue;
    // Bounded by the heap: a run never leaves it.
    const uint64_t end = std::min<uint64_t>(uint64_t(run->start) + uint64_t(run->length) + 2, m_clusterLimit);
    for (uint64_t c = uint64_t(run->start) + 2; c < end; ++c) NoteClusterInUse(static_cast<uint32_t>(c));
  }
}

void CExFatPartition::JudgeBitmap() {
  m_bitmapJudged = true;
  m_pieceSound.clear();
  if (!LoadBitmap()) return;
  const uint64_t bits = std::min<uint64_t>(uint64_t{m_bitmap.size()} * 8, m_clusterLimit - 2);
  const uint64_t pieces = (m_bitmap.size() + kBitmapPieceBytes - 1) / kBitmapPieceBytes;
  try {
    m_pieceSound.assign(pieces, 0);
  } catch (const std::bad_alloc&) {
    return;
  }
  for (uint64_t piece = 0; piece < pieces; ++piece) {
    const uint64_t from = piece * kBitmapPieceBytes * 8;
    const uint64_t to = std::min<uint64_t>(from + kBitmapPieceBytes * 8, bits);
    if (to <= from) break;
    uint64_t disagree = 0;
    for (uint64_t byte = from / 8; byte * 8 < to; ++byte) {
      const uint8_t known = byte < m_inUse.size() ? m_inUse[byte] : 0;
      // Bits past the heap's last cluster say nothing.
      const uint64_t valid = std::min<uint64_t>(to - byte * 8, 8);
      const auto mask = static_cast<uint8_t>(valid >= 8 ? 0xFF : (1u << valid) - 1);
      disagree += static_cast<uint64_t>(std::popcount(static_cast<uint8_t>((m_bitmap[byte] ^ known) & mask)));
    }
    // A piece with bits a failing medium lost is not believed either.
    m_pieceSound[piece] = disagree * kDisagreeShare <= to - from && !BitmapLost(from, to) ? 1 : 0;
  }
}

bool CExFatPartition::BitmapHolds(uint32_t first, uint32_t last) {
  if (!m_bitmapJudged || !IsHeapCluster(first) || !IsHeapCluster(last) || last < first) return false;
  const uint64_t pieceBits = uint64_t{kBitmapPieceBytes} * 8;
  for (uint64_t piece = (uint64_t{first} - 2) / pieceBits; piece <= (uint64_t{last} - 2) / pieceBits; ++piece) {
    if (piece >= m_pieceSound.size() || m_pieceSound[piece] == 0) return false;
  }
  return true;
}

namespace {

// Whether any of bits [from, to) of `bits` (bit 0 the low bit of byte 0)
// is set; bits past the vector's end are not.
bool AnyBitSet(const std::vector<uint8_t>& bits, uint64_t from, uint64_t to) {
  to = std::min<uint64_t>(to, uint64_t{bits.size()} * 8);
  while (from < to && from % 8 != 0) {
    if (((bits[from / 8] >> (from % 8)) & 1) != 0) return true;
    ++from;
  }
  // Whole bytes at once: a long file's clusters cost a byte per eight.
  const uint64_t wholeEnd = to / 8;
  if (from / 8 < wholeEnd) {
    const auto first = bits.begin() + static_cast<std::ptrdiff_t>(from / 8);
    const auto last = bits.begin() + static_cast<std::ptrdiff_t>(wholeEnd);
    if (std::find_if(first, last, [](uint8_t b) { return b != 0; }) != last) return true;
    from = wholeEnd * 8;
  }
  for (; from < to; ++from) {
    if (((bits[from / 8] >> (from % 8)) & 1) != 0) return true;
  }
  return false;
}

}  // namespace

bool CExFatPartition::RunsReachClustersInUse(IDataRunList* runs) {
  if (runs == nullptr) return false;
  const uint64_t pieceBits = uint64_t{kBitmapPieceBytes} * 8;
  for (DataRun* run = runs->GetFirst(); run != nullptr; run = runs->GetNext()) {
    if (run->start < 0 || run->length <= 0) continue;
    // Bits count from cluster 2, as the runs do; never past the heap.
    const uint64_t from = uint64_t(run->start);
    const uint64_t to = std::min<uint64_t>(from + uint64_t(run->length), m_clusterLimit - 2);
    if (from >= to) continue;
    if (AnyBitSet(m_inUse, from, to)) return true;
    // Bits the medium lost may give the clusters to anybody.
    if (m_bitmapJudged && BitmapLost(from, to)) return true;
    // The bitmap only where its piece was judged sound: bytes written over
    // it would fail intact files.
    if (!m_bitmapJudged) continue;
    for (uint64_t piece = from / pieceBits; piece < m_pieceSound.size() && piece * pieceBits < to; ++piece) {
      if (m_pieceSound[piece] == 0) continue;
      const uint64_t a = std::max(from, piece * pieceBits);
      const uint64_t b = std::min(to, (piece + 1) * pieceBits);
      if (AnyBitSet(m_bitmap, a, b)) return true;
    }
  }
  return false;
}

bool CExFatPartition::DeletedChainHolds(uint32_t first, uint64_t clusters) {
  if (!IsValid()) return false;
  ClusterSpans taken;
  uint32_t cluster = first;
  for (uint64_t step = 0; step < clusters; ++step) {
    if (!IsHeapCluster(cluster) || !taken.Take(cluster) || IsClusterGiven(cluster) == 1) return false;
    const bool readFailed = HasReadFailed();
    const uint32_t next = GetNextCluster(cluster);
    if (HasReadFailed() != readFailed) return false;
    if (step + 1 == clusters) return next == kEndOfChain;
    cluster = next;
  }
  return false;
}

IDataRunList* CExFatPartition::BuildFileDataRun(const _tagFileBaseInfo& info, bool* guessed, bool* unsure) {
  if (guessed != nullptr) *guessed = false;
  if (unsure != nullptr) *unsure = false;
  IDataRunList* list = CreateDataRunList();
  if (list == nullptr) return nullptr;
  if ((info.attributes & CExFatFileNode::kDirectory) != 0 || !IsHeapCluster(info.firstCluster) ||
      info.dataLength <= 0 || m_bytesPerCluster == 0) {
    return list;
  }
  const uint64_t clusters = (uint64_t(info.dataLength) + m_bytesPerCluster - 1) / m_bytesPerCluster;
  const bool contiguous = info.contiguous != 0 || (info.inUse == 0 && !DeletedChainHolds(info.firstCluster, clusters));
  if (contiguous && info.contiguous == 0) {
    if (guessed != nullptr) *guessed = true;
    // One cluster needs no chain; more without a bitmap is a guess.
    if (unsure != nullptr) *unsure = clusters > 1;
    if (IsClusterAllocated(info.firstCluster) >= 0) {
      // A file that needed a chain lay in pieces between others' clusters;
      // those still given to live files are passed over. Past the heap's
      // last cluster it went on at the first, as the allocator wrapped.
      uint64_t taken = 0;
      uint64_t last = info.firstCluster;
      bool wrapped = false;
      for (uint64_t c = info.firstCluster; taken < clusters; ++c) {
        if (!IsHeapCluster(c)) {
          if (wrapped) break;
          wrapped = true;
          c = 2;
        }
        if (wrapped && c >= info.firstCluster) break;
        if (c != info.firstCluster && IsClusterGiven(static_cast<uint32_t>(c)) == 1) continue;
        const DataRun run{static_cast<int64_t>(c) - 2, 1};
        list->AddDataRun(&run);
        ++taken;
        last = c;
      }
      // The clusters passed over are only those of live files where the
      // bitmap there can be believed.
      const auto end = static_cast<uint32_t>(m_clusterLimit - 1);
      const bool believed = wrapped ? BitmapHolds(info.firstCluster, end) && BitmapHolds(2, static_cast<uint32_t>(last))
                                    : BitmapHolds(info.firstCluster, static_cast<uint32_t>(last));
      if (unsure != nullptr) *unsure = clusters > 1 && !believed;
      return list;
    }
  }
  if (contiguous) {
    // Never past the heap's last cluster.
    const uint64_t fit = std::min<uint64_t>(clusters, m_clusterLimit - info.firstCluster);
    const DataRun run{int64_t{info.firstCluster} - 2, static_cast<int64_t>(fit)};
    list->AddDataRun(&run);
    return list;
  }
  // One step per cluster the data needs: a chain that runs on is cut there.
  // A chain that comes back on itself is cut where it does.
  ClusterSpans taken;
  uint32_t cluster = info.firstCluster;
  for (uint64_t step = 0; step < clusters && IsHeapCluster(cluster) && taken.Take(cluster); ++step) {
    const DataRun run{int64_t{cluster} - 2, 1};
    list->AddDataRun(&run);
    cluster = GetNextCluster(cluster, false);
  }
  return list;
}

CExFatFileNode* CExFatPartition::BuildFile(const _tagFileBaseInfo& info) {
  auto* node = new (std::nothrow) CExFatFileNode();
  if (node == nullptr) return nullptr;
  node->SetFirstCluster(info.firstCluster);
  node->SetFileAttributes(info.attributes);
  node->SetFileTime(DosTime2FileTime(info.createTime, info.create10ms, info.createUtcOffset),
                    DosTime2FileTime(info.modifyTime, info.modify10ms, info.modifyUtcOffset),
                    DosTime2FileTime(info.accessTime, 0, info.accessUtcOffset));
  node->SetFileName(info.name.c_str());
  node->SetFileSize(static_cast<uint64_t>(std::max<int64_t>(info.dataLength, 0)));
  node->SetMetaDataSector(info.sector);
  if (info.inUse == 0) node->SetFileDeleted();
  if (info.contiguous != 0) node->SetFileFatInvalid();
  if ((info.createUtcOffset & 0x80) == 0 || (info.modifyUtcOffset & 0x80) == 0) node->SetTimesLocal();
  bool guessed = false;
  bool unsure = false;
  IDataRunList* runs = BuildFileDataRun(info, &guessed, &unsure);
  if (guessed) node->SetContentGuessed();
  if (unsure) node->SetContentUnsure(true);
  // Another file (or the volume) has its clusters now: what they hold is
  // not this file's.
  if (info.inUse == 0 && (info.attributes & CExFatFileNode::kDirectory) == 0 && RunsReachClustersInUse(runs)) {
    node->SetContentUnsure(true);
  }
  // No file is more than its clusters hold.
  if (runs != nullptr && (info.attributes & CExFatFileNode::kDirectory) == 0 && info.dataLength > 0) {
    uint64_t held = 0;
    for (DataRun* run = runs->GetFirst(); run != nullptr; run = runs->GetNext()) {
      if (run->length > 0) held += uint64_t(run->length) * m_bytesPerCluster;
    }
    if (held < node->GetFileSize() && IsHeapCluster(info.firstCluster)) {
      node->SetFileSize(held);
      node->SetSizeDamaged(true);
    }
  }
  node->SetDataRunList(runs);
  return node;
}
