#include "raw/DesignAnalysers.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>

#include "OnDiskBytes.h"
#include "raw/RawCutCheck.h"
#include "raw/RawFileBuffer.h"
#include "raw/RawMarkSearch.h"
#include "raw/RawSectorScan.h"

using ondisk::AllZero;
using ondisk::Be16;
using ondisk::Be32;
using ondisk::Le16;
using ondisk::Le32;

namespace {

constexpr uint64_t kWalkLimit = 0xD000000;

// The sum of a font table's 32-bit big-endian words, the bytes past its
// length taken as zeros; -1 when it cannot be read. In the head table the
// third word (the whole font's checksum adjustment) counts as 0.
int64_t TtfTableSum(RawFileBuffer& buffer, uint64_t offset, uint64_t length, bool head) {
  uint32_t sum = 0, word = 0;
  uint64_t at = 0;
  const bool read = buffer.ForEachPiece(offset, length, [&](const uint8_t* bytes, size_t n) {
    size_t i = 0;
    // Whole words while the table's words line up with the piece's bytes.
    for (; at % 4 == 0 && i + 4 <= n; i += 4, at += 4) sum += head && at == 8 ? 0 : Be32(bytes + i);
    for (; i < n; ++i, ++at) {
      word = (word << 8) | bytes[i];
      if (at % 4 == 3) {
        sum += head && at / 4 == 2 ? 0 : word;
        word = 0;
      }
    }
  });
  if (!read) return -1;
  if (at % 4 != 0) sum += word << (8 * (4 - at % 4));
  return sum;
}

}  // namespace

// ---- sized from the header ----

uint32_t File3DSAnalyser::AnalyseBuffer(unsigned char* s, CRawFileInfo& info) {
  const uint32_t length = Le32(s + 2);
  if (Le16(s) != 0x4D4D || length == 0) return 0;
  // The editor chunk follows the version chunk; writers that leave the
  // version out put it first.
  const bool versioned = Le16(s + 16) == 0x3D3D && Le32(s + 18) <= length;
  const bool bare = length > 6 && Le16(s + 6) == 0x3D3D && Le32(s + 8) != 0 && Le32(s + 8) <= length - 6;
  if (!versioned && !bare) return 0;
  info.m_type = RAW_TYPE_3DS;
  info.m_size = length;
  return 1;
}

uint32_t FileTTFAnalyser::AnalyseBuffer(unsigned char* s, CRawFileInfo& info) {
  static const char kTags[][5] = {"DSIG", "cmap", "glyf", "head", "hhea", "hmtx", "loca", "maxp", "name",
                                  "post", "OS/2", "cvt ", "EBDT", "EBLC", "EBSC", "fpgm", "gasp", "hdmx",
                                  "kern", "LTSH", "prep", "PCLT", "VDMX", "vhea", "vmtx"};
  const uint16_t tables = Be16(s + 4);
  if (tables < 1 || tables > 31) return 0;
  unsigned known = 0;
  for (unsigned i = 0; i < tables; ++i) {
    const unsigned char* record = s + 12 + 16 * i;
    for (const char* tag : kTags) {
      if (std::memcmp(record, tag, 4) == 0) {
        ++known;
        break;
      }
    }
  }
  if (2 * known < tables) return 0;
  info.m_type = RAW_TYPE_TTF;
  return 1;
}

