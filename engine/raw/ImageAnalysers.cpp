#include "raw/ImageAnalysers.h"

#include <zlib.h>

#include <algorithm>
#include <cstring>
#include <vector>

#include "OnDiskBytes.h"
#include "raw/RawFileBuffer.h"
#include "raw/RawSectorScan.h"

using ondisk::Be16;
using ondisk::Be32;
using ondisk::Le16;
using ondisk::Le32;

// ---- sized from the header ----

uint32_t FileBMPAnalyser::AnalyseBuffer(unsigned char* s, CRawFileInfo& info) {
  if (s[0] != 'B' || s[1] != 'M' || Le16(s + 6) != 0 || Le16(s + 8) != 0) return 0;
  const uint32_t header = Le32(s + 14);
  if (header != 40 && header != 124) return 0;
  info.m_type = RAW_TYPE_BMP;
  info.m_size = Le32(s + 2);
  return 1;
}

uint32_t FileICOAnalyser::AnalyseBuffer(unsigned char* s, CRawFileInfo& info) {
  const uint16_t kind = Le16(s + 2);
  if (kind != 1 && kind != 2) return 0;
  const uint16_t images = Le16(s + 4);
  if (images < 1 || images > 16) return 0;
  uint64_t size = 6;
  for (unsigned i = 0; i < images; ++i) {
    const unsigned char* entry = s + 6 + 16 * i;
    const uint32_t bytes = Le32(entry + 8);
    if (entry[3] != 0 || Le16(entry + 6) > 256 || bytes > 0xA00000 || Le32(entry + 12) > 0xA00000) return 0;
    size += uint64_t{bytes} + 16;
  }
  if (size > 0x100000) return 0;
  info.m_type = kind == 1 ? RAW_TYPE_ICO : RAW_TYPE_CUR;
  info.m_size = size;
  return 1;
}

uint32_t FileWMFAnalyser::AnalyseBuffer(unsigned char* s, CRawFileInfo& info) {
  if (s[0] == 0x01 && s[1] == 0x00 && s[2] == 0x09 && s[3] == 0x00) {
    if (Le16(s + 16) != 0) return 0;
  } else {
    if (Le16(s + 4) != 0 || Le32(s + 16) != 0 || Le32(s + 22) != 0x00090001u || Le16(s + 38) != 0) return 0;
    uint16_t sum = 0;
    for (int i = 0; i < 10; ++i) sum ^= Le16(s + 2 * i);
    if (sum != Le16(s + 20)) return 0;
  }
  // Sized by walking its records: writers leave the header's size 0, and a
  // cut file's header still claims the whole.
  info.m_type = RAW_TYPE_WMF;
  return 1;
}

uint32_t FileEMFAnalyser::AnalyseBuffer(unsigned char* s, CRawFileInfo& info) {
  if (std::memcmp(s + 40, " EMF", 4) != 0 || Le16(s + 58) != 0 || Le32(s + 48) == 0) return 0;
  info.m_type = RAW_TYPE_EMF;
  info.m_size = Le32(s + 48);
  return 1;
}

uint32_t FileMRWAnalyser::AnalyseBuffer(unsigned char* s, CRawFileInfo& info) {
  info.m_type = RAW_TYPE_MRW;
  info.m_size = uint64_t{Be32(s + 4)} + 8 + (uint64_t{s[32]} * Be16(s + 24) * Be16(s + 26)) / 8;
  return 1;
}

// ---- sized by walking ----

uint32_t FilePNGAnalyser::AnalyseBuffer(unsigned char* s, CRawFileInfo& info) {
  if (s[4] != 0x0D || s[5] != 0x0A || s[6] != 0x1A || s[7] != 0x0A) return 0;
  info.m_type = RAW_TYPE_PNG;
  return 1;
}

