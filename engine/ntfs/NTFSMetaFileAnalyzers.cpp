#include "ntfs/NTFSMetaFileAnalyzers.h"

#include <cstring>

#include "OnDiskBytes.h"
#include "ntfs/SearchedNTFSPartitionInfo.h"

void CAttrDefFileAnalyzer::CalcAttrDefMatch(CSearchedNTFSPartitionInfo& candidate) const {
  candidate.SetAttrDefRecordSector(-1);
  candidate.SetAttrDefMatchedCount(0);
}

void CUpCaseFileAnalyzer::CalcUpcaseMatch(CSearchedNTFSPartitionInfo& candidate) const {
  candidate.SetUpCaseRecordSector(-1);
  candidate.SetUpCaseMatchedCount(0);
}

void CLogFileAnalyzer::CalcLogFileMatch(CSearchedNTFSPartitionInfo& candidate) const {
  candidate.SetLogFileRecordSector(-1);
  candidate.SetLogFileMatchedCount(0);
}

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
