// FAT directory entries (32 bytes: short entries and long-name pieces), the
// test that tells a sector of directory content from other data, and the
// conversion of FAT dates and times.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "FileTime.h"

// Byte offsets of the fields of a 32-byte directory entry.
struct tagFATDIRENTRY {
  static constexpr int kName = 0;  // 8 bytes, then the 3-byte extension
  static constexpr int kExtension = 8;
  static constexpr int kAttribute = 11;
  static constexpr int kCaseFlags = 12;
  static constexpr int kLongNameChecksum = 13;  // in a long-name piece
  static constexpr int kCreationTenths = 13;    // in a short entry: 10 ms steps, 0-199
  static constexpr int kCreationTime = 14;
  static constexpr int kCreationDate = 16;
  static constexpr int kAccessDate = 18;
  static constexpr int kClusterHigh = 20;
  static constexpr int kModificationTime = 22;
  static constexpr int kModificationDate = 24;
  static constexpr int kClusterLow = 26;
  static constexpr int kSize = 28;
  static constexpr size_t kBytes = 32;
};

// Date: day bits 0-4, month 5-8, years since 1980 9-15.
struct tagFATDATE {
  uint16_t value;
};
// Time: two-second count bits 0-4, minute 5-10, hour 11-15.
struct tagFATTIME {
  uint16_t value;
};

class CTempFATDirEntry {
 public:
  static constexpr uint8_t kErased = 0xE5;
  static constexpr uint8_t kLongName = 0x0F;
  static constexpr uint8_t kDirectory = 0x10;
  static constexpr uint8_t kVolumeLabel = 0x08;
  // A long name never has more pieces than this (255 characters).
  static constexpr size_t kMaxLongNamePieces = 20;

  // A view over 32 bytes of the caller's (null gives an entry that is never
  // valid).
  explicit CTempFATDirEntry(const uint8_t* entry) : m_entry(entry) {}
  // Re-points the view; answers the plain validity test.
  bool InitFromBuffer(const uint8_t* entry);

  // With `clusterCheck`, a file must have both or neither of a size and a
  // cluster, and a folder no size together with a high cluster word. Dates
  // and times are not tested: an entry whose clock was wrong is still the
  // entry (its time shows as unknown).
  bool IsValidFATDirEntry(int clusterCheck) const;
  // Whether its dates and times could have been written by a sound clock
  // (0, never set, included).
  bool HasPossibleTimes() const;
  // The test for entries found where no folder leads (deep scans): the
  // validity test, and either possible times or, where they are not, the
  // reserved bytes 12 and 13 as writers leave them: other data passes
  // hardly more often than when possible times were required.
  bool IsLikelyFATDirEntry(int clusterCheck) const;
  bool IsErased() const { return m_entry != nullptr && m_entry[0] == kErased; }
  bool IsNeverUsed() const { return m_entry != nullptr && m_entry[0] == 0; }
  bool IsDirectory() const { return (Attribute() & kDirectory) != 0; }
  bool IsVolumeLabel() const { return (Attribute() & kVolumeLabel) != 0; }
  bool IsLongFileNameEntry() const { return Attribute() == kLongName; }
  uint8_t Attribute() const { return m_entry != nullptr ? m_entry[tagFATDIRENTRY::kAttribute] : 0; }

  // "BASE.EXT" (or "BASEEXT" in the label form): trailing blanks dropped, an
  // erased first byte shown as '#', bytes from 0x80 up as '_'; the lower-case
  // flags of byte 12 applied. "_" when nothing is left.
  //
  // The flags are applied on purpose: a name such as "readme.txt" is stored
  // as "README  TXT" with them (writers keep no long name for it), every
  // system that made or showed the file showed it lower-case, and so do
  // the peers (fls); the user looks for the name they saw.
  std::string GetShortName(int labelForm) const;
  // The piece's 13 UTF-16 units, cut at the first zero unit.
  std::u16string GetLongFileNamePiece() const;
  // The piece converted to UTF-8; "_" when empty.
  std::string GetLongFileName() const;
  uint32_t GetFirstClusterNO() const;
  uint32_t GetFileSize() const;
  // Compares the 8-byte name and 3-byte extension fields.
  bool IsFilenameEqual(const char* name8, const char* extension3) const;
  // The checksum a long-name piece of this short entry carries.
  uint8_t ShortNameChecksum() const;

  static bool IsValidFileName(const uint8_t* name11);
  static bool IsValidLongFileName(const char* text);

  const uint8_t* Bytes() const { return m_entry; }

 private:
  const uint8_t* m_entry;
};

class CFATFolderAnalyser;

// Told about every short entry AnalyseSector accepts.
class CFatFolderAnalyzeCB {
 public:
  virtual ~CFatFolderAnalyzeCB() = default;
  virtual void OnEntry(CFATFolderAnalyser* analyser, const uint8_t* entry, uint32_t unused, uint32_t index,
                       int subfolderStart, void* context) = 0;
};

class CFATFolderAnalyser {
 public:
  enum Kind : uint32_t { kNotDirectory = 0, kDirectorySector = 1, kSubfolderFirstSector = 2 };

  explicit CFATFolderAnalyser(uint32_t sectorSize) : m_sectorSize(sectorSize) {}

  // Sorts one sector (m_sectorSize bytes) into the kinds above; 1 when it
  // is directory content.
  int AnalyseSector(const uint8_t* sector, CFatFolderAnalyzeCB* callback, void* context);

  uint32_t GetDirectoryEntryType() const { return m_kind; }
  uint32_t GetCount() const { return m_count; }
  uint32_t GetCurDirFirstClusterNum() const { return m_currentCluster; }
  uint32_t GetParentFirstClusterNum() const { return m_parentCluster; }
  uint32_t GetMaxClusterNum() const { return m_maxCluster; }

  static bool IsBlankFATDirEntry(const uint8_t* entry);
  static bool IsCurDirFileName(const CTempFATDirEntry& entry);
  static bool IsParentDirFileName(const CTempFATDirEntry& entry);

  static const uint8_t m_s_BlankEntry[32];

 private:
  void Clear();

  uint32_t m_kind = kNotDirectory;
  uint32_t m_count = 0;
  uint32_t m_currentCluster = 0;
  uint32_t m_parentCluster = 0;
  uint32_t m_maxCluster = 0;
  uint32_t m_sectorSize;
};

// Seconds since 1970 to _FILETIME.
void SecondsSince1970ToFileTime(uint64_t seconds, _FILETIME* out);
// A FAT date and time taken as local time; a date of 0 (never set) gives 0,
// and so does an impossible field (hour 24 or more, minute 60 or more,
// February 30th...), answering false.
bool DosDateTimeToFileTime(uint16_t date, uint16_t time, _FILETIME* out);
