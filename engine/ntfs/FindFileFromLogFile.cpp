#include "ntfs/FindFileFromLogFile.h"

#include <algorithm>
#include <cstring>
#include <memory>
#include <new>

#include "OnDiskBytes.h"
#include "StorageDevice.h"
#include "ntfs/CompressedDataRunList.h"
#include "ntfs/NTFSBytes.h"
#include "ntfs/NTFSDataRunList.h"
#include "ntfs/NTFSFileProperties.h"
#include "ntfs/NTFSFilePropertiesBuilder.h"
#include "ntfs/NTFSFileRecord.h"
#include "ntfs/NTFSFileRecordAnalyzer.h"
#include "ntfs/NTFSFileRecordAttribute.h"
#include "ntfs/RCRDRecord.h"

using ondisk::Le16;
using ondisk::Le32;
using ondisk::Le64;

namespace {

constexpr uint64_t kPage = CFindFileFromLogFile::kPageSize;
constexpr uint64_t kPageData = kPage - CFindFileFromLogFile::kPageHeaderSize;
constexpr uint64_t kHeader = CFindFileFromLogFile::kRecordHeaderSize;

// Record pages: the last LSN that starts in (or passes through) the page, and
// the last LSN that ends in it. They differ when the page's last record goes
// on into the next page.
constexpr int kPageLastLsn = 0x08;
constexpr int kPageLastEndLsn = 0x20;
// Pages 0-3 are the restart area and its copies.
constexpr uint64_t kFirstRecordPage = 4;

// Log-record header fields.
constexpr int kClientDataLength = 0x18;
constexpr int kRecordType = 0x20;
constexpr uint32_t kClientRecord = 1;
// Client-data fields, from the start of the log record.
constexpr int kUndoOperation = 0x32;
constexpr int kRedoOffset = 0x34;
constexpr int kRedoLength = 0x36;
constexpr int kUndoOffset = 0x38;
constexpr int kUndoLength = 0x3A;
constexpr int kRecordOffset = 0x40;
constexpr int kAttributeOffset = 0x42;
constexpr int kClusterBlockOffset = 0x44;
constexpr int kTargetVCN = 0x48;
constexpr uint64_t kClientHeaderEnd = 0x50;

// Operations whose undo data are bytes of an attribute in a FILE record, put
// back in place: the three sizes of a non-resident attribute, and its
// mapping pairs.
constexpr uint16_t kUpdateMappingPairs = 0x09;
constexpr uint16_t kSetNewAttributeSizes = 0x0B;

// A FILE image shorter than this holds no attribute worth reading.
constexpr size_t kMinImageBytes = 73;
// Undo data never rewrites the attribute's type, length, form and name fields.
constexpr uint16_t kFirstUndoableByte = 0x10;
// Room kept after rebuilt attributes for the end marker.
constexpr int kEndMarkerRoom = 8;

constexpr size_t kReadChunkBytes = 1024 * 1024;

uint64_t Align8(uint64_t v) { return (v + 7) & ~uint64_t{7}; }

void StoreU32(uint8_t* p, uint32_t v) {
  for (int i = 0; i < 4; ++i) p[i] = static_cast<uint8_t>(v >> (8 * i));
}

// Unnamed non-resident $DATA instances of a record, with their offsets; only
// attributes wholly inside the record.
std::vector<uint32_t> DataAttributeOffsets(const uint8_t* record, int bytes) {
  std::vector<uint32_t> out;
  if (bytes < 48) return out;
  uint32_t at = CNTFSFileRecord::GetFirstAttibuteOffset(record);
  while (at >= 24 && uint64_t{at} + 16 <= uint64_t(bytes)) {
    const uint32_t type = Le32(record + at);
    if (type == ntfs_record::kEndMarker) break;
    const uint32_t length = Le32(record + at + 4);
    if (length < 16 || length % 8 != 0 || uint64_t{at} + length > uint64_t(bytes)) break;
    if (type == ntfs_record::kData && record[at + 8] != 0 && record[at + 9] == 0) out.push_back(at);
    at += length;
  }
  return out;
}

}  // namespace

