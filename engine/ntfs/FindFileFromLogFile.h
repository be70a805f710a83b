// The finder of FILE records that only the volume's $LogFile still holds.
//
// When NTFS deletes a file it may clear the $DATA runs in the file's record,
// while the log keeps records whose data carry the record's earlier state.
// A scan owns one finder per volume: Init locates the $LogFile through the
// master file table, Analyzer reads the log once, and afterwards
// ReplaceFileRecordInfo may give a deleted file of size 0 its size and runs
// back. Reset forgets everything the finder gathered.
//
// A finder that finds nothing changes nothing: the scan works the same
// without the log, only without what the log could add.
#pragma once

#include <cstdint>

#include "ntfs/NTFSMultiFileRecord.h"

class CNTFSDataRunList;
class CNTFSFileProperties;
class IStorageDevice;

class CFindFileFromLogFile {
 public:
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
  // For a deleted file (not a folder) whose properties say size 0: when the
  // log holds the file's earlier record or the undo data of its $DATA, sets
  // the properties' runs and size from them and answers true; otherwise
  // changes nothing and answers false. `record` is the file's base record as
  // read from the device (`recordBytes` bytes, handed back unchanged),
  // `parent` its parent folder's record number (-1 unknown) and `extensions`
  // its extension records (may be null).
  virtual bool ReplaceFileRecordInfo(uint8_t* record, int recordBytes, CNTFSFileProperties& properties, int64_t parent,
                                     const CExtendFileRecordInfoList* extensions);

  // Whether Init found the $LogFile record.
  bool IsLogFileFound() const { return m_found; }

 protected:
  IStorageDevice* m_device = nullptr;           // not owned
  const CNTFSDataRunList* m_mftRuns = nullptr;  // not owned
  uint8_t m_sectorsPerCluster = 0;
  int64_t m_volumeStartSector = 0;
  uint32_t m_fileRecordBytes = 1024;
  bool m_found = false;
  bool m_analysed = false;
};
