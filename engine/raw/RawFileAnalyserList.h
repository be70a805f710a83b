// The process-wide analyser registry: a map from a sector's first four bytes
// (little-endian) to the analyser that owns that signature, the list of
// analysers whose signature four fixed bytes cannot key (list 0), and a list
// of every analyser (list 1). Every container owns its analysers; each entry
// is an object of its own.
//
// The analysers join through one table (RawAnalyserTable.cpp): one line per
// analyser class, in list-1 order, naming its base type, its keys and
// whether it belongs to list 0. Nothing else needs to change for a new one.
#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <unordered_map>
#include <vector>

#include "raw/RawFileAnalyser.h"

using RawAnalyserList = std::vector<std::unique_ptr<IRawFileAnalyser>>;
using RawAnalyserMap = std::unordered_map<uint32_t, std::unique_ptr<IRawFileAnalyser>>;

// The four bytes of a key in sector order, as the map keys them.
constexpr uint32_t RawKey(uint8_t b0, uint8_t b1, uint8_t b2, uint8_t b3) {
  return uint32_t{b0} | (uint32_t{b1} << 8) | (uint32_t{b2} << 16) | (uint32_t{b3} << 24);
}

struct RawAnalyserEntry {
  uint32_t type;                 // the analyser's base RAW_FILE_TYPE
  IRawFileAnalyser* (*make)();   // a new analyser object
  std::array<uint32_t, 6> keys;  // map keys (0 ends the list)
  bool noMagic;                  // asked for sectors no key matched (list 0)
  bool listed = true;            // one of all analysers (list 1)
};

// Every analyser class, in list-1 order.
const std::vector<RawAnalyserEntry>& RawAnalyserEntries();

class CRawFileAnalyserListSingle {
 public:
  static CRawFileAnalyserListSingle* CreateInstance();

  // 0: the no-magic list; anything else: all analysers.
  RawAnalyserList& GetAnalyserList(int which) { return which == 0 ? m_noMagic : m_all; }
  // Change the map only through the Build... operations below: FindByKey
  // looks at an index of its keys that they keep.
  RawAnalyserMap& GetAnalyserMap() { return m_map; }
  // The analyser a key routes to, or null. Asked for nearly every sector of
  // the disk, it turns most keys away with one bit test before the map.
  IRawFileAnalyser* FindByKey(uint32_t key) const {
    if (((m_keyBits[(key & 0xFFFF) >> 6] >> (key & 63)) & 1) == 0) return nullptr;
    const auto found = m_map.find(key);
    return found != m_map.end() ? found->second.get() : nullptr;
  }

  // Refills list 0: for each type of a non-empty vector in its order, else
  // for every type from 1 to 115.
  void BuildRawFileAnalyserListByRawFileType(const std::vector<RAW_FILE_TYPE>* types);
  // Refills the map with fresh analysers; the vector is not consulted.
  void BuildRawFileAnalyserMapByRawFileType(const std::vector<RAW_FILE_TYPE>* types);

  static void BuildRawFileAnalyserListByFileType(RawAnalyserList& list, const std::vector<RAW_FILE_TYPE>* types);
  // Appends the list-0 analysers of `type` (none for keyed types).
  static void CraetePartRawFileAnalyser(uint32_t type, RawAnalyserList& list);
  static void BuildRawFileAnalyserMap(RawAnalyserMap& map);
  static void BuildRawFileAnalyserList(RawAnalyserList& list);

 private:
  CRawFileAnalyserListSingle();
  // Marks the low 16 bits of every key of the map.
  void IndexKeys();

  RawAnalyserList m_noMagic;
  RawAnalyserList m_all;
  RawAnalyserMap m_map;
  std::array<uint64_t, 1024> m_keyBits{};
};
