#include "ntfs/NTFSSearchController.h"

#include <algorithm>
#include <cstring>
#include <new>

#include "DirecotryTreeBuilder.h"
#include "SectorLender.h"
#include "StorageDevice.h"
#include "base/CatchExeception.h"
#include "device/SectorSizeDevice.h"
#include "ntfs/IndexRecord.h"
#include "ntfs/MetaFileRecordTypeAnalyzer.h"
#include "ntfs/NTFSDBR.h"
#include "ntfs/NTFSDirectoryTreeBuilder.h"
#include "ntfs/NTFSFileRecord.h"
#include "ntfs/NTFSFileRecordAttribute.h"

namespace {

// The bytes a structure starting at a sector may use: 16 sectors at most.
constexpr int64_t kLookAheadSectors = 16;
// The root folder: its pages and record say nothing about where a lost
// partition lies that the other evidence does not.
constexpr int64_t kRootFolder = 5;
// The metafiles whose records the content analysers take.
constexpr uint32_t kLogFileRecord = 2, kAttrDefRecord = 4, kUpCaseRecord = 10;

}  // namespace

CNTFSSearchController::CNTFSSearchController() : m_builder(m_candidates) {}

CNTFSSearchController::~CNTFSSearchController() = default;

void CNTFSSearchController::SetDevice(IStorageDevice* device) {
  if (device == nullptr) return;
  m_source = device;
  m_units = CSectorSizeDevice::In512ByteUnits(device, &m_unitsPerSector);
  m_device = m_units != nullptr ? m_units.get() : device;
  m_builder.SetDeviceTotalSectors(m_device->GetTotalSectors());
}

void CNTFSSearchController::SetBlockSize(int sectors) {
  if (sectors > 0) m_sectorsPerBlock = sectors;
}

void CNTFSSearchController::PreparetoSearch() {
  if (m_sectorsPerBlock <= 0 || m_device == nullptr) return;
  const uint32_t sectorSize = m_device->GetSectorSize();
  m_sectorSize = sectorSize != 0 && sectorSize % 512 == 0 ? sectorSize : 512;
  m_sectorsPerIndexRecord = std::max<int64_t>(1, kIndexRecordBytes / m_sectorSize);
  const int64_t total = m_device->GetTotalSectors();
  m_builder.SetDeviceTotalSectors(total);

  m_attrDefAnalyzer = std::make_unique<CAttrDefFileAnalyzer>(m_sectorSize);
  m_upCaseAnalyzer = std::make_unique<CUpCaseFileAnalyzer>(m_sectorSize);
  m_logAnalyzer = std::make_unique<CLogFileAnalyzer>(&m_builder, m_sectorSize);
  m_groupAnalyzer =
      std::make_unique<CMetaFileRecordGroupinMFTAnalyzer>(m_mfts, m_mirrors, m_builder, m_pairs, m_sectorSize);
  m_groupAnalyzer->SetDeviceTotalSectors(total);

  m_block.clear();  // made when a block cannot be borrowed
  m_unreadable.assign(static_cast<size_t>(m_sectorsPerBlock * m_unitsPerSector), 0);
  m_record.assign(static_cast<size_t>(std::max<int64_t>(ntfs_record::kMaxRecordSize, m_sectorSize)), 0);
  DropPending();
  m_nextSector = -1;
  m_prepared = true;
  if (m_treeBuilder != nullptr) m_treeBuilder->AddSearcherInfo(SEARCHER_TYPE_NTFS, kRootFolder);
}

void CNTFSSearchController::DropPending() {
  m_pendingRecord = Pending();
  m_pendingIndex = Pending();
}

// ---- the block pass ---------------------------------------------------------