uint32_t FileTTFAnalyser::GetRawFileSize(CRawFileInfo& info, IStorageDevice* device) {
  RawFileBuffer buffer(device, info.m_startSector);
  const uint8_t* head = buffer.Get(0, 12);
  if (head == nullptr) return 0;
  const uint16_t tables = Be16(head + 4);
  if (tables < 1 || tables > 31) return 0;
  const uint64_t directoryEnd = 12 + 16 * uint64_t{tables};
  const uint8_t* directory = buffer.Get(0, static_cast<size_t>(directoryEnd));
  if (directory == nullptr) return 0;
  uint8_t records[31 * 16];
  std::memcpy(records, directory + 12, 16 * size_t{tables});
  uint64_t size = directoryEnd;
  for (unsigned i = 0; i < tables; ++i) size += (uint64_t{Be32(records + 16 * i + 12)} + 3) / 4 * 4;
  info.m_size = size;
  static thread_local RawRereadBudget budget;
  if (!MayReadForCheck(budget, buffer, size)) {
    MarkEndUnknown(info);
    return 1;
  }
  // Each table lies past the directory and inside the font, and carries the
  // checksum of its 32-bit words (the head table's with its checksum
  // adjustment taken as 0): a font cut short has other bytes in the tables
  // behind the cut.
  uint64_t summed = directoryEnd;
  for (unsigned i = 0; i < tables; ++i) {
    const uint8_t* record = records + 16 * i;
    const uint64_t offset = Be32(record + 8), length = Be32(record + 12);
    if (offset < directoryEnd || offset > size || length > size - offset ||
        TtfTableSum(buffer, offset, length, std::memcmp(record, "head", 4) == 0) != Be32(record + 4)) {
      MarkEndUnknown(info);
      return 1;
    }
    summed = std::max(summed, offset + length);
  }
  // The tables' checksums prove their bytes the font's own.
  info.m_provenTo = summed;
  return 1;
}

// ---- DWG ----

namespace {

// The 16 bytes that begin a drawing's picture data.
const uint8_t kImageSentinel[16] = {0x1F, 0x25, 0x6D, 0x07, 0xD4, 0x36, 0x28, 0x28,
                                    0x9D, 0x57, 0xCA, 0x3F, 0x9D, 0x44, 0x10, 0x2B};
// The copy of the file header that ends releases AC1018 and AC1024.
const uint8_t kHeaderCopy[16] = {0x68, 0x40, 0xF8, 0xF7, 0x92, 0x2A, 0xB5, 0xEF,
                                 0x18, 0xDD, 0x0B, 0xF1, 0xF1, 0xBB, 0xE9, 0xEB};
// The second file header of releases AC1012 to AC1015, which may follow the
// last section: its start and end marks.
const uint8_t kSecondHeader[16] = {0xD4, 0x7B, 0x21, 0xCE, 0x28, 0x93, 0x9F, 0xBF,
                                   0x53, 0x24, 0x40, 0x09, 0x12, 0x3C, 0xAA, 0x01};
const uint8_t kSecondHeaderEnd[16] = {0x2B, 0x84, 0xDE, 0x31, 0xD7, 0x6C, 0x60, 0x40,
                                      0xAC, 0xDB, 0xBF, 0xF6, 0xED, 0xC3, 0x55, 0xFE};

const char* const kDwgVersions[] = {"AC1018", "AC1015", "AC1014", "AC1013", "AC1009", "AC1012", "AC1021", "AC1024"};

bool SameBytes(RawFileBuffer& buffer, uint64_t at, const uint8_t* bytes, size_t n) {
  const uint8_t* p = buffer.Get(at, n);
  return p != nullptr && std::memcmp(p, bytes, n) == 0;
}

// Releases AC1012 to AC1015: the section locators; the one furthest in ends
// the drawing, or the second header right behind it.
uint64_t DwgLocatorSize(RawFileBuffer& buffer) {
  const uint8_t* h = buffer.Get(0, 25);
  if (h == nullptr) return 0;
  const uint32_t image = Le32(h + 13), count = Le32(h + 21);
  if (image == 0 || count < 1 || count > 100) return 0;
  if (!SameBytes(buffer, image, kImageSentinel, sizeof kImageSentinel)) return 0;
  const uint8_t* records = buffer.Get(25, 9 * count);
  if (records == nullptr) return 0;
  uint32_t address = 0, size = 0;
  for (uint32_t i = 0; i < count; ++i) {
    const uint32_t a = Le32(records + 9 * i + 1);
    if (i == 0 || a > address) {
      address = a;
      size = Le32(records + 9 * i + 5);
    }
  }
  if (address == 0 || size == 0) return 0;
  uint64_t end = uint64_t{address} + size;
  const uint8_t* second = buffer.Get(end, 20);
  if (second != nullptr && std::memcmp(second, kSecondHeader, 16) == 0) {
    const uint32_t length = Le32(second + 16);
    if (length <= 0x10000) {
      const RawMarkFind close = FindRawEndMark(buffer, end + 20, end + 20 + length + 16, kSecondHeaderEnd,
                                               sizeof kSecondHeaderEnd, 0, 16, [](const uint8_t*) { return true; });
      if (close.found) end = close.offset + sizeof kSecondHeaderEnd;
    }
  }
  return end;
}

}  // namespace

