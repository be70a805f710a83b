// exFAT directory entry sets: the rules that decide whether a 32-byte entry
// can be a File, Stream Extension, File Name or Volume Label entry, the set
// checksum, and CEFDTAnalyze, which turns whole directory clusters into one
// record per complete entry set, live or deleted.
//
// Entries are hostile input. A set is a File entry (0x85, deleted 0x05)
// followed at once by its Stream Extension (0xC0 / 0x40) and File Name
// entries (0xC1 / 0x41), all with the File entry's in-use bit; anything that
// breaks a set drops it and the walk goes on with the next entry, so one
// damaged or unfamiliar entry costs at most its own set. Only the
// end-of-directory entry (type 0) ends a directory.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

// One decoded entry set.
struct _tagFileBaseInfo {
  int64_t dataLength = 0;  // the stream's DataLength, bytes
  uint32_t firstCluster = 0;
  uint8_t contiguous = 0;  // the stream's NoFatChain bit
  uint8_t inUse = 0;       // 1 in use, 0 deleted
  uint16_t attributes = 0;
  uint32_t createTime = 0;  // exFAT timestamps
  uint32_t modifyTime = 0;
  uint32_t accessTime = 0;
  uint8_t create10ms = 0;
  uint8_t modify10ms = 0;
  uint8_t createUtcOffset = 0;
  uint8_t modifyUtcOffset = 0;
  uint8_t accessUtcOffset = 0;
  int64_t sector = 0;  // the device sector of the File entry
  std::string name;    // UTF-8, cut at the stream's NameLength
};

namespace exfat_entry {

constexpr size_t kEntrySize = 32;
constexpr uint8_t kInUse = 0x80;
constexpr uint8_t kFile = 0x85;
constexpr uint8_t kStream = 0xC0;
constexpr uint8_t kName = 0xC1;
constexpr uint8_t kLabel = 0x83;
constexpr uint8_t kBitmap = 0x81;
constexpr uint8_t kUpcase = 0x82;
constexpr uint8_t kEndOfDirectory = 0x00;
constexpr int kNameUnitsPerEntry = 15;

// Whether the name character is allowed (characters of 256 and above
// always are).
bool IsValidNameChar(uint16_t unit);

// Whether an exFAT timestamp holds a date and time a clock gives (0, never
// set, included).
bool IsPossibleTimestamp(uint32_t stamp);
// The entry rules; the type byte itself is not tested. A File entry whose
// times are impossible passes when its set's checksum holds over the
// entries that follow it (`available` bytes from the entry on).
bool IsValidFileEntry(const uint8_t* entry, size_t available);
// `sectorShift` and `clusterShift` are log2 of the bytes per sector and per
// cluster, `totalSectors` the device's.
bool IsValidStreamEntry(const uint8_t* entry, uint32_t sectorShift, uint32_t clusterShift, uint64_t totalSectors);
// `units` is how many characters of the entry belong to the name (1-15).
bool IsValidNameEntry(const uint8_t* entry, int units);
bool IsValidLabelEntry(const uint8_t* entry);
// The root's Allocation Bitmap and Up-case Table entries (the complete scan
// tells root folders by them): a first cluster in the heap's numbering, a
// length inside the device, and their reserved bytes 0.
bool IsValidBitmapEntry(const uint8_t* entry, uint32_t sectorShift, uint32_t clusterShift, uint64_t totalSectors);
bool IsValidUpcaseEntry(const uint8_t* entry, uint32_t sectorShift, uint32_t clusterShift, uint64_t totalSectors);
// A record's fields from a set's File entry (in-use bit, attributes, times;
// the entry lies at `sector`) and from its Stream Extension entry (first
// cluster, length, contiguous bit), which passed their rules.
void ReadFileEntry(const uint8_t* entry, int64_t sector, _tagFileBaseInfo* info);
void ReadStreamEntry(const uint8_t* entry, _tagFileBaseInfo* info);
// Appends the first `units` characters of a File Name entry to `name`, up
// to a 0 character; true when one ended the name.
bool ReadNameEntry(const uint8_t* entry, int units, std::u16string* name);

// Entries that carry nothing this reader needs and harm nothing, in use or
// deleted: the volume GUID and padding (primary entries), and the vendor
// extension and allocation entries that may follow a file's name.
bool IsBenignPrimary(uint8_t type);
bool IsBenignSecondary(uint8_t type);

}  // namespace exfat_entry

// The set checksum over `length` bytes of consecutive entries (the File
// entry's checksum field itself skipped). A deleted set also passes when the
// checksum matches the set as it was in use (its File, Stream and Name type
// bytes with the in-use bit set again). A length of 0 passes only for 0.
bool CheckDirEntry(const uint8_t* bytes, size_t length, uint16_t storedChecksum);

class CEFDTAnalyze {
 public:
  // Sets the limits the stream rule needs and forgets any unfinished set.
  void PrepareAnayze(uint32_t sectorShift, uint32_t clusterShift, uint64_t totalSectors);
  // Parses length / 32 entries of a directory cluster read from `sector`
  // (File entries of the buffer's first device sector get that sector, later
  // ones the sector they lie in, given `bytesPerSector`). Complete sets are
  // appended to the list. False once the end-of-directory entry is met (the
  // rest of the buffer is not examined), true otherwise. A set still open at
  // the end of the buffer continues into the next buffer.
  bool Analyze(const uint8_t* buffer, size_t length, int64_t sector, uint32_t bytesPerSector = 0);
  // Forgets an unfinished set (a folder is done).
  void ResetSet() { m_state = 0; }

  std::vector<_tagFileBaseInfo>& GetFileList() { return m_files; }
  // The first in-use Allocation Bitmap entry met since PrepareAnayze (a
  // root folder holds it): its first cluster and length in bytes; false
  // when none was met.
  bool GetAllocationBitmap(uint32_t* firstCluster, uint64_t* length) const;
  // The first in-use Up-case Table entry likewise.
  bool GetUpcaseTable(uint32_t* firstCluster, uint64_t* length) const;

 private:
  void Entry(const uint8_t* entry, size_t available, int64_t sector);
  void Finish();

  // 0 none, 1 File seen, 2 stream seen, 3 and up one more per name entry.
  uint8_t m_state = 0;
  uint8_t m_expected = 0;
  uint8_t m_nameLength = 0;
  _tagFileBaseInfo m_info;
  std::u16string m_units;
  std::vector<_tagFileBaseInfo> m_files;
  uint64_t m_totalSectors = 0;
  uint32_t m_clusterShift = 9;
  uint32_t m_sectorShift = 9;
  uint32_t m_bitmapCluster = 0;
  uint64_t m_bitmapLength = 0;
  uint32_t m_upcaseCluster = 0;
  uint64_t m_upcaseLength = 0;
};
