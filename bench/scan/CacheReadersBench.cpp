// The pace of the complete scan's block pass through the read-ahead device
// while other threads read from it (a preview, a copy-out, searchers that
// read on their own threads), against a plain read of the same blocks.
//
// The medium is 512 MiB in memory, so that the figures are the device's
// own costs, not a disk's. Timed, each the best of three runs:
//   plain read   every block read from the medium into one buffer
//   block pass   every block made current in turn, with 0, 1, 2, 4 and 8
//                threads reading spans of 1 to 64 sectors of the current
//                block for as long as the pass runs
// The pass's ratio to the plain read should stay put whatever the readers
// do; run it under `taskset -c 0,1` to see it on two cores, where readers
// outnumber the cores.
#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <random>
#include <thread>
#include <vector>

#include <sched.h>

#include "BenchArgs.h"
#include "scan/CRecoveryController.h"
#include "scan/CStorageDeviceWithCache.h"
#include "support/BytesDevice.h"

namespace {

using Clock = std::chrono::steady_clock;

constexpr size_t kMediumBytes = size_t{512} << 20;

double Seconds(Clock::time_point since) { return std::chrono::duration<double>(Clock::now() - since).count(); }

double PlainSeconds(IStorageDevice& medium, int64_t blockSectors) {
  std::vector<uint8_t> buffer(static_cast<size_t>(blockSectors) * medium.GetSectorSize());
  const int64_t total = medium.GetTotalSectors();
  const auto start = Clock::now();
  for (int64_t first = 0; first < total; first += blockSectors) {
    if (medium.ReadSector(buffer.data(), first, std::min(blockSectors, total - first)) == 0) return -1;
  }
  return Seconds(start);
}

struct PassFigures {
  double seconds = -1;
  uint64_t reads = 0;  // reads the other threads made meanwhile
};

PassFigures PassSeconds(IStorageDevice& medium, int64_t blockSectors, unsigned readers) {
  CStorageDeviceWithCache cache(&medium);
  cache.SetBlockSize(static_cast<uint32_t>(blockSectors));
  cache.BeginCache();
  const int64_t blocks = (medium.GetTotalSectors() + blockSectors - 1) / blockSectors;
  if (cache.SetCurCacheBlock(0) == 0) return {};
  std::atomic<bool> done{false};
  std::atomic<uint64_t> reads{0};
  std::vector<std::thread> threads;
  for (unsigned t = 0; t < readers; ++t) {
    threads.emplace_back([&, t] {
      std::minstd_rand rng(t + 1);
      std::vector<uint8_t> buffer(64 * 512);
      uint64_t own = 0;
      while (!done.load(std::memory_order_relaxed)) {
        const int64_t block = std::max<int64_t>(cache.GetCurCacheBlock(), 0);
        const int64_t count = 1 + rng() % 64;
        const int64_t first = block * blockSectors + rng() % (blockSectors - count);
        cache.ReadSector(buffer.data(), first, count);
        ++own;
      }
      reads += own;
    });
  }
  const auto start = Clock::now();
  bool ok = true;
  for (int64_t block = 1; block < blocks && ok; ++block) ok = cache.SetCurCacheBlock(block) == 1;
  const double seconds = Seconds(start) * static_cast<double>(blocks) / static_cast<double>(blocks - 1);
  done = true;
  for (std::thread& thread : threads) thread.join();
  return {ok ? seconds : -1, reads.load()};
}

}  // namespace

int main(int argc, char** argv) {
  // Nothing to choose: everything it measures is made in memory or in $TMPDIR.
  bench::ParseCommandLine(argc, argv, "", {}, 0);
  std::vector<uint8_t> bytes(kMediumBytes);
  std::minstd_rand fill(7);
  for (size_t i = 0; i < bytes.size(); i += 4096) bytes[i] = static_cast<uint8_t>(fill());
  testsupport::BytesDevice medium(bytes.data(), bytes.size());
  const int64_t blockSectors = CCompleteRecoveryController::BlockSectors(medium.GetSectorSize());
  const double gib = static_cast<double>(kMediumBytes) / (1u << 30);

  double plain = -1;  // the best of three
  for (int run = 0; run < 3; ++run) {
    const double seconds = PlainSeconds(medium, blockSectors);
    if (seconds <= 0) {
      std::printf("the plain read failed\n");
      return 1;
    }
    plain = plain < 0 ? seconds : std::min(plain, seconds);
  }
  cpu_set_t cpus;
  const int usable = ::sched_getaffinity(0, sizeof cpus, &cpus) == 0 ? CPU_COUNT(&cpus) : 0;
  std::printf("%d cores to run on; blocks of %lld sectors over %.1f GiB\n", usable,
              static_cast<long long>(blockSectors), gib);
  std::printf("plain read                      %7.2f GiB/s\n", gib / plain);
  for (const unsigned readers : {0u, 1u, 2u, 4u, 8u}) {
    PassFigures best;
    for (int run = 0; run < 3; ++run) {
      const PassFigures figures = PassSeconds(medium, blockSectors, readers);
      if (figures.seconds <= 0) {
        std::printf("a block pass failed\n");
        return 1;
      }
      if (best.seconds < 0 || figures.seconds < best.seconds) best = figures;
    }
    std::printf("block pass, %u readers          %7.2f GiB/s  ratio to plain %.2f  (%.0f reads/s beside it)\n", readers,
                gib / best.seconds, plain / best.seconds, static_cast<double>(best.reads) / best.seconds);
  }
  return 0;
}
