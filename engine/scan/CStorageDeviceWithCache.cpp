#include "scan/CStorageDeviceWithCache.h"

#include "device/SectorSalvage.h"

#include <algorithm>
#include <cstring>
#include <limits>
#include <new>
#include <system_error>

namespace {

// Codes of the cache's own refusals; an unreadable sector reports the
// underlying device's code.
constexpr ResultCode kBadArgument = RESULT_FAILURE(result::kModuleStorageDevice, result::kErrBadArgument);
constexpr ResultCode kUnreadable = RESULT_FAILURE(result::kModuleStorageDevice, result::kErrIO);
// A request that met sectors of the block that could not be read: the rest
// of the caller's buffer holds the block's bytes, those sectors are zeros.
constexpr ResultCode kLostSectors = RESULT_FAILURE(result::kModuleStorageDevice, result::kErrUnreadableSectors);

}  // namespace

CStorageDeviceWithCache::CStorageDeviceWithCache(IStorageDevice* underlying) : m_underlying(underlying) {
  TakeGeometry();
}

CStorageDeviceWithCache::~CStorageDeviceWithCache() {
  EndCache();
  // Its buffer goes to the spares, which must still be there.
  SwapCurrent(nullptr).reset();
}

void CStorageDeviceWithCache::TakeGeometry() {
  uint32_t sectorSize = m_underlying != nullptr ? m_underlying->GetSectorSize() : 512;
  if (sectorSize == 0) sectorSize = 512;
  const int64_t total = m_underlying != nullptr ? std::max<int64_t>(m_underlying->GetTotalSectors(), 0) : 0;
  size_t bytes = 0;
  if (m_blockSize != 0 && m_blockSize <= std::numeric_limits<size_t>::max() / sectorSize) {
    bytes = size_t{m_blockSize} * sectorSize;
  }
  if (sectorSize != m_sectorSize || bytes != m_bufferBytes) {
    // Blocks read with the old geometry are of no use any more, and their
    // buffers are of the wrong size.
    SwapCurrent(nullptr).reset();
  }
  std::lock_guard<std::mutex> hold(m_queueLock);
  if (bytes != m_bufferBytes) m_spare.clear();
  m_sectorSize = sectorSize;
  m_total = total;
  m_bufferBytes = bytes;
}

int64_t CStorageDeviceWithCache::BlockCount() const {
  if (m_blockSize == 0) return 0;
  return m_total / m_blockSize + (m_total % m_blockSize != 0 ? 1 : 0);
}

CStorageDeviceWithCache::Buffer CStorageDeviceWithCache::NewBuffer() {
  if (m_bufferBytes == 0) return nullptr;
  return Buffer(new (std::nothrow) uint8_t[m_bufferBytes]);
}

// Told how far a read around damage is, between the medium's reads: keeps
// the share of the block settled for the waiting thread, and on that thread
// asks its hook now and then whether to go on.
class CStorageDeviceWithCache::Watch final : public ISalvageWatch {
 public:
  Watch(CStorageDeviceWithCache& cache, int64_t block, bool waiting)
      : m_cache(cache), m_block(block), m_waiting(waiting) {}
  bool Salvaging(int64_t done, int64_t total) override {
    const double settled = total > 0 ? static_cast<double>(done) / static_cast<double>(total) : 0;
    m_cache.m_salvaged.store(settled, std::memory_order_relaxed);
    m_cache.m_salvageBlock.store(m_block, std::memory_order_relaxed);
    if (m_waiting && m_cache.m_waitHook) {
      const auto now = std::chrono::steady_clock::now();
      if (now - m_asked >= kWaitReport) {
        m_asked = now;
        if (!m_cache.m_waitHook(m_block, settled)) m_cache.m_stopSalvage.store(true);
      }
    }
    return !m_cache.m_stopSalvage.load(std::memory_order_relaxed);
  }

 private:
  CStorageDeviceWithCache& m_cache;
  int64_t m_block;
  bool m_waiting;
  std::chrono::steady_clock::time_point m_asked = std::chrono::steady_clock::now();
};

