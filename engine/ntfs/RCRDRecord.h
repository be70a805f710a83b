// $LogFile record pages ("RCRD"): 4096-byte pages of eight 512-byte sectors
// whose update sequence sits at offset 40 with nine words (the sequence
// number and one saved word per sector).
#pragma once

#include <cstdint>

// The page header and the log-record header of the $LogFile reader; the
// tests here only hand out pointers to them.
struct CRecordPageHeader;
struct CLogRecordHeader;

class CRCRDRecord {
 public:
  static constexpr int kPageSize = 4096;
  static constexpr int kSectors = 8;
  static constexpr uint16_t kSequenceOffset = 40;
  static constexpr uint16_t kSequenceCount = 9;
  static constexpr int kLogRecordHeaderSize = 48;

  // Magic, the update-sequence count and offset, and the sequence number at
  // the end of each of the eight sectors. Buffers below a page answer false.
  static bool IsValid(const uint8_t* buffer, int size);
  // The sector-end test alone (the count and offset must be the page's).
  static bool IsValidUpdateSequence(const uint8_t* buffer, int size);
  // Puts the saved words back at the sector ends of a page that passes
  // IsValid; false (nothing changed) otherwise.
  static bool Unfixup(uint8_t* buffer, int size);
  // The magic of a page's first sector; buffers below one sector answer false.
  static bool IsValidRCRDRecordFirstSector(const uint8_t* buffer, int size);
  static bool IsValidMagicNumber(const uint8_t* buffer);
  // The page itself as a page header when the magic is right.
  static bool GetRecordHead(uint8_t* buffer, int size, CRecordPageHeader** head);
  // The bytes themselves as a log-record header when they can hold one.
  static bool GetOperationRecordHeader(uint8_t* buffer, int length, CLogRecordHeader** header);
};
