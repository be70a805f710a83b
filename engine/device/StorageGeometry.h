// Overflow-checked sector arithmetic shared by the device kinds.
#pragma once

#include <cstdint>
#include <limits>

namespace geometry {

inline constexpr int64_t kMaxSectorSize = int64_t{1} << 20;

// What a block device's logical sector size may be: a power of two from 512.
constexpr bool IsUsableDeviceSectorSize(int64_t size) {
  return size >= 512 && size <= kMaxSectorSize && (size & (size - 1)) == 0;
}

// What a device record may set; anything else leaves the device's own value.
constexpr bool IsUsableRecordSectorSize(int64_t size) { return size >= 1 && size <= kMaxSectorSize; }

// The byte offset and length of `count` sectors from `first`; false when
// either is negative or not representable as a file offset.
constexpr bool ByteRange(int64_t first, int64_t count, int64_t sectorSize, int64_t& offset, int64_t& bytes) {
  constexpr int64_t kMax = std::numeric_limits<int64_t>::max();
  if (first < 0 || count <= 0 || sectorSize <= 0) return false;
  if (first > kMax / sectorSize || count > kMax / sectorSize) return false;
  offset = first * sectorSize;
  bytes = count * sectorSize;
  return offset <= kMax - bytes;
}

}  // namespace geometry
