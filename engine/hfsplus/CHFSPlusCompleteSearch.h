// The complete scan's HFS+ searcher: HFS+ and HFSX volumes and their files
// found anywhere on a disk whose partition map or volume headers may be gone.
//
// Every sector the block pass hands on is examined for a volume header (in
// each of its 512-byte slices), a journal info block, a journal header and the
// start of a B-tree node. The volume headers make the list of candidate
// volumes (CompleteSearchPatition records); every catalog leaf node met turns
// into file and folder nodes, each given to the volume it lies in, opened
// through a virtual volume on the scanned device. When the pass ends, each
// volume's start and size are settled and the volumes are reported as found
// partitions, in list order, their list positions being the nodes' partition
// indexes.
//
// Where a volume starts: a header found at byte p of the device is the
// volume's own header (1024 bytes in) or its alternate (1024 bytes before
// the end); the start is the one of the two at which the catalog's header
// node lies where the header says, else p - 1024. When the pass ends, a
// start the catalog did not confirm gives way to the one the volume's
// journal info block gives, if the catalog lies there. A start must be a
// whole number of the device's sectors and not below 0; a header that gives
// none makes no record.
//
// Every volume that opens is walked once the way a quick scan walks it (the
// files its journal still remembers, then the live catalog), its nodes
// carrying its partition index. A record of a leaf node that lies in an
// opened volume is then handed on only when that volume's live catalog does
// not hold it (same key, same ID): it belongs to a deleted or renamed file
// and is marked deleted. Stale copies of live records never stand in for the
// live file.
//
// Memory: the records keep their opened volumes (nodes read compressed files
// through them), whose catalogs share one cap (hfsplus::CatalogMemory); the
// list holds at most kMaxPartitions records.
#pragma once

#include <cstdint>
#include <memory>
#include <vector>

#include "FileSystemSearchController.h"
#include "ResultCode.h"
#include "StorageDevice.h"
#include "hfsplus/CHFSPlusBTree.h"
#include "hfsplus/HFSPlusFormat.h"

class CFileNode;
class CHFSPlusVolume;
class IProgress;

// One candidate volume.
struct CompleteSearchPatition {
  CompleteSearchPatition();
  ~CompleteSearchPatition();
  CompleteSearchPatition(const CompleteSearchPatition&) = delete;
  CompleteSearchPatition& operator=(const CompleteSearchPatition&) = delete;

  int64_t start = -1;  // device sectors
  int64_t count = 0;
  uint32_t blockSize = 4096;
  uint32_t fileCount = 0;  // files handed to the builder for this volume
  uint32_t nodeCount = 0;  // files and folders
  std::unique_ptr<HFSPlusVolumeHeader> header;
  int64_t headerSector = -1;
  // The start was checked against the catalog's header node.
  bool startConfirmed = false;
  struct DeviceReleaser {
    void operator()(IStorageDevice* device) const;
  };
  std::unique_ptr<IStorageDevice, DeviceReleaser> device;  // the virtual volume
  std::unique_ptr<CHFSPlusVolume> volume;
  bool openTried = false;
  // The journal info block: its fields in host order and where it was found.
  bool hasJournalInfo = false;
  uint64_t journalOffset = 0;
  uint64_t journalSize = 0;
  int64_t journalInfoSector = -1;
  uint32_t index = 0;
};

class CHFSPlusCompleteFileSystemSearchController final : public ICompleteFileSystemSearchController {
 public:
  // Record indexes are 16 bits wide and 0xFFFF means none.
  static constexpr size_t kMaxPartitions = 0xFFFE;
  // The largest B-tree node tried.
  static constexpr uint32_t kMaxNodeBytes = 32768;

  CHFSPlusCompleteFileSystemSearchController();
  ~CHFSPlusCompleteFileSystemSearchController() override;
  CHFSPlusCompleteFileSystemSearchController(const CHFSPlusCompleteFileSystemSearchController&) = delete;
  CHFSPlusCompleteFileSystemSearchController& operator=(const CHFSPlusCompleteFileSystemSearchController&) = delete;

