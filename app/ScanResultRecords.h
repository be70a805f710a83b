// The records of a saved scan result (an ".rsf" file): what goes into the
// frames of the archive container (archive/RSData.h), byte for byte.
//
// Every payload is little-endian and packed. Text is its byte count (u32)
// followed by that many bytes of UTF-8, without a terminator. Times are
// _FILETIME values as the nodes report them.
//
//   frame _frPromisedFrames (first; files made before it was added have
//   none, and builds that do not know it skip it): the frames that must
//   follow, so that a file cut short or stripped of one is never taken for
//   a file made before that frame existed
//     u32 frame count (at most kMaxPromisedFrames), then that many 16-byte
//     GUIDs (a writer promises _frVolumePlace, _frVolumeIdentity and
//     _frCheckValues; a reader requires every frame listed, known to it or
//     not)
//   frame _frFileSystemSearchControllerList: the scan kind
//     u32 8 (the length of what follows), u32 controller type, u32 deep flag
//   frame _frDiskDevice: the scanned device
//     u64 capacity, i32 disk index, i32 volume index (-1: a whole disk),
//     i32 file-system type (-1: a whole disk), text name (at most 4095 bytes)
//   frame _frFileSystemNode: the trees
//     u64 root count, then per root: u32 1, the system record, u32 partition
//     count, that many partition entries, then u32 0 + a file record per node
//     (breadth-first below the root), and u32 0xFFFFFFFF.
//
//   file record (88 bytes + 16 per run + the name):
//     i64 node ID, i64 parent node ID, u64 size, u16 attribute, u64 creation,
//     modification and last-access time, u32 folder flag, u32 deleted flag,
//     u32 run count, u32 resident flag, runs (i64 start cluster, negative for
//     a sparse run; u64 length in clusters), text name (at most 65535 bytes),
//     u32 shown flag (bit 0 shown; bit 1 the scan could not vouch for the
//     file's runs, bit 2 its size was cut to its runs: the copy of either is
//     reported incomplete), u16 partition index, i64 metadata sector, u32
//     compressed flag
//   system record: a file record of the root, u32 searcher type, text volume
//     name (at most 511 bytes)
//   partition entry: u32 kind (0 NTFS, 1 FAT, 4 any other; readers accept 0
//     to 4), then the 104-byte record of SearchedPartitionInfo.h
//   frame _frVolumePlace (after the trees; files made before it was added
//   have none, and builds that do not know it skip it): where the scanned
//   device and each tree's volume lie
//     u32 the length of the device part (20 + the name's bytes), i64 where
//     the scanned device begins on its disk in the disk's sectors (0 for a
//     whole disk, -1 when unknown), u64 the disk's capacity in bytes, text
//     the disk's name (at most 4095 bytes); then u64 root count and
//     per root, in the order of the trees frame, i64 where the volume the
//     tree was read from begins on the scanned device, in its sectors (-1
//     when unknown), and u64 that volume's sector count.
//   frames _frVolumeIdentity and _frCheckValues (last; see
//   ScanResultChecks.h): what each tree's volume said of itself, and CRC-32
//   check values over every frame and every tree's section.
//   The partition records of a tree count from the start of its volume, not
//   of the scanned device: a whole disk is scanned volume by volume, so
//   without the placement a loaded tree cannot tell which of the disk's
//   volumes its runs belong to.
//
// Writers cut names that are too long on a character boundary, so that
// everything they write reads back. Readers treat a saved file as hostile:
// every count and length is checked against what is left of its frame and
// read exactly, and anything that does not fit is damage (CRecordDamage).
// Records that fit are then judged as a scan judges the disk, against the
// device the result is loaded on (PartitionFits, RestoreFileNode::Judge):
// what is impossible is left out or cut, and counted (LoadDamage).
// Counts of runs and partitions have no limit of their own beyond that: a
// heavily fragmented file and a deep scan with many partition candidates
// round-trip.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "EngineTypes.h"
#include "SearchedPartitionInfo.h"
#include "archive/RSData.h"

class IFileNode;
class IFilesystemNode;
class IStorageDevice;

