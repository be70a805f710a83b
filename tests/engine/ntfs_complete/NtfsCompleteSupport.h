// Helpers for the tests of the NTFS complete scan: what a scan reports of the
// partitions it found, scans through the engine's own complete-scan driver or
// straight through the searcher, and NTFS volumes made by mkntfs laid out on
// a disk in memory.
#pragma once

#include <cstdint>
#include <filesystem>
#include <ostream>
#include <set>
#include <string>
#include <vector>

#include "StorageDevice.h"
#include "ntfs/NTFSSearchController.h"
#include "support/StubDevice.h"

namespace ntfscomplete {

// One found partition: start, sectors per cluster and the sectors its
// clusters cover (as fsstat counts them).
struct Geometry {
  int64_t start = 0;
  uint32_t spc = 0;
  uint64_t sectors = 0;
  auto operator<=>(const Geometry&) const = default;
};
std::ostream& operator<<(std::ostream& out, const Geometry& g);

// The lines of IMG.partitions.tsv.
std::vector<Geometry> ReadPartitions(const std::filesystem::path& tsv);

// A complete scan of a whole disk through CreateRecoveryController(2): what
// the NTFS searcher reports through GetSearchedPartitionInfo. Each record
// must carry its place in the list as partition index.
std::vector<Geometry> ScanDisk(IStorageDevice* device);

// The searcher alone over `device` in blocks of `blockSectors`; `flags`
// receives each candidate's build-from flags.
std::vector<Geometry> Search(IStorageDevice* device, int blockSectors, bool build = true,
                             std::vector<uint32_t>* flags = nullptr);

// An mkntfs volume of `sectors` sectors with `cluster`-byte clusters, made for
// a partition at `start`, and its geometry as fsstat reads it.
struct Volume {
  std::vector<uint8_t> bytes;
  Geometry geometry;
  int64_t mirrorCluster = 0;  // where fsstat says $MFTMirr begins
};
Volume MakeVolume(int64_t start, int64_t sectors, uint32_t cluster);

// A device over a disk in memory whose reads fail, without touching the
// caller's buffer, when they touch sectors [failFirst, failFirst + failCount).
class DiskInMemory final : public testsupport::StubDevice {
 public:
  explicit DiskInMemory(int64_t sectors) : bytes_(static_cast<size_t>(sectors) * 512, 0) {}
  void Put(const Volume& volume);
  void ZeroSector(int64_t sector);
  void FailSectors(int64_t first, int64_t count) { failFirst_ = first, failCount_ = count; }

  int ReadSector(void* buffer, int64_t first, int64_t count) override;
  uint32_t GetSectorSize() override { return 512; }
  int64_t GetTotalSectors() override { return static_cast<int64_t>(bytes_.size() / 512); }
  uint32_t GetType() override { return STORAGE_DEVICE_DISK; }
  ResultCode GetLastError() override { return lastError_; }

 private:
  std::vector<uint8_t> bytes_;
  int64_t failFirst_ = -1, failCount_ = 0;
  ResultCode lastError_ = 0;
};

// Reads through another device and fails, without touching the caller's
// buffer, reads that touch sectors [first, first + count).
class FailingWindow final : public testsupport::StubDevice {
 public:
  FailingWindow(IStorageDevice* inner, int64_t first, int64_t count) : inner_(inner), first_(first), count_(count) {}
  int ReadSector(void* buffer, int64_t first, int64_t count) override;
  uint32_t GetSectorSize() override { return inner_->GetSectorSize(); }
  int64_t GetTotalSectors() override { return inner_->GetTotalSectors(); }
  uint32_t GetType() override { return inner_->GetType(); }
  ResultCode GetLastError() override { return lastError_; }

 private:
  IStorageDevice* inner_;
  int64_t first_, count_;
  ResultCode lastError_ = 0;
};

}  // namespace ntfscomplete