uint32_t FileDWGAnalyser::AnalyseBuffer(unsigned char* s, CRawFileInfo& info) {
  if (s[6] != 0 || s[7] != 0) return 0;
  for (const char* version : kDwgVersions) {
    if (std::memcmp(s, version, 6) == 0) {
      info.m_type = RAW_TYPE_DWG;
      return 1;
    }
  }
  return 0;
}

uint32_t FileDWGAnalyser::GetRawFileSize(CRawFileInfo& info, IStorageDevice* device) {
  RawFileBuffer buffer(device, info.m_startSector);
  m_sectorSize = buffer.SectorSize();
  const uint8_t* h = buffer.Get(0, 144);
  if (h == nullptr) return 0;
  char version[7] = {};
  std::memcpy(version, h, 6);
  uint8_t atHeader[16];
  std::memcpy(atHeader, h + 128, sizeof atHeader);
  const int release = std::atoi(version + 2);
  if (release >= 1012 && release <= 1015) {
    info.m_size = DwgLocatorSize(buffer);
    return info.m_size != 0 ? 1 : 0;
  }
  if (release != 1018 && release != 1021 && release != 1024) return 0;
  // Later releases end with a copy of the bytes at 128: AC1018 and AC1024
  // with 108 bytes of it, AC1021 with 1024. The copy is looked for from 1024
  // on, in every sector.
  const bool r2007 = release == 1021;
  if (!r2007 && std::memcmp(atHeader, kHeaderCopy, sizeof atHeader) != 0) return 0;
  if (r2007 && AllZero(atHeader, sizeof atHeader)) return 0;
  static thread_local RawSearchMemo memo;
  const RawMarkFind find = FindRawEndMark(
      buffer, 1024, kWalkLimit + 1, atHeader, sizeof atHeader, 0, 16, [](const uint8_t*) { return true; }, memo);
  SizeFromRawEndMark(info, find, r2007 ? 1024 : 108);
  return 1;
}

// ---- DXF and FH11: ended by a text ----

uint32_t FileDXFAnalyser::AnalyseBuffer(unsigned char* s, CRawFileInfo& info) {
  static const char kHead[] = "\nSECTION\r\n  2\r\nHEADER\r\n";
  if (std::memcmp(s + 4, kHead, sizeof kHead - 1) != 0) return 0;
  info.m_type = RAW_TYPE_DXF;
  return 1;
}

uint32_t FileDXFAnalyser::GetRawFileSize(CRawFileInfo& info, IStorageDevice* device) {
  // The drawing ends with group code 0 and "EOF", each on a line of its own.
  RawFileBuffer buffer(device, info.m_startSector);
  static const uint8_t kEnd[] = {'0', '\r', '\n', 'E', 'O', 'F', '\r', '\n'};
  static thread_local RawSearchMemo memo;
  const RawMarkFind find = FindRawEndMark(
      buffer, 0, kWalkLimit, kEnd, sizeof kEnd, 1, sizeof kEnd,
      [](const uint8_t* p) { return p[-1] == ' ' || p[-1] == '\n'; }, memo);
  if (find.found) {
    SizeFromRawEndMark(info, find, sizeof kEnd);
    return 1;
  }
  SearchSignCodeInfo sign;
  std::memcpy(sign.sign, "EOF\r\n", 5);
  sign.length = 5;
  static thread_local RawSearchMemo fallback;
  return SearchSignFileAnalyser::SearchEndSignCode(info, device, sign, 1, fallback);
}

uint32_t FileFH11Analyser::AnalyseBuffer(unsigned char* s, CRawFileInfo& info) {
  static const uint8_t kHead[12] = {0x02, 0x00, 0x04, 0x1C, 0x01, 0x14, 0x00, 0x02, 0x00, 0x14, 0x1C, 0x01};
  if (std::memcmp(s + 4, kHead, sizeof kHead) != 0 || s[34] != '1' || s[35] != '1') return 0;
  info.m_type = RAW_TYPE_FH11;
  return 1;
}

