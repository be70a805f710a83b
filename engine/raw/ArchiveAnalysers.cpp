#include "raw/ArchiveAnalysers.h"

#include <zlib.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include "OnDiskBytes.h"
#include "raw/RawCutCheck.h"
#include "raw/RawFileBuffer.h"
#include "raw/RawInflate.h"
#include "raw/RawMarkSearch.h"
#include "raw/RawRereadBudget.h"
#include "raw/RawSectorScan.h"

using ondisk::AllZero;
using ondisk::Be32;
using ondisk::Be64;
using ondisk::Le16;
using ondisk::Le32;

namespace {

constexpr uint64_t kWalkLimit = 0xD000000;
constexpr uint64_t kSearchLimit = 0x82000000;

}  // namespace

// ---- CAB: sized from the header ----

uint32_t FileCABAnalyser::AnalyseBuffer(unsigned char* s, CRawFileInfo& info) {
  if (Le32(s + 4) != 0 || Le32(s + 12) != 0 || Le32(s + 20) != 0 || Le16(s + 24) != 0x0103 || Le32(s + 8) == 0) {
    return 0;
  }
  info.m_type = RAW_TYPE_CAB;
  return 1;
}

namespace {

// The checksum of cabinet data blocks: the XOR of the bytes' little-endian
// 32-bit words, the last one to three bytes taken high byte first, folded
// into `seed`.
uint32_t CabSum(const uint8_t* bytes, size_t n, uint32_t seed) {
  uint32_t sum = seed;
  size_t i = 0;
  for (; i + 4 <= n; i += 4) sum ^= Le32(bytes + i);
  uint32_t last = 0;
  for (; i < n; ++i) last = (last << 8) | bytes[i];
  return sum ^ last;
}

// A cabinet's folders walked to their data blocks: each block lies inside
// the cabinet, takes 1 to 32 KiB uncompressed (exactly its own length when
// stored), and carries the checksum of its bytes when it has one; the last
// block ends where the cabinet does. A cabinet cut short has other bytes
// where the blocks behind the cut were. Where it holds, `proven` gets how far
// the blocks prove the cabinet its own: to the end of the last block whose
// checksum holds, or to the header of the last block without one (its data
// only claimed).
bool CabinetHolds(RawFileBuffer& buffer, uint64_t size, uint64_t* proven) {
  const uint8_t* h = buffer.Get(0, 40);
  if (h == nullptr) return false;
  const uint16_t folders = Le16(h + 26), flags = Le16(h + 30);
  uint64_t at = 36;
  uint32_t folderReserve = 0, dataReserve = 0;
  if ((flags & 4) != 0) {
    folderReserve = h[38];
    dataReserve = h[39];
    at = 40 + uint64_t{Le16(h + 36)};
  }
  // The names of the previous and next cabinets of a set, and of their disks.
  const int names = 2 * ((flags & 1) != 0) + 2 * ((flags & 2) != 0);
  for (int k = 0; k < names; ++k) {
    for (int n = 0;; ++n) {
      const uint8_t* c = buffer.Get(at++, 1);
      if (c == nullptr || n > 256) return false;
      if (*c == 0) break;
    }
  }
  // Folders may name the same blocks: what is read is bounded all the same.
  uint64_t furthest = 0, walked = 0, summed = 0, reached = 0;
  for (uint16_t f = 0; f < folders; ++f) {
    const uint8_t* folder = buffer.Get(at + f * (8 + uint64_t{folderReserve}), 8);
    if (folder == nullptr) return false;
    uint64_t block = Le32(folder);
    const uint16_t blocks = Le16(folder + 4);
    const bool stored = (Le16(folder + 6) & 0x0F) == 0;
    for (uint16_t b = 0; b < blocks; ++b) {
      const uint8_t* head = buffer.Get(block, 8 + dataReserve);
      if (head == nullptr || block + 8 + dataReserve > size) return false;
      const uint32_t sum = Le32(head);
      const uint16_t length = Le16(head + 4), plain = Le16(head + 6);
      uint8_t fields[4 + 255];
      std::memcpy(fields, head + 4, 4 + dataReserve);
      const uint64_t data = block + 8 + dataReserve;
      if (length == 0 || plain == 0 || plain > 32768 || (stored && length != plain) || length > size - data ||
          ++walked > (1u << 20) || (summed += length) > 2 * size) {
        return false;
      }
      if (sum != 0) {
        // Pieces come in whole words but the last: their sums fold into one.
        uint32_t computed = 0;
        if (!buffer.ForEachPiece(data, length,
                                 [&](const uint8_t* bytes, size_t n) { computed = CabSum(bytes, n, computed); })) {
          return false;
        }
        if (CabSum(fields, 4 + dataReserve, computed) != sum) return false;
      }
      reached = std::max(reached, sum != 0 ? data + length : data);
      block = data + length;
    }
    furthest = std::max(furthest, block);
  }
  if (furthest != size) return false;
  *proven = reached;
  return true;
}

}  // namespace

