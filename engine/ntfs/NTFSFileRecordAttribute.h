// Readers of the attributes of a FILE record: the common header, and the
// contents of $STANDARD_INFORMATION, $FILE_NAME, $INDEX_ROOT and the mapping
// pairs of non-resident attributes.
//
// Every reader takes a pointer to the first byte of an attribute that lies
// wholly inside the caller's buffer and has passed its test (IsValid with the
// bytes left in the buffer), as the record walk of CNTFSFileRecord
// guarantees. The tests check every field the readers use against the
// attribute's own length, so a valid attribute never leads a reader outside
// it. Contents are read at the attribute's own content offset.
#pragma once

#include <cstdint>
#include <string>

#include "FileTime.h"
#include "ntfs/NTFSDataRunList.h"

class CNTFSFileRecordAttribute {
 public:
  static constexpr uint32_t kResidentHeaderSize = 24;
  static constexpr uint32_t kNonResidentHeaderSize = 64;
  static constexpr uint16_t kFlagCompressed = 0x0001;
  static constexpr uint16_t kFlagEncrypted = 0x4000;
  static constexpr uint16_t kFlagSparse = 0x8000;

  static uint32_t GetType(const uint8_t* attr);
  static uint32_t GetLength(const uint8_t* attr);
  static bool IsResident(const uint8_t* attr);
  static bool IsNamed(const uint8_t* attr);
  static uint8_t GetAttributeNameLength(const uint8_t* attr);  // UTF-16 units
  static uint16_t GetID(const uint8_t* attr);
  static uint16_t GetFlags(const uint8_t* attr);
  static bool IsCompressed(const uint8_t* attr);
  static bool IsEncrypted(const uint8_t* attr);
  static bool IsSparse(const uint8_t* attr);
  static uint16_t GetOffsetToName(const uint8_t* attr);
  // The attribute's name as UTF-8 ("" when unnamed).
  static std::string GetAttributeName(const uint8_t* attr);
  // Resident form: content offset and content length (bytes).
  static uint16_t GetOffsetToAttribute(const uint8_t* attr);
  static uint32_t GetLengthOfAttribute(const uint8_t* attr);
  // The u32 at 0x10: the resident content length in bytes.
  static uint32_t GetNameLength(const uint8_t* attr);
  // Sizes of the data; a resident attribute answers its content length.
  static int64_t GetRealSizeOfAttribute(const uint8_t* attr);
  static int64_t GetAllocSizeofAttribute(const uint8_t* attr);
  static int64_t GetInitializedDataSize(const uint8_t* attr);
  static uint16_t GetCompressionUnitSize(const uint8_t* attr);

  // The attribute test: the header and every field the readers use lie
  // inside the attribute, the attribute inside `bytesLeft`; the mapping pairs
  // of a non-resident $DATA pass the run-list test.
  static bool IsValid(const uint8_t* attr, int bytesLeft);
  // The resident or non-resident part of the test, with the attribute's own
  // length as the limit.
  static bool IsValidNonResidentAttribute(const uint8_t* attr);
  static bool IsValidResidentAttribute(const uint8_t* attr);
};

class CNTFSFileRecordStandardInformationAttribute {
 public:
  static _FILETIME GetCreationFileTime(const uint8_t* attr);
  static _FILETIME GetModificationFileTime(const uint8_t* attr);
  static _FILETIME GetMFTChangeFileTime(const uint8_t* attr);
  static _FILETIME GetLastAccessFileTime(const uint8_t* attr);
  // The file attribute word (0x01 read-only, 0x02 hidden, 0x04 system, 0x20
  // archive, 0x200 sparse, 0x800 compressed, 0x4000 encrypted, ...).
  static uint32_t GetDosFilePermission(const uint8_t* attr);
  // A resident attribute holding at least the fields above, inside `length`.
  static bool IsValid(const uint8_t* attr, int length);
};