namespace {

// A chunk type is four ASCII letters.
bool IsPngChunkType(const uint8_t* type) {
  for (int i = 0; i < 4; ++i) {
    const uint8_t c = type[i] | 0x20;
    if (c < 'a' || c > 'z') return false;
  }
  return true;
}

// Whether the chunk at `at` (its length read already) carries the checksum
// of its type and data.
bool PngChunkSums(RawFileBuffer& buffer, uint64_t at, uint32_t length) {
  uLong sum = crc32(0, nullptr, 0);
  if (!buffer.ForEachPiece(at + 4, uint64_t{length} + 4,
                           [&](const uint8_t* bytes, size_t n) { sum = crc32(sum, bytes, static_cast<uInt>(n)); })) {
    return false;
  }
  const uint8_t* stored = buffer.Get(at + 8 + length, 4);
  return stored != nullptr && Be32(stored) == static_cast<uint32_t>(sum);
}

}  // namespace

uint32_t FilePNGAnalyser::GetRawFileSize(CRawFileInfo& info, IStorageDevice* device) {
  constexpr int64_t kLimit = 0x1400000;
  RawFileBuffer buffer(device, info.m_startSector);
  const uint8_t* head = buffer.Get(0, 33);
  if (head == nullptr || std::memcmp(head + 12, "IHDR", 4) != 0) return 0;
  if (static_cast<int32_t>(Be32(head + 16)) <= 0 || static_cast<int32_t>(Be32(head + 20)) <= 0) return 0;
  int64_t position = int64_t{Be32(head + 8)} + 20;
  // The last chunk stepped over, and whether image data came before it.
  int64_t last = -1;
  uint32_t lastLength = 0;
  bool lastIsData = false, dataBefore = false;
  while (true) {
    if (position > kLimit) return 0;
    const uint8_t* chunk = buffer.Get(static_cast<uint64_t>(position), 8);
    if (chunk == nullptr) break;
    const int32_t length = static_cast<int32_t>(Be32(chunk));
    if (length < 0 || length > kLimit || !IsPngChunkType(chunk + 4)) break;
    if (std::memcmp(chunk + 4, "IEND", 4) == 0) {
      info.m_size = static_cast<uint64_t>(position + length + 12);
      info.m_whole = true;
      return 1;
    }
    dataBefore = dataBefore || lastIsData;
    last = position;
    lastLength = static_cast<uint32_t>(length);
    lastIsData = std::memcmp(chunk + 4, "IDAT", 4) == 0;
    position += int64_t{length} + 12;
  }
  // The walk lost its way before IEND: the file was cut, or other bytes lie
  // in it. Its chunks hold checksums: the last one stepped over is kept only
  // when its own checksum holds (it then ends where the file's bytes stop
  // being a PNG); the ones before it were found where their lengths said.
  if (last < 0) return 0;
  const bool sound = PngChunkSums(buffer, static_cast<uint64_t>(last), lastLength);
  info.m_endUnknown = true;
  if (sound ? dataBefore || lastIsData : dataBefore) {
    info.m_size = static_cast<uint64_t>(sound ? position : last);
    info.m_whole = true;
    return 1;
  }
  // The first image data are cut: their first bytes are the picture's top,
  // so the chunk is kept as long as it says it is (not taken for whole:
  // another file may start in what follows the cut).
  if (!lastIsData) return 0;
  info.m_size = static_cast<uint64_t>(position);
  return 1;
}

uint32_t FileGIFAnalyser::AnalyseBuffer(unsigned char* s, CRawFileInfo& info) {
  if ((s[4] != '7' && s[4] != '9') || s[5] != 'a') return 0;
  info.m_type = RAW_TYPE_GIF;
  return 1;
}

