#include "raw/AVAnalysers.h"

#include <zlib.h>

#include <array>
#include <cstring>
#include <vector>

#include "OnDiskBytes.h"
#include "raw/RawCutCheck.h"
#include "raw/RawFileBuffer.h"

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

namespace {

// A variable-length quantity of at most four bytes, or -1.
int64_t MidiNumber(RawByteCursor& events) {
  int64_t value = 0;
  for (int i = 0; i < 4; ++i) {
    const int b = events.Next();
    if (b < 0) return -1;
    value = (value << 7) | (b & 0x7F);
    if ((b & 0x80) == 0) return value;
  }
  return -1;
}

// Whether the events of the track at `at`, `length` bytes long, are events
// and close with the end-of-track event at its last byte: a track cut short
// runs on into other bytes, where its events stop making sense or its
// length ends with no such event.
bool MidiTrackCloses(RawFileBuffer& buffer, uint64_t at, uint64_t length) {
  RawByteCursor events(buffer, at, at + length);
  int running = -1;
  // Every event takes at least two bytes: the walk always ends.
  while (events.Left() > 0) {
    if (MidiNumber(events) < 0) return false;
    int status = events.Next();
    int data = 0;  // data bytes still to read
    if (status < 0) return false;
    if (status < 0x80) {
      // Running status: this is the first data byte of the last status.
      if (running < 0) return false;
      data = -1;
      status = running;
    }
    if (status == 0xFF) {
      const int kind = events.Next();
      const int64_t size = MidiNumber(events);
      if (kind < 0 || kind >= 0x80 || size < 0) return false;
      if (kind == 0x2F) return size == 0 && events.Left() == 0;
      if (!events.Skip(static_cast<uint64_t>(size))) return false;
      continue;
    }
    if (status == 0xF0 || status == 0xF7) {
      const int64_t size = MidiNumber(events);
      if (size < 0 || !events.Skip(static_cast<uint64_t>(size))) return false;
      continue;
    }
    if (status > 0xF0) return false;  // no system common or real-time message stands in a file
    running = status;
    data += (status & 0xE0) == 0xC0 ? 1 : 2;  // program change and channel pressure carry one
    for (; data > 0; --data) {
      const int b = events.Next();
      if (b < 0 || b >= 0x80) return false;
    }
  }
  return false;
}

}  // namespace

uint32_t FileMIDAnalyser::GetRawFileSize(CRawFileInfo& info, IStorageDevice* device) {
  RawFileBuffer buffer(device, info.m_startSector);
  const uint8_t* head = buffer.Get(0, 14);
  if (head == nullptr) return 0;
  const uint32_t tracks = Be16(head + 10);
  uint64_t position = 14;
  // Where each track's events lie, for as many as a header can count.
  std::vector<std::pair<uint64_t, uint64_t>> walked;
  uint64_t count = 0;
  while (position < 0xD000001) {
    const uint8_t* chunk = buffer.Get(position, 8);
    if (chunk == nullptr || !SameFolded(chunk, "MTrk", 4)) break;
    if (++count <= tracks) walked.emplace_back(position + 8, Be32(chunk + 4));
    position += 8 + uint64_t{Be32(chunk + 4)};
  }
  info.m_size = position;
  // Every track the header counts, each closed by its end-of-track event.
  bool closed = count == tracks;
  for (size_t i = 0; closed && i < walked.size(); ++i) {
    closed = MidiTrackCloses(buffer, walked[i].first, walked[i].second);
  }
  if (!closed) MarkEndUnknown(info);
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
  uint64_t position = 0, last = 0;
  bool endOfStream = false;
  while (position <= kWalkLimit) {
    const uint8_t* page = buffer.Get(position, 27 + 255);
    if (page == nullptr || std::memcmp(page, "OggS", 4) != 0) break;
    endOfStream = (page[5] & 0x04) != 0;
    uint64_t length = 27 + uint64_t{page[26]};
    for (int i = 0; i < page[26]; ++i) length += page[27 + i];
    last = position;
    position += length;
  }
  if (position == 0) return 0;
  info.m_size = position;
  // Pages walked up to one that closes the stream: the stream is whole.
  info.m_whole = true;
  if (endOfStream) return 1;
  // The walk stopped before the stream's last page: the file was cut, or
  // other bytes lie in it. Each page holds its checksum: the last one
  // walked is kept when it holds (the file then ends where its pages stop),
  // else the file ends before it; the pages before it were found where
  // their lengths said.
  info.m_endUnknown = true;
  if (OggPageSums(buffer, last, position - last)) return 1;
  if (last == 0) {
    // Its first page is cut: kept as long as it says, not taken for whole.
    info.m_whole = false;
    return 1;
  }
  info.m_size = last;
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
