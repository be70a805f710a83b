#include "raw/AVAnalysers.h"

#include <zlib.h>

#include <algorithm>
#include <array>
#include <cstring>
#include <vector>

#include "OnDiskBytes.h"
#include "raw/RawFileBuffer.h"
#include "raw/RawMovieSamples.h"

using ondisk::Be16;
using ondisk::Be32;
using ondisk::Be64;
using ondisk::Le32;

namespace {

constexpr uint64_t kWalkLimit = 0x82000000;
constexpr uint64_t kBoxLimit = 0x104000000;

// Whether `n` bytes at `p` spell `text`, A-Z folded to a-z on both sides.
bool SameFolded(const uint8_t* p, const char* text, size_t n) {
  for (size_t i = 0; i < n; ++i) {
    if (FoldAscii(p[i]) != FoldAscii(static_cast<uint8_t>(text[i]))) return false;
  }
  return true;
}

bool AnyOf(const uint8_t* p, std::initializer_list<const char*> texts) {
  for (const char* t : texts) {
    if (SameFolded(p, t, 8)) return true;
  }
  return false;
}

// Whether bytes 4-7 may spell "ftyp" in any case: | 0x20 folds every letter
// (and turns a few other bytes into letters, which the brand compares then
// turn away). The ISO media analysers are asked for nearly every sector of
// the disk; this one compare sends almost all of them away.
bool MaybeFileTypeBox(const uint8_t* s) {
  constexpr uint32_t kFtyp = uint32_t{'f'} | uint32_t{'t'} << 8 | uint32_t{'y'} << 16 | uint32_t{'p'} << 24;
  return (Le32(s + 4) | 0x20202020u) == kFtyp;
}

}  // namespace

// ---- sized from the header ----

uint32_t FileAUAnalyser::AnalyseBuffer(unsigned char* s, CRawFileInfo& info) {
  const uint32_t offset = Be32(s + 4), size = Be32(s + 8);
  if (offset < 24 || size == 0xFFFFFFFFu) return 0;
  // The header's sizes become the file's: its encoding, rate and channels
  // must be sound's too.
  const uint32_t encoding = Be32(s + 12), rate = Be32(s + 16), channels = Be32(s + 20);
  if (encoding < 1 || encoding > 27 || rate < 1 || rate > 1000000 || channels < 1 || channels > 64 ||
      offset > (1u << 20))
    return 0;
  info.m_type = RAW_TYPE_AU;
  info.m_size = uint64_t{offset} + size;
  return 1;
}

uint32_t CFileAIFAnalyzer::AnalyseBuffer(unsigned char* s, CRawFileInfo& info) {
  if (std::memcmp(s + 8, "AIF", 3) != 0 || (s[11] != 'F' && s[11] != 'C')) return 0;
  info.m_type = RAW_TYPE_AIFF;
  info.m_size = uint64_t{Be32(s + 4)} + 8;
  return 1;
}

int EbmlLength(uint8_t first) {
  for (int length = 1; length <= 8; ++length) {
    if ((first & (0x80 >> (length - 1))) != 0) return length;
  }
  return 0;
}

uint64_t EbmlValue(const uint8_t* p, int length) {
  uint64_t value = p[0] & (0xFFu >> length);
  bool allOnes = value == (0xFFu >> length);
  for (int i = 1; i < length; ++i) {
    value = (value << 8) | p[i];
    allOnes = allOnes && p[i] == 0xFF;
  }
  return allOnes ? UINT64_MAX : value;
}

uint32_t FileMKVAnalyser::AnalyseBuffer(unsigned char* s, CRawFileInfo& info) {
  const int headLength = EbmlLength(s[4]);
  if (headLength == 0) return 0;
  const uint64_t headSize = EbmlValue(s + 4, headLength);
  const uint64_t segment = 4 + uint64_t(headLength) + headSize;
  // The Segment's identifier and its whole size field lie in the sector.
  if (segment + 4 + 8 > 512 || std::memcmp(s + segment, "\x18\x53\x80\x67", 4) != 0) return 0;
  const int sizeLength = EbmlLength(s[segment + 4]);
  if (sizeLength == 0) return 0;
  const uint64_t size = EbmlValue(s + segment + 4, sizeLength);
  // A stream written live leaves the size unknown: the header cannot size it.
  if (size == UINT64_MAX || size > (uint64_t{1} << 48)) return 0;
  info.m_type = RAW_TYPE_MKV;
  info.m_size = segment + 4 + uint64_t(sizeLength) + size;
  return 1;
}

