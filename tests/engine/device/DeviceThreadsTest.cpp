// Many threads reading one disk device and a window on it at once, as the
// complete scan's read-ahead thread and its worker do: every read must give
// exactly the image's bytes at its own offset.
#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <random>
#include <thread>
#include <vector>

#include "device/DiskDevice.h"
#include "device/PartitionDevice.h"
#include "engine/device/DeviceTestSupport.h"
#include "support/TestSupport.h"

namespace {

using devicetest::DevicePtr;
using testsupport::RunCommandOrFail;
using testsupport::ShellQuote;

TEST(DeviceThreads, ConcurrentReadsGetTheirOwnOffsets) {
  testsupport::TempDir dir;
  const std::string image = (dir / "disk.img").string();
  RunCommandOrFail("head -c 8M /dev/urandom > " + ShellQuote(image));
  const std::vector<uint8_t> bytes = testsupport::ReadFile(image);
  ASSERT_EQ(bytes.size(), 8u << 20);
  devicetest::ImageGuard guard(image);

  DevicePtr disk = devicetest::OpenDisk(image);
  constexpr int64_t kWindowStart = 1000;
  constexpr int64_t kWindowSize = 12000;
  DevicePtr window(CreatePartitionDevice(disk.get(), kWindowStart, kWindowSize));
  ASSERT_EQ(window->Open(), 1);
  const int64_t total = disk->GetTotalSectors();

  std::atomic<int> mismatches{0};
  std::atomic<int> failures{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < 8; ++t) {
    threads.emplace_back([&, t] {
      std::mt19937 rng(static_cast<unsigned>(t));
      std::vector<uint8_t> buffer;
      for (int i = 0; i < 400; ++i) {
        const bool viaWindow = (i % 2) == 1;
        IStorageDevice* device = viaWindow ? window.get() : disk.get();
        const int64_t limit = viaWindow ? kWindowSize : total;
        const int64_t count = 1 + static_cast<int64_t>(rng() % 64);
        const int64_t first = static_cast<int64_t>(rng() % static_cast<uint32_t>(limit - count));
        buffer.assign(static_cast<size_t>(count) * 512, 0);
        if (device->ReadSector(buffer.data(), first, count) == 0) {
          ++failures;
          continue;
        }
        const int64_t at = (viaWindow ? kWindowStart + first : first) * 512;
        if (std::memcmp(buffer.data(), bytes.data() + at, buffer.size()) != 0) ++mismatches;
      }
    });
  }
  for (auto& th : threads) th.join();
  EXPECT_EQ(failures.load(), 0);
  EXPECT_EQ(mismatches.load(), 0);
}

}  // namespace