CFindFileFromLogFile::CFindFileFromLogFile() = default;

CFindFileFromLogFile::~CFindFileFromLogFile() { Reset(); }

void CFindFileFromLogFile::FreeFoundRecords() {
  for (FoundRecord& found : m_foundRecords) CNTFSFileProperties::Destory(found.properties);
  m_foundRecords.clear();
}

void CFindFileFromLogFile::Reset() {
  m_device = nullptr;
  m_mftRuns = nullptr;
  m_found = false;
  m_analysed = false;
  m_logRuns.clear();
  FreeFoundRecords();
  m_undoRecords.clear();
  m_undoRecords.shrink_to_fit();
  m_walkedPages = 0;
  m_examinedRecords = 0;
}

// ---- locating and reading the log ------------------------------------------

bool CFindFileFromLogFile::ReadBytes(int64_t byteOffset, uint8_t* out, size_t bytes) {
  if (m_device == nullptr || byteOffset < 0 || m_sectorSize == 0) return false;
  const int64_t first = byteOffset / m_sectorSize;
  const int64_t skip = byteOffset % m_sectorSize;
  const int64_t count = (skip + static_cast<int64_t>(bytes) + m_sectorSize - 1) / m_sectorSize;
  const int64_t total = m_device->GetTotalSectors();
  if (first >= total || count > total - first) return false;
  std::vector<uint8_t> sectors;
  try {
    sectors.assign(size_t(count) * m_sectorSize, 0);
  } catch (const std::bad_alloc&) {
    return false;
  }
  if (m_device->ReadSector(sectors.data(), first, count) == 0) return false;
  std::memcpy(out, sectors.data() + skip, bytes);
  return true;
}

bool CFindFileFromLogFile::Init(IStorageDevice* device, const CNTFSDataRunList* mftRuns, uint8_t sectorsPerCluster,
                                int64_t volumeStartSector, uint32_t fileRecordBytes) {
  Reset();
  if (device == nullptr || mftRuns == nullptr) return false;
  m_device = device;
  m_mftRuns = mftRuns;
  m_sectorsPerCluster = sectorsPerCluster != 0 ? sectorsPerCluster : 8;
  m_sectorSize = device->GetSectorSize();
  m_volumeStartSector = volumeStartSector;
  m_fileRecordBytes = fileRecordBytes;
  if (m_sectorSize == 0 || m_sectorSize % 512 != 0 || fileRecordBytes < 1024 ||
      fileRecordBytes > uint32_t(ntfs_record::kMaxRecordSize) || volumeStartSector < 0) {
    return false;
  }

  // The $LogFile is MFT record 2, found through the table's own runs so that
  // any cluster, sector and record size places it right.
  const int64_t clusterBytes = int64_t{m_sectorsPerCluster} * m_sectorSize;
  const int64_t inTable = 2 * int64_t{fileRecordBytes};
  const int64_t lcn = mftRuns->GetLCN(inTable / clusterBytes);
  if (lcn < 0) return false;
  // Records smaller than a cluster lie inside one; larger ones span
  // clusters that must follow each other on the volume.
  const int64_t recordClusters = (fileRecordBytes + clusterBytes - 1) / clusterBytes;
  for (int64_t k = 1; k < recordClusters; ++k) {
    if (mftRuns->GetLCN(inTable / clusterBytes + k) != lcn + k) return false;
  }
  int64_t at;
  if (__builtin_mul_overflow(lcn, clusterBytes, &at) ||
      __builtin_add_overflow(at, volumeStartSector * int64_t{m_sectorSize} + inTable % clusterBytes, &at)) {
    return false;
  }
  std::vector<uint8_t> record(fileRecordBytes, 0);
  if (!ReadBytes(at, record.data(), record.size())) return false;

  CNTFSMultiFileRecord set(record.data(), fileRecordBytes, at / m_sectorSize, device, nullptr, 2);
  if (!set.IsValid()) return true;
  int64_t parent = -1;
  std::unique_ptr<CNTFSFileProperties, void (*)(CNTFSFileProperties*)> properties(
      CNTFSFilePropertiesBuilder::BuildFileProperties(at / m_sectorSize, set, clusterBytes, &parent),
      CNTFSFileProperties::Destory);
  if (properties == nullptr || properties->GetFileName() == nullptr ||
      std::strcmp(properties->GetFileName(), "$LogFile") != 0) {
    return true;
  }
  std::unique_ptr<IDataRunList, void (*)(IDataRunList*)> runs(properties->GetDataRunList(),
                                                              [](IDataRunList* l) { l->Release(); });
  if (runs == nullptr || runs->IsResident() != 0) return true;
  for (const DataRun* run = runs->GetFirst(); run != nullptr; run = runs->GetNext()) {
    m_logRuns.emplace_back(run->IsSparse() ? -1 : run->start, run->length);
  }
  m_found = !m_logRuns.empty();
  return true;
}

