#include "exfat/ExFatFileNode.h"

#include <ctime>
#include <new>

#include "exfat/EFDTAnalyze.h"

_FILETIME DosTime2FileTime(uint32_t stamp, uint8_t tenMs, uint8_t utcOffset) {
  // An impossible field would be carried into the next hour, day or month:
  // the time is not known.
  if (stamp == 0 || !exfat_entry::IsPossibleTimestamp(stamp)) return 0;
  const uint32_t time = stamp & 0xFFFF;
  const uint32_t date = stamp >> 16;
  std::tm fields{};
  fields.tm_sec = static_cast<int>((time & 31) * 2);
  fields.tm_min = static_cast<int>((time >> 5) & 63);
  fields.tm_hour = static_cast<int>(time >> 11);
  fields.tm_mday = static_cast<int>(date & 31);
  fields.tm_mon = static_cast<int>((date >> 5) & 15) - 1;
  fields.tm_year = static_cast<int>(date >> 9) + 80;
  int64_t seconds;
  if ((utcOffset & 0x80) != 0) {
    // A signed 7-bit count of quarter hours east of UTC.
    const int quarters = (utcOffset & 0x40) != 0 ? static_cast<int>(utcOffset & 0x7F) - 128 : utcOffset & 0x7F;
    seconds = static_cast<int64_t>(timegm(&fields)) - int64_t{quarters} * 15 * 60;
  } else {
    fields.tm_isdst = -1;
    seconds = static_cast<int64_t>(std::mktime(&fields));
  }
  // The 10 ms increment carries the odd second the two-second field lacks.
  const uint64_t extra = uint64_t{tenMs <= 199 ? tenMs : 0u} * (filetime::kTicksPerSecond / 100);
  const _FILETIME base = filetime::FromUnixSeconds(seconds);
  return base != 0 ? base + extra : 0;
}

IFileNode* CExFatFileNode::Clone() { return new (std::nothrow) CExFatFileNode(*this); }

void CExFatFileNode::SetFileName(const char* name) {
  if (name != nullptr) m_name = name;
}

void CExFatFileNode::SetFileTime(_FILETIME creation, _FILETIME modification, _FILETIME access) {
  m_creation = creation;
  m_modification = modification;
  m_access = access;
}
