#include "hfsplus/HFSPlusJournalRecords.h"

#include <algorithm>

#include "hfsplus/CHFSPlusBTree.h"

namespace {

void Append(std::string& out, uint32_t v, int bytes) {
  for (int i = bytes - 1; i >= 0; --i) out.push_back(static_cast<char>((v >> (8 * i)) & 0xFF));
}

}  // namespace

std::string CHFSPlusJournalRecords::Signature(const BTKey* key) const {
  std::string out;
  switch (m_kind) {
    case Kind::kCatalog: {
      Append(out, key->catalog.parentID, 4);
      const uint32_t n = std::min<uint32_t>(key->catalog.nodeName.length, hfsplus::kMaxNameUnits);
      for (uint32_t i = 0; i < n; ++i) {
        uint16_t unit = key->catalog.nodeName.unicode[i];
        if (unit == ':') unit = '/';
        if (m_keyCompareType == hfsplus::kCaseFoldingCompare) {
          unit = HFSPlusFoldCase(unit);
          if (unit == 0) continue;  // ignorable in the case-folding order
        }
        Append(out, unit, 2);
      }
      break;
    }
    case Kind::kExtents:
      Append(out, key->extent.forkType, 1);
      Append(out, key->extent.fileID, 4);
      Append(out, key->extent.startBlock, 4);
      break;
    case Kind::kAttributes: {
      Append(out, key->attribute.fileID, 4);
      const uint32_t n = std::min<uint32_t>(key->attribute.nameLength, 127);
      for (uint32_t i = 0; i < n; ++i) Append(out, key->attribute.name[i], 2);
      break;
    }
  }
  return out;
}

std::string CHFSPlusJournalRecords::WithID(std::string signature, uint32_t id) {
  Append(signature, id, 4);
  return signature;
}

bool CHFSPlusJournalRecords::Put(BTKey* key, uint8_t* record, uint32_t id) {
  std::unique_ptr<BTKey> ownedKey(key);
  std::unique_ptr<uint8_t[]> ownedRecord(record);
  if (!ownedKey || !ownedRecord) return false;
  std::string keySignature = Signature(key);
  const std::string identity = WithID(keySignature, id);
  if (auto it = m_byIdentity.find(identity); it != m_byIdentity.end()) {
    m_records[it->second].record = std::move(ownedRecord);
    return false;
  }
  const size_t at = m_records.size();
  m_records.push_back(Entry{std::move(ownedKey), std::move(ownedRecord)});
  m_byIdentity.emplace(identity, at);
  m_byKey[std::move(keySignature)] = at;
  return true;
}

const uint8_t* CHFSPlusJournalRecords::Find(const BTKey* key) const {
  if (key == nullptr) return nullptr;
  auto it = m_byKey.find(Signature(key));
  return it == m_byKey.end() ? nullptr : m_records[it->second].record.get();
}

bool CHFSPlusJournalRecords::Contains(const BTKey* key, uint32_t id) const {
  return key != nullptr && m_byIdentity.count(WithID(Signature(key), id)) != 0;
}

void CHFSPlusJournalRecords::clear() {
  m_records.clear();
  m_byIdentity.clear();
  m_byKey.clear();
}
