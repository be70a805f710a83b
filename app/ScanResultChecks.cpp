#include "app/ScanResultChecks.h"

#include <zlib.h>

#include <algorithm>
#include <cstring>

#include "OnDiskBytes.h"
#include "StorageDevice.h"
#include "archive/RSData.h"

namespace SaveRestoreResult {

namespace {

bool Equal(const uint8_t* at, const char* text, size_t n) { return std::memcmp(at, text, n) == 0; }

bool PowerOfTwo(uint32_t value) { return value != 0 && (value & (value - 1)) == 0; }

void Take(VolumeIdentity& out, IdentityKind kind, const uint8_t* value, size_t n) {
  out.kind = static_cast<uint32_t>(kind);
  out.value.assign(value, value + n);
}

// A FAT boot sector: its geometry fields as mkfs.fat and every FAT driver
// write them, and the serial of its extended boot record (FAT32's lies
// after the larger BPB). A volume formatted without one is not named.
bool FatIdentity(const uint8_t* s, VolumeIdentity& out) {
  if (s[510] != 0x55 || s[511] != 0xAA) return false;
  const uint32_t bytesPerSector = ondisk::Le16(s + 11);
  if (bytesPerSector < 512 || bytesPerSector > 4096 || !PowerOfTwo(bytesPerSector)) return false;
  if (!PowerOfTwo(s[13]) || ondisk::Le16(s + 14) == 0 || s[16] == 0) return false;
  const bool fat32 = ondisk::Le16(s + 17) == 0 && ondisk::Le16(s + 22) == 0;
  const size_t signature = fat32 ? 66 : 38;
  if (s[signature] != 0x29 && s[signature] != 0x28) return false;
  Take(out, IdentityKind::kFat, s + signature + 1, 4);
  return true;
}

}  // namespace

bool IdentityOf(const uint8_t* region, size_t size, VolumeIdentity& out) {
  if (region == nullptr || size < 512) return false;
  if (Equal(region + 3, "NTFS    ", 8)) {
    Take(out, IdentityKind::kNtfs, region + 72, 8);
    return true;
  }
  if (Equal(region + 3, "EXFAT   ", 8)) {
    Take(out, IdentityKind::kExfat, region + 100, 4);
    return true;
  }
  if (FatIdentity(region, out)) return true;
  // The HFS+ (or HFSX) volume header, 1024 bytes into the volume: its
  // creation date, and the 64-bit identifier in the last two words of its
  // finder information.
  if (size >= 1024 + 512 && (Equal(region + 1024, "H+", 2) || Equal(region + 1024, "HX", 2))) {
    uint8_t value[12];
    std::memcpy(value, region + 1024 + 16, 4);
    std::memcpy(value + 4, region + 1024 + 80 + 24, 8);
    Take(out, IdentityKind::kHfsPlus, value, sizeof value);
    return true;
  }
  return false;
}

uint32_t Crc32(uint32_t crc, const uint8_t* data, size_t size) {
  uLong value = crc;
  while (size > 0) {
    const uInt piece = static_cast<uInt>(std::min<size_t>(size, 1u << 30));
    value = crc32(value, data, piece);
    data += piece;
    size -= piece;
  }
  return static_cast<uint32_t>(value);
}

std::vector<uint8_t> Fingerprint(const uint8_t* data, size_t size) {
  // Two independent sums: 64 bits, where one changed sector is found
  // whatever it holds.
  const uint32_t crc = Crc32(0, data, size);
  uLong adler = adler32(0L, Z_NULL, 0);
  for (size_t at = 0; at < size;) {
    const uInt piece = static_cast<uInt>(std::min<size_t>(size - at, 1u << 30));
    adler = adler32(adler, data + at, piece);
    at += piece;
  }
  std::vector<uint8_t> out;
  RecordBytes(out).U32(crc);
  RecordBytes(out).U32(static_cast<uint32_t>(adler));
  return out;
}

bool ReadBytes(IStorageDevice* device, uint64_t offset, size_t size, std::vector<uint8_t>& out) {
  out.clear();
  if (device == nullptr || size == 0) return false;
  const uint64_t sectorSize = device->GetSectorSize();
  const int64_t total = device->GetTotalSectors();
  if (sectorSize == 0 || total <= 0) return false;
  const uint64_t first = offset / sectorSize;
  if (first >= static_cast<uint64_t>(total)) return false;
  const uint64_t skip = offset % sectorSize;
  const uint64_t count = std::min<uint64_t>((skip + size + sectorSize - 1) / sectorSize, uint64_t(total) - first);
  std::vector<uint8_t> sectors(count * sectorSize);
  if (device->ReadSector(sectors.data(), static_cast<int64_t>(first), static_cast<int64_t>(count)) == 0) return false;
  const size_t kept = static_cast<size_t>(std::min<uint64_t>(size, sectors.size() - skip));
  out.assign(sectors.begin() + static_cast<long>(skip), sectors.begin() + static_cast<long>(skip + kept));
  return true;
}

bool ReadIdentity(IStorageDevice* device, uint64_t base, uint64_t bootOffset, uint64_t dataOffset,
                  VolumeIdentity& out) {
  std::vector<uint8_t> region;
  uint64_t at;
  if (!__builtin_add_overflow(base, bootOffset, &at) && ReadBytes(device, at, kIdentityRegionBytes, region) &&
      IdentityOf(region.data(), region.size(), out)) {
    out.offset = bootOffset;
    return true;
  }
  if (__builtin_add_overflow(base, dataOffset, &at) || !ReadBytes(device, at, kIdentityRegionBytes, region)) {
    return false;
  }
  out.offset = dataOffset;
  out.kind = static_cast<uint32_t>(IdentityKind::kFingerprint);
  out.value = Fingerprint(region.data(), region.size());
  return true;
}

bool SameVolume(IStorageDevice* device, uint64_t base, const VolumeIdentity& saved) {
  uint64_t at;
  std::vector<uint8_t> region;
  if (__builtin_add_overflow(base, saved.offset, &at) || !ReadBytes(device, at, kIdentityRegionBytes, region)) {
    return false;
  }
  if (saved.kind == static_cast<uint32_t>(IdentityKind::kFingerprint)) {
    return Fingerprint(region.data(), region.size()) == saved.value;
  }
  VolumeIdentity now;
  return IdentityOf(region.data(), region.size(), now) && now.kind == saved.kind && now.value == saved.value;
}

void EncodeIdentity(const IdentityRecord& record, std::vector<uint8_t>& out) {
  RecordBytes bytes(out);
  bytes.U64(record.roots.size());
  for (const std::vector<VolumeIdentity>& root : record.roots) {
    const size_t count = std::min<size_t>(root.size(), kMaxIdentitiesPerRoot);
    bytes.U32(static_cast<uint32_t>(count));
    for (size_t i = 0; i < count; ++i) {
      const VolumeIdentity& identity = root[i];
      const size_t n = std::min<size_t>(identity.value.size(), kMaxIdentityBytes);
      bytes.U64(identity.offset);
      bytes.U32(identity.kind);
      bytes.U32(static_cast<uint32_t>(n));
      bytes.Raw(identity.value.data(), n);
    }
  }
}

IdentityRecord DecodeIdentity(RecordReader& reader) {
  IdentityRecord record;
  const uint64_t roots = reader.U64("identity root count");
  // Each root takes at least its entry count; the lists grow as they are
  // read.
  if (roots > reader.Left() / 4) throw CRecordDamage{"identity root count"};
  for (uint64_t r = 0; r < roots; ++r) {
    std::vector<VolumeIdentity>& root = record.roots.emplace_back();
    const uint32_t count = reader.U32("identity count");
    if (count > kMaxIdentitiesPerRoot) throw CRecordDamage{"identity count"};
    for (uint32_t i = 0; i < count; ++i) {
      VolumeIdentity identity;
      identity.offset = reader.U64("identity offset");
      identity.kind = reader.U32("identity kind");
      if (identity.kind < static_cast<uint32_t>(IdentityKind::kFat) ||
          identity.kind > static_cast<uint32_t>(IdentityKind::kFingerprint)) {
        throw CRecordDamage{"identity kind"};
      }
      const uint32_t n = reader.U32("identity length");
      if (n == 0 || n > kMaxIdentityBytes) throw CRecordDamage{"identity length"};
      identity.value.resize(n);
      reader.Read(identity.value.data(), n, "identity value");
      root.push_back(std::move(identity));
    }
  }
  if (reader.Left() != 0) throw CRecordDamage{"bytes after the identities"};
  return record;
}

void EncodeChecks(const CheckRecord& record, std::vector<uint8_t>& out) {
  const size_t from = out.size();
  RecordBytes bytes(out);
  bytes.U32(static_cast<uint32_t>(record.frames.size()));
  for (const FrameCheck& frame : record.frames) {
    bytes.Raw(frame.id.bytes, sizeof frame.id.bytes);
    bytes.U32(frame.length);
    bytes.U32(frame.crc);
  }
  bytes.U64(record.sections.size());
  for (const SectionCheck& section : record.sections) {
    bytes.U64(section.bytes);
    bytes.U64(section.records);
    bytes.U32(section.crc);
  }
  bytes.U32(Crc32(0, out.data() + from, out.size() - from));
}

namespace {

// The reader's bytes, kept for the record's own check value.
class Kept {
 public:
  explicit Kept(RecordReader& reader) : m_reader(reader) {}
  void Read(void* out, size_t n, const char* what) {
    m_reader.Read(out, n, what);
    const auto* bytes = static_cast<const uint8_t*>(out);
    m_bytes.insert(m_bytes.end(), bytes, bytes + n);
  }
  uint32_t U32(const char* what) {
    uint8_t raw[4];
    Read(raw, sizeof raw, what);
    return ondisk::Le32(raw);
  }
  uint64_t U64(const char* what) {
    uint8_t raw[8];
    Read(raw, sizeof raw, what);
    return ondisk::Le64(raw);
  }
  uint64_t Left() const { return m_reader.Left(); }
  uint32_t Crc() const { return Crc32(0, m_bytes.data(), m_bytes.size()); }
  RecordReader& Reader() { return m_reader; }

