#include "raw/AVStreamAnalysers.h"

#include <algorithm>
#include <array>
#include <bitset>
#include <cstring>

#include "OnDiskBytes.h"
#include "raw/FileMP3Analyser.h"
#include "raw/RawCutCheck.h"
#include "raw/RawFileBuffer.h"

using ondisk::Be16;
using ondisk::Be32;
using ondisk::Le16;
using ondisk::Le32;
using ondisk::Le64;

std::atomic<bool> FileMPGAnalyser::g_bClearMpgMemValue{false};

namespace {

constexpr uint64_t kWalkLimit = 0x82000000;
constexpr uint64_t kApeLimit = 0x104000000;
// A position past this ends an ASF walk; one past kAsfImplausible comes
// from a damaged size and is taken as 4 GiB (kAsfDamagedSize) instead.
constexpr uint64_t kAsfImplausible = 0x6400000000;
constexpr uint64_t kAsfDamagedSize = 0x100000000;

// `position` + `size`, saturated.
uint64_t Advance(uint64_t position, uint64_t size) {
  uint64_t sum = 0;
  return __builtin_add_overflow(position, size, &sum) ? UINT64_MAX : sum;
}

using Guid = std::array<uint8_t, 16>;

// A GUID as its text reads ("75B22630-668E-11CF-A6D9-00AA0062CE6C"), in the
// order ASF stores it: the first three groups little-endian.
Guid MakeGuid(const char* text) {
  auto hex = [](char c) { return c <= '9' ? c - '0' : (c | 0x20) - 'a' + 10; };
  uint8_t plain[16];
  int n = 0;
  for (const char* p = text; *p != 0 && n < 16; ++p) {
    if (*p == '-') continue;
    plain[n++] = static_cast<uint8_t>(hex(p[0]) << 4 | hex(p[1]));
    ++p;
  }
  return {plain[3], plain[2], plain[1],  plain[0],  plain[5],  plain[4],  plain[7],  plain[6],
          plain[8], plain[9], plain[10], plain[11], plain[12], plain[13], plain[14], plain[15]};
}

const Guid kAsfHeader = MakeGuid("75B22630-668E-11CF-A6D9-00AA0062CE6C");
const Guid kAsfData = MakeGuid("75B22636-668E-11CF-A6D9-00AA0062CE6C");
const Guid kAsfIndexes[] = {MakeGuid("33000890-E5B1-11CF-89F4-00A0C90349CB"),   // simple index
                            MakeGuid("D6E229D3-35DA-11D1-9034-00A0C90349BE"),   // index
                            MakeGuid("FEB103F8-12AD-4C64-840F-2A1D2F7AD48C"),   // media object index
                            MakeGuid("3CB73FD0-0C4A-4803-953D-EDF7B6228F0C")};  // timecode index
const Guid kAsfStreamProperties = MakeGuid("B7DC0791-A9B7-11CF-8EE6-00C00C205365");
const Guid kAsfVideo = MakeGuid("BC19EFC0-5B4D-11CF-A8FD-00805F5C442B");
const Guid kAsfAudio = MakeGuid("F8699E40-5B4D-11CF-A8FD-00805F5C442B");
const Guid kAsfCommand = MakeGuid("59DACFC0-59E6-11D0-A3AC-00A0C90348F6");
const Guid kAsfBinary = MakeGuid("3AFB65E2-47EF-40F2-AC2C-70A90D71D343");

bool Is(const uint8_t* p, const Guid& g) { return std::memcmp(p, g.data(), 16) == 0; }

bool Find(const uint8_t* from, size_t length, const Guid& g) {
  return Apimemstr(from, static_cast<int64_t>(length), g.data(), 16) != nullptr;
}

// The first byte of an ID3v1 tag at `at`: its end, else `at`.
uint64_t AfterId3v1(RawFileBuffer& buffer, uint64_t at) {
  const uint8_t* tag = buffer.Get(at, 3);
  return tag != nullptr && std::memcmp(tag, "TAG", 3) == 0 ? at + 128 : at;
}

}  // namespace

// ---- ASF ----