CStorageDeviceWithCache::Block CStorageDeviceWithCache::ReadBlock(int64_t index, Buffer data, bool waiting) {
  Watch watch(*this, index, waiting);
  const SalvageScope scope(&watch);
  Block block;
  block.index = index;
  const int64_t first = index * m_blockSize;
  // Never past the device's end: a short last block, or a device smaller
  // than one block, is read for the sectors it has.
  block.sectors = std::min<int64_t>(m_blockSize, m_total - first);
  if (data == nullptr) data = NewBuffer();
  if (data == nullptr || block.sectors <= 0) return block;
  ReadPieces(data.get(), first, first, block.sectors, block);
  block.data = std::move(data);
  return block;
}

void CStorageDeviceWithCache::ReadPieces(uint8_t* out, int64_t blockFirst, int64_t first, int64_t count, Block& block) {
  uint8_t* at = out + static_cast<size_t>(first - blockFirst) * m_sectorSize;
  if (m_underlying->ReadSector(at, first, count) != 0) return;
  const ResultCode code = m_underlying->GetLastError();
  if (m_stopSalvage.load(std::memory_order_relaxed)) {
    // Given up: the scan is stopping, and what is left is read no more.
    std::memset(at, 0, static_cast<size_t>(count) * m_sectorSize);
    if (block.error == 0) block.error = result::IsFailure(code) ? code : kUnreadable;
    AddBad(block, first - blockFirst, count);
    return;
  }
  if (unreadable::IsSalvaged(code)) {
    // The device read around its damage already (past the page cache, down
    // to single sectors): the buffer holds all it could give, and it names
    // what it could not.
    const SectorRuns lost = unreadable::Find(m_underlying, first, count);
    if (!lost.empty()) {
      if (block.error == 0) block.error = code;
      for (const auto& [lostFirst, lostCount] : lost) {
        const int64_t from = std::max(lostFirst, first);
        const int64_t to = std::min(lostFirst + lostCount, first + count);
        if (to > from) AddBad(block, from - blockFirst, to - from);
      }
      return;
    }
  }
  if (count == 1) {
    // Only a sector the device cannot read on its own becomes zeros.
    std::memset(at, 0, m_sectorSize);
    if (block.error == 0) block.error = result::IsFailure(code) ? code : kUnreadable;
    AddBad(block, first - blockFirst, 1);
    return;
  }
  // Halving finds a few bad sectors in a block with a few dozen reads.
  const int64_t half = count / 2;
  ReadPieces(out, blockFirst, first, half, block);
  ReadPieces(out, blockFirst, first + half, count - half, block);
}

void CStorageDeviceWithCache::AddBad(Block& block, int64_t offset, int64_t count) {
  if (!block.bad.empty() && block.bad.back().first + block.bad.back().second >= offset) {
    block.bad.back().second = std::max(block.bad.back().second, offset + count - block.bad.back().first);
  } else {
    block.bad.emplace_back(offset, count);
  }
}

CStorageDeviceWithCache::Buffer CStorageDeviceWithCache::TakeSpareLocked() {
  if (m_spare.empty()) return nullptr;
  Buffer buffer = std::move(m_spare.back());
  m_spare.pop_back();
  return buffer;
}

void CStorageDeviceWithCache::GiveBackLocked(Buffer buffer, size_t bytes) {
  // A queue's worth, the block in flight and the one being swapped out; once
  // the cache has ended no block is read ahead, and a spare would only hold
  // memory.
  if (m_running && buffer != nullptr && bytes == m_bufferBytes && m_spare.size() < kQueueCapacity + 2) {
    m_spare.push_back(std::move(buffer));
  }
}

CStorageDeviceWithCache::CurrentRef CStorageDeviceWithCache::TakeCurrent() const {
  std::lock_guard<std::mutex> hold(m_currentLock);
  return m_current;
}

CStorageDeviceWithCache::CurrentRef CStorageDeviceWithCache::SwapCurrent(CurrentRef next) {
  std::lock_guard<std::mutex> hold(m_currentLock);
  m_current.swap(next);
  return next;
}

