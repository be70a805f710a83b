#include "ntfs/NTFSSearchInfo.h"

#include <algorithm>
#include <memory>

#include "ntfs/NTFSFileRecord.h"
#include "ntfs/NTFSFileRecordAnalyzer.h"
#include "ntfs/NTFSFileRecordAttribute.h"

namespace {

int64_t FirstCluster(const CNTFSDataRunList& runs) { return runs.IsEmpty() ? -1 : runs.GetLCN(0); }

// The parent of the record's `index`-th $FILE_NAME, or -1.
int64_t ParentOfName(const CNTFSFileRecord& record, uint32_t index) {
  const uint8_t* fn = record.FindAttibute(ntfs_record::kFileName, index);
  if (fn == nullptr) return -1;
  const int left = record.GetSize() - static_cast<int>(fn - record.GetBuffer());
  if (!CNTFSFileRecordFileNameAttribute::IsValid(fn, left)) return -1;
  return static_cast<int64_t>(CNTFSFileRecordFileNameAttribute::GetFileRecordNumberofParentDirectory(fn));
}

}  // namespace

// ---- metafiles -------------------------------------------------------------

bool CMetaFileInfo::InitFromBuffer(const CNTFSFileRecord& record, int64_t sector) {
  if (!record.IsValid()) return false;
  CNTFSDataRunList runs;
  if (!CNTFSFileRecordAnalyzer::AddDataRunListfromFileRecordBuffer(record, runs, 0, nullptr) || runs.IsEmpty()) {
    return false;
  }
  m_runs = std::move(runs);
  m_sector = sector;
  m_logFileSequenceNumber = record.GetLogFileSequenceNumber();
  return true;
}

bool CMetaFileInfo::InitFromBuffer(uint8_t* buffer, int size, int64_t sector) {
  CNTFSFileRecord record(buffer, size, 0);
  return record.IsValid() && InitFromBuffer(record, sector);
}

int64_t CMetaFileInfo::GetFirstClusterNO() const { return FirstCluster(m_runs); }

void CMetaFileInfo::GetNTFSDataRunList(CNTFSDataRunList& out) const {
  for (const CDataRun& run : m_runs.GetRuns()) out.AddDataRun(run);
}

bool CMetaFileInfo::Equals(const CMetaFileInfo& other) const {
  return m_sector == other.m_sector && m_logFileSequenceNumber == other.m_logFileSequenceNumber &&
         m_runs.IsEqual(other.m_runs);
}

bool CGuessedClusterMetaFileInfo::InitFromBuffer(const CNTFSFileRecord& record, int64_t sector) {
  uint8_t spc = 0;
  if (!CNTFSFileRecordAnalyzer::GetSectorsPerClusterfrom0x80(record, spc, m_sectorSize)) return false;
  if (!CMetaFileInfo::InitFromBuffer(record, sector)) return false;
  m_sectorsPerCluster = spc;
  return true;
}

CMFTMirrInfo* CMFTMirrInfo::Build(const CNTFSFileRecord& record, int64_t sector, uint32_t sectorSize) {
  auto info = std::make_unique<CMFTMirrInfo>(sectorSize);
  return info->InitFromBuffer(record, sector) ? info.release() : nullptr;
}

bool CBitmapFileInfo::InitFromBuffer(const CNTFSFileRecord& record, int64_t sector) {
  CNTFSDataRunList runs;
  int64_t size = 0;
  if (!CNTFSFileRecordAnalyzer::AddDataRunListfromFileRecordBuffer(record, runs, 1, &size)) return false;
  if (size <= 0 || runs.GetTotalClusters() < 1) return false;
  m_sector = sector;
  m_size = size;
  return true;
}

// ---- folders with index pages ---------------------------------------------