namespace {

constexpr uint64_t kWalkLimit = 0xD000000;

// The byte at `at`, or -1.
int ByteAt(RawFileBuffer& buffer, uint64_t at) {
  const uint8_t* p = buffer.Get(at, 1);
  return p != nullptr ? *p : -1;
}

// Skips sub-blocks from `at`; the position after the terminating zero, or 0.
uint64_t SkipSubBlocks(RawFileBuffer& buffer, uint64_t at) {
  while (at < kWalkLimit) {
    const int length = ByteAt(buffer, at);
    if (length < 0) return 0;
    at += 1;
    if (length == 0) return at;
    at += static_cast<uint64_t>(length);
  }
  return 0;
}

// Where the LZW data of an image of `pixels` pixels (their code-size byte at
// `at`, their sub-blocks behind it) stop being its own: the first byte of a
// code no encoder writes there (one not yet in the table, or one that would
// give more pixels than the image has), or a sub-block that goes on past the
// end code; 0 when none does up to the sub-blocks' end.
uint64_t GifDataGoWrong(RawFileBuffer& buffer, uint64_t at, uint64_t pixels) {
  const int minimum = ByteAt(buffer, at);
  if (minimum < 2 || minimum > 8) return at;
  const uint32_t clear = 1u << minimum, endCode = clear + 1;
  // Each table entry's length in pixels.
  std::vector<uint16_t> lengths(4096, 1);
  uint32_t next = clear + 2, width = minimum + 1, previous = UINT32_MAX;
  uint64_t given = 0;
  uint32_t bits = 0, held = 0;
  bool ended = false;
  for (uint64_t block = at + 1; block < kWalkLimit;) {
    const uint8_t* sub = buffer.Get(block, 256);
    if (sub == nullptr || sub[0] == 0) return 0;
    if (ended) return block;
    // Past the end code the rest of its sub-block is padding.
    for (uint32_t i = 1; i <= sub[0] && !ended; ++i) {
      bits |= uint32_t{sub[i]} << held;
      held += 8;
      while (held >= width && !ended) {
        const uint32_t code = bits & ((1u << width) - 1);
        bits >>= width;
        held -= width;
        if (code == clear) {
          next = clear + 2;
          width = minimum + 1;
          previous = UINT32_MAX;
          continue;
        }
        if (code == endCode) {
          ended = true;
          break;
        }
        uint32_t length = 0;
        if (previous == UINT32_MAX) {
          if (code >= clear) return block + i;
          length = 1;
        } else if (code < next) {
          length = lengths[code];
        } else if (code == next && next < 4096) {
          length = lengths[previous] + 1u;
        } else {
          return block + i;
        }
        if (previous != UINT32_MAX && next < 4096) {
          lengths[next] = static_cast<uint16_t>(std::min<uint32_t>(lengths[previous] + 1u, 4096));
          ++next;
          if (next == (1u << width) && width < 12) ++width;
        }
        given += length;
        if (pixels != 0 && given > pixels) return block + i;
        previous = code;
      }
    }
    block += 1u + sub[0];
  }
  return 0;
}

}  // namespace

uint32_t FileGIFAnalyser::GetRawFileSize(CRawFileInfo& info, IStorageDevice* device) {
  RawFileBuffer buffer(device, info.m_startSector);
  const uint8_t* head = buffer.Get(0, 13);
  if (head == nullptr) return 0;
  bool image = false;
  // The last image: its pixels, and where its code-size byte lies.
  uint64_t pixels = 0, data = 0;
  uint64_t p = 13 + ((head[10] & 0x80) != 0 ? 3u << ((head[10] & 7) + 1) : 0u);
  while (p < kWalkLimit) {
    const int b = ByteAt(buffer, p);
    if (b < 0) return 0;
    if (b == 0x3B) {
      info.m_size = p + 1;
      // A cut inside an image's data runs on over what followed the cut up
      // to a zero byte; a 0x3B there reads as the trailer. Data that went
      // wrong before it tell such a file: its bytes are kept, its end is
      // not known.
      if (image && GifDataGoWrong(buffer, data, pixels) != 0) info.m_endUnknown = true;
      return 1;
    }
    if (b == 0x21) {
      p = SkipSubBlocks(buffer, p + 2);
      if (p == 0) return 0;
      continue;
    }
    if (b == 0x2C) {
      const uint8_t* descriptor = buffer.Get(p, 10);
      if (descriptor == nullptr) return 0;
      const int flags = descriptor[9];
      pixels = uint64_t{Le16(descriptor + 5)} * Le16(descriptor + 7);
      data = p + 10 + ((flags & 0x80) != 0 ? 3u << ((flags & 7) + 1) : 0u);
      uint64_t q = SkipSubBlocks(buffer, data + 1);
      if (q == 0) return 0;
      if (ByteAt(buffer, q) < 0) {
        // The picture ends with the device: what came through is the file,
        // but not the whole of it.
        info.m_size = q + 1;
        info.m_endUnknown = true;
        return 1;
      }
      image = true;
      p = q;
      continue;
    }
    // A byte that begins no block: the file was cut inside an image's data
    // (which then ran on over what followed the cut up to a zero byte), or
    // other bytes lie in it. What follows is no longer the picture's, and
    // a marker found further on would be a stray byte of other data: the
    // file ends here, its end not known, when it holds an image at all, or
    // where the last image's data went wrong before.
    if (!image) return 0;
    const uint64_t wrong = GifDataGoWrong(buffer, data, pixels);
    info.m_size = wrong != 0 && wrong < p ? wrong : p;
    info.m_endUnknown = true;
    return 1;
  }
  return 0;
}