uint32_t FileCABAnalyser::GetRawFileSize(CRawFileInfo& info, IStorageDevice* device) {
  RawFileBuffer buffer(device, info.m_startSector);
  const uint8_t* h = buffer.Get(0, 12);
  if (h == nullptr) return 0;
  info.m_size = Le32(h + 8);
  static thread_local RawRereadBudget budget;
  uint64_t proven = 0;
  if (!MayReadForCheck(budget, buffer, info.m_size) || !CabinetHolds(buffer, info.m_size, &proven)) {
    MarkEndUnknown(info);
  } else {
    info.m_provenTo = proven;
  }
  return 1;
}

// ---- RAR (the format with the seven-byte marker block) ----

namespace {

struct RarBlock {
  enum Kind { kInvalid, kNext, kEnd } kind = kInvalid;
  uint64_t length = 0;
};

// Whether the header at `pos` carries the checksum of its own bytes (the low
// half of their CRC-32, from the type byte on).
bool RarHeaderSums(RawFileBuffer& buffer, uint64_t pos, uint16_t headerSize, uint16_t sum) {
  const uint8_t* header = buffer.Get(pos, headerSize);
  if (header == nullptr) return false;
  return (crc32(0, header + 2, headerSize - 2u) & 0xFFFF) == sum;
}

RarBlock ReadRarBlock(RawFileBuffer& buffer, uint64_t pos) {
  RarBlock block;
  const uint8_t* at = buffer.Get(pos, 40);
  if (at == nullptr) return block;
  uint8_t h[40];
  std::memcpy(h, at, sizeof h);
  const uint8_t type = h[2];
  const uint16_t flags = Le16(h + 3), size = Le16(h + 5);
  if (size < 7 || type < 0x73 || type > 0x7B) return block;
  // Packed sizes of 4 GiB and more keep their high half behind the fixed
  // fields of the header. A size of 2^48 bytes or more is damage: added to
  // the header's length it could wrap round and send the walk back.
  const uint64_t high = (flags & 0x100) != 0 && size >= 36 ? uint64_t{Le32(h + 32)} << 32 : 0;
  if (high >= uint64_t{1} << 48) return block;
  switch (type) {
    case 0x73:
      if (size < 10) return block;
      block.length = size;
      break;
    case 0x74:
      // A file stored bigger than it unpacks (incompressible data) still
      // belongs to the archive when its header's checksum holds.
      if ((Le32(h + 7) > Le32(h + 11) || h[15] >= 5) && !RarHeaderSums(buffer, pos, size, Le16(h))) return block;
      block.length = size + uint64_t{Le32(h + 7)} + high;
      break;
    case 0x75:
      block.length = size + uint64_t{Le16(h + 7)};
      break;
    case 0x76:
      block.length = size;
      break;
    case 0x77:
      if (h[13] != 0) return block;
      block.length = size + uint64_t{Le32(h + 7)};
      break;
    case 0x78:
    case 0x7A:
      if (size < 10) return block;
      block.length = size + uint64_t{Le32(h + 7)} + (type == 0x7A ? high : 0);
      break;
    case 0x7B:
      // The end-of-archive block carries no data, whatever its header holds
      // after the seven fixed bytes.
      if (RarHeaderSums(buffer, pos, size, Le16(h))) {
        block.kind = RarBlock::kEnd;
        block.length = size;
        return block;
      }
      if (size < 10) return block;
      block.length = size + uint64_t{Le32(h + 7)};
      break;
    default:  // 0x79
      return block;
  }
  block.kind = RarBlock::kNext;
  return block;
}

}  // namespace

uint32_t FileRARAnalyser::AnalyseBuffer(unsigned char* s, CRawFileInfo& info) {
  if (s[4] != 0x1A || s[5] != 0x07 || s[6] != 0x00) return 0;
  info.m_type = RAW_TYPE_RAR;
  return 1;
}