namespace {

const Guid kAsfFileProperties = MakeGuid("8CABDCA1-A947-11CF-8EE4-00C00C205365");

// One field of a packet's parsing information, of the length its two-bit
// type gives (none, a byte, a word, a double word).
bool AsfField(const uint8_t* packet, uint32_t length, uint32_t& at, uint32_t type, uint32_t* value) {
  static const uint32_t kBytes[4] = {0, 1, 2, 4};
  const uint32_t n = kBytes[type & 3];
  if (n > length - std::min(length, at)) return false;
  *value = n == 0 ? 0 : n == 1 ? packet[at] : n == 2 ? Le16(packet + at) : Le32(packet + at);
  at += n;
  return true;
}

// Whether a data packet of `length` bytes parses: its error correction
// data, its parsing information, and its payloads, each of one of the
// file's streams (`streams`: bit n for stream n; none known, any), end
// where the packet (less its padding) ends.
bool AsfPacketHolds(const uint8_t* packet, uint32_t length, const std::bitset<128>& streams) {
  uint32_t at = 0;
  if (length < 8) return false;
  uint8_t flags = packet[at++];
  if ((flags & 0x80) != 0) {
    // Error correction data: no opaque data, a length of its own type.
    if ((flags & 0x70) != 0) return false;
    at += flags & 0x0F;
    if (at >= length) return false;
    flags = packet[at++];
  }
  if ((flags & 0x80) != 0 || at >= length) return false;
  const uint8_t properties = packet[at++];
  uint32_t packetLength = 0, sequence = 0, padding = 0;
  if (!AsfField(packet, length, at, flags >> 5, &packetLength) ||
      !AsfField(packet, length, at, flags >> 1, &sequence) || !AsfField(packet, length, at, flags >> 3, &padding)) {
    return false;
  }
  const uint32_t end = (flags >> 5 & 3) != 0 ? packetLength : length;
  if (end > length || padding > end) return false;
  at += 6;  // send time and duration
  const bool multiple = (flags & 1) != 0;
  uint32_t payloads = 1, lengthType = 0;
  if (multiple) {
    if (at >= end) return false;
    payloads = packet[at] & 0x3F;
    lengthType = packet[at++] >> 6;
    if (payloads == 0) return false;
  }
  for (uint32_t i = 0; i < payloads; ++i) {
    if (at >= end) return false;
    const uint32_t stream = packet[at++] & 0x7F;
    if (stream == 0 || (streams.any() && !streams[stream])) return false;
    uint32_t object = 0, offset = 0, replicated = 0, size = 0;
    if (!AsfField(packet, end, at, properties >> 4, &object) || !AsfField(packet, end, at, properties >> 2, &offset) ||
        !AsfField(packet, end, at, properties, &replicated) || replicated > end - std::min(end, at)) {
      return false;
    }
    at += replicated;
    if (multiple) {
      if (!AsfField(packet, end, at, lengthType, &size)) return false;
    } else {
      if (at > end - padding) return false;
      size = end - padding - at;
    }
    if (size > end - padding - std::min(end - padding, at)) return false;
    at += size;
  }
  // Padding is written as zeros.
  return at == end - padding && ondisk::AllZero(packet + at, padding);
}

// An ASF file's data packets and indexes held against its header: the data
// object as long as its packets, each packet parsed, and behind them only
// indexes, a simple index's entries naming packets of the file. A file cut
// short has other bytes where its last packets or its index were. Where it
// holds, `proven` gets how far the file is its own: each packet or index
// found where the one before ends shows that one whole; the last packet's
// payload (its first byte read as its flags) or the last index's entries
// but a simple index's are only claimed.
bool AsfHolds(RawFileBuffer& buffer, uint64_t headerSize, uint64_t size, uint64_t* proven) {
  // The file's length, the packets' count and length, and the streams, from
  // the header's objects.
  uint64_t fileSize = 0, packetCount = UINT64_MAX;
  uint32_t packetSize = 0;
  std::bitset<128> streams;
  const uint8_t* head = buffer.Get(0, 30);
  if (head == nullptr) return false;
  const uint32_t objects = Le32(head + 24);
  uint64_t at = 30;
  for (uint32_t i = 0; i < objects && i < 1024 && at + 24 <= headerSize; ++i) {
    const uint8_t* object = buffer.Get(at, 100);
    if (object == nullptr) return false;
    const uint64_t length = Le64(object + 16);
    if (length < 24 || length > headerSize - at) return false;
    if (Is(object, kAsfFileProperties) && length >= 104) {
      // Broadcast files leave their sizes unset: nothing to hold them to.
      if ((Le32(object + 88) & 1) != 0) return true;
      fileSize = Le64(object + 40);
      packetCount = Le64(object + 56);
      if (Le32(object + 92) == Le32(object + 96)) packetSize = Le32(object + 96);
    }
    if (Is(object, kAsfStreamProperties) && length >= 74) streams.set(Le16(object + 72) & 0x7F);
    at += length;
  }
  // The header says how long the whole file is (indexes too).
  if (fileSize != 0 && fileSize != size) return false;
  *proven = headerSize + 24;
  if (packetSize < 8 || packetSize > 64 * 1024) return true;  // packets of changing sizes: not walked
  const uint8_t* data = buffer.Get(headerSize, 50);
  if (data == nullptr) return false;
  const uint64_t dataSize = Le64(data + 16), packets = Le64(data + 40);
  if (dataSize < 50 || packets > (dataSize - 50) / packetSize || 50 + packets * packetSize != dataSize ||
      (packetCount != UINT64_MAX && packetCount != packets)) {
    return false;
  }
  for (uint64_t i = 0; i < packets; ++i) {
    const uint8_t* packet = buffer.Get(headerSize + 50 + i * packetSize, packetSize);
    if (packet == nullptr || !AsfPacketHolds(packet, packetSize, streams)) return false;
  }
  *proven = headerSize + 50 + (packets > 0 ? (packets - 1) * packetSize + 1 : 0);
  for (at = headerSize + dataSize; at < size;) {
    const uint8_t* index = buffer.Get(at, 56);
    if (index == nullptr) return false;
    const uint64_t length = Le64(index + 16);
    if (length < 24 || length > size - at ||
        !std::any_of(std::begin(kAsfIndexes), std::end(kAsfIndexes), [&](const Guid& g) { return Is(index, g); })) {
      return false;
    }
    *proven = at + 24;
    if (Is(index, kAsfIndexes[0])) {
      const uint64_t entries = Le32(index + 52);
      if (length < 56 || entries != (length - 56) / 6) return false;
      uint32_t last = 0;
      for (uint64_t e = 0; e < entries; ++e) {
        const uint8_t* entry = buffer.Get(at + 56 + 6 * e, 6);
        if (entry == nullptr || Le32(entry) < last || Le32(entry) >= std::max<uint64_t>(packets, 1)) return false;
        last = Le32(entry);
      }
      *proven = at + length;
    }
    at += length;
  }
  return at == size;
}

}  // namespace

