// Little-endian loads and stores at any alignment, for on-disk structures that
// sit at arbitrary offsets inside caller-owned buffers.
#pragma once

#include <cstdint>
#include <cstring>

namespace ntfs_bytes {

inline uint16_t LoadU16(const uint8_t* p) { return static_cast<uint16_t>(p[0] | (p[1] << 8)); }

inline uint32_t LoadU32(const uint8_t* p) {
  return uint32_t{p[0]} | (uint32_t{p[1]} << 8) | (uint32_t{p[2]} << 16) | (uint32_t{p[3]} << 24);
}

inline uint64_t LoadU64(const uint8_t* p) { return uint64_t{LoadU32(p)} | (uint64_t{LoadU32(p + 4)} << 32); }

inline int64_t LoadI64(const uint8_t* p) { return static_cast<int64_t>(LoadU64(p)); }

inline void StoreU16(uint8_t* p, uint16_t v) {
  p[0] = static_cast<uint8_t>(v);
  p[1] = static_cast<uint8_t>(v >> 8);
}

// The low 48 bits of a file reference are the record number; the top 16 the
// sequence number.
inline constexpr uint64_t kRecordNumberMask = 0x0000FFFFFFFFFFFFULL;

}  // namespace ntfs_bytes
