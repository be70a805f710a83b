#include "ntfs/NTFSFileRecordAttribute.h"

#include <algorithm>

#include "OnDiskBytes.h"
#include "base/TextConvert.h"
#include "ntfs/NTFSBytes.h"
#include "ntfs/NTFSFileRecord.h"
#include "ntfs/NTFSFileRecordAnalyzer.h"

using ondisk::Le16;
using ondisk::Le32;
using ondisk::Le64;
using ondisk::LeI64;

namespace {

// Offsets inside the $FILE_NAME content.
constexpr uint32_t kFnParent = 0x00;
constexpr uint32_t kFnCreation = 0x08;
constexpr uint32_t kFnModification = 0x10;
constexpr uint32_t kFnMFTChange = 0x18;
constexpr uint32_t kFnAccess = 0x20;
constexpr uint32_t kFnAllocated = 0x28;
constexpr uint32_t kFnRealSize = 0x30;
constexpr uint32_t kFnFlags = 0x38;
constexpr uint32_t kFnNameLength = 0x40;
constexpr uint32_t kFnNamespace = 0x41;
constexpr uint32_t kFnName = 0x42;

// Offsets inside the $STANDARD_INFORMATION content, and the bytes the readers use.
constexpr uint32_t kSiCreation = 0x00;
constexpr uint32_t kSiModification = 0x08;
constexpr uint32_t kSiMFTChange = 0x10;
constexpr uint32_t kSiAccess = 0x18;
constexpr uint32_t kSiAttributes = 0x20;
constexpr uint32_t kSiMinContent = 0x24;

// Index entries: the key (a $FILE_NAME content) starts at +16.
constexpr uint32_t kEntryLength = 8;
constexpr uint32_t kEntryFlags = 12;
constexpr uint32_t kEntryKey = 16;
constexpr uint16_t kEntryHasSubNode = 1;
constexpr uint16_t kEntryLast = 2;
constexpr uint32_t kNamedEntryMin = kEntryKey + kFnName;  // 82: up to the name

const uint8_t* Content(const uint8_t* attr) { return attr + CNTFSFileRecordAttribute::GetOffsetToAttribute(attr); }

bool NameFits(const uint8_t* attr, uint32_t length) {
  const uint32_t units = CNTFSFileRecordAttribute::GetAttributeNameLength(attr);
  if (units == 0) return true;
  return uint64_t{CNTFSFileRecordAttribute::GetOffsetToName(attr)} + 2 * units <= length;
}

}  // namespace

// ---- common header ---------------------------------------------------------

uint32_t CNTFSFileRecordAttribute::GetType(const uint8_t* attr) { return Le32(attr); }
uint32_t CNTFSFileRecordAttribute::GetLength(const uint8_t* attr) { return Le32(attr + 4); }
bool CNTFSFileRecordAttribute::IsResident(const uint8_t* attr) { return attr[8] == 0; }
bool CNTFSFileRecordAttribute::IsNamed(const uint8_t* attr) { return attr[9] != 0; }
uint8_t CNTFSFileRecordAttribute::GetAttributeNameLength(const uint8_t* attr) { return attr[9]; }
uint16_t CNTFSFileRecordAttribute::GetOffsetToName(const uint8_t* attr) { return Le16(attr + 0x0A); }
uint16_t CNTFSFileRecordAttribute::GetFlags(const uint8_t* attr) { return Le16(attr + 0x0C); }
uint16_t CNTFSFileRecordAttribute::GetID(const uint8_t* attr) { return Le16(attr + 0x0E); }
bool CNTFSFileRecordAttribute::IsCompressed(const uint8_t* attr) { return (GetFlags(attr) & kFlagCompressed) != 0; }
bool CNTFSFileRecordAttribute::IsEncrypted(const uint8_t* attr) { return (GetFlags(attr) & kFlagEncrypted) != 0; }
bool CNTFSFileRecordAttribute::IsSparse(const uint8_t* attr) { return (GetFlags(attr) & kFlagSparse) != 0; }
uint32_t CNTFSFileRecordAttribute::GetLengthOfAttribute(const uint8_t* attr) { return Le32(attr + 0x10); }
uint32_t CNTFSFileRecordAttribute::GetNameLength(const uint8_t* attr) { return Le32(attr + 0x10); }
uint16_t CNTFSFileRecordAttribute::GetOffsetToAttribute(const uint8_t* attr) { return Le16(attr + 0x14); }

std::string CNTFSFileRecordAttribute::GetAttributeName(const uint8_t* attr) {
  if (!IsNamed(attr)) return {};
  return ToUtf8(attr + GetOffsetToName(attr), 2u * GetAttributeNameLength(attr), TextEncoding::UTF16LE);
}

