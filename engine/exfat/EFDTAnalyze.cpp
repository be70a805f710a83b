#include "exfat/EFDTAnalyze.h"

#include <algorithm>

#include "FileTime.h"
#include "OnDiskBytes.h"
#include "base/TextConvert.h"

using ondisk::Le16;
using ondisk::Le32;
using ondisk::Le64;

namespace exfat_entry {

bool IsPossibleTimestamp(uint32_t stamp) {
  return stamp == 0 || (filetime::IsPossibleDosDate(static_cast<uint16_t>(stamp >> 16)) &&
                        filetime::IsPossibleDosTime(static_cast<uint16_t>(stamp & 0xFFFF)));
}

bool IsValidNameChar(uint16_t unit) { return unit >= 0x1A && !IsForbiddenNameUnit(unit); }

bool IsValidFileEntry(const uint8_t* e, size_t available) {
  if (e[1] < 2 || e[1] > 18) return false;
  if (e[6] != 0 || e[7] != 0 || !ondisk::AllZero(e + 25, 7)) return false;
  bool possible = e[20] <= 199 && e[21] <= 199;
  for (int at : {8, 12, 16}) possible = possible && IsPossibleTimestamp(Le32(e + at));
  if (possible) return true;
  // Times no clock gives are what a clock gone wrong wrote, not what makes
  // the set: a set whose checksum holds over its entries is the set (its
  // time shows as unknown). Other data rarely passes that.
  const size_t bytes = (size_t{e[1]} + 1) * kEntrySize;
  return bytes <= available && CheckDirEntry(e, bytes, Le16(e + 2));
}

bool IsValidStreamEntry(const uint8_t* e, uint32_t sectorShift, uint32_t clusterShift, uint64_t totalSectors) {
  if (e[2] != 0 || e[6] != 0 || e[7] != 0 || Le32(e + 16) != 0) return false;
  const uint32_t first = Le32(e + 20);
  if (first == 1 || first > 0xFFFFFFF6u) return false;
  const uint64_t length = Le64(e + 24);
  const uint64_t valid = Le64(e + 8);
  if (sectorShift >= 64 || clusterShift >= 64) return false;
  if ((length >> sectorShift) >= totalSectors || (valid >> sectorShift) >= totalSectors) return false;
  if (first != 0 && (e[1] & 2) != 0) {
    // Both lengths are below the device's bytes, so these sums cannot wrap.
    if (first + (length >> clusterShift) > 0xFFFFFFF5u || first + (valid >> clusterShift) > 0xFFFFFFF5u) return false;
  }
  return true;
}

bool IsValidNameEntry(const uint8_t* e, int units) {
  if (e[1] != 0 || Le16(e + 2) == 0) return false;
  for (int i = 0; i < units && i < kNameUnitsPerEntry; ++i) {
    const uint16_t unit = Le16(e + 2 + 2 * i);
    if (unit == 0) break;
    if (!IsValidNameChar(unit)) return false;
  }
  return true;
}

bool IsValidLabelEntry(const uint8_t* e) {
  const int count = e[1];
  if (count > 11) return false;
  for (int i = 0; i < count; ++i) {
    if (!IsValidNameChar(Le16(e + 2 + 2 * i))) return false;
  }
  return ondisk::AllZero(e + 2 + 2 * count, size_t(2 * (11 - count))) && ondisk::AllZero(e + 24, 8);
}

namespace {

bool IsValidRootStructure(const uint8_t* e, uint32_t sectorShift, uint32_t clusterShift, uint64_t totalSectors) {
  const uint32_t first = Le32(e + 20);
  const uint64_t length = Le64(e + 24);
  if (first < 2 || first > 0xFFFFFFF5u || sectorShift >= 64 || clusterShift >= 64) return false;
  if ((length >> sectorShift) >= totalSectors) return false;
  // The length is below the device's bytes: the sum cannot wrap.
  return uint64_t{first} + (length >> clusterShift) <= 0xFFFFFFF5u && ondisk::AllZero(e + 8, 12);
}

}  // namespace

bool IsValidBitmapEntry(const uint8_t* e, uint32_t sectorShift, uint32_t clusterShift, uint64_t totalSectors) {
  // Byte 1 names the table the bitmap serves (bit 0); the rest is reserved.
  return e[1] <= 1 && ondisk::AllZero(e + 2, 6) && IsValidRootStructure(e, sectorShift, clusterShift, totalSectors);
}

bool IsValidUpcaseEntry(const uint8_t* e, uint32_t sectorShift, uint32_t clusterShift, uint64_t totalSectors) {
  // Bytes 4-7 hold the table's checksum.
  return ondisk::AllZero(e + 1, 3) && IsValidRootStructure(e, sectorShift, clusterShift, totalSectors);
}

void ReadFileEntry(const uint8_t* e, int64_t sector, _tagFileBaseInfo* info) {
  info->inUse = (e[0] & kInUse) != 0 ? 1 : 0;
  info->attributes = Le16(e + 4);
  info->createTime = Le32(e + 8);
  info->modifyTime = Le32(e + 12);
  info->accessTime = Le32(e + 16);
  info->create10ms = e[20];
  info->modify10ms = e[21];
  info->createUtcOffset = e[22];
  info->modifyUtcOffset = e[23];
  info->accessUtcOffset = e[24];
  info->sector = sector;
}

void ReadStreamEntry(const uint8_t* e, _tagFileBaseInfo* info) {
  info->contiguous = (e[1] & 2) != 0 ? 1 : 0;
  info->firstCluster = Le32(e + 20);
  info->dataLength = static_cast<int64_t>(Le64(e + 24));
}

bool ReadNameEntry(const uint8_t* e, int units, std::u16string* name) {
  for (int i = 0; i < units && i < kNameUnitsPerEntry; ++i) {
    const char16_t unit = Le16(e + 2 + 2 * i);
    if (unit == 0) return true;
    name->push_back(unit);
  }
  return false;
}

bool IsBenignPrimary(uint8_t type) { return (type & 0x7E) == 0x20; }
bool IsBenignSecondary(uint8_t type) { return (type & 0x7E) == 0x60; }

}  // namespace exfat_entry

