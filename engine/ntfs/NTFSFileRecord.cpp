#include "ntfs/NTFSFileRecord.h"

#include <cstdlib>
#include <cstring>

#include "OnDiskBytes.h"
#include "ntfs/NTFSBytes.h"
#include "ntfs/NTFSFileRecordAttribute.h"
#include "ntfs/UpdateSequence.h"

using ondisk::Le16;
using ondisk::Le32;
using ondisk::Le64;

namespace {

constexpr uint8_t kMagic[4] = {'F', 'I', 'L', 'E'};
constexpr int kStride = ntfs_usa::kStride;

uint16_t SequenceOffset(const uint8_t* b) { return ntfs_usa::ArrayOffset(b); }
uint16_t SequenceCount(const uint8_t* b) { return ntfs_usa::Count(b); }

// How many 512-byte strides of the extent the update sequence protects, or
// -1 when its array does not lie inside the first stride before the first
// protected word.
int ProtectedStrides(const uint8_t* buffer, int extent) {
  const uint16_t count = SequenceCount(buffer);
  if (count < 2) return 0;
  if (count > ntfs_usa::kMaxCount) return -1;
  if (SequenceOffset(buffer) + 2 * count > kStride - 2) return -1;
  const int strides = count - 1;
  return strides < extent / kStride ? strides : extent / kStride;
}

// Calls `visit(offset)` for each attribute of the chain that lies wholly
// inside the extent, until it answers false. The walk ends at the end marker,
// at a zero length, at an attribute that overruns the extent, or when the
// next position leaves no room for an attribute header.
template <class Visit>
void WalkAttributes(const uint8_t* buffer, int size, Visit&& visit) {
  const int extent = ntfs_record::RecordExtent(buffer, size);
  if (extent == 0) return;
  const int64_t limit = extent - 8;  // the end of the last type and length pair
  int64_t pos = Le16(buffer + 0x14);
  while (pos < limit) {
    const uint32_t type = Le32(buffer + pos);
    if (type == ntfs_record::kEndMarker) return;
    const uint32_t length = Le32(buffer + pos + 4);
    if (length == 0 || length > extent - pos) return;
    if (!visit(static_cast<int>(pos), type, length)) return;
    pos += length;
  }
}

}  // namespace

int ntfs_record::RecordExtent(const uint8_t* buffer, int size) {
  if (buffer == nullptr || size < kMinRecordSize) return 0;
  int extent = kMinRecordSize;
  const uint32_t allocated = Le32(buffer + 0x1C);
  if (allocated >= static_cast<uint32_t>(kMinRecordSize) && allocated <= static_cast<uint32_t>(kMaxRecordSize) &&
      allocated % kMinRecordSize == 0) {
    extent = static_cast<int>(allocated);
  }
  return extent < size ? extent : size;
}

// ---- header ----------------------------------------------------------------

bool CNTFSFileRecordHeader::IsValid(const uint8_t* buffer, int size) {
  if (buffer == nullptr || size <= 0 || size % kStride != 0) return false;
  if (std::memcmp(buffer, kMagic, 4) != 0) return false;
  const uint16_t count = SequenceCount(buffer);
  if (count > ntfs_usa::kMaxCount) return false;
  const uint32_t allocated = Le32(buffer + 0x1C);
  if (allocated > static_cast<uint32_t>(ntfs_record::kMaxRecordSize) || allocated % 1024 != 0) return false;
  if (count < 1 || count - 1u > allocated / kStride) return false;
  const uint16_t offset = SequenceOffset(buffer);
  return offset >= 42 && offset <= 256;
}

bool CNTFSFileRecordHeader::InitFromBuffer(const uint8_t* buffer, int size) {
  if (!IsValid(buffer, size)) return false;
  const uint16_t headerLength = CNTFSFileRecord::GetFirstAttibuteOffset(buffer);
  if (headerLength > size) return false;
  header_.assign(buffer, buffer + headerLength);
  return true;
}

// ---- update sequence -------------------------------------------------------

bool CNTFSFileRecord::IsValidUpdateSequence(const uint8_t* buffer, int size) {
  const int extent = ntfs_record::RecordExtent(buffer, size);
  if (extent == 0) return false;
  const int strides = ProtectedStrides(buffer, extent);
  if (strides < 0) return false;
  if (strides == 0) return true;  // the array is only known to be in bounds when it protects something
  return ntfs_usa::StrideEndsCarryNumber(buffer, SequenceOffset(buffer), strides);
}