void CNTFSSearchController::ReadBlock(int64_t first, int64_t count) {
  std::fill(m_unreadable.begin(), m_unreadable.begin() + count, 0);
  // The scan's cache lends a block read whole; only a block with a bad
  // sector (or another device) is read into a buffer of our own.
  m_data = BorrowSectors(m_source, static_cast<uint32_t>(m_sectorSize * m_unitsPerSector), first / m_unitsPerSector,
                         count / m_unitsPerSector);
  if (m_data != nullptr) return;
  if (m_block.empty()) m_block.assign(static_cast<size_t>(m_sectorsPerBlock * m_unitsPerSector) * m_sectorSize, 0);
  m_data = m_block.data();
  if (m_device->ReadSector(m_block.data(), first, count) != 0) return;
  // A failed read may have left anything in the buffer (the block before,
  // most likely): every sector is read again on its own, so that the
  // readable ones still count and the others are never examined.
  int64_t bad = 0, firstBad = -1, lastBad = -1;
  for (int64_t i = 0; i < count; ++i) {
    uint8_t* sector = m_block.data() + i * m_sectorSize;
    if (m_device->ReadSector(sector, first + i, 1) != 0) continue;
    std::memset(sector, 0, m_sectorSize);
    m_unreadable[i] = 1;
    ++bad;
    if (firstBad < 0) firstBad = first + i;
    lastBad = first + i;
  }
  if (bad != 0) {
    CatchExeception::WriteLog("NTFS complete scan: %lld unreadable sectors between %lld and %lld skipped\r\n",
                              static_cast<long long>(bad), static_cast<long long>(firstBad),
                              static_cast<long long>(lastBad));
  }
}

ResultCode CNTFSSearchController::AnalyzeBlock(int64_t sourceFirst, int64_t sourceCount) {
  if (!m_prepared || sourceCount <= 0 || sourceCount > m_sectorsPerBlock || sourceFirst < 0) return 1;
  // The pass counts in the source's sectors, the searcher in its own.
  int64_t firstSector = 0;
  if (__builtin_mul_overflow(sourceFirst, m_unitsPerSector, &firstSector)) return 1;
  const int64_t sectorCount = sourceCount * m_unitsPerSector;
  if (firstSector != m_nextSector) {
    DropPending();
    m_groupAnalyzer->Flush();
  }
  m_nextSector = firstSector + sectorCount;
  ReadBlock(firstSector, sectorCount);

  // Sectors up to the next unreadable one (or the block's end).
  int64_t readableEnd = 0;
  for (int64_t i = 0; i < sectorCount; ++i) {
    const int64_t sector = firstSector + i;
    if (m_unreadable[i] != 0) {
      DropPending();
      m_groupAnalyzer->Flush();
      continue;
    }
    if (readableEnd <= i) {
      readableEnd = i;
      while (readableEnd < sectorCount && m_unreadable[readableEnd] == 0) ++readableEnd;
    }
    const uint8_t* buffer = m_data + i * m_sectorSize;
    const int64_t available = std::min(readableEnd - i, kLookAheadSectors) * m_sectorSize;
    if (CNTFSDBR::IsFullValidDBR(buffer)) {
      AnalyzeNTFSDBRSector(sector, buffer);
    } else if (CLogFileAnalyzer::IsValidRSTRRecord(buffer, available)) {
      m_logAnalyzer->AnalyzeRSTRRecord(sector, buffer, available);
    } else {
      AnalyzeIndexRecord(sector, buffer, available);
    }
    AnalyzeNTFSFileRecordSector(sector, buffer, available);
    m_attrDefAnalyzer->AnalyzeSectorBuffer(sector, buffer);
    m_upCaseAnalyzer->AnalyzeSectorBuffer(sector, buffer);
  }
  m_logAnalyzer->AnalyzeRCRDRecord(m_data, firstSector, sectorCount);
  m_data = nullptr;
  return 1;
}

void CNTFSSearchController::EndBlockPass() { std::vector<uint8_t>().swap(m_block); }

// ---- boot sectors -------------------------------------------------------------

CandidatePtr CNTFSSearchController::BuildPartitionInfoFromDBR(const CNTFSDBR& dbr, int64_t start, uint32_t flag) const {
  // The boot sector counts in its own sectors; candidates count in the
  // device's.
  const uint64_t clusterBytes = dbr.GetClusterSizeByByte();
  if (start < 0 || clusterBytes == 0 || clusterBytes % m_sectorSize != 0 || dbr.GetTotalSectors() <= 0) {
    return nullptr;
  }
  const uint32_t spc = static_cast<uint32_t>(clusterBytes / m_sectorSize);
  const int64_t volumeSectors = static_cast<int64_t>(static_cast<unsigned __int128>(dbr.GetTotalSectors()) *
                                                     dbr.GetBytesPerSector() / m_sectorSize);
  const int64_t deviceTotal = m_builder.GetDeviceTotalSectors();
  if (start >= deviceTotal) return nullptr;
  const int64_t available = std::min(deviceTotal - start, volumeSectors);
  if (available < 8) return nullptr;
  auto candidate = std::make_unique<CSearchedNTFSPartitionInfo>(m_sectorSize);
  candidate->SetFirstDataSector(start);
  candidate->SetSectorsperCluster(spc);
  candidate->SetSerialNumber(static_cast<int64_t>(dbr.GetSerialNumber()));
  candidate->SetMatchedCount(0);
  candidate->SetClusterCount(available / spc);
  candidate->SetPartitionBuildFromFlag(flag);
  return candidate;
}

