#include "fat/FATCompleteSearcher.h"

#include <algorithm>
#include <cassert>
#include <cstdint>
#include <memory>
#include <new>

#include "DirecotryTreeBuilder.h"
#include "SectorLender.h"
#include "StorageDevice.h"
#include "device/SectorSizeDevice.h"
#include "fat/FATDBR.h"
#include "fat/FATDirEntry.h"
#include "fat/FATTable.h"
#include "fat/FATVolumeView.h"

namespace {

using Info = CFATSearchedPartitionInfo;

constexpr uint32_t kSupportedSectorsPerCluster[] = {1, 2, 4, 8, 16, 32, 64, 128};

struct TypeLimits {
  uint64_t atLeast;
  uint64_t below;
  uint64_t nibbles;
};
constexpr TypeLimits kLimits[] = {{1, 4085, 3}, {4085, 65524, 4}, {65524, 0x0FFFFFF4, 8}};

bool WithinLimits(uint64_t clusters, int type) {
  return type >= 0 && type <= 2 && clusters >= kLimits[type].atLeast && clusters < kLimits[type].below;
}

uint64_t TableSectors(uint64_t clusters, int type, uint32_t sectorSize) {
  const uint64_t bytes2 = 2ull * sectorSize;
  return (clusters * kLimits[type].nibbles + bytes2 - 1) / bytes2;
}

}  // namespace

CFATCompleteFSearcher::~CFATCompleteFSearcher() {
  for (Info* record : m_kept) Info::DestroyFATSearchedPartitionInfo(record);
  DropCandidates();
}

void CFATCompleteFSearcher::DropCandidates() {
  for (Info* candidate : m_candidates) Info::DestroyFATSearchedPartitionInfo(candidate);
  m_candidates.clear();
  m_tables.clear();
  m_folderSectors.clear();
}

int CFATCompleteFSearcher::GetSearchedPartitionInfo(CSearchedPartitionInfo** array, int capacity) {
  const int count = static_cast<int>(m_kept.size());
  if (array == nullptr || capacity < count) return count;
  int made = 0;
  for (const Info* record : m_kept) {
    Info* copy = record->Clone();
    if (copy == nullptr) break;
    copy->SetMatchedCount(record->GetMatchedCount());
    copy->SetReliabilityScore(record->GetReliabilityScore());
    array[made++] = copy;
  }
  return made;
}

void CFATCompleteFSearcher::SetDevice(IStorageDevice* device) {
  m_source = device;
  m_units = CSectorSizeDevice::In512ByteUnits(device, &m_unitsPerSector);
  m_device = m_units != nullptr ? m_units.get() : device;
  if (device == nullptr) return;
  const uint32_t own = device->GetSectorSize();
  m_sectorSize = m_units != nullptr ? 512 : own >= 512 ? own : 512;
}

void CFATCompleteFSearcher::PreparetoSearch() {
  for (Info* record : m_kept) Info::DestroyFATSearchedPartitionInfo(record);
  m_kept.clear();
  DropCandidates();
}

