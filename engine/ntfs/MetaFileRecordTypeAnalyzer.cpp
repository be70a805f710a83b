#include "ntfs/MetaFileRecordTypeAnalyzer.h"

#include "ntfs/NTFSFileRecord.h"
#include "ntfs/NTFSFileRecordAttribute.h"

namespace {

constexpr CMetaFileRecordTypeAnalyzer::Row kTable[] = {
    {0, L"$MFT"},     {1, L"$MFTMirr"},  {2, L"$LogFile"}, {3, L"$Volume"}, {4, L"$AttrDef"},
    {5, L"."},        {6, L"$Bitmap"},   {7, L"$Boot"},    {8, L"$BadClus"}, {9, L"$Secure"},
    {10, L"$UpCase"}, {11, L"$Extend"},  {32, L"$Quota"},  {33, L"$ObjId"}, {34, L"$Reparse"},
};
constexpr uint32_t kHiddenSystem = 0x02 | 0x04;

// The record's first $FILE_NAME when its name lies inside the record.
const uint8_t* FirstFileName(const CNTFSFileRecord& record) {
  const uint8_t* fn = record.FindAttibute(0x30, 0);
  if (fn == nullptr) return nullptr;
  const int left = record.GetSize() - static_cast<int>(fn - record.GetBuffer());
  return CNTFSFileRecordFileNameAttribute::IsValid(fn, left) ? fn : nullptr;
}

bool HasHiddenAndSystem(const CNTFSFileRecord& record) {
  const uint8_t* si = record.FindAttibute(0x10, 0);
  if (si == nullptr) return false;
  const int left = record.GetSize() - static_cast<int>(si - record.GetBuffer());
  if (!CNTFSFileRecordStandardInformationAttribute::IsValid(si, left)) return false;
  return (CNTFSFileRecordStandardInformationAttribute::GetDosFilePermission(si) & kHiddenSystem) == kHiddenSystem;
}

}  // namespace

const CMetaFileRecordTypeAnalyzer::Row* CMetaFileRecordTypeAnalyzer::GetTable(int* rows) {
  if (rows != nullptr) *rows = static_cast<int>(sizeof kTable / sizeof kTable[0]);
  return kTable;
}

uint32_t CMetaFileRecordTypeAnalyzer::GetMetaFileRecordIndex(const CNTFSFileRecord& record) {
  if (!record.IsValid() || record.IsExtendFileRecord()) return kNotMetaFile;
  const uint8_t* fn = FirstFileName(record);
  if (fn == nullptr || !HasHiddenAndSystem(record)) return kNotMetaFile;
  for (const Row& row : kTable) {
    if (CNTFSFileRecordFileNameAttribute::IsFileNameEqual(fn, row.name)) return row.recordNumber;
  }
  return kNotMetaFile;
}

bool CMetaFileRecordTypeAnalyzer::IsValidMetaFileRecord(const CNTFSFileRecord& record) {
  return GetMetaFileRecordIndex(record) != kNotMetaFile;
}

bool CMetaFileRecordTypeAnalyzer::IsValidMetaFileRecord(const CNTFSFileRecord& record, const wchar_t* name) {
  if (!record.IsValid() || name == nullptr || !HasHiddenAndSystem(record)) return false;
  const uint8_t* fn = FirstFileName(record);
  return fn != nullptr && CNTFSFileRecordFileNameAttribute::IsFileNameEqual(fn, name);
}

bool CMetaFileRecordTypeAnalyzer::IsValidMetaFileRecord(uint8_t* buffer, const wchar_t* name, int size) {
  CNTFSFileRecord record(buffer, size, 0);
  return IsValidMetaFileRecord(record, name);
}

bool CMetaFileRecordTypeAnalyzer::IsValidMFTFileRecord(const CNTFSFileRecord& r) {
  return IsValidMetaFileRecord(r, L"$MFT");
}
bool CMetaFileRecordTypeAnalyzer::IsValidMFTMirrFileRecord(const CNTFSFileRecord& r) {
  return IsValidMetaFileRecord(r, L"$MFTMirr");
}
bool CMetaFileRecordTypeAnalyzer::IsValidLogFileRecord(const CNTFSFileRecord& r) {
  return IsValidMetaFileRecord(r, L"$LogFile");
}
bool CMetaFileRecordTypeAnalyzer::IsValidVolumeFileRecord(const CNTFSFileRecord& r) {
  return IsValidMetaFileRecord(r, L"$Volume");
}
bool CMetaFileRecordTypeAnalyzer::IsValidAttrDefFileRecord(const CNTFSFileRecord& r) {
  return IsValidMetaFileRecord(r, L"$AttrDef");
}
bool CMetaFileRecordTypeAnalyzer::IsValidUpCaseFileRecord(const CNTFSFileRecord& r) {
  return IsValidMetaFileRecord(r, L"$UpCase");
}
bool CMetaFileRecordTypeAnalyzer::IsValidBitmapFileRecord(const CNTFSFileRecord& r) {
  return IsValidMetaFileRecord(r, L"$Bitmap");
}

bool CFolderFileRecordAnalyzer::IsValidFolderFileRecordHavingIndexAllocation(uint8_t* buffer, int size) {
  CNTFSFileRecord record(buffer, size, 0);
  if (!record.IsValid() || !record.IsFolder()) return false;
  const uint8_t* allocation = record.FindAttibute(0xA0, 0);
  return allocation != nullptr && !CNTFSFileRecordAttribute::IsResident(allocation);
}

bool NTFSPublicFunction::IsClusterNOMatch(int64_t sector, int64_t cluster, int64_t startSector,
                                          uint32_t sectorsPerCluster) {
  if (sectorsPerCluster == 0 || (sectorsPerCluster != 1 && sectorsPerCluster % 2 != 0)) return false;
  int64_t offset;
  if (__builtin_sub_overflow(sector, startSector, &offset)) return false;
  const int64_t spc = sectorsPerCluster;
  return offset % spc == 0 && offset / spc == cluster;
}