bool CFindFileFromLogFile::ReadLog(std::vector<uint8_t>& log, std::vector<bool>& pageRead) {
  const int64_t clusterBytes = int64_t{m_sectorsPerCluster} * m_sectorSize;
  uint64_t bytes = 0;
  for (const auto& [lcn, length] : m_logRuns) {
    uint64_t runBytes;
    if (length <= 0 || __builtin_mul_overflow(uint64_t(length), uint64_t(clusterBytes), &runBytes) ||
        __builtin_add_overflow(bytes, runBytes, &bytes) || bytes > kMaxLogBytes) {
      return false;
    }
  }
  try {
    log.assign(size_t(bytes), 0);
    pageRead.assign(size_t(bytes / kPage), true);
  } catch (const std::bad_alloc&) {
    log.clear();
    return false;
  }
  // Sparse runs and clusters that cannot be read leave their pages unread;
  // the walk stops at the first of them.
  auto unread = [&](uint64_t from, uint64_t count) {
    for (uint64_t p = from / kPage; p < pageRead.size() && p * kPage < from + count; ++p) pageRead[size_t(p)] = false;
  };
  uint64_t position = 0;
  for (const auto& [lcn, length] : m_logRuns) {
    const uint64_t runBytes = uint64_t(length) * uint64_t(clusterBytes);
    if (lcn < 0) {
      unread(position, runBytes);
      position += runBytes;
      continue;
    }
    for (uint64_t done = 0; done < runBytes;) {
      const uint64_t piece = std::min<uint64_t>(kReadChunkBytes, runBytes - done);
      int64_t at;
      bool ok = !__builtin_mul_overflow(lcn, clusterBytes, &at) &&
                !__builtin_add_overflow(at, m_volumeStartSector * int64_t{m_sectorSize} + int64_t(done), &at);
      ok = ok && ReadBytes(at, log.data() + position + done, size_t(piece));
      if (!ok) unread(position + done, piece);
      done += piece;
    }
    position += runBytes;
  }
  return true;
}

bool CFindFileFromLogFile::Analyzer() {
  m_analysed = true;
  if (!m_found || m_device == nullptr) return true;
  std::vector<uint8_t> log;
  std::vector<bool> pageRead;
  if (ReadLog(log, pageRead)) WalkLog(log, pageRead);
  return true;
}

void CFindFileFromLogFile::AnalyzerLogBuffer(const uint8_t* log, size_t bytes, uint32_t sectorSize,
                                             uint8_t sectorsPerCluster, uint32_t fileRecordBytes) {
  FreeFoundRecords();
  m_undoRecords.clear();
  m_walkedPages = 0;
  m_examinedRecords = 0;
  m_sectorSize = sectorSize != 0 && sectorSize % 512 == 0 ? sectorSize : 512;
  m_sectorsPerCluster = sectorsPerCluster != 0 ? sectorsPerCluster : 8;
  m_fileRecordBytes =
      fileRecordBytes >= 1024 && fileRecordBytes <= uint32_t(ntfs_record::kMaxRecordSize) ? fileRecordBytes : 1024;
  m_analysed = true;
  if (log == nullptr || bytes > kMaxLogBytes) return;
  std::vector<uint8_t> copy(log, log + bytes);
  std::vector<bool> pageRead(bytes / kPage, true);
  WalkLog(copy, pageRead);
}