uint32_t FileFH11Analyser::GetRawFileSize(CRawFileInfo& info, IStorageDevice* device) {
  SearchSignCodeInfo sign;
  static const uint8_t kEnd[11] = {'D', 'e', 'c', 'o', 'd', 'e', 0x00, 0xFF, 0xFF, 0xFF, 0xFF};
  std::memcpy(sign.sign, kEnd, sizeof kEnd);
  sign.length = sizeof kEnd;
  static thread_local RawSearchMemo memo;
  const uint32_t answer = SearchSignFileAnalyser::SearchEndSignCode(info, device, sign, 1, memo);
  info.m_size += 9;
  return answer;
}

// ---- SQLite event databases ----

uint32_t FileFCPEVENTAnalyser::AnalyseBuffer(unsigned char* s, CRawFileInfo& info) {
  if (std::memcmp(s, "SQLite format 3", 16) != 0) return 0;
  info.m_type = RAW_TYPE_FCPEVENT;
  return 1;
}

namespace {

// A SQLite database's structure as far as its pages reach: its b-trees
// walked from the schema's (every table and index the schema roots), their
// pages of b-tree kinds with cells where their pointers say, the overflow
// chains of large cells as long as their payloads need, and the free-page
// list as long as the header counts. Every page named lies inside the
// database and is named once. A database cut short has other bytes in the
// pages behind the cut; where only free pages lie there, nothing of its
// content was lost.
class SqliteCheck {
 public:
  SqliteCheck(RawFileBuffer& buffer, uint32_t page, uint32_t usable, uint32_t pages)
      : m_buffer(buffer), m_page(page), m_usable(usable), m_pages(pages), m_seen(pages + uint64_t{1}, false) {}

  bool Holds() {
    const uint8_t* h = m_buffer.Get(0, 100);
    if (h == nullptr) return false;
    const uint32_t trunk = Be32(h + 32), free = Be32(h + 36);
    std::vector<uint32_t> roots{1};
    for (size_t i = 0; i < roots.size(); ++i) {
      if (!Tree(roots[i], i == 0 ? &roots : nullptr)) return false;
    }
    for (const auto& [first, bytes] : m_overflows) {
      if (!Overflow(first, bytes)) return false;
    }
    return Freelist(trunk, free);
  }

  // Once the structure holds: how far the database is its own, up to the
  // end of the last b-tree or free-list trunk page walked (their cells and
  // entries lie to their pages' ends) or the link of the last overflow page
  // (whose payload bytes, like free pages, are only claimed).
  uint64_t Reached() const { return m_reached; }

 private:
  static constexpr size_t kMaxRoots = 1 << 16;

  // Marks a page as named; false for a page outside the database or named
  // before.
  bool Mark(uint32_t number) {
    if (number < 1 || number > m_pages || m_seen[number]) return false;
    m_seen[number] = true;
    return true;
  }

  const uint8_t* Read(uint32_t number) {
    m_reached = std::max(m_reached, uint64_t{number} * m_page);
    return m_buffer.Get(uint64_t{number - 1} * m_page, m_page);
  }

  // A big-endian base-128 number of at most nine bytes at `at` (the ninth
  // takes eight bits), below `end`.
  static bool Varint(const uint8_t* page, uint32_t& at, uint32_t end, uint64_t* value) {
    *value = 0;
    for (int i = 0; i < 9; ++i) {
      if (at >= end) return false;
      const uint8_t b = page[at++];
      if (i == 8) {
        *value = (*value << 8) | b;
        return true;
      }
      *value = (*value << 7) | (b & 0x7F);
      if ((b & 0x80) == 0) return true;
    }
    return true;
  }

  // The part of a payload of `payload` bytes kept in its cell.
  uint64_t Local(uint64_t payload, bool table) const {
    const uint64_t u = m_usable;
    const uint64_t most = table ? u - 35 : (u - 12) * 64 / 255 - 23;
    if (payload <= most) return payload;
    const uint64_t least = (u - 12) * 32 / 255 - 23;
    const uint64_t k = least + (payload - least) % (u - 4);
    return k <= most ? k : least;
  }