ResultCode CFATCompleteFSearcher::AnalyzeBlock(int64_t firstSector, int64_t sectorCount) {
  assert(m_device != nullptr && "m_pDevice != NULL");
  assert(m_sectorsPerBlock > 0 && "m_iSectorsperBlock > 0");
  if (m_device == nullptr || m_sectorsPerBlock <= 0) return 1;
  // The pass counts in the source's sectors, the searcher in its own.
  int64_t first = 0;
  int64_t count = 0;
  if (firstSector < 0 || sectorCount <= 0 || __builtin_mul_overflow(firstSector, m_unitsPerSector, &first) ||
      __builtin_mul_overflow(sectorCount, m_unitsPerSector, &count) || first > INT64_MAX - count) {
    return 1;
  }
  // The scan's cache lends a block read whole, in place; otherwise each
  // sector is read on its own, so that one bad sector costs only itself.
  const uint8_t* block =
      BorrowSectors(m_source, static_cast<uint32_t>(m_sectorSize * m_unitsPerSector), firstSector, sectorCount);
  if (block == nullptr && m_sector.size() < std::max<uint32_t>(4096, m_sectorSize))
    m_sector.assign(std::max<uint32_t>(4096, m_sectorSize), 0);
  CFATFolderAnalyser folders(m_sectorSize);
  for (int64_t s = first; s < first + count; ++s) {
    const uint8_t* bytes = m_sector.data();
    if (block != nullptr) {
      bytes = block + (s - first) * m_sectorSize;
    } else if (m_device->ReadSector(m_sector.data(), s, 1) == 0) {
      continue;
    }
    if (bytes[0] == 0) continue;
    if (CTempFATDBR::SimpleCheck(bytes) && AnalyzeFATDBRSector(s, bytes)) continue;
    int tableType = 0;
    if (CFATTableAnalyser::IsValidFATTableFirstSector(bytes, m_sectorSize, &tableType)) {
      UpdateFATTableInfo(s);
      continue;
    }
    if (folders.AnalyseSector(bytes, nullptr, nullptr) == 0) continue;
    FIRSTFOLDERSECTOR record{s, 0xFFFFFFFF, 0xFFFFFFFF};
    if (folders.GetDirectoryEntryType() == CFATFolderAnalyser::kSubfolderFirstSector) {
      record.cluster = folders.GetCurDirFirstClusterNum();
      record.parentCluster = folders.GetParentFirstClusterNum();
      AnalyzeFATSubFolderFirstSector(s, record.cluster);
    }
    m_folderSectors.insert(record);
  }
  return 1;
}

bool CFATCompleteFSearcher::AnalyzeFATDBRSector(int64_t sector, const uint8_t* bytes) {
  assert(bytes != nullptr && "pSectorBuffer != NULL");
  // The boot sector is read in its own sector size, which may be a
  // multiple of the searcher's.
  const uint32_t own = CFATVolumeView::BootSectorSize(bytes);
  if (own == 0 || own < m_sectorSize || own % m_sectorSize != 0) return false;
  const CTempFATDBR dbr(bytes, own);
  if (!dbr.IsValidDBR()) return false;
  if (Info* candidate = BuildPartitionInfoAccordingFATDBR(sector, bytes, 0)) InsertCandidate(candidate);
  const int64_t copyAt = 6 * static_cast<int64_t>(own / m_sectorSize);
  if (dbr.GetFileSystemType() == FILE_SYSTEM_TYPE_FAT32 && sector >= copyAt) {
    if (Info* copy = BuildPartitionInfoAccordingFATDBR(sector - copyAt, bytes, 1)) {
      if (Info* existing = FindMatchedPartitionInfo(copy)) {
        existing->MergeFlag(Info::kFat32BootCopy);
        Info::DestroyFATSearchedPartitionInfo(copy);
      } else {
        InsertCandidate(copy);
      }
    }
  }
  return true;
}

void CFATCompleteFSearcher::InsertCandidate(Info* candidate) {
  m_candidates.insert(candidate);
  const int64_t firstTable = candidate->GetStartSector() + candidate->GetReservedSectors();
  m_tables.insert(FATTableInfo{firstTable, candidate});
  m_tables.insert(FATTableInfo{firstTable + candidate->GetSectorsPerFat(), candidate});
}