// ---- the page walk ----------------------------------------------------------

void CFindFileFromLogFile::WalkLog(std::vector<uint8_t>& log, const std::vector<bool>& pageRead) {
  const uint64_t pages = log.size() / kPage;
  if (pages <= kFirstRecordPage) return;
  uint8_t* base = log.data();
  // A page's fixups are undone at most once, and only when they verify: a
  // torn page is not read.
  std::vector<uint8_t> state(size_t(pages), 0);  // 0 untouched, 1 sound, 2 not a sound record page
  auto sound = [&](uint64_t p) {
    if (!pageRead[size_t(p)]) return false;
    if (state[size_t(p)] == 0) state[size_t(p)] = CRCRDRecord::Unfixup(base + p * kPage, int(kPage)) ? 1 : 2;
    return state[size_t(p)] == 1;
  };

  // A record that starts in one page and ends in a later one.
  std::vector<uint8_t> carry;
  uint64_t carryNeed = 0;

  // The log is circular: the record that crosses from its last page into
  // its first record page is taken from the last page first.
  if (sound(pages - 1)) {
    const uint8_t* page = base + (pages - 1) * kPage;
    const uint64_t lastLsn = Le64(page + kPageLastLsn);
    if (lastLsn != 0 && lastLsn != Le64(page + kPageLastEndLsn)) {
      for (uint64_t off = kPage - kPageData; off + kHeader <= kPage; off += 8) {
        if (Le64(page + off) != lastLsn) continue;
        const uint64_t full = kHeader + Le32(page + off + kClientDataLength);
        if (full > kPage - off && full <= kMaxRecordBytes) {
          carry.assign(page + off, page + kPage);
          carryNeed = full;
        }
        break;
      }
    }
  }

  for (uint64_t p = kFirstRecordPage; p < pages; ++p) {
    if (!pageRead[size_t(p)]) break;
    if (!sound(p)) {
      // What was carried cannot go on through a page that is not one.
      carry.clear();
      continue;
    }
    ++m_walkedPages;
    const uint8_t* page = base + p * kPage;
    const uint64_t lastLsn = Le64(page + kPageLastLsn);
    const bool continues = lastLsn != Le64(page + kPageLastEndLsn);
    uint64_t off = kPage - kPageData;

    if (!carry.empty()) {
      const uint64_t rest = carryNeed - carry.size();
      // A page that a record passes through names that record as its last.
      if (rest > kPageData && lastLsn != Le64(carry.data())) carry.clear();
    }
    if (!carry.empty()) {
      const uint64_t rest = carryNeed - carry.size();
      if (rest > kPageData) {
        carry.insert(carry.end(), page + off, page + kPage);
        continue;
      }
      carry.insert(carry.end(), page + off, page + off + rest);
      ExamineLogRecord(carry.data(), carry.size());
      carry.clear();
      off += Align8(rest);
    }

    while (off + kHeader <= kPage) {
      const uint8_t* record = page + off;
      const uint64_t lsn = Le64(record);
      // Past the page's records: unused space, or a record that claims to
      // be later than the page says its last one is.
      if (lsn == 0 || (lastLsn != 0 && lsn > lastLsn)) break;
      const uint64_t full = kHeader + uint64_t{Le32(record + kClientDataLength)};
      if (full > kPage - off) {
        if (continues && lsn == lastLsn && full <= kMaxRecordBytes) {
          carry.assign(record, page + kPage);
          carryNeed = full;
        }
        break;
      }
      ExamineLogRecord(record, size_t(full));
      if (lsn == lastLsn) break;
      off += Align8(full);
    }
  }

  // Undo data are put back oldest first, so that the newest state before the
  // last change is what remains.
  std::stable_sort(m_undoRecords.begin(), m_undoRecords.end(),
                   [](const UndoRecord& a, const UndoRecord& b) { return a.lsn < b.lsn; });
}

