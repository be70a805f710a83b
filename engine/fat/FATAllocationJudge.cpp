#include "fat/FATAllocationJudge.h"

#include <algorithm>
#include <new>

#include "ClusterSpans.h"
#include "DataRunList.h"
#include "FileNode.h"
#include "SearchedPartitionInfo.h"
#include "StorageDevice.h"
#include "UnreadableSectors.h"
#include "fat/FATBuildDataRun.h"
#include "fat/FATDBR.h"
#include "fat/FATDirEntry.h"
#include "fat/FATFileProperties.h"
#include "fat/FATTable.h"

namespace {

using Wide = unsigned __int128;

// A long name never spans more entries than this before its short entry.
constexpr uint32_t kLongNameBytes = CTempFATDirEntry::kMaxLongNamePieces * 32;

}  // namespace

CFATAllocationJudge::~CFATAllocationJudge() { IFATTableFactory::DestroyFATTable(m_table); }

std::unique_ptr<CFATAllocationJudge> CFATAllocationJudge::Open(IStorageDevice* device,
                                                               const CSearchedPartitionInfo& record) {
  if (device == nullptr) return nullptr;
  const uint32_t deviceSector = device->GetSectorSize();
  std::unique_ptr<CFATAllocationJudge> judge(new (std::nothrow) CFATAllocationJudge());
  if (judge == nullptr || !judge->m_record.Of(record, deviceSector)) return nullptr;
  if (!judge->m_view.Open(device, static_cast<int64_t>(judge->m_record.volumeByte / deviceSector), true)) {
    return nullptr;
  }

  IStorageDevice* read = judge->m_view.Device();
  judge->m_sectorSize = read->GetSectorSize();
  const CTempFATDBR dbr(judge->m_view.Boot().data(), judge->m_sectorSize);
  const int type = dbr.GetFileSystemType();
  if (type != FILE_SYSTEM_TYPE_FAT16 && type != FILE_SYSTEM_TYPE_FAT32) return nullptr;
  const uint64_t sectorSize = judge->m_sectorSize;
  const uint64_t spc = dbr.GetSectorsperCluster();
  const uint64_t tablesEnd =
      uint64_t{dbr.GetReservedSector()} + uint64_t{dbr.GetNumberOfFat()} * dbr.GetSectorsPerFat();
  const uint64_t rootSectors = uint64_t{dbr.GetRootEntries()} * 32 / sectorSize;
  const uint64_t dataStart = tablesEnd + (type == FILE_SYSTEM_TYPE_FAT16 ? rootSectors : 0);
  const uint64_t total = dbr.GetTotalSectors();
  if (spc == 0 || total <= dataStart) return nullptr;
  judge->m_type = type;
  judge->m_clusterBytes = spc * sectorSize;
  judge->m_dataStart = dataStart * sectorSize;
  judge->m_clusterCount = (total - dataStart) / spc;
  judge->m_rootCluster = dbr.GetRootDirStartCluster();
  judge->m_rootStart = tablesEnd * sectorSize;
  judge->m_rootBytes = rootSectors * sectorSize;
  // Both copies, as the scan reads them; entries past the volume's clusters
  // are not believed.
  judge->m_table = IFATTableFactory::CreateFATTable(read, judge->m_view.Start() + dbr.GetReservedSector(), type,
                                                    dbr.GetSectorsPerFat(), 1, 1, judge->m_clusterCount + 2);
  auto* pair = dynamic_cast<CDoubleFATTable*>(judge->m_table);
  if (judge->m_table == nullptr || (pair != nullptr && !pair->HasTable())) return nullptr;
  return judge;
}

