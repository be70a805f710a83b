// The exFAT searcher of the complete scan. Every sector of the disk passes
// it once and is told apart by a few bytes: an up-case table's start, a
// boot sector, an allocation table's start, or else a directory sector for
// CFDTPreAnaylze, whose runs of directory sectors go to the lost-partition
// builder (CPartitionBuilder) with the other evidence. When the pass ends
// the builder settles the volumes, and each volume's nodes go to the tree
// builder (searcher type 33, the root ID -1 for every volume) tagged with
// the volume's index; volumes are indexed in the order they lie on the disk.
//
// A directory entry set may run on past its sector, so the last two sectors
// of every block are examined with the start of the next one (a set never
// takes more than two sectors after its own); the last two of the device
// are examined at the end of the pass, as if zeros followed.
#pragma once

#include <cstdint>
#include <memory>
#include <vector>

#include "FileSystemSearchController.h"
#include "device/SectorSizeDevice.h"
#include "exfat/ExFatPartitionEx.h"
#include "exfat/FDTPreAnaylze.h"
#include "exfat/PartitionBuilder.h"

class CExFatSearchController final : public ICompleteFileSystemSearchController {
 public:
  static constexpr int64_t kCarriedSectors = 2;

  CExFatSearchController();
  ~CExFatSearchController() override;
  CExFatSearchController(const CExFatSearchController&) = delete;
  CExFatSearchController& operator=(const CExFatSearchController&) = delete;

  void SetDirecotryTreeBuilder(IDirecotryTreeBuilder* builder) override { m_treeBuilder = builder; }
  // Heard while the files that name the same clusters are judged: their
  // heads and ends are read off the medium, which a user may not wait for.
  void SetIProgressSink(IProgress* progress) override { m_progress = progress; }
  // The number of volumes settled; when `array` has room for all of them,
  // first a new record per volume (disk order, its index its place), owned
  // by the caller.
  int GetSearchedPartitionInfo(CSearchedPartitionInfo** array, int capacity) override;
  void SetDevice(IStorageDevice* device) override;
  void SetBlockSize(int sectors) override { m_sectorsPerBlock = sectors; }
  // Forgets everything of an earlier pass.
  void PreparetoSearch() override;
  // With `build` 0 nothing changes; otherwise the volumes are settled and
  // their trees built.
  void EndSearch(int build) override;
  // Answers 0: a block that cannot be read is read sector by sector, and a
  // sector that cannot be read is taken as zeros. The block is borrowed
  // from the scan's cache where it can be.
  ResultCode AnalyzeBlock(int64_t firstSector, int64_t sectorCount) override;
  // The block buffer goes; the sectors carried wait for EndSearch.
  void EndBlockPass() override { std::vector<uint8_t>().swap(m_block); }

  const std::vector<std::unique_ptr<CExFatPartitionEx>>& GetPartitions() const { return m_partitions; }
  const CPartitionBuilder& GetBuilder() const { return m_builder; }

 private:
  bool Prepare();
  // The block's bytes, read into a buffer of the searcher's own (a sector
  // that cannot be read is zeros); null when memory is short.
  const uint8_t* ReadBlock(int64_t firstSector, int64_t sectorCount);
  // Examines the block's sectors and those carried from the last one, each
  // once the two after it are at hand; carries what is left.
  void AnalyzeBlockBytes(int64_t firstSector, int64_t sectorCount, const uint8_t* block);
  // Examines the sector at `sector`; `bytes` holds it and `available` bytes
  // from its start.
  void AnalyzeSector(int64_t sector, const uint8_t* bytes, size_t available);
  // The boot sector `bytes` with its counts in the device's sectors: itself
  // when the volume's sectors are the device's, else a copy rewritten in
  // them (a volume made for 512-byte sectors behind an enclosure that shows
  // 4096-byte ones, or the other way round); null when it is no boot sector
  // or its tables and heap do not begin on a device sector.
  const uint8_t* BootInDeviceSectors(const uint8_t* bytes);
  void EndRun();
  // Examines the sectors carried with nothing after them.
  void Flush();
  void BuildeFileNode();

  IDirecotryTreeBuilder* m_treeBuilder = nullptr;  // not owned
  IProgress* m_progress = nullptr;                 // not owned
  // The device the pass hands its blocks from (the scan's cache, not owned),
  // and what the searcher reads and counts in: the same device, or, when its
  // sectors are larger, a view of it in 512-byte sectors, so that boot
  // sectors, tables and directory clusters of volumes made for 512-byte
  // sectors are met wherever they lie (clusters of 512 bytes among them).
  IStorageDevice* m_source = nullptr;
  std::unique_ptr<CSectorSizeDevice> m_units;
  int64_t m_unitsPerSector = 1;
  IStorageDevice* m_device = nullptr;
  int m_sectorsPerBlock = 0;
  bool m_prepared = false;
  bool m_usable = false;
  uint32_t m_sectorSize = 512;
  int64_t m_totalSectors = 0;
  std::vector<uint8_t> m_block;
  // The sectors carried from the last block, the next block's first two,
  // and zeros.
  std::vector<uint8_t> m_seam;
  std::vector<uint8_t> m_boot;  // a boot sector rewritten in the device's sectors
  int64_t m_carried = 0;
  int64_t m_nextSector = 0;
  CFDTPreAnaylze m_preAnalyze;
  CPartitionBuilder m_builder;
  std::vector<std::unique_ptr<CExFatPartitionEx>> m_partitions;
};
