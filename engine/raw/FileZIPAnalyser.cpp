#include "raw/FileZIPAnalyser.h"

#include <zlib.h>

#include <algorithm>
#include <cassert>
#include <cstring>
#include <string_view>

#include "OnDiskBytes.h"
#include "raw/RawFileBuffer.h"
#include "raw/RawInflate.h"
#include "raw/RawRereadBudget.h"

using ondisk::Le16;
using ondisk::Le32;
using ondisk::Le64;

namespace {

constexpr uint32_t kLocal = 0x04034B50;
constexpr uint32_t kCentral = 0x02014B50;
constexpr uint32_t kEnd = 0x06054B50;
constexpr uint32_t kEnd64 = 0x06064B50;
constexpr uint32_t kLocator64 = 0x07064B50;
constexpr uint32_t kSignature = 0x05054B50;
constexpr uint32_t kDescriptor = 0x08074B50;
constexpr uint64_t kLimit = 0x104000000;
constexpr size_t kMaxName = 4096;
// No entry is larger: added to an offset, such a size never wraps round to
// an earlier record (which would make the walk go back, or round for ever).
constexpr uint64_t kMaxEntryBytes = uint64_t{1} << 48;

std::string_view Text(const uint8_t* bytes, size_t n) { return {reinterpret_cast<const char*>(bytes), n}; }

bool Holds(const uint8_t* bytes, size_t n, std::string_view what) {
  return Apimemstr(bytes, static_cast<int64_t>(n), reinterpret_cast<const uint8_t*>(what.data()),
                   static_cast<int64_t>(what.size())) != nullptr;
}

// The office type an entry name points at, or 0.
uint32_t OfficeType(std::string_view name) {
  if (name == "word/_rels/document.xml.rels") return RAW_TYPE_DOCX;
  if (name == "xl/_rels/workbook.xml.rels") return RAW_TYPE_XLSX;
  if (name == "ppt/_rels/presentation.xml.rels") return RAW_TYPE_PPTX;
  if (name.size() >= 5 && name.substr(0, 4) == "word") return RAW_TYPE_DOCX;
  return 0;
}

void NoteOffice(classZipSearch::Walk& walk, std::string_view name) {
  if (const uint32_t office = OfficeType(name)) walk.office = office;
  // Every office package holds its type list: whatever entry a writer
  // puts first, the package is an office document.
  if (name == "[Content_Types].xml") walk.contentTypes = true;
}

// The types a local header's name and the bytes after it give to an archive
// not taken for an office document.
void TypeFromLocal(classZipSearch::Walk& walk, std::string_view name, RawFileBuffer& buffer, uint64_t after) {
  const bool layout = walk.type == RAW_TYPE_PAGES || walk.type == RAW_TYPE_KEY;
  auto bytes = [&](size_t n) { return buffer.Get(after, n); };
  if (!layout && name.size() >= 8 && name.find("numbers/") != std::string_view::npos) {
    walk.type = RAW_TYPE_NUMBERS;
  } else if (name == "Index/Slide1.iwa" || name == "Index/Slide2.iwa" || name == "index.apxl") {
    walk.type = RAW_TYPE_KEY;
  } else if (layout) {
    return;
  } else if (name == "buildVersionHistory.plist") {
    const uint8_t* b = bytes(256);
    walk.type = b != nullptr && !Holds(b, 256, "<string>numbers-trunk") && Holds(b, 256, "<string>pages-trunk")
                    ? RAW_TYPE_PAGES
                    : RAW_TYPE_NUMBERS;
  } else if (name == "Index/DocumentStylesheet.iwa") {
    const uint8_t* b = bytes(256);
    walk.type = b != nullptr && (Holds(b, 256, "layout-style-") || Holds(b, 256, "imported-paragraph-style-"))
                    ? RAW_TYPE_PAGES
                    : RAW_TYPE_NUMBERS;
  } else if (name == "mimetype" && walk.type != RAW_TYPE_NUMBERS) {
    const uint8_t* b = bytes(64);
    if (b != nullptr && Holds(b, 64, "application/epub+")) walk.type = RAW_TYPE_EPUB;
  }
}

bool IsRecord(uint32_t sig) {
  return sig == kLocal || sig == kCentral || sig == kEnd || sig == kEnd64 || sig == kSignature;
}

// The data descriptor behind an entry whose sizes follow its data.
struct ZipDescriptor {
  uint64_t end = 0;      // just past it; 0 when none was found
  uint64_t dataEnd = 0;  // where the entry's data end: where it begins
  uint32_t crc = 0;
  uint64_t unpacked = 0;
};

// The data descriptor behind an entry whose sizes follow its data (`data` is
// where the data start): a signed descriptor whose compressed size is the
// distance from the data, or an unsigned one right before the next header.
ZipDescriptor FindDescriptor(RawFileBuffer& buffer, uint64_t data, bool zip64) {
  const uint64_t step = uint64_t{RawFileBuffer::kWindowSectors / 2} * buffer.SectorSize();
  constexpr uint64_t kBack = 24;
  for (uint64_t p = data; p < kLimit; p += step) {
    const uint64_t base = p - std::min(kBack, p - data);
    const uint8_t* bytes = buffer.Get(base, step + kBack + 32);
    if (bytes == nullptr) return {};
    for (uint64_t i = p - base; i < p - base + step; ++i) {
      const void* hit = std::memchr(bytes + i, 'P', p - base + step - i);
      if (hit == nullptr) break;
      i = static_cast<uint64_t>(static_cast<const uint8_t*>(hit) - bytes);
      const uint32_t sig = Le32(bytes + i);
      const uint64_t at = base + i;
      const uint64_t length = at - data;
      const uint8_t* d = bytes + i;
      if (sig == kDescriptor && (zip64 ? Le64(d + 8) : Le32(d + 8)) == length) {
        // Some writers give small entries the descriptor of large ones, with
        // 64-bit sizes: the next record tells.
        if (!zip64 && !IsRecord(Le32(d + 16)) && IsRecord(Le32(d + 24)))
          return {at + 24, at, Le32(d + 4), Le64(d + 16)};
        return {at + (zip64 ? 24 : 16), at, Le32(d + 4), zip64 ? Le64(d + 16) : Le32(d + 12)};
      }
      const uint64_t unsignedLength = zip64 ? 20 : 12;
      if ((sig == kLocal || sig == kCentral) && length >= unsignedLength && i >= unsignedLength &&
          (zip64 ? Le64(d - 16) : Le32(d - 8)) == length - unsignedLength) {
        const uint8_t* u = d - unsignedLength;
        return {at, at - unsignedLength, Le32(u), zip64 ? Le64(u + 12) : Le32(u + 8)};
      }
    }
  }
  return {};
}

// Whether the data of an entry from `data` up to the descriptor found
// behind them are what it says: deflated data that end right there,
// inflating to its size and checksum, stored data of its checksum. Behind
// an archive cut short, a descriptor of the same size found further on is
// another archive's. Encrypted data (`flags` bit 0) neither inflate nor sum
// before they are decrypted: of them only a stored entry's length, its
// 12-byte encryption header ahead of its bytes, is held to the descriptor.
bool DescriptorHolds(RawFileBuffer& buffer, uint64_t data, uint16_t method, uint16_t flags, const ZipDescriptor& d) {
  if ((flags & 1) != 0) return method != 0 || (flags & 0x40) != 0 || d.dataEnd - data == d.unpacked + 12;
  static thread_local RawRereadBudget budget;
  budget.Begin(buffer);
  if (method == 8) {
    const RawInflated inflated = InflateRaw(buffer, data, d.dataEnd + 1, &budget);
    // Held back by the budget: what the search found stands.
    if (inflated.kind == RawInflated::kStopped && inflated.end < d.dataEnd) return true;
    return inflated.kind == RawInflated::kEnded && inflated.end == d.dataEnd && inflated.crc == d.crc &&
           static_cast<uint32_t>(inflated.produced) == static_cast<uint32_t>(d.unpacked);
  }
  if (method != 0) return true;
  if (d.dataEnd - data != d.unpacked) return false;
  if (!budget.Take(data, d.dataEnd)) return true;
  uLong sum = crc32(0, nullptr, 0);
  return buffer.ForEachPiece(data, d.dataEnd - data, [&](const uint8_t* bytes, size_t n) {
    sum = crc32(sum, bytes, static_cast<uInt>(n));
  }) && static_cast<uint32_t>(sum) == d.crc;
}

// A local header's compressed size (also from a ZIP64 extra field); false
// when the ZIP64 field it needs is missing.
bool CompressedSize(const uint8_t* h, const uint8_t* extra, uint16_t extraLength, uint64_t& size) {
  size = Le32(h + 18);
  if (size != 0xFFFFFFFF) return true;
  for (uint32_t at = 0; at + 4 <= extraLength;) {
    const uint16_t id = Le16(extra + at), length = Le16(extra + at + 2);
    if (id == 0x0001 && length >= 16 && at + 4 + 16 <= extraLength) {
      size = Le64(extra + at + 4 + (Le32(h + 22) == 0xFFFFFFFF ? 8 : 0));
      return true;
    }
    at += 4u + length;
  }
  return false;
}

// kUnconfirmed: deflated data of a stream that end of themselves, with no
// descriptor behind them to confirm them.
enum ZipEntryCheck { kSoundEntry, kBrokenEntry, kUntold, kUnconfirmed };

// Whether the last local entry's data are still there: deflated data must
// end within their bytes (at their end, with their checksum, where the
// header gives both), stored ones must have their checksum. Deflated data
// of a stream whose descriptor was not found may end of themselves:
// `soundEnd` is then where they do, but nothing there confirms them.
ZipEntryCheck CheckZipEntry(RawFileBuffer& buffer, const classZipSearch::Walk& walk, uint64_t& soundEnd) {
  static thread_local RawRereadBudget budget;
  if (walk.dataEnd == 0 && walk.method == 8) {
    budget.Begin(buffer);
    const RawInflated data = InflateRaw(buffer, walk.data, walk.data + kLimit, &budget);
    if (data.kind == RawInflated::kBroken) return kBrokenEntry;
    if (data.kind == RawInflated::kStopped) return kUntold;
    soundEnd = data.end;
    return kUnconfirmed;
  }
  if (walk.dataEnd <= walk.data) return kUntold;
  const uint64_t reach = std::min(walk.dataEnd, buffer.BytesToDeviceEnd());
  if (walk.method == 8) {
    budget.Begin(buffer);
    const RawInflated data = InflateRaw(buffer, walk.data, walk.dataEnd, &budget);
    switch (data.kind) {
      case RawInflated::kBroken:
        return kBrokenEntry;
      case RawInflated::kStopped:
        // Through all its bytes (or up to the device's end) without an end.
        return data.end >= reach ? kBrokenEntry : kUntold;
      case RawInflated::kEnded:
        break;
    }
    if (!walk.hasCrc) return kSoundEntry;
    return data.crc == walk.crc && data.end == walk.dataEnd ? kSoundEntry : kBrokenEntry;
  }
  if (walk.method != 0 || !walk.hasCrc) return kUntold;
  if (reach < walk.dataEnd) return kBrokenEntry;
  // A size read from a stray header may reach far over the device: the
  // checksum is read within the walk's reach and the pass's budget, as the
  // inflating is.
  budget.Begin(buffer);
  if (walk.dataEnd > kLimit || !budget.Take(walk.data, walk.dataEnd)) return kUntold;
  uLong sum = crc32(0, nullptr, 0);
  if (!buffer.ForEachPiece(walk.data, walk.dataEnd - walk.data,
                           [&](const uint8_t* bytes, size_t n) { sum = crc32(sum, bytes, static_cast<uInt>(n)); })) {
    return kUntold;
  }
  return static_cast<uint32_t>(sum) == walk.crc ? kSoundEntry : kBrokenEntry;
}

// The end of the first sector from the one holding `end` on whose last
// bytes are zero (the sector holding `end` when its last four are), at most
// 5 MiB on.
uint64_t ZeroTailedEnd(RawFileBuffer& buffer, uint64_t end) {
  const uint64_t s = buffer.SectorSize();
  const uint64_t rounded = end - end % s;
  const uint8_t* sector = buffer.Get(rounded, s);
  if (sector == nullptr) return rounded;
  if (ondisk::AllZero(sector + s - 4, 4)) return end;
  if (rounded > kLimit) return rounded;
  uint64_t p = rounded + s;
  while (true) {
    sector = buffer.Get(p, s);
    if (sector == nullptr || p > kLimit || p - rounded >= 0x500001) break;
    p += s;
    // That sector is the archive's last: its bytes belong to it.
    if (ondisk::AllZero(sector + s - 16, 16)) break;
  }
  return p;
}

}  // namespace

