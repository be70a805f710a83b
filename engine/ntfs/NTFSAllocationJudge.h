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
//   takes a file's clusters. Bits on sectors the medium could not give are
//   taken for set: only a record that still describes the file keeps it.
// - Where the file must be described by its own record (SetOwnEntryRequired),
//   free clusters, or an unknown $Bitmap, keep a file only while its record
//   still describes it (in use or not), with its creation and modification
//   times.
//
// A record saved in other sectors than the device's (a volume of 512-byte
// sectors seen through a device of 4096-byte ones) is read through a view in
// the record's own sectors. Judges shared with other threads read the same
// $Bitmap, and the table through read-ahead pieces of their own, in which
// records are fixed up and read in place.
#pragma once

#include <cstdint>
#include <memory>
#include <utility>
#include <vector>

#include "AllocationJudge.h"
#include "UnreadableSectors.h"
#include "ntfs/NTFSClusterBitmap.h"
#include "ntfs/NTFSDataRunList.h"

class CNTFSFileProperties;
class IDataRunList;
class CSearchedPartitionInfo;
class IStorageDevice;

class CNTFSAllocationJudge final : public IAllocationJudge {
 public:
  // The volume whose cluster 0 is `record`'s first data sector on `device`
  // (counted in the record's sectors); null when no NTFS volume whose table
  // can be found lies there.
  static std::unique_ptr<CNTFSAllocationJudge> Open(IStorageDevice* device, const CSearchedPartitionInfo& record);
  ~CNTFSAllocationJudge() override;
  CNTFSAllocationJudge(const CNTFSAllocationJudge&) = delete;
  CNTFSAllocationJudge& operator=(const CNTFSAllocationJudge&) = delete;

  bool IsTaken(CFileNode& node) override;
  std::unique_ptr<IAllocationJudge> Share() override;
  // Clusters count from the volume's first sector, as $Bitmap counts them.
  bool ForEachGiven(uint64_t begin, uint64_t end, const GivenPiece& given) override;

  static constexpr int64_t kReadAheadBytes = 256 * 1024;

 private:
  // The volume every judge of it reads: opened once, then only read.
  struct Volume;
  explicit CNTFSAllocationJudge(std::shared_ptr<Volume> volume);

  // Record `number`'s bytes as they lie on the volume (in the judge's
  // read-ahead piece, until the next read), and its sector; null when it
  // cannot be read.
  uint8_t* RecordAt(int64_t number, int64_t* sector);
  // Record `number` as it is now.
  struct Record {
    std::unique_ptr<CNTFSFileProperties> properties;
    int64_t parent = -1;
    int64_t sector = -1;  // on the volume
    bool inUse = false;
  };
  bool ReadRecord(int64_t number, Record& out);
  // What a base record without an attribute list says at a glance: in use,
  // its creation time and, for a non-resident unnamed $DATA, its runs.
  struct Glimpse {
    int64_t sector = -1;
    bool inUse = false;
    uint64_t creation = 0, modification = 0;
    bool resident = true;
    CNTFSDataRunList runs;
  };
  bool Glance(int64_t number, Glimpse& out);
  // Sectors of the volume, through a read-ahead piece of the table; null
  // where one of them could not be read (a record on a sector the medium
  // lost costs only its own file).
  uint8_t* SectorsAt(int64_t sector, int64_t count);
  // Whether the piece lost one of these sectors.
  bool Lost(int64_t sector, int64_t count) const;
  bool Describes(CFileNode& node, Record& now);
  // Whether $Bitmap sets a cluster of the node's runs: 1, 0, or -1 when
  // it cannot say.
  int RunsInUse(IDataRunList* runs);
  // Whether `now` still begins with the runs `saved`.
  bool RunsStillHeld(IDataRunList* saved, const JoinedRuns& now);

  std::shared_ptr<Volume> m_volume;
  std::unique_ptr<CNTFSClusterBitmap::Reader> m_bitmap;  // null without a believable $Bitmap
  std::vector<uint8_t> m_cache;                          // the read-ahead piece
  int64_t m_cachedFirst = -1, m_cachedCount = 0;
  SectorRuns m_cachedLost;        // the piece's sectors the medium could not give
  std::vector<uint8_t> m_record;  // a record read alone
  Glimpse m_glimpse;
  JoinedRuns m_saved, m_now;
};

std::unique_ptr<IAllocationJudge> CreateNTFSAllocationJudge(IStorageDevice* device,
                                                            const CSearchedPartitionInfo& record);