// ---- sized by reading ----

uint32_t FileRIFFAnalyser::AnalyseBuffer(unsigned char* s, CRawFileInfo& info) {
  const uint8_t* form = s + 8;
  const uint8_t* chunk = s + 12;
  uint32_t type = RAW_TYPE_RIFF;
  if (SameFolded(form, "WAVE", 4) && SameFolded(chunk, "fmt ", 4)) {
    type = RAW_TYPE_WAV;
  } else if (SameFolded(form, "AVI ", 4) && SameFolded(chunk, "LIST", 4)) {
    type = RAW_TYPE_AVI;
  } else if (SameFolded(form, "ACON", 4) && (SameFolded(chunk, "LIST", 4) || SameFolded(chunk, "anih", 4))) {
    type = RAW_TYPE_ANI;
  } else if (std::memcmp(form, "CMX1", 4) == 0 && std::memcmp(s + 20, "{Corel Binary Meta File}", 24) == 0) {
    type = RAW_TYPE_CMX;
  } else if (SameFolded(chunk, "vrsn", 4)) {
    if (SameFolded(form, "CARC", 4))
      type = RAW_TYPE_CLK;
    else if (SameFolded(form, "CSL2", 4))
      type = RAW_TYPE_CSL;
    // The drawing forms are written in these cases only ("CDR7".."CDRC",
    // "cdr8"): other cases are not compared.
    else if (std::memcmp(form, "CDR", 3) == 0 || std::memcmp(form, "cdr8", 4) == 0) {
      if (std::strchr("789ABC", form[3]) != nullptr && form[3] != 0) type = RAW_TYPE_CDR;
    }
  }
  info.m_type = type;
  info.m_size = 0;
  return 1;
}

uint32_t FileRIFFAnalyser::GetRawFileSize(CRawFileInfo& info, IStorageDevice* device) {
  RawFileBuffer buffer(device, info.m_startSector);
  const uint8_t* head = buffer.Get(0, 8);
  if (head == nullptr) return 0;
  // The header gives the exact length: the rest of the last sector is not
  // part of the file.
  info.m_size = uint64_t{Le32(head + 4)} + 8;
  // Its chunks, each found where the one before ends, show that one whole
  // (a film's frames before its index, say); the last one's bytes are only
  // claimed.
  uint64_t at = 12, last = 0;
  for (int chunks = 0; chunks < (1 << 20) && at + 8 <= info.m_size; ++chunks) {
    const uint8_t* chunk = buffer.Get(at, 8);
    if (chunk == nullptr) break;
    bool named = true;
    for (int i = 0; i < 4; ++i) named = named && chunk[i] >= 0x20 && chunk[i] <= 0x7E;
    if (!named) break;
    last = at;
    at += 8 + uint64_t{Le32(chunk + 4)} + (Le32(chunk + 4) & 1);
  }
  info.m_provenTo = last + 8;
  return 1;
}

uint32_t File3GPAnalyser::AnalyseBuffer(unsigned char* s, CRawFileInfo& info) {
  if (!MaybeFileTypeBox(s) || !AnyOf(s + 4, {"ftyp3g2a", "ftyp3gp4", "ftyp3gp5", "ftypmmp4"})) return 0;
  info.m_type = RAW_TYPE_3GP;
  return 1;
}

uint32_t File3GPAnalyser::GetRawFileSize(CRawFileInfo& info, IStorageDevice* device) {
  return CRawBoxFileAnalyser::GetFileSize(info, device);
}