Info* CFATCompleteFSearcher::BuildPartitionInfoAccordingFATDBR(int64_t start, const uint8_t* bytes, int isCopy) {
  const uint32_t own = CFATVolumeView::BootSectorSize(bytes);
  if (own == 0 || own < m_sectorSize || own % m_sectorSize != 0) return nullptr;
  // Counts of the volume's sectors, in the searcher's.
  const uint64_t scale = own / m_sectorSize;
  const CTempFATDBR dbr(bytes, own);
  const int type = dbr.GetFileSystemType();
  if (type != FILE_SYSTEM_TYPE_FAT16 && type != FILE_SYSTEM_TYPE_FAT32) return nullptr;
  const uint64_t perCluster = uint64_t{dbr.GetSectorsperCluster()} * scale;
  const uint64_t reserved = uint64_t{dbr.GetReservedSector()} * scale;
  const uint64_t perFat = uint64_t{dbr.GetSectorsPerFat()} * scale;
  if (perCluster == 0 || perCluster > UINT32_MAX || reserved > 0xFFFF || perFat > UINT32_MAX || start < 0) {
    return nullptr;
  }
  uint64_t total = uint64_t{dbr.GetTotalSectors()} * scale;
  const int64_t deviceSectors = m_device != nullptr ? m_device->GetTotalSectors() : 0;
  if (deviceSectors > 0) {
    const uint64_t room = deviceSectors > start ? static_cast<uint64_t>(deviceSectors - start) : 0;
    total = std::min(total, room);
  }
  const int64_t tablesEnd =
      start + static_cast<int64_t>(reserved) + int64_t{dbr.GetNumberOfFat()} * static_cast<int64_t>(perFat);
  int64_t dataStart = tablesEnd;
  uint32_t flag = 0;
  uint32_t rootInfo = 0;
  if (type == FILE_SYSTEM_TYPE_FAT32) {
    flag = isCopy != 0 ? Info::kFat32BootCopy : Info::kFat32Boot;
    rootInfo = dbr.GetRootDirStartCluster();
  } else {
    rootInfo = static_cast<uint32_t>(uint64_t{dbr.GetRootEntries()} * 32 / m_sectorSize);
    dataStart += rootInfo;
    flag = isCopy != 0 ? 0 : Info::kFat16Boot;
  }
  const int64_t dataSectors = static_cast<int64_t>(total) - (dataStart - start);
  if (dataSectors < 1) return nullptr;
  const uint64_t clusters = static_cast<uint32_t>(static_cast<uint64_t>(dataSectors) / perCluster);
  if (!WithinLimits(clusters, type)) return nullptr;
  if (TableSectors(clusters, type, m_sectorSize) > perFat) return nullptr;
  if (type == FILE_SYSTEM_TYPE_FAT32 && rootInfo > clusters) return nullptr;
  Info* record = Info::CreateFATSearchedPartitionInfo(m_sectorSize);
  if (record == nullptr) return nullptr;
  record->SetFirstDataSector(dataStart);
  record->SetSectorsperCluster(static_cast<uint32_t>(perCluster));
  record->SetMatchedCount(0);
  record->SetFileSystemType(type);
  record->SetTotalSectors(total);
  record->SetSectorsPerFat(static_cast<uint32_t>(perFat));
  record->SetTotalClusters(static_cast<uint32_t>(clusters));
  record->SetStartSector(start);
  record->SetReservedSectors(static_cast<uint16_t>(reserved));
  record->SetRootInfo(rootInfo);
  record->MergeFlag(flag);
  return record;
}

Info* CFATCompleteFSearcher::FindCandidate(int64_t dataStart, uint32_t sectorsPerCluster) const {
  Info probe(m_sectorSize);
  probe.SetFirstDataSector(dataStart);
  for (auto it = m_candidates.lower_bound(&probe); it != m_candidates.end() && (*it)->GetFirstDataSector() == dataStart;
       ++it) {
    if ((*it)->GetSectorsperCluster() == sectorsPerCluster) return *it;
  }
  return nullptr;
}

Info* CFATCompleteFSearcher::FindMatchedPartitionInfo(const Info* probe) const {
  assert(probe != nullptr && "pSearchedFATPartitionInfo != NULL");
  return FindCandidate(probe->GetFirstDataSector(), probe->GetSectorsperCluster());
}

void CFATCompleteFSearcher::UpdateFATTableInfo(int64_t sector) {
  auto [from, to] = m_tables.equal_range(FATTableInfo{sector, nullptr});
  for (auto it = from; it != to; ++it) {
    Info* c = it->candidate;
    const int64_t firstTable = c->GetStartSector() + c->GetReservedSectors();
    if (sector == firstTable) c->MergeFlag(Info::kFirstTableSeen | Info::kUseFirstTable);
    if (sector == firstTable + c->GetSectorsPerFat()) c->MergeFlag(Info::kSecondTableSeen | Info::kUseSecondTable);
  }
  // Evidence only counts after the boot sector that predicts it.
  m_tables.erase(m_tables.begin(), m_tables.upper_bound(FATTableInfo{sector, nullptr}));
}

void CFATCompleteFSearcher::AnalyzeFATSubFolderFirstSector(int64_t sector, uint32_t cluster) {
  if (cluster < 2) return;
  std::vector<uint32_t> valid;
  for (uint32_t k : kSupportedSectorsPerCluster) {
    const int64_t d = sector - static_cast<int64_t>(cluster - 2) * k;
    if (d < 0 || d > sector) continue;
    valid.push_back(k);
    if (Info* match = FindCandidate(d, k)) {
      match->MergeFlag(Info::kSubfolderConfirmed);
      match->SetMatchedCount(match->GetMatchedCount() + 1);
      return;
    }
  }
  for (uint32_t k : valid) {
    if (Info* candidate = BuildPartitionInfoAccordingtoSubFolder(sector, cluster, k)) InsertCandidate(candidate);
  }
}

