// The journal of a journaled HFS+ volume, read for what it still remembers:
// whole B-tree nodes of past transactions lie in its circular buffer, and
// the catalog, extents and attributes records among them whose keys the
// live trees no longer hold belong to deleted (or renamed) files.
//
// Every field of the info block, the journal header and each block list is
// bounded before it is used, and the sweep goes once round the buffer at
// most, wherever the block lists carry it.
#pragma once

#include <cstdint>
#include <vector>

#include "ResultCode.h"

class CHFSPlusVolume;
class CHFSPlusQuickFileSystemSearchProgress;
class CHFSPlusJournalRecords;
class CHFSPlusBTreeOptionBase;

class CHFSPlusJournal {
 public:
  static constexpr uint32_t kMagic = 0x4A4E4C78;  // "JNLx"
  static constexpr uint32_t kEndian = 0x12345678;
  static constexpr uint32_t kMaxHeaderSize = 0x10000;
  static constexpr uint32_t kMaxBlockListSize = 0x100000;
  static constexpr uint32_t kMaxEntrySize = 0x10000;

  // Reads and checks the info block and the journal header; the outcome is
  // GetLastError() (0x501 for a volume without a usable journal).
  explicit CHFSPlusJournal(CHFSPlusVolume* volume);
  CHFSPlusJournal(const CHFSPlusJournal&) = delete;
  CHFSPlusJournal& operator=(const CHFSPlusJournal&) = delete;

  ResultCode GetLastError() const { return m_lastError; }
  bool IsUsable() const { return m_usable; }
  CHFSPlusVolume* GetVolume() const { return m_volume; }
  uint64_t GetJournalOffset() const { return m_offset; }
  uint64_t GetJournalSize() const { return m_size; }
  uint32_t GetHeaderSize() const { return m_headerSize; }
  uint32_t GetBlockListSize() const { return m_blockListSize; }
  uint64_t GetStart() const { return m_start; }
  uint64_t GetEnd() const { return m_end; }
  // The journal's integers were written big-endian.
  bool IsBigEndian() const { return m_bigEndian; }

  // Bytes of the circular buffer from `journalOffset` (wrapping to just
  // after the journal header); answers the bytes read.
  uint64_t Read(uint64_t journalOffset, uint8_t* buffer, uint64_t length);

  // Sweeps the buffer once from the header's end offset (oldest data
  // first), decoding every leaf node of the catalog, extents and attributes
  // trees and keeping the records the live trees lack.
  ResultCode GetDeleteRecord(CHFSPlusQuickFileSystemSearchProgress* progress, CHFSPlusJournalRecords& catalog,
                             CHFSPlusJournalRecords& extents, CHFSPlusJournalRecords& attributes);

  // What the last sweep did, for tests.
  struct Counters {
    uint64_t blockLists = 0;
    uint64_t leafNodes = 0;
    uint64_t bytesSwept = 0;
  };
  const Counters& GetCounters() const { return m_counters; }

 private:
  uint32_t J16(const uint8_t* p) const;
  uint32_t J32(const uint8_t* p) const;
  uint64_t J64(const uint8_t* p) const;
  uint64_t Advance(uint64_t position, uint64_t bytes) const;
  void DecodeNode(const uint8_t* bytes, uint32_t size, uint64_t volumeByte,
                  CHFSPlusQuickFileSystemSearchProgress* progress, CHFSPlusJournalRecords& catalog,
                  CHFSPlusJournalRecords& extents, CHFSPlusJournalRecords& attributes);

  CHFSPlusVolume* m_volume;
  ResultCode m_lastError = 0;
  bool m_usable = false;
  bool m_bigEndian = false;
  uint64_t m_offset = 0;
  uint64_t m_size = 0;
  uint64_t m_start = 0;
  uint64_t m_end = 0;
  uint32_t m_headerSize = 0;
  uint32_t m_blockListSize = 0;
  Counters m_counters;
};
