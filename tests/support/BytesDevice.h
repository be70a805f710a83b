// A read-only device over bytes in memory (not owned), for fuzz targets and
// tests that need no gtest: whole sectors of `sectorSize`, a partial last
// sector left out, reads outside them refused.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>

#include "StorageDevice.h"
#include "support/StubDevice.h"

namespace testsupport {

class BytesDevice final : public StubDevice {
 public:
  BytesDevice(const uint8_t* data, size_t size, uint32_t sectorSize = 512)
      : data_(data), size_(size), sectorSize_(sectorSize) {}
  int ReadSector(void* buffer, int64_t first, int64_t count) override {
    const int64_t total = GetTotalSectors();
    if (buffer == nullptr || first < 0 || count < 0 || first > total || count > total - first) return 0;
    if (count > 0) std::memcpy(buffer, data_ + first * sectorSize_, static_cast<size_t>(count) * sectorSize_);
    return 1;
  }
  uint32_t GetSectorSize() override { return sectorSize_; }
  int64_t GetTotalSectors() override { return static_cast<int64_t>(size_ / sectorSize_); }
  uint32_t GetType() override { return STORAGE_DEVICE_CACHED; }
  ResultCode GetLastError() override { return 0; }

 private:
  const uint8_t* data_;
  size_t size_;
  uint32_t sectorSize_;
};

}  // namespace testsupport