uint32_t FileRARAnalyser::GetRawFileSize(CRawFileInfo& info, IStorageDevice* device) {
  RawFileBuffer buffer(device, info.m_startSector);
  const RarBlock head = ReadRarBlock(buffer, 7);
  if (head.kind == RarBlock::kInvalid) return 0;
  uint64_t position = 7 + head.length;
  bool ended = head.kind == RarBlock::kEnd;
  while (!ended && position <= kWalkLimit) {
    const RarBlock block = ReadRarBlock(buffer, position);
    if (block.kind == RarBlock::kInvalid) break;
    position += block.length;
    ended = block.kind == RarBlock::kEnd;
  }
  static const uint8_t kEndBlock[7] = {0xC4, 0x3D, 0x7B, 0x00, 0x40, 0x07, 0x00};
  if (!ended) {
    const uint8_t* tail = buffer.Get(position, sizeof kEndBlock);
    if (tail != nullptr && std::memcmp(tail, kEndBlock, sizeof kEndBlock) == 0) {
      position += sizeof kEndBlock;
      ended = true;
    }
  }
  info.m_size = position;
  info.m_whole = ended;
  return 1;
}

// ---- gzip ----

namespace {

struct GzHeader {
  uint64_t end = 0;      // where the compressed data begin
  bool overrun = false;  // a name or comment ran past its limit: `end` is where the search stopped
  std::string name;
};

// Skips a zero-terminated text from `at`; its first bytes go to `text` when
// given. False when it runs past the limit or cannot be read.
bool SkipGzText(RawFileBuffer& buffer, uint64_t& at, std::string* text) {
  constexpr uint64_t kTextLimit = 0x1400000;
  constexpr size_t kStep = 4096;
  constexpr size_t kNameBytes = 1023;
  // The terminating zero the last search saw, or how far it read without
  // one: the name of each of many heads one after the other would otherwise
  // be read on over all the heads behind it.
  static thread_local RawSearchMemo memo;
  const uint64_t base = buffer.FirstByte();
  const uint64_t start = at;
  const bool inside = memo.Covers(buffer.Device(), base + at);
  bool known = inside;
  auto remember = [&](uint64_t reached, bool found) {
    memo.Keep(buffer.Device(), inside, base + start, base + reached, found);
  };
  while (at <= kTextLimit) {
    if (known && (text == nullptr || text->size() >= kNameBytes)) {
      // The last search read no zero before where it stopped: on from the
      // step that holds it.
      known = false;
      at += (memo.reached - base - at) / kStep * kStep;
      if (at > kTextLimit) break;
    }
    const uint8_t* bytes = buffer.Get(at, kStep);
    if (bytes == nullptr) {
      remember(at, false);
      return false;
    }
    const auto* zero = static_cast<const uint8_t*>(std::memchr(bytes, 0, kStep));
    const size_t length = zero != nullptr ? static_cast<size_t>(zero - bytes) : kStep;
    if (text != nullptr && text->size() < kNameBytes) {
      text->append(reinterpret_cast<const char*>(bytes), std::min(length, kNameBytes - text->size()));
    }
    at += length;
    if (zero != nullptr) {
      remember(at, true);
      at += 1;
      return true;
    }
  }
  remember(at, false);
  return false;
}

// The member header at `at`, walked as the format lays it out; false when
// there is none.
bool ReadGzHeader(RawFileBuffer& buffer, uint64_t at, GzHeader& header) {
  const uint8_t* h = buffer.Get(at, 10);
  if (h == nullptr || h[0] != 0x1F || h[1] != 0x8B || h[2] != 8 || h[3] >= 32) return false;
  const uint8_t flags = h[3];
  uint64_t pos = at + 10;
  if ((flags & 4) != 0) {
    const uint8_t* extra = buffer.Get(pos, 2);
    if (extra == nullptr) return false;
    pos += 2 + uint64_t{Le16(extra)};
  }
  for (const uint8_t flag : {uint8_t{8}, uint8_t{16}}) {
    if ((flags & flag) != 0 && !SkipGzText(buffer, pos, flag == 8 ? &header.name : nullptr)) {
      header.overrun = true;
      header.end = pos;
      return true;
    }
  }
  if ((flags & 2) != 0) pos += 2;
  header.end = pos;
  return true;
}

// Where the member whose deflate data begin at `at` ends. What inflating
// gives hangs on the stream's first byte, so a search cannot go on from
// where an earlier one stopped: stored blocks can chain over the heads that
// follow, and each head would inflate all of them again. Reading again is
// taken from `budget`; a search refused is one that met no end within its
// reach.
struct GzMemberEnd {
  RawInflated data;
  uint64_t end = 0;    // just past the trailer, when the data ended
  bool sound = false;  // the trailer's checksum and length agree with what came out
};

GzMemberEnd InflatedEnd(RawFileBuffer& buffer, uint64_t at, RawRereadBudget& budget) {
  GzMemberEnd member;
  member.data = InflateRaw(buffer, at, at + kWalkLimit + 1, &budget);
  if (member.data.kind != RawInflated::kEnded) return member;
  member.end = member.data.end + 8;
  const uint8_t* trailer = buffer.Get(member.data.end, 8);
  member.sound = trailer != nullptr && Le32(trailer) == member.data.crc &&
                 Le32(trailer + 4) == static_cast<uint32_t>(member.data.produced);
  return member;
}

}  // namespace