bool CNTFSSearchController::AdjustPartitionInfoAccordingtoLastBootRecord(const CSearchedNTFSPartitionInfo& backup) {
  bool confirmed = false;
  for (CSearchedNTFSPartitionInfo* equal : m_builder.Equal(backup)) {
    equal->AddPartitionBuildFromFlag(ntfs_evidence::kBackupBootSector);
    const bool sameVolume =
        equal->GetTotalSectors() == backup.GetTotalSectors() && equal->GetSerialNumber() == backup.GetSerialNumber();
    if ((equal->GetPartitionBuildFromFlags() & ntfs_evidence::kBootSector) != 0 || sameVolume) confirmed = true;
  }
  return confirmed;
}

void CNTFSSearchController::AnalyzeNTFSDBRSector(int64_t sector, const uint8_t* buffer) {
  CNTFSDBR dbr;
  if (!dbr.InitFromBuffer(buffer)) return;
  const unsigned __int128 volumeBytes =
      static_cast<unsigned __int128>(static_cast<uint64_t>(dbr.GetTotalSectors())) * dbr.GetBytesPerSector();
  // The backup lies at the volume's last sector only when that is a whole
  // number of device sectors.
  if (dbr.GetTotalSectors() > 0 && volumeBytes % m_sectorSize == 0 && volumeBytes / m_sectorSize <= INT64_MAX) {
    const int64_t volumeSectors = static_cast<int64_t>(volumeBytes / m_sectorSize);
    if (CandidatePtr backup =
            BuildPartitionInfoFromDBR(dbr, sector - volumeSectors, ntfs_evidence::kBackupBootSector)) {
      if (AdjustPartitionInfoAccordingtoLastBootRecord(*backup)) {
        // The primary boot sector is known: what its own backup hypothesis
        // placed one volume earlier was wrong.
        CSearchedNTFSPartitionInfo earlier(m_sectorSize);
        earlier.SetFirstDataSector(backup->GetFirstDataSector() - volumeSectors);
        earlier.SetSectorsperCluster(backup->GetSectorsperCluster());
        m_builder.AdjustPartitionBuildFromFlag(earlier, 0, ntfs_evidence::kBackupBootSector);
        return;
      }
      for (CSearchedNTFSPartitionInfo* equal : m_builder.Equal(*backup)) {
        if (equal->GetTotalSectors() == 0) equal->SetClusterCount(backup->GetClusterCount());
      }
      m_builder.Insert(std::move(backup));
    }
  }
  if (CandidatePtr primary = BuildPartitionInfoFromDBR(dbr, sector, ntfs_evidence::kBootSector)) {
    m_builder.Insert(std::move(primary));
  }
}

// ---- index pages --------------------------------------------------------------

void CNTFSSearchController::AnalyzeIndexRecord(int64_t sector, const uint8_t* buffer, int64_t available) {
  const int64_t needed = m_sectorsPerIndexRecord;
  const int64_t pageBytes = std::max<int64_t>(kIndexRecordBytes, m_sectorSize);
  Pending& pending = m_pendingIndex;
  if (pending.sector >= 0) {
    const int64_t next = pending.sector + pending.sectors;
    if (next > sector) return;
    if (next == sector && available >= (needed - pending.sectors) * m_sectorSize) {
      const size_t kept = static_cast<size_t>(pending.sectors * m_sectorSize);
      std::memcpy(pending.bytes.data() + kept, buffer, static_cast<size_t>(kIndexRecordBytes) - kept);
      const int64_t first = pending.sector;
      std::vector<uint8_t> page = std::move(pending.bytes);
      pending = Pending();
      AnalyzeIndexRecordBuffer(first, page.data());
      return;
    }
    pending = Pending();
  }
  if (available < pageBytes) {
    if (available >= 512 && CStandardIndexHeader::IsValidMagicNumber(buffer)) {
      pending.sector = sector;
      pending.sectors = available / m_sectorSize;
      pending.bytes.assign(static_cast<size_t>(kIndexRecordBytes), 0);
      std::memcpy(pending.bytes.data(), buffer, static_cast<size_t>(available));
    }
    return;
  }
  if (!CStandardIndexHeader::IsValidMagicNumber(buffer)) return;
  AnalyzeIndexRecordBuffer(sector, buffer);
}

