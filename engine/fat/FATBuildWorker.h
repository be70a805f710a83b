// Turning one FAT volume's directories into nodes for the tree builder.
// CFATBuildChildren parses directory content; CFATBuildWorker walks the
// tree from the root, breadth-first.
//
// Live folders are walked before deleted ones, so that when a removed folder
// and a folder made later share a cluster, the content goes to the live
// folder; the removed one is shown empty. Deleted folders are handed to the
// tree builder when the walk ends, so their IDs can still be told apart from
// a live folder on the same cluster.
#pragma once

#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <set>
#include <unordered_map>
#include <vector>

#include "ResultCode.h"
#include "fat/FATClusterClaims.h"

class CFATFileNode;
class CFATFirstCluReviser;
class CFATFileProperties;
class CSearchedPartitionInfo;
class IDirecotryTreeBuilder;
class IFATTable;
class IProgress;
class IStorageDevice;

// Where one volume's structures lie, in device sectors from the device's
// start (the volume starts at `volumeStart`).
struct FATGeometry {
  int type = 0;  // enumFILE_SYSTEM_TYPE
  int64_t volumeStart = 0;
  uint32_t sectorsPerCluster = 0;
  int64_t rootStart = 0;  // FAT16: the fixed root; FAT32: the root cluster's first sector
  uint32_t rootSectors = 0;
  uint32_t rootCluster = 0;  // FAT32
  int64_t dataStart = 0;     // first sector of cluster 2
  uint64_t totalSectors = 0;
  uint64_t clusterCount = 0;  // valid clusters: 2 .. clusterCount + 1
};

// Sends {status, total 100, current percent} to `progress` (null: nothing).
void ReportFATProgress(IProgress* progress, uint32_t status, uint64_t percent);

// A directory sector the complete scan's block pass met: `cluster` is the
// "." entry's cluster when the sector starts a subfolder, else all bits set.
// `shared`: more than one found volume could hold it, so the volume it was
// given to, and with it where its entries' clusters lie, is a guess.
struct FIRSTFOLDERSECTOR {
  int64_t sector = 0;
  uint32_t cluster = 0xFFFFFFFF;
  uint32_t parentCluster = 0xFFFFFFFF;
  bool shared = false;
};
struct FIRSTFOLDERSECTORLESS {
  bool operator()(const FIRSTFOLDERSECTOR& a, const FIRSTFOLDERSECTOR& b) const { return a.sector < b.sector; }
};
using FolderSectorSet = std::set<FIRSTFOLDERSECTOR, FIRSTFOLDERSECTORLESS>;

// A folder waiting for its content to be parsed.
struct FATFolderToParse {
  uint32_t cluster = 0;
  bool deleted = false;
  CFATFileNode* held = nullptr;  // deleted folders: the node the worker still owns
  // Reached from directory content that may be another volume's: its files'
  // clusters are not vouched for, nor are its subfolders'.
  bool unsure = false;
};

class CFATBuildChildren {
 public:
  // Called after each folder's content with the deleted folders and files it
  // gave, when set; it then owns the files (held back from the tree
  // builder). The first-cluster revision of FAT32 hooks in here; no hook,
  // no hold-back.
  using RevisionHook = std::function<void(std::vector<CFATFileNode*>& folders, std::vector<CFATFileNode*>& files)>;

  CFATBuildChildren(IDirecotryTreeBuilder* builder, CSearchedPartitionInfo* record, IStorageDevice* device,
                    const FATGeometry& geometry, IFATTable* table);
  ~CFATBuildChildren();
  CFATBuildChildren(const CFATBuildChildren&) = delete;
  CFATBuildChildren& operator=(const CFATBuildChildren&) = delete;

  void SetRevisionHook(RevisionHook hook) { m_revision = std::move(hook); }

  // The root's content; false when it cannot be read or parsed. A root that
  // was read in part, or holds entries that are no entries, is damaged
  // (IsRootDamaged): what it still holds is parsed all the same.
  bool BuildRoot(std::deque<FATFolderToParse>& live, std::deque<FATFolderToParse>& deleted, int readRoot);
  bool IsRootDamaged() const { return m_rootDamaged; }
  // Whether the root gave no live entry while the table gives clusters
  // outside the root's own chain to files: a root that was wiped (a zeroed
  // root reads as an empty one), not an empty volume.
  bool IsRootEmptiedOfFiles() const;
  // One folder's cluster chain; false when its content is not there (a
  // deleted folder's first cluster without "." and "..", a cluster parsed
  // before, a read failure before anything was parsed).
  bool BuildChildren(const FATFolderToParse* folder, uint32_t firstCluster, std::deque<FATFolderToParse>& live,
                     std::deque<FATFolderToParse>& deleted, int isRoot);
  // Entries of `length` bytes under `parent` (null: the root). Answers the
  // bytes consumed (a pending long-name run is left for the next call) or
  // kInvalidRun.
  static constexpr uint32_t kInvalidRun = 0xFFFFFFFF;
  uint32_t BuildChildrenFromBuffer(const uint8_t* bytes, uint32_t length, const FATFolderToParse* parent,
                                   std::deque<FATFolderToParse>& live, std::deque<FATFolderToParse>& deleted,
                                   int stopAtInvalid);
  // A deleted FAT32 folder whose recorded cluster lost its high word: tries
  // the 50 high words a volume can have, while the entry's size gives runs.
  bool BuildSubDirChild(FATFolderToParse& folder, std::deque<FATFolderToParse>& live,
                        std::deque<FATFolderToParse>& deleted);
  // Hands the held deleted folders to the tree builder.
  void HandOverDeletedFolders();

