// File allocation tables: one loaded copy per width (12, 16, 32 bits), the
// pair of copies a volume keeps, and the tests that tell a table's first
// sector from other data.
//
// Every answer of GetNextCluster is one of: 0 (free, or outside the table),
// a cluster number, kBadCluster, or kEndOfChain and above.
#pragma once

#include <cstdint>
#include <vector>

#include "EngineTypes.h"

class IStorageDevice;

namespace fatchain {
inline constexpr uint32_t kBadCluster = 0x0FFFFFF7;
inline constexpr uint32_t kEndOfChain = 0x0FFFFFF8;
}  // namespace fatchain

class IFATTable {
 public:
  virtual ~IFATTable() = default;
  virtual uint32_t GetNextCluster(uint32_t cluster) = 0;
};

// One copy of a table, read whole at construction when its size is in the
// accepted range for its width; a copy that could not be read is invalid.
class IRealFATTable : public IFATTable {
 public:
  IRealFATTable(IStorageDevice* device, int64_t startSector, uint32_t sectors, uint32_t entryWidth);
  ~IRealFATTable() override = default;
  virtual bool IsValidFATTable() = 0;

  uint32_t GetEntryCount() const { return m_entries; }
  bool IsLoaded() const { return !m_buffer.empty(); }

 protected:
  // Reads the table when `sectors` is within [minSectors, maxSectors].
  void Load(uint64_t minSectors, uint64_t maxSectors);
  // The FAT16/FAT32 body and cross-link tests over the loaded entries.
  bool BodyAndIndexHold(uint32_t badValue, uint32_t lastChainValue);
  virtual uint32_t RawEntry(uint32_t index) const = 0;

  IStorageDevice* m_device;
  int64_t m_startSector;
  uint32_t m_sectors;
  uint32_t m_entries = 0;
  uint32_t m_entryWidth;
  uint32_t m_sectorSize;
  std::vector<uint8_t> m_buffer;
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

// The two copies of a volume's table; answers from the first copy when there
// is one, else from the second, else 0. Owns both.
class CDoubleFATTable final : public IFATTable {
 public:
  CDoubleFATTable(IRealFATTable* first, IRealFATTable* second) : m_first(first), m_second(second) {}
  ~CDoubleFATTable() override;
  CDoubleFATTable(const CDoubleFATTable&) = delete;
  CDoubleFATTable& operator=(const CDoubleFATTable&) = delete;
  uint32_t GetNextCluster(uint32_t cluster) override;
  bool HasTable() const { return m_first != nullptr || m_second != nullptr; }

 private:
  IRealFATTable* m_first;
  IRealFATTable* m_second;
};

class IFATTableFactory {
 public:
  // The first copy at `start` (unless only the second is asked for), the
  // second at start + sectorsPerFat only when asked for and the first is
  // unusable. Always a new table (answering 0 when neither copy is usable),
  // null only when memory runs out.
  static IFATTable* CreateFATTable(IStorageDevice* device, int64_t start, int type, uint32_t sectorsPerFat,
                                   int useFirst, int useSecond);
  // One validated copy, or null.
  static IRealFATTable* CreateRealFATTable(IStorageDevice* device, int type, int64_t start, uint32_t sectors);
  static void DestroyFATTable(IFATTable* table);
};

class CFATTableAnalyser {
 public:
  // Whether `sector` starts a FAT32 (type 2) or FAT16 (type 1) table.
  static bool IsValidFATTableFirstSector(const uint8_t* sector, uint32_t sectorSize, int* type);
  static bool IsUsedCluster(uint64_t cluster) { return cluster >= 2 && cluster <= 0x0FFFFFEF; }
};