void CStorageDeviceWithCache::Recycle(Current* current) {
  {
    std::lock_guard<std::mutex> hold(m_queueLock);
    GiveBackLocked(std::move(current->data), current->bytes);
  }
  delete current;
}

void CStorageDeviceWithCache::DropBeforeLocked(int64_t index) {
  bool dropped = false;
  while (!m_queue.empty() && m_queue.front().index < index) {
    GiveBackLocked(std::move(m_queue.front().data), m_bufferBytes);
    m_queue.pop_front();
    dropped = true;
  }
  if (dropped) m_blockWanted.notify_one();
}

void CStorageDeviceWithCache::SetBlockSize(uint32_t sectors) {
  EndCache();
  m_blockSize = sectors;
  SwapCurrent(nullptr).reset();
  TakeGeometry();
}

void CStorageDeviceWithCache::BeginCache() {
  EndCache();
  {
    std::lock_guard<std::mutex> hold(m_queueLock);
    m_running = true;
  }
  if (m_underlying == nullptr) return;
  TakeGeometry();
  if (m_blockSize == 0) return;

  // The first blocks are read before the scan starts, so that the pass
  // begins with a full queue (the rest of them too once a stop is asked:
  // none of those is read).
  m_salvageBlock = -1;
  const int64_t count = BlockCount();
  std::deque<Block> first;
  int64_t next = 0;
  for (; next < std::min<int64_t>(count, kQueueCapacity) && !m_stopSalvage; ++next) {
    first.push_back(ReadBlock(next, nullptr, true));
  }

  bool startReader = false;
  {
    std::lock_guard<std::mutex> hold(m_queueLock);
    m_queue = std::move(first);
    m_nextBlock = next;
    m_inFlight = -1;
    ++m_generation;
    // After a stop heard there, nothing more is read ahead of a scan that
    // ends: a failing medium may take seconds over each read.
    startReader = next < count && !m_stopSalvage;
    m_readerAlive = startReader;
  }
  if (!startReader) return;
  try {
    m_reader = std::thread(&CStorageDeviceWithCache::ReaderLoop, this);
  } catch (const std::system_error&) {
    // Without a reader every further block is read when it is asked for.
    std::lock_guard<std::mutex> hold(m_queueLock);
    m_readerAlive = false;
  }
}

void CStorageDeviceWithCache::ReaderLoop() {
  std::unique_lock<std::mutex> held(m_queueLock);
  for (;;) {
    m_blockWanted.wait(held,
                       [this] { return !m_running || m_nextBlock >= BlockCount() || m_queue.size() < kQueueCapacity; });
    if (!m_running || m_nextBlock >= BlockCount()) break;
    const int64_t index = m_nextBlock++;
    const uint64_t generation = m_generation;
    m_inFlight = index;
    Buffer buffer = TakeSpareLocked();
    held.unlock();
    Block block = ReadBlock(index, std::move(buffer));
    held.lock();
    m_inFlight = -1;
    if (m_running && generation == m_generation) {
      m_queue.push_back(std::move(block));
      m_blockReady.notify_all();
    } else {
      // The consumer moved on while this block was read.
      GiveBackLocked(std::move(block.data), m_bufferBytes);
    }
  }
  m_readerAlive = false;
  m_inFlight = -1;
  m_blockReady.notify_all();
}