void CNTFSSearchController::AnalyzeIndexRecordBuffer(int64_t sector, const uint8_t* page) {
  if (!CIndexRecord::IsValid(page, kIndexRecordBytes)) return;
  CIndexRecordInfo info;
  info.sector = sector;
  info.vcn = CIndexRecord::GetVCN(page);
  info.logFileSequenceNumber = CIndexRecord::GetLogFileSequenceNumber(page);
  info.parent = CIndexRecord::GetParentFileReference(page, kIndexRecordBytes);
  if (info.parent < 0 || info.parent == kRootFolder || info.vcn < 0) return;
  const auto folders = m_folders.equal_range(info.parent);
  for (auto it = folders.first; it != folders.second; ++it) PlaceFromIndexRecord(info, *it->second);
  // Pages beyond the cap still confirm folders already known, but wait for
  // none that comes later.
  if (m_indexRecords.size() < kNTFSFoundRecordCap) m_indexRecords.emplace(info.parent, info);
}

void CNTFSSearchController::PlaceFromIndexRecord(const CIndexRecordInfo& page,
                                                 const CFolderIndexAllocationInfo& folder) {
  const int64_t spc = folder.GetSectorsPerCluster();
  const int64_t clusterBytes = spc * m_sectorSize;
  // Index pages count their VCN in clusters, or in 512-byte units when a
  // cluster is larger than a page.
  const int64_t unit = clusterBytes > kIndexRecordBytes ? 512 : clusterBytes;
  if (spc <= 0 || page.vcn > INT64_MAX / unit) return;
  const int64_t byteOffset = page.vcn * unit;
  const int64_t lcn = folder.GetLCN(byteOffset / clusterBytes);
  const int64_t intoCluster = (byteOffset % clusterBytes) / m_sectorSize;
  if (lcn < 0 || page.sector - intoCluster < 0) return;
  CandidatePtr candidate = CNTFSPartitionInfoBuilder::BuildPartitionInfoAccordingtoFileRecord(
      page.sector - intoCluster, lcn, static_cast<uint32_t>(spc), ntfs_evidence::kIndexRecord,
      m_builder.GetDeviceTotalSectors(), m_sectorSize);
  if (candidate != nullptr) AdjustPartitionInfoAccordingtoFreshSearchedIndexRecord(std::move(candidate));
}

void CNTFSSearchController::AdjustPartitionInfoAccordingtoFreshSearchedIndexRecord(CandidatePtr candidate) {
  const std::vector<CSearchedNTFSPartitionInfo*> equal = m_builder.Equal(*candidate);
  for (CSearchedNTFSPartitionInfo* known : equal) {
    known->AddPartitionBuildFromFlag(ntfs_evidence::kIndexRecord);
    known->SetMatchedCount(known->GetMatchedCount() + 1);
  }
  if (equal.empty()) m_builder.Insert(std::move(candidate));
}

// ---- FILE records ---------------------------------------------------------------

