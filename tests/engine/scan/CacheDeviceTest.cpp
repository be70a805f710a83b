// The read-ahead caching device: what it serves, what it reads, and how its
// reader thread and the consumer meet.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstring>
#include <random>
#include <thread>
#include <utility>
#include <vector>

#include "SectorLender.h"
#include "UnreadableSectors.h"
#include "device/DiskDevice.h"
#include "engine/device/DeviceTestSupport.h"
#include "engine/scan/ScanTestSupport.h"
#include "scan/CStorageDeviceWithCache.h"
#include "support/HeapInUse.h"

namespace {

using scantest::Bytes;
using scantest::PatternDevice;

Bytes Read(IStorageDevice& device, int64_t first, int64_t count, int* answer = nullptr) {
  Bytes bytes(static_cast<size_t>(count) * device.GetSectorSize(), 0xCC);
  const int got = device.ReadSector(bytes.data(), first, count);
  if (answer != nullptr) *answer = got;
  return bytes;
}

// Makes `block` current and checks that reading it whole gives the device's bytes.
void ExpectBlock(CStorageDeviceWithCache& cache, int64_t block) {
  ASSERT_EQ(cache.SetCurCacheBlock(block), 1) << "block " << block;
  const int64_t first = block * cache.GetBlockSize();
  const int64_t count = std::min<int64_t>(cache.GetBlockSize(), cache.GetTotalSectors() - first);
  int answer = 0;
  EXPECT_EQ(Read(cache, first, count, &answer), PatternDevice::Expected(first, count, cache.GetSectorSize()))
      << "block " << block;
  EXPECT_EQ(answer, 1);
}

std::unique_ptr<CStorageDeviceWithCache> Begun(PatternDevice& device, uint32_t blockSize) {
  auto cache = std::make_unique<CStorageDeviceWithCache>(&device);
  cache->SetBlockSize(blockSize);
  cache->BeginCache();
  return cache;
}

TEST(CacheDevice, ServesEveryBlockReadOnceAndNeverPastTheEnd) {
  const struct {
    int64_t total, block;
    uint32_t sectorSize;
    int firstReads;              // by BeginCache: the queue holds ten blocks
    std::vector<int64_t> order;  // empty: every block in order
  } cases[] = {
      {13 * 64 + 5, 64, 512, 10, {}},    // more blocks than the queue holds, a short last one
      {3 * 8192 + 1, 8192, 512, 4, {}},  // fewer: no reader at all
      {100, 8192, 512, 1, {}},           // smaller than one block
      {1, 8192, 512, 1, {}},
      {3 * 1024 + 7, 1024, 4096, 4, {}},
      {30 * 16 + 3, 16, 512, 10, {0, 5, 3, 4, 22, 22, 1, 23, 30, 29, 2}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.total);
    PatternDevice device(c.total, c.sectorSize);
    auto cache = Begun(device, static_cast<uint32_t>(c.block));
    const int64_t blocks = (c.total + c.block - 1) / c.block;
    EXPECT_EQ(device.reads.load(), c.firstReads);
    EXPECT_EQ(cache->IsReading(), blocks > 10);
    std::vector<int64_t> order = c.order;
    for (int64_t k = 0; c.order.empty() && k < blocks; ++k) order.push_back(k);
    for (int64_t block : order) {
      ExpectBlock(*cache, block);
      if (c.order.empty()) {
        EXPECT_LE(device.highest.load() / c.block, block + 10) << "at most ten blocks read ahead";
      }
    }
    if (c.order.empty()) {
      EXPECT_EQ(device.reads.load(), blocks);
    }
    EXPECT_EQ(cache->SetCurCacheBlock(blocks) + cache->SetCurCacheBlock(-1), 0);
    EXPECT_EQ(device.overruns.load(), 0);
  }
}

// Reads that leave the current block are checked by the random readers below.
TEST(CacheDevice, ReadsPastTheEndOfTheLastBlockGiveZerosAsTheDeviceDoes) {
  constexpr int64_t kBlock = 64, kTotal = 4 * kBlock + 10;
  PatternDevice device(kTotal);
  auto cache = Begun(device, kBlock);
  ASSERT_EQ(cache->SetCurCacheBlock(4), 1);
  int answer = 0;
  Bytes expected = PatternDevice::Expected(kTotal - 4, 4);
  expected.resize(8 * 512, 0);
  EXPECT_EQ(Read(*cache, kTotal - 4, 8, &answer), expected);
  EXPECT_EQ(answer, 1);
  EXPECT_EQ(device.overruns.load(), 0);
}

TEST(CacheDevice, UnreadableSectorsBecomeZerosAndReadsOfThemFail) {
  constexpr int64_t kBlock = 64;
  PatternDevice device(3 * kBlock), dead(14 * 32);
  device.unreadable = {5, 6, kBlock + 63, 2 * kBlock};
  dead.allUnreadable = true;
  auto cache = Begun(device, kBlock);
  ASSERT_EQ(cache->SetCurCacheBlock(0), 1);
  int answer = -1;
  EXPECT_EQ(Read(*cache, 7, kBlock - 7, &answer), PatternDevice::Expected(7, kBlock - 7));
  EXPECT_EQ(answer, 1);
  // A request touching a bad sector fails, and still gets the good sectors
  // and zeros (never what the failed read left) for the bad ones.
  Bytes expected = PatternDevice::Expected(4, 4);
  std::memset(expected.data() + 512, 0, 2 * 512);
  EXPECT_EQ(Read(*cache, 4, 4, &answer), expected);
  EXPECT_EQ(answer, 0);
  EXPECT_TRUE(unreadable::IsSalvaged(cache->GetLastError())) << "the buffer is good but for the zeros";
  EXPECT_EQ(unreadable::Find(cache.get(), 0, kBlock), (SectorRuns{{5, 2}}));
  ASSERT_EQ(cache->SetCurCacheBlock(1), 1);
  EXPECT_EQ(Read(*cache, kBlock, kBlock - 1, &answer), PatternDevice::Expected(kBlock, kBlock - 1));
  EXPECT_EQ(answer + cache->GetLastError(), 1u);
  ASSERT_EQ(cache->SetCurCacheBlock(2), 1);
  expected = PatternDevice::Expected(2 * kBlock, kBlock);
  std::memset(expected.data(), 0, 512);
  EXPECT_EQ(Read(*cache, 2 * kBlock, kBlock, &answer), expected);
  EXPECT_EQ(answer, 0);
  // A device that reads nothing still gives every block, all zeros.
  auto deadCache = Begun(dead, 32);
  for (int64_t block = 0; block < 14; ++block) {
    ASSERT_EQ(deadCache->SetCurCacheBlock(block), 1) << block;
    EXPECT_EQ(Read(*deadCache, block * 32, 32, &answer), Bytes(32 * 512, 0));
    EXPECT_EQ(answer, 0);
  }
}

// A device that reads around its own damage is read once per block: the
// cache takes the sectors it names instead of halving.
TEST(CacheDevice, TakesTheLostSectorsADeviceNamesWithoutReadingAgain) {
  constexpr int64_t kBlock = 256;
  std::vector<uint8_t> bytes(12 * kBlock * 512);
  for (size_t i = 0; i < bytes.size(); ++i) bytes[i] = static_cast<uint8_t>(i * 7 + i / 512);
  auto owned = std::make_unique<devicetest::FailingMedium>(
      bytes, std::vector<std::pair<int64_t, int64_t>>{{(3 * kBlock + 17) * 512, 1024}});
  const auto counters = owned->Count();
  CDiskDevice disk("a failing disk");
  disk.OpenOn(std::move(owned), 512, 12 * kBlock);
  CStorageDeviceWithCache cache(&disk);
  cache.SetBlockSize(kBlock);
  cache.BeginCache();
  for (int64_t block = 0; block < 12; ++block) {
    ASSERT_EQ(cache.SetCurCacheBlock(block), 1);
    Bytes expected(bytes.begin() + block * kBlock * 512, bytes.begin() + (block + 1) * kBlock * 512);
    if (block == 3) std::memset(expected.data() + 17 * 512, 0, 1024);
    int answer = -1;
    EXPECT_EQ(Read(cache, block * kBlock, kBlock, &answer), expected) << block;
    EXPECT_EQ(answer, block == 3 ? 0 : 1);
    EXPECT_EQ(cache.BorrowSectors(block * kBlock, kBlock) != nullptr, block != 3);
  }
  EXPECT_EQ(unreadable::Find(&cache, 0, 12 * kBlock), (SectorRuns{{3 * kBlock + 17, 2}}));
  // Blocks 0-3 through the page cache; from the failure on, its zone goes
  // past it, each block in one read once the damage is known.
  EXPECT_EQ(counters->cached.load(), 4);
  EXPECT_LE(counters->uncached.load(), 30) << "one read per later block, halving within block 3 only";
  cache.EndCache();

  // A block made current once the pass has ended, or by a cache whose pass
  // never began, is read around the damage too: only a pass under way gives
  // its reads up.
  CStorageDeviceWithCache idle(&disk);
  idle.SetBlockSize(kBlock);
  for (CStorageDeviceWithCache* after : {&cache, &idle}) {
    ASSERT_EQ(after->SetCurCacheBlock(3), 1);
    Bytes expected(bytes.begin() + 3 * kBlock * 512, bytes.begin() + 4 * kBlock * 512);
    std::memset(expected.data() + 17 * 512, 0, 1024);
    int answer = -1;
    EXPECT_EQ(Read(*after, 3 * kBlock, kBlock, &answer), expected) << (after == &cache ? "ended" : "never begun");
    EXPECT_EQ(answer, 0);
  }
}

// What is lent must be what ReadSector would give, and only that: a range
// with a bad sector, outside the current block or of an old sector size is
// refused, so that the borrower falls back on ReadSector.
TEST(CacheDevice, LendsTheCurrentBlockInPlaceOnlyWhereEverySectorWasRead) {
  constexpr int64_t kBlock = 64, kTotal = 3 * kBlock + 10;
  PatternDevice device(kTotal);
  device.unreadable = {kBlock + 6};
  auto cache = Begun(device, kBlock);
  auto lent = [&](int64_t first, int64_t count) -> Bytes {
    const uint8_t* p = BorrowSectors(cache.get(), first, count);
    return p != nullptr ? Bytes(p, p + count * 512) : Bytes();
  };
  EXPECT_TRUE(lent(0, 1).empty()) << "no current block yet";
  ASSERT_EQ(cache->SetCurCacheBlock(0), 1);
  EXPECT_EQ(lent(0, kBlock), PatternDevice::Expected(0, kBlock));
  EXPECT_EQ(cache->BorrowSectors(10, 5), cache->BorrowSectors(0, kBlock) + 10 * 512) << "in place, not a copy";
  for (const auto& [first, count] : std::vector<std::pair<int64_t, int64_t>>{
           {kBlock - 4, 5}, {kBlock, 1}, {-1, 2}, {0, 0}, {0, kBlock + 1}, {3, INT64_MAX}}) {
    EXPECT_EQ(cache->BorrowSectors(first, count), nullptr) << first << "+" << count;
  }
  ASSERT_EQ(cache->SetCurCacheBlock(1), 1);
  EXPECT_TRUE(lent(kBlock, kBlock).empty()) << "a bad sector inside";
  EXPECT_EQ(lent(kBlock, 6), PatternDevice::Expected(kBlock, 6));
  EXPECT_EQ(lent(kBlock + 7, kBlock - 7), PatternDevice::Expected(kBlock + 7, kBlock - 7));
  ASSERT_EQ(cache->SetCurCacheBlock(3), 1);
  EXPECT_EQ(lent(3 * kBlock, 10), PatternDevice::Expected(3 * kBlock, 10));
  EXPECT_TRUE(lent(3 * kBlock, 11).empty()) << "past the device's end";
  EXPECT_EQ(BorrowSectors(&device, 0, 1), nullptr) << "a device that lends nothing";
  cache->EndCache();
  EXPECT_FALSE(lent(3 * kBlock, 10).empty()) << "the current block outlives the read-ahead";
  device.sectorSize = 4096;
  EXPECT_TRUE(lent(3 * kBlock, 1).empty()) << "read with 512-byte sectors";
  device.sectorSize = 512;
  // Released, the block is neither lent nor read: the device serves.
  cache->ReleaseCurrentBlock();
  EXPECT_EQ(cache->GetCurCacheBlock(), -1);
  EXPECT_TRUE(lent(3 * kBlock, 10).empty());
  const int before = device.reads.load();
  EXPECT_EQ(Read(*cache, 3 * kBlock, 10), PatternDevice::Expected(3 * kBlock, 10));
  EXPECT_EQ(device.reads.load(), before + 1);
}

// An ended cache keeps no spare buffers, and once its last block is
// released it holds no block at all.
TEST(CacheDevice, AnEndedCacheHoldsNoBlocksOnceTheLastIsReleased) {
  constexpr int64_t kBlock = 2048;  // 1 MiB
  PatternDevice device(30 * kBlock);
  const int64_t before = testsupport::HeapInUse();
  auto cache = Begun(device, kBlock);
  for (int64_t block = 0; block < 30; ++block) ASSERT_EQ(cache->SetCurCacheBlock(block), 1);
  cache->EndCache();
  const int64_t ended = testsupport::HeapInUse();
  cache->ReleaseCurrentBlock();
  const int64_t released = testsupport::HeapInUse();
  EXPECT_EQ(Read(*cache, 29 * kBlock, 2), PatternDevice::Expected(29 * kBlock, 2));
  if (before < 0) return;  // a sanitizer keeps the books
  EXPECT_LT(ended - before, 2 << 20) << "the current block only";
  EXPECT_LT(released - before, 1 << 20);
}

TEST(CacheDevice, AnotherSectorSizeDropsTheBlocksOfTheOldOne) {
  PatternDevice device(4 * 64);
  auto cache = Begun(device, 64);
  ASSERT_EQ(cache->SetCurCacheBlock(0), 1);
  cache->EndCache();
  device.sectorSize = 4096;
  // The block in memory has 512-byte sectors: the device serves the read.
  EXPECT_EQ(Read(*cache, 1, 3), PatternDevice::Expected(1, 3, 4096));
  cache->BeginCache();
  EXPECT_EQ(cache->GetCurCacheBlock(), -1);
  for (int64_t block = 0; block < 4; ++block) ExpectBlock(*cache, block);
}

TEST(CacheDevice, ServesAfterEndCacheAndStartsAgainFromBlockZero) {
  PatternDevice device(40 * 16);
  auto cache = Begun(device, 16);
  ExpectBlock(*cache, 0);
  ExpectBlock(*cache, 1);
  cache->EndCache();
  EXPECT_FALSE(cache->IsReading());
  EXPECT_EQ(Read(*cache, 16, 16), PatternDevice::Expected(16, 16));
  for (int64_t block = 2; block < 40; ++block) ExpectBlock(*cache, block);  // read when asked for
  cache->BeginCache();
  for (int64_t block = 0; block < 40; ++block) ExpectBlock(*cache, block);
  // A new block size ends the running cache and forgets the current block.
  cache->SetBlockSize(32);
  EXPECT_TRUE(!cache->IsReading() && cache->GetCurCacheBlock() == -1);
  cache->BeginCache();
  for (int64_t block = 0; block < 20; ++block) ExpectBlock(*cache, block);
}

TEST(CacheDevice, DestroyingWhileTheReaderWaitsForRoomDoesNotHang) {
  PatternDevice device(100 * 8);
  for (int round = 0; round < 20; ++round) ASSERT_EQ(Begun(device, 8)->SetCurCacheBlock(0), 1);
}

// The reader's read of block 10 is held at a gate while the consumer waits
// for that block; the block itself, or EndCache from another thread, must
// let the consumer go, and EndCache waits for the read in flight.
TEST(CacheDevice, AConsumerWaitingForTheBlockInFlightIsLetGo) {
  for (const bool endCache : {false, true}) {
    SCOPED_TRACE(endCache);
    PatternDevice device(40 * 8);
    device.Gate(10 * 8);
    auto cache = Begun(device, 8);
    for (int64_t block = 0; block < 10; ++block) ASSERT_EQ(cache->SetCurCacheBlock(block), 1);
    device.WaitUntilHeld();
    std::thread consumer([&] { ExpectBlock(*cache, 10); });
    std::thread ender([&] {
      if (endCache) cache->EndCache();
    });
    device.Gate(-1);
    consumer.join();
    ender.join();
    for (int64_t block = 11; block < 40; ++block) ExpectBlock(*cache, block);
    if (!endCache) {
      EXPECT_EQ(device.reads.load(), 40) << "the block in flight was not read twice";
    }
  }
}

// Both sides go at random speeds while other threads read: one anywhere on
// the device, four without pause inside the current block, more readers
// than two cores. A lost wake-up would hang the pass, a block swapped under
// a reader would show in its bytes, and readers that keep the device busy
// must not hold the pass up: they give up after 20 s, far beyond the second
// the pass takes, and a pass still running by then fails. The consumer
// pauses by sleeping, never by yielding: a yield hands a busy core to a
// reader for a whole time slice, and thousands of them took minutes.
TEST(CacheDevice, ReadersOnOtherThreadsWhileTheConsumerGoesAtRandomSpeeds) {
  constexpr int64_t kBlock = 64, kBlocks = 300, kTotal = kBlocks * kBlock + 1;
  PatternDevice device(kTotal);
  const Bytes whole = PatternDevice::Expected(0, kTotal);
  std::mt19937 rng(7);
  for (int round = 0; round < 3; ++round) {
    SCOPED_TRACE(round);
    auto cache = Begun(device, kBlock);
    std::atomic<bool> done{false}, heldUp{false};
    std::atomic<int> wrong{0};
    std::vector<std::thread> readers;
    for (unsigned t = 0; t < 5; ++t) {
      readers.emplace_back([&, t] {
        std::mt19937 own(t);
        Bytes bytes(kBlock * 512);
        unsigned copies = 0;
        const auto giveUp = std::chrono::steady_clock::now() + std::chrono::seconds(20);
        while (!done) {
          if (std::chrono::steady_clock::now() > giveUp) {
            heldUp = true;
            return;
          }
          if (t == 0) {
            const int64_t count = 1 + own() % 40, first = own() % (kTotal - count);
            int answer = 0;
            wrong += Read(*cache, first, count, &answer) != PatternDevice::Expected(first, count) || answer != 1;
            continue;
          }
          // The whole current block, over and over; every eighth copy is
          // checked, so that these readers nearly always hold the device.
          const int64_t first = std::max<int64_t>(cache->GetCurCacheBlock(), 0) * kBlock;
          const int64_t count = std::min(kBlock, kTotal - first);
          const bool read = cache->ReadSector(bytes.data(), first, count) == 1;
          wrong +=
              !read || (++copies % 8 == 0 && std::memcmp(bytes.data(), whole.data() + first * 512, count * 512) != 0);
        }
      });
    }
    for (int64_t block = 0; block <= kBlocks; ++block) {
      ExpectBlock(*cache, block);
      if (round > 0) std::this_thread::sleep_for(std::chrono::microseconds(rng() % (round * 100)));
    }
    done = true;
    for (std::thread& reader : readers) reader.join();
    EXPECT_EQ(wrong.load(), 0);
    EXPECT_FALSE(heldUp.load()) << "the readers held the block pass up";
  }
  EXPECT_EQ(device.overruns.load(), 0);
}

}  // namespace
