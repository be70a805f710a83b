// The NTFS searcher of the complete scan. It looks at every sector of every
// block for the NTFS structures that outlive a lost partition table or boot
// sector (boot sectors and their backups, FILE records of the master file
// table and its mirror, index pages of known folders), turns them into
// candidate partitions and remembers where ordinary FILE records lie. When
// the scan ends it scores the candidates and drops the weak ones.
//
// Everything the searcher carries from one block to the next (a FILE record
// or index page cut by a block end) lives in the searcher, and is dropped
// when blocks do not follow each other or a sector cannot be read: a sector
// that cannot be read is never examined, and never stands in for another.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <vector>

#include "FileSystemSearchController.h"
#include "device/SectorSizeDevice.h"
#include "ntfs/MetaFileRecordGroupinMFTAnalyzer.h"
#include "ntfs/NTFSMetaFileAnalyzers.h"
#include "ntfs/NTFSSearchInfo.h"
#include "ntfs/SearchedNTFSPartitionInfo.h"

class CNTFSDBR;
class CNTFSFileRecord;

// What an index page says about itself.
struct CIndexRecordInfo {
  int64_t sector = -1;
  int64_t vcn = -1;
  uint64_t logFileSequenceNumber = 0;
  int64_t parent = -1;
};

class CNTFSSearchController final : public ICompleteFileSystemSearchController {
 public:
  static constexpr int kIndexRecordBytes = 4096;

  CNTFSSearchController();
  ~CNTFSSearchController() override;
  CNTFSSearchController(const CNTFSSearchController&) = delete;
  CNTFSSearchController& operator=(const CNTFSSearchController&) = delete;

  void SetDirecotryTreeBuilder(IDirecotryTreeBuilder* builder) override { m_treeBuilder = builder; }
  // With a null array, the number of candidates; with room for all of them,
  // a new record per candidate (in start order, its partition index its
  // place there), owned by the caller; otherwise nothing is written. Answers
  // the number of candidates.
  int GetSearchedPartitionInfo(CSearchedPartitionInfo** array, int capacity) override;
  void SetDevice(IStorageDevice* device) override;
  void SetBlockSize(int sectors) override;
  void PreparetoSearch() override;
  // With `build` 0 nothing happens; otherwise the candidates are scored and
  // filtered and the NTFS tree is finished.
  void EndSearch(int build) override;
  // Always answers 1 (a success code); unreadable sectors are logged. The
  // block is borrowed from the scan's cache where it can be.
  ResultCode AnalyzeBlock(int64_t firstSector, int64_t sectorCount) override;
  void EndBlockPass() override;

  // The candidates as they stand (owned by the searcher).
  const NTFSCandidateSet& GetCandidates() const { return m_candidates; }
  const std::vector<std::unique_ptr<CMFTInfo>>& GetMFTInfoContainer() const { return m_mfts; }
  const std::vector<CCommonFileRecordPositionInfo>& GetCommonFileRecordPositionInfoList() const { return m_positions; }

 private:
  struct Pending {
    int64_t sector = -1;  // first sector kept, -1 for none
    int64_t sectors = 0;  // whole sectors kept
    std::vector<uint8_t> bytes;
  };

  void ReadBlock(int64_t first, int64_t count);
  void DropPending();

  void AnalyzeNTFSDBRSector(int64_t sector, const uint8_t* buffer);
  CandidatePtr BuildPartitionInfoFromDBR(const CNTFSDBR& dbr, int64_t start, uint32_t flag) const;
  bool AdjustPartitionInfoAccordingtoLastBootRecord(const CSearchedNTFSPartitionInfo& backup);

  void AnalyzeIndexRecord(int64_t sector, const uint8_t* buffer, int64_t available);
  void AnalyzeIndexRecordBuffer(int64_t sector, const uint8_t* page);
  void PlaceFromIndexRecord(const CIndexRecordInfo& page, const CFolderIndexAllocationInfo& folder);
  void AdjustPartitionInfoAccordingtoFreshSearchedIndexRecord(CandidatePtr candidate);

  void AnalyzeNTFSFileRecordSector(int64_t sector, const uint8_t* buffer, int64_t available);
  // The record of `bytes` bytes at `sector` (`buffer` holds that many).
  void AnalyzeFileRecordBuffer(int64_t sector, const uint8_t* buffer, int64_t bytes);
  void AnalyzeFolderFileRecordHavingIndexAllocation(int64_t sector, const CNTFSFileRecord& record);
  // An ordinary base record of `sectorsPerRecord` sectors (not past a cap):
  // joins the run of records it follows or starts a new one.
  void AnalyzeNormalFileRecord(int64_t sector, int64_t sectorsPerRecord);

  IDirecotryTreeBuilder* m_treeBuilder = nullptr;
  // The device the pass hands its blocks from (the scan's cache), and what
  // the searcher reads and counts in: the same device, or, when its sectors
  // are larger, a view of it in 512-byte sectors. A volume made for 512-byte
  // sectors keeps its boot sector, FILE records and index pages at 512-byte
  // boundaries, whatever sectors the enclosure it now sits in shows.
  IStorageDevice* m_source = nullptr;
  std::unique_ptr<CSectorSizeDevice> m_units;
  int64_t m_unitsPerSector = 1;
  IStorageDevice* m_device = nullptr;
  int m_sectorsPerBlock = 0;  // the source's sectors
  uint32_t m_sectorSize = 512;
  int64_t m_sectorsPerIndexRecord = 8;
  int64_t m_nextSector = -1;  // where the next block must start for joins to hold
  bool m_prepared = false;

  const uint8_t* m_data = nullptr;    // the block being examined: borrowed, or m_block
  std::vector<uint8_t> m_block;       // a block that could not be borrowed
  std::vector<uint8_t> m_unreadable;  // per sector of the block: 1 when it could not be read
  std::vector<uint8_t> m_record;      // the FILE record being examined (room for the largest)
  Pending m_pendingRecord;
  Pending m_pendingIndex;

  std::multimap<int64_t, CIndexRecordInfo> m_indexRecords;                        // by parent folder
  std::multimap<int64_t, std::unique_ptr<CFolderIndexAllocationInfo>> m_folders;  // by folder number
  NTFSCandidateSet m_candidates;
  std::vector<std::unique_ptr<CMFTMirrInfo>> m_mirrors;
  std::vector<CMFTFilesPair> m_pairs;
  std::vector<std::unique_ptr<CMFTInfo>> m_mfts;
  std::vector<CCommonFileRecordPositionInfo> m_positions;

  CNTFSPartitionInfoBuilder m_builder;
  std::unique_ptr<CMetaFileRecordGroupinMFTAnalyzer> m_groupAnalyzer;
  std::unique_ptr<CAttrDefFileAnalyzer> m_attrDefAnalyzer;
  std::unique_ptr<CUpCaseFileAnalyzer> m_upCaseAnalyzer;
  std::unique_ptr<CLogFileAnalyzer> m_logAnalyzer;
};
