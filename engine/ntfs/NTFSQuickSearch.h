// The quick searcher of an intact NTFS volume: it reads the boot sector,
// finds the master file table through its own record 0 (or the copy in
// $MFTMirr), walks every sector of the table in large reads and hands every
// ordinary FILE record, in use or deleted, to the directory-tree builder as
// a CNTFSFileNode (node ID: the record number; parent ID: the parent
// folder's record number; the root folder is record 5).
//
// What becomes a node: base records from number 16 on that are not the
// volume's own files, whose update sequence verifies (a torn record's
// sector ends are not its bytes) and that have a name or, lacking any
// name, data: those come as "MFTRecord-<number>" with no parent, so the
// tree builder puts them with the lost files. A deleted file with an
// attribute list is built after the walk, when every extension record is
// known: deleting may have cut extension records that still hold its data
// out of its list, and those that name it as their base from its last life
// (the sequence number it had before it was freed) are taken back.
//
// Geometry. The boot sector counts in its own sectors, the device in its
// own; clusters and records are converted through bytes (CNTFSGeometry).
// A volume whose records are smaller than a device sector, or whose
// clusters or records are not whole device sectors, is refused with
// kNoMFTRuns: the table cannot be walked record by record on such a device.
//
// A deleted file whose runs reach clusters that the volume's $Bitmap now
// gives to other files (or to the volume's own) is marked content-unsure:
// its copy is made for the user to judge, never reported recovered. Without
// a believable $Bitmap no file is marked (CNTFSClusterBitmap). Once the walk
// is done, so is a deleted file whose runs overlap another deleted file's
// and that is not clearly the newer of the two (CNTFSDeletedClaims).
//
// Unreadable parts of the table are read as zeros (their records are
// skipped), logged once per failed read, and the last progress record then
// carries kMFTReadFailed in its error field; the scan itself still answers
// 0, like a scan that ran to its end.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <unordered_map>
#include <utility>
#include <vector>

#include "FileSystemSearchController.h"
#include "ResultCode.h"
#include "SearchedPartitionInfo.h"
#include "ntfs/NTFSDBR.h"
#include "ntfs/NTFSDataRunList.h"

class CCommonFileRecordInfo;
class CFindFileFromLogFile;
class CNTFSClusterBitmap;
class CNTFSDeletedClaims;
class CNTFSFileNode;
class CNTFSFileProperties;

class CNTFSQuickSearch : public IQuickFileSystemSearchController {
 public:
  // Answers of QuickSearchFiles (module 0x12).
  static constexpr ResultCode kNullArgument = result::MakeResult(result::kModuleNTFSQuickScan, 0x65, 5);
  static constexpr ResultCode kNotNTFS = result::MakeResult(result::kModuleNTFSQuickScan, 0x75, 0x10);
  static constexpr ResultCode kNoMFTRuns = result::MakeResult(result::kModuleNTFSQuickScan, 0x7E, 0x11);
  // The error field of the progress records once a read of the table failed.
  static constexpr ResultCode kMFTReadFailed = result::MakeResult(result::kModuleNTFSQuickScan, 0x90, result::kErrIO);
  // Sectors read and examined at a time.
  static constexpr int kBufferSectors = 128;
  // Records below this number are the volume's own files and make no nodes.
  static constexpr int64_t kFirstUserRecord = 16;
  // Deleted files with an attribute list kept for the end of the walk.
  static constexpr size_t kMaxDeferredRecords = 16384;

  // What a scan did, for tests and benchmarks.
  struct Counters {
    int64_t recordSlots = 0;     // record positions examined
    int64_t nodesMade = 0;       // nodes handed to the builder
    int64_t nodesRefused = 0;    // of those, refused and released
    int64_t failedReads = 0;     // reads of the table that failed
    int64_t logFileQueries = 0;  // deleted files of size 0 offered to the log finder
    int64_t clustersTaken = 0;   // deleted files whose clusters $Bitmap gives to others
    int64_t overwritten = 0;     // deleted files another deleted file's runs overlap, not clearly the newer
  };

  CNTFSQuickSearch();
  ~CNTFSQuickSearch() override;
  CNTFSQuickSearch(const CNTFSQuickSearch&) = delete;
  CNTFSQuickSearch& operator=(const CNTFSQuickSearch&) = delete;

  // The builder to feed (not owned).
  void SetDirecotryTreeBuilder(IDirecotryTreeBuilder* builder) override;
  // A capacity below 1 answers 1 and writes nothing. Otherwise writes one new
  // record of the scanned volume (the caller owns it): the device's sector
  // size and sector count, first data sector and start 0, type NTFS and the
  // device sectors per cluster; answers 1, or 0 when no record can be made.
  int GetSearchedPartitionInfo(CSearchedPartitionInfo** array, int capacity) override;
  // Scans the volume at the start of `device`. kNullArgument for a null
  // argument, kNotNTFS when the device holds fewer than three sectors or
  // sector 0 is not an NTFS boot sector, kNoMFTRuns when neither $MFT nor
  // $MFTMirr gives the table's runs or the geometry does not fit the device;
  // otherwise 0, also when the walk was stopped through Continued().
  ResultCode QuickSearchFiles(IStorageDevice* device, IProgress* progress) override;