void CNTFSSearchController::AnalyzeNTFSFileRecordSector(int64_t sector, const uint8_t* buffer, int64_t available) {
  Pending& pending = m_pendingRecord;
  if (pending.sector >= 0) {
    const int64_t recordBytes = static_cast<int64_t>(pending.bytes.size());
    const int64_t next = pending.sector + pending.sectors;
    if (next == sector && available >= recordBytes - pending.sectors * m_sectorSize) {
      const size_t kept = static_cast<size_t>(pending.sectors * m_sectorSize);
      std::memcpy(pending.bytes.data() + kept, buffer, static_cast<size_t>(recordBytes) - kept);
      const int64_t first = pending.sector;
      std::memcpy(m_record.data(), pending.bytes.data(), pending.bytes.size());
      pending = Pending();
      AnalyzeFileRecordBuffer(first, m_record.data(), recordBytes);
      return;
    }
    // A record larger than two sectors is kept from further back than the
    // block's last sector: the sectors it already holds are still looked at
    // by themselves, and it waits for the next block.
    if (next <= sector) pending = Pending();
  }
  if (std::memcmp(buffer, "FILE", 4) != 0) {
    // Not a record: only the group of metafile records learns that.
    m_groupAnalyzer->AnalyzeNTFSMetaFileRecord(sector, nullptr);
    return;
  }
  // Each volume chooses its record size (4096 bytes on volumes made for
  // 4096-byte sectors) and writes it in every record: a record read short
  // loses the attributes past its first kilobyte, a folder its index among
  // them. A size the header does not vouch for is taken as 1024.
  const int64_t recordBytes = std::min<int64_t>(
      static_cast<int64_t>(m_record.size()),
      std::max<int64_t>(ntfs_record::RecordExtent(buffer, ntfs_record::kMaxRecordSize), m_sectorSize));
  if (available < recordBytes) {
    if (available >= 512 && CNTFSFileRecordHeader::IsValid(buffer, 512)) {
      pending.sector = sector;
      pending.sectors = available / m_sectorSize;
      pending.bytes.assign(static_cast<size_t>(recordBytes), 0);
      std::memcpy(pending.bytes.data(), buffer, static_cast<size_t>(available));
    } else {
      m_groupAnalyzer->AnalyzeNTFSMetaFileRecord(sector, nullptr);
    }
    return;
  }
  // A copy: the record's update sequence is undone while it is examined,
  // which must not change the block that the next sectors are read from.
  std::memcpy(m_record.data(), buffer, static_cast<size_t>(recordBytes));
  AnalyzeFileRecordBuffer(sector, m_record.data(), recordBytes);
}

void CNTFSSearchController::AnalyzeFileRecordBuffer(int64_t sector, const uint8_t* buffer, int64_t bytes) {
  uint8_t* record = m_record.data();
  if (bytes <= 0 || bytes > static_cast<int64_t>(m_record.size())) return;
  if (buffer != record) std::memcpy(record, buffer, static_cast<size_t>(bytes));
  const CNTFSFileRecord view(record, static_cast<int>(bytes), 0);
  const int64_t sectorsPerRecord = std::max<int64_t>(1, bytes / m_sectorSize);
  const uint32_t index = view.IsValid() ? CMetaFileRecordTypeAnalyzer::GetMetaFileRecordIndex(view)
                                        : CMetaFileRecordTypeAnalyzer::kNotMetaFile;
  m_groupAnalyzer->AnalyzeNTFSMetaFileRecord(sector, &view, index);
  if (!view.IsValid()) return;
  const uint8_t* allocation = view.IsFolder() ? view.FindAttibute(ntfs_record::kIndexAllocation, 0) : nullptr;
  if (allocation != nullptr && !CNTFSFileRecordAttribute::IsResident(allocation)) {
    AnalyzeFolderFileRecordHavingIndexAllocation(sector, view);
  } else if (index == kLogFileRecord) {
    m_logAnalyzer->AnalyzeLogFileFileRecord(sector, view);
  } else if (index == kAttrDefRecord) {
    m_attrDefAnalyzer->AnalyzeAttrDefFileRecord(sector, view);
  } else if (index == kUpCaseRecord) {
    m_upCaseAnalyzer->AnalyzeUpCaseFileRecord(sector, view);
  } else if (!view.IsExtendFileRecord() && !m_groupAnalyzer->IsaMetaFileRecordNotNeedtoCount(index) &&
             !m_logAnalyzer->IsaMetaFileRecordNotNeedtoCount()) {
    AnalyzeNormalFileRecord(sector, sectorsPerRecord);
  }
}

void CNTFSSearchController::AnalyzeFolderFileRecordHavingIndexAllocation(int64_t sector,
                                                                         const CNTFSFileRecord& record) {
  if (m_folders.size() >= kNTFSFoundRecordCap) return;
  auto folder = std::make_unique<CFolderIndexAllocationInfo>();
  if (!folder->InitFromBuffer(record, sector, m_sectorSize)) return;
  const int64_t number = folder->GetMFTFileRecordNumber();
  const CFolderIndexAllocationInfo& known = *m_folders.emplace(number, std::move(folder))->second;
  const auto pages = m_indexRecords.equal_range(number);
  for (auto it = pages.first; it != pages.second; ++it) PlaceFromIndexRecord(it->second, known);
  m_positions.emplace_back(sector, std::max<int64_t>(1, record.GetSize() / m_sectorSize));
}