uint32_t FileWMFAnalyser::GetRawFileSize(CRawFileInfo& info, IStorageDevice* device) {
  RawFileBuffer buffer(device, info.m_startSector);
  const uint8_t* head = buffer.Get(0, 40);
  if (head == nullptr) return 0;
  // The metafile's own header follows the placeable one.
  const uint64_t base = head[0] == 0xD7 ? 22 : 0;
  const uint8_t* header = head + base;
  // Both sizes count 16-bit words; 0 where the writer left them out.
  const uint64_t claimed = Le32(header + 6) != 0 ? base + 2 * uint64_t{Le32(header + 6)} : 0;
  const uint32_t largest = Le32(header + 12);
  const uint64_t limit = std::min(claimed != 0 ? claimed : kWalkLimit, buffer.BytesToDeviceEnd());
  // Records from the header's end up to the end record (function 0): each
  // of at least three words, none larger than the header says the largest
  // is, none past what the header claims or the device holds.
  uint64_t p = base + 18, last = p;
  while (true) {
    const uint8_t* record = buffer.Get(p, 6);
    if (record == nullptr) break;
    const uint64_t words = Le32(record);
    if (words < 3 || (largest != 0 && words > largest) || 2 * words > limit - std::min(limit, p)) break;
    last = p;
    p += 2 * words;
    if (Le16(record + 4) == 0) {
      info.m_size = p;
      info.m_whole = true;
      return 1;
    }
  }
  // The records lost their way before the end record: the file was cut, or
  // other bytes lie in it, and its end is not known. The last record walked
  // is where that happened (nothing in it tells whether its bytes are all
  // there): the file ends before it, with the records found where the ones
  // before said; when it is the first, it is kept as long as it says, not
  // taken for whole.
  if (p == base + 18) return 0;
  info.m_size = last == base + 18 ? p : last;
  info.m_whole = last != base + 18;
  info.m_endUnknown = true;
  return 1;
}

uint32_t FilePSDAnalyser::AnalyseBuffer(unsigned char*, CRawFileInfo& info) {
  info.m_type = RAW_TYPE_PSD;
  return 1;
}

