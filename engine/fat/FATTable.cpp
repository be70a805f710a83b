#include "fat/FATTable.h"

#include <algorithm>
#include <climits>
#include <iterator>
#include <new>

#include "OnDiskBytes.h"
#include "StorageDevice.h"
#include "UnreadableSectors.h"

using ondisk::Le16;
using ondisk::Le32;

namespace {

// Tables are read in pieces of this many bytes, so that no single read asks
// the device for hundreds of megabytes.
constexpr uint64_t kReadPieceBytes = 4u << 20;
// The format allows at most 2^28 FAT32 entries.
constexpr uint64_t kFat32MaxTableBytes = (uint64_t{1} << 28) * 4;

bool Fat12Header(const uint8_t* p) { return (Le32(p) & 0x00FFFFF0u) == 0x00FFFFF0u; }
// Media bytes from 0xF0 up are allowed, as for FAT32; bit 15 of the second
// entry (the clean-shutdown flag) is ignored.
bool Fat16Header(const uint8_t* p) { return (Le32(p) & 0x7FFFFFF0u) == 0x7FFFFFF0u; }
bool Fat32Header(const uint8_t* p) {
  return (Le32(p) & 0x0FFFFFF0u) == 0x0FFFFFF0u && (Le32(p + 4) & 0x07FFFFF8u) == 0x07FFFFF8u;
}

}  // namespace

IRealFATTable::IRealFATTable(IStorageDevice* device, int64_t startSector, uint32_t sectors, uint32_t entryWidth)
    : m_device(device),
      m_startSector(startSector),
      m_sectors(sectors),
      m_entryWidth(entryWidth),
      m_sectorSize(device != nullptr ? device->GetSectorSize() : 512) {
  if (m_sectorSize == 0) m_sectorSize = 512;
  m_entries = static_cast<uint32_t>(std::min<uint64_t>(uint64_t{m_sectorSize} * sectors / entryWidth, UINT32_MAX));
}

void IRealFATTable::Load(uint64_t minSectors, uint64_t maxSectors) {
  if (m_device == nullptr || m_sectors < minSectors || m_sectors > maxSectors || m_sectors == 0 || m_startSector < 0) {
    return;
  }
  // A copy that runs past the device is read as far as the device goes, its
  // entries beyond reading as free (as a window's zeros would): a damaged
  // boot sector's gibibyte of table takes no memory on a small device.
  uint64_t sectors = m_sectors;
  const int64_t total = m_device->GetTotalSectors();
  if (total > 0) {
    if (m_startSector >= total) return;
    sectors = std::min<uint64_t>(sectors, static_cast<uint64_t>(total - m_startSector));
  }
  const uint64_t bytes = sectors * m_sectorSize;
  std::vector<uint8_t> buffer;
  try {
    buffer.assign(bytes, 0);
  } catch (const std::bad_alloc&) {
    return;
  }
  const uint64_t piece = std::max<uint64_t>(1, kReadPieceBytes / m_sectorSize);
  SectorRuns lost;
  for (uint64_t done = 0; done < sectors; done += piece) {
    const uint64_t count = std::min<uint64_t>(piece, sectors - done);
    // A copy we could not read whole is no copy: stale bytes would pass for
    // chains. Sectors a failing medium could not give cost only their own
    // entries, which this copy then does not hold (judged by sector).
    if (!unreadable::ReadAround(m_device, buffer.data() + done * m_sectorSize,
                                m_startSector + static_cast<int64_t>(done), static_cast<int64_t>(count), lost) ||
        (!lost.empty() && !m_bySector)) {
      return;
    }
  }
  for (auto& [first, count] : lost) first -= m_startSector;
  m_lost.swap(lost);
  m_buffer.swap(buffer);
}

bool IRealFATTable::EntryLost(uint32_t cluster) const {
  if (m_lost.empty()) return false;
  const auto sector = static_cast<int64_t>(uint64_t{cluster} * m_entryWidth / m_sectorSize);
  auto after = std::upper_bound(m_lost.begin(), m_lost.end(), std::make_pair(sector, INT64_MAX));
  return after != m_lost.begin() && std::prev(after)->first + std::prev(after)->second > sector;
}

bool IRealFATTable::EntryFits(uint32_t cluster, uint32_t v) const {
  if (v == 0 || v >= fatchain::kBadCluster) return true;
  const uint64_t limit = m_limit != 0 ? std::min<uint64_t>(m_limit, m_entries) : m_entries;
  return v != 1 && v != cluster && v < limit;
}