bool CNTFSFileRecord::UnfixupFileRecord(uint8_t* buffer, int size) {
  if (!IsValidUpdateSequence(buffer, size)) return false;
  const int strides = ProtectedStrides(buffer, ntfs_record::RecordExtent(buffer, size));
  ntfs_usa::Undo(buffer, SequenceOffset(buffer), strides);
  return true;
}

bool CNTFSFileRecord::FixupFileRecord(uint8_t* buffer, int size) {
  const int extent = ntfs_record::RecordExtent(buffer, size);
  if (extent == 0) return false;
  const int strides = ProtectedStrides(buffer, extent);
  if (strides < 0) return false;
  ntfs_usa::Redo(buffer, SequenceOffset(buffer), strides);
  return true;
}

// ---- record test -----------------------------------------------------------

bool CNTFSFileRecord::CheckAttibutes(const uint8_t* buffer, int size) {
  const int extent = ntfs_record::RecordExtent(buffer, size);
  if (extent == 0) return false;
  bool valid = true;
  // The walk stops before an attribute that overruns the record; that one
  // must fail the test too, so check what the walk would have skipped.
  int64_t reached = Le16(buffer + 0x14);
  WalkAttributes(buffer, size, [&](int pos, uint32_t type, uint32_t length) {
    const uint8_t* attr = buffer + pos;
    const int left = extent - pos;
    if (!CNTFSFileRecordAttribute::IsValid(attr, left) ||
        (type == ntfs_record::kFileName && !CNTFSFileRecordFileNameAttribute::IsValid(attr, left))) {
      valid = false;
      return false;
    }
    reached = int64_t{pos} + length;
    return true;
  });
  if (!valid) return false;
  if (reached < extent - 8) {
    const uint32_t type = Le32(buffer + reached);
    const uint32_t length = Le32(buffer + reached + 4);
    if (type != ntfs_record::kEndMarker && length != 0 && length > extent - reached) return false;
  }
  return true;
}

bool CNTFSFileRecord::IsValid(uint8_t* buffer, int size) {
  if (buffer == nullptr || size < ntfs_record::kMinRecordSize) return false;
  if (!CNTFSFileRecordHeader::IsValid(buffer, size - size % kStride)) return false;
  // A record whose sector ends do not carry the sequence number is still
  // examined: it is evidence of a record even when torn.
  const bool undone = UnfixupFileRecord(buffer, size);
  const bool valid = CheckAttibutes(buffer, size);
  if (undone) FixupFileRecord(buffer, size);
  return valid;
}

// ---- the view --------------------------------------------------------------

CNTFSFileRecord::CNTFSFileRecord(uint8_t* buffer, int size, int copy) {
  if (buffer == nullptr || !IsValid(buffer, size)) return;
  if (copy != 0) {
    auto* own = static_cast<uint8_t*>(std::malloc(static_cast<size_t>(size)));
    if (own == nullptr) return;
    std::memcpy(own, buffer, static_cast<size_t>(size));
    buffer_ = own;
    ownsCopy_ = 1;
  } else {
    buffer_ = buffer;
  }
  extent_ = ntfs_record::RecordExtent(buffer_, size);
  if (UnfixupFileRecord(buffer_, extent_)) undone_ = 1;
}

CNTFSFileRecord::~CNTFSFileRecord() {
  if (buffer_ == nullptr) return;
  if (undone_) FixupFileRecord(buffer_, extent_);
  if (ownsCopy_) std::free(buffer_);
}

bool CNTFSFileRecord::IsExtendFileRecord() const { return IsValid() && IsExtendFileRecord(buffer_); }
bool CNTFSFileRecord::IsFolder() const { return IsValid() && IsFolder(buffer_); }
bool CNTFSFileRecord::IsinUse() const { return IsValid() && IsinUse(buffer_); }
uint64_t CNTFSFileRecord::GetBaseFileRecordNumber() const { return IsValid() ? GetBaseFileRecordNumber(buffer_) : 0; }
uint64_t CNTFSFileRecord::GetLogFileSequenceNumber() const { return IsValid() ? GetLogFileSequenceNumber(buffer_) : 0; }
bool CNTFSFileRecord::HasXPNumberOfthisMFTRecord() const { return IsValid() && HasXPNumberOfthisMFTRecord(buffer_); }
uint32_t CNTFSFileRecord::GetXPNumberOfthisMFTRecord() const {
  return IsValid() ? GetXPNumberOfthisMFTRecord(buffer_) : 0;
}
uint8_t* CNTFSFileRecord::FindAttibute(uint32_t type, uint32_t index) const {
  return IsValid() ? FindAttibute(buffer_, extent_, type, index) : nullptr;
}

