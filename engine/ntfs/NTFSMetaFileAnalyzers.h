// The analysers that read a volume's $AttrDef, $UpCase and $LogFile contents
// during a complete scan. For now they only recognise restart pages (so that
// such a sector is not taken for the start of an index page) and answer
// "nothing matched" for every candidate: a candidate's score then rests on
// its boot sectors and master file table alone.
#pragma once

#include <cstdint>

class CNTFSFileRecord;
class CSearchedNTFSPartitionInfo;

class CAttrDefFileAnalyzer {
 public:
  void AnalyzeAttrDefFileRecord(int64_t, const CNTFSFileRecord&) {}
  void AnalyzeSectorBuffer(int64_t, const uint8_t*) {}
  // No record known: no record sector, nothing matched.
  void CalcAttrDefMatch(CSearchedNTFSPartitionInfo& candidate) const;
};

class CUpCaseFileAnalyzer {
 public:
  void AnalyzeUpCaseFileRecord(int64_t, const CNTFSFileRecord&) {}
  void AnalyzeSectorBuffer(int64_t, const uint8_t*) {}
  void CalcUpcaseMatch(CSearchedNTFSPartitionInfo& candidate) const;
};

class CLogFileAnalyzer {
 public:
  static constexpr int kPageBytes = 4096;
  // A restart page: at least a page of bytes, "RSTR", "NTFS" in UTF-16LE at
  // 0x90, and the update-sequence number at the end of each 512-byte sector.
  static bool IsValidRSTRRecord(const uint8_t* buffer, int64_t bytes);
  void AnalyzeRSTRRecord(int64_t, const uint8_t*, int64_t) {}
  void AnalyzeRCRDRecord(const uint8_t*, int64_t, int64_t) {}
  void AnalyzeLogFileFileRecord(int64_t, const CNTFSFileRecord&) {}
  bool IsaMetaFileRecordNotNeedtoCount() const { return false; }
  void CalcLogFileMatch(CSearchedNTFSPartitionInfo& candidate) const;
};