uint32_t FileGZAnalyser::AnalyseBuffer(unsigned char* s, CRawFileInfo& info) {
  // Extra flags 0 as well as 2 and 4: the compressor's default level writes 0.
  if (s[0] != 0x1F || s[1] != 0x8B || s[2] != 0x08 || s[3] >= 32 || (s[8] != 0 && s[8] != 2 && s[8] != 4) ||
      s[9] >= 14) {
    return 0;
  }
  info.m_type = RAW_TYPE_GZ;
  return 1;
}

uint32_t FileGZAnalyser::GetRawFileSize(CRawFileInfo& info, IStorageDevice* device) {
  RawFileBuffer buffer(device, info.m_startSector);
  GzHeader header;
  if (!ReadGzHeader(buffer, 0, header)) return 0;
  if (!header.name.empty()) info.SetRawFileName(header.name);
  if (header.overrun) {
    info.m_size = header.end;
    info.m_endUnknown = true;
    return 1;
  }
  // The compressed data end themselves: followed to their end, the member
  // ends at its trailer, and members right behind it belong to the file.
  static thread_local RawRereadBudget budget;
  budget.Begin(buffer);
  GzMemberEnd member = InflatedEnd(buffer, header.end, budget);
  if (member.sound) {
    uint64_t end = member.end;
    bool whole = true;
    while (true) {
      GzHeader next;
      if (!ReadGzHeader(buffer, end, next) || next.overrun) break;
      member = InflatedEnd(buffer, next.end, budget);
      if (!member.sound) {
        // A member that begins right behind but does not end whole: the file
        // was cut in it.
        whole = false;
        break;
      }
      end = member.end;
    }
    info.m_size = end;
    info.m_whole = whole;
    info.m_endUnknown = !whole;
    return 1;
  }
  // The data do not inflate to a sound end: the file was cut, or other bytes
  // lie in it, and its end is not known. Data that ended give their trailer's
  // end; data that broke off end at the first sector after the header whose
  // last eight bytes are zero (behind a cut, the rest of its sector is
  // zero) or just past the byte that broke them, whichever comes first;
  // data that met no end within reach end at that sector.
  info.m_endUnknown = true;
  if (member.data.kind == RawInflated::kEnded) {
    info.m_size = member.end;
    return 1;
  }
  const uint64_t s = buffer.SectorSize();
  static thread_local RawSearchMemo memo;
  const auto probe = [&](uint64_t p) {
    const uint8_t* sector = buffer.Get(p, s);
    if (sector == nullptr) return RawSectorProbe::Unreadable();
    return AllZero(sector + s - 8, 8) ? RawSectorProbe::End(p + s) : RawSectorProbe();
  };
  const bool broken = member.data.kind == RawInflated::kBroken;
  const uint64_t first = (header.end / s + 1) * s;
  const uint64_t stop = broken ? std::max(first, member.data.end) : kWalkLimit;
  const RawSectorScan scan = ScanRawSectors(buffer, first, stop, probe, memo);
  info.m_size = scan.found ? scan.end : broken ? member.data.end : scan.reached;
  return 1;
}

// ---- LZH ----

namespace {

// "-lh?-" at `m`: 0 and 5 always; the other methods and folders ("d") when
// `others`.
bool LzhMethod(const uint8_t* m, bool others) {
  if (m[0] != '-' || m[1] != 'l' || m[2] != 'h' || m[4] != '-') return false;
  if (m[3] == '0' || m[3] == '5') return true;
  return others && ((m[3] >= '1' && m[3] <= '7') || m[3] == 'd');
}

}  // namespace

