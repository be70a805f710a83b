// What the NTFS searches remember of the FILE records they read: where a
// metafile record lies and what its $DATA runs are (CMetaFileInfo and its
// kinds), where the master file table lies (CMFTInfo), how big the volume's
// $Bitmap says it is, which folder owns an index allocation, where runs of
// ordinary records lie, and what an ordinary record says about its place in
// the tree (CCommonFileRecordInfo).
//
// Sectors are device sectors; -1 marks a value not found.
#pragma once

#include <cstdint>
#include <vector>

#include "ntfs/NTFSDataRunList.h"

class CNTFSFileRecord;
class IFileProperties;

class CMetaFileInfo {
 public:
  virtual ~CMetaFileInfo() = default;

  // Usable when the record is valid and its unnamed non-resident $DATA gives
  // at least one run; then keeps the runs, `sector` and the record's
  // $LogFile sequence number.
  virtual bool InitFromBuffer(const CNTFSFileRecord& record, int64_t sector);
  // The same on a raw buffer of `size` bytes, handed back unchanged.
  bool InitFromBuffer(uint8_t* buffer, int size, int64_t sector);

  int64_t GetSectorAddress() const { return m_sector; }
  // The LCN of VCN 0; -1 when the runs do not hold it.
  int64_t GetFirstClusterNO() const;
  const CNTFSDataRunList& GetDataRunList() const { return m_runs; }
  // Appends copies of the runs to `out`.
  void GetNTFSDataRunList(CNTFSDataRunList& out) const;
  uint64_t GetLogFileSequenceNumber() const { return m_logFileSequenceNumber; }
  // Same sector, sequence number and runs.
  bool Equals(const CMetaFileInfo& other) const;

 protected:
  int64_t m_sector = -1;
  CNTFSDataRunList m_runs;
  uint64_t m_logFileSequenceNumber = 0;
};

class CAttrDefFileInfo : public CMetaFileInfo {};
class CUpCaseFileInfo : public CMetaFileInfo {};

// $LogFile and $MFTMirr records also carry the cluster size their $DATA
// suggests (0 when nothing fits). `sectorSize` is the sector the guess counts
// in; the runs must pass the cluster-count check.
class CGuessedClusterMetaFileInfo : public CMetaFileInfo {
 public:
  explicit CGuessedClusterMetaFileInfo(uint32_t sectorSize = 512) : m_sectorSize(sectorSize) {}
  bool InitFromBuffer(const CNTFSFileRecord& record, int64_t sector) override;
  using CMetaFileInfo::InitFromBuffer;
  uint8_t GetSectorsPerCluster() const { return m_sectorsPerCluster; }

 private:
  uint32_t m_sectorSize;
  uint8_t m_sectorsPerCluster = 0;
};
class CLogFileInfo : public CGuessedClusterMetaFileInfo {
  using CGuessedClusterMetaFileInfo::CGuessedClusterMetaFileInfo;
};
class CMFTMirrInfo : public CGuessedClusterMetaFileInfo {
 public:
  using CGuessedClusterMetaFileInfo::CGuessedClusterMetaFileInfo;
  // A new usable record, or null; the caller owns it.
  static CMFTMirrInfo* Build(const CNTFSFileRecord& record, int64_t sector, uint32_t sectorSize);
};

class CMFTInfo {
 public:
  // Usable when the record's $DATA lets the cluster size be guessed (a
  // non-zero guess) and gives at least one run. `sectorSize` is the sector
  // the guess counts in (0: the process-wide NTFS sector size).
  bool InitFromBuffer(const CNTFSFileRecord& record, int64_t sector, uint32_t sectorSize = 0);
  bool InitFromBuffer(uint8_t* buffer, int size, int64_t sector, uint32_t sectorSize = 0);
  // A new usable record whose runs also place VCN 0, or null; the caller
  // owns it.
  static CMFTInfo* Build(const CNTFSFileRecord& record, int64_t sector, uint32_t sectorSize = 0);

  int64_t GetSectorAddress() const { return m_sector; }
  int64_t GetFirstClusterNO() const;
  const CNTFSDataRunList& GetDataRunList() const { return m_runs; }
  void GetNTFSDataRunList(CNTFSDataRunList& out) const;
  uint8_t GetSectorsPerFileRecord() const { return m_sectorsPerFileRecord; }
  void SetSectorsPerFileRecord(uint8_t sectors) { m_sectorsPerFileRecord = sectors; }
  uint8_t GetSectorsPerCluster() const { return m_sectorsPerCluster; }
  // The size of the table's records: its own record's.
  uint32_t GetFileRecordBytes() const { return m_recordBytes; }

 private:
  int64_t m_sector = -1;
  uint32_t m_recordBytes = 1024;
  CNTFSDataRunList m_runs;
  uint8_t m_sectorsPerFileRecord = 2;
  uint8_t m_sectorsPerCluster = 0;
};