uint32_t FileMP4Analyser::AnalyseBuffer(unsigned char* s, CRawFileInfo& info) {
  if (!MaybeFileTypeBox(s)) return 0;
  if (AnyOf(s + 4, {"ftypisom", "ftypmp41", "ftypmp42"}))
    info.m_type = RAW_TYPE_MP4;
  else if (SameFolded(s + 4, "ftypM4A ", 8))
    info.m_type = RAW_TYPE_M4A;
  else if (SameFolded(s + 4, "ftypM4V ", 8))
    info.m_type = RAW_TYPE_M4V;
  else
    return 0;
  return 1;
}

uint32_t FileMP4Analyser::GetRawFileSize(CRawFileInfo& info, IStorageDevice* device) {
  return CRawBoxFileAnalyser::GetFileSize(info, device);
}

// "ftyp3gp5" is a 3GP brand (the 3GP analyser's), so it is not taken here.
uint32_t FileMOVAnalyser::AnalyseBuffer(unsigned char* s, CRawFileInfo& info) {
  if (std::memcmp(s + 4, "ftyp", 4) != 0 || AnyOf(s + 4, {"ftypisom", "ftyp3gp4", "ftyp3g2a", "ftypmmp4", "ftypM4A ",
                                                          "ftypM4V ", "ftypmp41", "ftypmp42", "ftyp3gp5"}))
    return 0;
  info.m_type = RAW_TYPE_MOV;
  return 1;
}

uint32_t FileMOVAnalyser::GetRawFileSize(CRawFileInfo& info, IStorageDevice* device) {
  static const char* const kStepped[] = {"ftyp", "free", "mdat", "meta", "moov", "mvex",
                                         "mvhd", "pnot", "trak", "udta", "wide"};
  RawFileBuffer buffer(device, info.m_startSector);
  uint64_t position = 0;
  while (position < kBoxLimit) {
    const uint8_t* atom = buffer.Get(position, 16);
    if (atom == nullptr) break;
    uint64_t size = Be32(atom);
    if (size == 1) size = Be64(atom + 8);  // a 64-bit atom, as large media data carries
    if (size < 8) break;
    bool known = false;
    for (const char* t : kStepped) known = known || std::memcmp(atom + 4, t, 4) == 0;
    if (!known) break;
    if (size > kBoxLimit - position) {
      position = kBoxLimit;
      break;
    }
    // Each atom found where the one before ends shows that one whole; the
    // last one's bytes are only claimed, but for the samples the movie atom
    // places in them.
    info.m_provenTo = position + 8;
    if (std::memcmp(atom + 4, "moov", 4) == 0) AddRawMovieSamples(buffer, position, size, info.m_parts);
    position += size;
  }
  if (position == 0) return 0;
  info.m_size = position;
  return 1;
}

uint32_t FileMIDAnalyser::AnalyseBuffer(unsigned char* s, CRawFileInfo& info) {
  if (Be32(s + 4) != 6 || Be16(s + 8) > 2 || Be16(s + 10) == 0) return 0;
  info.m_type = RAW_TYPE_MID;
  return 1;
}

uint32_t FileMIDAnalyser::GetRawFileSize(CRawFileInfo& info, IStorageDevice* device) {
  RawFileBuffer buffer(device, info.m_startSector);
  uint64_t position = 14;
  while (position < 0xD000001) {
    const uint8_t* chunk = buffer.Get(position, 8);
    if (chunk == nullptr || !SameFolded(chunk, "MTrk", 4)) break;
    position += 8 + uint64_t{Be32(chunk + 4)};
  }
  info.m_size = position;
  return 1;
}

uint32_t CFileOggAnalyser::AnalyseBuffer(unsigned char*, CRawFileInfo& info) {
  info.m_type = RAW_TYPE_OGG;
  return 1;
}

