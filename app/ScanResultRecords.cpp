#include "app/ScanResultRecords.h"

#include <algorithm>
#include <cstring>

#include "DataRunList.h"
#include "FileNode.h"
#include "OnDiskBytes.h"
#include "StorageDevice.h"

namespace SaveRestoreResult {

DeviceExtent ExtentOf(IStorageDevice* device) {
  DeviceExtent extent;
  if (device == nullptr) return extent;
  const int64_t sectors = device->GetTotalSectors();
  const uint32_t sectorSize = device->GetSectorSize();
  uint64_t bytes;
  if (sectors <= 0 || sectorSize == 0 ||
      __builtin_mul_overflow(static_cast<uint64_t>(sectors), uint64_t{sectorSize}, &bytes)) {
    return extent;
  }
  extent.bytes = bytes;
  extent.sectors = static_cast<uint64_t>(sectors);
  extent.sectorSize = sectorSize;
  return extent;
}

bool PartitionFits(const CSearchedPartitionInfo& partition, const DeviceExtent& device) {
  const uint64_t sectorSize = partition.GetSectorSize();
  const uint64_t clusterBytes = uint64_t{partition.GetSectorsperCluster()} * sectorSize;
  if (clusterBytes == 0 || clusterBytes > UINT32_MAX) return false;
  if (partition.GetFirstDataSector() < 0 || partition.GetStartSector() < 0) return false;
  if (device.bytes == 0) return true;
  for (const int64_t sector : {partition.GetFirstDataSector(), partition.GetStartSector()}) {
    uint64_t byte;
    if (__builtin_mul_overflow(static_cast<uint64_t>(sector), sectorSize, &byte) || byte >= device.bytes) return false;
  }
  return true;
}

std::string_view CutUtf8(std::string_view text, size_t bytes) {
  if (text.size() <= bytes) return text;
  size_t end = bytes;
  while (end > 0 && (static_cast<unsigned char>(text[end]) & 0xC0) == 0x80) --end;
  return text.substr(0, end);
}

void RecordBytes::Le(uint64_t value, int bytes) {
  for (int i = 0; i < bytes; ++i) m_out.push_back(static_cast<uint8_t>(value >> (8 * i)));
}

void RecordBytes::Text(std::string_view text, size_t maxBytes) {
  const std::string_view kept = CutUtf8(text, maxBytes);
  U32(static_cast<uint32_t>(kept.size()));
  Raw(kept.data(), kept.size());
}

void RecordBytes::Raw(const void* data, size_t n) {
  const auto* bytes = static_cast<const uint8_t*>(data);
  m_out.insert(m_out.end(), bytes, bytes + n);
}

void EncodeScanKind(const ScanKindRecord& record, std::vector<uint8_t>& out) {
  RecordBytes bytes(out);
  bytes.U32(kScanKindLength);
  bytes.U32(record.controllerType);
  bytes.U32(record.deep);
}

void EncodeDevice(const DeviceRecord& record, std::vector<uint8_t>& out) {
  RecordBytes bytes(out);
  bytes.U64(record.capacity);
  bytes.I32(record.diskIndex);
  bytes.I32(record.volumeIndex);
  bytes.I32(record.fileSystem);
  bytes.Text(record.name, kMaxDeviceNameBytes);
}

void EncodePromise(const PromiseRecord& record, std::vector<uint8_t>& out) {
  RecordBytes bytes(out);
  const size_t count = std::min<size_t>(record.frames.size(), kMaxPromisedFrames);
  bytes.U32(static_cast<uint32_t>(count));
  for (size_t i = 0; i < count; ++i) bytes.Raw(record.frames[i].bytes, sizeof record.frames[i].bytes);
}

void EncodePlace(const PlaceRecord& record, std::vector<uint8_t>& out) {
  RecordBytes bytes(out);
  const std::string_view name = CutUtf8(record.diskName, kMaxDeviceNameBytes);
  bytes.U32(static_cast<uint32_t>(kPlaceDeviceBytes + name.size()));
  bytes.I64(record.deviceStart);
  bytes.U64(record.diskCapacity);
  bytes.Text(name, kMaxDeviceNameBytes);
  bytes.U64(record.roots.size());
  for (const VolumePlace& root : record.roots) {
    bytes.I64(root.start);
    bytes.U64(root.sectors);
  }
}

void EncodeFileRecord(IFileNode* node, std::vector<uint8_t>& out) {
  RecordBytes bytes(out);
  auto* base = dynamic_cast<CFileNode*>(node);
  bytes.I64(node->GetCurrentNodeID());
  bytes.I64(node->GetParentNodeID());
  bytes.U64(node->GetFileSize());
  bytes.U16(static_cast<uint16_t>(node->GetAttribute()));
  bytes.U64(node->GetCreationTime());
  bytes.U64(node->GetModificationTime());
  bytes.U64(node->GetLastAccessTime());
  bytes.U32(node->IsDirectory() != 0 ? 1 : 0);
  bytes.U32(static_cast<uint32_t>(node->IsDeleted()));
  IDataRunList* list = base != nullptr ? base->GetDataRunList() : nullptr;
  // The count goes first: the runs are counted while they are written.
  const size_t countAt = out.size();
  bytes.U32(0);
  bytes.U32(list != nullptr && list->IsResident() != 0 ? 1 : 0);
  uint32_t runs = 0;
  if (list != nullptr) {
    for (const DataRun* run = list->GetFirst(); run != nullptr && runs < UINT32_MAX; run = list->GetNext()) {
      bytes.I64(run->start);
      bytes.I64(run->length);
      ++runs;
    }
  }
  for (int i = 0; i < 4; ++i) out[countAt + i] = static_cast<uint8_t>(runs >> (8 * i));
  const char* name = node->GetFileName();
  bytes.Text(name != nullptr ? std::string_view(name) : std::string_view(), kMaxFileNameBytes);
  // The shown flag's upper bits keep what the scan could not vouch for, so
  // that a loaded result says of a copy what the scan said of it.
  uint32_t shown = node->IsNodeShow() != 0 ? kShownFlag : 0;
  if (base != nullptr && base->IsContentUnsure()) shown |= kContentUnsureFlag;
  if (base != nullptr && base->IsSizeDamaged()) shown |= kSizeDamagedFlag;
  bytes.U32(shown);
  bytes.U16(base != nullptr ? base->GetBelongedPartition() : 0xFFFF);
  bytes.I64(base != nullptr ? base->GetMetadataStartPosition() : -1);
  bytes.U32(node->IsCompressed() != 0 ? 1 : 0);
}

void EncodeSystemRecord(IFilesystemNode* root, std::vector<uint8_t>& out) {
  EncodeFileRecord(root, out);
  RecordBytes bytes(out);
  bytes.U32(static_cast<uint32_t>(root->GetSearcheType()));
  const char* volume = root->GetVolumeName();
  bytes.Text(volume != nullptr ? std::string_view(volume) : std::string_view(), kMaxVolumeNameBytes);
}

void EncodePartitionEntry(const CSearchedPartitionInfo& partition, std::vector<uint8_t>& out) {
  RecordBytes bytes(out);
  bytes.U32(static_cast<uint32_t>(partition.GetType()));
  uint8_t record[CSearchedPartitionInfo::kRecordSize];
  partition.WriteRecord(record);
  bytes.Raw(record, sizeof record);
}

bool WriteRecord(IRSData* archive, const std::vector<uint8_t>& bytes) {
  if (bytes.empty()) return true;
  return archive->WriteCurFrame(bytes.data(), static_cast<unsigned int>(bytes.size())) == 1;
}

RecordReader::RecordReader(IRSData* archive) : m_archive(archive), m_left(archive->GetFrameSize()) {}

void RecordReader::Read(void* out, size_t n, const char* what) {
  if (n > m_left) throw CRecordDamage{what};
  // The frame's length is checked, not the file's: a file that ends early
  // makes the archive throw.
  m_archive->ReadCurFrame(out, static_cast<unsigned int>(n));
  m_left -= n;
}

uint16_t RecordReader::U16(const char* what) {
  uint8_t raw[2];
  Read(raw, sizeof raw, what);
  return ondisk::Le16(raw);
}

uint32_t RecordReader::U32(const char* what) {
  uint8_t raw[4];
  Read(raw, sizeof raw, what);
  return ondisk::Le32(raw);
}

uint64_t RecordReader::U64(const char* what) {
  uint8_t raw[8];
  Read(raw, sizeof raw, what);
  return ondisk::Le64(raw);
}

std::string RecordReader::Text(uint32_t n, uint32_t maxBytes, const char* what) {
  if (n > maxBytes || n > m_left) throw CRecordDamage{what};
  std::string text(n, '\0');
  Read(text.data(), n, what);
  return text;
}

ScanKindRecord DecodeScanKind(RecordReader& reader) {
  if (reader.U32("scan-kind length") != kScanKindLength) throw CRecordDamage{"scan-kind length"};
  ScanKindRecord record;
  record.controllerType = reader.U32("controller type");
  record.deep = reader.U32("deep flag");
  return record;
}

DeviceRecord DecodeDevice(RecordReader& reader) {
  DeviceRecord record;
  record.capacity = reader.U64("capacity");
  record.diskIndex = reader.I32("disk index");
  record.volumeIndex = reader.I32("volume index");
  record.fileSystem = reader.I32("file-system type");
  const uint32_t length = reader.U32("device-name length");
  record.name = reader.Text(length, kMaxDeviceNameBytes, "device name");
  return record;
}

PlaceRecord DecodePlace(RecordReader& reader) {
  const uint32_t length = reader.U32("placement length");
  PlaceRecord record;
  record.deviceStart = reader.I64("device start");
  record.diskCapacity = reader.U64("disk capacity");
  const uint32_t nameLength = reader.U32("disk-name length");
  if (length != kPlaceDeviceBytes + uint64_t{nameLength}) throw CRecordDamage{"placement length"};
  record.diskName = reader.Text(nameLength, kMaxDeviceNameBytes, "disk name");
  const uint64_t roots = reader.U64("placement count");
  if (roots > reader.Left() / kPlaceRootBytes) throw CRecordDamage{"placement count"};
  record.roots.reserve(roots);
  for (uint64_t i = 0; i < roots; ++i) {
    VolumePlace place;
    place.start = reader.I64("volume start");
    place.sectors = reader.U64("volume sectors");
    if (place.start < -1) throw CRecordDamage{"volume start"};
    record.roots.push_back(place);
  }
  return record;
}

PromiseRecord DecodePromise(RecordReader& reader) {
  PromiseRecord record;
  const uint32_t count = reader.U32("promised frame count");
  if (count > kMaxPromisedFrames || uint64_t{count} * sizeof(tagGUIDSIGN::bytes) != reader.Left()) {
    throw CRecordDamage{"promised frame count"};
  }
  record.frames.resize(count);
  for (tagGUIDSIGN& frame : record.frames) reader.Read(frame.bytes, sizeof frame.bytes, "promised frame");
  return record;
}

std::unique_ptr<CSearchedPartitionInfo> DecodePartitionEntry(RecordReader& reader) {
  if (reader.U32("partition kind") > kMaxPartitionKind) throw CRecordDamage{"partition kind"};
  uint8_t record[CSearchedPartitionInfo::kRecordSize];
  reader.Read(record, sizeof record, "partition record");
  auto partition = std::make_unique<CSearchedPartitionInfo>(512);
  partition->ReadRecord(record);
  return partition;
}

}  // namespace SaveRestoreResult