  void SetDirecotryTreeBuilder(IDirecotryTreeBuilder* builder) override { m_builder = builder; }
  // A capacity below the number of records (or no array) answers that
  // number and writes nothing; otherwise one new record per volume in list
  // order, owned by the caller.
  int GetSearchedPartitionInfo(CSearchedPartitionInfo** array, int capacity) override;
  void SetDevice(IStorageDevice* device) override;
  void SetBlockSize(int sectors) override { m_blockSectors = sectors; }
  void PreparetoSearch() override;
  // With `completed` 0 nothing is built or settled.
  void EndSearch(int completed) override;
  // Error 2 without a device; otherwise 0 (unreadable sectors are passed by).
  // The block is borrowed from the scan's cache where it can be.
  ResultCode AnalyzeBlock(int64_t firstSector, int64_t sectorCount) override;
  void SetIProgressSink(IProgress* progress) override { m_progress = progress; }
  // Frees the block buffers.
  void EndBlockPass() override;

  const std::vector<std::unique_ptr<CompleteSearchPatition>>& GetPartitions() const { return m_partitions; }

 private:
  class IndexingBuilder;
  class QuietProgress;
  struct Choice {
    CompleteSearchPatition* record = nullptr;
    CHFSPlusVolume* volume = nullptr;      // what the node reads through
    CHFSPlusVolume* liveVolume = nullptr;  // what says whether it is live
  };

  // The per-sector tests (sector `s`, its bytes in `bytes`).
  bool TestVolumeHeader(int64_t s, const uint8_t* bytes);
  bool TestJournalInfoBlock(int64_t s, const uint8_t* bytes);
  bool TestJournalHeader(int64_t s, const uint8_t* bytes);
  // The node test at byte `at` of the current block; answers the bytes the
  // node found there covers, 0 for none.
  uint32_t TestNode(int64_t s, size_t at);

  void GiveVolumeHeader(const uint8_t* raw, int64_t s, uint64_t byte);
  // Where a volume whose header was found at device byte `byte` starts, in
  // device sectors; -1 for nowhere. `confirmed` tells whether the catalog's
  // header node was found there.
  int64_t PlaceVolume(const HFSPlusVolumeHeader& header, uint64_t byte, bool& confirmed);
  bool CatalogHeaderAt(int64_t start, const HFSPlusVolumeHeader& header);
  // Whether the volume header at `start` is the same volume's as `header`.
  bool HeaderAt(int64_t start, const HFSPlusVolumeHeader& header);
  void TakeHeader(CompleteSearchPatition& record, const HFSPlusVolumeHeader& header, int64_t s, int64_t start,
                  bool confirmed);
  int64_t VolumeSectors(const HFSPlusVolumeHeader& header) const;
  int64_t Clamp(int64_t start, int64_t size) const;

  void AnalyzeNode(int64_t s, const uint8_t* bytes, uint32_t size);
  Choice ChooseVolume(uint32_t id, uint32_t createDate, int64_t s);
  bool InRange(const CompleteSearchPatition& record, int64_t s) const;
  void Open(CompleteSearchPatition& record);
  void Walk(CompleteSearchPatition& record);
  // Hands a node of `record`'s volume to the builder and counts it for the
  // volume: 1 taken, 0 refused (the caller keeps it).
  int HandOn(CFileNode* node, CompleteSearchPatition& record);

  // Up to kMaxNodeBytes from byte `at` of the current block, read on from the
  // device past its end; answers the bytes available.
  size_t NodeBytes(size_t at, const uint8_t** bytes);

  IDirecotryTreeBuilder* m_builder = nullptr;
  IStorageDevice* m_device = nullptr;
  IProgress* m_progress = nullptr;
  int m_blockSectors = 0;
  uint32_t m_sectorSize = 0;  // 0: a device this searcher cannot read
  int64_t m_totalSectors = 0;
  std::vector<std::unique_ptr<CompleteSearchPatition>> m_partitions;
  ResultCode m_lastError = 0;
  bool m_privateDataGiven = false;

  // The current block: lent by the scan's cache, or read into m_block.
  const uint8_t* m_blockData = nullptr;
  size_t m_blockBytes = 0;
  std::vector<uint8_t> m_block;
  int64_t m_blockFirst = 0;
  std::vector<uint8_t> m_nodeBytes;
  // Reads keys and records out of found nodes.
  CHFSPlusCatalog m_catalogReader;
};

ICompleteFileSystemSearchController* CreateHFSPlusSearcher();