namespace {

// The checksum of Ogg pages: CRC-32 of polynomial 0x04C11DB7, bits taken
// from the top, starting from 0, not inverted.
constexpr std::array<uint32_t, 256> OggCrcTable() {
  std::array<uint32_t, 256> table{};
  for (uint32_t i = 0; i < 256; ++i) {
    uint32_t r = i << 24;
    for (int bit = 0; bit < 8; ++bit) r = (r & 0x80000000u) != 0 ? (r << 1) ^ 0x04C11DB7u : r << 1;
    table[i] = r;
  }
  return table;
}

// Whether the page at `at`, `length` bytes long, carries the checksum of
// its bytes (taken with its checksum field as zeros).
bool OggPageSums(RawFileBuffer& buffer, uint64_t at, uint64_t length) {
  static constexpr std::array<uint32_t, 256> kTable = OggCrcTable();
  const uint8_t* head = buffer.Get(at, 27);
  if (head == nullptr) return false;
  const uint32_t stored = Le32(head + 22);
  uint32_t crc = 0;
  uint64_t offset = 0;
  return buffer.ForEachPiece(at, length, [&](const uint8_t* bytes, size_t n) {
    for (size_t i = 0; i < n; ++i, ++offset) {
      const uint8_t b = offset >= 22 && offset < 26 ? 0 : bytes[i];
      crc = (crc << 8) ^ kTable[(crc >> 24) ^ b];
    }
  }) && crc == stored;
}

}  // namespace

uint32_t CFileOggAnalyser::GetRawFileSize(CRawFileInfo& info, IStorageDevice* device) {
  RawFileBuffer buffer(device, info.m_startSector);
  // Pages one behind the other, each holding the checksum of its bytes: a
  // page cut short, or one that merely reads as a page in what follows a
  // cut, fails it. The file is whole when every stream its pages opened (a
  // film has one for its pictures and one for its sound, chained streams
  // follow each other) was closed by a page that holds.
  uint64_t position = 0;
  std::vector<uint32_t> open;
  bool opened = false, tooMany = false;
  while (position <= kWalkLimit) {
    const uint8_t* page = buffer.Get(position, 27 + 255);
    if (page == nullptr || std::memcmp(page, "OggS", 4) != 0) break;
    const uint8_t flags = page[5];
    const uint32_t serial = Le32(page + 14);
    uint64_t length = 27 + uint64_t{page[26]};
    for (int i = 0; i < page[26]; ++i) length += page[27 + i];
    if (!OggPageSums(buffer, position, length)) {
      if (position == 0) {
        // Its first page is cut: kept as long as it says, its end not
        // known, nothing of it proven.
        info.m_size = length;
        info.m_endUnknown = true;
        return 1;
      }
      break;
    }
    if ((flags & 0x02) != 0) {
      opened = true;
      if (open.size() < 64) {
        open.push_back(serial);
      } else {
        tooMany = true;
      }
    }
    if ((flags & 0x04) != 0) open.erase(std::remove(open.begin(), open.end(), serial), open.end());
    position += length;
  }
  if (position == 0) return 0;
  info.m_size = position;
  // The pages walked hold; behind the last one that does the file was cut
  // (or other bytes lie in it) unless its streams were all closed.
  info.m_whole = true;
  info.m_endUnknown = !opened || tooMany || !open.empty();
  return 1;
}

uint32_t FileFLVAnalyser::AnalyseBuffer(unsigned char* s, CRawFileInfo& info) {
  if (s[0] != 'F' || s[1] != 'L' || s[2] != 'V') return 0;
  info.m_type = RAW_TYPE_FLV;
  return 1;
}

uint32_t FileFLVAnalyser::GetRawFileSize(CRawFileInfo& info, IStorageDevice* device) {
  RawFileBuffer buffer(device, info.m_startSector);
  const uint8_t* head = buffer.Get(0, 13);
  if (head == nullptr || head[3] != 1 || Be32(head + 9) != 0) return 0;
  uint64_t p = 9;
  uint64_t expected = 0;  // 0: none yet
  uint64_t previousData = 1;
  uint64_t end = 0;
  while (true) {
    const uint8_t* tag = buffer.Get(p, 8);
    if (tag == nullptr || p > kWalkLimit) {
      end = p;
      break;
    }
    const uint64_t previous = Be32(tag);
    const int type = tag[4];
    const uint64_t data = (uint64_t{tag[5]} << 16) | (uint64_t{tag[6]} << 8) | tag[7];
    if (previous == previousData || (type != 8 && type != 9 && type != 18)) {
      end = p + 4;
      break;
    }
    if (expected != 0 && previous != expected) {
      end = p + data + 15;
      break;
    }
    expected = data + 11;
    previousData = data;
    p += data + 15;
  }
  info.m_type = RAW_TYPE_FLV;
  info.m_size = std::min<uint64_t>(end, kWalkLimit);
  return 1;
}

