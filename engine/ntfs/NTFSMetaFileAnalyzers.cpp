#include "ntfs/NTFSMetaFileAnalyzers.h"

#include <algorithm>
#include <cstring>

#include "OnDiskBytes.h"
#include "ntfs/NTFSFileRecord.h"
#include "ntfs/NTFSReferenceTables.h"
#include "ntfs/RCRDRecord.h"

namespace {

constexpr uint32_t kAttrDefRecord = 4, kUpCaseRecord = 10, kLogFileRecord = 2;

// The metafile record of `candidate` among `records` (in the order found).
template <typename Info>
const Info* FindRecord(const std::vector<std::unique_ptr<Info>>& records, const CSearchedNTFSPartitionInfo& candidate,
                       uint32_t recordNumber) {
  const int64_t start = candidate.GetFirstDataSector();
  const int64_t end = start + static_cast<int64_t>(std::min<uint64_t>(candidate.GetTotalSectors(), INT64_MAX / 2));
  const int64_t mft = candidate.GetMFTRecordSector();
  if (mft >= 0) {
    const int64_t at = mft + int64_t{recordNumber} * candidate.GetSectorsperFileRecord();
    for (const auto& record : records) {
      if (record->GetSectorAddress() == at) return record.get();
    }
  }
  for (const auto& record : records) {
    if (record->GetSectorAddress() >= start && record->GetSectorAddress() < end) return record.get();
  }
  return nullptr;
}

}  // namespace

// ---- ranges -------------------------------------------------------------------

void CMetaFileAnalyzer::CombineSectorOfRange(int64_t sector) { AddRange(sector, 1); }

void CMetaFileAnalyzer::AddRange(int64_t first, int64_t count) {
  if (count <= 0) return;
  if (!m_ranges.empty() && m_ranges.back().first + m_ranges.back().second == first) {
    m_ranges.back().second += count;
  } else if (m_ranges.size() < kMaxRanges) {
    m_ranges.emplace_back(first, count);
  }
}

int64_t CMetaFileAnalyzer::GetMatchCount(const CNTFSDataRunList& runs, int64_t start,
                                         uint32_t sectorsPerCluster) const {
  const int64_t spc = sectorsPerCluster;
  int64_t matched = 0;
  for (const CDataRun& run : runs.GetRuns()) {
    if (run.IsSparse() || spc == 0 || run.LCN > (INT64_MAX / 2 - start) / spc || run.Length > (INT64_MAX / 2) / spc) {
      continue;
    }
    const int64_t first = start + run.LCN * spc;
    const int64_t end = first + run.Length * spc;
    for (const auto& [at, count] : m_ranges) {
      const int64_t lo = std::max(first, at), hi = std::min(end, at + count);
      if (hi > lo) matched += hi - lo;
    }
  }
  return matched;
}

// ---- reference contents ------------------------------------------------------

CReferenceSectors::CReferenceSectors(const uint8_t* reference, size_t bytes, uint32_t sectorSize)
    : m_reference(reference), m_bytes(bytes), m_sectorSize(sectorSize != 0 ? sectorSize : 512), m_headBits(1024, 0) {
  for (size_t at = 0; at + m_sectorSize <= m_bytes; at += m_sectorSize) {
    const uint64_t head = ondisk::Le64(m_reference + at);
    Piece piece{at, 0, head};
    for (size_t probe = 8; probe + 8 <= m_sectorSize; probe += 8) {
      if (ondisk::Le64(m_reference + at + probe) != head) {
        piece.probe = probe;
        piece.word = ondisk::Le64(m_reference + at + probe);
        break;
      }
    }
    if (head == 0) m_zeroHead.push_back(piece);
    m_byHead.emplace(head, piece);
    m_headBits[Fold(head) >> 6] |= uint64_t{1} << (Fold(head) & 63);
  }
}

bool CReferenceSectors::MatchPiece(const uint8_t* sector, const Piece& piece) const {
  return ondisk::Le64(sector + piece.probe) == piece.word &&
         std::memcmp(sector, m_reference + piece.at, m_sectorSize) == 0;
}

bool CReferenceSectors::Match(const uint8_t* sector) const {
  const uint64_t head = ondisk::Le64(sector);
  if (((m_headBits[Fold(head) >> 6] >> (Fold(head) & 63)) & 1) == 0) return false;
  if (head == 0) {
    // Empty sectors, the commonest of all, skip the look-up.
    for (const Piece& piece : m_zeroHead) {
      if (MatchPiece(sector, piece)) return true;
    }
    return false;
  }
  const auto range = m_byHead.equal_range(head);
  for (auto it = range.first; it != range.second; ++it) {
    if (MatchPiece(sector, it->second)) return true;
  }
  return false;
}

// ---- $AttrDef and $UpCase ------------------------------------------------------

CContentFileAnalyzer::CContentFileAnalyzer(const uint8_t* reference, size_t bytes, uint32_t sectorSize,
                                           uint32_t recordNumber)
    : m_reference(reference, bytes, sectorSize),
      m_sectorSize(sectorSize != 0 ? sectorSize : 512),
      m_recordNumber(recordNumber) {}

