// What a saved scan result holds beyond its records (ScanResultRecords.h):
// who each tree's volume was, and check values over every frame.
//
//   frame _frVolumeIdentity (after the places): what each tree's volume
//   said of itself when the result was saved, one list per tree in the
//   order of the trees frame
//     u64 root count, then per root: u32 entry count, then per entry u64
//     where the volume's boot region begins, in bytes from the start of the
//     tree's volume (its place), u32 kind (IdentityKind), u32 value length
//     (at most 32), the value's bytes.
//   A tree gets one entry per partition record (at most
//   kMaxIdentitiesPerRoot), and none when its volume's place is not known.
//   The kinds: a FAT volume's serial (4 bytes, from the extended boot
//   record), an exFAT volume's serial (4), an NTFS volume's serial number
//   (8), an HFS+ volume's creation date and the identifier its finder
//   information carries (4 + 8); a region that says none of these (a volume
//   found from its folders, the carver's tree) gets a fingerprint of the 4
//   KiB where its data area begins instead, data a scan never writes.
//
//   frame _frCheckValues (last): CRC-32 (zlib's) over every other frame
//     u32 frame count, then per frame: 16-byte GUID, u32 payload length,
//     u32 CRC-32 of the payload; then u64 root count and per root of the
//     trees frame: u64 the bytes of its section (from its section tag to
//     its end marker), u64 its records (the root's and every file's), u32
//     CRC-32 of the section; last, u32 CRC-32 of everything before it in
//     this frame.
//   The sections follow the trees frame's 8-byte root count one after the
//   other, so that a tree whose section fails its check is passed over by
//   its length, and the trees around it still load.
//
// Files made before either frame existed have neither, and load as before,
// with a warning that their volumes cannot be verified; a file whose first
// frame promises them (_frPromisedFrames, ScanResultRecords.h) and lacks
// them is damaged. Builds that do not know them skip them: frames are found
// by GUID, and the walk from one frame header to the next passes over any
// frame.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "app/ScanResultRecords.h"

class IRSData;
class IStorageDevice;

namespace SaveRestoreResult {

inline constexpr tagGUIDSIGN _frVolumeIdentity = {
    {0x60, 0xE8, 0x6B, 0x77, 0x0A, 0xD4, 0x49, 0xEB, 0x97, 0xCB, 0x42, 0xF9, 0x5D, 0x9F, 0x02, 0xEC}};
inline constexpr tagGUIDSIGN _frCheckValues = {
    {0x23, 0x2D, 0xB3, 0x31, 0xB2, 0xCF, 0x45, 0x79, 0xB7, 0xAE, 0x22, 0x7F, 0xFE, 0xDB, 0x9C, 0x7A}};

enum class IdentityKind : uint32_t {
  kFat = 1,
  kExfat = 2,
  kNtfs = 3,
  kHfsPlus = 4,
  kFingerprint = 5,
};

inline constexpr uint32_t kMaxIdentityBytes = 32;
// A deep scan may keep hundreds of partition candidates in one tree; a load
// reads one region per entry.
inline constexpr uint32_t kMaxIdentitiesPerRoot = 64;
// The bytes read at a boot region (an HFS+ volume header lies at 1024) and
// fingerprinted at a data area.
inline constexpr uint32_t kIdentityRegionBytes = 4096;

struct VolumeIdentity {
  uint64_t offset = 0;  // bytes from the start of the tree's volume
  uint32_t kind = 0;    // an IdentityKind
  std::vector<uint8_t> value;
  friend bool operator==(const VolumeIdentity&, const VolumeIdentity&) = default;
};

struct IdentityRecord {
  std::vector<std::vector<VolumeIdentity>> roots;  // one list per tree
};

// What a boot region says of its volume: false when it is none of the file
// systems that name themselves.
bool IdentityOf(const uint8_t* region, size_t size, VolumeIdentity& out);
// The fingerprint of a data area's bytes.
std::vector<uint8_t> Fingerprint(const uint8_t* data, size_t size);

// Up to `size` bytes of `device` from byte `offset` (whole sectors are
// read); false when the range lies outside the device or a read fails.
// Fewer bytes when the device ends first.
bool ReadBytes(IStorageDevice* device, uint64_t offset, size_t size, std::vector<uint8_t>& out);

// The identity of the volume whose boot region lies at `bootOffset` on
// `device` and whose data area begins at `dataOffset`: what the boot region
// says, else the data area's fingerprint (taken at `dataOffset`). False when
// neither could be read. Offsets on `device` are `base` + the record's.
bool ReadIdentity(IStorageDevice* device, uint64_t base, uint64_t bootOffset, uint64_t dataOffset, VolumeIdentity& out);
// Whether what `device` holds at `base` + `saved.offset` is still the volume
// `saved` describes; an unreadable region is not.
bool SameVolume(IStorageDevice* device, uint64_t base, const VolumeIdentity& saved);

void EncodeIdentity(const IdentityRecord& record, std::vector<uint8_t>& out);
// Throws CRecordDamage when the record does not fit its frame.
IdentityRecord DecodeIdentity(RecordReader& reader);

// The check values of one frame.
struct FrameCheck {
  tagGUIDSIGN id{};
  uint32_t length = 0;
  uint32_t crc = 0;
};
// The check values of one tree's section.
struct SectionCheck {
  uint64_t bytes = 0;
  uint64_t records = 0;
  uint32_t crc = 0;
};
struct CheckRecord {
  std::vector<FrameCheck> frames;
  std::vector<SectionCheck> sections;
};

uint32_t Crc32(uint32_t crc, const uint8_t* data, size_t size);

void EncodeChecks(const CheckRecord& record, std::vector<uint8_t>& out);
// Throws CRecordDamage when the record does not fit its frame or fails its
// own check value.
CheckRecord DecodeChecks(RecordReader& reader);

// What the check values of a file vouch for.
struct CheckVerdict {
  bool present = false;  // the file carries check values
  // Non-zero: the load ends with this code (a damaged check frame, or a
  // frame the load needs whole that is missing or fails its check).
  uint64_t failure = 0;
  // Per tree, in the order of the trees frame: whether its section passed
  // its check, its length and its records.
  std::vector<bool> treeSound;
  std::vector<SectionCheck> sections;
};

// The load's code for a frame it needs whole that is missing or damaged:
// kLoadBadScanKind, kLoadBadDevice (the device, its places and identities),
// kLoadDamagedTrees (the trees frame), else kLoadBadHeader.
uint64_t LoadCodeOf(const tagGUIDSIGN& id);
// The code of the first frame `promise` lists that the file does not hold
// (LoadCodeOf), 0 when it holds all of them (the archive must be open in
// read mode; no frame is left open).
uint64_t MissingPromised(IRSData& archive, const PromiseRecord& promise);

// Reads every frame the check frame lists and compares it with its check
// values (the archive must be open in read mode; no frame is left open).
// Without a check frame, nothing is vouched for and nothing refused.
CheckVerdict VerifyChecks(IRSData& archive);

}  // namespace SaveRestoreResult
