#include "ntfs/RCRDRecord.h"

#include <cstring>

#include "ntfs/NTFSBytes.h"

using ntfs_bytes::LoadU16;

namespace {
constexpr uint8_t kMagic[4] = {'R', 'C', 'R', 'D'};
constexpr int kStride = 512;
}  // namespace

bool CRCRDRecord::IsValidMagicNumber(const uint8_t* buffer) {
  return buffer != nullptr && std::memcmp(buffer, kMagic, 4) == 0;
}

bool CRCRDRecord::IsValidRCRDRecordFirstSector(const uint8_t* buffer, int size) {
  return size >= kStride && IsValidMagicNumber(buffer);
}

bool CRCRDRecord::IsValidUpdateSequence(const uint8_t* buffer, int size) {
  if (buffer == nullptr || size < kPageSize) return false;
  if (LoadU16(buffer + 4) != kSequenceOffset || LoadU16(buffer + 6) != kSequenceCount) return false;
  const uint16_t number = LoadU16(buffer + kSequenceOffset);
  for (int i = 0; i < kSectors; ++i) {
    if (LoadU16(buffer + kStride * i + kStride - 2) != number) return false;
  }
  return true;
}

bool CRCRDRecord::IsValid(const uint8_t* buffer, int size) {
  return size >= kPageSize && IsValidMagicNumber(buffer) && IsValidUpdateSequence(buffer, size);
}

bool CRCRDRecord::Unfixup(uint8_t* buffer, int size) {
  if (!IsValid(buffer, size)) return false;
  const uint8_t* array = buffer + kSequenceOffset + 2;
  for (int i = 0; i < kSectors; ++i) std::memcpy(buffer + kStride * i + kStride - 2, array + 2 * i, 2);
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