int64_t CNTFSFileRecordAttribute::GetRealSizeOfAttribute(const uint8_t* attr) {
  return IsResident(attr) ? int64_t{GetLengthOfAttribute(attr)} : LeI64(attr + 0x30);
}
int64_t CNTFSFileRecordAttribute::GetAllocSizeofAttribute(const uint8_t* attr) {
  return IsResident(attr) ? int64_t{GetLengthOfAttribute(attr)} : LeI64(attr + 0x28);
}
int64_t CNTFSFileRecordAttribute::GetInitializedDataSize(const uint8_t* attr) {
  return IsResident(attr) ? int64_t{GetLengthOfAttribute(attr)} : LeI64(attr + 0x38);
}
uint16_t CNTFSFileRecordAttribute::GetCompressionUnitSize(const uint8_t* attr) {
  return IsResident(attr) ? 0 : Le16(attr + 0x22);
}

bool CNTFSFileRecordAttribute::IsValidResidentAttribute(const uint8_t* attr) {
  if (attr == nullptr) return false;
  const uint32_t length = GetLength(attr);
  if (length < kResidentHeaderSize) return false;
  if (uint64_t{GetOffsetToAttribute(attr)} + GetLengthOfAttribute(attr) > length) return false;
  return NameFits(attr, length);
}

bool CNTFSFileRecordAttribute::IsValidNonResidentAttribute(const uint8_t* attr) {
  if (attr == nullptr) return false;
  const uint32_t length = GetLength(attr);
  if (length < kNonResidentHeaderSize) return false;
  const uint16_t runsOffset = Le16(attr + 0x20);
  if (runsOffset > length) return false;
  if (!NameFits(attr, length)) return false;
  if (GetType(attr) == ntfs_record::kData &&
      !CNTFSDataRunList::IsValid(attr + runsOffset, static_cast<int>(length - runsOffset))) {
    return false;
  }
  return true;
}

bool CNTFSFileRecordAttribute::IsValid(const uint8_t* attr, int bytesLeft) {
  if (attr == nullptr || bytesLeft < 16) return false;
  if (GetLength(attr) > static_cast<uint32_t>(bytesLeft)) return false;
  return IsResident(attr) ? IsValidResidentAttribute(attr) : IsValidNonResidentAttribute(attr);
}

// ---- $STANDARD_INFORMATION -------------------------------------------------

_FILETIME CNTFSFileRecordStandardInformationAttribute::GetCreationFileTime(const uint8_t* attr) {
  return Le64(Content(attr) + kSiCreation);
}
_FILETIME CNTFSFileRecordStandardInformationAttribute::GetModificationFileTime(const uint8_t* attr) {
  return Le64(Content(attr) + kSiModification);
}
_FILETIME CNTFSFileRecordStandardInformationAttribute::GetMFTChangeFileTime(const uint8_t* attr) {
  return Le64(Content(attr) + kSiMFTChange);
}
_FILETIME CNTFSFileRecordStandardInformationAttribute::GetLastAccessFileTime(const uint8_t* attr) {
  return Le64(Content(attr) + kSiAccess);
}
uint32_t CNTFSFileRecordStandardInformationAttribute::GetDosFilePermission(const uint8_t* attr) {
  return Le32(Content(attr) + kSiAttributes);
}

bool CNTFSFileRecordStandardInformationAttribute::IsValid(const uint8_t* attr, int length) {
  if (attr == nullptr || !CNTFSFileRecordAttribute::IsValid(attr, length)) return false;
  if (!CNTFSFileRecordAttribute::IsResident(attr)) return false;
  if (CNTFSFileRecordAttribute::GetLengthOfAttribute(attr) < kSiMinContent) return false;
  return uint32_t{CNTFSFileRecordAttribute::GetOffsetToAttribute(attr)} + 40 <=
         (static_cast<uint32_t>(length) & 0xFFFF);
}

// ---- $FILE_NAME ------------------------------------------------------------

