#include "fat/FATDirEntry.h"

#include <cstring>
#include <ctime>

#include "FileTime.h"
#include "OnDiskBytes.h"
#include "base/TextConvert.h"

using ondisk::Le16;
using ondisk::Le32;
using E = tagFATDIRENTRY;

namespace {

// Dates and times of entries are what a clock said, not what makes an entry
// a file: an impossible one costs the entry its time, never its place. A
// date of 0 was never set.
bool DateIsPossible(uint16_t d) { return d == 0 || filetime::IsPossibleDosDate(d); }
bool TimeIsPossible(uint16_t t) { return filetime::IsPossibleDosTime(t); }

// Trailing blanks dropped, bytes from 0x80 up as '_', optionally lowered.
std::string NamePart(const uint8_t* p, size_t n, bool lower) {
  while (n > 0 && p[n - 1] == ' ') --n;
  std::string out;
  out.reserve(n);
  for (size_t i = 0; i < n; ++i) {
    char c = static_cast<char>(p[i]);
    if (p[i] >= 0x80) c = '_';
    if (lower && c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    out.push_back(c);
  }
  return out;
}

}  // namespace

bool CTempFATDirEntry::InitFromBuffer(const uint8_t* entry) {
  m_entry = entry;
  return IsValidFATDirEntry(0);
}

bool CTempFATDirEntry::IsValidFATDirEntry(int clusterCheck) const {
  if (m_entry == nullptr) return false;
  const uint8_t attribute = Attribute();
  if (attribute == kLongName) return true;
  if (clusterCheck != 0) {
    const uint32_t size = GetFileSize();
    if ((attribute & kDirectory) == 0) {
      if ((size == 0) != (GetFirstClusterNO() == 0)) return false;
    } else if (size != 0 && Le16(m_entry + E::kClusterHigh) != 0) {
      return false;
    }
  }
  if ((attribute & 0x40) != 0) return false;
  if ((attribute & kVolumeLabel) != 0) return true;
  return IsValidFileName(m_entry);
}

bool CTempFATDirEntry::HasPossibleTimes() const {
  if (m_entry == nullptr) return false;
  return DateIsPossible(Le16(m_entry + E::kCreationDate)) && DateIsPossible(Le16(m_entry + E::kAccessDate)) &&
         DateIsPossible(Le16(m_entry + E::kModificationDate)) && TimeIsPossible(Le16(m_entry + E::kCreationTime)) &&
         TimeIsPossible(Le16(m_entry + E::kModificationTime));
}

bool CTempFATDirEntry::IsLikelyFATDirEntry(int clusterCheck) const {
  if (!IsValidFATDirEntry(clusterCheck)) return false;
  if (IsLongFileNameEntry() || HasPossibleTimes()) return true;
  // A clock gone wrong leaves the rest as writers write it: byte 12 holds
  // only the lower-case flags, byte 13 a count of 10 ms below 200.
  return (m_entry[E::kCaseFlags] & ~0x18) == 0 && m_entry[E::kCreationTenths] <= 199;
}

bool CTempFATDirEntry::IsValidFileName(const uint8_t* name) {
  if (name == nullptr || name[0] == ' ') return false;
  for (size_t i = 0; i <= 10; ++i) {
    const uint8_t b = name[i];
    if (b >= 0x80) {
      ++i;  // lead byte of a double-byte character: its trail is not checked
      continue;
    }
    if (b < 26 || std::strchr("\"*/:<>?\\|", b) != nullptr) return false;
  }
  return true;
}

bool CTempFATDirEntry::IsValidLongFileName(const char* text) {
  if (text == nullptr || *text == '\0') return false;
  return std::strpbrk(text, "?*|\\/:\"<>") == nullptr;
}

std::string CTempFATDirEntry::GetShortName(int labelForm) const {
  if (m_entry == nullptr) return "_";
  const uint8_t caseFlags = labelForm != 0 ? 0 : m_entry[E::kCaseFlags];
  uint8_t base[8];
  std::memcpy(base, m_entry, 8);
  const bool erased = base[0] == kErased;
  if (erased) base[0] = '#';
  std::string name = NamePart(base, 8, (caseFlags & 0x08) != 0);
  const std::string extension = NamePart(m_entry + E::kExtension, 3, (caseFlags & 0x10) != 0);
  if (!extension.empty()) {
    if (labelForm == 0) name += '.';
    name += extension;
  }
  return name.empty() ? "_" : name;
}

std::u16string CTempFATDirEntry::GetLongFileNamePiece() const {
  std::u16string units;
  if (m_entry == nullptr) return units;
  static constexpr int kOffsets[13] = {1, 3, 5, 7, 9, 14, 16, 18, 20, 22, 24, 28, 30};
  for (int offset : kOffsets) {
    const char16_t u = Le16(m_entry + offset);
    if (u == 0) break;
    units.push_back(u);
  }
  return units;
}

std::string CTempFATDirEntry::GetLongFileName() const {
  const std::u16string units = GetLongFileNamePiece();
  std::string text = Utf16LEToUtf8(units.data(), units.size());
  return text.empty() ? "_" : text;
}

uint32_t CTempFATDirEntry::GetFirstClusterNO() const {
  if (m_entry == nullptr) return 0;
  return (uint32_t{Le16(m_entry + E::kClusterHigh)} << 16) | Le16(m_entry + E::kClusterLow);
}

uint32_t CTempFATDirEntry::GetFileSize() const { return m_entry != nullptr ? Le32(m_entry + E::kSize) : 0; }

bool CTempFATDirEntry::IsFilenameEqual(const char* name8, const char* extension3) const {
  return m_entry != nullptr && std::memcmp(m_entry, name8, 8) == 0 &&
         std::memcmp(m_entry + E::kExtension, extension3, 3) == 0;
}

uint8_t CTempFATDirEntry::ShortNameChecksum() const {
  uint8_t sum = 0;
  for (int i = 0; i < 11; ++i) sum = static_cast<uint8_t>(((sum & 1) << 7) + (sum >> 1) + m_entry[i]);
  return sum;
}

const uint8_t CFATFolderAnalyser::m_s_BlankEntry[32] = {};

bool CFATFolderAnalyser::IsBlankFATDirEntry(const uint8_t* entry) {
  return entry != nullptr && std::memcmp(entry, m_s_BlankEntry, 32) == 0;
}

bool CFATFolderAnalyser::IsCurDirFileName(const CTempFATDirEntry& entry) {
  return entry.IsFilenameEqual(".       ", "   ");
}

bool CFATFolderAnalyser::IsParentDirFileName(const CTempFATDirEntry& entry) {
  return entry.IsFilenameEqual("..      ", "   ");
}

void CFATFolderAnalyser::Clear() {
  m_kind = kNotDirectory;
  m_count = 0;
  m_currentCluster = 0;
  m_parentCluster = 0;
  m_maxCluster = 0;
}

int CFATFolderAnalyser::AnalyseSector(const uint8_t* sector, CFatFolderAnalyzeCB* callback, void* context) {
  Clear();
  if (sector == nullptr || m_sectorSize == 0) return 0;
  bool sawCurrent = false;
  bool sawParent = false;
  bool rejected = false;
  uint32_t lastCluster = 0xFFFFFFFF;
  const uint32_t entries = m_sectorSize / 32;
  for (uint32_t i = 0; i < entries; ++i) {
    const uint8_t* bytes = sector + size_t{i} * 32;
    CTempFATDirEntry entry(bytes);
    if (!entry.IsLikelyFATDirEntry(1)) {
      const bool cleanEnd = IsBlankFATDirEntry(bytes) && (m_count > 0 || (sawCurrent && sawParent));
      if (!cleanEnd) rejected = true;
      break;
    }
    if (entry.IsLongFileNameEntry()) continue;
    const uint32_t cluster = entry.GetFirstClusterNO();
    if (cluster > m_maxCluster) m_maxCluster = cluster;
    if (i == 0 && entry.IsDirectory() && IsCurDirFileName(entry)) {
      sawCurrent = true;
      m_currentCluster = cluster;
      continue;
    }
    if (i == 1 && entry.IsDirectory() && IsParentDirFileName(entry)) {
      sawParent = true;
      m_parentCluster = cluster;
      continue;
    }
    if (callback != nullptr) callback->OnEntry(this, bytes, 0xFFFFFFFF, i, sawCurrent && sawParent ? 1 : 0, context);
    if (!entry.IsErased()) {
      if (cluster == lastCluster) {
        rejected = true;
        break;
      }
      lastCluster = cluster;
    }
    ++m_count;
  }
  if (sawCurrent && sawParent) {
    m_kind = kSubfolderFirstSector;
    return 1;
  }
  if (!rejected && m_count > 0) {
    const uint32_t count = m_count;
    const uint32_t maxCluster = m_maxCluster;
    Clear();
    m_kind = kDirectorySector;
    m_count = count;
    m_maxCluster = maxCluster;
    return 1;
  }
  Clear();
  return 0;
}

void SecondsSince1970ToFileTime(uint64_t seconds, _FILETIME* out) {
  if (out != nullptr) *out = seconds * filetime::kTicksPerSecond + filetime::kUnixEpoch;
}

bool DosDateTimeToFileTime(uint16_t date, uint16_t time, _FILETIME* out) {
  if (out == nullptr) return false;
  if (date == 0) {
    *out = 0;
    return true;
  }
  // An impossible field would be carried into the next hour, day or month:
  // the time is not known.
  if (!DateIsPossible(date) || !TimeIsPossible(time)) {
    *out = 0;
    return false;
  }
  // mktime is slow and the entries of one folder mostly share their times:
  // the last few conversions are kept (per thread, as mktime's own state).
  struct Cached {
    uint32_t key = 0;
    _FILETIME value = 0;
  };
  thread_local Cached cache[4];
  thread_local unsigned next = 0;
  const uint32_t key = (uint32_t{date} << 16) | time;
  for (const Cached& c : cache) {
    if (c.key == key) {
      *out = c.value;
      return true;
    }
  }
  std::tm tm{};
  tm.tm_sec = (time & 31) * 2;
  tm.tm_min = (time >> 5) & 63;
  tm.tm_hour = time >> 11;
  tm.tm_mday = date & 31;
  tm.tm_mon = ((date >> 5) & 15) - 1;
  tm.tm_year = 80 + (date >> 9);
  tm.tm_isdst = -1;
  const time_t seconds = std::mktime(&tm);
  *out = filetime::FromUnixSeconds(static_cast<int64_t>(seconds));
  cache[next] = Cached{key, *out};
  next = (next + 1) % 4;
  return true;
}
