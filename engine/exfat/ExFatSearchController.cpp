#include "exfat/ExFatSearchController.h"

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <initializer_list>
#include <iterator>
#include <new>
#include <unordered_set>

#include "DirecotryTreeBuilder.h"
#include "OnDiskBytes.h"
#include "Progress.h"
#include "SearchedPartitionInfo.h"
#include "SectorLender.h"
#include "StorageDevice.h"
#include "base/CatchExeception.h"
#include "exfat/EFDTAnalyze.h"
#include "exfat/ExFatDBR.h"
#include "exfat/ExFatQuickSearch.h"

namespace {

constexpr int64_t kBootRegionSectors = 12;
constexpr uint32_t kMaxClusterBytes = 32u << 20;

// The walks of the closing work report nowhere: the scan's own bar is the
// driver's.
class CSilentProgress final : public IProgress {
 public:
  int UpdateProgress(_PROGRESS_INFO*) override { return 1; }
  int Continued() override { return 1; }
  int shouldBuild() override { return 1; }
};

template <typename T>
void PushCapped(std::vector<T>& list, T value) {
  if (list.size() < CExFatSearchController::kEvidenceCap) list.push_back(std::move(value));
}

uint32_t Shift(uint32_t value) {
  uint32_t shift = 0;
  while (shift < 31 && (1u << shift) < value) ++shift;
  return shift;
}

uint64_t CeilDiv(uint64_t a, uint64_t b) { return b == 0 ? 0 : (a + b - 1) / b; }

}  // namespace

CExFatSearchController::CExFatSearchController() = default;
CExFatSearchController::~CExFatSearchController() = default;

void CExFatSearchController::PreparetoSearch() {
  m_sectorSize = m_device != nullptr ? m_device->GetSectorSize() : 512;
  if (m_sectorSize < 512 || (m_sectorSize & (m_sectorSize - 1)) != 0) m_sectorSize = 512;
  m_boots.clear();
  m_roots.clear();
  m_upcases.clear();
  m_tables.clear();
  m_folders.clear();
  m_links.clear();
  m_volumes.clear();
}

ResultCode CExFatSearchController::AnalyzeBlock(int64_t firstSector, int64_t sectorCount) {
  if (m_device == nullptr || sectorCount <= 0 || firstSector < 0) return 0;
  // The scan's cache lends a block read whole, in place.
  if (const uint8_t* block =
          m_sectorSize == m_device->GetSectorSize() ? BorrowSectors(m_device, firstSector, sectorCount) : nullptr) {
    for (int64_t i = 0; i < sectorCount; ++i) AnalyzeSector(firstSector + i, block + i * m_sectorSize);
    return 0;
  }
  try {
    m_block.resize(static_cast<size_t>(sectorCount) * m_sectorSize);
  } catch (const std::bad_alloc&) {
    return 0;
  }
  if (m_device->ReadSector(m_block.data(), firstSector, sectorCount) != 0) {
    for (int64_t i = 0; i < sectorCount; ++i) AnalyzeSector(firstSector + i, m_block.data() + i * m_sectorSize);
    return 0;
  }
  // One unreadable sector costs only itself.
  for (int64_t i = 0; i < sectorCount; ++i) {
    uint8_t* bytes = m_block.data() + i * m_sectorSize;
    if (m_device->ReadSector(bytes, firstSector + i, 1) != 0) AnalyzeSector(firstSector + i, bytes);
  }
  return 0;
}