bool CFATCompleteFSearcher::IsValidFileSystem(int64_t dataStart, uint32_t sectorsPerCluster, int type) const {
  const int64_t deviceSectors = m_device != nullptr ? m_device->GetTotalSectors() : 0;
  if (deviceSectors <= dataStart || sectorsPerCluster == 0) return false;
  uint64_t clusters = static_cast<uint64_t>(deviceSectors - dataStart) / sectorsPerCluster;
  if (!WithinLimits(clusters, type)) return false;
  const uint64_t f = TableSectors(clusters, type, m_sectorSize);
  if (static_cast<uint64_t>(dataStart) / 2 >= f) return true;
  clusters = static_cast<uint64_t>(dataStart) / 2 * 2 * m_sectorSize / kLimits[type].nibbles;
  return WithinLimits(clusters, type);
}

int CFATCompleteFSearcher::CalcFileSystemType(int64_t dataStart, uint32_t sectorsPerCluster) const {
  if (IsValidFileSystem(dataStart, sectorsPerCluster, FILE_SYSTEM_TYPE_FAT32)) return FILE_SYSTEM_TYPE_FAT32;
  if (IsValidFileSystem(dataStart, sectorsPerCluster, FILE_SYSTEM_TYPE_FAT16)) return FILE_SYSTEM_TYPE_FAT16;
  return FILE_SYSTEM_TYPE_UNKNOWN;
}

Info* CFATCompleteFSearcher::BuildPartitionInfoAccordingtoSubFolder(int64_t sector, uint32_t cluster,
                                                                    uint32_t sectorsPerCluster) {
  const int64_t d = sector - static_cast<int64_t>(cluster - 2) * sectorsPerCluster;
  if (d < 0 || d > sector) return nullptr;
  const int type = CalcFileSystemType(d, sectorsPerCluster);
  if (type != FILE_SYSTEM_TYPE_FAT16 && type != FILE_SYSTEM_TYPE_FAT32) return nullptr;
  const uint64_t clusters = static_cast<uint64_t>(m_device->GetTotalSectors() - d) / sectorsPerCluster;
  const uint64_t f = TableSectors(clusters, type, m_sectorSize);
  int64_t start = d - 2 * static_cast<int64_t>(f) - 1;
  if (start < 0) return nullptr;
  uint32_t rootInfo = 2;
  uint64_t rootSectors = 0;
  if (type == FILE_SYSTEM_TYPE_FAT16) {
    rootSectors = std::min<uint64_t>(static_cast<uint64_t>(start), 16384 / m_sectorSize);
    start -= static_cast<int64_t>(rootSectors);
    rootInfo = static_cast<uint32_t>(rootSectors);
  }
  Info* record = Info::CreateFATSearchedPartitionInfo(m_sectorSize);
  if (record == nullptr) return nullptr;
  record->SetFirstDataSector(d);
  record->SetSectorsperCluster(sectorsPerCluster);
  record->SetMatchedCount(0);
  record->SetFileSystemType(type);
  record->SetTotalSectors(static_cast<uint32_t>(clusters * sectorsPerCluster + rootSectors + 2 * f + 1));
  record->SetSectorsPerFat(static_cast<uint32_t>(f));
  record->SetTotalClusters(static_cast<uint32_t>(clusters));
  record->SetStartSector(start);
  record->SetReservedSectors(1);
  record->SetRootInfo(rootInfo);
  record->MergeFlag(Info::kSubfolderConfirmed);
  return record;
}

int CFATCompleteFSearcher::Score(const Info& c) {
  const uint32_t flags = c.GetFlag();
  const bool first = (flags & Info::kFirstTableSeen) != 0;
  const bool second = (flags & Info::kSecondTableSeen) != 0;
  const int table = first && second ? 50 : first || second ? 45 : 10;
  int boot = 10;
  if (c.GetFileSystemType() == FILE_SYSTEM_TYPE_FAT32) {
    const bool primary = (flags & Info::kFat32Boot) != 0;
    const bool copy = (flags & Info::kFat32BootCopy) != 0;
    boot = primary && copy ? 50 : primary || copy ? 45 : 10;
  } else if ((flags & (Info::kFat16Boot | Info::kFat12Boot)) != 0) {
    boot = 50;
  }
  return table + boot;
}

