#include "ntfs/NTFSMultiFileRecord.h"

#include <algorithm>
#include <cstring>
#include <unordered_set>

#include "OnDiskBytes.h"
#include "StorageDevice.h"
#include "ntfs/NTFSBytes.h"
#include "ntfs/NTFSDataRunList.h"
#include "ntfs/NTFSFileRecord.h"
#include "ntfs/NTFSFileRecordAttribute.h"

using ondisk::Le16;
using ondisk::Le32;
using ondisk::Le64;

namespace {

// An attribute-list entry: type u32, length u16, name length u8, name offset
// u8, start VCN u64, segment reference u64, instance u16; the name follows.
constexpr uint32_t kListEntryMin = 26;

// The MFT number a record's header carries, or `fallback` when it has none.
int64_t OwnNumber(const uint8_t* record, int64_t fallback) {
  if (CNTFSFileRecord::HasXPNumberOfthisMFTRecord(record)) {
    return static_cast<int64_t>(CNTFSFileRecord::GetXPNumberOfthisMFTRecord(record));
  }
  return fallback;
}

// A private copy of the record part of a caller's buffer (at most one
// record's worth), or empty when the buffer cannot hold a record.
std::vector<uint8_t> CopyRecord(const uint8_t* record, uint32_t size) {
  if (record == nullptr || size < static_cast<uint32_t>(ntfs_record::kMinRecordSize)) return {};
  const uint32_t n = std::min<uint32_t>(size, ntfs_record::kMaxRecordSize);
  return std::vector<uint8_t>(record, record + n);
}

}  // namespace

size_t SharedSectorSlot(uint32_t sectorSize, uint32_t recordSize, int64_t recordNumber) {
  if (recordSize == 0 || recordSize >= sectorSize || sectorSize % recordSize != 0 || recordNumber < 0) return 0;
  return size_t(uint64_t(recordNumber) % (sectorSize / recordSize)) * recordSize;
}

// ---- extension records -----------------------------------------------------

CAttributeListExtendFileRecordBufferInfo::CAttributeListExtendFileRecordBufferInfo(IStorageDevice* device,
                                                                                   int64_t startSector,
                                                                                   int64_t recordNumber, int recordSize,
                                                                                   int64_t baseRecordNumber)
    : device_(device),
      startSector_(startSector),
      recordNumber_(recordNumber),
      recordSize_(recordSize),
      baseRecordNumber_(baseRecordNumber) {}

uint8_t* CAttributeListExtendFileRecordBufferInfo::GetExtendFileRecordBuffer() {
  if (read_) return buffer_.empty() ? nullptr : buffer_.data();
  read_ = true;
  if (device_ == nullptr || startSector_ < 0 || baseRecordNumber_ < 0) return nullptr;
  if (recordSize_ < ntfs_record::kMinRecordSize || recordSize_ > ntfs_record::kMaxRecordSize) return nullptr;
  const uint32_t sectorSize = device_->GetSectorSize();
  if (sectorSize == 0 || sectorSize % 512 != 0) return nullptr;
  const uint32_t sectors = (static_cast<uint32_t>(recordSize_) + sectorSize - 1) / sectorSize;
  std::vector<uint8_t> buffer(static_cast<size_t>(sectors) * sectorSize);
  if (device_->ReadSector(buffer.data(), startSector_, sectors) == 0) return nullptr;
  // Records smaller than a sector share it: the record is at its number's
  // place among them (the MFT's clusters start on sectors).
  const size_t slot = SharedSectorSlot(sectorSize, static_cast<uint32_t>(recordSize_), recordNumber_);
  if (slot != 0) buffer.erase(buffer.begin(), buffer.begin() + static_cast<std::ptrdiff_t>(slot));
  const int size = std::min<int>(recordSize_, static_cast<int>(buffer.size()));
  if (!CNTFSFileRecord::IsValid(buffer.data(), size)) return nullptr;
  // A torn record's sector ends hold the sequence number, not its bytes,
  // and they may fall inside the mapping pairs we are about to trust.
  if (!CNTFSFileRecord::UnfixupFileRecord(buffer.data(), size)) return nullptr;
  const uint8_t* b = buffer.data();
  if (!CNTFSFileRecord::IsExtendFileRecord(b) ||
      CNTFSFileRecord::GetBaseFileRecordNumber(b) != static_cast<uint64_t>(baseRecordNumber_)) {
    return nullptr;
  }
  if (CNTFSFileRecord::HasXPNumberOfthisMFTRecord(b) &&
      CNTFSFileRecord::GetXPNumberOfthisMFTRecord(b) != static_cast<uint32_t>(recordNumber_)) {
    return nullptr;  // not where the MFT's runs said that record is
  }
  extent_ = ntfs_record::RecordExtent(b, size);
  buffer_ = std::move(buffer);
  return buffer_.data();
}

