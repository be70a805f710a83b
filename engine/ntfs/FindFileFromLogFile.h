// The finder of FILE records that only the volume's $LogFile still holds.
//
// When NTFS deletes a file it may clear the $DATA runs in the file's record,
// while the log keeps records whose data carry the record's earlier state.
// A scan owns one finder per volume: Init locates the $LogFile through the
// master file table, Analyzer reads the log once, and afterwards
// ReplaceFileRecordInfo may give a deleted file of size 0, or one whose
// record lost its data attribute, its size and runs back. Reset forgets
// everything the finder gathered.
//
// Two things are kept from the log: every FILE record image a log record
// carries (as properties, the "found records"), and the undo data of the log
// records that rewrote the sizes or mapping pairs of an attribute in an MFT
// record. Everything else is dropped while the log is walked, so the finder
// holds little more than what it may hand back.
//
// A finder that finds nothing changes nothing: the scan works the same
// without the log, only without what the log could add. The log is hostile
// input like everything on the disk: a record that would leave its page or
// the log, undo data that would land outside its FILE record, and logs too
// large to hold are passed over.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "ntfs/NTFSMultiFileRecord.h"

class CNTFSDataRunList;
class CNTFSFileProperties;
class IStorageDevice;

class CFindFileFromLogFile {
 public:
  // Logs above this size are not read (real logs stay far below it).
  static constexpr uint64_t kMaxLogBytes = 256ull * 1024 * 1024;
  static constexpr int kPageSize = 4096;
  static constexpr int kPageHeaderSize = 64;
  static constexpr int kRecordHeaderSize = 48;
  // A log record carried across page ends is kept up to this many bytes.
  static constexpr uint32_t kMaxRecordBytes = 64 * 1024;

  CFindFileFromLogFile();
  virtual ~CFindFileFromLogFile();
  CFindFileFromLogFile(const CFindFileFromLogFile&) = delete;
  CFindFileFromLogFile& operator=(const CFindFileFromLogFile&) = delete;

  // Forgets what an earlier Init gathered and locates the $LogFile of the
  // volume whose master file table lies in `mftRuns` (clusters counted from
  // `volumeStartSector`, `sectorsPerCluster` device sectors each, FILE
  // records of `fileRecordBytes`). Neither the device nor the runs are
  // owned; both must outlive the finder's use of them. False for a null
  // argument or when the MFT cannot be read.
  virtual bool Init(IStorageDevice* device, const CNTFSDataRunList* mftRuns, uint8_t sectorsPerCluster,
                    int64_t volumeStartSector = 0, uint32_t fileRecordBytes = 1024);
  // Reads the whole log once and keeps what it holds. Always true.
  virtual bool Analyzer();
  // Frees the log's buffers and the records found.
  virtual void Reset();
  // For a deleted file (not a folder) whose properties say size 0 or that
  // lost its data attribute: when the log holds the file's earlier record or
  // the undo data of its $DATA, sets the properties' runs and size from them
  // (the lost data's damage mark goes) and answers true; otherwise
  // changes nothing and answers false. `record` is the file's base record as
  // read from the device (`recordBytes` bytes, handed back unchanged),
  // `parent` its parent folder's record number (-1 unknown) and `extensions`
  // its extension records (may be null).
  virtual bool ReplaceFileRecordInfo(uint8_t* record, int recordBytes, CNTFSFileProperties& properties, int64_t parent,
                                     const CExtendFileRecordInfoList* extensions);

  // Analyses `bytes` of log (the $LogFile's content from its first page) as
  // Analyzer analyses the log it reads, for a volume of this geometry; what
  // an earlier analysis kept is forgotten first. Used where the log does not
  // come from a device (tests, fuzzing).
  void AnalyzerLogBuffer(const uint8_t* log, size_t bytes, uint32_t sectorSize, uint8_t sectorsPerCluster,
                         uint32_t fileRecordBytes);

  // Whether Init found the $LogFile record.
  bool IsLogFileFound() const { return m_found; }
  // What the last analysis kept: FILE images turned into properties, and
  // undo records of MFT attributes.
  size_t GetFoundRecordCount() const { return m_foundRecords.size(); }
  size_t GetUndoRecordCount() const { return m_undoRecords.size(); }
  // Pages the last analysis walked as record pages, and complete log records
  // it examined.
  uint64_t GetWalkedPageCount() const { return m_walkedPages; }
  uint64_t GetExaminedRecordCount() const { return m_examinedRecords; }

 protected:
  // A FILE image found in the log.
  struct FoundRecord {
    CNTFSFileProperties* properties = nullptr;  // owned
    int64_t parent = -1;
    int64_t recordNumber = -1;  // the MFT record the log record targets
    uint64_t lsn = 0;
  };
  // Undo data that restores bytes of an attribute of an MFT record.
  struct UndoRecord {
    uint64_t lsn = 0;
    int64_t recordNumber = -1;
    uint16_t recordOffset = 0;     // of the attribute in its FILE record
    uint16_t attributeOffset = 0;  // inside the attribute
    std::vector<uint8_t> undo;
  };

  bool ReadBytes(int64_t byteOffset, uint8_t* out, size_t bytes);
  bool ReadLog(std::vector<uint8_t>& log, std::vector<bool>& pageRead);
  void WalkLog(std::vector<uint8_t>& log, const std::vector<bool>& pageRead);
  void ExamineLogRecord(const uint8_t* record, size_t bytes);
  void AddFoundImage(const uint8_t* image, size_t bytes, int64_t recordNumber, uint64_t lsn);
  // The MFT record a log record aimed at the MFT changes; -1 when it cannot
  // be one.
  int64_t TargetRecordNumber(uint64_t targetVCN, uint16_t clusterBlockOffset) const;
  // Puts the undo data of `recordNumber` back into its FILE record (the
  // record's update sequence undone); answers whether any was applied.
  bool RebuildFileRecord(uint8_t* record, int bytes, int64_t recordNumber) const;
  const FoundRecord* MatchFoundRecord(const std::string& name, int64_t parent, int64_t recordNumber) const;
  void FreeFoundRecords();

  IStorageDevice* m_device = nullptr;           // not owned
  const CNTFSDataRunList* m_mftRuns = nullptr;  // not owned
  uint8_t m_sectorsPerCluster = 0;
  uint32_t m_sectorSize = 512;
  int64_t m_volumeStartSector = 0;
  uint32_t m_fileRecordBytes = 1024;
  bool m_found = false;
  bool m_analysed = false;
  // The $LogFile's runs: {first cluster, or -1 when sparse; clusters}.
  std::vector<std::pair<int64_t, int64_t>> m_logRuns;
  std::vector<FoundRecord> m_foundRecords;
  std::vector<UndoRecord> m_undoRecords;  // in ascending LSN order after the analysis
  uint64_t m_walkedPages = 0;
  uint64_t m_examinedRecords = 0;
};
