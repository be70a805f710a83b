// The quick scan of a FAT16 or FAT32 volume: the boot sector (or FAT32's
// copy at sector 6), the table, one partition record, and the walk of the
// directory tree from the root. A volume whose sectors are not the device's
// is read in its own (CFATVolumeView); its record then counts in them.
//
// A root that cannot be read answers kRootFailed, one read only in part
// kRootDamaged, with whatever its readable part leads to shown: either way
// the volume needs the complete scan for the rest.
#pragma once

#include <cstdint>
#include <memory>
#include <vector>

#include "FileSystemSearchController.h"
#include "SearchedPartitionInfo.h"

class IDirecotryTreeBuilder;
class IProgress;
class CFATVolumeView;
class IStorageDevice;

// A FAT volume found or scanned. The base's first data sector is the first
// sector of cluster 2.
class CFATSearchedPartitionInfo : public CSearchedPartitionInfo {
 public:
  // Flags.
  static constexpr uint32_t kFat12Boot = 0x001;
  static constexpr uint32_t kFat16Boot = 0x002;
  static constexpr uint32_t kFat32Boot = 0x004;
  static constexpr uint32_t kFat32BootCopy = 0x008;
  static constexpr uint32_t kSubfolderConfirmed = 0x010;
  static constexpr uint32_t kFirstTableSeen = 0x040;
  static constexpr uint32_t kUseFirstTable = 0x080;
  static constexpr uint32_t kSecondTableSeen = 0x100;
  static constexpr uint32_t kUseSecondTable = 0x200;

  static CFATSearchedPartitionInfo* CreateFATSearchedPartitionInfo(uint32_t sectorSize);
  static void DestroyFATSearchedPartitionInfo(CFATSearchedPartitionInfo* info) { delete info; }
  explicit CFATSearchedPartitionInfo(uint32_t sectorSize) : CSearchedPartitionInfo(sectorSize) {}

  int GetType() const override { return 1; }
  // The same sector size, index, type, geometry and FAT fields; the other
  // base fields as constructed.
  CFATSearchedPartitionInfo* Clone() const;

  void MergeFlag(uint32_t flags) { m_flags |= flags; }
  uint32_t GetFlag() const { return m_flags; }
  uint16_t GetReservedSectors() const { return m_reservedSectors; }
  void SetReservedSectors(uint16_t sectors) { m_reservedSectors = sectors; }
  uint32_t GetSectorsPerFat() const { return m_sectorsPerFat; }
  void SetSectorsPerFat(uint32_t sectors) { m_sectorsPerFat = sectors; }
  uint32_t GetTotalClusters() const { return m_totalClusters; }
  void SetTotalClusters(uint32_t clusters) { m_totalClusters = clusters; }
  // FAT16: the root folder's sectors; FAT32: its first cluster.
  uint32_t GetRootInfo() const { return m_rootInfo; }
  void SetRootInfo(uint32_t info) { m_rootInfo = info; }

 private:
  uint16_t m_reservedSectors = 0;
  uint32_t m_sectorsPerFat = 0;
  uint32_t m_totalClusters = 0;
  uint32_t m_rootInfo = 0;
  uint32_t m_flags = 0;
};

class CFATQuickSearcher : public IQuickFileSystemSearchController {
 public:
  static constexpr ResultCode kMissingArgument = 0x010A004E00000005;
  static constexpr ResultCode kNoTreeBuilder = 0x010A005300000007;
  static constexpr ResultCode kNotVolume = 0x010A008100000003;
  static constexpr ResultCode kNoVolumeData = 0x010A008800000007;
  static constexpr ResultCode kNoVolumeRecord = 0x010A008F00000007;
  static constexpr ResultCode kUnsupportedType = 0x010A00610000000C;
  static constexpr ResultCode kNoMemory = 0x010A00B400000004;
  static constexpr ResultCode kNoBootSector = 0x010A00CA0000000C;
  static constexpr ResultCode kNoTable = 0x010A00D800000007;
  static constexpr ResultCode kNoRecord = 0x010A010600000002;

  CFATQuickSearcher();
  ~CFATQuickSearcher() override;

  void SetDirecotryTreeBuilder(IDirecotryTreeBuilder* builder) override { m_builder = builder; }
  // A clone of the record in array[0]: 1, or 0 when there is none.
  int GetSearchedPartitionInfo(CSearchedPartitionInfo** array, int capacity) override;
  ResultCode QuickSearchFiles(IStorageDevice* device, IProgress* progress) override;

 private:
  ResultCode GetFsType(int* type);
  ResultCode SearchFAT(int type);

  IDirecotryTreeBuilder* m_builder = nullptr;
  std::vector<CFATSearchedPartitionInfo*> m_records;
  IStorageDevice* m_device = nullptr;
  IProgress* m_progress = nullptr;
  // Kept while the searcher lives: the tree builder was given the device it
  // holds.
  std::unique_ptr<CFATVolumeView> m_view;
};
