// Candidate NTFS partitions of the complete scan: every NTFS structure found
// at some sector says that a partition begins at a computable sector. The
// evidence for one partition (same start, same cluster size) is merged into
// one candidate through its build-from flags; the candidates are scored when
// the scan ends and the weak ones dropped.
//
// Sectors here are device sectors, and sectors per cluster counts device
// sectors too.
#pragma once

#include <cstdint>
#include <memory>
#include <set>
#include <vector>

#include "SearchedPartitionInfo.h"

class CFileNode;

// What a candidate rests on (build-from flags).
namespace ntfs_evidence {
inline constexpr uint32_t kBootSector = 1;        // a boot sector at its first sector
inline constexpr uint32_t kBackupBootSector = 2;  // a boot sector at its last sector
inline constexpr uint32_t kMFTWithMirror = 4;     // $MFT confirmed by its $MFTMirr
inline constexpr uint32_t kMFTAlone = 8;          // a $MFT record alone
inline constexpr uint32_t kMirrorAlone = 16;      // $MFTMirr whose $MFT is not where it points
inline constexpr uint32_t kIndexRecord = 32;      // an index page of a known folder
inline constexpr uint32_t kFirstRestartPage = 64;
inline constexpr uint32_t kSecondRestartPage = 128;
}  // namespace ntfs_evidence

class CSearchedNTFSPartitionInfo : public CSearchedPartitionInfo {
 public:
  explicit CSearchedNTFSPartitionInfo(uint32_t sectorSize);

  int GetType() const override { return 0; }
  bool IsFileNodeBelongSelf(CFileNode*) const { return false; }
  int UpdateFileNodeProperty(CFileNode*) { return 0; }

  int64_t GetSerialNumber() const { return m_serial; }
  void SetSerialNumber(int64_t serial) { m_serial = serial; }
  uint32_t GetSectorsperFileRecord() const { return m_sectorsPerFileRecord; }
  void SetSectorsperFileRecord(uint32_t sectors) { m_sectorsPerFileRecord = sectors; }
  uint32_t GetPartitionBuildFromFlags() const { return m_flags; }
  void SetPartitionBuildFromFlag(uint32_t flags) { m_flags = flags; }
  void AddPartitionBuildFromFlag(uint32_t flags) { m_flags |= flags; }
  bool IsMFTFound() const { return m_mftFound != 0; }
  void SetMFTFound(bool found) { m_mftFound = found ? 1 : 0; }

  int64_t GetClusterCount() const { return m_clusterCount; }
  // Sets the cluster count and the total sectors it makes.
  void SetClusterCount(int64_t clusters);

  int64_t GetLogFileMatchedCount() const { return m_logMatched; }
  void SetLogFileMatchedCount(int64_t count) { m_logMatched = count; }
  int64_t GetAttrDefMatchedCount() const { return m_attrDefMatched; }
  void SetAttrDefMatchedCount(int64_t count) { m_attrDefMatched = count; }
  int64_t GetUpCaseMatchedCount() const { return m_upCaseMatched; }
  void SetUpCaseMatchedCount(int64_t count) { m_upCaseMatched = count; }
  int64_t GetMFTRecordSector() const { return m_mftSector; }
  void SetMFTRecordSector(int64_t sector) { m_mftSector = sector; }
  int64_t GetLogFileRecordSector() const { return m_logSector; }
  void SetLogFileRecordSector(int64_t sector) { m_logSector = sector; }
  int64_t GetAttrDefRecordSector() const { return m_attrDefSector; }
  void SetAttrDefRecordSector(int64_t sector) { m_attrDefSector = sector; }
  int64_t GetUpCaseRecordSector() const { return m_upCaseSector; }
  void SetUpCaseRecordSector(int64_t sector) { m_upCaseSector = sector; }
  int64_t GetBitmapSizeInSectors() const { return m_bitmapSectors; }
  void SetBitmapSizeInSectors(int64_t sectors) { m_bitmapSectors = sectors; }

  // The reliability score of the evidence gathered (at most 140).
  uint64_t CalcFileSystemReliabilityScore() const;

