// Many threads reading one disk device and a window on it at once, as the
// complete scan's read-ahead thread and its worker do: every read must give
// exactly the image's bytes at its own offset.
#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <random>
#include <thread>

#include "device/PartitionDevice.h"
#include "engine/device/DeviceTestSupport.h"

namespace {

TEST(DeviceThreads, ConcurrentReadsGetTheirOwnOffsets) {
  testsupport::TempDir dir;
  const std::string image = (dir / "disk.img").string();
  testsupport::RunCommandOrFail("head -c 8M /dev/urandom > " + testsupport::ShellQuote(image));
  const std::vector<uint8_t> bytes = testsupport::ReadFile(image);
  devicetest::ImageGuard guard(image);
  devicetest::DevicePtr disk = devicetest::OpenDisk(image);
  constexpr int64_t kWindowStart = 1000;
  constexpr int64_t kWindowSize = 12000;
  devicetest::DevicePtr window(CreatePartitionDevice(disk.get(), kWindowStart, kWindowSize));
  ASSERT_EQ(window->Open(), 1);

  std::atomic<int> wrong{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < 8; ++t) {
    threads.emplace_back([&, t] {
      std::mt19937 rng(static_cast<unsigned>(t));
      std::vector<uint8_t> buffer;
      for (int i = 0; i < 400; ++i) {
        const bool viaWindow = (i % 2) == 1;
        IStorageDevice* device = viaWindow ? window.get() : disk.get();
        const int64_t count = 1 + static_cast<int64_t>(rng() % 64);
        const int64_t first = static_cast<int64_t>(rng() % static_cast<uint32_t>(device->GetTotalSectors() - count));
        buffer.assign(static_cast<size_t>(count) * 512, 0);
        const size_t at = static_cast<size_t>((viaWindow ? kWindowStart + first : first) * 512);
        if (device->ReadSector(buffer.data(), first, count) == 0 ||
            std::memcmp(buffer.data(), bytes.data() + at, buffer.size()) != 0) {
          ++wrong;
        }
      }
    });
  }
  for (auto& th : threads) th.join();
  EXPECT_EQ(wrong.load(), 0);
}

}  // namespace