  // Whether the record of `payload` bytes whose local part is `record`
  // (`length` bytes) has a header of serial types whose values take the
  // rest of the payload; the schema's records (`roots` not null) must be a
  // schema's row (type, name, table name, root page, text), and add the
  // page its table or index is rooted at.
  bool Record(const uint8_t* record, uint64_t length, uint64_t payload, std::vector<uint32_t>* roots) {
    uint32_t at = 0;
    const uint32_t end = static_cast<uint32_t>(length);
    uint64_t headerSize = 0;
    if (!Varint(record, at, end, &headerSize) || headerSize < 1 || headerSize > payload) return false;
    // A header longer than the cell keeps (a table of thousands of
    // columns) is not read.
    if (headerSize > end) return roots == nullptr;
    uint64_t body = 0, root = 0;
    int columns = 0;
    while (at < headerSize) {
      uint64_t type = 0;
      if (!Varint(record, at, static_cast<uint32_t>(headerSize), &type) || type == 10 || type == 11) return false;
      static const uint8_t kIntBytes[10] = {0, 1, 2, 3, 4, 6, 8, 8, 0, 0};
      const uint64_t bytes = type >= 12 ? (type - 12) / 2 : kIntBytes[type];
      if (roots != nullptr) {
        const bool text = type >= 13 && type % 2 == 1;
        if ((columns < 3 && !text) || (columns == 3 && !(type <= 6 || type == 8 || type == 9)) ||
            (columns == 4 && !text && type != 0)) {
          return false;
        }
        if (columns == 3 && type >= 1 && type <= 6 && headerSize + body + bytes <= end) {
          for (uint64_t i = 0; i < bytes; ++i) root = (root << 8) | record[headerSize + body + i];
        }
      }
      if (bytes > payload) return false;
      body += bytes;
      ++columns;
    }
    if (at != headerSize || headerSize + body != payload) return false;
    if (roots != nullptr) {
      if (columns != 5) return false;
      if (root >= 2 && root <= UINT32_MAX && roots->size() < kMaxRoots) roots->push_back(static_cast<uint32_t>(root));
    }
    return true;
  }

  // The b-tree rooted at `root`; the schema's (`roots` not null) adds the
  // roots its records name.
  bool Tree(uint32_t root, std::vector<uint32_t>* roots) {
    std::vector<uint32_t> pending{root};
    int family = -1;  // table (1) or index (0) pages, as the root's
    while (!pending.empty()) {
      const uint32_t number = pending.back();
      pending.pop_back();
      if (!Mark(number)) return false;
      const uint8_t* page = Read(number);
      if (page == nullptr) return false;
      const uint32_t head = number == 1 ? 100 : 0;
      const uint8_t kind = page[head];
      if (kind != 2 && kind != 5 && kind != 10 && kind != 13) return false;
      const bool table = kind == 5 || kind == 13, interior = kind == 2 || kind == 5;
      if (family < 0) family = table;
      if (family != static_cast<int>(table) || (roots != nullptr && !table)) return false;
      const uint32_t headerEnd = head + (interior ? 12 : 8);
      const uint32_t cells = Be16(page + head + 3);
      const uint32_t content = Be16(page + head + 5) == 0 ? 65536 : Be16(page + head + 5);
      if (headerEnd + 2 * cells > m_usable || (cells > 0 && content < headerEnd + 2 * cells) || page[head + 7] > 60) {
        return false;
      }
      if (interior) pending.push_back(Be32(page + head + 8));
      for (uint32_t i = 0; i < cells; ++i) {
        uint32_t at = Be16(page + headerEnd + 2 * i);
        if (at < headerEnd + 2 * cells || at >= m_usable) return false;
        if (interior) {
          if (at + 4 > m_usable) return false;
          pending.push_back(Be32(page + at));
          at += 4;
        }
        uint64_t payload = 0, key = 0;
        if (kind == 5) {
          if (!Varint(page, at, m_usable, &key)) return false;
          continue;
        }
        if (!Varint(page, at, m_usable, &payload)) return false;
        if (kind == 13 && !Varint(page, at, m_usable, &key)) return false;
        const uint64_t local = Local(payload, table);
        const bool spills = local < payload;
        if (local + (spills ? 4 : 0) > m_usable - at) return false;
        if (!Record(page + at, local, payload, kind == 13 ? roots : nullptr)) return false;
        if (spills && m_overflows.size() < m_pages) {
          m_overflows.emplace_back(Be32(page + at + local), payload - local);
        }
      }
      if (pending.size() > m_pages) return false;
    }
    return true;
  }