bool CFATAllocationJudge::IsTaken(CFileNode& node) {
  if (node.IsDirectory() != 0) return false;
  IDataRunList* list = node.GetDataRunList();
  if (list == nullptr || list->IsResident() != 0) return false;
  // The node's clusters in the volume's numbering now, in file order: in
  // use when one is given, or when they lie in the volume's reserved
  // sectors, tables or fixed root now; its own when they still chain as its
  // runs do.
  bool inUse = false;
  bool chained = true;
  uint32_t first = 0, previous = 0;
  const ClustersNow now =
      ForEachClusterNow(list, m_record, m_dataStart, Wide(m_dataStart) + Wide(m_clusterCount) * m_clusterBytes,
                        m_clusterBytes, [&](uint32_t cluster) {
                          // An entry no copy holds (lost with its sector,
                          // or written over) may give the cluster away.
                          if (CFATBuildDataRun::IsGiven(m_table, cluster) || m_table->IsEntryUnknown(cluster)) {
                            inUse = true;
                          }
                          if (first == 0) {
                            first = cluster;
                          } else if (chained && m_table->GetNextCluster(previous) != cluster) {
                            chained = false;
                          }
                          previous = cluster;
                        });
  inUse = inUse || now.beforeHeap;
  const bool aligned = now.aligned;
  if (!inUse) return m_ownEntryRequired && !(aligned && first != 0 && StillDescribes(node, first, true));
  return !(aligned && chained && first != 0 && StillDescribes(node, first));
}

bool CFATAllocationJudge::ForEachGiven(uint64_t begin, uint64_t end, const GivenPiece& given) {
  const ClusterHeap heap{m_record.volumeByte + m_dataStart, m_clusterBytes, 2, m_clusterCount};
  // A carved file has no entry to vouch for it: an entry no copy holds may
  // give its cluster away.
  ForEachGivenCluster(
      begin, end, heap,
      [this](uint64_t cluster) {
        const auto number = static_cast<uint32_t>(cluster);
        return CFATBuildDataRun::IsGiven(m_table, number) || m_table->IsEntryUnknown(number);
      },
      given);
  return true;
}

bool CFATAllocationJudge::StillDescribes(CFileNode& node, uint32_t first, bool erased) {
  // The folder the scan read the entry in.
  const int64_t sector = node.GetMetadataStartPosition();
  if (sector < 0) return false;
  uint32_t folder = 0;
  if (sector != 0) {
    const Wide byte = Wide(static_cast<uint64_t>(sector)) * m_record.sectorSize;
    if (byte < Wide(m_record.volumeByte) + m_dataStart) return false;
    const Wide offset = byte - m_record.volumeByte - m_dataStart;
    if (offset % m_clusterBytes != 0 || offset / m_clusterBytes >= m_clusterCount) return false;
    folder = static_cast<uint32_t>(offset / m_clusterBytes + 2);
  }
  const char* name = node.GetFileName();
  const std::string saved = name != nullptr ? name : "";
  for (const Entry& entry : Folder(folder)) {
    if ((!entry.live && !erased) || entry.first != first || entry.size != node.GetFileSize()) continue;
    // A name the tree builder gave back (a recycled file's former one) is
    // not the entry's; its times still are.
    const bool sameName = entry.name == saved || CFileNode::FilterFileNameByDot(entry.name) == saved;
    const bool sameTimes = entry.creation == node.GetCreationTime() && entry.modification == node.GetModificationTime();
    // Where nothing tells that the volume is the one scanned, a card
    // formatted again and filled the same way names the same files at the
    // same places: their times are their own.
    if (sameTimes || (sameName && !m_ownEntryRequired)) return true;
  }
  return false;
}

bool CFATAllocationJudge::ReadVolume(uint64_t offset, uint64_t bytes, std::vector<uint8_t>& out,
                                     std::vector<std::pair<size_t, size_t>>& lost) {
  if (bytes == 0 || offset % m_sectorSize != 0 || bytes % m_sectorSize != 0) return false;
  const int64_t first = m_view.Start() + static_cast<int64_t>(offset / m_sectorSize);
  const auto count = static_cast<int64_t>(bytes / m_sectorSize);
  IStorageDevice* read = m_view.Device();
  if (first + count > read->GetTotalSectors()) return false;
  const size_t at = out.size();
  out.resize(at + bytes);
  SectorRuns gone;
  if (!unreadable::ReadAround(read, out.data() + at, first, count, gone)) {
    out.resize(at);
    return false;
  }
  // The entries on sectors the medium could not give are gone; those after
  // them are still read.
  for (const auto& [from, length] : gone) {
    const int64_t a = std::max(from, first) - first, b = std::min(from + length, first + count) - first;
    if (b > a) lost.emplace_back(at + size_t(a) * m_sectorSize, at + size_t(b) * m_sectorSize);
  }
  return true;
}