void CContentFileAnalyzer::AnalyzeFileRecord(int64_t sector, const CNTFSFileRecord& record) {
  if (m_records.size() >= CLogFileAnalyzer::kMaxFound) return;
  auto info = std::make_unique<CMetaFileInfo>();
  if (info->InitFromBuffer(record, sector)) m_records.push_back(std::move(info));
}

void CContentFileAnalyzer::AnalyzeSectorBuffer(int64_t sector, const uint8_t* buffer) {
  if (m_reference.Match(buffer)) m_ranges.CombineSectorOfRange(sector);
}

std::pair<int64_t, int64_t> CContentFileAnalyzer::CalcMatch(const CSearchedNTFSPartitionInfo& candidate) const {
  const CMetaFileInfo* record = FindRecord(m_records, candidate, m_recordNumber);
  if (record == nullptr) return {-1, 0};
  const int64_t sectors = m_ranges.GetMatchCount(record->GetDataRunList(), candidate.GetFirstDataSector(),
                                                 candidate.GetSectorsperCluster());
  return {record->GetSectorAddress(), sectors * (m_sectorSize / 512)};
}

CAttrDefFileAnalyzer::CAttrDefFileAnalyzer(uint32_t sectorSize)
    : CContentFileAnalyzer(ntfs_reference::AttrDefContents(), ntfs_reference::kAttrDefBytes, sectorSize,
                           kAttrDefRecord) {}

void CAttrDefFileAnalyzer::CalcAttrDefMatch(CSearchedNTFSPartitionInfo& candidate) const {
  const auto [sector, count] = CalcMatch(candidate);
  candidate.SetAttrDefRecordSector(sector);
  candidate.SetAttrDefMatchedCount(count);
}

CUpCaseFileAnalyzer::CUpCaseFileAnalyzer(uint32_t sectorSize)
    : CContentFileAnalyzer(ntfs_reference::UpCaseContents(), ntfs_reference::kUpCaseBytes, sectorSize, kUpCaseRecord) {}

void CUpCaseFileAnalyzer::CalcUpcaseMatch(CSearchedNTFSPartitionInfo& candidate) const {
  const auto [sector, count] = CalcMatch(candidate);
  candidate.SetUpCaseRecordSector(sector);
  candidate.SetUpCaseMatchedCount(count);
}

// ---- $LogFile ------------------------------------------------------------------

CLogFileAnalyzer::CLogFileAnalyzer(CNTFSPartitionInfoBuilder* builder, uint32_t sectorSize)
    : m_builder(builder),
      m_sectorSize(sectorSize != 0 ? sectorSize : 512),
      m_pageSectors(std::max<int64_t>(1, kPageBytes / m_sectorSize)) {}

bool CLogFileAnalyzer::IsValidRSTRRecord(const uint8_t* buffer, int64_t bytes) {
  static constexpr uint8_t kNtfs[] = {'N', 0, 'T', 0, 'F', 0, 'S', 0};
  if (buffer == nullptr || bytes < kPageBytes || std::memcmp(buffer, "RSTR", 4) != 0) return false;
  if (std::memcmp(buffer + 0x90, kNtfs, sizeof kNtfs) != 0) return false;
  const uint16_t number = ondisk::Le16(buffer + 30);
  for (int k = 0; k < kPageBytes / 512; ++k) {
    if (ondisk::Le16(buffer + 510 + 512 * k) != number) return false;
  }
  return true;
}

void CLogFileAnalyzer::Place(int64_t sector, const CLogFileInfo& log, uint32_t flag) {
  if (m_builder == nullptr) return;
  CandidatePtr candidate = CNTFSPartitionInfoBuilder::BuildPartitionInfoAccordingtoFileRecord(
      sector, log.GetFirstClusterNO(), log.GetSectorsPerCluster(), flag, m_builder->GetDeviceTotalSectors(),
      m_sectorSize);
  if (candidate == nullptr) return;
  if (!m_builder->AdjustPartitionBuildFromFlag(*candidate, flag, 0)) m_builder->Insert(std::move(candidate));
}