uint64_t CNTFSFileRecordFileNameAttribute::GetFileRecordNumberofParentDirectory(const uint8_t* attr) {
  return Le64(Content(attr) + kFnParent) & ntfs_bytes::kRecordNumberMask;
}
uint16_t CNTFSFileRecordFileNameAttribute::GetParentSequenceNumber(const uint8_t* attr) {
  return Le16(Content(attr) + kFnParent + 6);
}
_FILETIME CNTFSFileRecordFileNameAttribute::GetCreationFileTime(const uint8_t* attr) {
  return Le64(Content(attr) + kFnCreation);
}
_FILETIME CNTFSFileRecordFileNameAttribute::GetModificationFileTime(const uint8_t* attr) {
  return Le64(Content(attr) + kFnModification);
}
_FILETIME CNTFSFileRecordFileNameAttribute::GetMFTChangeFileTime(const uint8_t* attr) {
  return Le64(Content(attr) + kFnMFTChange);
}
_FILETIME CNTFSFileRecordFileNameAttribute::GetLastAccessFileTime(const uint8_t* attr) {
  return Le64(Content(attr) + kFnAccess);
}
int64_t CNTFSFileRecordFileNameAttribute::GetFileAllocatedSize(const uint8_t* attr) {
  return LeI64(Content(attr) + kFnAllocated);
}
int64_t CNTFSFileRecordFileNameAttribute::GetFileRealSize(const uint8_t* attr) {
  return LeI64(Content(attr) + kFnRealSize);
}
uint32_t CNTFSFileRecordFileNameAttribute::GetFlags(const uint8_t* attr) { return Le32(Content(attr) + kFnFlags); }
bool CNTFSFileRecordFileNameAttribute::IsDirectory(const uint8_t* attr) {
  return (GetFlags(attr) & kFlagDirectory) != 0;
}
bool CNTFSFileRecordFileNameAttribute::IsCompressed(const uint8_t* attr) {
  return (GetFlags(attr) & kFlagCompressed) != 0;
}
bool CNTFSFileRecordFileNameAttribute::IsEncrypted(const uint8_t* attr) {
  return (GetFlags(attr) & kFlagEncrypted) != 0;
}
const uint8_t* CNTFSFileRecordFileNameAttribute::GetFileName(const uint8_t* attr) { return Content(attr) + kFnName; }
uint8_t CNTFSFileRecordFileNameAttribute::GetFileNameLength(const uint8_t* attr) {
  return Content(attr)[kFnNameLength];
}
uint8_t CNTFSFileRecordFileNameAttribute::GetFileNameNamespaceType(const uint8_t* attr) {
  const uint8_t type = Content(attr)[kFnNamespace];
  return type > 3 ? static_cast<uint8_t>(kUnknown) : type;
}

std::string CNTFSFileRecordFileNameAttribute::GetFileNameUtf8(const uint8_t* attr) {
  const uint8_t* name = GetFileName(attr);
  const int length = GetFileNameLength(attr);
  int units = 0;
  while (units < length && Le16(name + 2 * units) != 0) ++units;
  return ToUtf8(name, 2u * units, TextEncoding::UTF16LE);
}

bool CNTFSFileRecordFileNameAttribute::IsFileNameEqual(const uint8_t* attr, const wchar_t* text) {
  if (text == nullptr) return false;
  const uint8_t* name = GetFileName(attr);
  const int length = GetFileNameLength(attr);
  int i = 0;
  for (; i < length; ++i) {
    if (text[i] == 0) return false;
    if (static_cast<uint16_t>(text[i]) != Le16(name + 2 * i)) return false;
  }
  return text[i] == 0;
}

bool CNTFSFileRecordFileNameAttribute::IsValid(const uint8_t* attr, int bytesLeft) {
  if (!CNTFSFileRecordAttribute::IsValid(attr, bytesLeft)) return false;
  if (CNTFSFileRecordAttribute::GetType(attr) != ntfs_record::kFileName) return false;
  if (!CNTFSFileRecordAttribute::IsResident(attr)) return false;
  // The attribute test put the content inside the attribute; the content
  // must hold the fixed part and the whole name.
  const uint32_t contentLength = CNTFSFileRecordAttribute::GetLengthOfAttribute(attr);
  if (contentLength < kFnName) return false;
  const int length = GetFileNameLength(attr);
  if (kFnName + 2u * length > contentLength) return false;
  return IsValidFileName(GetFileName(attr), length);
}

bool IsValidFileName(const uint8_t* name, int length) {
  if (name == nullptr) return length <= 0;
  for (int i = 0; i < length; ++i) {
    const uint16_t unit = Le16(name + 2 * i);
    if (unit == 0) break;
    if (IsForbiddenNameUnit(unit)) return false;
  }
  return true;
}

// ---- $INDEX_ROOT -----------------------------------------------------------

bool IsValidIndexEntry(const uint8_t* entry) {
  return LeI64(entry + kEntryKey + kFnRealSize) <= LeI64(entry + kEntryKey + kFnAllocated);
}

