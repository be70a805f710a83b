// Broken-down local time, field by field as the engine and the application
// exchange it.
#pragma once

#include <cstdint>

struct _SYSTEMTIME {
  uint16_t wYear;
  uint16_t wMonth;         // 1-12
  uint16_t wDayOfWeek;     // 0 Sunday
  uint16_t wDay;           // day of month
  uint16_t wHour;
  uint16_t wMinute;
  uint16_t wSecond;
  uint16_t wMilliseconds;
};
static_assert(sizeof(_SYSTEMTIME) == 16);