// ---- attribute lists -------------------------------------------------------

bool CNTFSMultiFileRecord::GetAttributeDatafromNonResidentAttributeBuffer(const uint8_t* runs, uint32_t runsLength,
                                                                          uint8_t* out, uint32_t outSize,
                                                                          int64_t volumeStartSector,
                                                                          int sectorsPerCluster,
                                                                          IStorageDevice& device) {
  if (out == nullptr) return false;
  std::memset(out, 0, outSize);
  if (runs == nullptr || runsLength < 1 || runsLength > static_cast<uint32_t>(INT32_MAX)) return false;
  const uint32_t sectorSize = device.GetSectorSize();
  if (sectorsPerCluster < 1 || sectorSize == 0 || volumeStartSector < 0) return false;
  CNTFSDataRunList::Runs decoded;
  if (!CNTFSDataRunList::FormDataRunList(runs, static_cast<int>(runsLength), decoded)) return false;
  uint64_t done = 0;
  for (const CDataRun& run : decoded) {
    int64_t sectors;
    if (__builtin_mul_overflow(run.Length, static_cast<int64_t>(sectorsPerCluster), &sectors)) break;
    unsigned __int128 bytes = static_cast<unsigned __int128>(sectors) * sectorSize;
    if (done + bytes > outSize) break;
    if (!run.IsSparse()) {
      int64_t first;
      if (__builtin_mul_overflow(run.LCN, static_cast<int64_t>(sectorsPerCluster), &first) ||
          __builtin_add_overflow(first, volumeStartSector, &first)) {
        return false;
      }
      if (device.ReadSector(out + done, first, sectors) == 0) return false;
    }
    done += static_cast<uint64_t>(bytes);
  }
  return true;
}

std::unique_ptr<CExtendFileRecordInfoList> CNTFSMultiFileRecord::GetExtendFileRecordInfoList(
    const uint8_t* record, uint32_t size, int64_t volumeStartSector, int sectorsPerCluster, IStorageDevice& device) {
  // Every record of a scan is asked: the copy stays on the stack.
  if (record == nullptr || size < static_cast<uint32_t>(ntfs_record::kMinRecordSize)) return nullptr;
  uint8_t copy[ntfs_record::kMaxRecordSize];
  const int n = static_cast<int>(std::min<uint32_t>(size, ntfs_record::kMaxRecordSize));
  std::memcpy(copy, record, static_cast<size_t>(n));
  if (!CNTFSFileRecord::IsValid(copy, n)) return nullptr;
  CNTFSFileRecord::UnfixupFileRecord(copy, n);
  const int extent = ntfs_record::RecordExtent(copy, n);
  const uint8_t* attr = CNTFSFileRecord::FindAttibute(copy, extent, ntfs_record::kAttributeList, 0);
  if (attr == nullptr) return nullptr;

  std::vector<uint8_t> nonResident;
  const uint8_t* list = nullptr;
  uint64_t length = 0;
  if (CNTFSFileRecordAttribute::IsResident(attr)) {
    list = attr + CNTFSFileRecordAttribute::GetOffsetToAttribute(attr);
    length = CNTFSFileRecordAttribute::GetLengthOfAttribute(attr);
  } else {
    const uint8_t* runs = CNTFSFileRecordDataRunsAttribute::GetDataRunsBuffer(attr);
    const int runsLength = CNTFSFileRecordDataRunsAttribute::GetDataRunsLength(attr);
    const int64_t initialised = CNTFSFileRecordAttribute::GetInitializedDataSize(attr);
    const int64_t allocated = CNTFSFileRecordAttribute::GetAllocSizeofAttribute(attr);
    if (runs == nullptr || runsLength < 1) return nullptr;
    if (initialised < 1 || initialised > allocated || allocated > kMaxAttributeListSize) return nullptr;
    nonResident.resize(static_cast<size_t>(allocated));
    if (!GetAttributeDatafromNonResidentAttributeBuffer(runs, static_cast<uint32_t>(runsLength), nonResident.data(),
                                                        static_cast<uint32_t>(allocated), volumeStartSector,
                                                        sectorsPerCluster, device)) {
      return nullptr;
    }
    list = nonResident.data();
    length = static_cast<uint64_t>(initialised);
  }

  auto out = std::make_unique<CExtendFileRecordInfoList>();
  std::unordered_set<int64_t> seen;
  uint64_t pos = 0;
  while (pos + kListEntryMin <= length) {
    const uint8_t* entry = list + pos;
    const uint32_t type = Le32(entry);
    const uint16_t entryLength = Le16(entry + 4);
    if (type == 0 || entryLength == 0) break;
    if (entryLength < kListEntryMin || pos + entryLength > length) break;
    const int64_t number = static_cast<int64_t>(Le64(entry + 16) & ntfs_bytes::kRecordNumberMask);
    if (seen.insert(number).second) out->push_back({-1, number});
    pos += entryLength;
  }
  if (out->empty()) return nullptr;
  return out;
}

