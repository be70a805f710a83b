// Sector reads for the table readers: a whole buffer or the device's error.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "ResultCode.h"
#include "StorageDevice.h"

namespace partition {

// The largest sector size the table readers accept.
inline constexpr uint32_t kMaxSectorSize = 64 * 1024;

// Reads `count` sectors from `first` into `buffer` (resized to fit). Answers 0,
// or the device's failure code; a device that fails without saying why gets an
// I/O failure of module 0x10, so a failed read is never taken as success.
ResultCode ReadSectors(IStorageDevice* device, int64_t first, int64_t count, std::vector<uint8_t>& buffer);

// The listed count of a partition of `count` sectors from `start` on a disk of
// `total` sectors: a count of 0, or one that would pass the disk's end, runs to
// the end. `start` must lie inside the disk.
inline int64_t CountToDiskEnd(int64_t start, int64_t count, int64_t total) {
  const int64_t room = total - start;
  return (count == 0 || count > room) ? room : count;
}

}  // namespace partition
