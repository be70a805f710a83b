// Record-level collection of a file's data runs, and the guess of the
// cluster size from a file's size and its runs.
#pragma once

#include <cstdint>

#include "ntfs/NTFSDataRunList.h"

class CNTFSFileRecord;

// The sector size that the cluster-size guess divides by when the caller
// gives none: 512 unless set to a non-zero multiple of 512 (other values are
// ignored). Process-wide; scans that know their device pass the size
// explicitly instead.
void SetNTFSSectorSize(uint32_t sectorSize);
uint32_t GetNTFSSectorSize();

class CNTFSFileRecordAnalyzer {
 public:
  // Appends the runs of every unnamed non-resident $DATA of the record to
  // `list`, each shifted by its start VCN, and gives back the real size of
  // the instance that starts at VCN 0. An invalid record, a resident unnamed
  // $DATA or (with `verify`) an uncompressed instance whose runs do not cover
  // its VCN range answer false; a record without $DATA answers true.
  static bool AddDataRunListfromFileRecordBuffer(const CNTFSFileRecord& record, CNTFSDataRunList& list, int verify,
                                                 int64_t* realSize);
  // The same on a raw record buffer of `size` bytes (at least 1024), which is
  // wrapped in a view for the walk and handed back as it came.
  static bool AddDataRunListfromFileRecordBuffer(uint8_t* buffer, int size, CNTFSDataRunList& list, int verify,
                                                 int64_t* realSize);
  // Appends the runs of one non-resident attribute shifted by its start VCN.
  // Named or invalid attributes are skipped (answer false, nothing added).
  // `realSize` is set when the runs are not empty.
  static bool AddDataRunListfromNonResidentAttributeBuffer(const uint8_t* attr, int64_t* realSize, int64_t& startVCN,
                                                           CNTFSDataRunList& list);
  // The cluster-size guess for the record's unnamed $DATA; false when its
  // runs cannot be collected. `sectorsPerCluster` is 0 when no guess fits.
  static bool GetSectorsPerClusterfrom0x80(const CNTFSFileRecord& record, uint8_t& sectorsPerCluster,
                                           uint32_t sectorSize);
  static bool GetSectorsPerClusterfrom0x80(const CNTFSFileRecord& record, uint8_t& sectorsPerCluster);

  // bytes / clusters / sectorSize, raised to a whole number and then to the
  // next of 1, 2, 4, ... 128; 0 above 128 or when there is nothing to divide.
  static uint8_t GuessSectorsPerCluster(int64_t bytes, int64_t clusters, uint32_t sectorSize);

  // The metafile and folder tests of CMetaFileRecordTypeAnalyzer and
  // CFolderFileRecordAnalyzer on a raw record buffer of `size` bytes, which
  // is handed back unchanged.
  static uint32_t GetMetaFileRecordIndex(uint8_t* buffer, int size = 1024);
  static bool IsValidMetaFileRecord(uint8_t* buffer, int size = 1024);
  static bool IsValidMetaFileRecord(uint8_t* buffer, const wchar_t* name, int size = 1024);
  static bool IsValidMFTFileRecord(uint8_t* buffer, int size = 1024);
  static bool IsValidMFTMirrFileRecord(uint8_t* buffer, int size = 1024);
  static bool IsValidLogFileRecord(uint8_t* buffer, int size = 1024);
  static bool IsValidVolumeFileRecord(uint8_t* buffer, int size = 1024);
  static bool IsValidAttrDefFileRecord(uint8_t* buffer, int size = 1024);
  static bool IsValidUpCaseFileRecord(uint8_t* buffer, int size = 1024);
  static bool IsValidBitmapFileRecord(uint8_t* buffer, int size = 1024);
  static bool IsValidFolderFileRecordHavingIndexAllocation(uint8_t* buffer, int size = 1024);
};