class CBitmapFileInfo {
 public:
  // Usable when the $DATA runs pass the cluster-count check, hold at least
  // one cluster and the real size is positive.
  bool InitFromBuffer(const CNTFSFileRecord& record, int64_t sector);
  int64_t GetSectorAddress() const { return m_sector; }
  int64_t GetFileSize() const { return m_size; }

 private:
  int64_t m_sector = -1;
  int64_t m_size = -1;
};

// A folder whose index spilled into index pages: its record number and where
// the pages of its $INDEX_ALLOCATION lie.
class CFolderIndexAllocationInfo {
 public:
  // Usable for a base folder record with a non-resident $INDEX_ALLOCATION
  // whose runs decode and whose size suggests a cluster size, when the
  // folder's number is known (from the common parent of its index root's
  // entries, else from the record header) and is not the root folder's (5).
  bool InitFromBuffer(const CNTFSFileRecord& record, int64_t sector, uint32_t sectorSize);
  bool InitFromBuffer(uint8_t* buffer, int size, int64_t sector, uint32_t sectorSize);

  int64_t GetSectorAddress() const { return m_sector; }
  int64_t GetMFTFileRecordNumber() const { return m_number; }
  void SetMFTFileRecordNumber(int64_t number) { m_number = number; }
  uint32_t GetSectorsPerCluster() const { return m_sectorsPerCluster; }
  uint64_t GetLogFileSequenceNumber() const { return m_logFileSequenceNumber; }
  bool HasXPNumberOfthisMFTRecord() const { return m_hasOwnNumber != 0; }
  uint32_t GetXPNumberOfthisMFTRecord() const { return m_ownNumber; }
  const CNTFSDataRunList& GetDataRunList() const { return m_runs; }
  // The LCN of the run whose VCN is 0; -1 when none.
  int64_t GetFirstClusterNO() const;
  // The cluster holding `vcn`; -1 when no run (or a sparse one) holds it.
  int64_t GetLCN(int64_t vcn) const { return m_runs.GetLCN(vcn); }

 private:
  int64_t m_sector = -1;
  CNTFSDataRunList m_runs;
  uint64_t m_logFileSequenceNumber = 0;
  int64_t m_number = -1;
  uint32_t m_ownNumber = 0;
  uint32_t m_hasOwnNumber = 0;
  uint32_t m_sectorsPerCluster = 0;
};

// A run of consecutive ordinary FILE records.
class CCommonFileRecordPositionInfo {
 public:
  // A run of one record of `sectorsPerRecord` sectors at `sector`: volumes
  // choose their record size (1024 bytes mostly, 4096 on volumes made for
  // 4096-byte sectors), and every record of a table has the same.
  explicit CCommonFileRecordPositionInfo(int64_t sector = -1, int64_t sectorsPerRecord = 2)
      : m_first(sector),
        m_count(sector >= 0 ? 1 : 0),
        m_sectorsPerRecord(sectorsPerRecord > 0 ? sectorsPerRecord : 1) {}
  int64_t GetFileRecordStartSector() const { return m_first; }
  int64_t GetFileRecordCount() const { return m_count; }
  int64_t GetSectorsPerRecord() const { return m_sectorsPerRecord; }
  // Takes `sector` when it holds the record right after the run's last one
  // (records of the run's size, `sectorsPerRecord` sectors, with nothing
  // between).
  bool Merge(int64_t sector, int64_t sectorsPerRecord = 2);

 private:
  int64_t m_first;
  int64_t m_count;
  int64_t m_sectorsPerRecord;
};

class CCommonFileRecordInfo {
 public:
  // Always usable for a valid record: the directory flag and own number from
  // the header (when it carries one), the parent from the second $FILE_NAME
  // when it is 5 or more, else from the first when it is, else -1.
  bool InitFromBuffer(const CNTFSFileRecord& record, int64_t sector);
  bool InitFromBuffer(uint8_t* buffer, int size, int64_t sector);

  bool IsDirectory() const { return m_directory != 0; }
  int64_t GetSectorAddress() const { return m_sector; }
  int64_t GetFileRecordNumberofParentDirectory() const { return m_parent; }
  void SetFileRecordNumberofParentDirectory(int64_t number) { m_parent = number; }
  int64_t GetMFTFileRecordNumber() const { return m_number; }
  void SetMFTFileRecordNumber(int64_t number) { m_number = number; }
  // The properties built from the record until a node takes them over; not
  // owned.
  void SetNTFSFileProperties(IFileProperties* properties) { m_properties = properties; }
  IFileProperties* GetNTFSFileProperties() const { return m_properties; }

 private:
  uint32_t m_directory = 0;
  int64_t m_sector = -1;
  int64_t m_parent = -1;
  IFileProperties* m_properties = nullptr;
  int64_t m_number = -1;
};