uint32_t FileASFAnalyser::AnalyseBuffer(unsigned char* s, CRawFileInfo& info) {
  // The header object's GUID, a size that holds its own fields, and its two
  // reserved bytes.
  if (!Is(s, kAsfHeader) || Le64(s + 16) < 30 || s[28] != 0x01 || s[29] != 0x02) return 0;
  info.m_type = RAW_TYPE_ASF;
  return 1;
}

uint32_t FileASFAnalyser::GetRawFileSize(CRawFileInfo& info, IStorageDevice* device) {
  RawFileBuffer buffer(device, info.m_startSector);
  const uint8_t* head = buffer.Get(0, 30);
  if (head == nullptr || !Is(head, kAsfHeader)) return 0;
  const uint64_t headerSize = Le64(head + 16);
  if (headerSize < 30 || headerSize > kWalkLimit) return 0;
  // The kind of its streams, from the header's stream properties.
  uint32_t type = RAW_TYPE_ASF;
  const size_t look = static_cast<size_t>(std::min<uint64_t>(headerSize, 60 * 1024));
  if (const uint8_t* header = buffer.Get(0, look)) {
    const uint8_t* streams = Apimemstr(header, static_cast<int64_t>(look), kAsfStreamProperties.data(), 16);
    if (streams != nullptr) {
      const size_t rest = look - static_cast<size_t>(streams - header);
      if (Find(streams, rest, kAsfVideo) && !Find(streams, rest, kAsfCommand) && !Find(streams, rest, kAsfBinary))
        type = RAW_TYPE_WMV;
      else if (Find(streams, rest, kAsfAudio))
        type = RAW_TYPE_WMA;
    }
  }
  // The header, the data and the indexes behind them, one after the other;
  // past kWalkLimit the walk ends where it stands.
  uint64_t position = headerSize;
  const uint8_t* data = buffer.Get(position, 24);
  if (data == nullptr || !Is(data, kAsfData) || Le64(data + 16) < 50) return 0;
  // Each object found where the one before says it ends shows that one
  // whole; the last one's bytes are only claimed.
  uint64_t last = position;
  position = Advance(position, Le64(data + 16));
  for (int i = 0; i < 64 && position <= kWalkLimit; ++i) {
    const uint8_t* index = buffer.Get(position, 24);
    if (index == nullptr) break;
    const bool known =
        std::any_of(std::begin(kAsfIndexes), std::end(kAsfIndexes), [&](const Guid& g) { return Is(index, g); });
    const uint64_t size = Le64(index + 16);
    if (!known || size < 24) break;
    last = position;
    position = Advance(position, size);
  }
  info.m_type = type;
  info.m_size = position > kAsfImplausible ? kAsfDamagedSize : position;
  // Where the packets and indexes hold, they show more of the file its own.
  info.m_provenTo = last + 24;
  static thread_local RawRereadBudget budget;
  uint64_t proven = 0;
  if (!MayReadForCheck(budget, buffer, info.m_size) || !AsfHolds(buffer, headerSize, info.m_size, &proven)) {
    MarkEndUnknown(info);
  } else {
    info.m_provenTo = std::max(info.m_provenTo, proven);
  }
  return 1;
}