void CLogFileAnalyzer::AnalyzeRSTRRecord(int64_t sector, const uint8_t* buffer, int64_t available) {
  if (m_restarts.size() >= kMaxFound || !IsValidRSTRRecord(buffer, available)) return;
  const bool second = !m_restarts.empty() && sector - m_pageSectors == m_restarts.back();
  for (const auto& log : m_records) {
    if (log->GetFirstClusterNO() < 0 || log->GetSectorsPerCluster() == 0) continue;
    if (!second) {
      Place(sector, *log, ntfs_evidence::kFirstRestartPage);
      if (sector > m_pageSectors) Place(sector - m_pageSectors, *log, ntfs_evidence::kSecondRestartPage);
      continue;
    }
    if (m_builder == nullptr) continue;
    const int64_t total = m_builder->GetDeviceTotalSectors();
    // The page before is the first one: its candidate gains flag 128.
    if (CandidatePtr earlier = CNTFSPartitionInfoBuilder::BuildPartitionInfoAccordingtoFileRecord(
            sector - m_pageSectors, log->GetFirstClusterNO(), log->GetSectorsPerCluster(),
            ntfs_evidence::kSecondRestartPage, total, m_sectorSize)) {
      m_builder->AdjustPartitionBuildFromFlag(*earlier, ntfs_evidence::kSecondRestartPage, 0);
    }
    // Nor was the page before a second one: what it placed as such, a page
    // before the true start, loses flag 128 (and goes when that was all).
    if (CandidatePtr before = CNTFSPartitionInfoBuilder::BuildPartitionInfoAccordingtoFileRecord(
            sector - 2 * m_pageSectors, log->GetFirstClusterNO(), log->GetSectorsPerCluster(),
            ntfs_evidence::kSecondRestartPage, total, m_sectorSize)) {
      m_builder->AdjustPartitionBuildFromFlag(*before, 0, ntfs_evidence::kSecondRestartPage);
    }
    // This page is no first one: what it placed as such loses flag 64.
    if (CandidatePtr wrong = CNTFSPartitionInfoBuilder::BuildPartitionInfoAccordingtoFileRecord(
            sector, log->GetFirstClusterNO(), log->GetSectorsPerCluster(), ntfs_evidence::kFirstRestartPage, total,
            m_sectorSize)) {
      m_builder->AdjustPartitionBuildFromFlag(*wrong, 0, ntfs_evidence::kFirstRestartPage);
    }
  }
  m_restarts.push_back(sector);
}

void CLogFileAnalyzer::AnalyzeLogFileFileRecord(int64_t sector, const CNTFSFileRecord& record) {
  if (m_records.size() >= kMaxFound) return;
  auto log = std::make_unique<CLogFileInfo>(m_sectorSize);
  if (!log->InitFromBuffer(record, sector)) return;
  if (log->GetSectorsPerCluster() != 0 && log->GetFirstClusterNO() >= 0) {
    for (size_t i = 0; i < m_restarts.size(); ++i) {
      const int64_t page = m_restarts[i];
      if (i + 1 < m_restarts.size() && m_restarts[i + 1] == page + m_pageSectors) {
        Place(page, *log, ntfs_evidence::kFirstRestartPage | ntfs_evidence::kSecondRestartPage);
        ++i;
        continue;
      }
      Place(page, *log, ntfs_evidence::kFirstRestartPage);
      if (page > m_pageSectors) Place(page - m_pageSectors, *log, ntfs_evidence::kSecondRestartPage);
    }
  }
  m_records.push_back(std::move(log));
}

void CLogFileAnalyzer::AnalyzePage(int64_t sector, const uint8_t* page) {
  if (CRCRDRecord::IsValid(page, kPageBytes)) m_pages.AddRange(sector, m_pageSectors);
}

void CLogFileAnalyzer::AnalyzeRCRDRecord(const uint8_t* block, int64_t first, int64_t count) {
  if (block == nullptr || count <= 0) return;
  const int64_t sectorSize = m_sectorSize;
  int64_t i = 0;
  if (m_keptFirst >= 0) {
    const int64_t missing = m_pageSectors - m_keptSectors;
    if (m_keptFirst + m_keptSectors == first && missing > 0 && missing <= count) {
      std::memcpy(m_kept.data() + m_keptSectors * sectorSize, block, static_cast<size_t>(missing * sectorSize));
      AnalyzePage(m_keptFirst, m_kept.data());
      i = missing;
    }
    m_keptFirst = -1;
    m_keptSectors = 0;
  }
  while (i < count) {
    const uint8_t* at = block + i * sectorSize;
    if (!CRCRDRecord::IsValidRCRDRecordFirstSector(at, static_cast<int>(sectorSize))) {
      ++i;
      continue;
    }
    if (count - i < m_pageSectors) {
      // The rest of the page comes with the next block.
      m_kept.assign(static_cast<size_t>(kPageBytes), 0);
      std::memcpy(m_kept.data(), at, static_cast<size_t>((count - i) * sectorSize));
      m_keptFirst = first + i;
      m_keptSectors = count - i;
      return;
    }
    AnalyzePage(first + i, at);
    i += m_pageSectors;
  }
}

void CLogFileAnalyzer::CalcLogFileMatch(CSearchedNTFSPartitionInfo& candidate) const {
  const CLogFileInfo* log = FindRecord(m_records, candidate, kLogFileRecord);
  candidate.SetLogFileRecordSector(log != nullptr ? log->GetSectorAddress() : -1);
  candidate.SetLogFileMatchedCount(log != nullptr
                                       ? m_pages.GetMatchCount(log->GetDataRunList(), candidate.GetFirstDataSector(),
                                                               candidate.GetSectorsperCluster()) *
                                             (m_sectorSize / 512)
                                       : 0);
}
