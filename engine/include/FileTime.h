// _FILETIME: 100-nanosecond intervals since 1601-01-01 UTC, the engine's one
// time representation. Unix and HFS+ second counts convert exactly; the
// reverse conversions truncate towards the earlier second.
#pragma once

#include <cstdint>

using _FILETIME = uint64_t;

namespace filetime {

inline constexpr uint64_t kTicksPerSecond = 10'000'000;
inline constexpr uint64_t kUnixEpoch = 116'444'736'000'000'000ULL;   // 1970-01-01
inline constexpr uint64_t kHFSPlusEpoch = 95'616'288'000'000'000ULL; // 1904-01-01

// Seconds before 1601 have no representation and give 0.
constexpr _FILETIME FromUnixSeconds(int64_t seconds) {
  const __int128 t = static_cast<__int128>(seconds) * kTicksPerSecond + kUnixEpoch;
  if (t < 0) return 0;
  if (t > static_cast<__int128>(UINT64_MAX)) return UINT64_MAX;
  return static_cast<_FILETIME>(t);
}

constexpr _FILETIME FromHFSPlusSeconds(uint32_t seconds) {
  return uint64_t{seconds} * kTicksPerSecond + kHFSPlusEpoch;
}

constexpr int64_t ToUnixSeconds(_FILETIME t) {
  const __int128 d = static_cast<__int128>(t) - kUnixEpoch;
  // Floor division so that times before 1970 round to the earlier second.
  __int128 q = d / kTicksPerSecond;
  if (d % kTicksPerSecond < 0) --q;
  return static_cast<int64_t>(q);
}

}  // namespace filetime