bool classZipSearch::IsValidLocalZipFileHeader(const uint8_t* r) {
  return Le32(r) == kLocal && Le16(r + 8) <= 10 && Le16(r + 26) <= kMaxName;
}

bool classZipSearch::IsValidCentralDirectoryHeader(const uint8_t* r) { return Le32(r) == kCentral; }

bool classZipSearch::IsValidEndCentralDir(const uint8_t* r) { return Le32(r) == kEnd; }

bool classZipSearch::IsValidHeader(const uint8_t* r) {
  return IsValidCentralDirectoryHeader(r) || IsValidEndCentralDir(r) || IsValidLocalZipFileHeader(r);
}

uint64_t classZipSearch::GetBlockSize(RawFileBuffer& buffer, uint64_t offset, Walk& walk) {
  const uint8_t* h = buffer.Get(offset, 46);
  if (h == nullptr) return 0;
  const uint32_t sig = Le32(h);
  if (IsValidLocalZipFileHeader(h)) {
    uint8_t head[30];
    std::memcpy(head, h, sizeof head);
    const uint16_t n = Le16(head + 26), e = Le16(head + 28), flags = Le16(head + 6);
    // The ZIP64 sizes lead the extra field: its first KiBs are enough.
    const uint16_t extra = std::min<uint16_t>(e, 4096);
    const uint8_t* nameAndExtra = buffer.Get(offset + 30, n + size_t{extra});
    if (nameAndExtra == nullptr) return 0;
    const std::string name(Text(nameAndExtra, n));
    uint64_t compressed = 0;
    if (!CompressedSize(head, nameAndExtra + n, extra, compressed) || compressed > kMaxEntryBytes) return 0;
    const bool zip64 = Le32(head + 18) == 0xFFFFFFFF;
    const uint64_t data = offset + 30 + n + e;
    NoteOffice(walk, name);
    if (!walk.maybeOffice) TypeFromLocal(walk, name, buffer, offset + 30 + n);
    walk.entry = offset;
    walk.data = data;
    walk.dataEnd = data + compressed;
    walk.method = Le16(head + 8);
    walk.hasCrc = (flags & 8) == 0;
    walk.crc = Le32(head + 14);
    if ((flags & 8) == 0) return data + compressed - offset;
    if (compressed == 0) {
      // Written as a stream: the sizes follow the data, and hold only when
      // the data between are the entry's.
      ZipDescriptor descriptor = FindDescriptor(buffer, data, zip64);
      if (descriptor.end != 0 && !DescriptorHolds(buffer, data, walk.method, flags, descriptor)) descriptor = {};
      // Where the data end is known only to lie before the descriptor.
      walk.dataEnd = descriptor.end;
      return (descriptor.end != 0 ? descriptor.end : data) - offset;
    }
    const uint8_t* d = buffer.Get(data + compressed, 4);
    const uint64_t descriptor = (d != nullptr && Le32(d) == kDescriptor ? 4 : 0) + (zip64 ? 20 : 12);
    return data + compressed + descriptor - offset;
  }
  if (sig == kCentral) {
    const uint16_t n = Le16(h + 28), e = Le16(h + 30), c = Le16(h + 32);
    const uint8_t* name = buffer.Get(offset + 46, std::min<size_t>(n, kMaxName));
    if (name == nullptr) return 0;
    NoteOffice(walk, Text(name, std::min<size_t>(n, kMaxName)));
    return 46u + n + e + c;
  }
  if (sig == kEnd) {
    walk.ended = true;
    return 22u + Le16(h + 20);
  }
  // ZIP64 archives keep their sizes in records of their own before the end.
  if (sig == kEnd64) {
    const uint64_t length = Le64(h + 4);
    return length < kLimit ? 12 + length : 0;
  }
  if (sig == kLocator64) return 20;
  if (sig == kSignature) return 6u + Le16(h + 4);
  return 0;
}