void CExFatSearchController::AnalyzeSector(int64_t sector, const uint8_t* s) {
  using namespace exfat_entry;
  if (s[0] == 0xEB && s[1] == 0x76 && s[2] == 0x90 && CExFatDBR(s).IsValid(m_sectorSize)) {
    PushCapped(m_boots, std::make_pair(sector, std::vector<uint8_t>(s, s + 512)));
    return;
  }
  if (ondisk::Le32(s) == 0xFFFFFFF8u && ondisk::Le32(s + 4) == 0xFFFFFFFFu) {
    PushCapped(m_tables, sector);
    return;
  }
  if ((ondisk::Le16(s) == 0 && ondisk::Le16(s + 2) == 1 && ondisk::Le16(s + 4) == 2) ||
      (ondisk::Le16(s) == 0xFFFF && ondisk::Le16(s + 2) != 0 && ondisk::Le16(s + 4) == 'A')) {
    PushCapped(m_upcases, sector);
    return;
  }
  const size_t entries = m_sectorSize / kEntrySize;
  RootSet root;
  bool bitmap = false, upcase = false, folder = false;
  for (size_t i = 0; i < entries; ++i) {
    const uint8_t* e = s + i * kEntrySize;
    const uint8_t type = e[0];
    if (type == kEndOfDirectory) break;
    if (type == kBitmap && !bitmap) {
      bitmap = true;
      root.bitmapCluster = ondisk::Le32(e + 20);
      root.bitmapLength = ondisk::Le64(e + 24);
    } else if (type == kUpcase) {
      upcase = true;
      root.upcaseChecksum = ondisk::Le32(e + 4);
      root.upcaseCluster = ondisk::Le32(e + 20);
      root.upcaseLength = ondisk::Le64(e + 24);
    } else if ((type & 0x7F) == (kFile & 0x7F) && i + 1 < entries && (e[32] & 0x7F) == (kStream & 0x7F) &&
               (e[32] & kInUse) == (type & kInUse) && IsValidFileEntry(e)) {
      if (i == 0) folder = true;
      const uint16_t attributes = ondisk::Le16(e + 4);
      if ((attributes & 0x10) != 0) {
        const uint32_t cluster = ondisk::Le32(e + 32 + 20);
        if (cluster >= 2) PushCapped(m_links, FolderLink{sector, cluster, (type & kInUse) != 0});
      }
    }
  }
  if (bitmap && upcase && root.upcaseLength != 0 && root.bitmapLength != 0) {
    root.sector = sector;
    PushCapped(m_roots, root);
    folder = true;
  }
  if (folder) PushCapped(m_folders, sector);
}

bool CExFatSearchController::RootLooksRight(const uint8_t* boot, int64_t start) {
  const CExFatDBR dbr(boot);
  const int64_t sector = start + int64_t{dbr.GetDataRegionStartSector()} +
                         int64_t{dbr.GetRootDirStartCluster() - 2} * dbr.GetSectorsperCluster();
  if (start < 0 || sector >= m_device->GetTotalSectors()) return false;
  std::vector<uint8_t> bytes(m_sectorSize, 0);
  if (m_device->ReadSector(bytes.data(), sector, 1) == 0) return false;
  bool bitmap = false, upcase = false;
  for (size_t i = 0; i < m_sectorSize / exfat_entry::kEntrySize; ++i) {
    const uint8_t type = bytes[i * exfat_entry::kEntrySize];
    bitmap |= type == exfat_entry::kBitmap;
    upcase |= type == exfat_entry::kUpcase;
  }
  return bitmap && upcase;
}

bool CExFatSearchController::Covered(int64_t sector) const {
  for (const Volume& v : m_volumes) {
    const int64_t end = v.heap + static_cast<int64_t>(v.clusters * v.sectorsPerCluster);
    if (sector >= v.start && sector < end) return true;
  }
  return false;
}

void CExFatSearchController::PlaceVolumes() {
  m_volumes.clear();
  if (m_device == nullptr) return;
  std::sort(m_boots.begin(), m_boots.end(), [](const auto& a, const auto& b) { return a.first < b.first; });
  std::unordered_set<int64_t> used;
  for (size_t i = 0; i < m_boots.size(); ++i) {
    const int64_t sector = m_boots[i].first;
    if (used.count(sector) != 0) continue;
    const std::vector<uint8_t>& boot = m_boots[i].second;
    // The same sector twelve sectors on is the backup of a main region.
    bool paired = false;
    for (size_t j = i + 1; j < m_boots.size() && m_boots[j].first <= sector + kBootRegionSectors; ++j) {
      if (m_boots[j].first == sector + kBootRegionSectors &&
          std::memcmp(m_boots[j].second.data() + 64, boot.data() + 64, 48) == 0) {
        paired = true;
        used.insert(m_boots[j].first);
      }
    }
    Volume volume;
    volume.boot = boot;
    if (paired || RootLooksRight(boot.data(), sector)) {
      volume.start = sector;
    } else if (sector >= kBootRegionSectors && RootLooksRight(boot.data(), sector - kBootRegionSectors)) {
      volume.start = sector - kBootRegionSectors;
      volume.placement = kBackupBoot;
    } else {
      continue;
    }
    const CExFatDBR dbr(boot.data());
    volume.heap = volume.start + dbr.GetDataRegionStartSector();
    volume.sectorsPerCluster = dbr.GetSectorsperCluster();
    volume.clusters = dbr.GetTotalCluster();
    if (Covered(volume.start)) continue;  // a copy inside a volume placed already
    m_volumes.push_back(std::move(volume));
  }
  for (const RootSet& root : m_roots) {
    if (!Covered(root.sector)) PlaceFromRootSet(root);
  }
  // One volume per round, each taking its evidence out of the next vote.
  for (size_t round = 0; round < kFolderTreeRounds; ++round) {
    const size_t before = m_volumes.size();
    PlaceFromFolderTree();
    if (m_volumes.size() == before) break;
  }
  std::sort(m_volumes.begin(), m_volumes.end(), [](const Volume& a, const Volume& b) { return a.start < b.start; });
}