const std::vector<CFATAllocationJudge::Entry>& CFATAllocationJudge::Folder(uint32_t cluster) {
  auto known = m_folders.find(cluster);
  if (known != m_folders.end()) return known->second;
  // Files come folder by folder (by their metadata sector): a few folders
  // kept are enough, and a volume of millions of files costs no more.
  if (m_folders.size() >= kMaxFoldersKept) m_folders.clear();
  std::vector<uint8_t> bytes;
  std::vector<std::pair<size_t, size_t>> lost;
  if (cluster == 0 && m_type == FILE_SYSTEM_TYPE_FAT16) {
    ReadVolume(m_rootStart, m_rootBytes, bytes, lost);
  } else {
    // Along the folder's chain; a deleted folder's first cluster alone.
    uint64_t c = cluster == 0 ? m_rootCluster : cluster;
    ClusterSpans seen;
    while (c >= 2 && c <= m_clusterCount + 1 && bytes.size() < kMaxFolderBytes && seen.Take(c)) {
      if (!ReadVolume(m_dataStart + (c - 2) * m_clusterBytes, m_clusterBytes, bytes, lost)) break;
      const uint32_t next = m_table->GetNextCluster(static_cast<uint32_t>(c));
      if (next >= fatchain::kBadCluster) break;
      c = next;
    }
  }
  std::vector<Entry>& entries = m_folders[cluster];
  ParseEntries(bytes, lost, entries);
  return entries;
}

void CFATAllocationJudge::ParseEntries(const std::vector<uint8_t>& bytes,
                                       const std::vector<std::pair<size_t, size_t>>& lost,
                                       std::vector<Entry>& out) const {
  constexpr uint32_t kNone = UINT32_MAX;
  uint32_t longStart = kNone;
  auto gap = lost.begin();
  for (uint32_t o = 0; o + 32 <= bytes.size(); o += 32) {
    // Lost entries are neither entries nor the folder's end: a name that
    // ran into them is broken.
    while (gap != lost.end() && gap->second <= o) ++gap;
    if (gap != lost.end() && gap->first <= o) {
      longStart = kNone;
      o = static_cast<uint32_t>(gap->second) - 32;
      continue;
    }
    const uint8_t* raw = bytes.data() + o;
    if (raw[0] == 0) break;  // the end of the folder's entries
    const CTempFATDirEntry entry(raw);
    if (!entry.IsValidFATDirEntry(0)) {
      longStart = kNone;
      continue;
    }
    if (entry.IsLongFileNameEntry()) {
      if (longStart == kNone) longStart = o;
      if (o - longStart >= kLongNameBytes) longStart += 32;
      continue;
    }
    const uint32_t from = longStart != kNone ? longStart : o;
    longStart = kNone;
    if (entry.IsVolumeLabel() || entry.IsDirectory() || raw[0] == '.') continue;
    std::unique_ptr<CFATFileProperties, void (*)(CFATFileProperties*)> properties(
        CFATFilePropertiesBuilder::BuildFATFilePropertyFromDirEntryBuffer(raw - (o - from), o + 32 - from),
        CFATFileProperties::Destory);
    if (properties == nullptr) continue;
    Entry kept;
    kept.first = entry.GetFirstClusterNO();
    kept.size = entry.GetFileSize();
    kept.creation = properties->GetCreationTime();
    kept.modification = properties->GetModificationTime();
    kept.name = properties->GetFileName();
    kept.live = !entry.IsErased();
    out.push_back(std::move(kept));
  }
}

std::unique_ptr<IAllocationJudge> CreateFATAllocationJudge(IStorageDevice* device,
                                                           const CSearchedPartitionInfo& record) {
  return CFATAllocationJudge::Open(device, record);
}