// ---- APE ----

uint32_t CFileAPEAnalyser::AnalyseBuffer(unsigned char* s, CRawFileInfo& info) {
  const uint32_t version = Le16(s + 4);
  if (version >= 3980) {
    // The descriptor and the header behind it, of their known lengths.
    const uint32_t descriptor = Le32(s + 8), header = Le32(s + 12);
    if (descriptor < 52 || descriptor > 4096 || header < 24 || header > 4096) return 0;
  } else {
    // Compression level, channels and sample rate.
    const uint32_t level = Le16(s + 6), channels = Le16(s + 10), rate = Le32(s + 12);
    if (level % 1000 != 0 || level == 0 || level > 5000 || channels == 0 || channels > 32 || rate == 0 ||
        rate > 1000000)
      return 0;
  }
  info.m_type = RAW_TYPE_APE;
  return 1;
}

uint32_t CFileAPEAnalyser::GetRawFileSize(CRawFileInfo& info, IStorageDevice* device) {
  RawFileBuffer buffer(device, info.m_startSector);
  const uint8_t* head = buffer.Get(0, 88);
  if (head == nullptr || std::memcmp(head, "MAC ", 4) != 0) return 0;
  uint8_t h[88];
  std::memcpy(h, head, sizeof h);
  uint64_t end = 0;
  if (Le16(h + 4) >= 3980) {
    // The descriptor names the length of every part.
    // The frame data's 64-bit length is held at the limit before the sum,
    // which it would otherwise wrap round.
    end = uint64_t{Le32(h + 8)} + Le32(h + 12) + Le32(h + 16) + Le32(h + 20) + std::min(Le64(h + 24), kApeLimit) +
          Le32(h + 32);
    end = std::min(end, kApeLimit);
  } else {
    // Older streams: the seek table's last entry is where the last frame
    // starts, which ends at the first zero word behind it.
    uint64_t q = std::memcmp(h + 40, "RIFF", 4) == 0 ? 84 : 40;
    const uint8_t* at = buffer.Get(q, 4);
    if (at == nullptr) return 0;
    const uint64_t n = std::min<uint64_t>(Le32(at), q + (16u << 20));
    for (uint64_t p = q + 4; p + 4 <= n; p += 4) {
      const uint8_t* word = buffer.Get(p, 4);
      if (word == nullptr || Le32(word) == 0) break;
      q = p;
    }
    at = buffer.Get(q, 4);
    if (at == nullptr) return 0;
    const uint64_t e = Le32(at);
    end = e;
    // A frame is far below 1 MiB: no zero word by then, no end.
    for (uint64_t p = e; p < e + (1u << 20) && p < kApeLimit; p += 4) {
      const uint8_t* word = buffer.Get(p, 4);
      if (word == nullptr) break;
      if (Le32(word) == 0) {
        end = p;
        break;
      }
    }
  }
  if (end <= 32) return 0;
  // Tags behind the audio: an APE tag, an ID3v1 tag.
  end = AfterId3v1(buffer, ApeTagEnd(buffer, end));
  info.m_type = RAW_TYPE_APE;
  info.m_size = end;
  return 1;
}

