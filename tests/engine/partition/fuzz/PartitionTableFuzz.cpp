// Drives the partition-table reader over arbitrary disk contents.
//
// Input: one byte choosing the sector size (512, 4096, 1024 or 256 by its low
// two bits; bit 2 makes every read past the last given sector fail), a
// little-endian u32 disk size in sectors, then any number of pieces: a
// little-endian u32 position in 512-byte units followed by up to 512 bytes
// placed there. Everything not given reads as zeros.
#include <cstdint>
#include <cstring>
#include <list>
#include <map>
#include <vector>

#include "DeviceData.h"
#include "StorageDevice.h"
#include "partition/PartitionTableAnalyze.h"
#include "support/StubDevice.h"

namespace {

class CFuzzDisk final : public testsupport::StubDevice {
 public:
  CFuzzDisk(uint32_t sectorSize, int64_t total, bool failPastData)
      : sectorSize_(sectorSize), total_(total), failPastData_(failPastData) {}

  void Put(uint64_t unit, const uint8_t* bytes, size_t n) {
    auto& block = units_[unit];
    block.assign(512, 0);
    std::memcpy(block.data(), bytes, n);
    if (unit > lastUnit_) lastUnit_ = unit;
  }

  int ReadSector(void* buffer, int64_t first, int64_t count) override {
    lastError_ = 0;
    if (buffer == nullptr || first < 0 || count <= 0 || first >= total_ || count > total_ - first || count > 4096) {
      lastError_ = kBadRange;
      return 0;
    }
    const uint64_t unitsPerSector = sectorSize_ >= 512 ? sectorSize_ / 512 : 1;
    const uint64_t firstUnit = static_cast<uint64_t>(first) * sectorSize_ / 512;
    if (failPastData_ && firstUnit > lastUnit_) {
      lastError_ = kReadFailed;
      return 0;
    }
    auto* out = static_cast<uint8_t*>(buffer);
    const size_t bytes = static_cast<size_t>(count) * sectorSize_;
    std::memset(out, 0, bytes);
    const uint64_t endUnit = firstUnit + static_cast<uint64_t>(count) * unitsPerSector;
    for (auto it = units_.lower_bound(firstUnit); it != units_.end() && it->first < endUnit; ++it) {
      const size_t at = static_cast<size_t>(it->first - firstUnit) * 512;
      const size_t n = at + 512 <= bytes ? 512 : bytes - at;
      std::memcpy(out + at, it->second.data(), n);
    }
    return 1;
  }
  uint32_t GetSectorSize() override { return sectorSize_; }
  int64_t GetTotalSectors() override { return total_; }
  uint32_t GetType() override { return STORAGE_DEVICE_DISK; }
  ResultCode GetLastError() override { return lastError_; }

 private:
  static constexpr ResultCode kBadRange = result::MakeResult(0x7E, 1, result::kErrBadArgument);
  static constexpr ResultCode kReadFailed = result::MakeResult(0x7E, 2, result::kErrIO);

  uint32_t sectorSize_;
  int64_t total_;
  bool failPastData_;
  std::map<uint64_t, std::vector<uint8_t>> units_;
  uint64_t lastUnit_ = 0;
  ResultCode lastError_ = 0;
};

uint32_t Le32(const uint8_t* p) {
  return uint32_t{p[0]} | (uint32_t{p[1]} << 8) | (uint32_t{p[2]} << 16) | (uint32_t{p[3]} << 24);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 5) return 0;
  static constexpr uint32_t kSizes[] = {512, 4096, 1024, 256};
  const uint32_t sectorSize = kSizes[data[0] & 3];
  const bool failPastData = (data[0] & 4) != 0;
  const int64_t total = Le32(data + 1);
  CFuzzDisk disk(sectorSize, total, failPastData);
  size_t at = 5;
  while (at + 4 <= size) {
    const uint32_t unit = Le32(data + at);
    at += 4;
    const size_t n = size - at < 512 ? size - at : 512;
    disk.Put(unit, data + at, n);
    at += n;
  }
  auto* info = new CCollectDiskDeviceInfoStruct();
  info->sectorSize = sectorSize;
  info->totalSectors = total;
  disk.SetPrivateData(CreateDiskDeviceData(info));

  std::list<PartitionEntry> entries;
  IPartitionTableAnalyze* analyzer = CreatePartitionTableAnalyze();
  const ResultCode rc = analyzer->AnalyzePartitionTable(&disk, entries);
  analyzer->Release();
  // What the reader promises whatever the bytes: nothing on failure, and
  // every listed partition inside the disk, with a terminated type name.
  if (result::IsFailure(rc) && !entries.empty()) __builtin_trap();
  for (const auto& e : entries) {
    if (e.startSector < 0 || e.startSector >= total || e.sectorCount <= 0 || e.sectorCount > total - e.startSector)
      __builtin_trap();
    if (std::memchr(e.typeName, 0, sizeof e.typeName) == nullptr) __builtin_trap();
  }
  uint32_t scheme = 0;
  (void)GetDiskType(&disk, scheme);
  if (scheme > DISK_PARTITION_SCHEME_APM) __builtin_trap();
  return 0;
}