  // Complete scans.
  bool IsClusterParsed(uint64_t cluster) const { return ClusterInVolume(cluster) && m_parsed[cluster]; }
  bool IsClusterStart(int64_t sector) const;
  uint32_t ClusterOfSector(int64_t sector) const;
  // One sector of a FAT16 root whose boot sector is gone, parsed as root
  // content up to its first invalid entry.
  void BuildFat16LostRoot(int64_t sector, std::deque<FATFolderToParse>& live, std::deque<FATFolderToParse>& deleted);
  // A folder whose own entry is gone: a made-up "DIR%d" folder handed to the
  // tree builder, whose content is then walked. When the builder refuses the
  // folder, its content is parsed under a transient parent instead.
  // `unsure`: the cluster may be another volume's (see FIRSTFOLDERSECTOR).
  void BuildLostFolder(uint32_t cluster, uint32_t parentCluster, std::deque<FATFolderToParse>& live,
                       std::deque<FATFolderToParse>& deleted, bool unsure = false);
  // One cluster of directory content whose folder is unknown: its entries go
  // to the tree builder as deleted, with the lost cluster as their parent.
  void BuildLostNode(uint32_t cluster, std::deque<FATFolderToParse>& live, std::deque<FATFolderToParse>& deleted,
                     bool unsure = false);
  // A new "DIR%d" folder node for `cluster` (the number is process-wide).
  CFATFileNode* CreateTempFileNode(uint32_t cluster, uint32_t parentCluster) const;

 private:
  int64_t SectorOfCluster(uint64_t cluster) const;
  bool ClusterInVolume(uint64_t cluster) const;
  void AddToBuilder(CFATFileNode* node);

  IDirecotryTreeBuilder* m_builder;
  CSearchedPartitionInfo* m_record;
  IStorageDevice* m_device;
  FATGeometry m_g;
  IFATTable* m_table;
  uint32_t m_sectorSize;
  // Clusters whose content was parsed; folders' clusters claimed by a live
  // entry.
  std::vector<bool> m_parsed;
  std::vector<bool> m_liveFolder;
  std::vector<CFATFileNode*> m_heldFolders;
  // Entries that are neither free nor valid, met so far; whether the root
  // was damaged.
  uint64_t m_invalidEntries = 0;
  bool m_rootDamaged = false;
  uint64_t m_rootLiveEntries = 0;
  RevisionHook m_revision;
  std::vector<CFATFileNode*> m_revisionFolders;
  std::vector<CFATFileNode*> m_revisionFiles;
  std::vector<uint8_t> m_work;
};

class CFATBuildWorker {
 public:
  CFATBuildWorker(IDirecotryTreeBuilder* builder, IProgress* progress, CSearchedPartitionInfo* record,
                  IStorageDevice* device, const FATGeometry& geometry, IFATTable* table);

  // 0, kRootFailed (nothing of the root could be read), kRootDamaged (the
  // root was read in part: whatever its readable part leads to is shown) or
  // kCancelled.
  ResultCode QuickBuildDirectoryTree();
  // A partition the complete scan found: the tree from the root when
  // `readRoot` is set, then every recorded directory sector inside the
  // partition whose cluster no walk reached. 0, or kRootFailed when nothing
  // at all could be read.
  ResultCode CompleteBuildDirectoryTree(const FolderSectorSet& folderSectors, int readRoot);

  // The directory sectors CompleteBuildDirectoryTree looks at: [*from, *to)
  // (a FAT16 volume found only from its subfolders may have its fixed root
  // before its data).
  static void CompleteSweepRange(const FATGeometry& geometry, int readRoot, uint32_t sectorSize, int64_t* from,
                                 int64_t* to);

  // The boot sector at `volumeStart` and one of its tables' first sectors
  // (or, where neither looks like one, one the medium could not give).
  static bool IsFullValidDBR(const uint8_t* bootSector, int64_t volumeStart, IStorageDevice* device);

  static constexpr ResultCode kRootFailed = 0x010A008B00000001;
  static constexpr ResultCode kRootDamaged = result::MakeResult(result::kModuleFATSearch, 0x8C, result::kErrBadData);
  static constexpr ResultCode kCancelled = 0x010A00950000000D;

 private:
  // The FAT32 first-cluster revision hooked into `children` when it is on
  // (null otherwise), handing its files to `builder`; it must outlive the
  // walk.
  std::unique_ptr<CFATFirstCluReviser> InstallRevision(CFATBuildChildren& children,
                                                       IDirecotryTreeBuilder* builder) const;
  // The walks of QuickBuildDirectoryTree and CompleteBuildDirectoryTree,
  // feeding `builder`.
  ResultCode QuickWalk(IDirecotryTreeBuilder* builder);
  ResultCode CompleteWalk(IDirecotryTreeBuilder* builder, const FolderSectorSet& folderSectors, int readRoot);
  // Where the volume's clusters lie on its device (read while the scan is
  // not stopped).
  fileheads::ClusterPlace Place() const { return {m_device, m_g.dataStart, m_g.sectorsPerCluster, m_progress}; }
  // Walks the queued folders, live ones first; false when cancelled.
  bool WalkQueued(CFATBuildChildren& children, std::deque<FATFolderToParse>& live,
                  std::deque<FATFolderToParse>& deleted, bool report);

  IDirecotryTreeBuilder* m_builder;
  IProgress* m_progress;
  CSearchedPartitionInfo* m_record;
  IStorageDevice* m_device;
  FATGeometry m_g;
  IFATTable* m_table;
};
