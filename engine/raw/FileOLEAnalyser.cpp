#include "raw/FileOLEAnalyser.h"

#include <cassert>
#include <cstring>
#include <string_view>
#include <vector>

#include "OnDiskBytes.h"
#include "StorageDevice.h"
#include "raw/RawFileBuffer.h"

using ondisk::Le16;
using ondisk::Le32;

namespace {

// Sector numbers from this one up mark free, end-of-chain and table sectors.
constexpr uint32_t kSpecial = 0xFFFFFFFA;
constexpr uint32_t kFree = 0xFFFFFFFF;
constexpr uint32_t kEntry = 128;
// Bounds for hostile tables: DIFAT sectors followed (a file of 2^32 sectors
// needs fewer), directory sectors read, directory entries visited.
constexpr uint32_t kMaxDifatSectors = 1u << 16;
constexpr uint32_t kMaxDirectorySectors = 1024;
constexpr uint32_t kMaxVisits = 4096;

// The compound file as far as sizing and typing need it.
class Compound {
 public:
  Compound(RawFileBuffer& buffer, const uint8_t* header) : m_buffer(buffer) {
    // Version 4 files use 4096-byte sectors; anything else is read as the
    // 512-byte sectors of version 3.
    m_shift = Le16(header + 30) == 12 ? 12 : 9;
    m_perTable = (1u << m_shift) / 4;
    // Sector numbers are 32-bit: no file has more table sectors than it
    // takes to list 2^32 sectors, whatever its DIFAT chain goes on to list.
    m_maxTables = (uint64_t{1} << 32) / m_perTable;
  }
  uint32_t SectorSize() const { return 1u << m_shift; }
  uint64_t Offset(uint32_t sector) const { return (uint64_t{sector} + 1) << m_shift; }
  const uint8_t* Sector(uint32_t sector) { return m_buffer.Get(Offset(sector), SectorSize()); }

  // The allocation-table sectors, in order: the header's list, then the
  // chain of DIFAT sectors, which may only move forward. False when a DIFAT
  // sector cannot be read.
  bool ReadTableList(const uint8_t* header) {
    for (int i = 0; i < 109; ++i) Add(Le32(header + 76 + 4 * i));
    uint32_t current = Le32(header + 68);
    for (uint32_t n = 0; current < kSpecial && n < kMaxDifatSectors && m_tables.size() < m_maxTables; ++n) {
      const uint8_t* d = Sector(current);
      if (d == nullptr) return false;
      for (uint32_t j = 0; j + 1 < m_perTable; ++j) Add(Le32(d + 4 * j));
      const uint32_t next = Le32(d + 4 * (m_perTable - 1));
      if (next <= current || next == kFree) break;
      current = next;
    }
    return true;
  }
  const std::vector<uint32_t>& Tables() const { return m_tables; }
  uint32_t PerTable() const { return m_perTable; }

  // The next sector of a chain, or kFree when it cannot be told.
  uint32_t Next(uint32_t sector) {
    const uint64_t table = sector / m_perTable;
    if (table >= m_tables.size()) return kFree;
    const uint8_t* t = Sector(m_tables[table]);
    return t != nullptr ? Le32(t + 4 * (sector % m_perTable)) : kFree;
  }

