// A fixed-size open-addressing hash table keyed by text, matched without
// regard to ASCII case. Keys are not stored: a slot is identified by two
// further 32-bit hashes of its key. The hash family uses a 5 x 256 crypt
// table.
#pragma once

#include <cstdint>
#include <vector>

template <class Value, uint32_t Slots>
class CKeHashTable {
 public:
  static constexpr uint32_t kNotFound = 0xFFFFFFFF;

  CKeHashTable() : m_slots(Slots) { InitliazeCryptTable(); }

  void InitliazeCryptTable() {
    uint32_t seed = 0x00100001;
    for (uint32_t i = 0; i < 256; ++i) {
      for (uint32_t k = 0; k < 5; ++k) {
        seed = (seed * 125 + 3) % 0x2AAAAB;
        const uint32_t high = seed % 0x10000;
        seed = (seed * 125 + 3) % 0x2AAAAB;
        const uint32_t low = seed % 0x10000;
        m_cryptTable[k * 256 + i] = high * 0x10000 + low;
      }
    }
  }

  // Stores `value` in the first free slot from the key's home slot on
  // (wrapping). Answers 1, or 0 when the table is full or the key is null. A
  // key inserted twice takes two slots; lookups find the first.
  int InsertNode(const char* key, const Value& value) {
    if (key == nullptr) return 0;
    const uint32_t start = GetHashCode(key, 0) % Slots;
    const uint32_t a = GetHashCode(key, 1);
    const uint32_t b = GetHashCode(key, 2);
    uint32_t pos = start;
    do {
      Slot& slot = m_slots[pos];
      if (slot.used == 0) {
        slot.value = value;
        slot.used = 1;
        slot.hashA = a;
        slot.hashB = b;
        return 1;
      }
      pos = (pos + 1) % Slots;
    } while (pos != start);
    return 0;
  }

  // 1 and the stored value when the key is in the table, else 0.
  int FindNode(const char* key, Value& value) const {
    const uint32_t pos = GetHashTablePos(key, 0);
    if (pos == kNotFound) return 0;
    value = m_slots[pos].value;
    return 1;
  }

  // Kinds 0-4 select a row of the crypt table; any other kind answers 0.
  uint32_t GetHashCode(const char* key, uint32_t kind) const {
    if (kind > 4) return 0;
    uint32_t s1 = 0x7FED7FED;
    uint32_t s2 = 0xEEEEEEEE;
    if (key == nullptr) return s1;
    for (const unsigned char* p = reinterpret_cast<const unsigned char*>(key); *p != 0; ++p) {
      uint32_t c = *p;
      if (c >= 'a' && c <= 'z') c -= 'a' - 'A';  // C-locale upper case only
      s1 = (s1 + s2) ^ m_cryptTable[kind * 256 + c];
      s2 = s2 * 97 + c + s1;
    }
    return s1;
  }

  // The slot of the key, or kNotFound. The probe runs once round the whole
  // table: free slots do not end it. The int is not used.
  uint32_t GetHashTablePos(const char* key, int /*unused*/) const {
    if (key == nullptr) return kNotFound;
    const uint32_t start = GetHashCode(key, 0) % Slots;
    const uint32_t a = GetHashCode(key, 1);
    const uint32_t b = GetHashCode(key, 2);
    uint32_t pos = start;
    do {
      const Slot& slot = m_slots[pos];
      if (slot.used != 0 && slot.hashA == a && slot.hashB == b) return pos;
      pos = (pos + 1) % Slots;
    } while (pos != start);
    return kNotFound;
  }

 private:
  struct Slot {
    Value value{};
    uint32_t used = 0;
    uint32_t hashA = 0;
    uint32_t hashB = 0;
  };

  std::vector<Slot> m_slots;
  uint32_t m_cryptTable[5 * 256];
};
