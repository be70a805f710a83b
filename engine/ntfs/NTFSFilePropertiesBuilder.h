// Properties of a found file from its FILE record set, and the test that
// keeps the volume's own files out of the results.
#pragma once

#include <cstdint>

class CNTFSDataRunList;
class CNTFSFileProperties;
class CNoneResidentNTFSDataRunList;
class CNTFSMultiFileRecord;

class CNTFSFilePropertiesBuilder {
 public:
  // New properties read from `record` (base record and extension records),
  // whose base record lies at device sector `recordStartSector`; the caller
  // owns them. `bytesPerCluster` (0: unknown) caps the size at the clusters
  // the runs hold. `parent`, when not null, receives the parent folder's
  // record number. Null when the record set is not valid or has no usable
  // $FILE_NAME; with `nameWhenNone`, a file (not a folder) without any
  // $FILE_NAME whose unnamed $DATA holds something gets that name and parent
  // -1 instead.
  //
  // - Name: the second $FILE_NAME when it is a long (Win32) name, else the
  //   first; converted to UTF-8, with U+FFFD for what cannot be converted.
  // - Parent: the second name's parent when it is 5 or more, else the
  //   first's when it is, else the chosen name's.
  // - Times and the attribute bits 0x01, 0x02, 0x04 and 0x20 from
  //   $STANDARD_INFORMATION (times from the name when there is none); 0x10
  //   from the name's directory flag; 0x0800 and 0x40 from the unnamed
  //   $DATA's compressed and encrypted flags (encrypted wins).
  // - Size: the real size of the $DATA piece that starts at VCN 0 (resident:
  //   its content length), else the name's.
  // - Runs: a resident $DATA gives {sector of its record, 1} and the content's
  //   byte offset in that record; non-resident pieces are put in VCN order,
  //   with clusters that no piece covers read as holes so that later data
  //   stays at its place in the file.
  //
  // `volumeBytes` (0: unknown) is the volume's size: runs are kept up to the
  // first one it cannot hold (a cluster past its end, a hole that makes the
  // file larger than the volume), the size is cut to what the kept runs
  // hold, and the file is marked size-damaged (RunBounds.h). A stored run
  // that starts inside the volume and runs past its end is kept up to the
  // end instead (a damaged length leaves the file's first bytes in place),
  // and the file is marked content-unsure.
  static CNTFSFileProperties* BuildFileProperties(int64_t recordStartSector, CNTFSMultiFileRecord& record,
                                                  int64_t bytesPerCluster, int64_t* parent,
                                                  const char* nameWhenNone = nullptr, uint64_t volumeBytes = 0);
  // Appends to `out` the runs of `pieces` (sorted here) in VCN order as the
  // file lays them out: a cluster no piece covers becomes part of a hole, a
  // cluster two pieces claim keeps the first. `clusters` receives the count.
  static void LayOutDataRuns(CNTFSDataRunList& pieces, CNoneResidentNTFSDataRunList& out, int64_t& clusters);
  // For properties whose size is below 0 and whose runs are not resident:
  // the size becomes the runs' clusters x `sectorsPerCluster` x 512.
  static void AdjustFileSizeAccordinttoDataRunsWhenFileSizeLessThanZero(CNTFSFileProperties* properties,
                                                                        uint8_t sectorsPerCluster);
};

class CIsMetaFileRecord {
 public:
  // The metafile test (CMetaFileRecordTypeAnalyzer) on a raw record buffer,
  // handed back unchanged; false for null or fewer than 1024 bytes.
  static bool IsMetaFileRecord(uint8_t* buffer, int size);
  // Records below 25 are the volume's own.
  static bool IsMetaFileRecord(int64_t recordNumber) { return recordNumber < 25; }
};
