// NTFS values shared by its parsers; the byte loads are in OnDiskBytes.h.
#pragma once

#include <cstdint>

namespace ntfs_bytes {

// The low 48 bits of a file reference are the record number; the top 16 the
// sequence number.
inline constexpr uint64_t kRecordNumberMask = 0x0000FFFFFFFFFFFFULL;

}  // namespace ntfs_bytes