namespace SaveRestoreResult {

inline constexpr tagGUIDSIGN _frFileSystemSearchControllerList = {
    {0x94, 0x63, 0x9B, 0x40, 0x81, 0xF6, 0x88, 0x4E, 0xA2, 0x0F, 0x5D, 0x63, 0x57, 0x82, 0xED, 0x75}};
inline constexpr tagGUIDSIGN _frDiskDevice = {
    {0x76, 0xA6, 0x72, 0xB0, 0x48, 0x05, 0x8B, 0x46, 0xBA, 0x9E, 0x91, 0x09, 0x3A, 0x63, 0xB5, 0x17}};
inline constexpr tagGUIDSIGN _frFileSystemNode = {
    {0x6C, 0xF2, 0x08, 0xD2, 0x8C, 0x07, 0x34, 0x4E, 0x9D, 0x71, 0xD9, 0x1F, 0x53, 0x5F, 0x7B, 0x57}};

// Where the scanned device and the volume of each tree lie.
inline constexpr tagGUIDSIGN _frVolumePlace = {
    {0x3E, 0x1B, 0x7A, 0x52, 0xC4, 0x09, 0x4D, 0x8F, 0xB6, 0x21, 0x5A, 0xE3, 0x90, 0x4C, 0x17, 0xD8}};
// The frames a file must hold beyond the first three.
inline constexpr tagGUIDSIGN _frPromisedFrames = {
    {0xC5, 0xF7, 0x28, 0x7A, 0xDD, 0xC0, 0x41, 0xD6, 0xB3, 0x88, 0xFB, 0x81, 0xC7, 0xFE, 0x9F, 0xD4}};

inline constexpr uint32_t kScanKindLength = 8;
// The fixed part of the place frame's device part.
inline constexpr uint32_t kPlaceDeviceBytes = 20;
inline constexpr size_t kPlaceRootBytes = 16;
inline constexpr uint32_t kSectionTag = 1;
inline constexpr uint32_t kFileEntryTag = 0;
inline constexpr uint32_t kEndMarker = 0xFFFFFFFF;
inline constexpr uint32_t kMaxDeviceNameBytes = 4095;
inline constexpr uint32_t kMaxFileNameBytes = 65535;
// The bits of a file record's shown flag.
inline constexpr uint32_t kShownFlag = 1;
inline constexpr uint32_t kContentUnsureFlag = 2;
inline constexpr uint32_t kSizeDamagedFlag = 4;
inline constexpr uint32_t kMaxVolumeNameBytes = 511;
inline constexpr uint32_t kMaxPartitionKind = 4;
// Nodes name their partition in 16 bits, and copy-out takes no more.
inline constexpr uint32_t kMaxPartitions = 0xFFFF;
inline constexpr size_t kPartitionEntryBytes = 4 + CSearchedPartitionInfo::kRecordSize;
inline constexpr size_t kRunBytes = 16;
inline constexpr uint32_t kMaxPromisedFrames = 16;

struct ScanKindRecord {
  uint32_t controllerType = 3;  // _RECOVERY_CONTROLLER_TYPE; 3 none
  uint32_t deep = 0;
};

struct DeviceRecord {
  uint64_t capacity = 0;  // bytes
  int32_t diskIndex = -1;
  int32_t volumeIndex = -1;  // -1 for a whole disk
  int32_t fileSystem = -1;   // enumFILE_SYSTEM_TYPE of a volume; -1 for a whole disk
  std::string name;          // a disk's registry name, a volume's name
};

// Where a volume lies on the scanned device, in that device's sectors.
struct VolumePlace {
  int64_t start = -1;  // -1: not known
  uint64_t sectors = 0;
  friend bool operator==(const VolumePlace&, const VolumePlace&) = default;
};

// The frames a file promises to hold.
struct PromiseRecord {
  std::vector<tagGUIDSIGN> frames;
};

struct PlaceRecord {
  int64_t deviceStart = -1;        // where the scanned device begins on its disk; 0 for a disk
  uint64_t diskCapacity = 0;       // bytes
  std::string diskName;            // the disk's registry name (what the device list shows)
  std::vector<VolumePlace> roots;  // one per tree, in the trees frame's order
};

// Damage found in a saved file: a record that does not fit its frame, a count
// or length out of range, an unknown tag. `what` names the field.
struct CRecordDamage {
  const char* what;
};

// The reopened device a loaded tree's records are judged against: where
// they may place data. 0 bytes when there is none (nothing is judged
// against it).
struct DeviceExtent {
  uint64_t bytes = 0;
  uint64_t sectors = 0;
  uint32_t sectorSize = 0;
};
DeviceExtent ExtentOf(IStorageDevice* device);

// What becomes of a record that a load judged.
enum class RecordVerdict {
  kSound,
  kCut,      // taken, repaired: runs or size cut to what the device holds, a time out of range dropped
  kLeftOut,  // impossible as it stands: not taken
};

// What a load left out or cut: records judged impossible, records cut to
// what their runs hold, and the bytes of the trees frame that could not be
// read at all (the frame ended in damage). Counted once per record, however
// many volumes replay it.
struct LoadDamage {
  uint64_t leftOut = 0;
  uint64_t cut = 0;
  uint64_t unreadBytes = 0;
  bool Any() const { return leftOut != 0 || cut != 0 || unreadBytes != 0; }
};

// Whether a partition record can place a volume on the device: a cluster
// copy-out can read in, and a volume and a data area that begin on the
// device. A volume that runs past the device's end (an image cut short)
// still fits: its files' runs are judged one by one.
bool PartitionFits(const CSearchedPartitionInfo& partition, const DeviceExtent& device);

// The longest prefix of `text` of at most `bytes` bytes that does not end
// inside a UTF-8 sequence.
std::string_view CutUtf8(std::string_view text, size_t bytes);

// Appends little-endian fields to a byte vector.
class RecordBytes {
 public:
  explicit RecordBytes(std::vector<uint8_t>& out) : m_out(out) {}
  void U16(uint16_t value) { Le(value, 2); }
  void U32(uint32_t value) { Le(value, 4); }
  void U64(uint64_t value) { Le(value, 8); }
  void I32(int32_t value) { Le(static_cast<uint32_t>(value), 4); }
  void I64(int64_t value) { Le(static_cast<uint64_t>(value), 8); }
  // The byte count and the bytes of `text`, cut to `maxBytes`.
  void Text(std::string_view text, size_t maxBytes);
  void Raw(const void* data, size_t n);