bool CheckDirEntry(const uint8_t* bytes, size_t length, uint16_t storedChecksum) {
  if (bytes == nullptr) return length == 0 && storedChecksum == 0;
  const bool deleted = length > 0 && bytes[0] == (exfat_entry::kFile & 0x7F);
  uint16_t sum = 0;
  uint16_t asInUse = 0;
  auto add = [](uint16_t s, uint8_t b) { return static_cast<uint16_t>(((s & 1) != 0 ? 0x8000 : 0) + (s >> 1) + b); };
  for (size_t i = 0; i < length; ++i) {
    if (i == 2 || i == 3) continue;
    sum = add(sum, bytes[i]);
    if (deleted) {
      uint8_t b = bytes[i];
      if (i == 0) {
        b = exfat_entry::kFile;
      } else if (i == exfat_entry::kEntrySize) {
        b = exfat_entry::kStream;
      } else if (i % exfat_entry::kEntrySize == 0) {
        b = exfat_entry::kName;
      }
      asInUse = add(asInUse, b);
    }
  }
  return sum == storedChecksum || (deleted && asInUse == storedChecksum);
}

void CEFDTAnalyze::PrepareAnayze(uint32_t sectorShift, uint32_t clusterShift, uint64_t totalSectors) {
  m_sectorShift = sectorShift;
  m_clusterShift = clusterShift;
  m_totalSectors = totalSectors;
  m_state = 0;
  m_bitmapCluster = 0;
  m_bitmapLength = 0;
  m_upcaseCluster = 0;
  m_upcaseLength = 0;
}