bool IRealFATTable::SectorOverwritten(uint32_t cluster) {
  if (!m_bySector) return false;
  const uint32_t perSector = m_sectorSize / m_entryWidth;
  if (perSector == 0 || m_buffer.empty()) return false;
  const uint64_t sector = cluster / perSector;
  if (m_sectorState.empty()) m_sectorState.assign((m_entries + perSector - 1) / perSector, 0);
  if (sector >= m_sectorState.size()) return false;
  if (m_sectorState[sector] == 0) {
    // Entries past the volume's end (and the two reserved ones) say
    // nothing of the volume's clusters.
    const uint64_t limit = m_limit != 0 ? std::min<uint64_t>(m_limit, m_entries) : m_entries;
    const uint64_t first = std::max<uint64_t>(sector * perSector, 2);
    const uint64_t end = std::min<uint64_t>((sector + 1) * perSector, limit);
    uint32_t misfits = 0;
    for (uint64_t i = first; i < end; ++i) {
      const auto index = static_cast<uint32_t>(i);
      if (!EntryFits(index, GetNextCluster(index))) ++misfits;
    }
    m_sectorState[sector] = misfits > std::max<uint32_t>(1, perSector / kOverwrittenShare) ? 2 : 1;
  }
  return m_sectorState[sector] == 2;
}

bool IRealFATTable::EntryHolds(uint32_t cluster, uint32_t* next) {
  const uint32_t v = GetNextCluster(cluster);
  *next = v;
  return EntryFits(cluster, v) && !EntryLost(cluster) && !SectorOverwritten(cluster);
}

CFAT12Table::CFAT12Table(IStorageDevice* device, int64_t startSector, uint32_t sectors)
    : IRealFATTable(device, startSector, sectors, 4) {
  Load(1, 12);
}

uint32_t CFAT12Table::RawEntry(uint32_t index) const {
  const uint64_t offset = uint64_t{index} * 3 / 2;
  if (offset + 2 > m_buffer.size()) return 0;
  const uint16_t v = Le16(m_buffer.data() + offset);
  return (index & 1) != 0 ? v >> 4 : v & 0x0FFF;
}

uint32_t CFAT12Table::GetNextCluster(uint32_t cluster) {
  const uint32_t v = RawEntry(cluster);
  if (v == 0x0FFF) return 0xFFFFFFFF;
  if (v >= 0x0FF8) return fatchain::kEndOfChain;
  return v;
}

bool CFAT12Table::IsValidFATTable() { return m_buffer.size() >= 4 && Fat12Header(m_buffer.data()); }

CFAT16Table::CFAT16Table(IStorageDevice* device, int64_t startSector, uint32_t sectors)
    : IRealFATTable(device, startSector, sectors, 2) {
  m_bySector = true;
  const uint32_t k = std::max<uint32_t>(1, m_sectorSize / 512);
  Load(12 / k, 256 / k);
}

uint32_t CFAT16Table::RawEntry(uint32_t index) const {
  if (index >= m_entries || uint64_t{index} * 2 + 2 > m_buffer.size()) return 0;
  return Le16(m_buffer.data() + uint64_t{index} * 2);
}

uint32_t CFAT16Table::GetNextCluster(uint32_t cluster) {
  const uint32_t v = RawEntry(cluster);
  if (v == 0xFFF7) return fatchain::kBadCluster;
  if (v > 0xFFF7) return fatchain::kEndOfChain;
  return v;
}

// A first sector the medium could not give tells nothing against the copy.
bool CFAT16Table::IsValidFATTable() { return m_buffer.size() >= 4 && (Fat16Header(m_buffer.data()) || EntryLost(0)); }

CFAT32Table::CFAT32Table(IStorageDevice* device, int64_t startSector, uint32_t sectors)
    : IRealFATTable(device, startSector, sectors, 4) {
  m_bySector = true;
  const uint32_t k = std::max<uint32_t>(1, m_sectorSize / 512);
  Load(256 / k, kFat32MaxTableBytes / m_sectorSize);
}

uint32_t CFAT32Table::RawEntry(uint32_t index) const {
  if (index >= m_entries || uint64_t{index} * 4 + 4 > m_buffer.size()) return 0;
  // The upper four bits are reserved: the format says to ignore them.
  return Le32(m_buffer.data() + uint64_t{index} * 4) & 0x0FFFFFFF;
}

uint32_t CFAT32Table::GetNextCluster(uint32_t cluster) {
  const uint32_t v = RawEntry(cluster);
  if (v == fatchain::kBadCluster) return v;
  return v > fatchain::kBadCluster ? std::max(v, fatchain::kEndOfChain) : v;
}