int64_t CNTFSMultiFileRecord::GetFileRecordStartSectorfromMFTNumber(int64_t recordNumber, uint8_t sectorsPerCluster,
                                                                    int64_t volumeStartSector,
                                                                    const CNTFSDataRunList* mftRuns,
                                                                    uint8_t sectorsPerRecord,
                                                                    uint32_t recordsPerSector) {
  if (mftRuns == nullptr || mftRuns->IsEmpty() || sectorsPerCluster == 0) return -1;
  if (sectorsPerRecord == 0 && recordsPerSector < 2) return -1;
  if (recordNumber < 0 || volumeStartSector < 0) return -1;
  int64_t s;
  if (sectorsPerRecord == 0) {
    s = recordNumber / recordsPerSector;
  } else if (__builtin_mul_overflow(recordNumber, static_cast<int64_t>(sectorsPerRecord), &s)) {
    return -1;
  }
  const int64_t spc = sectorsPerCluster;
  const int64_t vcn = s / spc;
  const int64_t lcn = mftRuns->GetLCN(vcn);
  if (lcn < 0) return -1;
  // A record whose clusters lie in two runs cannot be read in one piece.
  const int64_t lastVcn = (s + std::max<int64_t>(sectorsPerRecord, 1) - 1) / spc;
  if (lastVcn != vcn && mftRuns->GetLCN(lastVcn) != lcn + (lastVcn - vcn)) return -1;
  int64_t sector;
  if (__builtin_mul_overflow(lcn, spc, &sector) || __builtin_add_overflow(sector, volumeStartSector, &sector) ||
      __builtin_add_overflow(sector, s % spc, &sector)) {
    return -1;
  }
  return sector;
}

std::unique_ptr<CExtendFileRecordInfoList> CNTFSMultiFileRecord::InitExtendFileRecord(
    const uint8_t* record, uint32_t size, int64_t recordSector, uint8_t sectorsPerCluster, int64_t volumeStartSector,
    IStorageDevice& device, const CNTFSDataRunList* mftRuns, uint8_t sectorsPerRecord, uint32_t recordsPerSector) {
  auto list = GetExtendFileRecordInfoList(record, size, volumeStartSector, sectorsPerCluster, device);
  if (list == nullptr) return nullptr;
  const int64_t own = OwnNumber(record, -1);
  CExtendFileRecordInfoList placed;
  for (CAttributeListExtendFileRecordInfo info : *list) {
    if (own >= 0 && info.recordNumber == own) continue;
    info.startSector = GetFileRecordStartSectorfromMFTNumber(info.recordNumber, sectorsPerCluster, volumeStartSector,
                                                             mftRuns, sectorsPerRecord, recordsPerSector);
    if (info.startSector == -1 || (sectorsPerRecord != 0 && info.startSector == recordSector)) continue;
    placed.push_back(info);
  }
  *list = std::move(placed);
  return list;
}

// ---- the multi-record ------------------------------------------------------

