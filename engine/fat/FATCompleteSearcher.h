// The FAT searcher of the complete scan: every sector is looked at once for
// boot sectors (and FAT32's copies), first sectors of tables and directory
// content; candidates built from that evidence are kept when confirmed,
// scored, and their trees built when the pass ends.
#pragma once

#include <cstdint>
#include <memory>
#include <set>
#include <vector>

#include "FileSystemSearchController.h"
#include "device/SectorSizeDevice.h"
#include "fat/FATBuildWorker.h"
#include "fat/FATQuickSearcher.h"

struct CFatSearchedPartitionInfoLess {
  bool operator()(const CFATSearchedPartitionInfo* a, const CFATSearchedPartitionInfo* b) const {
    return a->GetFirstDataSector() < b->GetFirstDataSector();
  }
};

struct FATTableInfo {
  int64_t sector = 0;  // where a candidate expects a table to begin
  CFATSearchedPartitionInfo* candidate = nullptr;
  bool operator<(const FATTableInfo& other) const { return sector < other.sector; }
};

class CFATCompleteFSearcher : public ICompleteFileSystemSearchController {
 public:
  static constexpr ResultCode kNoTable = 0x010A038F00000007;

  CFATCompleteFSearcher() = default;
  ~CFATCompleteFSearcher() override;
  CFATCompleteFSearcher(const CFATCompleteFSearcher&) = delete;
  CFATCompleteFSearcher& operator=(const CFATCompleteFSearcher&) = delete;

  void SetDirecotryTreeBuilder(IDirecotryTreeBuilder* builder) override { m_builder = builder; }
  // Null array: the number kept. Otherwise clones of all of them, or, when
  // `capacity` is too small, nothing written and the number kept, so that
  // the caller can ask again with room for all.
  int GetSearchedPartitionInfo(CSearchedPartitionInfo** array, int capacity) override;
  void SetDevice(IStorageDevice* device) override;
  void SetBlockSize(int sectors) override { m_sectorsPerBlock = sectors; }
  void PreparetoSearch() override;
  void EndSearch(int build) override;
  ResultCode AnalyzeBlock(int64_t firstSector, int64_t sectorCount) override;
  // Moves the confirmed candidates, scored and numbered, into `list`.
  void AddSearchedPartitionInfoList2(std::vector<CFATSearchedPartitionInfo*>& list);

  // Score of a kept candidate from its evidence flags.
  static int Score(const CFATSearchedPartitionInfo& candidate);

 private:
  bool AnalyzeFATDBRSector(int64_t sector, const uint8_t* bytes);
  CFATSearchedPartitionInfo* BuildPartitionInfoAccordingFATDBR(int64_t start, const uint8_t* bytes, int isCopy);
  CFATSearchedPartitionInfo* FindMatchedPartitionInfo(const CFATSearchedPartitionInfo* probe) const;
  CFATSearchedPartitionInfo* FindCandidate(int64_t dataStart, uint32_t sectorsPerCluster) const;
  void InsertCandidate(CFATSearchedPartitionInfo* candidate);
  void UpdateFATTableInfo(int64_t sector);
  void AnalyzeFATSubFolderFirstSector(int64_t sector, uint32_t cluster);
  CFATSearchedPartitionInfo* BuildPartitionInfoAccordingtoSubFolder(int64_t sector, uint32_t cluster,
                                                                    uint32_t sectorsPerCluster);
  int CalcFileSystemType(int64_t dataStart, uint32_t sectorsPerCluster) const;
  bool IsValidFileSystem(int64_t dataStart, uint32_t sectorsPerCluster, int type) const;
  // Where a kept volume's structures lie, from its record.
  static FATGeometry GeometryOf(const CFATSearchedPartitionInfo& record);
  static bool IsFromBootSector(const CFATSearchedPartitionInfo& record);
  // A volume found without its boot sector is taken to run to the device's
  // end; it ends where the next kept volume begins instead.
  void ClipGuessedExtents();
  // Each recorded directory sector given to the one kept volume it belongs
  // to (the index of m_kept), marked shared when others could hold it too.
  std::vector<FolderSectorSet> AssignFolderSectors() const;
  ResultCode CompleteBulidDirectoryTree(CFATSearchedPartitionInfo* record, const FolderSectorSet& folderSectors);
  void DropCandidates();

  int m_sectorsPerBlock = -1;
  // The device the pass hands its blocks from (the scan's cache), and what
  // the searcher reads and counts in: the same device, or, when its sectors
  // are larger, a view of it in 512-byte sectors. A disk moved from a
  // 512-byte-sector bay into an enclosure that shows 4096-byte sectors
  // keeps volumes whose boot sectors, tables and folder clusters lie at any
  // 512-byte boundary; a volume made for larger sectors is counted in 512-byte
  // ones too (its boot sector says how many make one of its own).
  IStorageDevice* m_source = nullptr;
  std::unique_ptr<CSectorSizeDevice> m_units;
  int64_t m_unitsPerSector = 1;
  IStorageDevice* m_device = nullptr;
  IDirecotryTreeBuilder* m_builder = nullptr;
  std::vector<CFATSearchedPartitionInfo*> m_kept;
  std::multiset<CFATSearchedPartitionInfo*, CFatSearchedPartitionInfoLess> m_candidates;
  std::multiset<FATTableInfo> m_tables;
  FolderSectorSet m_folderSectors;
  uint32_t m_sectorSize = 512;
  std::vector<uint8_t> m_sector;
};
