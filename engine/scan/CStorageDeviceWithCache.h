// The read-ahead device of the complete scan (kind 3).
//
// The block pass reads its device in blocks of B sectors, block 0 upwards.
// BeginCache reads the first blocks and starts a reader thread that keeps up
// to kQueueCapacity further blocks ready; SetCurCacheBlock(k) makes block k
// the current block, and ReadSector serves the sectors of the current block
// from memory and everything else from the underlying device. Every searcher
// thus examines the same 4 MiB read once, while the next reads overlap with
// the searchers' work.
//
// Every block is queued exactly once, whatever its read gives: only sectors
// the device cannot read become zeros. A device that reads around its own
// damage names them (UnreadableSectors.h); any other read that fails is
// retried in halves down to single sectors. ReadSector then fails for
// requests that touch one of them with the lost-sectors code, the rest of
// the request filled. Reads never run past the underlying device's end.
//
// Blocks are meant to be asked for in ascending order. A block asked out of
// order is still served with the right bytes: queued blocks before it are
// dropped, the reader moves ahead to it, and a block no longer in the queue
// is read on the spot.
//
// Threads
// - BeginCache, SetCurCacheBlock, SetBlockSize and destruction come from one
//   thread (the scan's worker). EndCache may also come from another thread:
//   a worker waiting for a block is then let go and reads the block itself.
// - ReadSector may come from any thread. A block once made current never
//   changes: a reader takes its own reference to it under a lock held only
//   for that, and copies out of it with no lock held; making a block current
//   swaps the reference under the same lock. However many readers there are,
//   the block pass waits at most for a few pointer copies, never for their
//   reads (a lock that readers share would let a steady stream of them keep
//   it out). A block that readers still hold goes back to the spare buffers
//   when the last of them lets go.
// - The reader thread and the worker share the queue under one mutex, each
//   waiting on its condition with a test of the queue state, so that no
//   wake-up is lost. EndCache joins the reader before the queue is freed.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>
#include <utility>
#include <vector>

#include "SectorLender.h"
#include "StorageDevice.h"
#include "ThreadLastError.h"
#include "UnreadableSectors.h"

class CStorageDeviceWithCache final : public IStorageDevice, public ISectorLender, public IUnreadableSectors {
 public:
  static constexpr uint32_t kDefaultBlockSize = 1000;  // sectors
  static constexpr uint32_t kQueueCapacity = 10;       // blocks read ahead

  // `underlying` is not owned and must outlive the cache.
  explicit CStorageDeviceWithCache(IStorageDevice* underlying);
  // Ends the cache (joining the reader) and frees every buffer.
  ~CStorageDeviceWithCache() override;
  CStorageDeviceWithCache(const CStorageDeviceWithCache&) = delete;
  CStorageDeviceWithCache& operator=(const CStorageDeviceWithCache&) = delete;

  // Sectors per block. Ends a running cache first and forgets the current
  // block.
  void SetBlockSize(uint32_t sectors);
  // Reads the first blocks from sector 0 and starts the reader thread for
  // the rest. A cache that runs already starts again from block 0.
  void BeginCache();
  // Makes block `block` the current one: 1 done, 0 without an underlying
  // device, with block size 0, for a negative block or one at or past
  // ceil(total / B), or when no memory could be had for it.
  int SetCurCacheBlock(int64_t block);
  // Stops and joins the reader and frees the queued blocks. The current
  // block stays, and reads go on working. A block being read around damage
  // is given up at the medium's next read.
  void EndCache();
  // Called on the thread that makes blocks current while it waits for a
  // block that takes long (a failing medium read around its damage, or a
  // slow one), every kWaitReport at most, with the block and the share of
  // it settled so far; and while BeginCache reads the first blocks. False
  // stops: the read under way is given up at the medium's next read and
  // SetCurCacheBlock answers 0. Set before BeginCache; null for none.
  using WaitHook = std::function<bool(int64_t block, double settled)>;
  void SetWaitHook(WaitHook hook) { m_waitHook = std::move(hook); }
  static constexpr std::chrono::milliseconds kWaitReport{200};
  // Frees the current block once the cache has ended: every read goes to the
  // underlying device from then on. Readers on other threads that still hold
  // the block finish with it first.
  void ReleaseCurrentBlock();