void CFATCompleteFSearcher::AddSearchedPartitionInfoList2(std::vector<Info*>& list) {
  constexpr uint32_t kBootFlags = Info::kFat12Boot | Info::kFat16Boot | Info::kFat32Boot | Info::kFat32BootCopy;
  for (Info* c : m_candidates) {
    const uint32_t flags = c->GetFlag();
    const bool tableSeen = (flags & (Info::kFirstTableSeen | Info::kSecondTableSeen)) != 0;
    const bool keep = (flags & kBootFlags) != 0 ? c->GetMatchedCount() > 0 || tableSeen : c->GetMatchedCount() > 0;
    if (!keep) {
      Info::DestroyFATSearchedPartitionInfo(c);
      continue;
    }
    c->SetReliabilityScore(Score(*c));
    c->SetPartitionIndex(static_cast<uint32_t>(list.size()));
    list.push_back(c);
  }
  m_candidates.clear();
  m_tables.clear();
}

void CFATCompleteFSearcher::EndSearch(int build) {
  if (build == 0) {
    DropCandidates();
    return;
  }
  AddSearchedPartitionInfoList2(m_kept);
  ClipGuessedExtents();
  if (!m_kept.empty() && m_builder != nullptr) {
    m_builder->AddSearcherInfo(SEARCHER_TYPE_FAT, 0);
    const std::vector<FolderSectorSet> owned = AssignFolderSectors();
    m_folderSectors.clear();
    for (size_t i = 0; i < m_kept.size(); ++i) CompleteBulidDirectoryTree(m_kept[i], owned[i]);
    m_builder->SetPartitonDevice(nullptr, m_device);
    m_builder->FlashBuild(SEARCHER_TYPE_FAT);
  }
  m_folderSectors.clear();
}

bool CFATCompleteFSearcher::IsFromBootSector(const Info& record) {
  constexpr uint32_t kBootFlags = Info::kFat12Boot | Info::kFat16Boot | Info::kFat32Boot | Info::kFat32BootCopy;
  return (record.GetFlag() & kBootFlags) != 0;
}

FATGeometry CFATCompleteFSearcher::GeometryOf(const Info& record) {
  FATGeometry g;
  g.type = record.GetFileSystemType();
  g.volumeStart = record.GetStartSector();
  g.sectorsPerCluster = record.GetSectorsperCluster();
  g.dataStart = record.GetFirstDataSector();
  g.totalSectors = record.GetTotalSectors();
  g.clusterCount = record.GetTotalClusters();
  g.rootStart = 0xFFFFFFFF;
  if (IsFromBootSector(record)) {
    if (g.type == FILE_SYSTEM_TYPE_FAT16) {
      // Just before the data, whatever the number of tables.
      g.rootStart = g.dataStart - record.GetRootInfo();
      g.rootSectors = record.GetRootInfo();
    } else {
      g.rootCluster = record.GetRootInfo();
      g.rootStart = g.dataStart + int64_t{g.rootCluster - 2} * g.sectorsPerCluster;
    }
  }
  return g;
}

void CFATCompleteFSearcher::ClipGuessedExtents() {
  // Two volumes do not overlap. Without its boot sector a volume's size is
  // unknown and was taken up to the device's end, which would make the
  // folders and files of every later volume look like its own, read with
  // its cluster size and data start.
  for (Info* a : m_kept) {
    if (IsFromBootSector(*a) || a->GetSectorsperCluster() == 0) continue;
    const int64_t start = a->GetStartSector();
    int64_t end = start + static_cast<int64_t>(a->GetTotalSectors());
    for (const Info* b : m_kept) {
      if (b == a || b->GetFirstDataSector() <= a->GetFirstDataSector()) continue;
      // Where b's own sectors begin: its boot sector when it was seen;
      // otherwise its guessed start, but not before the first sector its
      // own build looks at.
      int64_t bound = b->GetStartSector();
      if (!IsFromBootSector(*b)) {
        int64_t from = 0;
        int64_t to = 0;
        CFATBuildWorker::CompleteSweepRange(GeometryOf(*b), 0, m_sectorSize, &from, &to);
        bound = std::max(bound, from);
      }
      if (bound <= a->GetFirstDataSector()) bound = b->GetFirstDataSector();
      end = std::min(end, bound);
    }
    if (end >= start + static_cast<int64_t>(a->GetTotalSectors())) continue;
    const int64_t dataSectors = end - a->GetFirstDataSector();
    a->SetTotalSectors(static_cast<uint64_t>(end - start));
    a->SetTotalClusters(static_cast<uint32_t>(std::max<int64_t>(dataSectors, 0) / a->GetSectorsperCluster()));
  }
}

