// An in-memory device that lends its sectors in place as the complete scan's
// cache lends its block (SectorLender.h), from read-only pages: a searcher or
// analyser that wrote to a borrowed sector faults at once. Sectors in
// `refused` are never lent (as the cache refuses a block with a bad sector),
// so that the borrower's own reads can be tested on the same bytes; sectors
// in `lost` read as zeros, and a read that meets one fails as a read around
// a failing medium's damage fails (UnreadableSectors.h).
#pragma once

#include <sys/mman.h>

#include <cstdint>
#include <cstring>
#include <set>
#include <vector>

#include "SectorLender.h"
#include "support/StubDevice.h"

namespace testsupport {

class LendingDevice final : public StubDevice, public ISectorLender {
 public:
  explicit LendingDevice(const std::vector<uint8_t>& bytes, uint32_t sectorSize = 512)
      : size_(bytes.size()), sectorSize_(sectorSize) {
    mapped_ =
        size_ == 0 ? MAP_FAILED : mmap(nullptr, size_, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (mapped_ == MAP_FAILED) {
      mapped_ = nullptr;
      size_ = 0;
      return;
    }
    std::memcpy(mapped_, bytes.data(), size_);
    mprotect(mapped_, size_, PROT_READ);
  }
  ~LendingDevice() override {
    if (mapped_ != nullptr) munmap(mapped_, size_);
  }
  LendingDevice(const LendingDevice&) = delete;
  LendingDevice& operator=(const LendingDevice&) = delete;

  int ReadSector(void* buffer, int64_t first, int64_t count) override {
    if (buffer == nullptr || !Holds(first, count)) return 0;
    ++reads;
    std::memcpy(buffer, Bytes() + first * sectorSize_, static_cast<size_t>(count) * sectorSize_);
    lastError_ = 0;
    for (auto it = lost.lower_bound(first); it != lost.end() && *it < first + count; ++it) {
      std::memset(static_cast<uint8_t*>(buffer) + (*it - first) * sectorSize_, 0, sectorSize_);
      lastError_ = RESULT_FAILURE(result::kModuleStorageDevice, result::kErrUnreadableSectors);
    }
    return lastError_ == 0 ? 1 : 0;
  }
  const uint8_t* BorrowSectors(int64_t first, int64_t count) override {
    if (!Holds(first, count) || count == 0) return nullptr;
    const auto bad = refused.lower_bound(first);
    if (bad != refused.end() && *bad < first + count) return nullptr;
    ++borrows;
    return Bytes() + first * sectorSize_;
  }
  uint32_t GetSectorSize() override { return sectorSize_; }
  int64_t GetTotalSectors() override { return static_cast<int64_t>(size_ / sectorSize_); }
  uint32_t GetType() override { return STORAGE_DEVICE_CACHED; }
  ResultCode GetLastError() override { return lastError_; }

  std::set<int64_t> refused, lost;
  int reads = 0, borrows = 0;

 private:
  const uint8_t* Bytes() const { return static_cast<const uint8_t*>(mapped_); }
  bool Holds(int64_t first, int64_t count) const {
    const int64_t total = static_cast<int64_t>(size_ / sectorSize_);
    return first >= 0 && count >= 0 && first <= total && count <= total - first;
  }

  void* mapped_ = nullptr;
  ResultCode lastError_ = 0;
  size_t size_;
  uint32_t sectorSize_;
};

}  // namespace testsupport
