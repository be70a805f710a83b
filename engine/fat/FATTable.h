// File allocation tables: one loaded copy per width (12, 16, 32 bits), the
// pair of copies a volume keeps, and the tests that tell a table's first
// sector from other data.
//
// Every answer of GetNextCluster is one of: 0 (free, or outside the table),
// a cluster number, kBadCluster, or kEndOfChain and above.
//
// Damage is judged by table sector, not copy by copy: one bad entry (1, the
// cluster itself, or a cluster the volume does not have) would otherwise
// throw a whole copy away, and with one in each copy no chain could be
// followed at all. A sector with a stray bad entry keeps its other entries;
// one with many holds bytes written over it (a sector of random bytes),
// and none of its entries is believed, not even those that look like
// clusters of the volume (on FAT16 a quarter of random values do). The
// pair asks the other copy where the first does not hold, and where neither
// does the entry tells nothing (IsEntryUnknown): it answers kBadCluster,
// which ends that chain only. Sectors a failing medium could not give
// (UnreadableSectors.h) hold no entry of their copy, as sectors written over
// do. Loops and cross links are left to the walks, which are all bounded.
#pragma once

#include <cstdint>
#include <vector>

#include "EngineTypes.h"
#include "UnreadableSectors.h"

class IStorageDevice;

namespace fatchain {
inline constexpr uint32_t kBadCluster = 0x0FFFFFF7;
inline constexpr uint32_t kEndOfChain = 0x0FFFFFF8;
}  // namespace fatchain

class IFATTable {
 public:
  virtual ~IFATTable() = default;
  virtual uint32_t GetNextCluster(uint32_t cluster) = 0;
  // Whether the table cannot say what `cluster`'s entry held (damaged in
  // every copy): neither free nor given to a file, as far as it knows.
  virtual bool IsEntryUnknown(uint32_t /*cluster*/) { return false; }
  // Whether every copy the table has calls `cluster` free.
  virtual bool IsEntryFree(uint32_t cluster) { return GetNextCluster(cluster) == 0 && !IsEntryUnknown(cluster); }
};

// One copy of a table, read whole at construction when its size is in the
// accepted range for its width; a copy that could not be read is invalid.
class IRealFATTable : public IFATTable {
 public:
  IRealFATTable(IStorageDevice* device, int64_t startSector, uint32_t sectors, uint32_t entryWidth);
  ~IRealFATTable() override = default;
  // The copy was read whole and begins with its width's header (or its
  // first sector is one the medium could not give).
  virtual bool IsValidFATTable() = 0;

  uint32_t GetEntryCount() const { return m_entries; }
  bool IsLoaded() const { return !m_buffer.empty(); }
  // Cluster numbers at or above `limit` are past the volume's end (0: the
  // table's own capacity is the only limit).
  void SetClusterLimit(uint64_t limit) {
    m_limit = limit;
    m_sectorState.clear();
  }
  // GetNextCluster's answer for `cluster` in `next`, and whether it can be
  // believed: its table sector is not written over, and it can be part of a
  // chain (free, bad, end of chain, or another cluster of the volume: not
  // 0, 1 or `cluster` itself).
  bool EntryHolds(uint32_t cluster, uint32_t* next);
  // A sector holding more entries that cannot be part of a chain than this
  // share of its entries (at least one) was written over.
  static constexpr uint32_t kOverwrittenShare = 32;

 protected:
  // Reads the table when `sectors` is within [minSectors, maxSectors].
  void Load(uint64_t minSectors, uint64_t maxSectors);
  virtual uint32_t RawEntry(uint32_t index) const = 0;
  // Whether `cluster`'s entry can be part of a chain, whatever its sector.
  bool EntryFits(uint32_t cluster, uint32_t v) const;
  // Whether the table sector holding `cluster`'s entry was written over;
  // judged once per sector.
  bool SectorOverwritten(uint32_t cluster);
  // Whether `cluster`'s entry lies on a sector the medium could not give.
  bool EntryLost(uint32_t cluster) const;

  IStorageDevice* m_device;
  int64_t m_startSector;
  uint32_t m_sectors;
  uint32_t m_entries = 0;
  uint32_t m_entryWidth;
  uint32_t m_sectorSize;
  uint64_t m_limit = 0;
  std::vector<uint8_t> m_buffer;
  // FAT12 entries straddle sectors: its small tables are judged by entry.
  bool m_bySector = false;
  // Per table sector: 0 not judged yet, 1 sound, 2 written over.
  std::vector<uint8_t> m_sectorState;
  // Table sectors (from the copy's first) a failing medium could not give.
  SectorRuns m_lost;
};