bool CFolderIndexAllocationInfo::InitFromBuffer(const CNTFSFileRecord& record, int64_t sector, uint32_t sectorSize) {
  if (!record.IsValid() || record.IsExtendFileRecord()) return false;
  const uint8_t* buffer = record.GetBuffer();
  const int size = record.GetSize();
  int64_t number = -1;
  if (const uint8_t* root = record.FindAttibute(ntfs_record::kIndexRoot, 0)) {
    number =
        CNTFSFileRecordIndexRootAttribute::GetMFTFileRecordNumberfrom0x90(root, size - static_cast<int>(root - buffer));
  }
  const uint8_t* allocation = record.FindAttibute(ntfs_record::kIndexAllocation, 0);
  if (allocation == nullptr || CNTFSFileRecordAttribute::IsResident(allocation) ||
      CNTFSFileRecordDataRunsAttribute::GetDataRunsLength(allocation) < 1) {
    return false;
  }
  CNTFSDataRunList::Runs runs;
  if (!CNTFSFileRecordDataRunsAttribute::GetDataRunList(allocation, size - static_cast<int>(allocation - buffer),
                                                        runs)) {
    return false;
  }
  const uint8_t spc = CNTFSFileRecordDataRunsAttribute::GetSectorsPerCluster(allocation, sectorSize);
  if (spc == 0) return false;
  m_sector = sector;
  m_runs.ClearDataRunList();
  for (const CDataRun& run : runs) m_runs.AddDataRun(run);
  m_sectorsPerCluster = spc;
  m_logFileSequenceNumber = record.GetLogFileSequenceNumber();
  if (record.HasXPNumberOfthisMFTRecord()) {
    m_ownNumber = record.GetXPNumberOfthisMFTRecord();
    m_hasOwnNumber = 1;
    if (number < 0) number = m_ownNumber;
  }
  m_number = number;
  return m_number >= 0 && m_number != 5;
}

bool CFolderIndexAllocationInfo::InitFromBuffer(uint8_t* buffer, int size, int64_t sector, uint32_t sectorSize) {
  CNTFSFileRecord record(buffer, size, 0);
  return record.IsValid() && InitFromBuffer(record, sector, sectorSize);
}

int64_t CFolderIndexAllocationInfo::GetFirstClusterNO() const {
  for (const CDataRun& run : m_runs.GetRuns()) {
    if (run.VCN == 0) return run.LCN;
  }
  return -1;
}

bool CCommonFileRecordPositionInfo::Merge(int64_t sector, int64_t sectorsPerRecord) {
  if (m_first < 0 || sectorsPerRecord != m_sectorsPerRecord || sector != m_first + sectorsPerRecord * m_count) {
    return false;
  }
  ++m_count;
  return true;
}

// ---- the master file table -------------------------------------------------

bool CMFTInfo::InitFromBuffer(const CNTFSFileRecord& record, int64_t sector, uint32_t sectorSize) {
  if (!record.IsValid()) return false;
  uint8_t spc = 0;
  const uint32_t unit = sectorSize != 0 ? sectorSize : GetNTFSSectorSize();
  if (!CNTFSFileRecordAnalyzer::GetSectorsPerClusterfrom0x80(record, spc, unit) || spc == 0) return false;
  CNTFSDataRunList runs;
  if (!CNTFSFileRecordAnalyzer::AddDataRunListfromFileRecordBuffer(record, runs, 0, nullptr) || runs.IsEmpty()) {
    return false;
  }
  m_runs = std::move(runs);
  m_recordBytes = static_cast<uint32_t>(std::max(record.GetSize(), ntfs_record::kMinRecordSize));
  m_sectorsPerCluster = spc;
  m_sector = sector;
  return true;
}

bool CMFTInfo::InitFromBuffer(uint8_t* buffer, int size, int64_t sector, uint32_t sectorSize) {
  CNTFSFileRecord record(buffer, size, 0);
  return record.IsValid() && InitFromBuffer(record, sector, sectorSize);
}

CMFTInfo* CMFTInfo::Build(const CNTFSFileRecord& record, int64_t sector, uint32_t sectorSize) {
  auto info = std::make_unique<CMFTInfo>();
  if (!info->InitFromBuffer(record, sector, sectorSize) || info->GetFirstClusterNO() < 0) return nullptr;
  return info.release();
}

int64_t CMFTInfo::GetFirstClusterNO() const { return FirstCluster(m_runs); }

void CMFTInfo::GetNTFSDataRunList(CNTFSDataRunList& out) const {
  for (const CDataRun& run : m_runs.GetRuns()) out.AddDataRun(run);
}

// ---- ordinary records ------------------------------------------------------

bool CCommonFileRecordInfo::InitFromBuffer(const CNTFSFileRecord& record, int64_t sector) {
  if (!record.IsValid()) return false;
  m_directory = record.IsFolder() ? 1 : 0;
  if (record.HasXPNumberOfthisMFTRecord()) m_number = record.GetXPNumberOfthisMFTRecord();
  const int64_t second = ParentOfName(record, 1);
  const int64_t first = ParentOfName(record, 0);
  m_parent = second >= 5 ? second : (first >= 5 ? first : -1);
  m_sector = sector;
  return true;
}

bool CCommonFileRecordInfo::InitFromBuffer(uint8_t* buffer, int size, int64_t sector) {
  CNTFSFileRecord record(buffer, size, 0);
  return record.IsValid() && InitFromBuffer(record, sector);
}
