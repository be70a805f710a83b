// Reads of a medium that fails on some sectors, as a failing disk behind the
// page cache fails: every other sector comes back, the bad ones are zeros and
// named, and nothing asks the medium for a bad sector twice.
#include "device/SectorSalvage.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>
#include <random>
#include <thread>

#include "device/DiskDevice.h"
#include "device/PartitionDevice.h"
#include "device/SectorSizeDevice.h"
#include "engine/device/DeviceTestSupport.h"

namespace {

using devicetest::FailingMedium;
using Bytes = std::vector<uint8_t>;

Bytes Random(size_t size) {
  Bytes bytes(size);
  std::mt19937 random(89);
  for (auto& b : bytes) b = static_cast<uint8_t>(random());
  return bytes;
}

struct Disk {
  // `bad` in bytes; sectors of 512.
  Disk(size_t size, std::vector<std::pair<int64_t, int64_t>> bad, uint32_t align = 512, int64_t total = -1)
      : bytes(Random(size)), device("a failing disk") {
    auto owned = std::make_unique<FailingMedium>(bytes, std::move(bad), align);
    medium = owned.get();
    device.OpenOn(std::move(owned), 512, total >= 0 ? total : static_cast<int64_t>(size / 512));
  }
  Bytes Expected(int64_t first, int64_t count, std::vector<std::pair<int64_t, int64_t>> zeroSectors = {}) const {
    Bytes out(static_cast<size_t>(count) * 512, 0);
    const int64_t size = static_cast<int64_t>(bytes.size());
    for (int64_t i = 0; i < count * 512 && first * 512 + i < size; ++i) out[size_t(i)] = bytes[size_t(first * 512 + i)];
    for (const auto& [at, n] : zeroSectors) {
      for (int64_t s = std::max(at, first); s < std::min(at + n, first + count); ++s) {
        std::memset(out.data() + (s - first) * 512, 0, 512);
      }
    }
    return out;
  }
  Bytes bytes;
  CDiskDevice device;
  FailingMedium* medium = nullptr;
};

Bytes ReadOf(IStorageDevice& device, int64_t first, int64_t count, int* answer) {
  Bytes out(static_cast<size_t>(count) * device.GetSectorSize(), 0xCC);
  *answer = device.ReadSector(out.data(), first, count);
  return out;
}

TEST(SectorSalvage, EverySectorButTheBadOneComesBackAndTheBadOneIsAskedOnce) {
  // 1 MiB; sector 1000 is bad, and spoils its 64 KiB folio (sectors 896-1023)
  // for every read through the page cache.
  Disk disk(1 << 20, {{1000 * 512, 512}});
  const auto& count = disk.medium->Count();
  for (int pass = 0; pass < 2; ++pass) {
    SCOPED_TRACE(pass);
    // A scan's reads: 128 KiB at a time.
    for (int64_t first = 0; first < 2048; first += 256) {
      int answer = -1;
      const Bytes got = ReadOf(disk.device, first, 256, &answer);
      if (first <= 1000 && 1000 < first + 256) {
        EXPECT_EQ(answer, 0);
        EXPECT_EQ(disk.device.GetLastError(), devicecode::kReadBadSectors);
        EXPECT_TRUE(got == disk.Expected(first, 256, {{1000, 1}})) << "only the bad sector is zeros";
      } else {
        EXPECT_EQ(answer, 1) << first;
        EXPECT_TRUE(got == disk.Expected(first, 256)) << first;
      }
    }
    // Its neighbours in the spoiled folio read alone, whole.
    int answer = -1;
    EXPECT_TRUE(ReadOf(disk.device, 896, 104, &answer) == disk.Expected(896, 104));
    EXPECT_EQ(answer, 1);
    EXPECT_TRUE(ReadOf(disk.device, 1001, 23, &answer) == disk.Expected(1001, 23));
    EXPECT_EQ(answer, 1);
    EXPECT_TRUE(ReadOf(disk.device, 1000, 1, &answer) == Bytes(512, 0));
    EXPECT_EQ(answer, 0);
    SectorRuns runs;
    disk.device.FindUnreadable(0, 2048, runs);
    EXPECT_EQ(runs, (SectorRuns{{1000, 1}}));
    // Halving found it with one failing read per level, and no later read
    // asked for it again.
    if (pass == 0) {
      EXPECT_LE(count->badAsked.load(), 10);
      EXPECT_GE(count->badAsked.load(), 1);
      count->badAsked = 0;
    }
  }
  EXPECT_EQ(count->badAsked.load(), 0) << "the second pass never asked the medium for the bad sector";
  EXPECT_EQ(disk.device.Reader()->Damage().UnreadableBytes(), 512);

  // A healthy medium is read through the page cache only.
  Disk healthy(1 << 20, {});
  int answer = -1;
  EXPECT_TRUE(ReadOf(healthy.device, 0, 2048, &answer) == healthy.Expected(0, 2048));
  EXPECT_EQ(answer, 1);
  EXPECT_EQ(healthy.medium->Count()->uncached.load(), 0);
  EXPECT_EQ(healthy.device.Reader()->UncachedReads(), 0u);
}

TEST(SectorSalvage, LosesWholeUnbufferedUnitsAtMostAndStopsAtOtherErrors) {
  // Unbuffered reads of 4 KiB at least: the unit around bad sector 1003 is
  // lost (sectors 1000-1007), and so are the two units a bad run at the
  // medium's partial end meets. The medium ends 300 bytes into sector 2048,
  // the device counts 2050.
  Disk disk((1 << 20) + 300, {{1003 * 512 + 17, 1}, {2047 * 512, 600}}, 4096, 2050);
  int answer = -1;
  Bytes got = ReadOf(disk.device, 990, 30, &answer);
  EXPECT_EQ(answer, 0);
  EXPECT_TRUE(got == disk.Expected(990, 30, {{1000, 8}}));
  got = ReadOf(disk.device, 2030, 20, &answer);
  EXPECT_EQ(answer, 0);
  EXPECT_TRUE(got == disk.Expected(2030, 20, {{2040, 10}})) << "the last units lost, zeros past the end";
  SectorRuns runs;
  disk.device.FindUnreadable(0, 2050, runs);
  EXPECT_EQ(runs, (SectorRuns{{1000, 8}, {2040, 10}}));

  // Through a partition window at sector 900 and a 4096-byte view of it.
  CPartitionDevice window(&disk.device, 900, 1000);
  got = ReadOf(window, 90, 20, &answer);
  EXPECT_EQ(answer, 0);
  EXPECT_TRUE(unreadable::IsSalvaged(window.GetLastError()));
  EXPECT_TRUE(got == disk.Expected(990, 20, {{1000, 8}}));
  EXPECT_EQ(unreadable::Find(&window, 0, 1000), (SectorRuns{{100, 8}}));
  CSectorSizeDevice view(&window, 4096);
  got = ReadOf(view, 12, 1, &answer);  // window sectors 96-103
  EXPECT_EQ(answer, 0);
  EXPECT_TRUE(got == disk.Expected(996, 8, {{1000, 8}}));
  EXPECT_EQ(unreadable::Find(&view, 0, 125), (SectorRuns{{12, 2}}));

  // A descriptor gone bad is no damage: the read fails as it comes, after
  // one attempt, and no sector is taken for unreadable.
  disk.medium->FailAllWith(EBADF);
  const int before = disk.medium->Count()->uncached.load();
  ReadOf(disk.device, 0, 64, &answer);
  EXPECT_EQ(answer, 0);
  EXPECT_EQ(disk.device.GetLastError(), devicecode::kReadFailed);
  EXPECT_LE(disk.medium->Count()->uncached.load(), before + 1);
  EXPECT_EQ(unreadable::Find(&disk.device, 0, 2050), (SectorRuns{{1000, 8}, {2040, 10}}));
}

// A thread's watch hears how far a read around damage is before every read
// of the medium, and may stop it there: the read fails, and what it had not
// settled is not taken for lost (a later read gives it all).
TEST(SectorSalvage, AWatchHearsTheReadAroundDamageAndMayStopIt) {
  Disk disk(1 << 20, {{100 * 512, 512}, {900 * 512, 512}});
  struct Watch : ISalvageWatch {
    bool Salvaging(int64_t done, int64_t total) override {
      heard.emplace_back(done, total);
      return static_cast<int>(heard.size()) < stopAt;
    }
    std::vector<std::pair<int64_t, int64_t>> heard;
    int stopAt = 6;
  } watch;
  int answer = -1;
  {
    const SalvageScope scope(&watch);
    ReadOf(disk.device, 0, 2048, &answer);
  }
  EXPECT_EQ(answer, 0);
  EXPECT_EQ(disk.device.GetLastError(), devicecode::kReadFailed);
  ASSERT_EQ(watch.heard.size(), 6u);
  for (size_t i = 1; i < watch.heard.size(); ++i) {
    EXPECT_GE(watch.heard[i].first, watch.heard[i - 1].first);
    EXPECT_EQ(watch.heard[i].second, int64_t{1} << 20);
  }
  const int asked = disk.medium->Count()->uncached.load();
  EXPECT_EQ(asked, 5) << "no read of the medium once stopped";
  const SectorRuns known = unreadable::Find(&disk.device, 0, 2048);
  EXPECT_LE(known.size(), 1u) << "only what was settled is known";

  // Without a watch the read goes on to the end.
  const Bytes got = ReadOf(disk.device, 0, 2048, &answer);
  EXPECT_EQ(answer, 0);
  EXPECT_TRUE(got == disk.Expected(0, 2048, {{100, 1}, {900, 1}}));
}

TEST(SectorSalvage, ThreadsReadingAroundTheSameDamageAgree) {
  Disk disk(4 << 20, {{3000 * 512, 4096}, {6000 * 512, 512}});
  std::vector<std::thread> threads;
  std::atomic<int> wrong{0};
  for (int t = 0; t < 6; ++t) {
    threads.emplace_back([&, t] {
      std::mt19937 random(static_cast<unsigned>(t));
      for (int i = 0; i < 200; ++i) {
        const int64_t first = 2900 + static_cast<int64_t>(random() % 3200);
        const int64_t n = 1 + static_cast<int64_t>(random() % 64);
        int answer = -1;
        const Bytes got = ReadOf(disk.device, first, n, &answer);
        const bool touches = (first < 3008 && 3000 < first + n) || (first <= 6000 && 6000 < first + n);
        if (got != disk.Expected(first, n, {{3000, 8}, {6000, 1}}) || answer != (touches ? 0 : 1)) ++wrong;
      }
    });
  }
  for (auto& thread : threads) thread.join();
  EXPECT_EQ(wrong.load(), 0);
  SectorRuns runs;
  disk.device.FindUnreadable(0, 8192, runs);
  EXPECT_EQ(runs, (SectorRuns{{3000, 8}, {6000, 1}}));
}

// Whether a read lost sectors (its buffer good but for them) or failed is
// told by the device's last error: each reading thread hears its own read's,
// whatever other threads' reads of the same device set meanwhile, through a
// partition window and a sector-size view too.
TEST(SectorSalvage, EachThreadHearsTheCodeOfItsOwnRead) {
  Disk disk(1 << 20, {{1000 * 512, 512}});
  CPartitionDevice window(&disk.device, 0, 2048);
  CSectorSizeDevice view(&window, 4096);
  for (IStorageDevice* device : std::initializer_list<IStorageDevice*>{&disk.device, &window, &view}) {
    const int64_t unit = device->GetSectorSize() / 512;
    std::atomic<bool> done{false};
    std::thread healthy([&] {
      Bytes out(64 * 512);
      while (!done) device->ReadSector(out.data(), 0, 64 / unit);
    });
    int misheard = 0;
    for (int i = 0; i < 20000; ++i) {
      int answer = -1;
      ReadOf(*device, 992 / unit, 16 / unit, &answer);
      if (answer != 0 || !unreadable::IsSalvaged(device->GetLastError())) ++misheard;
    }
    done = true;
    healthy.join();
    EXPECT_EQ(misheard, 0) << device->GetSectorSize();
  }
}

// A device that says a read lost sectors but names none (it keeps no
// account of them): as far as a caller can tell the whole range is lost,
// and it reads as zeros, never as what the buffer held before.
TEST(SectorSalvage, ReadAroundADeviceThatNamesNoLostSectorTakesTheWholeRangeAsZeros) {
  devicetest::CMemoryDevice device(Random(64 * 512), 512, 64);
  device.FailReads(devicecode::kReadBadSectors);
  Bytes out(8 * 512, 0xCC);
  SectorRuns lost{{1, 1}};
  EXPECT_TRUE(unreadable::ReadAround(&device, out.data(), 16, 8, lost));
  EXPECT_EQ(lost, (SectorRuns{{1, 1}, {16, 8}}));
  EXPECT_TRUE(out == Bytes(8 * 512, 0));
  device.FailReads(devicecode::kReadFailed);
  EXPECT_FALSE(unreadable::ReadAround(&device, out.data(), 16, 8, lost));
}

}  // namespace