int CStorageDeviceWithCache::SetCurCacheBlock(int64_t block) {
  if (m_underlying == nullptr || m_blockSize == 0) return 0;
  std::unique_lock<std::mutex> held(m_queueLock);
  if (block < 0 || block >= BlockCount()) return 0;

  DropBeforeLocked(block);
  if (m_queue.empty() && m_running && m_readerAlive && (block >= m_nextBlock || block == m_inFlight)) {
    if (block > m_nextBlock) {
      // Asked ahead of the reader: it moves there, and what it is reading
      // now is thrown away.
      ++m_generation;
      m_nextBlock = block;
    }
    m_blockWanted.notify_one();
    const auto ready = [this] { return !m_queue.empty() || !m_running || !m_readerAlive; };
    // A block that takes long (read around damage, or off a slow medium):
    // the hook hears how far it is, and may stop.
    while (!m_blockReady.wait_for(held, kWaitReport, ready)) {
      if (!m_waitHook) continue;
      const double settled = m_salvageBlock.load() == block ? m_salvaged.load() : 0.0;
      held.unlock();
      const bool go = m_waitHook(block, settled);
      held.lock();
      if (!go) {
        m_stopSalvage = true;
        return 0;
      }
    }
    DropBeforeLocked(block);
  }

  Block taken;
  bool queued = false;
  if (!m_queue.empty() && m_queue.front().index == block) {
    taken = std::move(m_queue.front());
    m_queue.pop_front();
    m_blockWanted.notify_one();
    queued = true;
  }
  Buffer spare = queued ? nullptr : TakeSpareLocked();
  held.unlock();

  // A block behind the queue (asked again, or never queued) is read now.
  if (!queued || taken.data == nullptr) taken = ReadBlock(block, std::move(spare), true);
  if (taken.data == nullptr) return 0;

  auto* current = new (std::nothrow) Current;
  if (current == nullptr) {
    held.lock();
    GiveBackLocked(std::move(taken.data), m_bufferBytes);
    return 0;
  }
  current->index = block;
  current->first = block * m_blockSize;
  current->sectors = taken.sectors;
  current->sectorSize = m_sectorSize;
  current->bytes = m_bufferBytes;
  current->data = std::move(taken.data);
  current->bad = std::move(taken.bad);
  current->error = taken.error;
  CurrentRef next;
  try {
    next = CurrentRef(current, [this](Current* done) { Recycle(done); });
  } catch (const std::bad_alloc&) {
    // The deleter has given the buffer back already.
    return 0;
  }
  // Readers that still hold the old block finish with it; the last of them
  // gives its buffer back.
  SwapCurrent(std::move(next)).reset();
  return 1;
}

void CStorageDeviceWithCache::EndCache() {
  {
    std::lock_guard<std::mutex> hold(m_queueLock);
    m_running = false;
  }
  // A block read around damage is given up at the medium's next read.
  m_stopSalvage = true;
  m_blockWanted.notify_all();
  m_blockReady.notify_all();
  // The reader may still be filling a buffer: join it before anything it
  // could touch is freed.
  if (m_reader.joinable()) m_reader.join();
  // Only the reads under way are given up: a block made current from now on
  // (reads go on working) is read around its damage again.
  m_stopSalvage = false;
  std::lock_guard<std::mutex> hold(m_queueLock);
  m_readerAlive = false;
  m_queue.clear();
  m_spare.clear();
  m_nextBlock = 0;
  m_inFlight = -1;
  ++m_generation;
}

void CStorageDeviceWithCache::ReleaseCurrentBlock() { SwapCurrent(nullptr).reset(); }

int64_t CStorageDeviceWithCache::GetCurCacheBlock() const {
  const CurrentRef current = TakeCurrent();
  return current != nullptr ? current->index : -1;
}

bool CStorageDeviceWithCache::IsReading() const {
  std::lock_guard<std::mutex> hold(m_queueLock);
  return m_readerAlive;
}

int CStorageDeviceWithCache::Open() { return m_underlying != nullptr ? 1 : 0; }

int CStorageDeviceWithCache::Close() { return m_underlying != nullptr ? 1 : 0; }

uint32_t CStorageDeviceWithCache::GetSectorSize() {
  return m_underlying != nullptr ? m_underlying->GetSectorSize() : 512;
}

int64_t CStorageDeviceWithCache::GetTotalSectors() {
  return m_underlying != nullptr ? m_underlying->GetTotalSectors() : 0;
}

int CStorageDeviceWithCache::IOCtl(uint64_t, void*) { return 0; }

const uint8_t* CStorageDeviceWithCache::BorrowSectors(int64_t firstSector, int64_t sectorCount) {
  if (firstSector < 0 || sectorCount <= 0 || m_underlying == nullptr) return nullptr;
  // The reference is only looked at: the caller makes blocks current itself,
  // so the block stays until it asks for another.
  const CurrentRef current = TakeCurrent();
  if (current == nullptr || current->data == nullptr || firstSector < current->first ||
      sectorCount > current->sectors || firstSector - current->first > current->sectors - sectorCount ||
      current->sectorSize != m_underlying->GetSectorSize()) {
    return nullptr;
  }
  const int64_t offset = firstSector - current->first;
  for (const BadRange& bad : current->bad) {
    if (bad.first < offset + sectorCount && offset < bad.first + bad.second) return nullptr;
  }
  return current->data.get() + static_cast<size_t>(offset) * current->sectorSize;
}