int64_t CFindFileFromLogFile::TargetRecordNumber(uint64_t targetVCN, uint16_t clusterBlockOffset) const {
  const uint64_t clusterBytes = uint64_t{m_sectorsPerCluster} * m_sectorSize;
  uint64_t byte;
  if (__builtin_mul_overflow(targetVCN, clusterBytes, &byte) ||
      __builtin_add_overflow(byte, uint64_t{clusterBlockOffset} * 512, &byte)) {
    return -1;
  }
  const uint64_t number = byte / m_fileRecordBytes;
  return number > ntfs_bytes::kRecordNumberMask ? -1 : int64_t(number);
}

void CFindFileFromLogFile::ExamineLogRecord(const uint8_t* record, size_t bytes) {
  ++m_examinedRecords;
  if (bytes < kClientHeaderEnd || Le32(record + kRecordType) != kClientRecord) return;
  const uint64_t lsn = Le64(record);
  const int64_t target = TargetRecordNumber(Le64(record + kTargetVCN), Le16(record + kClusterBlockOffset));

  // The data a record carries, cut to the record's own bytes.
  auto region = [&](int offsetField, int lengthField, size_t& length) -> const uint8_t* {
    const uint64_t from = kHeader + Le16(record + offsetField);
    const uint64_t want = Le16(record + lengthField);
    if (from >= bytes) return nullptr;
    length = size_t(std::min<uint64_t>(want, bytes - from));
    return record + from;
  };

  // FILE record images: the redo of a record's initialisation, or the undo
  // of its deallocation.
  for (const auto& [offsetField, lengthField] : {std::pair{kRedoOffset, kRedoLength}, {kUndoOffset, kUndoLength}}) {
    size_t length = 0;
    const uint8_t* image = region(offsetField, lengthField, length);
    if (image != nullptr && length >= kMinImageBytes && std::memcmp(image, "FILE", 4) == 0) {
      AddFoundImage(image, length, target, lsn);
    }
  }

  // Undo data of an attribute's sizes or mapping pairs; kept only when it
  // lies wholly inside the log record.
  const uint16_t undoOp = Le16(record + kUndoOperation);
  if (undoOp != kUpdateMappingPairs && undoOp != kSetNewAttributeSizes) return;
  if (target < 0 || Le16(record + kAttributeOffset) < kFirstUndoableByte) return;
  const uint64_t from = kHeader + Le16(record + kUndoOffset);
  const uint64_t length = Le16(record + kUndoLength);
  if (length == 0 || from + length > bytes) return;
  UndoRecord undo;
  undo.lsn = lsn;
  undo.recordNumber = target;
  undo.recordOffset = Le16(record + kRecordOffset);
  undo.attributeOffset = Le16(record + kAttributeOffset);
  try {
    undo.undo.assign(record + from, record + from + length);
    m_undoRecords.push_back(std::move(undo));
  } catch (const std::bad_alloc&) {
  }
}

void CFindFileFromLogFile::AddFoundImage(const uint8_t* image, size_t bytes, int64_t recordNumber, uint64_t lsn) {
  std::vector<uint8_t> record(m_fileRecordBytes, 0);
  std::memcpy(record.data(), image, std::min<size_t>(bytes, record.size()));
  const int size = static_cast<int>(record.size());
  if (!CNTFSFileRecord::IsValid(record.data(), size) || CNTFSFileRecord::IsFolder(record.data()) ||
      CNTFSFileRecord::IsExtendFileRecord(record.data())) {
    return;
  }
  CNTFSMultiFileRecord set(record.data(), m_fileRecordBytes, 0, nullptr, nullptr, recordNumber);
  if (!set.IsValid()) return;
  int64_t parent = -1;
  CNTFSFileProperties* properties =
      CNTFSFilePropertiesBuilder::BuildFileProperties(0, set, int64_t{m_sectorsPerCluster} * m_sectorSize, &parent);
  if (properties == nullptr) return;
  // Resident content would be read from the record's place on the disk,
  // which the image does not describe.
  const CCompressedDataRunList* runs = properties->GetCompressedDataRunList();
  if (properties->GetSize() <= 0 || properties->GetFileName() == nullptr || runs == nullptr ||
      runs->GetResidentOffset() != 0) {
    CNTFSFileProperties::Destory(properties);
    return;
  }
  try {
    m_foundRecords.push_back({properties, parent, recordNumber, lsn});
  } catch (const std::bad_alloc&) {
    CNTFSFileProperties::Destory(properties);
  }
}