void FileZIPAnalyser::JudgeMaybeOfficeType(const std::string& first) {
  m_maybeOffice =
      first == "[Content_Types].xml" || first == "docProps/app.xml" || first.find("doc") != std::string::npos;
  m_drawing = first == "content/riffData.cdr";
}

uint32_t FileZIPAnalyser::AnalyseBuffer([[maybe_unused]] unsigned char* s, CRawFileInfo& info) {
  assert(nullptr != s && "NULL != pBuffer");
  info.m_type = RAW_TYPE_ZIP;
  return 1;
}

uint32_t FileZIPAnalyser::GetRawFileSize(CRawFileInfo& info, IStorageDevice* device) {
  assert(nullptr != device && "NULL != pDevice");
  RawFileBuffer buffer(device, info.m_startSector);
  info.m_size = 0;
  const uint8_t* first = buffer.Get(0, 46);
  if (first == nullptr || !classZipSearch::IsValidHeader(first)) return 0;
  std::string firstName;
  if (classZipSearch::IsValidLocalZipFileHeader(first)) {
    const uint16_t n = Le16(first + 26);
    const uint8_t* name = buffer.Get(30, n);
    if (name == nullptr) return 0;
    firstName.assign(Text(name, n));
  }
  m_maybeOffice = m_drawing = false;
  JudgeMaybeOfficeType(firstName);
  classZipSearch::Walk walk;
  walk.maybeOffice = m_maybeOffice;
  uint64_t end = 0, last = 0;
  while (end < kLimit + 1 && !walk.ended) {
    const uint64_t length = classZipSearch::GetBlockSize(buffer, end, walk);
    if (length == 0) break;
    last = end;
    end += length;
  }
  if (end == 0) return 0;
  if ((walk.maybeOffice || walk.contentTypes) && walk.office != 0) walk.type = walk.office;
  if (m_drawing && !walk.maybeOffice) walk.type = RAW_TYPE_CDR;
  if (walk.ended) {
    // The end-of-central-directory record ends the archive: anything behind
    // it would keep ZIP readers from finding it.
    info.m_size = end;
    info.m_whole = true;
  } else {
    // The walk lost its way before the end record: the archive was cut, or
    // other bytes lie in it, and its end is not known. Records were found
    // where the ones before said; the last entry walked is kept when its
    // data hold (they then end where the archive's bytes stop being its
    // own), else the archive ends before it.
    info.m_endUnknown = true;
    uint64_t soundEnd = 0;
    const bool entry = last == walk.entry && walk.data != 0;
    const ZipEntryCheck check = entry ? CheckZipEntry(buffer, walk, soundEnd) : kUntold;
    // Up to the last record walked, each was found where the one before
    // said; nothing checks the last one's bytes but an entry's data.
    info.m_provenTo = last;
    if (check == kBrokenEntry && walk.entry > 0) {
      info.m_size = walk.entry;
      info.m_whole = true;
    } else if (check == kUntold && entry) {
      // Nothing tells where the entry's data end (a stream whose descriptor
      // was not found): up to the first sector that ends in zeros.
      info.m_size = ZeroTailedEnd(buffer, end);
    } else {
      // A sound entry, a broken first one (kept as long as it says, not
      // taken for whole), data that end of themselves but with no
      // descriptor behind them, or a record of the central directory as
      // long as it says.
      info.m_size = std::max(end, soundEnd);
      info.m_whole = check == kSoundEntry;
    }
  }
  info.m_type = walk.type;
  info.SetRawFileName(firstName);
  return info.m_size != 0 ? 1 : 0;
}