bool CEFDTAnalyze::GetAllocationBitmap(uint32_t* firstCluster, uint64_t* length) const {
  if (m_bitmapCluster < 2) return false;
  *firstCluster = m_bitmapCluster;
  *length = m_bitmapLength;
  return true;
}

bool CEFDTAnalyze::GetUpcaseTable(uint32_t* firstCluster, uint64_t* length) const {
  if (m_upcaseCluster < 2) return false;
  *firstCluster = m_upcaseCluster;
  *length = m_upcaseLength;
  return true;
}

bool CEFDTAnalyze::Analyze(const uint8_t* buffer, size_t length, int64_t sector, uint32_t bytesPerSector) {
  if (buffer == nullptr) return true;
  for (size_t at = 0; at + exfat_entry::kEntrySize <= length; at += exfat_entry::kEntrySize) {
    const uint8_t* entry = buffer + at;
    if (entry[0] == exfat_entry::kEndOfDirectory) {
      m_state = 0;
      return false;
    }
    Entry(entry, length - at, bytesPerSector != 0 ? sector + static_cast<int64_t>(at / bytesPerSector) : sector);
  }
  return true;
}

void CEFDTAnalyze::Entry(const uint8_t* e, size_t available, int64_t sector) {
  using namespace exfat_entry;
  const uint8_t type = e[0];
  const uint8_t inUse = (type & kInUse) != 0 ? 1 : 0;
  const uint8_t index = m_state;  // a set's next entry sits at this index
  switch (type & 0x7F) {
    case kFile & 0x7F:
      m_state = 0;
      if (!IsValidFileEntry(e, available)) return;
      m_info = _tagFileBaseInfo();
      m_units.clear();
      m_state = 1;
      m_expected = e[1];
      ReadFileEntry(e, sector, &m_info);
      return;
    case kStream & 0x7F:
      if (index != 1 || inUse != m_info.inUse ||
          !IsValidStreamEntry(e, m_sectorShift, m_clusterShift, m_totalSectors)) {
        m_state = 0;
        return;
      }
      m_state = 2;
      --m_expected;
      m_nameLength = e[3];
      ReadStreamEntry(e, &m_info);
      return;
    case kName & 0x7F: {
      const size_t left = m_nameLength != 0 && m_nameLength > m_units.size() ? m_nameLength - m_units.size() : 0;
      const int units =
          m_nameLength != 0 ? static_cast<int>(std::min<size_t>(left, kNameUnitsPerEntry)) : kNameUnitsPerEntry;
      if (index < 2 || inUse != m_info.inUse || units == 0 || !IsValidNameEntry(e, units)) {
        m_state = 0;
        return;
      }
      const bool ended = ReadNameEntry(e, units, &m_units);
      ++m_state;
      --m_expected;
      // Secondary entries past the name (vendor extensions) add nothing.
      if (m_expected == 0 || ended || (m_nameLength != 0 && m_units.size() >= m_nameLength)) Finish();
      return;
    }
    default:
      // Labels, the bitmap and up-case entries, GUID, padding and vendor
      // entries, and whatever this reader does not know: none belongs inside
      // a File entry's set.
      m_state = 0;
      // The first bitmap describes the first table's clusters (a second
      // one, kept by some writers, the second table's).
      if (type == kBitmap && m_bitmapCluster == 0 && Le32(e + 20) >= 2) {
        m_bitmapCluster = Le32(e + 20);
        m_bitmapLength = Le64(e + 24);
      }
      if (type == kUpcase && m_upcaseCluster == 0 && Le32(e + 20) >= 2) {
        m_upcaseCluster = Le32(e + 20);
        m_upcaseLength = Le64(e + 24);
      }
      return;
  }
}

void CEFDTAnalyze::Finish() {
  m_info.name = ToUtf8(m_units.data(), m_units.size() * 2, TextEncoding::UTF16LE);
  m_files.push_back(std::move(m_info));
  m_info = _tagFileBaseInfo();
  m_units.clear();
  m_state = 0;
}