 private:
  int64_t m_serial = 0;
  uint32_t m_sectorsPerFileRecord = 2;
  uint32_t m_flags = 0;
  uint32_t m_mftFound = 0;
  int64_t m_clusterCount = -1;
  int64_t m_logMatched = -1;
  int64_t m_attrDefMatched = -1;
  int64_t m_upCaseMatched = -1;
  int64_t m_mftSector = -1;
  int64_t m_logSector = -1;
  int64_t m_attrDefSector = -1;
  int64_t m_upCaseSector = -1;
  int64_t m_bitmapSectors = -1;
};

// Candidates stand for the same partition when start and cluster size agree.
struct CSearchedNTFSPartitionInfoLessThan {
  using is_transparent = void;
  bool operator()(const CSearchedNTFSPartitionInfo* a, const CSearchedNTFSPartitionInfo* b) const {
    if (a->GetFirstDataSector() != b->GetFirstDataSector()) return a->GetFirstDataSector() < b->GetFirstDataSector();
    return a->GetSectorsperCluster() < b->GetSectorsperCluster();
  }
  bool operator()(const std::unique_ptr<CSearchedNTFSPartitionInfo>& a,
                  const std::unique_ptr<CSearchedNTFSPartitionInfo>& b) const {
    return (*this)(a.get(), b.get());
  }
  bool operator()(const std::unique_ptr<CSearchedNTFSPartitionInfo>& a, const CSearchedNTFSPartitionInfo* b) const {
    return (*this)(a.get(), b);
  }
  bool operator()(const CSearchedNTFSPartitionInfo* a, const std::unique_ptr<CSearchedNTFSPartitionInfo>& b) const {
    return (*this)(a, b.get());
  }
};

using CandidatePtr = std::unique_ptr<CSearchedNTFSPartitionInfo>;
using NTFSCandidateSet = std::multiset<CandidatePtr, CSearchedNTFSPartitionInfoLessThan>;

// The cluster sizes tried when a structure does not tell its own.
inline constexpr uint32_t NTFS_SUPPORTED_SECTORS_PER_CLUSTER[] = {1, 2, 4, 8, 16, 32, 64, 128};

class CNTFSPartitionInfoBuilder {
 public:
  explicit CNTFSPartitionInfoBuilder(NTFSCandidateSet& candidates) : m_candidates(candidates) {}

  void SetDeviceTotalSectors(int64_t sectors) { m_deviceTotal = sectors; }
  int64_t GetDeviceTotalSectors() const { return m_deviceTotal; }

  // A candidate for a structure at `sector` that lies in cluster `cluster`:
  // it starts `cluster` clusters earlier and reaches to the device's end.
  // Null when that start is before sector 0 or fewer than 8 sectors before
  // the structure.
  static CandidatePtr BuildPartitionInfoAccordingtoFileRecord(int64_t sector, int64_t cluster,
                                                              uint32_t sectorsPerCluster, uint32_t flags,
                                                              int64_t deviceTotal, uint32_t sectorSize);
  // The same for every supported cluster size, appended to `out`.
  static void BuildPartitionInfoAccordingtoFileRecord(int64_t sector, int64_t cluster, uint32_t flags,
                                                      int64_t deviceTotal, std::vector<CandidatePtr>& out,
                                                      uint32_t sectorSize);

  // Every candidate equal to `candidate` loses the `remove` bits and gains
  // `add`; one left without any flag (only possible when `add` is 0) is
  // dropped. Answers whether there was an equal candidate.
  bool AdjustPartitionBuildFromFlag(const CSearchedNTFSPartitionInfo& candidate, uint32_t add, uint32_t remove);
  // The candidates equal to `candidate`.
  std::vector<CSearchedNTFSPartitionInfo*> Equal(const CSearchedNTFSPartitionInfo& candidate) const;
  // Keeps the candidate, unless the set holds kCandidateCap already (a disk
  // full of copied volumes must not exhaust memory).
  void Insert(CandidatePtr candidate);
  static constexpr size_t kCandidateCap = 500000;

 private:
  NTFSCandidateSet& m_candidates;
  int64_t m_deviceTotal = 0;
};
