#include "raw/DesignAnalysers.h"

#include <cstdlib>
#include <cstring>

#include "OnDiskBytes.h"
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
  uint64_t size = 12 + 16 * uint64_t{tables};
  for (unsigned i = 0; i < tables; ++i) {
    const unsigned char* record = s + 12 + 16 * i;
    for (const char* tag : kTags) {
      if (std::memcmp(record, tag, 4) == 0) {
        ++known;
        break;
      }
    }
    size += (uint64_t{Be32(record + 12)} + 3) / 4 * 4;
  }
  if (2 * known < tables) return 0;
  info.m_type = RAW_TYPE_TTF;
  info.m_size = size;
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
  return 1;
}
