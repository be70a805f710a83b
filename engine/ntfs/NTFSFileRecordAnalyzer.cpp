#include "ntfs/NTFSFileRecordAnalyzer.h"

#include <atomic>

#include "ntfs/MetaFileRecordTypeAnalyzer.h"
#include "ntfs/NTFSFileRecord.h"
#include "ntfs/NTFSFileRecordAttribute.h"

namespace {
std::atomic<uint32_t> g_sectorSize{512};
}

void SetNTFSSectorSize(uint32_t sectorSize) {
  if (sectorSize != 0 && sectorSize % 512 == 0) g_sectorSize.store(sectorSize, std::memory_order_relaxed);
}

uint32_t GetNTFSSectorSize() { return g_sectorSize.load(std::memory_order_relaxed); }

uint8_t CNTFSFileRecordAnalyzer::GuessSectorsPerCluster(int64_t bytes, int64_t clusters, uint32_t sectorSize) {
  if (bytes <= 0 || clusters <= 0 || sectorSize == 0) return 0;
  const unsigned __int128 divisor = static_cast<unsigned __int128>(clusters) * sectorSize;
  const unsigned __int128 sectors = (static_cast<unsigned __int128>(bytes) + divisor - 1) / divisor;
  for (unsigned spc = 1; spc <= 128; spc *= 2) {
    if (sectors <= spc) return static_cast<uint8_t>(spc);
  }
  return 0;
}

bool CNTFSFileRecordAnalyzer::AddDataRunListfromNonResidentAttributeBuffer(const uint8_t* attr, int64_t* realSize,
                                                                           int64_t& startVCN,
                                                                           CNTFSDataRunList& list) {
  if (attr == nullptr || CNTFSFileRecordAttribute::IsNamed(attr) || CNTFSFileRecordAttribute::IsResident(attr)) {
    return false;
  }
  const uint8_t* runs = CNTFSFileRecordDataRunsAttribute::GetDataRunsBuffer(attr);
  if (runs == nullptr) return false;
  startVCN = CNTFSFileRecordDataRunsAttribute::GetStartVCN(attr);
  const size_t before = list.GetCount();
  if (!list.AddDataRunsfromBuffer(runs, CNTFSFileRecordDataRunsAttribute::GetDataRunsLength(attr), startVCN)) {
    return false;
  }
  if (realSize != nullptr && list.GetCount() != before) {
    *realSize = CNTFSFileRecordAttribute::GetRealSizeOfAttribute(attr);
  }
  return true;
}

bool CNTFSFileRecordAnalyzer::AddDataRunListfromFileRecordBuffer(const CNTFSFileRecord& record,
                                                                 CNTFSDataRunList& list, int verify,
                                                                 int64_t* realSize) {
  if (!record.IsValid()) return false;
  const uint8_t* buffer = record.GetBuffer();
  const int size = record.GetSize();
  const uint32_t count = CNTFSFileRecord::GetAttibuteCountofSpecifiedType(buffer, size, ntfs_record::kData);
  for (uint32_t i = 0; i < count; ++i) {
    const uint8_t* attr = CNTFSFileRecord::FindAttibute(buffer, size, ntfs_record::kData, i);
    if (attr == nullptr) return false;
    if (!CNTFSFileRecordAttribute::IsResident(attr) && CNTFSFileRecordDataRunsAttribute::GetDataRunsLength(attr) < 1) {
      return false;
    }
    if (CNTFSFileRecordAttribute::IsNamed(attr)) continue;
    if (CNTFSFileRecordAttribute::IsResident(attr)) return false;
    const int64_t first = CNTFSFileRecordDataRunsAttribute::GetStartVCN(attr);
    if (verify != 0 && !CNTFSFileRecordAttribute::IsCompressed(attr)) {
      // The runs must cover exactly the VCN range the header announces.
      const __int128 span =
          static_cast<__int128>(CNTFSFileRecordDataRunsAttribute::GetLastVCN(attr)) + 1 - first;
      if (span != CNTFSFileRecordDataRunsAttribute::GetTotalClusters(attr)) return false;
    }
    int64_t size0 = 0;
    int64_t startVCN = 0;
    if (!AddDataRunListfromNonResidentAttributeBuffer(attr, &size0, startVCN, list)) return false;
    if (startVCN == 0 && realSize != nullptr) *realSize = size0;
  }
  return true;
}