// Whether the bytes after the signature can be an SWF header: a version,
// and a length that holds the header and an end tag.
uint32_t FileSWFAnalyser::AnalyseBuffer(unsigned char* s, CRawFileInfo& info) {
  if (s[1] != 'W' || s[2] != 'S' || (s[0] != 'F' && s[0] != 'C')) return 0;
  if (s[3] == 0 || s[3] > 64 || (s[0] == 'C' && s[3] < 6) || Le32(s + 4) < 21) return 0;
  info.m_type = RAW_TYPE_SWF;
  return 1;
}

namespace {

// The length of an uncompressed SWF whose tags, from the frame header on,
// end with the end tag exactly where its header says the file ends; 0 when
// they do not.
uint64_t WalkSwfTags(RawFileBuffer& buffer, uint64_t length) {
  const uint8_t* h = buffer.Get(0, 8 + 17 + 4);
  if (h == nullptr) return 0;
  // The frame rectangle: 5 bits of field width, four fields.
  const uint32_t bits = h[8] >> 3;
  uint64_t p = 8 + (5 + 4 * bits + 7) / 8 + 4;
  for (uint32_t tags = 0; tags < (1u << 24) && p < length; ++tags) {
    const uint8_t* t = buffer.Get(p, 6);
    if (t == nullptr) return 0;
    const uint16_t code = ondisk::Le16(t);
    uint64_t size = code & 0x3F;
    p += 2;
    if (size == 0x3F) {
      size = Le32(t + 2);
      p += 4;
    }
    p += size;
    if ((code >> 6) == 0) return p == length ? p : 0;
  }
  return 0;
}

// The length of a compressed SWF: its header and the zlib stream behind it,
// which must inflate to the length the header gives.
uint64_t InflateSwf(RawFileBuffer& buffer, uint64_t length) {
  if (length < 8) return 0;
  z_stream z{};
  if (inflateInit(&z) != Z_OK) return 0;
  static thread_local std::vector<uint8_t> out(64 * 1024);
  constexpr size_t kChunk = 32 * 1024;
  uint64_t in = 8, produced = 0;
  int status = Z_OK;
  while (status == Z_OK) {
    const uint8_t* chunk = buffer.Get(in, kChunk);
    if (chunk == nullptr) break;
    z.next_in = const_cast<Bytef*>(chunk);
    z.avail_in = kChunk;
    do {
      z.next_out = out.data();
      z.avail_out = static_cast<uInt>(out.size());
      status = inflate(&z, Z_NO_FLUSH);
      produced += out.size() - z.avail_out;
    } while (status == Z_OK && z.avail_out == 0 && produced <= length - 8);
    in += kChunk - z.avail_in;
    if (produced > length - 8) status = Z_DATA_ERROR;
  }
  inflateEnd(&z);
  return status == Z_STREAM_END && produced == length - 8 ? in : 0;
}

}  // namespace

uint32_t FileSWFAnalyser::GetRawFileSize(CRawFileInfo& info, IStorageDevice* device) {
  RawFileBuffer buffer(device, info.m_startSector);
  const uint8_t* h = buffer.Get(0, 8);
  if (h == nullptr) return 0;
  const uint64_t length = Le32(h + 4);
  const uint64_t size = h[0] == 'F' ? WalkSwfTags(buffer, length) : InflateSwf(buffer, length);
  if (size == 0) return 0;
  info.m_type = RAW_TYPE_SWF;
  info.m_size = size;
  // Followed to its end tag or the end of its stream: what lies inside
  // (pictures, sound) is its own.
  info.m_whole = true;
  return 1;
}
