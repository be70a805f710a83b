// The exFAT searcher of the complete scan. While the blocks go by it keeps
// the evidence lost exFAT volumes leave anywhere on the disk: boot sectors
// (main or backup copy), root folders (the first cluster that names the
// allocation bitmap and the up-case table), up-case tables, the starts of
// allocation tables and folder clusters with the folders they name. When the
// pass ends it places each volume from the best evidence it has, in this
// order: a main boot sector, a backup one, a root folder with its up-case
// table, a folder tree; then walks each volume like the quick scan (on the
// whole device, nodes tagged with the volume's index in start order).
//
// Everything is bounded: each kind of evidence is capped, folder clusters
// are kept as sorted sector lists searched by bisection, and the geometry
// vote over folder links looks at capped numbers of links and clusters.
#pragma once

#include <cstdint>
#include <initializer_list>
#include <memory>
#include <vector>

#include "FileSystemSearchController.h"

class CExFatQuickSearch;

class CExFatSearchController final : public ICompleteFileSystemSearchController {
 public:
  static constexpr size_t kEvidenceCap = size_t{1} << 18;
  static constexpr size_t kVoteLinks = 256;
  static constexpr size_t kVoteFolders = 4096;
  static constexpr size_t kFolderTreeRounds = 16;

  // How a volume was placed.
  enum Placement { kMainBoot = 0, kBackupBoot = 1, kRootSet = 2, kFolderTree = 3 };

  struct RootSet {
    int64_t sector = 0;
    uint32_t bitmapCluster = 0;
    uint64_t bitmapLength = 0;
    uint32_t upcaseCluster = 0;
    uint64_t upcaseLength = 0;
    uint32_t upcaseChecksum = 0;
  };
  // An in-use or deleted folder entry set at `sector` naming a folder whose
  // first cluster is `cluster`.
  struct FolderLink {
    int64_t sector = 0;
    uint32_t cluster = 0;
    bool inUse = false;
  };
  struct Volume {
    int64_t start = 0;
    int64_t heap = 0;
    uint32_t sectorsPerCluster = 0;
    uint64_t clusters = 0;
    bool walkRoot = true;
    Placement placement = kMainBoot;
    std::vector<uint8_t> boot;  // 512 bytes, found or made
  };

  CExFatSearchController();
  ~CExFatSearchController() override;
  CExFatSearchController(const CExFatSearchController&) = delete;
  CExFatSearchController& operator=(const CExFatSearchController&) = delete;

  void SetDirecotryTreeBuilder(IDirecotryTreeBuilder* builder) override { m_treeBuilder = builder; }
  // With a null array or too little room, the number of volumes; otherwise a
  // new record per volume (start order, its index its place), owned by the
  // caller.
  int GetSearchedPartitionInfo(CSearchedPartitionInfo** array, int capacity) override;
  void SetDevice(IStorageDevice* device) override { m_device = device; }
  void SetBlockSize(int sectors) override { m_sectorsPerBlock = sectors; }
  void PreparetoSearch() override;
  void EndSearch(int build) override;
  // Answers 0; sectors that cannot be read are skipped. The block is
  // borrowed from the scan's cache where it can be.
  ResultCode AnalyzeBlock(int64_t firstSector, int64_t sectorCount) override;
  void EndBlockPass() override { std::vector<uint8_t>().swap(m_block); }

  // Examines one sector's bytes (sector-size long) found at `sector`.
  void AnalyzeSector(int64_t sector, const uint8_t* bytes);
  // Places the volumes from the evidence kept (the first half of EndSearch).
  void PlaceVolumes();
  const std::vector<Volume>& GetVolumes() const { return m_volumes; }

 private:
  bool RootLooksRight(const uint8_t* boot, int64_t start);
  bool Covered(int64_t sector) const;
  void PlaceFromRootSet(const RootSet& root);
  void PlaceFromFolderTree();
  int64_t FindTable(int64_t heap, uint64_t clusters) const;
  bool BitmapMarks(int64_t sector, std::initializer_list<uint64_t> clusters);
  bool UpcaseMatches(int64_t sector, const RootSet& root);
  void AddMadeVolume(int64_t heap, uint32_t spc, uint64_t clusters, uint32_t rootCluster, bool walkRoot,
                     Placement placement);
  std::vector<uint32_t> OrphanFolders(const Volume& volume) const;

  IDirecotryTreeBuilder* m_treeBuilder = nullptr;
  IStorageDevice* m_device = nullptr;
  int m_sectorsPerBlock = 0;
  uint32_t m_sectorSize = 512;
  std::vector<uint8_t> m_block;

  std::vector<std::pair<int64_t, std::vector<uint8_t>>> m_boots;
  std::vector<RootSet> m_roots;
  std::vector<int64_t> m_upcases;
  std::vector<int64_t> m_tables;
  std::vector<int64_t> m_folders;  // sectors starting with an entry set
  std::vector<FolderLink> m_links;
  std::vector<Volume> m_volumes;
  std::vector<std::unique_ptr<CExFatQuickSearch>> m_walkers;
};
