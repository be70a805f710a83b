// An HFS+ or HFSX volume as it is now, for the files an earlier scan of it
// found (AllocationJudge.h): the volume is opened without its catalog and
// its allocation file is believed as the scan believes it
// (CHFSPlusVolume::RunsReachBlocksInUse). A file the scan found deleted
// (from the journal, or a catalog record the catalog no longer holds) is
// taken once the allocation file marks one of its blocks: a deleted file
// holds none of its own. Live files keep their answers: who holds a block
// now is only told by the catalog, which this judge does not read.
#pragma once

#include <cstdint>
#include <memory>

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

 private:
  CHFSPlusAllocationJudge() = default;

  IStorageDevice* m_window = nullptr;  // owned; null when the volume starts at sector 0
  std::unique_ptr<CHFSPlusVolume> m_volume;
};

std::unique_ptr<IAllocationJudge> CreateHFSPlusAllocationJudge(IStorageDevice* device,
                                                               const CSearchedPartitionInfo& record);
