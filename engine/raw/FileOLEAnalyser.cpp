#include "raw/FileOLEAnalyser.h"

#include <algorithm>
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
constexpr uint32_t kDifatSector = 0xFFFFFFFC;
constexpr uint32_t kTableSector = 0xFFFFFFFD;
constexpr uint32_t kEndOfChain = 0xFFFFFFFE;
constexpr uint32_t kFree = 0xFFFFFFFF;  // also "no entry" in the directory's tree
constexpr uint32_t kEntry = 128;
constexpr uint32_t kMiniSector = 64;
// Bounds for hostile tables: DIFAT sectors followed (a file of 2^32 sectors
// needs fewer), directory sectors read, directory entries visited, mini
// table sectors held.
constexpr uint32_t kMaxDifatSectors = 1u << 16;
constexpr uint32_t kMaxDirectorySectors = 1024;
constexpr uint32_t kMaxVisits = 4096;
constexpr uint32_t kMaxMiniTableSectors = 4096;
// The allocation table is held in memory up to this many entries (files of
// 1 GiB in 512-byte sectors); a longer one is read a sector at a time.
constexpr uint64_t kHeldEntries = uint64_t{1} << 21;
constexpr uint32_t kMaxTableReads = 1u << 16;
// Steps taken along chains, at most.
constexpr uint64_t kMaxSteps = uint64_t{1} << 26;