class CNTFSFileRecordFileNameAttribute {
 public:
  static constexpr uint32_t kFlagDirectory = 0x10000000;
  static constexpr uint32_t kFlagCompressed = 0x0800;
  static constexpr uint32_t kFlagEncrypted = 0x4000;
  enum Namespace : uint8_t { kPosix = 0, kWin32 = 1, kDos = 2, kWin32AndDos = 3, kUnknown = 4 };

  static uint64_t GetFileRecordNumberofParentDirectory(const uint8_t* attr);  // low 48 bits
  static uint16_t GetParentSequenceNumber(const uint8_t* attr);
  static _FILETIME GetCreationFileTime(const uint8_t* attr);
  static _FILETIME GetModificationFileTime(const uint8_t* attr);
  static _FILETIME GetMFTChangeFileTime(const uint8_t* attr);
  static _FILETIME GetLastAccessFileTime(const uint8_t* attr);
  static int64_t GetFileAllocatedSize(const uint8_t* attr);
  static int64_t GetFileRealSize(const uint8_t* attr);
  static uint32_t GetFlags(const uint8_t* attr);
  static bool IsDirectory(const uint8_t* attr);
  static bool IsCompressed(const uint8_t* attr);
  static bool IsEncrypted(const uint8_t* attr);
  // The UTF-16LE name; it may sit at any alignment, so read it bytewise.
  static const uint8_t* GetFileName(const uint8_t* attr);
  static uint8_t GetFileNameLength(const uint8_t* attr);  // UTF-16 units
  static uint8_t GetFileNameNamespaceType(const uint8_t* attr);  // above 3 reads as 4
  // The name as UTF-8, up to its length or a 0 unit; units that do not
  // convert (an unpaired surrogate) become U+FFFD.
  static std::string GetFileNameUtf8(const uint8_t* attr);
  // Case-sensitive comparison with a wide text narrowed to 16 bits.
  static bool IsFileNameEqual(const uint8_t* attr, const wchar_t* text);
  // The attribute test, type 0x30, resident, a content that holds the whole
  // name, and a name without the characters NTFS forbids.
  static bool IsValid(const uint8_t* attr, int bytesLeft);
};

// The character test on a bare UTF-16LE name of `length` units (stopping at a
// 0 unit): none of " * / : < > ? \ |. Control characters are allowed.
bool IsValidFileName(const uint8_t* name, int length);

class CNTFSFileRecordIndexRootAttribute {
 public:
  // A resident attribute whose content holds the index header and the
  // entries it announces.
  static bool IsValid(const uint8_t* attr, int bytesLeft);
  // The folder the index root belongs to: the common parent of its entries
  // that carry a name, or -1 when there is none or they disagree.
  static int64_t GetMFTFileRecordNumberfrom0x90(const uint8_t* attr, int bytesLeft);
};

// The entry test of index pages: the key's real size is at most its
// allocated size. `entry` holds at least the 82 bytes of a named entry.
bool IsValidIndexEntry(const uint8_t* entry);

class CNTFSFileRecordDataRunsAttribute {
 public:
  // The mapping pairs of a non-resident attribute; null when it is not valid.
  static const uint8_t* GetDataRunsBuffer(const uint8_t* attr);
  static int GetDataRunsLength(const uint8_t* attr);  // length - mapping-pairs offset; 0 when invalid
  static int64_t GetStartVCN(const uint8_t* attr);
  static int64_t GetLastVCN(const uint8_t* attr);
  // Clusters of the mapping pairs (sparse runs included); -1 when invalid.
  static int64_t GetTotalClusters(const uint8_t* attr);
  // The cluster-size guess from the initialised size (see
  // CNTFSFileRecordAnalyzer); 0 when no guess can be made.
  static uint8_t GetSectorsPerCluster(const uint8_t* attr, uint32_t sectorSize);
  static uint8_t GetSectorsPerCluster(const uint8_t* attr);
  // Decodes the runs (VCNs from 0) into `list`; `size` is the bytes left in
  // the caller's buffer from `attr`.
  static bool GetDataRunList(const uint8_t* attr, int size, CNTFSDataRunList::Runs& list);
};