bool CNTFSFileRecordIndexRootAttribute::IsValid(const uint8_t* attr, int bytesLeft) {
  if (attr == nullptr || !CNTFSFileRecordAttribute::IsValid(attr, bytesLeft)) return false;
  if (!CNTFSFileRecordAttribute::IsResident(attr)) return false;
  const uint32_t contentLength = CNTFSFileRecordAttribute::GetLengthOfAttribute(attr);
  if (contentLength < 32) return false;  // the root's own 16 bytes and the index header
  return uint64_t{Le32(Content(attr) + 20)} + 16 <= contentLength;
}

int64_t CNTFSFileRecordIndexRootAttribute::GetMFTFileRecordNumberfrom0x90(const uint8_t* attr, int bytesLeft) {
  if (!IsValid(attr, bytesLeft)) return -1;
  const uint8_t* content = Content(attr);
  const uint64_t contentLength = CNTFSFileRecordAttribute::GetLengthOfAttribute(attr);
  const uint64_t entriesOffset = Le32(content + 16);
  const uint64_t indexLength = Le32(content + 20);
  if (indexLength <= 16) return -1;
  const uint64_t start = 16 + entriesOffset;
  const uint64_t end = std::min(start + indexLength - 16, contentLength);
  int64_t candidate = -1;
  uint64_t pos = start;
  while (pos + kEntryKey <= end) {
    const uint8_t* entry = content + pos;
    const uint16_t entryLength = Le16(entry + kEntryLength);
    if (entryLength == 0 || pos + entryLength > end) break;
    const uint16_t flags = Le16(entry + kEntryFlags);
    if (flags != kEntryHasSubNode) {
      // The last entry carries no key; an entry too short for a name has none.
      if ((flags & kEntryLast) != 0 || entryLength < kNamedEntryMin) break;
      if (entry[kEntryKey + kFnNameLength] == 0 || !IsValidIndexEntry(entry)) break;
      const int64_t parent = static_cast<int64_t>(Le64(entry + kEntryKey) & ntfs_bytes::kRecordNumberMask);
      if (candidate == -1) {
        candidate = parent;
      } else if (candidate != parent) {
        return -1;
      }
    }
    pos += entryLength;
  }
  return candidate;
}

// ---- mapping pairs ---------------------------------------------------------

const uint8_t* CNTFSFileRecordDataRunsAttribute::GetDataRunsBuffer(const uint8_t* attr) {
  if (attr == nullptr || CNTFSFileRecordAttribute::IsResident(attr)) return nullptr;
  if (!CNTFSFileRecordAttribute::IsValidNonResidentAttribute(attr)) return nullptr;
  return attr + Le16(attr + 0x20);
}

int CNTFSFileRecordDataRunsAttribute::GetDataRunsLength(const uint8_t* attr) {
  if (GetDataRunsBuffer(attr) == nullptr) return 0;
  return static_cast<int>(CNTFSFileRecordAttribute::GetLength(attr) - Le16(attr + 0x20));
}

int64_t CNTFSFileRecordDataRunsAttribute::GetStartVCN(const uint8_t* attr) { return LeI64(attr + 0x10); }
int64_t CNTFSFileRecordDataRunsAttribute::GetLastVCN(const uint8_t* attr) { return LeI64(attr + 0x18); }

int64_t CNTFSFileRecordDataRunsAttribute::GetTotalClusters(const uint8_t* attr) {
  const uint8_t* runs = GetDataRunsBuffer(attr);
  if (runs == nullptr) return -1;
  return CNTFSDataRunList::GetTotalClusters(runs, GetDataRunsLength(attr));
}

uint8_t CNTFSFileRecordDataRunsAttribute::GetSectorsPerCluster(const uint8_t* attr, uint32_t sectorSize) {
  if (GetDataRunsBuffer(attr) == nullptr) return 0;
  const int64_t bytes = CNTFSFileRecordAttribute::GetInitializedDataSize(attr);
  if (bytes < 1) return 0;
  return CNTFSFileRecordAnalyzer::GuessSectorsPerCluster(bytes, GetTotalClusters(attr), sectorSize);
}

uint8_t CNTFSFileRecordDataRunsAttribute::GetSectorsPerCluster(const uint8_t* attr) {
  return GetSectorsPerCluster(attr, GetNTFSSectorSize());
}

bool CNTFSFileRecordDataRunsAttribute::GetDataRunList(const uint8_t* attr, int size, CNTFSDataRunList::Runs& list) {
  if (!CNTFSFileRecordAttribute::IsValid(attr, size) || CNTFSFileRecordAttribute::IsResident(attr)) return false;
  return CNTFSDataRunList::FormDataRunList(GetDataRunsBuffer(attr), GetDataRunsLength(attr), list);
}
