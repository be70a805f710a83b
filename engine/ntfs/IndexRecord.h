// Index pages ("INDX"): the blocks of a folder's $INDEX_ALLOCATION, which the
// complete scan recognises sector by sector to learn where folders were.
//
// Page layout read here: magic at 0, update-sequence offset u16 at 4 and
// count u16 at 6, $LogFile sequence number at 8, VCN at 0x10, and the index
// header at 0x18: entries offset u32, entries size u32 and allocated size u32,
// all three counted from 0x18. An entry: length u16 at +8, flags u16 at +12
// (1 has a sub-node, 2 last), and a $FILE_NAME body as key from +16 (parent
// reference at +16, allocated size at +56, real size at +64, name length at
// +80).
#pragma once

#include <cstdint>

class CStandardIndexHeader {
 public:
  static constexpr int kHeaderOffset = 0x18;

  // The header test over a page of `size` bytes: magic, sizes that fit the
  // page (the entries lie inside it), an update sequence that covers exactly
  // the allocated page and a sane array offset.
  static bool IsValid(const uint8_t* buffer, int size);
  static bool IsValidMagicNumber(const uint8_t* buffer);
  // The entries' offset from the page start, and their size from 0x18.
  static uint32_t GetOffsetofIndexEntries(const uint8_t* buffer);
  static uint32_t GetSizeofIndexEntries(const uint8_t* buffer);
  static uint32_t GetAllocatedSize(const uint8_t* buffer);
  static int64_t GetVCN(const uint8_t* buffer);
  static uint64_t GetLogFileSequenceNumber(const uint8_t* buffer);
};

class CIndexRecord {
 public:
  static constexpr int kNamedEntryMin = 82;  // up to and including the name length

  // The page test: the header test, an update sequence whose words are at
  // every protected sector end, and entries that lie inside the page, whose
  // keys are sane and name one parent folder. The buffer is not changed.
  static bool IsValid(const uint8_t* buffer, int size);
  // The entry test on `entry` with `bytesLeft` bytes from it: a named entry
  // (at least kNamedEntryMin bytes) whose real size is at most its
  // allocated size.
  static bool IsValidEntry(const uint8_t* entry, int bytesLeft);
  static int64_t GetVCN(const uint8_t* buffer) { return CStandardIndexHeader::GetVCN(buffer); }
  static uint64_t GetLogFileSequenceNumber(const uint8_t* buffer) {
    return CStandardIndexHeader::GetLogFileSequenceNumber(buffer);
  }
  // The folder the page belongs to: the record number (low 48 bits) of the
  // first examined entry's parent; -1 when the page is not valid or has no
  // such entry.
  static int64_t GetParentFileReference(const uint8_t* buffer, int size);

  // Whether every protected sector end holds the sequence number (the page
  // must pass the header test).
  static bool IsValidUpdateSequence(const uint8_t* buffer, int size);
  // Puts the saved words back at the sector ends when the sequence verifies.
  static bool UnfixupIndexRecord(uint8_t* buffer, int size);
  // Saves the sector-end words and writes the sequence number over them.
  static bool FixupIndexRecord(uint8_t* buffer, int size);
  // The entry walk on a page whose update sequence has been undone.
  static bool CheckIndexEntries(const uint8_t* buffer, int size);
};
