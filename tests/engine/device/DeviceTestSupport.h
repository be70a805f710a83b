// Helpers for tests that read images and loop devices through the storage
// devices; the tests of every component that reads images use them.
#pragma once

#include <cstdint>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include <atomic>
#include <map>
#include <mutex>
#include <utility>

#include "DeviceData.h"
#include "StorageDevice.h"
#include "device/SectorSalvage.h"
#include "support/StubDevice.h"
#include "support/TestSupport.h"

namespace devicetest {

// Checks, when destroyed, that the image's SHA-256 is what it was when made
// (above 256 MiB, over the data extents and the hole layout: reading
// gigabytes of holes would make every test slow, and a write still shows).
class ImageGuard {
 public:
  explicit ImageGuard(std::filesystem::path image);
  ~ImageGuard();
  ImageGuard(const ImageGuard&) = delete;
  ImageGuard& operator=(const ImageGuard&) = delete;

 private:
  std::filesystem::path image_;
  std::string before_;
};

// A loop device attached to an image for the object's lifetime; detached,
// with every partition the kernel was told of, even when the test fails.
class LoopDevice {
 public:
  // sectorSize 0 keeps the kernel's default (512); with scanPartitions the
  // kernel reads the table itself (losetup -P); a readOnly device refuses
  // every write (losetup -r).
  explicit LoopDevice(const std::filesystem::path& image, unsigned sectorSize = 0, bool scanPartitions = false,
                      bool readOnly = false);
  // The same on a node of our choosing: the first of `nodes` ("loop7") that
  // takes the image, in their order. Not attached, and no failure, when none
  // does (other tests take nodes all the time).
  LoopDevice(const std::filesystem::path& image, const std::vector<std::string>& nodes, bool scanPartitions,
             bool readOnly);
  ~LoopDevice();
  LoopDevice(const LoopDevice&) = delete;
  LoopDevice& operator=(const LoopDevice&) = delete;
  bool attached() const { return !path_.empty(); }
  const std::string& path() const { return path_; }
  std::string name() const { return std::filesystem::path(path_).filename().string(); }
  std::string Partition(int number) const { return path_ + "p" + std::to_string(number); }

  // Tells the kernel of the partitions of the table now on the device
  // (partx -a), as udev would on a kernel without that table's parser.
  void Announce() const;
  // Makes the kernel drop the device's partitions (partx -d, retried while
  // anything holds one open); answers whether they are gone.
  bool Forget() const;
  // Detaches the device now, as a medium pulled out while in use: the
  // kernel lets it go, with the partitions it found itself, once nobody
  // holds it open. The object is then done with it.
  bool Detach();

 private:
  std::string path_;
};

// The loop nodes that hold nothing now ("loop3"), in the order the device
// list shows disks (by their node's name).
std::vector<std::string> FreeLoopNodes();

// Bytes that dd reads: `count` blocks of `blockSize` from block `skip`.
std::vector<uint8_t> DdRead(const std::string& path, uint64_t blockSize, uint64_t skip, uint64_t count);

// What `blockdev --getss --getsize64` reports for a block device.
struct BlockdevGeometry {
  uint32_t sectorSize = 0;
  uint64_t sizeBytes = 0;
};
BlockdevGeometry Blockdev(const std::string& path);

// Makes a sparse file of `bytes` bytes.
void MakeSparseImage(const std::filesystem::path& path, uint64_t bytes);
// Writes `data` into a file at `offset` without truncating it.
void PatchFile(const std::filesystem::path& path, uint64_t offset, const std::vector<uint8_t>& data);

struct DeviceReleaser {
  void operator()(IStorageDevice* device) const {
    if (device != nullptr) device->Release();
  }
};
using DevicePtr = std::unique_ptr<IStorageDevice, DeviceReleaser>;

// Reads `count` sectors from `first` into a buffer that held 0xCC bytes, and
// checks the answer (0 for a read that must fail).
std::vector<uint8_t> Read(IStorageDevice& device, int64_t first, int64_t count, int expectAnswer = 1);

// A disk record with the given geometry (the rest zero).
IDiskDeviceData* MakeDiskData(int64_t sectorSize, int64_t totalSectors, uint32_t state = 0);

// A disk device opened on `path` and given a disk record. The record's sector
// size is `sectorSize`, or the one the device found when 0; its total is
// `bytes` / sector size (the device's count when bytes is 0).
DevicePtr OpenDisk(const std::string& path, int64_t sectorSize = 0, uint64_t bytes = 0);

// A device over bytes in memory, of any kind and sector size, whose reads can
// be made to fail. Bytes past the buffer read as zeros up to the total.
class CMemoryDevice final : public testsupport::StubDevice {
 public:
  CMemoryDevice(std::vector<uint8_t> bytes, uint32_t sectorSize, int64_t totalSectors,
                uint32_t kind = STORAGE_DEVICE_CACHED)
      : bytes_(std::move(bytes)), sectorSize_(sectorSize), total_(totalSectors), kind_(kind) {}

  int ReadSector(void* buffer, int64_t firstSector, int64_t sectorCount) override;
  uint32_t GetSectorSize() override { return sectorSize_; }
  int64_t GetTotalSectors() override { return total_; }
  uint32_t GetType() override { return kind_; }
  ResultCode GetLastError() override { return lastError_; }

  // Reads fail with `code` (left as the last error) from now on.
  void FailReads(ResultCode code) { failWith_ = code; }

 private:
  std::vector<uint8_t> bytes_;
  uint32_t sectorSize_;
  int64_t total_;
  uint32_t kind_;
  ResultCode lastError_ = 0;
  ResultCode failWith_ = 0;
};

// A medium that fails as a failing disk behind the page cache does: a read
// through the cache fails when its folio (the `folio`-aligned span around it)
// holds a bad byte; an uncached read fails only when it meets one itself.
// Bytes come from `bytes`; past them the medium ends. Thread-safe.
class FailingMedium final : public IRawMedium {
 public:
  struct Counters {
    std::atomic<int> cached{0}, uncached{0};
    // Uncached reads that met a bad byte.
    std::atomic<int> badAsked{0};
  };

  FailingMedium(std::vector<uint8_t> bytes, std::vector<std::pair<int64_t, int64_t>> bad, uint32_t align = 512,
                int64_t folio = 64 * 1024, std::shared_ptr<Counters> counters = std::make_shared<Counters>())
      : bytes_(std::move(bytes)), bad_(std::move(bad)), align_(align), folio_(folio), counters_(std::move(counters)) {}

  ssize_t ReadCached(void* buffer, size_t bytes, int64_t offset) override;
  ssize_t ReadUncached(void* buffer, size_t bytes, int64_t offset) override;
  uint32_t UncachedAlignment() override { return align_; }

  // Every read fails with `error` from now on (0: none).
  void FailAllWith(int error) { failAll_ = error; }
  // Each uncached read takes this long first, as on a disk that retries.
  std::atomic<int> uncachedMillis{0};
  const std::shared_ptr<Counters>& Count() const { return counters_; }

 private:
  bool MeetsBad(int64_t from, int64_t to) const;
  ssize_t Copy(void* buffer, size_t bytes, int64_t offset) const;

  std::vector<uint8_t> bytes_;
  std::vector<std::pair<int64_t, int64_t>> bad_;  // (offset, length)
  uint32_t align_;
  int64_t folio_;
  std::shared_ptr<Counters> counters_;
  std::atomic<int> failAll_{0};
};

}  // namespace devicetest
