#include "ntfs/NTFSSearchInfo.h"

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
