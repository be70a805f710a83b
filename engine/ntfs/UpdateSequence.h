// The update sequence of multi-sector structures (FILE records, INDX and RCRD
// pages): a header names an array (offset u16 at 4, count u16 at 6) holding a
// sequence number and one saved word per protected 512-byte stride. On disk
// the last two bytes of every protected stride carry the number; the saved
// words are the real data there.
//
// The routines here do no bounds checks: callers first make sure that the
// array and every protected stride lie inside their buffer. With no stride to
// protect they read and write nothing, so an array whose place was never
// checked is not touched.
#pragma once

#include <cstdint>
#include <cstring>

#include "OnDiskBytes.h"
#include "ntfs/NTFSBytes.h"

namespace ntfs_usa {

inline constexpr int kStride = 512;
// No structure we read protects more than 15 strides (a 4096-byte page has 8).
inline constexpr uint16_t kMaxCount = 16;

inline uint16_t ArrayOffset(const uint8_t* header) { return ondisk::Le16(header + 4); }
inline uint16_t Count(const uint8_t* header) { return ondisk::Le16(header + 6); }

// Whether the last word of each of the first `strides` strides holds the
// sequence number.
inline bool StrideEndsCarryNumber(const uint8_t* buffer, uint32_t arrayOffset, int strides) {
  if (strides <= 0) return true;
  const uint16_t number = ondisk::Le16(buffer + arrayOffset);
  for (int i = 0; i < strides; ++i) {
    if (ondisk::Le16(buffer + kStride * (i + 1) - 2) != number) return false;
  }
  return true;
}

// Puts the saved words back at the stride ends.
inline void Undo(uint8_t* buffer, uint32_t arrayOffset, int strides) {
  for (int i = 0; i < strides; ++i) std::memcpy(buffer + kStride * (i + 1) - 2, buffer + arrayOffset + 2 * (i + 1), 2);
}

// Saves the stride-end words into the array and writes the number over them.
inline void Redo(uint8_t* buffer, uint32_t arrayOffset, int strides) {
  if (strides <= 0) return;
  uint8_t* saved = buffer + arrayOffset + 2;
  const uint16_t number = ondisk::Le16(buffer + arrayOffset);
  for (int i = 0; i < strides; ++i) {
    uint8_t* end = buffer + kStride * (i + 1) - 2;
    std::memcpy(saved + 2 * i, end, 2);
    ondisk::StoreLe16(end, number);
  }
}

}  // namespace ntfs_usa