// ---- walks on raw buffers --------------------------------------------------

uint32_t CNTFSFileRecord::GetAttributeOffset(const uint8_t* buffer, int size, uint32_t type, uint32_t index) {
  uint32_t found = ntfs_record::kNotFound;
  uint32_t seen = 0;
  WalkAttributes(buffer, size, [&](int pos, uint32_t t, uint32_t) {
    if (t != type) return true;
    if (seen++ == index) {
      found = static_cast<uint32_t>(pos);
      return false;
    }
    return true;
  });
  return found;
}

const uint8_t* CNTFSFileRecord::FindAttibute(const uint8_t* buffer, int size, uint32_t type, uint32_t index) {
  const uint32_t offset = GetAttributeOffset(buffer, size, type, index);
  if (offset == ntfs_record::kNotFound) return nullptr;
  const int left = ntfs_record::RecordExtent(buffer, size) - static_cast<int>(offset);
  const uint8_t* attr = buffer + offset;
  return CNTFSFileRecordAttribute::IsValid(attr, left) ? attr : nullptr;
}

uint8_t* CNTFSFileRecord::FindAttibute(uint8_t* buffer, int size, uint32_t type, uint32_t index) {
  return const_cast<uint8_t*>(FindAttibute(static_cast<const uint8_t*>(buffer), size, type, index));
}

uint32_t CNTFSFileRecord::GetAttibuteCountofSpecifiedType(const uint8_t* buffer, int size, uint32_t type) {
  uint32_t count = 0;
  WalkAttributes(buffer, size, [&](int, uint32_t t, uint32_t) {
    if (t == type) ++count;
    return true;
  });
  return count;
}

bool CNTFSFileRecord::HasAttributeList(const uint8_t* buffer, int size) {
  return GetAttributeOffset(buffer, size, ntfs_record::kAttributeList, 0) != ntfs_record::kNotFound;
}

bool CNTFSFileRecord::HasUnknownAttribute(const uint8_t* buffer, int size) {
  bool unknown = false;
  WalkAttributes(buffer, size, [&](int, uint32_t t, uint32_t) {
    unknown = !ntfs_record::IsKnownAttributeType(t);
    return !unknown;
  });
  return unknown;
}

// ---- header fields ---------------------------------------------------------

uint64_t CNTFSFileRecord::GetBaseFileRecordNumber(const uint8_t* b) {
  return Le64(b + 0x20) & ntfs_bytes::kRecordNumberMask;
}
bool CNTFSFileRecord::IsExtendFileRecord(const uint8_t* b) { return Le64(b + 0x20) != 0; }
bool CNTFSFileRecord::IsFolder(const uint8_t* b) { return (Le16(b + 0x16) & ntfs_record::kFlagDirectory) != 0; }
bool CNTFSFileRecord::IsinUse(const uint8_t* b) { return (Le16(b + 0x16) & ntfs_record::kFlagInUse) != 0; }
uint16_t CNTFSFileRecord::GetFirstAttibuteOffset(const uint8_t* b) { return Le16(b + 0x14); }
uint32_t CNTFSFileRecord::GetAllocatedSize(const uint8_t* b) { return Le32(b + 0x1C); }
uint32_t CNTFSFileRecord::GetLength(const uint8_t* b) { return Le32(b + 0x18); }
uint64_t CNTFSFileRecord::GetLogFileSequenceNumber(const uint8_t* b) { return Le64(b + 8); }
uint16_t CNTFSFileRecord::GetSequenceNumber(const uint8_t* b) { return Le16(b + 0x10); }
bool CNTFSFileRecord::HasXPNumberOfthisMFTRecord(const uint8_t* b) {
  return SequenceOffset(b) >= 48 && Le16(b + 0x2A) == 0;
}
uint32_t CNTFSFileRecord::GetXPNumberOfthisMFTRecord(const uint8_t* b) { return Le32(b + 0x2C); }
