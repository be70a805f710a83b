// Recognition of the volume's own files (metafiles) by their records, of
// folders whose index spilled into index pages, and the cluster-number test
// of the complete scan.
#pragma once

#include <cstdint>

class CNTFSFileRecord;

class CMetaFileRecordTypeAnalyzer {
 public:
  static constexpr uint32_t kNotMetaFile = 0xFFFFFFFF;

  struct Row {
    uint32_t recordNumber;
    const wchar_t* name;
  };
  // The metafile names and the record numbers they usually have, in the
  // order they are looked up.
  static const Row* GetTable(int* rows);

  // The table's record number for a metafile record (see
  // IsValidMetaFileRecord), or kNotMetaFile.
  static uint32_t GetMetaFileRecordIndex(const CNTFSFileRecord& record);
  // A valid base record whose first $FILE_NAME is one of the table's names
  // (case-sensitive) and whose first $STANDARD_INFORMATION has both the
  // hidden (0x02) and system (0x04) bits.
  static bool IsValidMetaFileRecord(const CNTFSFileRecord& record);
  // A valid record with both bits whose first $FILE_NAME is `name`.
  static bool IsValidMetaFileRecord(const CNTFSFileRecord& record, const wchar_t* name);
  // The same on a raw record buffer of `size` bytes, handed back unchanged.
  static bool IsValidMetaFileRecord(uint8_t* buffer, const wchar_t* name, int size = 1024);

  static bool IsValidMFTFileRecord(const CNTFSFileRecord& record);
  static bool IsValidMFTMirrFileRecord(const CNTFSFileRecord& record);
  static bool IsValidLogFileRecord(const CNTFSFileRecord& record);
  static bool IsValidVolumeFileRecord(const CNTFSFileRecord& record);
  static bool IsValidAttrDefFileRecord(const CNTFSFileRecord& record);
  static bool IsValidUpCaseFileRecord(const CNTFSFileRecord& record);
  static bool IsValidBitmapFileRecord(const CNTFSFileRecord& record);
};

class CFolderFileRecordAnalyzer {
 public:
  // A folder record (directory flag) whose first $INDEX_ALLOCATION exists and
  // is non-resident; `buffer` holds `size` bytes and is handed back unchanged.
  static bool IsValidFolderFileRecordHavingIndexAllocation(uint8_t* buffer, int size = 1024);
};

namespace NTFSPublicFunction {
// Whether device sector `sector` starts cluster `cluster` of a volume whose
// cluster 0 is at `startSector`. False for a cluster size that is not 1 or
// an even number of sectors.
bool IsClusterNOMatch(int64_t sector, int64_t cluster, int64_t startSector, uint32_t sectorsPerCluster);
}  // namespace NTFSPublicFunction
