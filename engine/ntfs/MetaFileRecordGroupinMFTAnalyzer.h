// Groups of FILE records that begin with a $MFT record: the first records of
// a master file table, or of its mirror copy. A group gives candidate
// partitions from where its $MFT and $MFTMirr records say the table and its
// mirror lie, and their size from $BadClus or $Bitmap.
#pragma once

#include <cstdint>
#include <memory>
#include <vector>

#include "ntfs/NTFSSearchInfo.h"
#include "ntfs/SearchedNTFSPartitionInfo.h"

class CNTFSFileRecord;

// Lists stop growing here; evidence beyond is ignored.
inline constexpr size_t kNTFSFoundRecordCap = 500000;

// A $MFT record and the $MFTMirr record of the same group (not owned).
struct CMFTFilesPair {
  const CMFTInfo* mft;
  const CMFTMirrInfo* mirror;
};

class CMetaFileRecordGroupinMFTAnalyzer {
 public:
  CMetaFileRecordGroupinMFTAnalyzer(std::vector<std::unique_ptr<CMFTInfo>>& mfts,
                                    std::vector<std::unique_ptr<CMFTMirrInfo>>& mirrors,
                                    CNTFSPartitionInfoBuilder& builder, std::vector<CMFTFilesPair>& pairs,
                                    uint32_t sectorSize);

  void SetDeviceTotalSectors(int64_t sectors) { m_deviceTotal = sectors; }

  // Called for every record position in ascending order, with the record
  // there (null or an invalid view when none is there).
  void AnalyzeNTFSMetaFileRecord(int64_t sector, const CNTFSFileRecord* record);
  // The same when the caller knows the record's metafile number already
  // (CMetaFileRecordTypeAnalyzer::GetMetaFileRecordIndex).
  void AnalyzeNTFSMetaFileRecord(int64_t sector, const CNTFSFileRecord* record, uint32_t index);
  // Ends the open group (at the end of the scan, or where reading failed).
  void Flush();
  // Whether a record of metafile number `index` is a $MFT or $MFTMirr
  // record past its cap.
  bool IsaMetaFileRecordNotNeedtoCount(uint32_t index) const;

 private:
  bool IsGroupEnd(int64_t sector, bool valid, uint32_t index) const;
  void AnalyzeGroup();
  void Reset();
  void AnalyzeSingleMFT(const CMFTInfo& mft);
  void AnalyzeMFTFilesPair(const CMFTFilesPair& pair);
  void AdjustPartitionSizeandMFTSector(CSearchedNTFSPartitionInfo& candidate) const;

  std::vector<std::unique_ptr<CMFTInfo>>& m_mfts;
  std::vector<std::unique_ptr<CMFTMirrInfo>>& m_mirrors;
  CNTFSPartitionInfoBuilder& m_builder;
  std::vector<CMFTFilesPair>& m_pairs;
  uint32_t m_sectorSize;
  int64_t m_sectorsPerRecord;
  int64_t m_deviceTotal = 0;

  const CMFTInfo* m_mft = nullptr;
  const CMFTMirrInfo* m_mirror = nullptr;
  int64_t m_groupStart = -1;
  int64_t m_bitmapClusters = -1;
  int64_t m_badClusterBytes = -1;
};
