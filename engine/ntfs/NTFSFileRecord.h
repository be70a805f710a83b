// FILE records of the master file table: the header test, the update
// sequence (sector-end fixups), the record test and the attribute walk.
//
// All operations work on buffers the caller owns. A record is examined over
// its extent: the buffer size, cut to the record's allocated size when that
// is a sane 1024-4096 bytes, and never less than 1024 bytes (smaller buffers
// are refused). The update sequence protects the last two bytes of every
// 512-byte stride of the extent.
#pragma once

#include <cstdint>
#include <vector>

namespace ntfs_record {
inline constexpr int kMinRecordSize = 1024;
inline constexpr int kMaxRecordSize = 4096;
inline constexpr uint32_t kEndMarker = 0xFFFFFFFF;
inline constexpr uint32_t kNotFound = 0xFFFFFFFF;
inline constexpr uint16_t kFlagInUse = 0x0001;
inline constexpr uint16_t kFlagDirectory = 0x0002;

// Attribute type codes.
inline constexpr uint32_t kStandardInformation = 0x10;
inline constexpr uint32_t kAttributeList = 0x20;
inline constexpr uint32_t kFileName = 0x30;
inline constexpr uint32_t kData = 0x80;
inline constexpr uint32_t kIndexRoot = 0x90;
inline constexpr uint32_t kIndexAllocation = 0xA0;
inline constexpr uint32_t kBitmap = 0xB0;
// Every type NTFS defines is a multiple of 0x10 from $STANDARD_INFORMATION
// up to $LOGGED_UTILITY_STREAM.
inline constexpr bool IsKnownAttributeType(uint32_t type) { return type % 0x10 == 0 && type >= 0x10 && type <= 0x100; }

// The bytes of `buffer` (of `size`) that make up the record; 0 when the
// buffer is too small to hold one.
int RecordExtent(const uint8_t* buffer, int size);
}  // namespace ntfs_record

// A copy of the header part of a FILE record (the bytes before its first
// attribute).
class CNTFSFileRecordHeader {
 public:
  // The header test. `size` is the buffer's size, a non-zero multiple of 512;
  // a null buffer or any other size answers false.
  static bool IsValid(const uint8_t* buffer, int size);
  // On a valid header, replaces the copy with the header bytes.
  bool InitFromBuffer(const uint8_t* buffer, int size);

  const uint8_t* GetBuffer() const { return header_.data(); }
  uint32_t GetLength() const { return static_cast<uint32_t>(header_.size()); }

 private:
  std::vector<uint8_t> header_;
};

// A view of one FILE record. A valid record has its update sequence undone
// while the view lives (when the sequence verifies), and redone when the view
// goes, so a caller's buffer is handed back in its on-disk form.
class CNTFSFileRecord {
 public:
  // Keeps `buffer` (or, with `copy` non-zero, a private copy of `size` bytes)
  // when it passes the record test; otherwise the view is null.
  CNTFSFileRecord(uint8_t* buffer, int size, int copy);
  ~CNTFSFileRecord();
  CNTFSFileRecord(const CNTFSFileRecord&) = delete;
  CNTFSFileRecord& operator=(const CNTFSFileRecord&) = delete;

  bool IsValid() const { return buffer_ != nullptr; }
  // Whether the update sequence verified and was undone. A record whose
  // sequence did not verify is still valid (its attributes are sound) but
  // the last two bytes of each 512-byte stride are not the real data: it is
  // evidence of a record, not something to read names or runs from.
  bool IsUpdateSequenceUndone() const { return undone_ != 0; }
  uint8_t* GetBuffer() const { return buffer_; }
  int GetSize() const { return extent_; }  // the record's extent, 0 when null

  bool IsExtendFileRecord() const;
  bool IsFolder() const;
  bool IsinUse() const;
  uint64_t GetBaseFileRecordNumber() const;
  uint64_t GetLogFileSequenceNumber() const;
  bool HasXPNumberOfthisMFTRecord() const;
  uint32_t GetXPNumberOfthisMFTRecord() const;
  // The index-th (from 0) attribute of `type`, or null.
  uint8_t* FindAttibute(uint32_t type, uint32_t index) const;

  // Operations on a raw buffer of `size` bytes.
  static bool IsValid(uint8_t* buffer, int size);
  static bool IsValidUpdateSequence(const uint8_t* buffer, int size);
  // Undo: puts the saved words back at the sector ends when the sequence
  // verifies. Answers whether the buffer now holds the real data (true and
  // nothing changed when the sequence protects no sector).
  static bool UnfixupFileRecord(uint8_t* buffer, int size);
  // Redo: saves the sector-end words into the array and writes the sequence
  // number over them.
  static bool FixupFileRecord(uint8_t* buffer, int size);
  // Every attribute passes the attribute test, and every $FILE_NAME its own.
  static bool CheckAttibutes(const uint8_t* buffer, int size);

  // Walks of the attribute chain. Only attributes that lie wholly inside the
  // record are visited; FindAttibute answers only attributes that pass the
  // attribute test, so their fields may be read.
  static uint8_t* FindAttibute(uint8_t* buffer, int size, uint32_t type, uint32_t index);
  static const uint8_t* FindAttibute(const uint8_t* buffer, int size, uint32_t type, uint32_t index);
  static uint32_t GetAttributeOffset(const uint8_t* buffer, int size, uint32_t type, uint32_t index);
  static uint32_t GetAttibuteCountofSpecifiedType(const uint8_t* buffer, int size, uint32_t type);
  static bool HasAttributeList(const uint8_t* buffer, int size);
  // Whether an attribute of a type NTFS does not define stands in the chain
  // (a damaged type code).
  static bool HasUnknownAttribute(const uint8_t* buffer, int size);

  // Header fields; `buffer` holds at least the 48-byte header.
  static uint64_t GetBaseFileRecordNumber(const uint8_t* buffer);
  static bool IsExtendFileRecord(const uint8_t* buffer);
  static bool IsFolder(const uint8_t* buffer);
  static bool IsinUse(const uint8_t* buffer);
  static uint16_t GetFirstAttibuteOffset(const uint8_t* buffer);
  static uint32_t GetAllocatedSize(const uint8_t* buffer);
  static uint32_t GetLength(const uint8_t* buffer);
  static uint64_t GetLogFileSequenceNumber(const uint8_t* buffer);
  static uint16_t GetSequenceNumber(const uint8_t* buffer);
  static bool HasXPNumberOfthisMFTRecord(const uint8_t* buffer);
  static uint32_t GetXPNumberOfthisMFTRecord(const uint8_t* buffer);

  // The record test alone.
  static bool InitFromBuffer(uint8_t* buffer, int size) { return IsValid(buffer, size); }

 private:
  uint8_t* buffer_ = nullptr;
  int extent_ = 0;
  uint32_t ownsCopy_ = 0;
  uint32_t undone_ = 0;
};