int CStorageDeviceWithCache::ReadSector(void* buffer, int64_t firstSector, int64_t sectorCount) {
  if (buffer == nullptr || firstSector < 0 || sectorCount <= 0 || m_underlying == nullptr) {
    SetLastError(kBadArgument);
    return 0;
  }
  auto* out = static_cast<uint8_t*>(buffer);
  int64_t inBlock = 0;
  uint32_t sectorSize = 0;
  bool ok = true;
  ResultCode failure = 0;
  const CurrentRef current = TakeCurrent();
  // The caller sized its buffer by the device's sector size now: a block
  // read with another one is not used.
  if (current != nullptr && firstSector >= current->first && firstSector < current->first + current->sectors &&
      current->sectorSize == m_underlying->GetSectorSize()) {
    sectorSize = current->sectorSize;
    if (sectorCount > std::numeric_limits<int64_t>::max() / sectorSize) {
      SetLastError(kBadArgument);
      return 0;
    }
    const int64_t offset = firstSector - current->first;
    inBlock = std::min(sectorCount, current->sectors - offset);
    std::memcpy(out, current->data.get() + static_cast<size_t>(offset) * sectorSize,
                static_cast<size_t>(inBlock) * sectorSize);
    for (const BadRange& bad : current->bad) {
      if (bad.first < offset + inBlock && offset < bad.first + bad.second) {
        // The block holds zeros there and the read bytes everywhere else.
        ok = false;
        failure = kLostSectors;
        break;
      }
    }
  }

  if (inBlock == 0) {
    const int answer = m_underlying->ReadSector(buffer, firstSector, sectorCount);
    SetLastError(answer != 0 ? 0 : m_underlying->GetLastError());
    return answer;
  }
  if (inBlock < sectorCount) {
    const int64_t restFirst = firstSector + inBlock;
    const int64_t rest = sectorCount - inBlock;
    uint8_t* restOut = out + static_cast<size_t>(inBlock) * sectorSize;
    if (restFirst >= m_underlying->GetTotalSectors()) {
      // The request runs past the end of the last block: like the device
      // itself, give zeros there.
      std::memset(restOut, 0, static_cast<size_t>(rest) * sectorSize);
    } else if (m_underlying->ReadSector(restOut, restFirst, rest) == 0) {
      const ResultCode code = m_underlying->GetLastError();
      // A lost sector in the block and a hard failure behind it: the hard
      // failure is what the caller must hear.
      if (ok || !unreadable::IsSalvaged(code)) failure = code;
      ok = false;
    }
  }
  SetLastError(ok ? 0 : (result::IsFailure(failure) ? failure : kUnreadable));
  return ok ? 1 : 0;
}

void CStorageDeviceWithCache::FindUnreadable(int64_t first, int64_t count, SectorRuns& out) {
  if (m_underlying == nullptr || first < 0 || count <= 0) return;
  SectorRuns found = unreadable::Find(m_underlying, first, count);
  // Sectors the block's own halving gave up on (an underlying device that
  // keeps no account of them).
  const CurrentRef current = TakeCurrent();
  if (current != nullptr && current->sectorSize == m_underlying->GetSectorSize()) {
    for (const BadRange& bad : current->bad) {
      const int64_t from = std::max(first, current->first + bad.first);
      const int64_t to = std::min(first + count, current->first + bad.first + bad.second);
      if (to > from) found.emplace_back(from, to - from);
    }
  }
  std::sort(found.begin(), found.end());
  for (const auto& run : found) {
    if (!out.empty() && out.back().first + out.back().second >= run.first) {
      out.back().second = std::max(out.back().second, run.first + run.second - out.back().first);
    } else {
      out.push_back(run);
    }
  }
}
