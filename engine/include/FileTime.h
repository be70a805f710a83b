// _FILETIME: 100-nanosecond intervals since 1601-01-01 UTC, the engine's one
// time representation. Unix and HFS+ second counts convert exactly; the
// reverse conversions truncate towards the earlier second.
#pragma once

#include <chrono>
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

// The packed date and time FAT and exFAT entries keep (a date of day bits
// 0-4, month 5-8 and years since 1980 9-15; a time of two-second steps 0-4,
// minute 5-10 and hour 11-15): whether a sound clock could have written
// them. A field no clock gives (February 30th, hour 24...) would otherwise
// be carried into the next day or hour.
constexpr bool IsPossibleDosDate(uint16_t date) {
  const std::chrono::year_month_day ymd{std::chrono::year{1980 + (date >> 9)}, std::chrono::month{(date >> 5) & 0x0Fu},
                                        std::chrono::day{date & 0x1Fu}};
  return ymd.ok();
}
constexpr bool IsPossibleDosTime(uint16_t time) {
  return (time & 0x1F) <= 29 && ((time >> 5) & 0x3F) <= 59 && (time >> 11) <= 23;
}

}  // namespace filetime