// ---- rebuilding a deleted file's runs ---------------------------------------

bool CFindFileFromLogFile::RebuildFileRecord(uint8_t* record, int bytes, int64_t recordNumber) const {
  bool applied = false;
  for (const uint32_t at : DataAttributeOffsets(record, bytes)) {
    const uint32_t attributeEnd = at + Le32(record + at + 4);
    uint64_t end = attributeEnd;
    bool touched = false;
    for (const UndoRecord& undo : m_undoRecords) {
      if (undo.recordNumber != recordNumber || undo.recordOffset != at) continue;
      const uint64_t to = uint64_t{at} + undo.attributeOffset;
      const uint64_t until = to + undo.undo.size();
      // Nothing may land outside the record, nor where the end marker goes.
      if (until + kEndMarkerRoom > uint64_t(bytes)) continue;
      std::memcpy(record + to, undo.undo.data(), undo.undo.size());
      end = std::max(end, until);
      touched = true;
    }
    if (!touched) continue;
    applied = true;
    if (end > attributeEnd) {
      // The rebuilt attribute runs over the ones that followed it; they are
      // cut off.
      end = Align8(end);
      if (end + kEndMarkerRoom > uint64_t(bytes)) end = uint64_t(bytes) - kEndMarkerRoom;
      StoreU32(record + at + 4, static_cast<uint32_t>(end - at));
      StoreU32(record + end, ntfs_record::kEndMarker);
      break;
    }
  }
  return applied;
}

const CFindFileFromLogFile::FoundRecord* CFindFileFromLogFile::MatchFoundRecord(const std::string& name, int64_t parent,
                                                                                int64_t recordNumber) const {
  // An image is the file's own only when the log wrote it to the file's MFT
  // record: a file of the same name elsewhere, or one that took the name in
  // the same folder after the deletion (as editors that save by replacing
  // do), has its own record and must not lend its clusters. The name and,
  // when known, the parent confirm that the record still held this file.
  // The newest image wins.
  const FoundRecord* best = nullptr;
  for (const FoundRecord& found : m_foundRecords) {
    if (found.recordNumber != recordNumber || name != found.properties->GetFileName()) continue;
    if (parent != -1 && found.parent != parent) continue;
    if (best == nullptr || found.lsn > best->lsn) best = &found;
  }
  return best;
}