uint32_t FilePSDAnalyser::GetRawFileSize(CRawFileInfo& info, IStorageDevice* device) {
  RawFileBuffer buffer(device, info.m_startSector);
  const uint8_t* h = buffer.Get(0, 30);
  if (h == nullptr || Be16(h + 4) != 1) return 0;
  for (int i = 6; i < 12; ++i) {
    if (h[i] != 0) return 0;
  }
  const uint64_t channels = Be16(h + 12), height = Be32(h + 14), width = Be32(h + 18), depth = Be16(h + 22);
  uint64_t p = uint64_t{Be32(h + 26)} + 30;
  for (int section = 0; section < 2; ++section) {
    const uint8_t* length = buffer.Get(p, 4);
    if (length == nullptr) return 0;
    p += uint64_t{Be32(length)} + 4;
  }
  const uint8_t* compression = buffer.Get(p, 2);
  if (compression == nullptr) return 0;
  const uint16_t method = Be16(compression);
  // The sections (the thumbnail among the resources) lie where their
  // lengths say, up to a compression method; the pixels are only claimed.
  info.m_provenTo = p + 2;
  if (method == 0) {
    // Each factor is below 2^32 or 2^16; the product is checked before use.
    const unsigned __int128 bytes = static_cast<unsigned __int128>(height) * channels * width * depth / 8;
    if (bytes > kWalkLimit * 64) return 0;
    info.m_size = p + 2 + static_cast<uint64_t>(bytes);
    return 1;
  }
  if (method != 1) return 0;
  uint64_t position = p + 2;
  uint64_t sum = 0;
  const uint64_t rows = height * channels;
  if (rows != 0 && p < 0xCFFFFFF) {
    for (uint64_t row = 0; row < rows && position < 0xD000001; ++row) {
      const uint8_t* count = buffer.Get(position, 2);
      if (count == nullptr) return 0;
      sum += Be16(count);
      position += 2;
    }
  }
  info.m_size = position + sum;
  return 1;
}

uint32_t FilePSPAnalyser::AnalyseBuffer(unsigned char* s, CRawFileInfo& info) {
  static const char kHead[] = "Paint Shop Pro Image File\n\x1a\0\0\0\0";
  if (std::memcmp(s, kHead, 32) != 0) return 0;
  info.m_type = RAW_TYPE_PSP;
  return 1;
}

uint32_t FilePSPAnalyser::GetRawFileSize(CRawFileInfo& info, IStorageDevice* device) {
  RawFileBuffer buffer(device, info.m_startSector);
  uint64_t p = 36;
  while (p <= kWalkLimit) {
    const uint8_t* block = buffer.Get(p, 10);
    if (block == nullptr) return 0;
    if (Le32(block) != 0x004B427Eu) break;
    p += uint64_t{Le32(block + 6)} + 10;
  }
  if (p < 512) return 0;
  info.m_size = p;
  return 1;
}

uint32_t FileCRWAnalyser::AnalyseBuffer(unsigned char* s, CRawFileInfo& info) {
  if (std::memcmp(s + 4, "\0\0HEAP", 6) != 0) return 0;
  if (std::memcmp(s + 10, "CCDR\x02", 5) != 0 && std::memcmp(s + 10, "TIFP\x02", 5) != 0 &&
      std::memcmp(s + 10, "ARCH\x02", 5) != 0) {
    return 0;
  }
  info.m_type = RAW_TYPE_CRW;
  return 1;
}

uint32_t FileCRWAnalyser::GetRawFileSize(CRawFileInfo& info, IStorageDevice* device) {
  static const uint8_t kTrailers[3][6] = {
      {0x07, 0x28, 0xA8, 0, 0, 0}, {0x07, 0x28, 0xB2, 0, 0, 0}, {0x07, 0x28, 0xE4, 0, 0, 0}};
  static const uint64_t kAdd[3] = {70, 60, 50};
  static thread_local RawSearchMemo memo;
  RawFileBuffer buffer(device, info.m_startSector);
  const uint64_t s = buffer.SectorSize();
  const auto probe = [&](uint64_t p) {
    const uint8_t* sector = buffer.Get(p, s);
    if (sector == nullptr) return RawSectorProbe::Unreadable();
    if (!ondisk::AllZero(sector + s - 4, 4)) return RawSectorProbe();
    for (uint64_t i = 0; i < s - 6; ++i) {
      int which = -1;
      for (int t = 0; t < 3; ++t) {
        if (std::memcmp(sector + i, kTrailers[t], 3) == 0) which = t;
      }
      if (which < 0) continue;
      if (sector[i + 3] == 0 && sector[i + 4] == 0 && sector[i + 5] == 0)
        return RawSectorProbe::End(p + i + kAdd[which]);
      break;
    }
    const uint64_t from = p == 0 ? s - 80 : p - 80;
    const uint8_t* span = buffer.Get(from, 96);
    if (span == nullptr) return RawSectorProbe::Unreadable();
    for (const auto& trailer : kTrailers) {
      const uint8_t* hit = Apimemstr(span, 96, trailer, 6);
      if (hit != nullptr) return RawSectorProbe::End(from + static_cast<uint64_t>(hit - span) + 70);
    }
    return RawSectorProbe();
  };
  const RawSectorScan scan = ScanRawSectors(buffer, 0, 0x3200001, probe, memo);
  info.m_size = scan.found ? scan.end : 0x3200000;
  return 1;
}