uint32_t FileLZHAnalyser::AnalyseBuffer(unsigned char* s, CRawFileInfo& info) {
  // An archive that begins with a folder, or whose first member is packed by
  // another method, is one too; the header level must then be a known one.
  if (!LzhMethod(s + 2, false) && !(LzhMethod(s + 2, true) && s[20] <= 2)) return 0;
  info.m_type = RAW_TYPE_LZH;
  return 1;
}

uint32_t FileLZHAnalyser::GetRawFileSize(CRawFileInfo& info, IStorageDevice* device) {
  constexpr size_t kMaxMembers = size_t{1} << 16;
  RawFileBuffer buffer(device, info.m_startSector);
  uint64_t position = 0;
  bool first = true;
  while (position <= kWalkLimit) {
    const uint8_t* h = buffer.Get(position, 22);
    if (h == nullptr || !(LzhMethod(h + 2, false) || (LzhMethod(h + 2, true) && h[20] <= 2))) {
      if (first) return 0;
      break;
    }
    const uint64_t packed = Le32(h + 7);
    uint64_t header = uint64_t{h[0]} + 2;
    if (h[20] == 2) {
      // Level 2: a two-byte size of the whole header, extensions included.
      header = Le16(h);
      if (header < 26) {
        if (first) return 0;
        break;
      }
    }
    // The headers found where the members before them end prove those, and
    // each member's data begin behind its header.
    info.m_provenTo = position + header;
    if (packed != 0 && info.m_parts.size() < kMaxMembers) info.m_parts.push_back({position + header, packed});
    position += header + packed;
    first = false;
  }
  // A zero byte closes the archive (and proves nothing: behind an archive
  // cut short, zeros read the same).
  const uint8_t* end = buffer.Get(position, 1);
  const bool closed = end != nullptr && *end == 0 && position <= kWalkLimit;
  info.m_size = position + (closed ? 1 : 0);
  return 1;
}

// ---- SIT and SITX ----

uint32_t FileSITAnalyser::AnalyseBuffer(unsigned char* s, CRawFileInfo& /*info*/) {
  return s[4] == 'f' && s[5] == 'I' && s[6] == 't' ? 1 : 0;
}

uint32_t FileSITAnalyser::GetRawFileSize(CRawFileInfo& info, IStorageDevice* device) {
  RawFileBuffer buffer(device, info.m_startSector);
  const uint8_t* h = buffer.Get(0, 88);
  if (h == nullptr) return 0;
  if (h[7] == ' ') {
    const uint32_t size = Be32(h + 84);
    info.m_type = m_analyserType = RAW_TYPE_SIT;
    info.m_size = size >= 0x80000000u ? kSearchLimit : size;
    return 1;
  }
  if (h[7] != '!') return 0;
  info.m_type = m_analyserType = RAW_TYPE_SITX;
  // The archive's closing record: 02 D7 0A, a byte that tells how much
  // follows, then 98 F6 42 88.
  static const uint8_t kMark[3] = {0x02, 0xD7, 0x0A};
  static thread_local RawSearchMemo memo;
  const RawMarkFind find = FindRawEndMark(
      buffer, 0, kSearchLimit, kMark, sizeof kMark, 0, 8,
      [](const uint8_t* p) { return p[4] == 0x98 && p[5] == 0xF6 && p[6] == 0x42 && p[7] == 0x88; }, memo);
  const uint8_t* record = find.found ? buffer.Get(find.offset, 8) : nullptr;
  const uint8_t kind = record != nullptr ? record[3] : 0;
  SizeFromRawEndMark(info, find, 8 + (kind == 0x19 ? 4 : kind == ';' ? 5 : 6));
  return 1;
}

// ---- tar ----

int64_t TarMemberSize(const uint8_t* field) {
  if ((field[0] & 0x80) != 0) {
    // Binary, for members of 8 GiB and more; negative or past 2^56: not a size.
    if (field[0] != 0x80 || !AllZero(field + 1, 4)) return -1;
    int64_t value = 0;
    for (int i = 5; i < 12; ++i) value = (value << 8) | field[i];
    return value;
  }
  int i = 0;
  while (i < 12 && field[i] == ' ') ++i;
  int64_t value = 0;
  for (; i < 12 && field[i] != 0 && field[i] != ' '; ++i) {
    if (field[i] < '0' || field[i] > '7') return -1;
    value = value * 8 + (field[i] - '0');
  }
  return value;
}

