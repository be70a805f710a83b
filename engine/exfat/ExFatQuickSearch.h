// The quick searcher of an exFAT volume: it reads the boot sector, binds the
// first allocation table and walks the folders from the root, turning every
// entry set it meets, live or deleted, into a CExFatFileNode for the
// directory-tree builder (searcher type 33). A node's ID is the device
// sector of its first cluster (0 without clusters); the root's is the sector
// of the root folder's first cluster.
//
// Once every folder is read, the files that name the same clusters are held
// against each other and the volume's times (CExFatClusterClaims).
//
// Every cluster is read at most once per scan. Live folders are all read
// before any deleted one: a folder removed and a new one made since may share
// a cluster, which then belongs to the live folder, whose files stay live.
// The removed folder still comes back (empty), under an ID of its own from
// kClaimedFolderIDs, so that nothing of the live one is linked under it.
// Everything found in a deleted folder is deleted.
//
// Failures are answered, not hidden: a boot sector that cannot be read or is
// not a usable exFAT one ends the scan at once; a table or folder that
// cannot be read costs what lies behind it, the walk goes on, and the scan
// answers kReadFailed (also in the error field of its progress records). A
// root whose cluster holds no folder answers kRootNotAFolder: an empty tree
// would pass for an empty volume.
// Every scan that got its arguments ends with FlashBuild(33) and a finished
// progress record.
//
// A volume whose sectors are not the device's (a 512-byte-sector volume
// behind a 4096-byte-sector enclosure, a 4096-byte-sector volume in an image
// file) is read through a view in its own sector size; its record then
// counts in those sectors.
#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <memory>
#include <unordered_set>
#include <vector>

#include "FileSystemSearchController.h"
#include "ResultCode.h"
#include "SearchedPartitionInfo.h"
#include "exfat/EFDTAnalyze.h"
#include "exfat/ExFatPartition.h"

class CExFatClusterClaims;
class CExFatFileNode;
class CSectorSizeDevice;

class CExFatQuickSearch : public IQuickFileSystemSearchController {
 public:
  // The exFAT scanner's module in result codes.
  static constexpr uint8_t kModule = 0x0B;
  static constexpr ResultCode kNullArgument = result::MakeResult(kModule, 0x10, result::kErrBadArgument);
  static constexpr ResultCode kBootUnreadable = result::MakeResult(kModule, 0x11, result::kErrIO);
  static constexpr ResultCode kNotExFat = result::MakeResult(kModule, 0x12, result::kErrBadData);
  static constexpr ResultCode kRootRefused = result::MakeResult(kModule, 0x13, result::kErrCreateFailed);
  static constexpr ResultCode kReadFailed = result::MakeResult(kModule, 0x14, result::kErrIO);
  // The root's cluster was read but holds no folder: no allocation bitmap
  // entry, which every exFAT root has (zeroed, or written over).
  static constexpr ResultCode kRootNotAFolder = result::MakeResult(kModule, 0x15, result::kErrBadData);
  // IDs of deleted folders whose first cluster a live folder holds now.
  static constexpr int64_t kClaimedFolderIDs = int64_t{1} << 62;

  struct Counters {
    int64_t clustersRead = 0;
    int64_t failedReads = 0;  // folder clusters and table windows
    int64_t nodesMade = 0;
    int64_t nodesRefused = 0;
    int64_t claimedFolders = 0;  // deleted folders whose cluster a live one took
  };

  CExFatQuickSearch();
  ~CExFatQuickSearch() override;
  CExFatQuickSearch(const CExFatQuickSearch&) = delete;
  CExFatQuickSearch& operator=(const CExFatQuickSearch&) = delete;

  void SetDirecotryTreeBuilder(IDirecotryTreeBuilder* builder) override { m_builder = builder; }
  // A capacity below 1 answers 1 and writes nothing. Otherwise, after a scan
  // that read a valid boot sector, writes one new record of the volume (the
  // caller owns it): sector size, the cluster heap as first data sector,
  // start 0, the volume's sectors, type exFAT, sectors per cluster; answers
  // 1. Without such a scan (or memory) it answers 0.
  int GetSearchedPartitionInfo(CSearchedPartitionInfo** array, int capacity) override;
  // Scans the volume at the start of `device` (see the top of this file).
  // kNullArgument without a device, progress sink or builder.
  ResultCode QuickSearchFiles(IStorageDevice* device, IProgress* progress) override;

  const Counters& GetCounters() const { return m_counters; }
  const CExFatPartition& GetPartition() const { return m_partition; }

 private:
  ResultCode Prepare();
  void QuickSearch();
  void DrainFolders();
  // Reads the folder whose chain starts at `cluster` (as far as `length`
  // bytes reach) and hands its entries over; false when a read failed.
  bool BuildChildren(uint32_t cluster, uint64_t length, bool contiguous, bool deleted, int64_t folderID);
  // Hands a held-back deleted folder over and reads it unless a live
  // folder's walk read its cluster already.
  void BuildDeletedFolder(CExFatFileNode* folder, bool read);
  void Finish(ResultCode error);
  void Report(uint32_t status, uint64_t total, uint64_t current, ResultCode error);

  IDirecotryTreeBuilder* m_builder = nullptr;  // not owned
  IStorageDevice* m_device = nullptr;          // not owned, or m_view
  IProgress* m_progress = nullptr;             // not owned
  // The volume in its own sector size; kept while the searcher lives, as
  // the tree builder was given it.
  std::unique_ptr<CSectorSizeDevice> m_view;
  CExFatPartition m_partition;
  CEFDTAnalyze m_parser;
  CSearchedPartitionInfo m_record;
  bool m_valid = false;
  bool m_readFailed = false;
  std::vector<uint8_t> m_cluster;
  std::unordered_set<uint32_t> m_read;
  // Live folders handed over and waiting to be read. The builder owns their
  // nodes and may merge or drop them: what the walk needs is kept here.
  struct FolderToRead {
    uint32_t cluster;
    uint64_t length;
    bool contiguous;
    int64_t id;
  };
  std::deque<FolderToRead> m_liveFolders;
  // Deleted folders held back until every live folder is read (owned here).
  std::deque<CExFatFileNode*> m_deletedFolders;
  // Deleted files of live folders, held back likewise: their runs are
  // guessed through the allocation bitmap, which is judged against every
  // live file's clusters first (CExFatPartition::JudgeBitmap).
  struct HeldBackFile {
    _tagFileBaseInfo info;
    int64_t folderID;
  };
  std::vector<HeldBackFile> m_heldBack;
  bool m_liveWalked = false;
  // Judges the bitmap once every live folder is read and hands the
  // held-back deleted files over.
  void EndLiveWalk();
  void AddFile(_tagFileBaseInfo& info, int64_t folderID, bool live);
  int64_t m_nextClaimedID = kClaimedFolderIDs;
  // What the scan's files name of the volume's clusters (on m_partition).
  std::unique_ptr<CExFatClusterClaims> m_claims;
  Counters m_counters;
};
