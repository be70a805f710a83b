#include "raw/ImageAnalysers.h"

#include <zlib.h>

#include <algorithm>
#include <cstring>
#include <vector>

#include "OnDiskBytes.h"
#include "raw/RawCutCheck.h"
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
  return 1;
}

uint32_t FileEMFAnalyser::GetRawFileSize(CRawFileInfo& info, IStorageDevice* device) {
  constexpr uint32_t kEof = 14, kLastType = 122;
  RawFileBuffer buffer(device, info.m_startSector);
  const uint8_t* head = buffer.Get(0, 60);
  if (head == nullptr) return 0;
  const uint64_t size = Le32(head + 48);
  info.m_size = size;
  // The records from the header on, each of whole 32-bit words, end with
  // the end-of-file record exactly where the header says the file ends; the
  // end record repeats its own size in its last word. A file cut short
  // has other bytes where its last records were. Heads one behind the other
  // would each walk the records of all behind them: the walks share a
  // budget.
  static thread_local RawRereadBudget budget;
  if (!MayReadForCheck(budget, buffer, size)) {
    MarkEndUnknown(info);
    return 1;
  }
  uint64_t p = 0;
  while (p < size) {
    const uint8_t* record = buffer.Get(p, 8);
    if (record == nullptr) break;
    const uint32_t type = Le32(record), length = Le32(record + 4);
    if (type == 0 || type > kLastType || length < 8 || length % 4 != 0 || length > size - p) break;
    if (type == kEof) {
      const uint8_t* last = length >= 20 && p + length == size ? buffer.Get(p + length - 4, 4) : nullptr;
      if (last == nullptr || Le32(last) != length) break;
      // Each record found where the one before ends, up to the end record
      // that repeats its size in the file's last word: every byte is the
      // file's own.
      info.m_provenTo = size;
      return 1;
    }
    p += length;
  }
  MarkEndUnknown(info);
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

namespace {

// Whether the PNG picture at `at` (its signature there) is walked chunk by
// chunk, each carrying its checksum, to its end chunk exactly at `end`.
bool IconPngHolds(RawFileBuffer& buffer, uint64_t at, uint64_t end) {
  for (uint64_t p = at + 8; p + 12 <= end;) {
    const uint8_t* chunk = buffer.Get(p, 8);
    if (chunk == nullptr || !IsPngChunkType(chunk + 4)) return false;
    const uint32_t length = Be32(chunk);
    if (length > end - p - 12) return false;
    const bool last = std::memcmp(chunk + 4, "IEND", 4) == 0;
    if (!PngChunkSums(buffer, p, length)) return false;
    p += uint64_t{length} + 12;
    if (last) return p == end;
  }
  return false;
}

// Whether the bitmap at `at` (`bytes` long) is the one a directory entry of
// `width` by `height` pixels names: its header of a known length, the same
// size (its height counting the mask's rows too), a known colour depth, and
// its colours, pixels and mask inside the entry.
bool IconBitmapHolds(RawFileBuffer& buffer, uint64_t at, uint64_t bytes, uint64_t width, uint64_t height) {
  const uint8_t* h = buffer.Get(at, 40);
  if (h == nullptr) return false;
  const uint32_t header = Le32(h), bits = Le16(h + 14), colours = Le32(h + 32);
  if ((header != 40 && header != 108 && header != 124) || Le16(h + 12) != 1 || Le32(h + 4) != width ||
      Le32(h + 8) != 2 * height) {
    return false;
  }
  if (bits != 1 && bits != 4 && bits != 8 && bits != 16 && bits != 24 && bits != 32) return false;
  const uint64_t palette = bits <= 8 ? (colours != 0 && colours <= (1u << bits) ? colours : 1u << bits) : 0;
  const uint64_t pixels = (width * bits + 31) / 32 * 4 * height, mask = (width + 31) / 32 * 4 * height;
  return header + 4 * palette + pixels + mask <= bytes;
}

}  // namespace

uint32_t FileICOAnalyser::GetRawFileSize(CRawFileInfo& info, IStorageDevice* device) {
  RawFileBuffer buffer(device, info.m_startSector);
  const uint8_t* head = buffer.Get(0, 6 + 16 * 16);
  if (head == nullptr) return 0;
  const uint16_t images = Le16(head + 4);
  if (images < 1 || images > 16) return 0;
  uint8_t directory[16 * 16];
  std::memcpy(directory, head + 6, 16 * size_t{images});
  uint64_t size = 6;
  for (unsigned i = 0; i < images; ++i) size += uint64_t{Le32(directory + 16 * i + 8)} + 16;
  info.m_size = size;
  // Each picture lies behind the directory and inside the file, and is the
  // PNG picture or bitmap its entry names: a file cut before its last
  // pictures has other bytes where they were. Pixels cut in their middle
  // cannot tell.
  // The pictures are the icon's parts (a PNG picture at a sector boundary is
  // no picture of its own); those that hold prove the icon its own up to
  // where their checks reach: a PNG picture to its end, a bitmap to its
  // header (its pixels and mask are only claimed).
  const uint64_t first = 6 + 16 * uint64_t{images};
  uint64_t reached = first;
  for (unsigned i = 0; i < images; ++i) {
    const uint8_t* entry = directory + 16 * i;
    const uint64_t bytes = Le32(entry + 8), at = Le32(entry + 12);
    const uint64_t width = entry[0] == 0 ? 256 : entry[0], height = entry[1] == 0 ? 256 : entry[1];
    const uint8_t* signature = at >= first && at <= size && bytes <= size - at ? buffer.Get(at, 8) : nullptr;
    if (signature != nullptr && bytes != 0) info.m_parts.push_back({at, bytes});
    const bool png = signature != nullptr && std::memcmp(signature, "\x89PNG\r\n\x1a\n", 8) == 0;
    const bool holds = signature != nullptr &&
                       (png ? IconPngHolds(buffer, at, at + bytes) : IconBitmapHolds(buffer, at, bytes, width, height));
    if (!holds) {
      MarkEndUnknown(info);
      // Four bytes and a few small numbers tell an icon's head: pixels of a
      // bitmap or quiet sound read as one. One whose first picture is not
      // there does not end the file it starts in.
      info.m_weakHead = i == 0;
      return 1;
    }
    reached = std::max(reached, png ? at + bytes : at + 40);
  }
  info.m_provenTo = reached;
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

namespace {

// A Photoshop file's sections held against its size: the image resources
// walked block by block to their section's end, the layers' records and
// channel data (each channel of a known compression; run-length ones whose
// row counts take the channel and whose rows unpack to the layer's width),
// and the picture's own data, whose run-length rows must unpack to its
// width too. A file cut short has other bytes where its sections behind the
// cut were; raw pixel data cut in their middle cannot tell.
class PsdCheck {
 public:
  explicit PsdCheck(RawFileBuffer& buffer) : m_buffer(buffer) {}

  bool Holds(uint64_t size) {
    const uint8_t* h = m_buffer.Get(0, 26);
    if (h == nullptr) return false;
    const uint32_t channels = Be16(h + 12), height = Be32(h + 14), width = Be32(h + 18);
    m_depth = Be16(h + 22);
    if (channels < 1 || channels > 56 || (m_depth != 1 && m_depth != 8 && m_depth != 16 && m_depth != 32)) {
      return false;
    }
    uint64_t p = 26;
    if (!Section(p, size, nullptr)) return false;
    if (!Section(p, size, &PsdCheck::Resources)) return false;
    if (!Section(p, size, &PsdCheck::Layers)) return false;
    const uint8_t* compression = m_buffer.Get(p, 2);
    if (compression == nullptr) return false;
    const uint16_t method = Be16(compression);
    if (method > 1) return false;
    m_reached = p + 2;
    if (method == 0) return true;  // raw pixels: the size came from them
    if (!Rows(p + 2, size, uint64_t{height} * channels, width)) return false;
    m_reached = size;
    return true;
  }

  // How far the file is its own, as far as the check got: its sections
  // (the thumbnail among the resources) up to the picture's compression
  // method, and packed rows that all unpack; raw pixels are only claimed.
  uint64_t Reached() const { return m_reached; }

 private:
  // A section of a 32-bit length at `p`, walked by `walk` (from its data to
  // its end); `p` moves past it.
  bool Section(uint64_t& p, uint64_t size, bool (PsdCheck::*walk)(uint64_t, uint64_t)) {
    const uint8_t* length = m_buffer.Get(p, 4);
    if (length == nullptr || Be32(length) > size - std::min(size, p + 4)) return false;
    const uint64_t from = p + 4, end = from + Be32(length);
    p = end;
    return walk == nullptr || (this->*walk)(from, end);
  }

  bool Resources(uint64_t p, uint64_t end) {
    while (p < end) {
      const uint8_t* block = m_buffer.Get(p, 8);
      if (block == nullptr) return false;
      if (std::memcmp(block, "8BIM", 4) != 0 && std::memcmp(block, "MeSa", 4) != 0 &&
          std::memcmp(block, "AgHg", 4) != 0 && std::memcmp(block, "PHUT", 4) != 0 &&
          std::memcmp(block, "DCSR", 4) != 0) {
        return false;
      }
      // A Pascal name padded to an even length, then the data, padded too.
      const uint64_t name = (uint64_t{block[6]} + 2) & ~uint64_t{1};
      const uint8_t* length = m_buffer.Get(p + 6 + name, 4);
      if (length == nullptr) return false;
      const uint64_t data = Be32(length);
      p += 6 + name + 4 + data + (data & 1);
    }
    return p == end;
  }

  bool Layers(uint64_t p, uint64_t end) {
    if (p == end) return true;
    const uint8_t* info = m_buffer.Get(p, 6);
    if (info == nullptr) return false;
    const uint64_t infoEnd = p + 4 + Be32(info);
    if (Be32(info) == 0) return infoEnd <= end;
    if (infoEnd > end) return false;
    const int16_t count = static_cast<int16_t>(Be16(info + 4));
    const uint32_t layers = count < 0 ? -static_cast<uint32_t>(count) : static_cast<uint32_t>(count);
    struct Channel {
      int16_t id;
      uint64_t length, rows, width;
    };
    std::vector<Channel> all;
    p += 6;
    for (uint32_t l = 0; l < layers; ++l) {
      const uint8_t* record = m_buffer.Get(p, 18);
      if (record == nullptr) return false;
      const int64_t top = static_cast<int32_t>(Be32(record)), left = static_cast<int32_t>(Be32(record + 4));
      const int64_t bottom = static_cast<int32_t>(Be32(record + 8)), right = static_cast<int32_t>(Be32(record + 12));
      const uint32_t channels = Be16(record + 16);
      if (bottom < top || right < left || bottom - top > 300000 || right - left > 300000 || channels > 56) return false;
      p += 18;
      for (uint32_t c = 0; c < channels; ++c) {
        const uint8_t* channel = m_buffer.Get(p, 6);
        if (channel == nullptr) return false;
        all.push_back({static_cast<int16_t>(Be16(channel)), Be32(channel + 2), static_cast<uint64_t>(bottom - top),
                       static_cast<uint64_t>(right - left)});
        p += 6;
      }
      const uint8_t* blend = m_buffer.Get(p, 16);
      if (blend == nullptr || std::memcmp(blend, "8BIM", 4) != 0) return false;
      p += 16 + uint64_t{Be32(blend + 12)};
      if (p > infoEnd) return false;
    }
    for (const Channel& channel : all) {
      const uint8_t* compression = channel.length >= 2 ? m_buffer.Get(p, 2) : nullptr;
      if (compression == nullptr || channel.length > infoEnd - std::min(infoEnd, p)) return false;
      const uint16_t method = Be16(compression);
      if (method > 3) return false;
      // Masks keep a rectangle of their own: only their compression is read.
      if (method == 1 && channel.id >= -1 && !Rows(p + 2, p + channel.length, channel.rows, channel.width)) {
        return false;
      }
      p += channel.length;
    }
    return p <= infoEnd;
  }

  // `rows` run-length rows from `p`: their byte counts, then the rows, each
  // unpacking to `width` pixels, ending at `end` at the latest.
  bool Rows(uint64_t p, uint64_t end, uint64_t rows, uint64_t width) {
    const uint64_t rowBytes = m_depth == 1 ? (width + 7) / 8 : width * (m_depth / 8);
    if (rows > (end - std::min(end, p)) / 2) return false;
    uint64_t data = p + 2 * rows;
    // The counts a stretch at a time, so that the rows are read in their
    // order rather than each after a look back at its count.
    constexpr uint64_t kStretch = 4096;
    uint8_t counts[2 * kStretch];
    for (uint64_t row = 0; row < rows; row += kStretch) {
      const uint64_t n = std::min(kStretch, rows - row);
      const uint8_t* read = m_buffer.Get(p + 2 * row, static_cast<size_t>(2 * n));
      if (read == nullptr) return false;
      std::memcpy(counts, read, static_cast<size_t>(2 * n));
      for (uint64_t i = 0; i < n; ++i) {
        const uint64_t packed = Be16(counts + 2 * i);
        if (packed > end - std::min(end, data) || !Unpacks(data, packed, rowBytes)) return false;
        data += packed;
      }
    }
    return true;
  }

  // Whether the PackBits bytes at `p` unpack to exactly `bytes` bytes.
  bool Unpacks(uint64_t p, uint64_t packed, uint64_t bytes) {
    const uint8_t* in = packed > 0 ? m_buffer.Get(p, static_cast<size_t>(packed)) : nullptr;
    if (packed > 0 && in == nullptr) return false;
    uint64_t out = 0;
    for (uint64_t i = 0; i < packed;) {
      const int8_t n = static_cast<int8_t>(in[i++]);
      if (n >= 0) {
        out += uint64_t(n) + 1;
        i += uint64_t(n) + 1;
      } else if (n != -128) {
        out += 1 - int64_t{n};
        i += 1;
      }
      if (i > packed) return false;
    }
    return out == bytes;
  }

  RawFileBuffer& m_buffer;
  uint32_t m_depth = 8;
  uint64_t m_reached = 0;
};

}  // namespace

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
  if (method == 0) {
    // Each factor is below 2^32 or 2^16; the product is checked before use.
    const unsigned __int128 bytes = static_cast<unsigned __int128>(height) * channels * width * depth / 8;
    if (bytes > kWalkLimit * 64) return 0;
    info.m_size = p + 2 + static_cast<uint64_t>(bytes);
    PsdCheck check(buffer);
    static thread_local RawRereadBudget budget;
    if (!MayReadForCheck(budget, buffer, info.m_size) || !check.Holds(info.m_size)) MarkEndUnknown(info);
    info.m_provenTo = check.Reached();
    return 1;
  }
  if (method != 1) {
    // Other bytes where the picture's data begin: a file cut short inside
    // its sections (or with data packed otherwise). What its sections hold
    // is kept, its end not known.
    info.m_size = p;
    MarkEndUnknown(info);
    return 1;
  }
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
  PsdCheck check(buffer);
  static thread_local RawRereadBudget budget;
  if (!MayReadForCheck(budget, buffer, info.m_size) || !check.Holds(info.m_size)) MarkEndUnknown(info);
  info.m_provenTo = check.Reached();
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