uint32_t FileTARAnalyser::AnalyseBuffer(unsigned char* s, CRawFileInfo& info) {
  if (std::memcmp(s + 257, "ustar", 5) != 0) return 0;
  info.m_type = RAW_TYPE_TAR;
  return 1;
}

uint32_t FileTARAnalyser::GetRawFileSize(CRawFileInfo& info, IStorageDevice* device) {
  // The archive is walked in its own 512-byte blocks, whatever the device's
  // sector size. Members of size 0 (folders, empty files, links) are members
  // like any other: only a block of zeros ends the archive.
  constexpr uint64_t kBlock = 512;
  constexpr uint64_t kRecord = 10240;
  constexpr size_t kMaxMembers = size_t{1} << 16;
  RawFileBuffer buffer(device, info.m_startSector);
  uint64_t position = 0;
  bool ended = false;
  while (position <= kWalkLimit) {
    const uint8_t* h = buffer.Get(position, kBlock);
    if (h == nullptr) break;
    if (AllZero(h, kBlock)) {
      position += kBlock;
      // The archive ends with two zero blocks, then zero blocks up to the end
      // of its last record, all of them its own. When the first zero block
      // is the last of a record, the second one opens a record of its own,
      // filled the same way.
      const uint8_t* second = buffer.Get(position, kBlock);
      if (second != nullptr && AllZero(second, kBlock)) position += kBlock;
      while (position % kRecord != 0) {
        const uint8_t* fill = buffer.Get(position, kBlock);
        if (fill == nullptr || !AllZero(fill, kBlock)) break;
        position += kBlock;
      }
      ended = true;
      break;
    }
    const int64_t size = std::memcmp(h + 257, "ustar", 5) == 0 ? TarMemberSize(h + 124) : -1;
    if (size < 0) {
      if (position == 0) return 0;
      break;
    }
    // The headers found where the members before them end prove those, and
    // each member's data begin where its header says.
    info.m_provenTo = position + kBlock;
    if (size > 0 && info.m_parts.size() < kMaxMembers) {
      info.m_parts.push_back({position + kBlock, static_cast<uint64_t>(size)});
    }
    position += kBlock + (static_cast<uint64_t>(size) + kBlock - 1) / kBlock * kBlock;
  }
  // The end-of-archive blocks prove nothing of the last member's data:
  // behind an archive cut short, zeros read as them.
  info.m_size = position;
  // Members whole, but no end-of-archive block: more may have followed.
  info.m_endUnknown = !ended;
  return 1;
}

// ---- compressed disk images ----

uint32_t FileDMGAnalyser::AnalyseBuffer(unsigned char* s, CRawFileInfo& info) {
  if (std::memcmp(s, "BZh11AY&SY", 10) != 0) return 0;
  info.m_type = RAW_TYPE_DMG;
  return 1;
}

uint32_t FileDMGAnalyser::GetRawFileSize(CRawFileInfo& info, IStorageDevice* device) {
  // The image ends with its 512-byte trailer block: "koly", version 4,
  // header size 512, wherever in a sector it lies.
  RawFileBuffer buffer(device, info.m_startSector);
  static const uint8_t kMark[4] = {'k', 'o', 'l', 'y'};
  static thread_local RawSearchMemo memo;
  RawMarkFind find = FindRawEndMark(
      buffer, 10, kSearchLimit, kMark, sizeof kMark, 0, 12,
      [](const uint8_t* p) { return Be32(p + 4) == 4 && Be32(p + 8) == 512; }, memo);
  SizeFromRawEndMark(info, find, 512);
  // The trailer counts the image's property list from the image's first
  // byte: the list ends right before it and starts as one. Another image's
  // trailer, met behind an image cut short, counts from that image's start.
  const uint8_t* koly = find.found ? buffer.Get(find.offset, 512) : nullptr;
  if (koly != nullptr) {
    const uint64_t list = Be64(koly + 216), length = Be64(koly + 224);
    const uint64_t data = Be64(koly + 24), dataLength = Be64(koly + 32);
    if (length != 0 && list <= find.offset && find.offset - list == length && data <= list &&
        dataLength <= list - data) {
      const uint8_t* xml = buffer.Get(list, 5);
      if (xml != nullptr && std::memcmp(xml, "<?xml", 5) == 0) info.m_whole = true;
    }
    if (!info.m_whole) info.m_endUnknown = true;
  }
  return 1;
}
