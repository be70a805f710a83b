// Helpers for the tests of the NTFS complete scan: what a scan reports of the
// partitions it found, scans through the engine's own complete-scan driver or
// straight through the searcher, and NTFS volumes made by mkntfs laid out on
// a disk in memory.
#pragma once

#include <cstdint>
#include <filesystem>
#include <ostream>
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

// What the searcher alone gathered for each candidate it kept.
struct Evidence {
  Geometry geometry;
  uint32_t flags = 0;
  int64_t attrDefSectors = 0;  // matched, in 512-byte sectors
  int64_t upCaseSectors = 0;
  uint64_t score = 0;
};
std::vector<Evidence> SearchEvidence(IStorageDevice* device, int blockSectors);

// An mkntfs volume of `sectors` sectors with `cluster`-byte clusters, made for
// a partition at `start`, its geometry as fsstat reads it, and where fsstat
// says $MFTMirr begins. Made for `sectorBytes`-byte sectors (mkntfs then
// sizes its FILE records to match), it is still laid out and counted in
// 512-byte ones.
struct Volume {
  std::vector<uint8_t> bytes;
  Geometry geometry;
  int64_t mirrorCluster = 0;
};
Volume MakeVolume(int64_t start, int64_t sectors, uint32_t cluster, uint32_t sectorBytes = 512);
// Copies the volume into `disk` (512-byte sectors) at its start.
void Put(std::vector<uint8_t>& disk, const Volume& volume);

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
