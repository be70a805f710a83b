#include "ntfs/RCRDRecord.h"

#include <cstring>

#include "ntfs/UpdateSequence.h"

namespace {
constexpr uint8_t kMagic[4] = {'R', 'C', 'R', 'D'};
}  // namespace

bool CRCRDRecord::IsValidMagicNumber(const uint8_t* buffer) {
  return buffer != nullptr && std::memcmp(buffer, kMagic, 4) == 0;
}

bool CRCRDRecord::IsValidRCRDRecordFirstSector(const uint8_t* buffer, int size) {
  return size >= ntfs_usa::kStride && IsValidMagicNumber(buffer);
}

bool CRCRDRecord::IsValidUpdateSequence(const uint8_t* buffer, int size) {
  if (buffer == nullptr || size < kPageSize) return false;
  if (ntfs_usa::ArrayOffset(buffer) != kSequenceOffset || ntfs_usa::Count(buffer) != kSequenceCount) return false;
  return ntfs_usa::StrideEndsCarryNumber(buffer, kSequenceOffset, kSectors);
}

bool CRCRDRecord::IsValid(const uint8_t* buffer, int size) {
  return size >= kPageSize && IsValidMagicNumber(buffer) && IsValidUpdateSequence(buffer, size);
}

bool CRCRDRecord::Unfixup(uint8_t* buffer, int size) {
  if (!IsValid(buffer, size)) return false;
  ntfs_usa::Undo(buffer, kSequenceOffset, kSectors);
  return true;
}

bool CRCRDRecord::GetRecordHead(uint8_t* buffer, int size, CRecordPageHeader** head) {
  if (head == nullptr || !IsValidRCRDRecordFirstSector(buffer, size)) return false;
  *head = reinterpret_cast<CRecordPageHeader*>(buffer);
  return true;
}

bool CRCRDRecord::GetOperationRecordHeader(uint8_t* buffer, int length, CLogRecordHeader** header) {
  if (header == nullptr || buffer == nullptr || length < kLogRecordHeaderSize) return false;
  *header = reinterpret_cast<CLogRecordHeader*>(buffer);
  return true;
}
