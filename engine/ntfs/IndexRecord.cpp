#include "ntfs/IndexRecord.h"

#include <cstring>
#include <vector>

#include "OnDiskBytes.h"
#include "ntfs/NTFSBytes.h"
#include "ntfs/NTFSFileRecordAttribute.h"
#include "ntfs/UpdateSequence.h"

using ondisk::Le16;
using ondisk::Le32;
using ondisk::Le64;
using ondisk::LeI64;

namespace {

constexpr uint8_t kMagic[4] = {'I', 'N', 'D', 'X'};
constexpr int kStride = ntfs_usa::kStride;
constexpr int kMinPage = 0x28;  // up to the end of the index header
constexpr uint16_t kFlagSubNode = 1;
constexpr uint16_t kFlagLast = 2;

uint16_t SequenceOffset(const uint8_t* b) { return ntfs_usa::ArrayOffset(b); }
uint16_t SequenceCount(const uint8_t* b) { return ntfs_usa::Count(b); }

// The end of the entries, counted from the page start.
uint64_t EntriesEnd(const uint8_t* b) {
  return uint64_t{CStandardIndexHeader::kHeaderOffset} + CStandardIndexHeader::GetSizeofIndexEntries(b);
}

// Walks the entries of an unfixed page that passed the header test. Calls
// `first(parent)` once with the first examined entry's parent reference;
// answers whether every entry is sound.
template <class First>
bool WalkEntries(const uint8_t* b, First&& first) {
  const uint64_t end = EntriesEnd(b);
  uint64_t pos = CStandardIndexHeader::GetOffsetofIndexEntries(b);
  bool haveFirst = false;
  uint64_t parent = 0;
  while (pos + 16 <= end) {
    const uint8_t* entry = b + pos;
    const uint16_t length = Le16(entry + 8);
    const uint16_t flags = Le16(entry + 12);
    if ((flags & kFlagLast) != 0 || length == 0) break;
    if (pos + length > end) return false;
    if (flags != kFlagSubNode) {
      if (!CIndexRecord::IsValidEntry(entry, static_cast<int>(end - pos))) return false;
      const uint64_t reference = Le64(entry + 16);
      if (!haveFirst) {
        haveFirst = true;
        parent = reference;
        first(reference);
      } else if (reference != parent) {
        return false;
      }
    }
    pos += length;
  }
  return true;
}

// A private copy of the page with its update sequence undone; empty when the
// page fails the header test or its sequence.
std::vector<uint8_t> UnfixedCopy(const uint8_t* buffer, int size) {
  if (!CStandardIndexHeader::IsValid(buffer, size) || !CIndexRecord::IsValidUpdateSequence(buffer, size)) return {};
  std::vector<uint8_t> copy(buffer, buffer + size);
  CIndexRecord::UnfixupIndexRecord(copy.data(), size);
  return copy;
}

}  // namespace

// ---- header ----------------------------------------------------------------

bool CStandardIndexHeader::IsValidMagicNumber(const uint8_t* buffer) {
  return buffer != nullptr && std::memcmp(buffer, kMagic, 4) == 0;
}
uint32_t CStandardIndexHeader::GetOffsetofIndexEntries(const uint8_t* b) { return Le32(b + 0x18) + kHeaderOffset; }
uint32_t CStandardIndexHeader::GetSizeofIndexEntries(const uint8_t* b) { return Le32(b + 0x1C); }
uint32_t CStandardIndexHeader::GetAllocatedSize(const uint8_t* b) { return Le32(b + 0x20); }
int64_t CStandardIndexHeader::GetVCN(const uint8_t* b) { return LeI64(b + 0x10); }
uint64_t CStandardIndexHeader::GetLogFileSequenceNumber(const uint8_t* b) { return Le64(b + 8); }

bool CStandardIndexHeader::IsValid(const uint8_t* buffer, int size) {
  if (buffer == nullptr || size < kMinPage) return false;
  if (!IsValidMagicNumber(buffer)) return false;
  const uint64_t allocated = GetAllocatedSize(buffer);
  const uint64_t entriesSize = GetSizeofIndexEntries(buffer);
  const uint64_t entriesOffset = Le32(buffer + 0x18);
  if (allocated > static_cast<uint64_t>(size) || entriesSize > allocated) return false;
  // The entries start inside their own extent and end inside the page.
  if (entriesOffset > entriesSize || EntriesEnd(buffer) > static_cast<uint64_t>(size)) return false;
  const uint16_t count = SequenceCount(buffer);
  if (count < 1 || count > ntfs_usa::kMaxCount || count - 1 > size / kStride) return false;
  if (count - 1 != static_cast<uint16_t>((allocated + entriesOffset) / kStride)) return false;
  const uint16_t offset = SequenceOffset(buffer);
  if (offset < 40 || offset > 256) return false;
  // The array lies in the page, before the first word it protects.
  const uint32_t arrayEnd = offset + 2u * count;
  return arrayEnd <= static_cast<uint32_t>(size) && arrayEnd <= kStride - 2;
}

// ---- page ------------------------------------------------------------------

bool CIndexRecord::IsValidUpdateSequence(const uint8_t* buffer, int size) {
  if (!CStandardIndexHeader::IsValid(buffer, size)) return false;
  return ntfs_usa::StrideEndsCarryNumber(buffer, SequenceOffset(buffer), SequenceCount(buffer) - 1);
}

bool CIndexRecord::UnfixupIndexRecord(uint8_t* buffer, int size) {
  if (!IsValidUpdateSequence(buffer, size)) return false;
  ntfs_usa::Undo(buffer, SequenceOffset(buffer), SequenceCount(buffer) - 1);
  return true;
}

bool CIndexRecord::FixupIndexRecord(uint8_t* buffer, int size) {
  if (!CStandardIndexHeader::IsValid(buffer, size)) return false;
  ntfs_usa::Redo(buffer, SequenceOffset(buffer), SequenceCount(buffer) - 1);
  return true;
}

bool CIndexRecord::IsValidEntry(const uint8_t* entry, int bytesLeft) {
  if (entry == nullptr || bytesLeft < kNamedEntryMin) return false;
  const uint16_t length = Le16(entry + 8);
  if (length < kNamedEntryMin || length > bytesLeft) return false;
  return IsValidIndexEntry(entry);
}

bool CIndexRecord::CheckIndexEntries(const uint8_t* buffer, int size) {
  if (!CStandardIndexHeader::IsValid(buffer, size)) return false;
  return WalkEntries(buffer, [](uint64_t) {});
}

bool CIndexRecord::IsValid(const uint8_t* buffer, int size) {
  const std::vector<uint8_t> page = UnfixedCopy(buffer, size);
  return !page.empty() && CheckIndexEntries(page.data(), size);
}

int64_t CIndexRecord::GetParentFileReference(const uint8_t* buffer, int size) {
  const std::vector<uint8_t> page = UnfixedCopy(buffer, size);
  if (page.empty()) return -1;
  int64_t parent = -1;
  if (!WalkEntries(page.data(), [&](uint64_t reference) {
        parent = static_cast<int64_t>(reference & ntfs_bytes::kRecordNumberMask);
      })) {
    return -1;
  }
  return parent;
}