  // Replaces the $LogFile finder (null restores a fresh default one). Before
  // QuickSearchFiles only.
  void SetLogFileFinder(std::unique_ptr<CFindFileFromLogFile> finder);

  // After a scan: the table's runs (VCN order), whether they came from the
  // mirror, device sectors per cluster and per FILE record (0 when several
  // records share a device sector), and FILE records per device sector.
  const CNTFSDataRunList& GetMFTDataRunList() const { return m_mftRuns; }
  bool IsMFTFromMirror() const { return m_fromMirror; }
  uint32_t GetSectorsPerCluster() const { return m_sectorsPerCluster; }
  uint32_t GetSectorsPerFileRecord() const { return m_sectorsPerRecord; }
  uint32_t GetFileRecordsPerSector() const { return m_recordsPerSector; }
  const Counters& GetCounters() const { return m_counters; }
  // Whether the volume's $Bitmap was read and believed (deleted files are
  // then held against it).
  bool HasClusterBitmap() const { return m_bitmapLoaded; }

  // Opens the volume at the start of `device` as a scan opens it (boot
  // sector, geometry, the table's runs, $Bitmap) without walking the table:
  // QuickSearchFiles's answers for a device that holds no volume it can
  // walk, else 0. The getters above then describe the volume, and the
  // bitmap (null when not believed) stays until the next scan or opening.
  ResultCode OpenVolume(IStorageDevice* device);
  const CNTFSGeometry& GetGeometry() const { return m_geometry; }
  CNTFSClusterBitmap* GetClusterBitmap() const { return m_bitmap.get(); }

 private:
  bool ReadBootSector();
  // Finds the table's runs from $MFT, else from $MFTMirr.
  bool GetMFTInfo();
  bool ReadMFTInfoFromFileRecord(int64_t sector);
  // The walk over every sector of the table.
  ResultCode BuildFileNodeFromMFTFileRecord();
  // Examines `sectorCount` sectors of the table starting `base` sectors into
  // it, record by record at their byte offsets; `sectors` gives each one's
  // device sector.
  ResultCode BuildFileNodeFromBuffer(uint8_t* buffer, int sectorCount, int64_t base, const int64_t* sectors);
  void BuildFileNodeFromRecord(uint8_t* record, int bytes, int64_t recordNumber, int64_t sector);
  void BuildFileNode(uint8_t* record, int bytes, int64_t recordNumber, int64_t sector, bool withUnlistedExtensions);
  void BuildDeferredFileNodes();
  // `claim`: the file's index among the deleted files' claims, or -1.
  void CreateFileNode(CNTFSFileProperties* properties, const CCommonFileRecordInfo& info, bool unsure, int64_t claim);
  // Marks the deleted files the claims condemn, before the tree finishes.
  void JudgeDeletedClaims();
  void Report(uint32_t status, uint64_t total, uint64_t current, ResultCode error);

  IDirecotryTreeBuilder* m_builder = nullptr;  // not owned
  IStorageDevice* m_device = nullptr;          // not owned
  IProgress* m_progress = nullptr;             // not owned
  CSearchedPartitionInfo m_partition;
  std::unique_ptr<CFindFileFromLogFile> m_logFinder;
  // The volume's allocation record, for the deleted files' runs; null when
  // it cannot be believed.
  std::unique_ptr<CNTFSClusterBitmap> m_bitmap;
  bool m_bitmapLoaded = false;
  CNTFSDBR m_dbr;
  CNTFSGeometry m_geometry;
  CNTFSDataRunList m_mftRuns;
  uint32_t m_sectorSize = 512;
  uint32_t m_sectorsPerCluster = 1;
  uint32_t m_sectorsPerRecord = 2;
  uint32_t m_recordsPerSector = 1;
  uint32_t m_recordBytes = 1024;
  int64_t m_deviceSectors = 0;
  bool m_fromMirror = false;
  std::vector<uint8_t> m_recordScratch;
  Counters m_counters;

  // Extension records seen by the walk, by their base record's number.
  struct ExtensionSeen {
    int64_t recordNumber;
    int64_t sector;
    uint16_t baseSequence;  // the sequence number in the base reference
  };
  std::unordered_map<int64_t, std::vector<ExtensionSeen>> m_extensionsByBase;
  // Deleted records with an attribute list, built once the walk has seen
  // every extension record.
  struct DeferredRecord {
    std::vector<uint8_t> bytes;
    int64_t recordNumber;
    int64_t sector;
  };
  std::vector<DeferredRecord> m_deferred;
  // The clusters every deleted file names (also those the tree builder
  // refused: they are on the volume all the same), and the nodes the
  // builder took with their index there.
  std::unique_ptr<CNTFSDeletedClaims> m_claims;
  std::vector<std::pair<CNTFSFileNode*, uint32_t>> m_claimed;
};