bool CExFatSearchController::UpcaseMatches(int64_t sector, const RootSet& root) {
  if (root.upcaseLength == 0 || root.upcaseLength > (1u << 20)) return false;
  const int64_t sectors = static_cast<int64_t>(CeilDiv(root.upcaseLength, m_sectorSize));
  if (sector + sectors > m_device->GetTotalSectors()) return false;
  std::vector<uint8_t> table(static_cast<size_t>(sectors) * m_sectorSize, 0);
  if (m_device->ReadSector(table.data(), sector, sectors) == 0) return false;
  uint32_t sum = 0;
  for (uint64_t i = 0; i < root.upcaseLength; ++i) sum = ((sum & 1) ? 0x80000000u : 0) + (sum >> 1) + table[i];
  return sum == root.upcaseChecksum;
}

bool CExFatSearchController::BitmapMarks(int64_t sector, std::initializer_list<uint64_t> clusters) {
  if (sector < 0 || sector >= m_device->GetTotalSectors()) return false;
  std::vector<uint8_t> bytes(m_sectorSize, 0);
  if (m_device->ReadSector(bytes.data(), sector, 1) == 0) return false;
  for (const uint64_t bit : clusters) {
    if (bit >= uint64_t{m_sectorSize} * 8 || (bytes[bit / 8] & (1u << (bit % 8))) == 0) return false;
  }
  return true;
}

void CExFatSearchController::PlaceFromRootSet(const RootSet& root) {
  if (root.upcaseCluster < 2 || root.bitmapCluster < 2) return;
  // Up-case tables before the root, nearest first: the root follows the
  // table on every volume a formatter lays out.
  auto upper = std::lower_bound(m_upcases.begin(), m_upcases.end(), root.sector);
  for (int tried = 0; upper != m_upcases.begin() && tried < 64; ++tried) {
    const int64_t upcase = *--upper;
    if (!UpcaseMatches(upcase, root)) continue;
    int bestScore = -1;
    uint32_t bestSpc = 0;
    for (uint32_t spc = 1; spc * m_sectorSize <= kMaxClusterBytes; spc <<= 1) {
      const uint64_t clusterBytes = uint64_t{spc} * m_sectorSize;
      const int64_t heap = upcase - int64_t{root.upcaseCluster - 2} * spc;
      if (heap < 0) continue;
      const int64_t gap = root.sector - upcase;
      if (gap % spc != 0 || gap / spc < static_cast<int64_t>(CeilDiv(root.upcaseLength, clusterBytes))) continue;
      int score = gap / spc == static_cast<int64_t>(CeilDiv(root.upcaseLength, clusterBytes)) ? 1 : 0;
      if (root.upcaseCluster - root.bitmapCluster == CeilDiv(root.bitmapLength, clusterBytes)) score += 2;
      // The bitmap itself, where this geometry puts it, must mark the
      // bitmap's, the table's and the root's clusters in use.
      const int64_t rootCluster = gap / spc + root.upcaseCluster;
      if (BitmapMarks(heap + int64_t{root.bitmapCluster - 2} * spc,
                      {root.bitmapCluster - 2, root.upcaseCluster - 2, static_cast<uint64_t>(rootCluster - 2)})) {
        score += 4;
      }
      if (score > bestScore) {
        bestScore = score;
        bestSpc = spc;
      }
    }
    if (bestSpc == 0) continue;
    const int64_t heap = upcase - int64_t{root.upcaseCluster - 2} * bestSpc;
    const uint32_t rootCluster = static_cast<uint32_t>((root.sector - heap) / bestSpc + 2);
    AddMadeVolume(heap, bestSpc, root.bitmapLength * 8, rootCluster, true, kRootSet);
    return;
  }
}