 private:
  RecordReader& m_reader;
  std::vector<uint8_t> m_bytes;
};

constexpr size_t kFrameCheckBytes = 16 + 4 + 4;
// A writer lists the six frames before its own; a few more leave room for
// frames of later builds.
constexpr uint32_t kMaxCheckedFrames = 64;
constexpr size_t kSectionCheckBytes = 8 + 8 + 4;

}  // namespace

CheckRecord DecodeChecks(RecordReader& reader) {
  Kept kept(reader);
  CheckRecord record;
  const uint32_t frames = kept.U32("checked frame count");
  // Each listed frame is looked for from the start of the file.
  if (frames > kMaxCheckedFrames || frames > kept.Left() / kFrameCheckBytes) {
    throw CRecordDamage{"checked frame count"};
  }
  record.frames.resize(frames);
  for (FrameCheck& frame : record.frames) {
    kept.Read(frame.id.bytes, sizeof frame.id.bytes, "checked frame");
    frame.length = kept.U32("checked frame length");
    frame.crc = kept.U32("frame check value");
  }
  const uint64_t sections = kept.U64("checked tree count");
  if (sections > kept.Left() / kSectionCheckBytes) throw CRecordDamage{"checked tree count"};
  record.sections.resize(sections);
  for (SectionCheck& section : record.sections) {
    section.bytes = kept.U64("tree bytes");
    section.records = kept.U64("tree records");
    section.crc = kept.U32("tree check value");
  }
  const uint32_t own = kept.Crc();
  if (reader.U32("check-frame check value") != own) throw CRecordDamage{"check-frame check value"};
  if (reader.Left() != 0) throw CRecordDamage{"bytes after the check values"};
  return record;
}

uint64_t LoadCodeOf(const tagGUIDSIGN& id) {
  if (id == _frFileSystemSearchControllerList) return 4;
  if (id == _frDiskDevice || id == _frVolumePlace || id == _frVolumeIdentity) return 5;
  if (id == _frFileSystemNode) return 7;
  return 3;
}

uint64_t MissingPromised(IRSData& archive, const PromiseRecord& promise) {
  for (const tagGUIDSIGN& id : promise.frames) {
    try {
      archive.OpenFrame(id);
      archive.CloseFrame();
    } catch (const CRSException&) {
      return LoadCodeOf(id);
    }
  }
  return 0;
}

namespace {

// Reads the open frame through, `piece` bytes at a time.
template <typename Sink>
void ReadThrough(IRSData& archive, uint32_t length, Sink&& sink) {
  std::vector<uint8_t> buffer(std::min<uint32_t>(length, 1u << 20));
  for (uint32_t at = 0; at < length;) {
    const uint32_t n = std::min<uint32_t>(length - at, static_cast<uint32_t>(buffer.size()));
    archive.ReadCurFrame(buffer.data(), n);
    sink(buffer.data(), n);
    at += n;
  }
}

// The trees frame, section by section: which sections pass their checks.
// A frame whose root count or length does not agree with the sections
// vouches for none of them.
void CheckTrees(IRSData& archive, const FrameCheck& frame, CheckVerdict& verdict) {
  const std::vector<SectionCheck>& sections = verdict.sections;
  verdict.treeSound.assign(sections.size(), false);
  uint64_t total = 8;
  for (const SectionCheck& section : sections) {
    if (__builtin_add_overflow(total, section.bytes, &total)) return;
  }
  if (total != frame.length || archive.GetFrameSize() != frame.length) return;
  uint8_t count[8] = {};
  size_t countHave = 0;
  size_t index = 0;
  uint64_t inSection = 0;
  uint32_t crc = 0;
  std::vector<uint32_t> crcs(sections.size(), 0);
  while (index < sections.size() && sections[index].bytes == 0) ++index;
  ReadThrough(archive, frame.length, [&](const uint8_t* data, size_t n) {
    while (n > 0 && countHave < sizeof count) {
      count[countHave++] = *data++;
      --n;
    }
    while (n > 0 && index < sections.size()) {
      const size_t take = static_cast<size_t>(std::min<uint64_t>(n, sections[index].bytes - inSection));
      crc = Crc32(crc, data, take);
      data += take;
      n -= take;
      inSection += take;
      if (inSection == sections[index].bytes) {
        crcs[index] = crc;
        crc = 0;
        inSection = 0;
        ++index;
        while (index < sections.size() && sections[index].bytes == 0) ++index;
      }
    }
  });
  if (ondisk::Le64(count) != sections.size()) return;
  for (size_t i = 0; i < sections.size(); ++i) verdict.treeSound[i] = crcs[i] == sections[i].crc;
}

}  // namespace

CheckVerdict VerifyChecks(IRSData& archive) {
  CheckVerdict verdict;
  CheckRecord record;
  try {
    archive.OpenFrame(_frCheckValues);
  } catch (const CRSException&) {
    return verdict;  // a file made before check values were kept
  }
  verdict.present = true;
  try {
    RecordReader reader(&archive);
    record = DecodeChecks(reader);
    archive.CloseFrame();
  } catch (const CRecordDamage&) {
    verdict.failure = 3;
    return verdict;
  } catch (const CRSException&) {
    verdict.failure = 3;
    return verdict;
  }
  verdict.sections = record.sections;
  verdict.treeSound.assign(record.sections.size(), false);
  bool treesListed = false;
  for (const FrameCheck& frame : record.frames) {
    const bool trees = frame.id == _frFileSystemNode;
    try {
      archive.OpenFrame(frame.id);
      if (trees) {
        treesListed = true;
        CheckTrees(archive, frame, verdict);
      } else {
        uint32_t crc = 0;
        if (archive.GetFrameSize() != frame.length) {
          verdict.failure = LoadCodeOf(frame.id);
        } else {
          ReadThrough(archive, frame.length, [&crc](const uint8_t* data, size_t n) { crc = Crc32(crc, data, n); });
          if (crc != frame.crc) verdict.failure = LoadCodeOf(frame.id);
        }
      }
      archive.CloseFrame();
    } catch (const CRSException&) {
      // Missing, or the file ends inside it.
      if (trees) {
        verdict.treeSound.assign(record.sections.size(), false);
      } else {
        verdict.failure = LoadCodeOf(frame.id);
      }
    }
    if (verdict.failure != 0) return verdict;
  }
  // A check frame that vouches for no trees frame vouches for no tree.
  if (!treesListed) verdict.treeSound.assign(record.sections.size(), false);
  return verdict;
}

}  // namespace SaveRestoreResult