uint32_t FileX3FAnalyser::AnalyseBuffer(unsigned char*, CRawFileInfo& info) {
  info.m_type = RAW_TYPE_X3F;
  return 1;
}

uint32_t FileX3FAnalyser::GetRawFileSize(CRawFileInfo& info, IStorageDevice* device) {
  static const uint8_t kSign[] = {'S', 'E', 'C', 'd'};
  static thread_local RawSearchMemo memo;
  RawFileBuffer buffer(device, info.m_startSector);
  const uint64_t s = buffer.SectorSize();
  info.m_type = RAW_TYPE_X3F;
  const auto probe = [&](uint64_t p) {
    const uint8_t* sector = buffer.Get(p, s);
    if (sector == nullptr) return RawSectorProbe::Unreadable();
    if (std::memcmp(sector + s - 4, kSign, 4) == 0) return RawSectorProbe::End(p + s - 4 + 76);
    if (!ondisk::AllZero(sector + s - 4, 4)) return RawSectorProbe();
    const uint8_t* hit = Apimemstr(sector, static_cast<int64_t>(s), kSign, 4);
    if (hit != nullptr) return RawSectorProbe::End(p + static_cast<uint64_t>(hit - sector) + 76);
    if (p > 0) {
      const uint8_t* pair = buffer.Get(p - s, 2 * s);
      hit = pair != nullptr ? Apimemstr(pair, static_cast<int64_t>(2 * s), kSign, 4) : nullptr;
      if (hit != nullptr) return RawSectorProbe::End(p - s + static_cast<uint64_t>(hit - pair) + 76);
    }
    return RawSectorProbe();
  };
  const RawSectorScan scan = ScanRawSectors(buffer, 0, 0x6800000, probe, memo);
  info.m_size = scan.found ? scan.end : scan.reached;
  return 1;
}

uint32_t FileCPTAnalyser::AnalyseBuffer(unsigned char* s, CRawFileInfo& info) {
  if (std::memcmp(s + 4, "FILE", 4) != 0 || Le32(s + 52) != 316) return 0;
  info.m_type = RAW_TYPE_CPT;
  return 1;
}

uint32_t FileCPTAnalyser::GetRawFileSize(CRawFileInfo& info, IStorageDevice* device) {
  RawFileBuffer buffer(device, info.m_startSector);
  auto u32 = [&](uint64_t at, uint32_t& out) {
    const uint8_t* p = buffer.Get(at, 4);
    if (p == nullptr) return false;
    out = Le32(p);
    return true;
  };
  uint32_t q = 0, records = 0, o = 0, a = 0, b = 0, r0 = 0, r1 = 0;
  if (!u32(52, q) || !u32(40, records) || records == 0) return 0;
  if (!u32(uint64_t{q} + 8ull * records - 8, o)) return 0;
  if (!u32(uint64_t{o} + 32, a) || !u32(uint64_t{o} + 60, b)) return 0;
  const uint64_t r = a != 0 && a == b ? uint64_t{o} + 60 + a : uint64_t{o} + 60;
  if (!u32(r, r0) || !u32(r + 4, r1)) return 0;
  if (r0 != 0 && r1 != 0) {
    uint32_t x = 0, y = 0;
    if (r0 < 8 || !u32(uint64_t{r0} - 8, x) || !u32(uint64_t{r0} - 4, y)) return 0;
    info.m_size = uint64_t{x} + y;
  } else {
    info.m_size = o;
  }
  return 1;
}