CNTFSMultiFileRecord::CNTFSMultiFileRecord(const uint8_t* record, uint32_t size, int64_t sector, IStorageDevice* device,
                                           const CExtendFileRecordInfoList* extensions, int64_t recordNumber)
    : sector_(sector), recordNumber_(recordNumber) {
  std::vector<uint8_t> copy = CopyRecord(record, size);
  if (copy.empty()) return;
  const int n = static_cast<int>(copy.size());
  if (!CNTFSFileRecord::IsValid(copy.data(), n)) return;
  copy.resize(static_cast<size_t>(ntfs_record::RecordExtent(copy.data(), n)));
  undone_ = CNTFSFileRecord::UnfixupFileRecord(copy.data(), static_cast<int>(copy.size()));
  record_ = std::move(copy);
  if (extensions == nullptr) return;
  const int64_t base = OwnNumber(record_.data(), recordNumber_);
  for (const CAttributeListExtendFileRecordInfo& info : *extensions) {
    extensions_.push_back(std::make_unique<CAttributeListExtendFileRecordBufferInfo>(
        device, info.startSector, info.recordNumber, static_cast<int>(record_.size()), base));
  }
}

bool CNTFSMultiFileRecord::IsinUse() const { return IsValid() && CNTFSFileRecord::IsinUse(record_.data()); }

int64_t CNTFSMultiFileRecord::GetMainFileRecordIndex() const {
  if (!IsValid()) return 0;
  const int64_t number = OwnNumber(record_.data(), recordNumber_);
  return number < 0 ? 0 : number;
}

uint8_t* CNTFSMultiFileRecord::FindAttibute(uint32_t type, uint32_t index, uint32_t* offset, int64_t* recordSector,
                                            int* bytesLeft) {
  if (!IsValid()) return nullptr;
  auto report = [&](uint8_t* attr, uint8_t* base, int size, int64_t sector) {
    const int at = static_cast<int>(attr - base);
    if (offset != nullptr) *offset = static_cast<uint32_t>(at);
    if (recordSector != nullptr) *recordSector = sector;
    if (bytesLeft != nullptr) *bytesLeft = size - at;
    return attr;
  };
  const int mainSize = static_cast<int>(record_.size());
  const uint32_t mainCount = CNTFSFileRecord::GetAttibuteCountofSpecifiedType(record_.data(), mainSize, type);
  if (index < mainCount) {
    uint8_t* attr = CNTFSFileRecord::FindAttibute(record_.data(), mainSize, type, index);
    return attr == nullptr ? nullptr : report(attr, record_.data(), mainSize, sector_);
  }
  uint64_t counted = mainCount;
  for (auto& extension : extensions_) {
    uint8_t* buffer = extension->GetExtendFileRecordBuffer();
    if (buffer == nullptr) continue;
    const int size = extension->GetExtendFileRecordSize();
    const uint32_t count = CNTFSFileRecord::GetAttibuteCountofSpecifiedType(buffer, size, type);
    if (counted + count > index) {
      uint8_t* attr = CNTFSFileRecord::FindAttibute(buffer, size, type, static_cast<uint32_t>(index - counted));
      return attr == nullptr ? nullptr : report(attr, buffer, size, extension->GetStartSector());
    }
    counted += count;
  }
  return nullptr;
}

std::vector<CNTFSMultiFileRecord::FoundAttribute> CNTFSMultiFileRecord::FindAllAttributes(uint32_t type) {
  std::vector<FoundAttribute> found;
  if (!IsValid()) return found;
  auto collect = [&](uint8_t* buffer, int size, int64_t sector) {
    const uint32_t count = CNTFSFileRecord::GetAttibuteCountofSpecifiedType(buffer, size, type);
    for (uint32_t i = 0; i < count; ++i) {
      uint8_t* attr = CNTFSFileRecord::FindAttibute(buffer, size, type, i);
      if (attr == nullptr) continue;
      const int at = static_cast<int>(attr - buffer);
      found.push_back({attr, static_cast<uint32_t>(at), sector, size - at});
    }
  };
  collect(record_.data(), static_cast<int>(record_.size()), sector_);
  for (auto& extension : extensions_) {
    if (uint8_t* buffer = extension->GetExtendFileRecordBuffer()) {
      collect(buffer, extension->GetExtendFileRecordSize(), extension->GetStartSector());
    }
  }
  return found;
}

bool CNTFSMultiFileRecord::HasUnknownAttribute() {
  if (!IsValid()) return false;
  if (CNTFSFileRecord::HasUnknownAttribute(record_.data(), static_cast<int>(record_.size()))) return true;
  for (auto& extension : extensions_) {
    const uint8_t* buffer = extension->GetExtendFileRecordBuffer();
    if (buffer != nullptr && CNTFSFileRecord::HasUnknownAttribute(buffer, extension->GetExtendFileRecordSize())) {
      return true;
    }
  }
  return false;
}