  // An overflow chain holding `bytes` of a payload: as many pages as they
  // need, the last one ending the chain.
  bool Overflow(uint32_t number, uint64_t bytes) {
    const uint64_t need = (bytes + m_usable - 5) / (m_usable - 4);
    for (uint64_t i = 0; i < need; ++i) {
      if (!Mark(number)) return false;
      const uint8_t* page = m_buffer.Get(uint64_t{number - 1} * m_page, 4);
      if (page == nullptr) return false;
      m_reached = std::max(m_reached, uint64_t{number - 1} * m_page + 4);
      number = Be32(page);
    }
    return number == 0;
  }

  // The free-page list: trunk pages, each naming the next one and its leaf
  // pages, `count` pages in all.
  bool Freelist(uint32_t trunk, uint32_t count) {
    uint64_t listed = 0;
    while (trunk != 0) {
      if (!Mark(trunk)) return false;
      const uint8_t* page = Read(trunk);
      if (page == nullptr) return false;
      const uint32_t leaves = Be32(page + 4);
      if (leaves > m_usable / 4 - 2) return false;
      listed += 1 + uint64_t{leaves};
      for (uint32_t i = 0; i < leaves; ++i) {
        if (!Mark(Be32(page + 8 + 4 * i))) return false;
      }
      trunk = Be32(page);
    }
    return listed == count;
  }

  RawFileBuffer& m_buffer;
  uint32_t m_page, m_usable, m_pages;
  std::vector<bool> m_seen;
  std::vector<std::pair<uint32_t, uint64_t>> m_overflows;  // first page, bytes held there
  uint64_t m_reached = 0;
};

// Pages a database may have for its structure to be walked.
constexpr uint64_t kSqliteCheckedPages = 1 << 24;

// Marks a database sized to `info.m_size` end-unknown when its structure
// does not hold; where it holds, it proves the pages it walked.
void CheckSqlite(CRawFileInfo& info, RawFileBuffer& buffer, uint64_t page) {
  const uint8_t* h = buffer.Get(0, 100);
  if (h == nullptr) return;
  const uint32_t reserved = h[20];
  const uint64_t pages = info.m_size / page;
  if (pages == 0 || pages > kSqliteCheckedPages || page - reserved < 480) return;
  SqliteCheck check(buffer, static_cast<uint32_t>(page), static_cast<uint32_t>(page - reserved),
                    static_cast<uint32_t>(pages));
  static thread_local RawRereadBudget budget;
  if (!MayReadForCheck(budget, buffer, info.m_size) || !check.Holds()) {
    MarkEndUnknown(info);
    return;
  }
  info.m_provenTo = check.Reached();
}

}  // namespace

uint32_t FileFCPEVENTAnalyser::GetRawFileSize(CRawFileInfo& info, IStorageDevice* device) {
  RawFileBuffer buffer(device, info.m_startSector);
  const uint8_t* h = buffer.Get(0, 100);
  if (h == nullptr) return 0;
  const uint16_t field = Be16(h + 16);
  // 1 stands for pages of 65536 bytes.
  const uint64_t page = field == 1 ? 65536 : field;
  if (page == 0 || page % 512 != 0) return 0;
  // The header counts the pages whenever its counter agrees with the one
  // the count was written with; overflow and free pages are counted too.
  const uint32_t pages = Be32(h + 28);
  // (A count the header claims, not pages walked: behind a database cut
  // short it takes in whatever follows.)
  if (pages != 0 && Be32(h + 24) == Be32(h + 92)) {
    info.m_size = pages * page;
    CheckSqlite(info, buffer, page);
    return 1;
  }
  // Older writers leave the count 0: pages are walked by their first byte.
  uint64_t position = page, empty = 0;
  while (position < kWalkLimit) {
    const uint8_t* first = buffer.Get(position, 1);
    if (first == nullptr) {
      if (position < buffer.BytesToDeviceEnd()) return 0;
      break;
    }
    const uint8_t kind = *first;
    if (kind == 1 || kind == 2 || kind == 4 || kind == 5 || kind == 8 || kind == 10 || kind == 13) {
      empty = 0;
    } else if (kind == 0) {
      ++empty;
    } else {
      break;
    }
    position += page;
    if (empty == 6) break;
  }
  info.m_size = position - empty * page;
  CheckSqlite(info, buffer, page);
  return 1;
}
