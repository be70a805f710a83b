// One file system that a searcher found or scanned. Nodes refer to it by
// their partition index; copy-out uses it to turn a node's cluster runs into
// device sectors. Scanners derive their own kinds (GetType 0 NTFS, 1 FAT).
//
// Saved scan results keep it as a 104-byte little-endian record, written and
// read field by field:
//
//   offset size field
//        0    8 in-memory header: written as 0, ignored when read
//        8    8 private data: written as 0, read back as none
//       16    2 partition index (0xFFFF none)
//       18    2 padding, written as 0
//       20    4 file-system type (enumFILE_SYSTEM_TYPE)
//       24    4 sectors per cluster
//       28    4 padding, written as 0
//       32    8 first data sector: the device sector of cluster 0 of the
//               node runs (signed)
//       40    8 volume start sector (signed)
//       48    8 reserved word (signed), kept as is
//       56    8 matched-record count (signed)
//       64    4 sector size
//       68    4 reserved word, kept as is
//       72    8 total sectors
//       80    8 reliability score
//       88    8 ordering weight (IEEE double; copy-out puts larger first)
//       96    4 reserved word, kept as is
//      100    4 reserved word, kept as is
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "EngineTypes.h"

class IPrivateData;

class CSearchedPartitionInfo {
 public:
  static constexpr size_t kRecordSize = 104;
  static constexpr int kType = 4;

  // A sector size of 0 or one that is not a multiple of 512 becomes 512.
  explicit CSearchedPartitionInfo(uint32_t sectorSize);
  // Copies every field, the private-data pointer included; the kind of the
  // target stays what it is.
  CSearchedPartitionInfo(const CSearchedPartitionInfo& other) = default;
  CSearchedPartitionInfo& operator=(const CSearchedPartitionInfo& other) = default;
  virtual ~CSearchedPartitionInfo() = default;

  virtual int GetType() const;  // 4

  // Not owned: the searcher that attached it releases it.
  IPrivateData* GetPrivateData() const { return m_privateData; }
  void SetPrivateData(IPrivateData* data) { m_privateData = data; }
  uint16_t GetPartitionIndex() const { return m_partitionIndex; }
  void SetPartitionIndex(uint16_t index) { m_partitionIndex = index; }
  int GetFileSystemType() const { return m_fileSystemType; }
  void SetFileSystemType(int type) { m_fileSystemType = type; }
  uint32_t GetSectorsperCluster() const { return m_sectorsPerCluster; }
  void SetSectorsperCluster(uint32_t sectors) { m_sectorsPerCluster = sectors; }
  int64_t GetFirstDataSector() const { return m_firstDataSector; }
  void SetFirstDataSector(int64_t sector) { m_firstDataSector = sector; }
  // The volume start sector.
  int64_t GetStartSector() const { return m_startSector; }
  void SetStartSector(int64_t sector) { m_startSector = sector; }
  int64_t GetReservedWord() const { return m_reserved48; }
  void SetReservedWord(int64_t value) { m_reserved48 = value; }
  int64_t GetMatchedCount() const { return m_matchedCount; }
  void SetMatchedCount(int64_t count) { m_matchedCount = count; }
  uint32_t GetSectorSize() const { return m_sectorSize; }
  // Same rule as the constructor.
  void SetSectorSize(uint32_t sectorSize);
  uint64_t GetTotalSectors() const { return m_totalSectors; }
  void SetTotalSectors(uint64_t sectors) { m_totalSectors = sectors; }
  uint64_t GetReliabilityScore() const { return m_reliabilityScore; }
  void SetReliabilityScore(uint64_t score) { m_reliabilityScore = score; }
  double GetOrderWeight() const { return m_orderWeight; }
  void SetOrderWeight(double weight) { m_orderWeight = weight; }

  // Writes the 104-byte record.
  void WriteRecord(uint8_t* out) const;
  // Reads every field from bytes 16-103 of a record; the private data becomes
  // none. A stored sector size that breaks the constructor's rule is read as
  // 512, so that no reader divides by 0 or misaligns sectors.
  void ReadRecord(const uint8_t* in);

 private:
  IPrivateData* m_privateData = nullptr;
  uint16_t m_partitionIndex = 0xFFFF;
  int m_fileSystemType = FILE_SYSTEM_TYPE_UNKNOWN;
  uint32_t m_sectorsPerCluster = 0;
  int64_t m_firstDataSector = 0;
  int64_t m_startSector = 0;
  int64_t m_reserved48 = 0;
  int64_t m_matchedCount = 0;
  uint32_t m_sectorSize = 512;
  uint32_t m_reserved68 = 0;
  uint64_t m_totalSectors = 0;
  uint64_t m_reliabilityScore = 1;
  double m_orderWeight = 0.0;
  uint32_t m_reserved96 = 0;
  uint32_t m_reserved100 = 0;
};

class IFileSystemSearchController;

// The records `searcher` hands out, however many it found: asked with room
// for `firstQuery` first, and when it answers a larger count (how many it
// has) asked again with room for that many, at most 0xFFFF (what the first
// query handed over is deleted). Null entries are left out; the records are
// the caller's to delete.
std::vector<CSearchedPartitionInfo*> TakeSearchedPartitionInfo(IFileSystemSearchController* searcher, int firstQuery);