 private:
  void Le(uint64_t value, int bytes);
  std::vector<uint8_t>& m_out;
};

void EncodeScanKind(const ScanKindRecord& record, std::vector<uint8_t>& out);
void EncodeDevice(const DeviceRecord& record, std::vector<uint8_t>& out);
void EncodePlace(const PlaceRecord& record, std::vector<uint8_t>& out);
void EncodePromise(const PromiseRecord& record, std::vector<uint8_t>& out);
// The file record of `node`. A node that is no CFileNode is written without
// runs, partition and metadata sector.
void EncodeFileRecord(IFileNode* node, std::vector<uint8_t>& out);
// The system record of a tree's root.
void EncodeSystemRecord(IFilesystemNode* root, std::vector<uint8_t>& out);
void EncodePartitionEntry(const CSearchedPartitionInfo& partition, std::vector<uint8_t>& out);

// Writes `bytes` into the archive's open frame; false when the archive did
// not take them (the archive's own failures also throw CRSException).
bool WriteRecord(IRSData* archive, const std::vector<uint8_t>& bytes);

// Reads the open frame of an archive in read mode exactly: a field that
// reaches past the frame is damage, and a file that ends before its frame
// does makes the archive throw CRSException.
class RecordReader {
 public:
  // The archive's frame must be open; its length is taken now.
  explicit RecordReader(IRSData* archive);

  uint64_t Left() const { return m_left; }
  void Read(void* out, size_t n, const char* what);
  uint16_t U16(const char* what);
  uint32_t U32(const char* what);
  uint64_t U64(const char* what);
  int32_t I32(const char* what) { return static_cast<int32_t>(U32(what)); }
  int64_t I64(const char* what) { return static_cast<int64_t>(U64(what)); }
  // `n` bytes as text; damage when `n` is above `maxBytes` or past the frame.
  std::string Text(uint32_t n, uint32_t maxBytes, const char* what);

 private:
  IRSData* m_archive;
  uint64_t m_left;
};

// Each throws CRecordDamage when the record is damaged.
ScanKindRecord DecodeScanKind(RecordReader& reader);
DeviceRecord DecodeDevice(RecordReader& reader);
// A root count the frame cannot hold is damage before anything is allocated.
PlaceRecord DecodePlace(RecordReader& reader);
PromiseRecord DecodePromise(RecordReader& reader);
// A plain partition record (whatever its kind) without private data.
std::unique_ptr<CSearchedPartitionInfo> DecodePartitionEntry(RecordReader& reader);

}  // namespace SaveRestoreResult