bool CNTFSFileRecordAnalyzer::AddDataRunListfromFileRecordBuffer(uint8_t* buffer, int size, CNTFSDataRunList& list,
                                                                 int verify, int64_t* realSize) {
  CNTFSFileRecord record(buffer, size, 0);
  return AddDataRunListfromFileRecordBuffer(record, list, verify, realSize);
}

bool CNTFSFileRecordAnalyzer::GetSectorsPerClusterfrom0x80(const CNTFSFileRecord& record, uint8_t& sectorsPerCluster,
                                                           uint32_t sectorSize) {
  sectorsPerCluster = 0;
  CNTFSDataRunList list;
  int64_t realSize = 0;
  if (!AddDataRunListfromFileRecordBuffer(record, list, 1, &realSize)) return false;
  sectorsPerCluster = GuessSectorsPerCluster(realSize, list.GetTotalClusters(), sectorSize);
  return true;
}

bool CNTFSFileRecordAnalyzer::GetSectorsPerClusterfrom0x80(const CNTFSFileRecord& record,
                                                           uint8_t& sectorsPerCluster) {
  return GetSectorsPerClusterfrom0x80(record, sectorsPerCluster, GetNTFSSectorSize());
}

uint32_t CNTFSFileRecordAnalyzer::GetMetaFileRecordIndex(uint8_t* buffer, int size) {
  CNTFSFileRecord record(buffer, size, 0);
  return CMetaFileRecordTypeAnalyzer::GetMetaFileRecordIndex(record);
}

bool CNTFSFileRecordAnalyzer::IsValidMetaFileRecord(uint8_t* buffer, int size) {
  return GetMetaFileRecordIndex(buffer, size) != CMetaFileRecordTypeAnalyzer::kNotMetaFile;
}

bool CNTFSFileRecordAnalyzer::IsValidMetaFileRecord(uint8_t* buffer, const wchar_t* name, int size) {
  return CMetaFileRecordTypeAnalyzer::IsValidMetaFileRecord(buffer, name, size);
}

bool CNTFSFileRecordAnalyzer::IsValidMFTFileRecord(uint8_t* b, int size) {
  return IsValidMetaFileRecord(b, L"$MFT", size);
}
bool CNTFSFileRecordAnalyzer::IsValidMFTMirrFileRecord(uint8_t* b, int size) {
  return IsValidMetaFileRecord(b, L"$MFTMirr", size);
}
bool CNTFSFileRecordAnalyzer::IsValidLogFileRecord(uint8_t* b, int size) {
  return IsValidMetaFileRecord(b, L"$LogFile", size);
}
bool CNTFSFileRecordAnalyzer::IsValidVolumeFileRecord(uint8_t* b, int size) {
  return IsValidMetaFileRecord(b, L"$Volume", size);
}
bool CNTFSFileRecordAnalyzer::IsValidAttrDefFileRecord(uint8_t* b, int size) {
  return IsValidMetaFileRecord(b, L"$AttrDef", size);
}
bool CNTFSFileRecordAnalyzer::IsValidUpCaseFileRecord(uint8_t* b, int size) {
  return IsValidMetaFileRecord(b, L"$UpCase", size);
}
bool CNTFSFileRecordAnalyzer::IsValidBitmapFileRecord(uint8_t* b, int size) {
  return IsValidMetaFileRecord(b, L"$Bitmap", size);
}
bool CNTFSFileRecordAnalyzer::IsValidFolderFileRecordHavingIndexAllocation(uint8_t* buffer, int size) {
  return CFolderFileRecordAnalyzer::IsValidFolderFileRecordHavingIndexAllocation(buffer, size);
}