// ---- MPEG program streams ----

namespace {

// Bytes 4-7 of the first pack header (or sequence header) of the streams
// this analyser takes.
constexpr uint8_t kMpgFirsts[7][4] = {{0x21, 0x00, 0x01, 0x00}, {0x21, 0x00, 0x71, 0x6F}, {0x44, 0x00, 0x2C, 0x48},
                                      {0x21, 0x00, 0x01, 0x09}, {0x44, 0x00, 0x04, 0x00}, {0x2F, 0xFF, 0xFF, 0x13},
                                      {0x44, 0x00, 0x04, 0x04}};

bool StartCode(const uint8_t* p) { return p[0] == 0 && p[1] == 0 && p[2] == 1; }

// The 33-bit system clock reference of the pack header at `p`, in its
// MPEG-2 or MPEG-1 layout.
uint64_t PackClock(const uint8_t* p) {
  const uint64_t b4 = p[4], b5 = p[5], b6 = p[6], b7 = p[7], b8 = p[8];
  if ((b4 & 0xC0) == 0x40) {
    return ((b4 >> 3) & 7) << 30 | (b4 & 3) << 28 | b5 << 20 | (b6 >> 3) << 15 | (b6 & 3) << 13 | b7 << 5 | b8 >> 3;
  }
  return ((b4 >> 1) & 7) << 30 | b5 << 22 | (b6 >> 1) << 15 | b7 << 7 | b8 >> 1;
}

bool IsFirstPack(const uint8_t* p) {
  for (const auto& first : kMpgFirsts) {
    if (std::memcmp(p + 4, first, 4) == 0) return true;
  }
  return false;
}

}  // namespace

uint32_t FileMPGAnalyser::AnalyseBuffer(unsigned char* s, CRawFileInfo& info) {
  if (!IsFirstPack(s)) return 0;
  info.m_type = RAW_TYPE_MPG;
  return 1;
}

uint32_t FileMPGAnalyser::GetRawFileSize(CRawFileInfo& info, IStorageDevice* device) {
  if (g_bClearMpgMemValue.exchange(false)) m_lastStart = m_lastCount = 0;
  const uint64_t start = info.m_startSector;
  // A pack inside the last stream is no new stream.
  if (m_lastCount != 0 && start > m_lastStart && start < m_lastStart + m_lastCount) return 0;
  RawFileBuffer buffer(device, info.m_startSector);
  uint64_t p = 0, zerosFrom = 0;
  int zeros = 0;
  int packets = 0;
  bool afterSystemHeader = false;
  uint64_t lastClock = 0;
  while (p <= kWalkLimit) {
    const uint8_t* b = buffer.Get(p, 16);
    if (b == nullptr) break;
    if (StartCode(b) && b[3] != 0) {
      zeros = 0;
      afterSystemHeader = false;
      const uint8_t code = b[3];
      if (code == 0xBA) {
        // The clock only goes forward in a stream: a pack whose clock went
        // back starts the next stream, laid straight behind this one.
        const uint64_t clock = PackClock(b);
        if (p != 0 && clock < lastClock) break;
        lastClock = clock;
        // MPEG-2 packs carry up to 7 stuffing bytes.
        p += (b[4] & 0xC0) == 0x40 ? 14u + (b[13] & 7u) : 12u;
      } else if (code == 0xB3) {
        p += 12;
      } else if (code == 0xB9) {
        p += 4;  // the program's end code
        break;
      } else {
        afterSystemHeader = code == 0xBB;
        p += 6 + uint64_t{Be16(b + 4)};
        ++packets;
        if (afterSystemHeader) {
          const uint8_t* next = buffer.Get(p, 4);
          if (next == nullptr || !StartCode(next)) {
            // Garbage straight after the system header: not a stream
            // unless a long one came before.
            if (p < 102400) return 0;
            break;
          }
        }
      }
      continue;
    }
    if (b[0] == 0 && b[1] == 0 && b[2] == 0 && b[3] <= 1) {
      // Zeros between packs; a hundred in a row end the stream where they
      // began.
      if (zeros++ == 0) zerosFrom = p;
      if (zeros == 100) {
        p = zerosFrom;
        break;
      }
      ++p;
      continue;
    }
    if (zeros != 0) p = zerosFrom;
    break;
  }
  if (packets == 0) return 0;
  const uint32_t sector = buffer.SectorSize();
  const uint64_t count = (p + sector - 1) / sector;
  if (m_lastCount != 0 && start + count >= m_lastStart && start + count <= m_lastStart + m_lastCount) return 0;
  m_lastStart = start;
  m_lastCount = count;
  info.m_type = RAW_TYPE_MPG;
  info.m_size = p;
  return 1;
}