// The compound file as far as sizing, typing and checking need it.
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
      m_difat.push_back(current);
      for (uint32_t j = 0; j + 1 < m_perTable; ++j) Add(Le32(d + 4 * j));
      const uint32_t next = Le32(d + 4 * (m_perTable - 1));
      if (next <= current || next == kFree) break;
      current = next;
    }
    return true;
  }
  const std::vector<uint32_t>& Tables() const { return m_tables; }
  const std::vector<uint32_t>& DifatSectors() const { return m_difat; }
  uint32_t PerTable() const { return m_perTable; }

  // The next sector of a chain, or kFree when it cannot be told.
  uint32_t Next(uint32_t sector) {
    if (!m_held.empty()) return sector < m_held.size() ? m_held[sector] : kFree;
    const uint64_t table = sector / m_perTable;
    if (table >= m_tables.size()) return kFree;
    if (table != m_cachedTable) {
      // A table too long to hold, read in a hostile order, would be read
      // sector by sector for ever: the reads are bounded.
      if (++m_reads > kMaxTableReads) return kFree;
      const uint8_t* t = Sector(m_tables[table]);
      if (t == nullptr) return kFree;
      m_cached.assign(t, t + SectorSize());
      m_cachedTable = table;
    }
    return Le32(m_cached.data() + 4 * (sector % m_perTable));
  }
  // The table in memory (empty when it is too long to be held).
  const std::vector<uint32_t>& Held() const { return m_held; }
  // Reads the whole table into memory when it is not too long: chains are
  // then followed without a read per step.
  void HoldTable() {
    if (uint64_t{m_tables.size()} * m_perTable > kHeldEntries) return;
    m_held.assign(uint64_t{m_tables.size()} * m_perTable, kFree);
    for (size_t i = 0; i < m_tables.size(); ++i) {
      const uint8_t* t = Sector(m_tables[i]);
      if (t == nullptr) continue;
      for (uint32_t j = 0; j < m_perTable; ++j) m_held[i * m_perTable + j] = Le32(t + 4 * j);
    }
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
  std::vector<uint32_t> m_difat;
  std::vector<uint32_t> m_held;
  std::vector<uint8_t> m_cached;
  uint64_t m_cachedTable = UINT64_MAX;
  uint32_t m_reads = 0;
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

// Whether the structures of a compound file of `sectors` sectors (its
// header aside) hold, as the file's own bytes hold them and foreign bytes
// behind a cut do not: each allocation-table and DIFAT sector marked as one
// in the table, the directory's chain and entries well formed, every
// stream's chain (in the table or in the mini table) exactly as long as its
// size needs, the mini table's entries within the mini stream. What a file
// whose structures hold claims is all its own; of one whose structures do
// not, only the stretch up to the furthest structure that holds is.
class CompoundCheck {
 public:
  CompoundCheck(Compound& file, const uint8_t* header, uint64_t sectors)
      : m_file(file), m_header(header), m_sectors(sectors) {}

  void Run() {
    m_file.HoldTable();
    if (!m_file.Held().empty() && m_sectors <= m_file.Held().size()) m_seen.assign(m_sectors, 0);
    // Chains may not take more steps than the file has sectors, twice over
    // for streams that (in a damaged file) share them.
    m_steps = std::min(2 * m_sectors + 65536, kMaxSteps);
    const uint8_t* h = m_header;
    if (Le16(h + 28) != 0xFFFE || Le16(h + 32) != 6 || Le32(h + 56) != 4096 || Le32(h + 44) != m_file.Tables().size()) {
      m_sound = false;
    }
    for (const uint32_t t : m_file.Tables()) Mark(t, kTableSector);
    for (const uint32_t d : m_file.DifatSectors()) Mark(d, kDifatSector);
    ReadDirectory();
    if (!m_directoryHolds) {
      m_sound = false;
      return;
    }
    ReadMiniTable();
    CheckStreams();
    CheckTable();
  }
  bool Sound() const { return m_sound; }
  bool DirectoryHolds() const { return m_directoryHolds; }
  uint64_t ProvenTo() const { return m_provenTo; }
  // Where its streams of whole sectors begin.
  const std::vector<CRawFileInfo::Part>& Streams() const { return m_streams; }

 private:
  void Prove(uint32_t sector) { m_provenTo = std::max(m_provenTo, m_file.Offset(sector) + m_file.SectorSize()); }
  // Notes a sector as part of a structure or chain: no sector is part of
  // two.
  void Visit(uint32_t sector) {
    if (m_seen.empty()) return;
    if (m_seen[sector] != 0) m_sound = false;
    m_seen[sector] = 1;
  }
  // A table or DIFAT sector the table marks as what it is.
  void Mark(uint32_t sector, uint32_t kind) {
    if (sector < m_sectors && m_file.Next(sector) == kind) {
      Visit(sector);
      Prove(sector);
    } else {
      m_sound = false;
    }
  }
  // With the table in memory: every sector it marks as used was met in a
  // structure or chain, and what it holds past the file's sectors is free.
  // The last table sector's entries behind a cut (zeros, foreign bytes)
  // mark sectors no chain reaches.
  void CheckTable() {
    const std::vector<uint32_t>& held = m_file.Held();
    if (m_seen.empty()) return;
    for (uint64_t s = 0; s < held.size() && m_sound; ++s) {
      const bool used = held[s] != kFree;
      if (s < m_sectors ? used != (m_seen[s] != 0) : used) m_sound = false;
    }
  }
  // Follows a chain of `count` sectors from `first`: false when it leaves
  // the file, runs out of steps or does not end there. Each sector goes to
  // `each`.
  template <typename Each>
  bool Follow(uint32_t first, uint64_t count, Each&& each) {
    if (count > m_sectors || count > m_steps) return false;
    m_steps -= count;
    uint32_t s = first;
    for (uint64_t i = 0; i < count; ++i) {
      if (s >= m_sectors) return false;
      Visit(s);
      each(s);
      s = m_file.Next(s);
    }
    return s == kEndOfChain;
  }
  static bool NoEntryOr(uint32_t id, uint64_t entries) { return id == kFree || id < entries; }
  // An unused entry is all zeros but for its three tree links, which are
  // all "no entry" or (as some writers leave them) zeros too, and its first
  // sector, which some writers set to the end of a chain.
  static bool UnusedHolds(const uint8_t* e) {
    const bool noLinks = Le32(e + 68) == kFree && Le32(e + 72) == kFree && Le32(e + 76) == kFree;
    return ondisk::AllZero(e, 68) && (noLinks || ondisk::AllZero(e + 68, 12)) && ondisk::AllZero(e + 80, 36) &&
           (Le32(e + 116) == 0 || Le32(e + 116) == kEndOfChain) && ondisk::AllZero(e + 120, 8);
  }
  bool EntryHolds(const uint8_t* e, uint64_t id, uint64_t entries) const {
    const uint8_t type = e[66];
    if (type == 0) return UnusedHolds(e);
    if ((type != 1 && type != 2 && type != 5) || (type == 5) != (id == 0) || e[67] > 1) return false;
    const uint16_t name = Le16(e + 64);
    if (name < 2 || name > 64 || name % 2 != 0 || Le16(e + name - 2) != 0) return false;
    return NoEntryOr(Le32(e + 68), entries) && NoEntryOr(Le32(e + 72), entries) && NoEntryOr(Le32(e + 76), entries);
  }
  void ReadDirectory() {
    std::vector<uint32_t> chain;
    uint32_t s = Le32(m_header + 48);
    while (s != kEndOfChain) {
      if (s >= m_sectors || chain.size() >= kMaxDirectorySectors) return;
      chain.push_back(s);
      Visit(s);
      s = m_file.Next(s);
    }
    if (chain.empty()) return;
    const uint32_t size = m_file.SectorSize();
    m_directory.resize(chain.size() * size);
    for (size_t i = 0; i < chain.size(); ++i) {
      const uint8_t* d = m_file.Sector(chain[i]);
      if (d == nullptr) return;
      std::memcpy(m_directory.data() + i * size, d, size);
    }
    const uint64_t entries = m_directory.size() / kEntry;
    for (uint64_t id = 0; id < entries; ++id) {
      if (!EntryHolds(m_directory.data() + id * kEntry, id, entries)) return;
    }
    for (const uint32_t d : chain) Prove(d);
    m_directoryHolds = true;
  }
  uint64_t StreamSize(const uint8_t* e) const {
    // Version 3 files leave the high half to chance.
    return m_file.SectorSize() == 512 ? Le32(e + 120) : ondisk::Le64(e + 120);
  }
  // The units of `unit` bytes that `bytes` take: a 64-bit size near its
  // top would wrap to a chain of none if rounded up by adding.
  static uint64_t Units(uint64_t bytes, uint64_t unit) { return bytes / unit + (bytes % unit != 0 ? 1 : 0); }
  void ReadMiniTable() {
    const uint8_t* root = m_directory.data();
    m_miniSectors = Units(StreamSize(root), kMiniSector);
    const uint32_t first = Le32(m_header + 60), count = Le32(m_header + 64);
    if (count == 0) return;
    if (count > kMaxMiniTableSectors) {
      m_sound = false;
      return;
    }
    std::vector<uint32_t> chain;
    if (!Follow(first, count, [&](uint32_t s) { chain.push_back(s); })) {
      m_sound = false;
      return;
    }
    const uint32_t per = m_file.PerTable();
    m_miniTable.reserve(uint64_t{count} * per);
    m_miniSeen.assign(std::min<uint64_t>(m_miniSectors, uint64_t{count} * per), 0);
    for (const uint32_t s : chain) {
      const uint8_t* t = m_file.Sector(s);
      if (t == nullptr) {
        m_sound = false;
        return;
      }
      bool holds = true;
      for (uint32_t j = 0; j < per; ++j) {
        const uint32_t next = Le32(t + 4 * j);
        holds = holds && (next == kFree || next == kEndOfChain || next < m_miniSectors);
        m_miniTable.push_back(next);
      }
      if (holds) {
        Prove(s);
      } else {
        m_sound = false;
      }
    }
  }
  bool FollowMini(uint32_t first, uint64_t count) {
    if (count > m_miniSectors || count > m_steps) return false;
    m_steps -= count;
    uint32_t s = first;
    for (uint64_t i = 0; i < count; ++i) {
      if (s >= m_miniSectors || s >= m_miniTable.size()) return false;
      if (m_miniSeen[s] != 0) return false;
      m_miniSeen[s] = 1;
      s = m_miniTable[s];
    }
    return s == kEndOfChain;
  }
  void CheckStreams() {
    const uint64_t size = m_file.SectorSize();
    const uint64_t entries = m_directory.size() / kEntry;
    const uint32_t cutoff = Le32(m_header + 56);
    for (uint64_t id = 0; id < entries && m_sound; ++id) {
      const uint8_t* e = m_directory.data() + id * kEntry;
      if (e[66] != 2 && e[66] != 5) continue;
      const uint64_t bytes = StreamSize(e);
      if (bytes == 0) continue;
      const uint32_t first = Le32(e + 116);
      const bool regular = e[66] == 5 || bytes >= cutoff;
      const bool holds =
          regular ? Follow(first, Units(bytes, size), [](uint32_t) {}) : FollowMini(first, Units(bytes, kMiniSector));
      if (!holds) m_sound = false;
      // A stream may hold a file of its own (an installer's cabinet, an
      // embedded package): where it begins is the compound file's.
      if (holds && regular && e[66] == 2) m_streams.push_back({m_file.Offset(first), bytes});
    }
    // The mini table marks no mini sector used that no stream reaches: what
    // a cut leaves of a stream whose size it took away.
    for (uint64_t s = 0; s < m_miniSeen.size() && m_sound; ++s) {
      if ((m_miniTable[s] != kFree) != (m_miniSeen[s] != 0)) m_sound = false;
    }
  }

  Compound& m_file;
  const uint8_t* m_header;
  uint64_t m_sectors;
  uint64_t m_steps = 0;
  bool m_sound = true;
  bool m_directoryHolds = false;
  uint64_t m_provenTo = 512;
  std::vector<uint8_t> m_seen;  // per sector, with the table in memory
  std::vector<uint8_t> m_directory;
  std::vector<uint32_t> m_miniTable;
  std::vector<uint8_t> m_miniSeen;
  uint64_t m_miniSectors = 0;
  std::vector<CRawFileInfo::Part> m_streams;
};

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
  if (dir == nullptr && size > 0xA00000) return 0;
  CompoundCheck check(file, header, sectors);
  check.Run();
  // Typed from a directory that holds; one that does not (behind a cut,
  // foreign bytes) tells nothing of the kind.
  info.m_type = RAW_TYPE_MOF;
  if (check.DirectoryHolds()) {
    dir = buffer.Get(file.Offset(firstDirectory), 512);
    if (dir != nullptr) info.m_type = TypeFromFirstEntries(dir);
    if (info.m_type == RAW_TYPE_MOF) info.m_type = TypeFromRootStreams(file, firstDirectory);
  }
  info.m_size = size;
  if (check.Sound()) {
    // Its tables, directory and mini table prove the bytes up to the last
    // of them its own. Stream data behind that hold nothing that shows them
    // there: a file cut in them still holds, and what lies in its place may
    // be another file, which ends it (unless it starts where a stream does).
    info.m_provenTo = check.ProvenTo();
    info.m_parts = check.Streams();
  } else {
    // Its tables lead into bytes that are not its own: it was cut, and how
    // much of what they claim came through is not known. Structures that
    // seem to hold prove nothing then: zeros read as an empty directory
    // sector, and a table sector's place is checked in another one.
    info.m_endUnknown = true;
  }
  return 1;
}
