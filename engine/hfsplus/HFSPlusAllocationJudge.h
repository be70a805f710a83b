// An HFS+ or HFSX volume as it is now, for the files an earlier scan of it
// found (AllocationJudge.h). Its allocation file is believed as the scan
// believes it (CHFSPlusVolume::RunsReachBlocksInUse); its catalog is read
// (once, when a file first needs it) to find a file's own record by its
// catalog node ID: the thread record of the ID, then the file record it
// names.
// - A file the scan found deleted (from the journal, or a catalog record the
//   catalog no longer held) holds none of its own blocks: it is taken once
//   the allocation file marks one of them.
// - A live file is its own while its record still describes it: the record
//   of its ID, with its name under its parent or its creation date, whose
//   fork (the resource fork of a compressed file, the indirect node's of a
//   hard link) still begins with the saved runs. Otherwise, once one of its
//   blocks is marked in use, another file holds it.
// - Where a file must be described by its own record (SetOwnEntryRequired),
//   free blocks keep only a live file whose record still describes it, with
//   its creation and content dates; a deleted one has no record to vouch
//   for it.
#pragma once

#include <cstdint>
#include <memory>
#include <vector>

#include "AllocationJudge.h"

class CHFSPlusVolume;
class CSearchedPartitionInfo;
class IStorageDevice;

class CHFSPlusAllocationJudge final : public IAllocationJudge {
 public:
  // The volume whose first block starts at `record`'s first data sector on
  // `device`; null when no HFS+ volume header is there, or the record's
  // blocks are not the volume's.
  static std::unique_ptr<CHFSPlusAllocationJudge> Open(IStorageDevice* device, const CSearchedPartitionInfo& record);
  ~CHFSPlusAllocationJudge() override;
  CHFSPlusAllocationJudge(const CHFSPlusAllocationJudge&) = delete;
  CHFSPlusAllocationJudge& operator=(const CHFSPlusAllocationJudge&) = delete;

  bool IsTaken(CFileNode& node) override;
  // Blocks count from the volume's first byte, as its allocation file does.
  bool ForEachGiven(uint64_t begin, uint64_t end, const GivenPiece& given) override;

  // The allocation file's marks ForEachGiven holds at once, in blocks.
  static constexpr uint64_t kMarksAtOnce = uint64_t{1} << 20;

 private:
  CHFSPlusAllocationJudge() = default;

  // The volume with its catalog, opened on first use; null when it cannot
  // be.
  CHFSPlusVolume* Catalog();
  // Whether the file record of the node's ID still describes it.
  bool Describes(CFileNode& node);

  IStorageDevice* m_window = nullptr;  // owned; null when the volume starts at sector 0
  IStorageDevice* m_on = nullptr;      // the volume from its first sector
  uint64_t m_volumeByte = 0;           // where it starts, in bytes of the device
  std::unique_ptr<CHFSPlusVolume> m_volume;
  std::unique_ptr<CHFSPlusVolume> m_catalog;
  bool m_catalogTried = false;
  JoinedRuns m_saved, m_now;
  std::vector<uint8_t> m_marks;
};

std::unique_ptr<IAllocationJudge> CreateHFSPlusAllocationJudge(IStorageDevice* device,
                                                               const CSearchedPartitionInfo& record);
