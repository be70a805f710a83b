// The complete-scan carver (searcher type 34): every sector of every block
// is offered to the analysers; files whose header gives their length go to
// the tree at once, the others wait in a queue until 20 blocks have passed
// and are sized from the ring of recent blocks (or the device).
#pragma once

#include <cstdint>
#include <deque>
#include <map>
#include <memory>
#include <vector>

#include "FileSystemSearchController.h"
#include "FileTypeManager.h"
#include "raw/BufferStorageDevice.h"
#include "raw/RAWFileNode.h"
#include "raw/RawFileInfo.h"

class CRAWSearchController : public ICompleteFileSystemSearchController {
 public:
  static constexpr uint32_t kRingBlocks = 20;
  // Zero bytes kept behind the block buffer's last sector.
  static constexpr size_t kPadding = 2048;

  CRAWSearchController() = default;
  ~CRAWSearchController() override;
  CRAWSearchController(const CRAWSearchController&) = delete;
  CRAWSearchController& operator=(const CRAWSearchController&) = delete;

  void SetDirecotryTreeBuilder(IDirecotryTreeBuilder* builder) override { m_builder = builder; }
  int GetSearchedPartitionInfo(CSearchedPartitionInfo** array, int capacity) override;
  void SetDevice(IStorageDevice* device) override;
  void SetBlockSize(int sectors) override;
  void PreparetoSearch() override;
  void EndSearch(int build) override;
  // Borrows the block from the scan's cache where it can; the ring gets the
  // one copy it keeps.
  ResultCode AnalyzeBlock(int64_t firstSector, int64_t sectorCount) override;
  void SetIProgressSink(IProgress* progress) override;
  // Frees the ring and the block buffers: the pass is over.
  void EndBlockPass() override;

  size_t PendingCount() const { return m_pending.size(); }

 private:
  // The block's `count` sectors, borrowed or read into m_block; sectors from
  // `tailFrom` on are to be looked at in m_tail. Null when it cannot be read.
  const uint8_t* TakeBlock(int64_t firstSector, int64_t count, int64_t* tailFrom);
  CRAWFileManager* GetFileManager(uint32_t type);
  // Whether the record starts inside the last file that was sized whole.
  bool InsideWholeFile(const CRawFileInfo& info) const;
  struct Pending {
    std::unique_ptr<CRawFileInfo> info;
    bool sizedByHeader = false;
  };
  // Sizes a queued record (unless its header already did) from `device`;
  // false when it cannot be sized.
  bool SizeQueued(Pending& pending, IStorageDevice* device);
  // Clamps the size to the device and hands the record to its category;
  // a file sized whole hides what starts inside it.
  void Settle(CRawFileInfo& info);
  void SettleFromRing(uint64_t lastRingSector);

  CFileTypeManager m_types;
  std::map<int, std::unique_ptr<CRAWFileManager>> m_managers;
  IStorageDevice* m_device = nullptr;
  int m_sectorsPerBlock = 0;
  IDirecotryTreeBuilder* m_builder = nullptr;
  CBufferStorageDevice m_ring;
  std::deque<Pending> m_pending;
  std::vector<uint8_t> m_block;  // a block that could not be borrowed, with the padding
  std::vector<uint8_t> m_tail;   // a borrowed block's last sectors, with the padding
  bool m_inPass = false;         // between PreparetoSearch and the pass's end
  uint32_t m_sectorSize = 512;
  bool m_ownsProgress = false;
  // The sectors of the last file sized whole: [start, end).
  uint64_t m_wholeStart = 0, m_wholeEnd = 0;
  uint64_t m_pass = 0;  // RawCarvingPass
};