std::vector<FolderSectorSet> CFATCompleteFSearcher::AssignFolderSectors() const {
  struct Claimant {
    FATGeometry g;
    int64_t from = 0;
    int64_t to = 0;
  };
  std::vector<Claimant> claimants(m_kept.size());
  for (size_t i = 0; i < m_kept.size(); ++i) {
    Claimant& c = claimants[i];
    c.g = GeometryOf(*m_kept[i]);
    CFATBuildWorker::CompleteSweepRange(c.g, IsFromBootSector(*m_kept[i]) ? 1 : 0, m_sectorSize, &c.from, &c.to);
  }
  std::vector<FolderSectorSet> owned(m_kept.size());
  for (const FIRSTFOLDERSECTOR& sector : m_folderSectors) {
    const int64_t s = sector.sector;
    size_t best = SIZE_MAX;
    int claims = 0;
    for (size_t i = 0; i < claimants.size(); ++i) {
      const Claimant& c = claimants[i];
      if (s < c.from || s >= c.to) continue;
      const uint32_t k = c.g.sectorsPerCluster;
      if (s >= c.g.dataStart) {
        // In the data: only at a cluster's start, and, for a subfolder, where
        // this volume's layout puts the cluster its "." entry names.
        if (k == 0 || (s - c.g.dataStart) % k != 0) continue;
        if (sector.cluster != 0xFFFFFFFF &&
            static_cast<uint64_t>((s - c.g.dataStart) / k + 2) != uint64_t{sector.cluster}) {
          continue;
        }
      }
      ++claims;
      // The volume whose data begins nearest before the sector; a lost
      // FAT16 root's sectors lie before the data, and come after.
      auto rank = [&](const Claimant& x) {
        return s >= x.g.dataStart ? s - x.g.dataStart : INT64_MAX / 2 + (x.g.dataStart - s);
      };
      if (best == SIZE_MAX || rank(c) < rank(claimants[best])) best = i;
    }
    if (best == SIZE_MAX) continue;
    FIRSTFOLDERSECTOR given = sector;
    given.shared = claims > 1;
    owned[best].insert(given);
  }
  return owned;
}

ResultCode CFATCompleteFSearcher::CompleteBulidDirectoryTree(Info* record, const FolderSectorSet& folderSectors) {
  const bool fromBoot = IsFromBootSector(*record);
  const int type = record->GetFileSystemType();
  // A table nobody saw begin would be read at a guessed place: a table that
  // knows no chains instead, so that files are taken as contiguous.
  std::unique_ptr<IFATTable> table;
  if ((record->GetFlag() & (Info::kFirstTableSeen | Info::kSecondTableSeen)) != 0) {
    table.reset(IFATTableFactory::CreateFATTable(m_device, record->GetStartSector() + record->GetReservedSectors(),
                                                 type, record->GetSectorsPerFat(), record->GetFlag() & 0x80,
                                                 record->GetFlag() & 0x200, uint64_t{record->GetTotalClusters()} + 2));
  } else {
    table.reset(new (std::nothrow) CDoubleFATTable(nullptr, nullptr));
  }
  if (table == nullptr) return kNoTable;
  CFATBuildWorker worker(m_builder, nullptr, record, m_device, GeometryOf(*record), table.get());
  return worker.CompleteBuildDirectoryTree(folderSectors, fromBoot ? 1 : 0);
}

ICompleteFileSystemSearchController* CreateFATSearcher() { return new (std::nothrow) CFATCompleteFSearcher(); }