void CExFatSearchController::PlaceFromFolderTree() {
  std::vector<int64_t> folders;
  for (int64_t sector : m_folders) {
    if (!Covered(sector) && folders.size() < kVoteFolders) folders.push_back(sector);
  }
  std::vector<FolderLink> links;
  for (const FolderLink& link : m_links) {
    if (link.inUse && !Covered(link.sector) && links.size() < kVoteLinks) links.push_back(link);
  }
  if (folders.size() < 2 || links.size() < 2) return;
  // Every link votes, for every cluster size, for the heap start that would
  // put its folder on each folder cluster seen; the true geometry gathers a
  // vote from every link whose folder survives.
  // Folders a formatter makes one after the other also line up one or two
  // clusters off; among the geometries with the most votes the one whose
  // first cluster holds a bitmap marking the linked folders in use wins.
  int bestVotes = 1;
  std::vector<std::pair<int64_t, uint32_t>> best;  // heap, sectors per cluster
  for (uint32_t spc = 1; spc * m_sectorSize <= kMaxClusterBytes; spc <<= 1) {
    std::vector<int64_t> votes;
    votes.reserve(links.size() * folders.size());
    for (const FolderLink& link : links) {
      // A volume's folders lie between its allocation table and the next
      // volume's: pairs across a table would mix two volumes' numbering.
      const auto table = std::upper_bound(m_tables.begin(), m_tables.end(), link.sector);
      const int64_t low = table == m_tables.begin() ? 0 : *std::prev(table);
      const int64_t high = table == m_tables.end() ? INT64_MAX : *table;
      auto it = std::lower_bound(folders.begin(), folders.end(), low);
      for (; it != folders.end() && *it < high; ++it) {
        const int64_t heap = *it - int64_t{link.cluster - 2} * spc;
        if (heap >= low && heap < link.sector) votes.push_back(heap);
      }
    }
    std::sort(votes.begin(), votes.end());
    for (size_t i = 0; i < votes.size();) {
      size_t j = i;
      while (j < votes.size() && votes[j] == votes[i]) ++j;
      const int count = static_cast<int>(j - i);
      if (count > bestVotes) {
        bestVotes = count;
        best.clear();
      }
      if (count == bestVotes && best.size() < 64) best.emplace_back(votes[i], spc);
      i = j;
    }
  }
  int64_t bestHeap = -1;
  uint32_t bestSpc = 0;
  size_t bestMarks = 0;
  std::vector<uint8_t> bitmap(m_sectorSize, 0);
  for (const auto& [heap, spc] : best) {
    size_t marks = 0;
    if (m_device->ReadSector(bitmap.data(), heap, 1) != 0) {
      for (const FolderLink& link : links) {
        const uint64_t bit = link.cluster - 2;
        if (bit < uint64_t{m_sectorSize} * 8 && (bitmap[bit / 8] & (1u << (bit % 8))) != 0) ++marks;
      }
    }
    if (bestSpc == 0 || marks > bestMarks) {
      bestHeap = heap;
      bestSpc = spc;
      bestMarks = marks;
    }
  }
  if (bestSpc == 0) return;
  // Nothing says how far the volume reaches: up to the next allocation table
  // (another volume's) or the end of the device.
  int64_t end = m_device->GetTotalSectors();
  const auto next = std::upper_bound(m_tables.begin(), m_tables.end(), bestHeap);
  if (next != m_tables.end()) end = std::min(end, *next);
  const uint64_t room = static_cast<uint64_t>(end - bestHeap) / bestSpc;
  AddMadeVolume(bestHeap, bestSpc, room, 2, false, kFolderTree);
}

int64_t CExFatSearchController::FindTable(int64_t heap, uint64_t clusters) const {
  const int64_t sectors = static_cast<int64_t>(CeilDiv((clusters + 2) * 4, m_sectorSize));
  auto it = std::lower_bound(m_tables.begin(), m_tables.end(), heap);
  while (it != m_tables.begin()) {
    const int64_t table = *--it;
    if (heap - table >= sectors) return table;
  }
  return -1;
}