  // Answer whether an underlying device is set.
  int Open() override;
  int Close() override;
  // Sectors inside the current block come from memory, the rest from the
  // underlying device; a request that starts outside the current block goes
  // to the underlying device whole. Non-zero when every part was read;
  // sectors past the device's end read as zeros. A request that meets
  // sectors that could not be read fails with result::kErrUnreadableSectors
  // and the rest of the buffer filled (UnreadableSectors.h).
  int ReadSector(void* buffer, int64_t firstSector, int64_t sectorCount) override;
  // The current block's unreadable sectors and the underlying device's.
  void FindUnreadable(int64_t first, int64_t count, SectorRuns& out) override;
  // Sectors of the current block in place (see SectorLender.h): null unless
  // the whole range lies in the current block, every sector of it was read,
  // and the block was read with the sector size the device reports now. Good
  // until the current block changes (SetCurCacheBlock, SetBlockSize,
  // BeginCache, ReleaseCurrentBlock, destruction): only the thread that makes
  // blocks current may borrow.
  const uint8_t* BorrowSectors(int64_t firstSector, int64_t sectorCount) override;
  // The underlying device's, or 512 and 0 without one.
  uint32_t GetSectorSize() override;
  int64_t GetTotalSectors() override;
  int IOCtl(uint64_t code, void* data) override;
  // The cache's own record, kept but not owned; it is not passed on to the
  // underlying device.
  IStorageDeviceData* GetPrivateData() override { return m_privateData; }
  void SetPrivateData(IStorageDeviceData* data) override { m_privateData = data; }
  uint32_t GetType() override { return STORAGE_DEVICE_CACHED; }
  // 0 after a ReadSector that succeeded; after one that failed, the code of
  // its failure (the underlying device's when it could not read a sector).
  // The code of this thread's latest call (ThreadLastError.h).
  ResultCode GetLastError() override { return m_lastError.Get(); }

  IStorageDevice* GetUnderlyingDevice() const { return m_underlying; }
  uint32_t GetBlockSize() const { return m_blockSize; }
  // The current block, -1 for none.
  int64_t GetCurCacheBlock() const;
  // Whether the reader thread is still reading ahead.
  bool IsReading() const;

 private:
  using Buffer = std::unique_ptr<uint8_t[]>;
  // Sectors [first, first + count) of a block that could not be read,
  // counted from the block's first sector.
  using BadRange = std::pair<int64_t, int64_t>;

  struct Block {
    int64_t index = -1;
    int64_t sectors = 0;  // valid sectors: B, or fewer for the last block
    Buffer data;          // null when no memory could be had: read it on the spot
    std::vector<BadRange> bad;
    ResultCode error = 0;  // the failure of the first unreadable sector
  };

  // The current block as readers see it; fixed once made current.
  struct Current {
    int64_t index = -1;
    int64_t first = 0;
    int64_t sectors = 0;
    uint32_t sectorSize = 512;
    size_t bytes = 0;  // the buffer's size, to tell whether it may be reused
    Buffer data;
    std::vector<BadRange> bad;
    ResultCode error = 0;
  };
  using CurrentRef = std::shared_ptr<Current>;

  // Block geometry, fixed between SetBlockSize/BeginCache calls.
  void TakeGeometry();
  int64_t BlockCount() const;
  // Reads block `index` (cut at the device's end) into `data`, or into a
  // new buffer when `data` is null; `waiting` on the thread that makes
  // blocks current (which the wait hook may stop), else on the reader.
  Block ReadBlock(int64_t index, Buffer data, bool waiting = false);
  class Watch;
  void ReadPieces(uint8_t* out, int64_t blockFirst, int64_t first, int64_t count, Block& block);
  static void AddBad(Block& block, int64_t offset, int64_t count);
  Buffer NewBuffer();

  // With m_queueLock held.
  Buffer TakeSpareLocked();
  // `bytes` is the buffer's size: one of another geometry is dropped.
  void GiveBackLocked(Buffer buffer, size_t bytes);
  void DropBeforeLocked(int64_t index);

  void ReaderLoop();
  // The current block's reference, or null; takes m_currentLock briefly.
  CurrentRef TakeCurrent() const;
  // Replaces the current block (null for none) and answers the old one,
  // which the caller lets go with no lock held.
  CurrentRef SwapCurrent(CurrentRef next);
  // The deleter of a current block: its buffer goes back to the spares.
  void Recycle(Current* current);
  void SetLastError(ResultCode code) { m_lastError.Set(code); }

  IStorageDeviceData* m_privateData = nullptr;
  IStorageDevice* m_underlying;
  CThreadLastError m_lastError;

  // Geometry, taken from the underlying device by the constructor,
  // SetBlockSize and BeginCache, while no reader runs.
  uint32_t m_blockSize = kDefaultBlockSize;
  uint32_t m_sectorSize = 512;
  int64_t m_total = 0;
  size_t m_bufferBytes = 0;

  // The current block; m_currentLock guards the reference alone, never a
  // read from the block.
  mutable std::mutex m_currentLock;
  CurrentRef m_current;

  // The queue and the reader's position, under m_queueLock.
  mutable std::mutex m_queueLock;
  std::condition_variable m_blockReady;   // the reader queued a block, or stopped
  std::condition_variable m_blockWanted;  // room in the queue, a new position, or stop
  bool m_running = false;
  bool m_readerAlive = false;
  std::deque<Block> m_queue;    // oldest first
  std::vector<Buffer> m_spare;  // buffers to reuse, at most a queue's worth
  int64_t m_nextBlock = 0;      // the next block the reader reads
  int64_t m_inFlight = -1;      // the block the reader is reading now
  uint64_t m_generation = 0;    // bumped when the reader's position moves
  std::thread m_reader;

  // Reads around damage: given up once set; which block, how far.
  std::atomic<bool> m_stopSalvage{false};
  std::atomic<int64_t> m_salvageBlock{-1};
  std::atomic<double> m_salvaged{0};
  WaitHook m_waitHook;
};