class CFAT12Table final : public IRealFATTable {
 public:
  CFAT12Table(IStorageDevice* device, int64_t startSector, uint32_t sectors);
  uint32_t GetNextCluster(uint32_t cluster) override;
  bool IsValidFATTable() override;

 private:
  uint32_t RawEntry(uint32_t index) const override;
};

class CFAT16Table final : public IRealFATTable {
 public:
  CFAT16Table(IStorageDevice* device, int64_t startSector, uint32_t sectors);
  uint32_t GetNextCluster(uint32_t cluster) override;
  bool IsValidFATTable() override;

 private:
  uint32_t RawEntry(uint32_t index) const override;
};

class CFAT32Table final : public IRealFATTable {
 public:
  // Up to the format's limit of 2^28 entries.
  CFAT32Table(IStorageDevice* device, int64_t startSector, uint32_t sectors);
  uint32_t GetNextCluster(uint32_t cluster) override;
  bool IsValidFATTable() override;

 private:
  uint32_t RawEntry(uint32_t index) const override;
};

// The two copies of a volume's table; owns both. Each entry is answered by
// the first copy where it holds there, else by the second where it holds
// there; an entry that holds in neither answers kBadCluster and is unknown.
// Without any copy every answer is 0 and every entry unknown.
class CDoubleFATTable final : public IFATTable {
 public:
  CDoubleFATTable(IRealFATTable* first, IRealFATTable* second) : m_first(first), m_second(second) {}
  ~CDoubleFATTable() override;
  CDoubleFATTable(const CDoubleFATTable&) = delete;
  CDoubleFATTable& operator=(const CDoubleFATTable&) = delete;
  uint32_t GetNextCluster(uint32_t cluster) override;
  bool IsEntryUnknown(uint32_t cluster) override;
  // The second copy is asked too (read now if it was not yet): a first copy
  // that lost the entry may read free.
  bool IsEntryFree(uint32_t cluster) override;
  bool HasTable() const { return m_first != nullptr || m_second != nullptr; }
  // Where the second copy lies, read only when the first has a bad entry
  // (a sound first copy never costs the memory of a second).
  void SetSecondCopy(IStorageDevice* device, int type, int64_t start, uint32_t sectors);
  // Passed on to both copies (see IRealFATTable::SetClusterLimit).
  void SetClusterLimit(uint64_t limit);

 private:
  IRealFATTable* Second();
  // The answer for `cluster`, and whether a copy holds it.
  bool Lookup(uint32_t cluster, uint32_t* next);

  IRealFATTable* m_first;
  IRealFATTable* m_second;
  IStorageDevice* m_secondDevice = nullptr;
  int m_secondType = 0;
  int64_t m_secondStart = 0;
  uint32_t m_secondSectors = 0;
  bool m_secondTried = false;
  uint64_t m_limit = 0;
};

class IFATTableFactory {
 public:
  // The first copy at `start` (unless only the second is asked for), the
  // second at start + sectorsPerFat when asked for: read at once when the
  // first is unusable, else only once the first has a bad entry. Clusters
  // from `clusterLimit` on are past the volume (0: unknown). Always a new
  // table (answering 0 when neither copy is usable), null only when memory
  // runs out.
  static IFATTable* CreateFATTable(IStorageDevice* device, int64_t start, int type, uint32_t sectorsPerFat,
                                   int useFirst, int useSecond, uint64_t clusterLimit = 0);
  // One copy that was read whole and begins with its header, or null.
  static IRealFATTable* CreateRealFATTable(IStorageDevice* device, int type, int64_t start, uint32_t sectors);
  static void DestroyFATTable(IFATTable* table);
};

class CFATTableAnalyser {
 public:
  // Whether `sector` starts a FAT32 (type 2) or FAT16 (type 1) table.
  static bool IsValidFATTableFirstSector(const uint8_t* sector, uint32_t sectorSize, int* type);
  static bool IsUsedCluster(uint64_t cluster) { return cluster >= 2 && cluster <= 0x0FFFFFEF; }
};