bool CFAT32Table::IsValidFATTable() { return m_buffer.size() >= 8 && (Fat32Header(m_buffer.data()) || EntryLost(0)); }

CDoubleFATTable::~CDoubleFATTable() {
  delete m_first;
  delete m_second;
}

void CDoubleFATTable::SetSecondCopy(IStorageDevice* device, int type, int64_t start, uint32_t sectors) {
  m_secondDevice = device;
  m_secondType = type;
  m_secondStart = start;
  m_secondSectors = sectors;
  m_secondTried = m_second != nullptr;
}

void CDoubleFATTable::SetClusterLimit(uint64_t limit) {
  m_limit = limit;
  for (IRealFATTable* copy : {m_first, m_second}) {
    if (copy != nullptr) copy->SetClusterLimit(limit);
  }
}

IRealFATTable* CDoubleFATTable::Second() {
  if (m_second == nullptr && !m_secondTried && m_secondDevice != nullptr) {
    m_secondTried = true;
    m_second = IFATTableFactory::CreateRealFATTable(m_secondDevice, m_secondType, m_secondStart, m_secondSectors);
    if (m_second != nullptr) m_second->SetClusterLimit(m_limit);
  }
  return m_second;
}

bool CDoubleFATTable::Lookup(uint32_t cluster, uint32_t* next) {
  *next = 0;
  if (m_first != nullptr && m_first->EntryHolds(cluster, next)) return true;
  IRealFATTable* second = Second();
  if (second != nullptr && second->EntryHolds(cluster, next)) return true;
  if (m_first == nullptr && second == nullptr) {
    // No copy at all: every entry answers free, and none is known, so that
    // a walk that goes on consecutively says it guessed.
    *next = 0;
    return false;
  }
  *next = fatchain::kBadCluster;
  return false;
}

uint32_t CDoubleFATTable::GetNextCluster(uint32_t cluster) {
  uint32_t next = 0;
  Lookup(cluster, &next);
  return next;
}

bool CDoubleFATTable::IsEntryUnknown(uint32_t cluster) {
  uint32_t next = 0;
  return !Lookup(cluster, &next);
}

bool CDoubleFATTable::IsEntryFree(uint32_t cluster) {
  uint32_t next = 0;
  if (!Lookup(cluster, &next) || next != 0) return false;
  IRealFATTable* second = Second();
  uint32_t other = 0;
  return second == nullptr || !second->EntryHolds(cluster, &other) || other == 0;
}

IFATTable* IFATTableFactory::CreateFATTable(IStorageDevice* device, int64_t start, int type, uint32_t sectorsPerFat,
                                            int useFirst, int useSecond, uint64_t clusterLimit) {
  IRealFATTable* first = nullptr;
  if (useFirst != 0 || useSecond == 0) first = CreateRealFATTable(device, type, start, sectorsPerFat);
  auto* table = new (std::nothrow) CDoubleFATTable(first, nullptr);
  if (table == nullptr) {
    delete first;
    return nullptr;
  }
  if (useSecond != 0) table->SetSecondCopy(device, type, start + sectorsPerFat, sectorsPerFat);
  table->SetClusterLimit(clusterLimit);
  return table;
}

IRealFATTable* IFATTableFactory::CreateRealFATTable(IStorageDevice* device, int type, int64_t start, uint32_t sectors) {
  IRealFATTable* table = nullptr;
  switch (type) {
    case FILE_SYSTEM_TYPE_FAT32:
      table = new (std::nothrow) CFAT32Table(device, start, sectors);
      break;
    case FILE_SYSTEM_TYPE_FAT16:
      table = new (std::nothrow) CFAT16Table(device, start, sectors);
      break;
    case FILE_SYSTEM_TYPE_FAT12:
      table = new (std::nothrow) CFAT12Table(device, start, sectors);
      break;
    default:
      return nullptr;
  }
  if (table != nullptr && !table->IsValidFATTable()) {
    delete table;
    table = nullptr;
  }
  return table;
}

void IFATTableFactory::DestroyFATTable(IFATTable* table) { delete table; }

bool CFATTableAnalyser::IsValidFATTableFirstSector(const uint8_t* sector, uint32_t sectorSize, int* type) {
  if (sector == nullptr || sectorSize < 8) return false;
  int found = -1;
  if (Fat32Header(sector)) {
    found = FILE_SYSTEM_TYPE_FAT32;
  } else if (Fat16Header(sector)) {
    found = FILE_SYSTEM_TYPE_FAT16;
  } else {
    return false;
  }
  if (type != nullptr) *type = found;
  return true;
}