void CNTFSSearchController::AnalyzeNormalFileRecord(int64_t sector, int64_t sectorsPerRecord) {
  if (!m_positions.empty() && m_positions.back().Merge(sector, sectorsPerRecord)) return;
  if (m_positions.size() < kNTFSFoundRecordCap * 8) m_positions.emplace_back(sector, sectorsPerRecord);
}

// ---- the end of the scan ------------------------------------------------------

void CNTFSSearchController::EndSearch(int build) {
  if (build == 0 || !m_prepared) return;
  m_groupAnalyzer->Flush();
  DropPending();

  size_t i = 0;
  for (auto it = m_candidates.begin(); it != m_candidates.end(); ++i) {
    CSearchedNTFSPartitionInfo& candidate = **it;
    m_attrDefAnalyzer->CalcAttrDefMatch(candidate);
    m_upCaseAnalyzer->CalcUpcaseMatch(candidate);
    m_logAnalyzer->CalcLogFileMatch(candidate);
    candidate.SetMFTFound(candidate.GetMFTRecordSector() >= 0);
    const uint64_t score = candidate.CalcFileSystemReliabilityScore();
    candidate.SetReliabilityScore(score);
    // Beyond the first two, a candidate needs some weight and either an
    // index page or its master file table; a boot sector and a table alone
    // are enough for a volume whose folders all fit in their records.
    const bool unconfirmed = candidate.GetMatchedCount() == 0 && !candidate.IsMFTFound();
    if (i >= 2 && (score < 11 || unconfirmed)) {
      it = m_candidates.erase(it);
      continue;
    }
    candidate.SetStartSector(candidate.GetFirstDataSector());
    ++it;
  }
  if (m_candidates.size() >= 3) {
    for (auto it = m_candidates.begin(); it != m_candidates.end();) {
      if ((*it)->GetReliabilityScore() <= 50 && !(*it)->IsMFTFound()) {
        it = m_candidates.erase(it);
      } else {
        ++it;
      }
    }
  }
  const size_t count = m_candidates.size();
  size_t index = 0;
  for (const CandidatePtr& candidate : m_candidates) {
    candidate->SetOrderWeight(static_cast<double>(count - index));
    candidate->SetPartitionIndex(static_cast<uint16_t>(std::min<size_t>(index, 0xFFFE)));
    ++index;
  }

  EndBlockPass();
  m_unreadable.clear();
  if (m_treeBuilder != nullptr) {
    CNTFSDirectoryTreeBuilder trees(m_device, m_sectorSize);
    CNTFSIntelligentSearchInfo info;
    info.mfts = &m_mfts;
    info.positions = &m_positions;
    index = 0;
    for (const CandidatePtr& candidate : m_candidates) {
      trees.BuildDirectoryTree(info, *candidate, static_cast<int>(index++), m_treeBuilder);
    }
  }
  m_groupAnalyzer.reset();
  m_attrDefAnalyzer.reset();
  m_upCaseAnalyzer.reset();
  m_logAnalyzer.reset();
  m_pairs.clear();
  m_mirrors.clear();
  m_folders.clear();
  m_indexRecords.clear();
  m_prepared = false;
  if (m_treeBuilder != nullptr) {
    m_treeBuilder->SetPartitonDevice(nullptr, m_device);
    m_treeBuilder->FlashBuild(SEARCHER_TYPE_NTFS);
  }
}

int CNTFSSearchController::GetSearchedPartitionInfo(CSearchedPartitionInfo** array, int capacity) {
  const int count = static_cast<int>(std::min<size_t>(m_candidates.size(), 0x7FFFFFFF));
  if (array == nullptr || capacity < count) return count;
  int i = 0;
  for (const CandidatePtr& candidate : m_candidates) {
    auto* record = new CSearchedPartitionInfo(static_cast<const CSearchedPartitionInfo&>(*candidate));
    record->SetPartitionIndex(static_cast<uint16_t>(std::min(i, 0xFFFE)));
    array[i++] = record;
  }
  return count;
}

ICompleteFileSystemSearchController* CreateNTFSSearcher() { return new CNTFSSearchController(); }
