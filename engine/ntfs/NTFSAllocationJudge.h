// An NTFS volume as it is now, for the files an earlier scan of it found
// (AllocationJudge.h). The volume is opened as the quick scan opens it: its
// boot sector, the table's runs from $MFT (or its mirror) and $Bitmap,
// believed only as the scan believes it (CNTFSClusterBitmap).
//
// A file's own record is the table's record of its number, where the scan
// read it: it still describes the file when it is a sound FILE record
// there that gives the file's creation time, or its name under its parent.
// - Resident content is read from that record: the file is taken once the
//   record describes another file.
// - Clusters: a file none of whose clusters $Bitmap sets keeps its answer
//   (deleted since the scan, or deleted then, and not written over). One
//   whose clusters are set is its own only while its record, in use, still
//   describes it and still gives the runs the scan saved (the file may
//   have grown since: they are the first of its runs); otherwise another
//   file, or the volume, holds them.
// - Without a believable $Bitmap only a record now in use for another file
//   takes a file's clusters.
#pragma once

#include <cstdint>
#include <memory>
#include <vector>

#include "AllocationJudge.h"
#include "ntfs/NTFSDataRunList.h"
#include "ntfs/NTFSQuickSearch.h"

class CNTFSFileProperties;
class IDataRunList;
class CSearchedPartitionInfo;
class IStorageDevice;

class CNTFSAllocationJudge final : public IAllocationJudge {
 public:
  // The volume whose cluster 0 is `record`'s first data sector on `device`;
  // null when no NTFS volume whose table can be found lies there, or the
  // record counts in other sectors than the device's.
  static std::unique_ptr<CNTFSAllocationJudge> Open(IStorageDevice* device, const CSearchedPartitionInfo& record);
  ~CNTFSAllocationJudge() override;
  CNTFSAllocationJudge(const CNTFSAllocationJudge&) = delete;
  CNTFSAllocationJudge& operator=(const CNTFSAllocationJudge&) = delete;

  bool IsTaken(CFileNode& node) override;

 private:
  CNTFSAllocationJudge() = default;

  // Record `number` as it is now.
  struct Record {
    std::unique_ptr<CNTFSFileProperties> properties;
    int64_t parent = -1;
    int64_t sector = -1;  // on the volume
    bool inUse = false;
  };
  // Record `number`'s bytes as they lie (in a buffer of the judge's, until
  // the next read), and its sector; null when it cannot be read.
  uint8_t* RecordAt(int64_t number, int64_t* sector);
  bool ReadRecord(int64_t number, Record& out);
  // What a base record without an attribute list says at a glance: in use,
  // its creation time and, for a non-resident unnamed $DATA, its runs.
  struct Glimpse {
    int64_t sector = -1;
    bool inUse = false;
    uint64_t creation = 0;
    bool resident = true;
    CNTFSDataRunList runs;
  };
  bool Glance(int64_t number, Glimpse& out);
  // Sectors of the volume through a read-ahead piece of the table.
  bool ReadSectors(int64_t sector, int64_t count, uint8_t* out);
  static constexpr int64_t kReadAheadBytes = 1024 * 1024;
  bool Describes(CFileNode& node, Record& now);
  // Whether $Bitmap sets a cluster of the node's runs: 1, 0, or -1 when
  // it cannot say.
  int RunsInUse(IDataRunList* runs);
  static bool RunsStillHeld(IDataRunList* saved, IDataRunList* now);

  IStorageDevice* m_window = nullptr;  // owned; null when the volume starts at sector 0
  IStorageDevice* m_volumeDevice = nullptr;
  int64_t m_start = 0;  // the volume's first sector on the record's device
  uint64_t m_recordClusterBytes = 0;
  CNTFSQuickSearch m_volume;
  std::vector<uint8_t> m_cache;
  std::vector<uint8_t> m_record;
  int64_t m_cachedFirst = -1, m_cachedCount = 0;
};

std::unique_ptr<IAllocationJudge> CreateNTFSAllocationJudge(IStorageDevice* device,
                                                            const CSearchedPartitionInfo& record);