void CExFatSearchController::AddMadeVolume(int64_t heap, uint32_t spc, uint64_t clusters, uint32_t rootCluster,
                                           bool walkRoot, Placement placement) {
  const int64_t total = m_device->GetTotalSectors();
  clusters = std::min<uint64_t>({clusters, static_cast<uint64_t>(total - heap) / spc, 0xFFFFFFF5u});
  if (clusters == 0) return;
  const uint32_t fatSectors = static_cast<uint32_t>(CeilDiv((clusters + 2) * 4, m_sectorSize));
  int64_t table = FindTable(heap, clusters);
  // Without a table the volume is laid out as if it had one right before
  // the heap: chains then end at once, contiguous files still read.
  if (table < 0) table = heap - fatSectors;
  const int64_t start = std::max<int64_t>(0, table - 2 * kBootRegionSectors);
  if (table <= start || heap - start > 0xFFFFFFFFll) return;
  std::vector<uint8_t> boot(512, 0);
  boot[0] = 0xEB;
  boot[1] = 0x76;
  boot[2] = 0x90;
  std::memcpy(boot.data() + 3, "EXFAT   ", 8);
  const uint64_t length = static_cast<uint64_t>(heap - start) + clusters * spc;
  auto put32 = [&](size_t at, uint64_t v) {
    for (int i = 0; i < 4; ++i) boot[at + i] = static_cast<uint8_t>(v >> (8 * i));
  };
  put32(64, static_cast<uint64_t>(start));
  put32(72, length);
  put32(76, length >> 32);
  put32(80, static_cast<uint64_t>(table - start));
  put32(84, fatSectors);
  put32(88, static_cast<uint64_t>(heap - start));
  put32(92, clusters);
  put32(96, rootCluster);
  boot[105] = 1;
  boot[108] = static_cast<uint8_t>(Shift(m_sectorSize));
  boot[109] = static_cast<uint8_t>(Shift(spc));
  boot[110] = 1;
  boot[510] = 0x55;
  boot[511] = 0xAA;
  if (!CExFatDBR(boot.data()).IsValid(m_sectorSize)) return;
  Volume volume;
  volume.start = start;
  volume.heap = heap;
  volume.sectorsPerCluster = spc;
  volume.clusters = clusters;
  volume.walkRoot = walkRoot;
  volume.placement = placement;
  volume.boot = std::move(boot);
  m_volumes.push_back(std::move(volume));
}

std::vector<uint32_t> CExFatSearchController::OrphanFolders(const Volume& volume) const {
  const int64_t end = volume.heap + static_cast<int64_t>(volume.clusters * volume.sectorsPerCluster);
  std::unordered_set<uint32_t> named;
  for (const FolderLink& link : m_links) {
    if (link.sector >= volume.heap && link.sector < end) named.insert(link.cluster);
  }
  std::vector<uint32_t> orphans;
  auto it = std::lower_bound(m_folders.begin(), m_folders.end(), volume.heap);
  for (; it != m_folders.end() && *it < end; ++it) {
    if ((*it - volume.heap) % volume.sectorsPerCluster != 0) continue;
    const auto cluster = static_cast<uint32_t>((*it - volume.heap) / volume.sectorsPerCluster + 2);
    if (named.count(cluster) == 0) orphans.push_back(cluster);
  }
  return orphans;
}

void CExFatSearchController::EndSearch(int build) {
  if (build == 0 || m_device == nullptr) return;
  std::sort(m_upcases.begin(), m_upcases.end());
  std::sort(m_tables.begin(), m_tables.end());
  std::sort(m_folders.begin(), m_folders.end());
  PlaceVolumes();
  m_walkers.clear();
  if (m_treeBuilder == nullptr) return;
  CSilentProgress progress;
  for (size_t i = 0; i < m_volumes.size() && i < 0xFFFF; ++i) {
    const Volume& volume = m_volumes[i];
    auto walker = std::make_unique<CExFatQuickSearch>();
    walker->SetDirecotryTreeBuilder(m_treeBuilder);
    const CExFatDBR dbr(volume.boot.data());
    const ResultCode code = walker->SearchVolume(m_device, &progress, volume.boot, volume.start,
                                                 static_cast<uint16_t>(i), volume.walkRoot, OrphanFolders(volume));
    if (result::IsFailure(code)) {
      CatchExeception::WriteLog("CExFatSearchController: volume at sector %lld: 0x%016llx\r\n",
                                static_cast<long long>(volume.start), static_cast<unsigned long long>(code));
    }
    walker->ReleaseBuffers();
    m_walkers.push_back(std::move(walker));
  }
  m_block.clear();
  m_block.shrink_to_fit();
  m_treeBuilder->SetPartitonDevice(nullptr, m_device);
  m_treeBuilder->FlashBuild(SEARCHER_TYPE_EXFAT);
}

int CExFatSearchController::GetSearchedPartitionInfo(CSearchedPartitionInfo** array, int capacity) {
  const int count = static_cast<int>(std::min<size_t>(m_walkers.size(), 0xFFFF));
  if (array == nullptr || capacity < count) return count;
  int made = 0;
  for (int i = 0; i < count; ++i) {
    CSearchedPartitionInfo* record = nullptr;
    if (m_walkers[i]->GetSearchedPartitionInfo(&record, 1) == 1 && record != nullptr) {
      record->SetPartitionIndex(static_cast<uint16_t>(i));
      array[made++] = record;
    }
  }
  return made;
}

ICompleteFileSystemSearchController* CreateEXFatSearcher() { return new (std::nothrow) CExFatSearchController(); }