 private:
  void Add(uint32_t entry) {
    if (entry < kSpecial && m_tables.size() < m_maxTables) m_tables.push_back(entry);
  }
  RawFileBuffer& m_buffer;
  uint32_t m_shift;
  uint32_t m_perTable;
  uint64_t m_maxTables;
  std::vector<uint32_t> m_tables;
};

// Whether a directory entry's UTF-16 name is `text`, terminator included.
bool Named(const uint8_t* entry, std::u16string_view text) {
  if (text.size() >= 32) return false;
  for (size_t i = 0; i < text.size(); ++i) {
    if (Le16(entry + 2 * i) != text[i]) return false;
  }
  return Le16(entry + 2 * text.size()) == 0;
}

// The type the first directory entries give (entry 0 is the root).
uint32_t TypeFromFirstEntries(const uint8_t* dir) {
  auto e = [dir](int k) { return dir + kEntry * k; };
  uint32_t type = RAW_TYPE_MOF;
  for (int k = 0; k < 4; ++k) {
    if (Named(e(k), u"WordDocument") || Named(e(k), u"ObjectPool")) type = RAW_TYPE_DOC;
  }
  for (int k = 1; k <= 2; ++k) {
    if (Named(e(k), u"Workbook") || Named(e(k), u"Book")) type = RAW_TYPE_XLS;
  }
  for (int k = 1; k <= 3; ++k) {
    if (Named(e(k), u"PowerPoint Document")) type = RAW_TYPE_PPT;
  }
  if (Named(e(1), u"Pictures") || Named(e(1), u"PP40")) type = RAW_TYPE_PPT;
  if (Named(e(1), u"Scene")) type = RAW_TYPE_MAX;
  if (Named(e(1), u"VisioDocument")) type = RAW_TYPE_VSD;
  if (Named(e(1), u"PerfectOffice_MAIN") && Named(e(2), u"PerfectOffice_OBJECTS")) {
    if (Named(e(3), u"\x05SummaryInformation")) {
      type = RAW_TYPE_SHW;
    } else {
      type = ondisk::AllZero(e(0) + 80, 16) ? RAW_TYPE_WPG : RAW_TYPE_WPD;
    }
  }
  if (Named(e(1), u"Objects") && Named(e(2), u"Quill") && Named(e(3), u"Escher")) type = RAW_TYPE_PUB;
  if (Named(e(1), u"NativeContent_MAIN")) type = RAW_TYPE_QPW;
  if (Named(e(1),
            u"\x01"
            u"CompObj") &&
      ((Named(e(2), u"   19") && Named(e(3), u"   29")) || (Named(e(2), u"   112") && Named(e(3), u"   212")))) {
    type = RAW_TYPE_MPP;
  }
  if ((Named(e(1), u"PropData") && Named(e(2), u"Forms") && Named(e(3), u"Reports")) ||
      (Named(e(1), u"VBA") && Named(e(2), u"VBAProject") && Named(e(3), u"VBA"))) {
    type = RAW_TYPE_ADP;
  }
  return type;
}

// Writers lay the directory out in orders of their own: a document whose
// main stream is not among the first entries is typed from the streams its
// root storage holds, found through the directory's tree.
uint32_t TypeFromRootStreams(Compound& file, uint32_t firstDirectorySector) {
  std::vector<uint32_t> sectors;
  for (uint32_t s = firstDirectorySector; s < kSpecial && sectors.size() < kMaxDirectorySectors; s = file.Next(s)) {
    sectors.push_back(s);
  }
  const uint32_t perSector = file.SectorSize() / kEntry;
  const uint64_t entries = uint64_t{sectors.size()} * perSector;
  std::vector<uint8_t> seen(entries, 0);
  std::vector<uint8_t> entry(kEntry);
  auto read = [&](uint32_t id) {
    const uint8_t* s = file.Sector(sectors[id / perSector]);
    if (s == nullptr) return false;
    std::memcpy(entry.data(), s + kEntry * (id % perSector), kEntry);
    return true;
  };
  if (entries == 0 || !read(0)) return RAW_TYPE_MOF;
  std::vector<uint32_t> stack = {Le32(entry.data() + 76)};
  uint32_t type = RAW_TYPE_MOF;
  for (uint32_t visits = 0; !stack.empty() && visits < kMaxVisits; ++visits) {
    const uint32_t id = stack.back();
    stack.pop_back();
    if (id >= entries || seen[id] != 0 || !read(id)) continue;
    seen[id] = 1;
    const uint8_t* e = entry.data();
    if (Named(e, u"WordDocument")) type = RAW_TYPE_DOC;
    if (Named(e, u"Workbook") || Named(e, u"Book")) type = RAW_TYPE_XLS;
    if (Named(e, u"PowerPoint Document")) type = RAW_TYPE_PPT;
    if (Named(e, u"VisioDocument")) type = RAW_TYPE_VSD;
    stack.push_back(Le32(e + 68));  // left sibling
    stack.push_back(Le32(e + 72));  // right sibling
  }
  return type;
}

}  // namespace

uint32_t FileOLEAnalyser::AnalyseBuffer(unsigned char* s, CRawFileInfo& info) {
  assert(nullptr != s && "NULL != pBuffer");
  if (s[4] != 0xA1 || s[5] != 0xB1 || s[6] != 0x1A || s[7] != 0xE1) return 0;
  info.m_type = RAW_TYPE_OLE;
  return 1;
}

int FileOLEAnalyser::Simulate512ReadSector(uint8_t* buffer, uint64_t fileStartSector, uint64_t unit, uint32_t count,
                                           IStorageDevice* device) {
  const uint32_t size = device->GetSectorSize();
  if (size <= 512) {
    return device->ReadSector(buffer, static_cast<int64_t>(fileStartSector + unit), count);
  }
  const uint64_t ratio = size / 512;
  std::vector<uint8_t> sectors(uint64_t{count} * size);
  const int read = device->ReadSector(sectors.data(), static_cast<int64_t>(fileStartSector + unit / ratio), count);
  if (read != 0) std::memcpy(buffer, sectors.data() + (unit % ratio) * 512, uint64_t{count} * 512);
  return read;
}

uint32_t FileOLEAnalyser::GetRawFileSize(CRawFileInfo& info, IStorageDevice* device) {
  assert(nullptr != device && "NULL != pDevice");
  RawFileBuffer buffer(device, info.m_startSector);
  const uint8_t* h = buffer.Get(0, 512);
  if (h == nullptr) return 0;
  uint8_t header[512];
  std::memcpy(header, h, sizeof header);
  Compound file(buffer, header);
  // Without a table sector nothing says where the file ends.
  if (!file.ReadTableList(header) || file.Tables().empty()) return 0;
  // The file ends with the last sector its last table sector marks used,
  // whatever its kind: a VSD file as well.
  const uint8_t* last = file.Sector(file.Tables().back());
  if (last == nullptr) return 0;
  uint64_t used = 0;
  for (uint32_t j = file.PerTable(); j > 0; --j) {
    if (Le32(last + 4 * (j - 1)) != kFree) {
      used = j;
      break;
    }
  }
  const uint64_t sectors = (uint64_t{file.Tables().size()} - 1) * file.PerTable() + used;
  const uint64_t size = file.SectorSize() + sectors * file.SectorSize();
  const uint32_t firstDirectory = Le32(header + 48);
  const uint8_t* dir = firstDirectory < kSpecial ? buffer.Get(file.Offset(firstDirectory), 512) : nullptr;
  if (dir == nullptr) {
    if (size > 0xA00000) return 0;
    info.m_type = RAW_TYPE_MOF;
  } else {
    info.m_type = TypeFromFirstEntries(dir);
    if (info.m_type == RAW_TYPE_MOF) info.m_type = TypeFromRootStreams(file, firstDirectory);
  }
  info.m_size = size;
  info.m_whole = true;
  return 1;
}
