// The records the journal still holds of keys the live trees lost: one
// collection per tree, kept in the order the sweep met them and indexed by
// key, so that a journal of millions of records is looked up in constant
// time. A record met again under the same identity replaces the earlier one
// in its place.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <unordered_map>
#include <vector>

#include "hfsplus/HFSPlusFormat.h"

class CHFSPlusJournalRecords {
 public:
  enum class Kind { kCatalog, kExtents, kAttributes };
  CHFSPlusJournalRecords(Kind kind, uint8_t keyCompareType) : m_kind(kind), m_keyCompareType(keyCompareType) {}

  void SetKeyCompareType(uint8_t type) { m_keyCompareType = type; }
  // Takes both (key: delete, record: delete[]). `id` tells catalog records of
  // one key apart (the file or folder ID); others pass 0. Answers true when
  // the identity is new, false when it replaced an earlier record.
  bool Put(BTKey* key, uint8_t* record, uint32_t id);
  // The record most recently added under an equal key, or null.
  const uint8_t* Find(const BTKey* key) const;
  bool Contains(const BTKey* key, uint32_t id) const;
  size_t size() const { return m_records.size(); }
  void clear();
  // Newest first: index 0 is the record met last.
  const BTKey* KeyAt(size_t i) const { return m_records[m_records.size() - 1 - i].key.get(); }
  const uint8_t* RecordAt(size_t i) const { return m_records[m_records.size() - 1 - i].record.get(); }

  // Equal under the tree's key order iff the signatures are equal.
  std::string Signature(const BTKey* key) const;

 private:
  struct Entry {
    std::unique_ptr<BTKey> key;
    std::unique_ptr<uint8_t[]> record;
  };
  static std::string WithID(std::string signature, uint32_t id);

  Kind m_kind;
  uint8_t m_keyCompareType;
  std::vector<Entry> m_records;
  std::unordered_map<std::string, size_t> m_byIdentity;
  std::unordered_map<std::string, size_t> m_byKey;
};