// ---- RealMedia ----

uint32_t FileRM_RMVBAnalyser::AnalyseBuffer(unsigned char* s, CRawFileInfo& info) {
  // The file header: its own length and version.
  const uint32_t length = Be32(s + 4);
  if (length < 18 || length > 512 || Be16(s + 8) > 1) return 0;
  info.m_type = RAW_TYPE_RM;
  return 1;
}

uint32_t FileRM_RMVBAnalyser::GetRawFileSize(CRawFileInfo& info, IStorageDevice* device) {
  RawFileBuffer buffer(device, info.m_startSector);
  constexpr size_t kLook = 1024 + 160;
  const uint8_t* head = buffer.Get(0, kLook);
  if (head == nullptr || std::memcmp(head, ".RMF", 4) != 0) return 0;
  // A video stream's media properties near the start make it RMVB.
  m_noVideo = true;
  if (const uint8_t* mdpr = Apimemstr(head, 1024, reinterpret_cast<const uint8_t*>("MDPR"), 4)) {
    const size_t from = static_cast<size_t>(mdpr - head);
    m_noVideo = Apimemstr(mdpr, static_cast<int64_t>(std::min<size_t>(160, kLook - from)),
                          reinterpret_cast<const uint8_t*>("Video Stream"), 12) == nullptr;
  }
  // Films and songs alike are sized by walking their chunks. Searching a
  // film's sectors for a closing index chunk instead would miss every file
  // written without an index (ffmpeg's, and the published samples, have
  // none) and run on into whatever follows; the walk ends each at its last
  // chunk, or behind the empty record that closes data without an index.
  auto known = [](const uint8_t* c) {
    for (const char* id : {"PROP", "MDPR", "CONT", "DATA", "INDX"}) {
      if (std::memcmp(c, id, 4) == 0) return true;
    }
    return false;
  };
  uint64_t p = Be32(head + 4);
  bool lastWasData = false;
  for (int chunks = 0; chunks < 100000 && p <= kWalkLimit; ++chunks) {
    const uint8_t* c = buffer.Get(p, 18);
    if (c == nullptr || !known(c)) break;
    const uint64_t size = Be32(c + 4);
    if (size < 10) break;
    lastWasData = std::memcmp(c, "DATA", 4) == 0;
    if (!lastWasData) {
      p += size;
      continue;
    }
    // The data's packets, each with its own length: where they end is
    // where the data ends, whatever the chunk's length says.
    const uint64_t declared = p + size;
    const uint32_t count = Be32(c + 10);
    uint64_t q = p + 18;
    uint32_t walked = 0;
    for (; walked < count && q < declared + 65536; ++walked) {
      const uint8_t* packet = buffer.Get(q, 4);
      if (packet == nullptr || Be16(packet) > 1 || Be16(packet + 2) < 12) break;
      q += Be16(packet + 2);
    }
    const uint8_t* atDeclared = buffer.Get(declared, 4);
    if (atDeclared != nullptr && known(atDeclared))
      p = declared;
    else
      p = walked == count ? q : declared;
  }
  // Without an index, files close with an empty record of eight zero bytes.
  if (lastWasData) {
    const uint8_t* close = buffer.Get(p, 8);
    if (close != nullptr && ondisk::AllZero(close, 8)) p += 8;
  }
  info.m_type = m_noVideo ? RAW_TYPE_RM : RAW_TYPE_RMVB;
  info.m_size = p;
  return 1;
}
