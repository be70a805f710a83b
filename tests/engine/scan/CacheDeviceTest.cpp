// The read-ahead caching device: what it serves, what it reads, and how its
// reader thread and the consumer meet.
#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <random>
#include <thread>
#include <vector>

#include "engine/scan/ScanTestSupport.h"
#include "scan/CStorageDeviceWithCache.h"

namespace {

using scantest::PatternDevice;

std::vector<uint8_t> Read(IStorageDevice& device, int64_t first, int64_t count, int* answer = nullptr) {
  std::vector<uint8_t> bytes(static_cast<size_t>(count) * device.GetSectorSize(), 0xCC);
  const int got = device.ReadSector(bytes.data(), first, count);
  if (answer != nullptr) *answer = got;
  return bytes;
}

// The bytes of one block of a cache over `device`, after making it current.
void ExpectBlock(CStorageDeviceWithCache& cache, int64_t block, int64_t blockSize, int64_t total) {
  ASSERT_EQ(cache.SetCurCacheBlock(block), 1) << "block " << block;
  const int64_t first = block * blockSize;
  const int64_t count = std::min(blockSize, total - first);
  int answer = 0;
  EXPECT_EQ(Read(cache, first, count, &answer), PatternDevice::Expected(first, count)) << "block " << block;
  EXPECT_EQ(answer, 1);
}

TEST(CacheDevice, ServesEveryBlockInOrderWithTheDevicesBytes) {
  constexpr int64_t kBlock = 64;
  constexpr int64_t kTotal = 13 * kBlock + 5;  // more blocks than the queue holds, a short last one
  PatternDevice device(kTotal);
  CStorageDeviceWithCache cache(&device);
  cache.SetBlockSize(kBlock);
  cache.BeginCache();
  for (int64_t block = 0; block < 14; ++block) ExpectBlock(cache, block, kBlock, kTotal);
  EXPECT_EQ(cache.GetCurCacheBlock(), 13);
  EXPECT_EQ(device.overruns(), 0);
  EXPECT_EQ(device.failedReads(), 0);
  cache.EndCache();
  EXPECT_FALSE(cache.IsReading());
}

TEST(CacheDevice, ReadsEachBlockOnceAndNeverPastTheEnd) {
  constexpr int64_t kBlock = 64;
  constexpr int64_t kTotal = 13 * kBlock + 5;
  PatternDevice device(kTotal);
  CStorageDeviceWithCache cache(&device);
  cache.SetBlockSize(kBlock);
  cache.BeginCache();
  for (int64_t block = 0; block < 14; ++block) ASSERT_EQ(cache.SetCurCacheBlock(block), 1);
  cache.EndCache();
  EXPECT_EQ(device.reads(), 14);
  EXPECT_EQ(device.highestSector(), kTotal - 1);
  EXPECT_EQ(device.overruns(), 0);
}

TEST(CacheDevice, FirstReadsAreCutAtTheEndOfADeviceSmallerThanTheQueue) {
  // Three and a bit blocks: BeginCache must read four blocks, the last one
  // cut, and nothing that does not exist.
  constexpr int64_t kBlock = 8192;
  constexpr int64_t kTotal = 3 * kBlock + 1;
  PatternDevice device(kTotal);
  CStorageDeviceWithCache cache(&device);
  cache.SetBlockSize(kBlock);
  cache.BeginCache();
  EXPECT_EQ(device.reads(), 4);
  EXPECT_EQ(device.overruns(), 0);
  EXPECT_EQ(device.failedReads(), 0);
  EXPECT_FALSE(cache.IsReading()) << "no reader is needed when the first reads cover the device";
  for (int64_t block = 0; block < 4; ++block) ExpectBlock(cache, block, kBlock, kTotal);
  EXPECT_EQ(cache.SetCurCacheBlock(4), 0);
}

TEST(CacheDevice, DeviceSmallerThanOneBlockIsReadWhole) {
  constexpr int64_t kTotal = 100;
  PatternDevice device(kTotal);
  CStorageDeviceWithCache cache(&device);
  cache.SetBlockSize(8192);
  cache.BeginCache();
  EXPECT_EQ(device.overruns(), 0);
  ExpectBlock(cache, 0, 8192, kTotal);
  EXPECT_EQ(cache.SetCurCacheBlock(1), 0);
}

TEST(CacheDevice, OneSectorDevice) {
  PatternDevice device(1);
  CStorageDeviceWithCache cache(&device);
  cache.SetBlockSize(8192);
  cache.BeginCache();
  ExpectBlock(cache, 0, 8192, 1);
  EXPECT_EQ(device.overruns(), 0);
  EXPECT_EQ(device.reads(), 1);
}

TEST(CacheDevice, FillsTheQueueBeforeTheReaderStartsAndStaysTenBlocksAhead) {
  constexpr int64_t kBlock = 16;
  constexpr int64_t kBlocks = 40;
  PatternDevice device(kBlock * kBlocks);
  CStorageDeviceWithCache cache(&device);
  cache.SetBlockSize(kBlock);
  cache.BeginCache();
  // The queue is full: the reader waits for room, so exactly ten reads.
  EXPECT_EQ(device.reads(), 10);
  EXPECT_EQ(device.highestSector(), 10 * kBlock - 1);
  for (int64_t block = 0; block < kBlocks; ++block) {
    ASSERT_EQ(cache.SetCurCacheBlock(block), 1);
    // Whatever the reader did meanwhile, it holds at most ten blocks beyond
    // the current one.
    EXPECT_LE(device.highestSector() / kBlock, block + 10) << "block " << block;
  }
  EXPECT_EQ(device.reads(), kBlocks);
}

TEST(CacheDevice, RefusesBlocksOutsideTheDevice) {
  PatternDevice device(8193);
  CStorageDeviceWithCache cache(&device);
  cache.SetBlockSize(8192);
  cache.BeginCache();
  EXPECT_EQ(cache.SetCurCacheBlock(-1), 0);
  EXPECT_EQ(cache.SetCurCacheBlock(2), 0);
  EXPECT_EQ(cache.SetCurCacheBlock(1), 1);

  CStorageDeviceWithCache zero(&device);
  zero.SetBlockSize(0);
  zero.BeginCache();
  EXPECT_EQ(zero.SetCurCacheBlock(0), 0);

  CStorageDeviceWithCache none(nullptr);
  none.SetBlockSize(8192);
  none.BeginCache();
  EXPECT_EQ(none.SetCurCacheBlock(0), 0);
  EXPECT_EQ(none.Open(), 0);
  EXPECT_EQ(none.GetSectorSize(), 512u);
  EXPECT_EQ(none.GetTotalSectors(), 0);
  uint8_t sector[512];
  EXPECT_EQ(none.ReadSector(sector, 0, 1), 0);
}

TEST(CacheDevice, IsKindThreeAndTellsTheUnderlyingGeometry) {
  PatternDevice device(5000, 4096);
  CStorageDeviceWithCache cache(&device);
  EXPECT_EQ(cache.GetType(), 3u);
  EXPECT_EQ(cache.GetSectorSize(), 4096u);
  EXPECT_EQ(cache.GetTotalSectors(), 5000);
  EXPECT_EQ(cache.GetBlockSize(), 1000u);
  EXPECT_EQ(cache.Open(), 1);
  EXPECT_EQ(cache.Close(), 1);
  EXPECT_EQ(cache.IOCtl(1, nullptr), 0);
  EXPECT_EQ(cache.GetLastError(), 0u);
  EXPECT_EQ(cache.GetCurCacheBlock(), -1);
  // The record is the cache's own: neither owned nor passed on.
  EXPECT_EQ(cache.GetPrivateData(), nullptr);
  EXPECT_EQ(device.GetPrivateData(), nullptr);
}

TEST(CacheDevice, FourKiBSectorsAreServedBySector) {
  constexpr int64_t kBlock = 1024;
  constexpr int64_t kTotal = 3 * kBlock + 7;
  PatternDevice device(kTotal, 4096);
  CStorageDeviceWithCache cache(&device);
  cache.SetBlockSize(kBlock);
  cache.BeginCache();
  for (int64_t block = 0; block < 4; ++block) {
    ASSERT_EQ(cache.SetCurCacheBlock(block), 1);
    const int64_t first = block * kBlock;
    const int64_t count = std::min(kBlock, kTotal - first);
    EXPECT_EQ(Read(cache, first, count), PatternDevice::Expected(first, count, 4096));
  }
  EXPECT_EQ(device.overruns(), 0);
}

TEST(CacheDevice, AnotherSectorSizeDropsTheBlocksOfTheOldOne) {
  PatternDevice device(4 * 64);
  CStorageDeviceWithCache cache(&device);
  cache.SetBlockSize(64);
  cache.BeginCache();
  ASSERT_EQ(cache.SetCurCacheBlock(0), 1);
  cache.EndCache();
  device.SetSectorSize(4096);
  // The block in memory has 512-byte sectors: the device serves the read.
  EXPECT_EQ(Read(cache, 1, 3), PatternDevice::Expected(1, 3, 4096));
  cache.BeginCache();
  EXPECT_EQ(cache.GetCurCacheBlock(), -1);
  for (int64_t block = 0; block < 4; ++block) {
    ASSERT_EQ(cache.SetCurCacheBlock(block), 1);
    EXPECT_EQ(Read(cache, block * 64, 64), PatternDevice::Expected(block * 64, 64, 4096));
  }
}

TEST(CacheDevice, ReadsOutsideTheCurrentBlockGoToTheDevice) {
  constexpr int64_t kBlock = 64;
  constexpr int64_t kTotal = 4 * kBlock + 10;
  PatternDevice device(kTotal);
  CStorageDeviceWithCache cache(&device);
  cache.SetBlockSize(kBlock);
  // Before any block is current, everything comes from the device.
  EXPECT_EQ(Read(cache, 3, 5), PatternDevice::Expected(3, 5));
  cache.BeginCache();
  ASSERT_EQ(cache.SetCurCacheBlock(0), 1);
  ASSERT_EQ(cache.SetCurCacheBlock(1), 1);
  const int before = device.reads();
  // Inside the block: memory only.
  EXPECT_EQ(Read(cache, kBlock + 3, 20), PatternDevice::Expected(kBlock + 3, 20));
  EXPECT_EQ(device.reads(), before);
  // Starting inside and running on: the rest from the device.
  int answer = 0;
  EXPECT_EQ(Read(cache, 2 * kBlock - 4, 30, &answer), PatternDevice::Expected(2 * kBlock - 4, 30));
  EXPECT_EQ(answer, 1);
  EXPECT_EQ(device.reads(), before + 1);
  // Starting before the block, or after it: the device serves all of it.
  EXPECT_EQ(Read(cache, kBlock - 2, 10), PatternDevice::Expected(kBlock - 2, 10));
  EXPECT_EQ(Read(cache, 3 * kBlock + 1, 4), PatternDevice::Expected(3 * kBlock + 1, 4));
  // Bad arguments.
  uint8_t sector[512];
  EXPECT_EQ(cache.ReadSector(nullptr, 0, 1), 0);
  EXPECT_EQ(cache.ReadSector(sector, -1, 1), 0);
  EXPECT_EQ(cache.ReadSector(sector, 0, 0), 0);
  EXPECT_NE(cache.GetLastError(), 0u);
  EXPECT_EQ(cache.ReadSector(sector, 0, 1), 1);
  EXPECT_EQ(cache.GetLastError(), 0u);
}

TEST(CacheDevice, ARequestRunningPastTheLastBlockGetsZerosThere) {
  constexpr int64_t kBlock = 64;
  constexpr int64_t kTotal = 2 * kBlock + 10;
  PatternDevice device(kTotal);
  CStorageDeviceWithCache cache(&device);
  cache.SetBlockSize(kBlock);
  cache.BeginCache();
  for (int64_t block = 0; block < 3; ++block) ASSERT_EQ(cache.SetCurCacheBlock(block), 1);
  int answer = 0;
  std::vector<uint8_t> bytes = Read(cache, kTotal - 4, 8, &answer);
  EXPECT_EQ(answer, 1);
  std::vector<uint8_t> expected = PatternDevice::Expected(kTotal - 4, 4);
  expected.resize(8 * 512, 0);
  EXPECT_EQ(bytes, expected);
  EXPECT_EQ(device.overruns(), 0);
}

TEST(CacheDevice, UnreadableSectorsBecomeZerosAndReadsOfThemFail) {
  constexpr int64_t kBlock = 64;
  constexpr int64_t kTotal = 3 * kBlock;
  PatternDevice device(kTotal);
  device.SetUnreadable({5, 6, kBlock + 63, 2 * kBlock});
  CStorageDeviceWithCache cache(&device);
  cache.SetBlockSize(kBlock);
  cache.BeginCache();

  ASSERT_EQ(cache.SetCurCacheBlock(0), 1);
  int answer = -1;
  // Good sectors around the bad ones read fine.
  EXPECT_EQ(Read(cache, 0, 5, &answer), PatternDevice::Expected(0, 5));
  EXPECT_EQ(answer, 1);
  EXPECT_EQ(Read(cache, 7, kBlock - 7, &answer), PatternDevice::Expected(7, kBlock - 7));
  EXPECT_EQ(answer, 1);
  // A request touching a bad sector fails, and still gets the good sectors
  // and zeros (never what the failed read left) for the bad ones.
  std::vector<uint8_t> expected = PatternDevice::Expected(4, 4);
  std::memset(expected.data() + 512, 0, 2 * 512);
  EXPECT_EQ(Read(cache, 4, 4, &answer), expected);
  EXPECT_EQ(answer, 0);
  EXPECT_EQ(cache.GetLastError(), scantest::kUnreadableCode);

  ASSERT_EQ(cache.SetCurCacheBlock(1), 1);
  EXPECT_EQ(Read(cache, kBlock, kBlock - 1, &answer), PatternDevice::Expected(kBlock, kBlock - 1));
  EXPECT_EQ(answer, 1);
  EXPECT_EQ(cache.GetLastError(), 0u);
  Read(cache, 2 * kBlock - 1, 1, &answer);
  EXPECT_EQ(answer, 0);

  ASSERT_EQ(cache.SetCurCacheBlock(2), 1);
  std::vector<uint8_t> third = PatternDevice::Expected(2 * kBlock, kBlock);
  std::memset(third.data(), 0, 512);
  EXPECT_EQ(Read(cache, 2 * kBlock, kBlock, &answer), third);
  EXPECT_EQ(answer, 0);
  EXPECT_EQ(device.overruns(), 0);
}

TEST(CacheDevice, AWhollyUnreadableDeviceStillQueuesEveryBlock) {
  constexpr int64_t kBlock = 32;
  constexpr int64_t kTotal = 14 * kBlock;
  PatternDevice device(kTotal);
  device.SetAllUnreadable(true);
  CStorageDeviceWithCache cache(&device);
  cache.SetBlockSize(kBlock);
  cache.BeginCache();
  const std::vector<uint8_t> zeros(kBlock * 512, 0);
  for (int64_t block = 0; block < 14; ++block) {
    ASSERT_EQ(cache.SetCurCacheBlock(block), 1) << "block " << block;
    int answer = -1;
    EXPECT_EQ(Read(cache, block * kBlock, kBlock, &answer), zeros);
    EXPECT_EQ(answer, 0);
  }
}

TEST(CacheDevice, BlocksAskedOutOfOrderStillGetTheirOwnBytes) {
  constexpr int64_t kBlock = 16;
  constexpr int64_t kTotal = 30 * kBlock + 3;
  PatternDevice device(kTotal);
  CStorageDeviceWithCache cache(&device);
  cache.SetBlockSize(kBlock);
  cache.BeginCache();
  for (int64_t block : {0, 5, 3, 4, 22, 22, 1, 23, 30, 29, 2}) ExpectBlock(cache, block, kBlock, kTotal);
  EXPECT_EQ(device.overruns(), 0);
}

TEST(CacheDevice, KeepsServingAfterEndCache) {
  constexpr int64_t kBlock = 16;
  constexpr int64_t kTotal = 20 * kBlock;
  PatternDevice device(kTotal);
  CStorageDeviceWithCache cache(&device);
  cache.SetBlockSize(kBlock);
  cache.BeginCache();
  ExpectBlock(cache, 0, kBlock, kTotal);
  ExpectBlock(cache, 1, kBlock, kTotal);
  cache.EndCache();
  EXPECT_EQ(cache.GetCurCacheBlock(), 1);
  EXPECT_EQ(Read(cache, kBlock, kBlock), PatternDevice::Expected(kBlock, kBlock));
  // Without the reader, blocks are read when asked for.
  for (int64_t block = 2; block < 20; ++block) ExpectBlock(cache, block, kBlock, kTotal);
  // And the cache can start again from block 0.
  cache.BeginCache();
  for (int64_t block = 0; block < 20; ++block) ExpectBlock(cache, block, kBlock, kTotal);
}

TEST(CacheDevice, SetBlockSizeEndsARunningCacheAndForgetsTheBlock) {
  constexpr int64_t kTotal = 40 * 16;
  PatternDevice device(kTotal);
  CStorageDeviceWithCache cache(&device);
  cache.SetBlockSize(16);
  cache.BeginCache();
  ExpectBlock(cache, 0, 16, kTotal);
  cache.SetBlockSize(32);
  EXPECT_FALSE(cache.IsReading());
  EXPECT_EQ(cache.GetCurCacheBlock(), -1);
  cache.BeginCache();
  for (int64_t block = 0; block < 20; ++block) ExpectBlock(cache, block, 32, kTotal);
}

TEST(CacheDevice, DestroyingWhileTheReaderWaitsForRoomDoesNotHang) {
  PatternDevice device(100 * 8);
  for (int round = 0; round < 20; ++round) {
    auto cache = std::make_unique<CStorageDeviceWithCache>(&device);
    cache->SetBlockSize(8);
    cache->BeginCache();
    ASSERT_EQ(cache->SetCurCacheBlock(0), 1);
    cache.reset();
  }
}

TEST(CacheDevice, EndCacheWaitsForAReadInFlight) {
  constexpr int64_t kBlock = 8;
  PatternDevice device(40 * kBlock);
  // The reader's first read, block 10, is held at the gate.
  device.CloseGate(10 * kBlock);
  CStorageDeviceWithCache cache(&device);
  cache.SetBlockSize(kBlock);
  cache.BeginCache();
  ASSERT_EQ(cache.SetCurCacheBlock(0), 1);
  device.WaitUntilHeld();
  std::atomic<bool> ended{false};
  std::thread ender([&] {
    cache.EndCache();
    ended = true;
  });
  device.OpenGate();
  ender.join();
  EXPECT_TRUE(ended);
  EXPECT_FALSE(cache.IsReading());
  ExpectBlock(cache, 1, kBlock, 40 * kBlock);
}

TEST(CacheDevice, AConsumerWaitingForTheReaderIsWokenByTheBlock) {
  constexpr int64_t kBlock = 8;
  constexpr int64_t kTotal = 40 * kBlock;
  PatternDevice device(kTotal);
  device.CloseGate(10 * kBlock);
  CStorageDeviceWithCache cache(&device);
  cache.SetBlockSize(kBlock);
  cache.BeginCache();
  for (int64_t block = 0; block < 10; ++block) ASSERT_EQ(cache.SetCurCacheBlock(block), 1);
  device.WaitUntilHeld();
  // Block 10 is in flight at the gate: the consumer must wait for it.
  std::thread consumer([&] { ExpectBlock(cache, 10, kBlock, kTotal); });
  device.OpenGate();
  consumer.join();
  for (int64_t block = 11; block < 40; ++block) ExpectBlock(cache, block, kBlock, kTotal);
  EXPECT_EQ(device.reads(), 40) << "the block in flight was not read twice";
}

TEST(CacheDevice, AConsumerWaitingForTheReaderIsWokenByEndCache) {
  constexpr int64_t kBlock = 8;
  constexpr int64_t kTotal = 40 * kBlock;
  PatternDevice device(kTotal);
  device.CloseGate(10 * kBlock);
  CStorageDeviceWithCache cache(&device);
  cache.SetBlockSize(kBlock);
  cache.BeginCache();
  for (int64_t block = 0; block < 10; ++block) ASSERT_EQ(cache.SetCurCacheBlock(block), 1);
  device.WaitUntilHeld();
  std::thread consumer([&] { ExpectBlock(cache, 10, kBlock, kTotal); });
  // The consumer is either waiting for block 10 or about to; stopping the
  // cache must let it go (it then reads the block itself, through the gate).
  std::thread ender([&] { cache.EndCache(); });
  device.OpenGate();
  consumer.join();
  ender.join();
}

// Both sides go at random speeds; a lost wake-up would hang here.
TEST(CacheDevice, ReaderAndConsumerAtRandomSpeeds) {
  constexpr int64_t kBlock = 4;
  constexpr int64_t kBlocks = 300;
  PatternDevice device(kBlocks * kBlock + 1);
  std::mt19937 rng(7);
  for (int round = 0; round < 4; ++round) {
    CStorageDeviceWithCache cache(&device);
    cache.SetBlockSize(kBlock);
    cache.BeginCache();
    for (int64_t block = 0; block <= kBlocks; ++block) {
      ASSERT_EQ(cache.SetCurCacheBlock(block), 1);
      const int64_t count = std::min<int64_t>(kBlock, kBlocks * kBlock + 1 - block * kBlock);
      ASSERT_EQ(Read(cache, block * kBlock, count), PatternDevice::Expected(block * kBlock, count));
      for (unsigned spin = rng() % (round * 400 + 1); spin > 0; --spin) std::this_thread::yield();
    }
  }
  EXPECT_EQ(device.overruns(), 0);
}

TEST(CacheDevice, ReadersOnOtherThreadsSeeRightBytesWhileBlocksChange) {
  constexpr int64_t kBlock = 16;
  constexpr int64_t kBlocks = 200;
  constexpr int64_t kTotal = kBlock * kBlocks;
  PatternDevice device(kTotal);
  CStorageDeviceWithCache cache(&device);
  cache.SetBlockSize(kBlock);
  cache.BeginCache();
  std::atomic<bool> done{false};
  std::atomic<int> wrong{0};
  std::vector<std::thread> readers;
  for (int t = 0; t < 3; ++t) {
    readers.emplace_back([&, t] {
      std::mt19937 rng(static_cast<unsigned>(t));
      while (!done) {
        const int64_t count = 1 + static_cast<int64_t>(rng() % 40);
        const int64_t first = static_cast<int64_t>(rng() % static_cast<uint32_t>(kTotal - count));
        int answer = 0;
        if (Read(cache, first, count, &answer) != PatternDevice::Expected(first, count) || answer != 1) ++wrong;
      }
    });
  }
  for (int64_t block = 0; block < kBlocks; ++block) ASSERT_EQ(cache.SetCurCacheBlock(block), 1);
  done = true;
  for (std::thread& reader : readers) reader.join();
  EXPECT_EQ(wrong, 0);
}

}  // namespace