bool CFindFileFromLogFile::ReplaceFileRecordInfo(uint8_t* record, int recordBytes, CNTFSFileProperties& properties,
                                                 int64_t parent, const CExtendFileRecordInfoList* extensions) {
  if (!m_analysed || record == nullptr || recordBytes < ntfs_record::kMinRecordSize) return false;
  if (m_foundRecords.empty() && m_undoRecords.empty()) return false;
  // Live records and folders are left alone even when the log holds an image
  // of the same name: a live file's record is its current state, and an
  // older size or runs from the log would hand out bytes it no longer owns.
  if ((properties.GetState() & CNTFSFileProperties::kStateDeleted) == 0) return false;
  if ((properties.GetAttribute() & CNTFSFileProperties::kDirectory) != 0) return false;

  const int bytes = std::min<int>(recordBytes, ntfs_record::RecordExtent(record, recordBytes));
  if (bytes < ntfs_record::kMinRecordSize) return false;
  std::vector<uint8_t> base(record, record + bytes);
  if (!CNTFSFileRecord::IsValid(base.data(), bytes) || !CNTFSFileRecord::UnfixupFileRecord(base.data(), bytes)) {
    return false;
  }
  int64_t number = properties.GetFileRecordIndex();
  if (CNTFSFileRecord::HasXPNumberOfthisMFTRecord(base.data())) {
    number = CNTFSFileRecord::GetXPNumberOfthisMFTRecord(base.data());
  }

  const char* name = properties.GetFileName();
  const FoundRecord* match = name != nullptr && number > 0 ? MatchFoundRecord(name, parent, number) : nullptr;

  // Each record's $DATA instances are decoded on their own, shifted by their
  // start VCN, and merged in VCN order.
  CNTFSDataRunList pieces;
  int64_t realSize = -1;
  auto collect = [&](uint8_t* buffer, int size, int64_t recordNumber) {
    if (!RebuildFileRecord(buffer, size, recordNumber)) return;
    for (const uint32_t at : DataAttributeOffsets(buffer, size)) {
      const uint8_t* attr = buffer + at;
      if (!CNTFSFileRecordAttribute::IsValid(attr, size - static_cast<int>(at))) continue;
      int64_t instanceSize = -1;
      int64_t startVCN = -1;
      if (!CNTFSFileRecordAnalyzer::AddDataRunListfromNonResidentAttributeBuffer(attr, &instanceSize, startVCN,
                                                                                 pieces)) {
        continue;
      }
      if (startVCN == 0 && instanceSize > 0) realSize = instanceSize;
    }
  };
  if (number > 0) collect(base.data(), bytes, number);
  if (extensions != nullptr && m_device != nullptr && number > 0) {
    for (const CAttributeListExtendFileRecordInfo& info : *extensions) {
      CAttributeListExtendFileRecordBufferInfo extension(m_device, info.startSector, info.recordNumber, bytes, number);
      uint8_t* data = extension.GetExtendFileRecordBuffer();
      if (data == nullptr) continue;
      std::vector<uint8_t> copy(data, data + extension.GetExtendFileRecordSize());
      collect(copy.data(), static_cast<int>(copy.size()), info.recordNumber);
    }
  }

  int64_t clusters = 0;
  std::unique_ptr<CNoneResidentNTFSDataRunList> runs;
  if (!pieces.IsEmpty()) {
    runs = std::make_unique<CNoneResidentNTFSDataRunList>();
    CNTFSFilePropertiesBuilder::LayOutDataRuns(pieces, *runs, clusters);
  }
  const int64_t clusterBytes = int64_t{m_sectorsPerCluster} * m_sectorSize;
  int64_t capacity = 0;
  if (runs != nullptr && (clusters <= 0 || __builtin_mul_overflow(clusters, clusterBytes, &capacity))) runs.reset();

  // Runs from the log stand for those the record lost. The file is sound
  // again only where the log also gives its exact size within those runs;
  // otherwise its copy stays marked as one whose size cannot be vouched for.
  const bool lost = properties.IsDataLost();
  auto restored = [&](bool exact) {
    if (lost) {
      properties.SetStoredBytes(-1);
      properties.SetSizeDamaged(!exact);
    }
    return true;
  };
  if (match != nullptr) {
    if (runs != nullptr) {
      properties.SetDataRunList(runs.get());
    } else {
      std::unique_ptr<IDataRunList, void (*)(IDataRunList*)> found(match->properties->GetDataRunList(),
                                                                   [](IDataRunList* l) { l->Release(); });
      if (found == nullptr) return false;
      properties.SetDataRunList(found.get());
    }
    properties.SetFileSize(match->properties->GetSize());
    return restored(!match->properties->IsSizeDamaged() && !match->properties->IsContentUnsure() &&
                    (runs == nullptr || match->properties->GetSize() <= capacity));
  }
  if (runs == nullptr) return false;
  properties.SetDataRunList(runs.get());
  // The restored sizes give the exact length; without them the clusters
  // the runs hold are all that is known.
  const bool exact = realSize > 0 && realSize <= capacity;
  properties.SetFileSize(exact ? realSize : capacity);
  return restored(exact);
}
