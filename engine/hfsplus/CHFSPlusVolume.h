// An open HFS+ or HFSX volume on a read-only device: its checked volume
// header, its special files (extents overflow, catalog held in memory,
// attributes) and their B-trees, and the records taken from its journal.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <utility>
#include <vector>

#include "DataRunList.h"
#include "ResultCode.h"
#include "StorageDevice.h"
#include "hfsplus/CHFSPlusBTree.h"
#include "hfsplus/HFSPlusFormat.h"
#include "hfsplus/HFSPlusJournalRecords.h"

class CHFSPlusRawfile;
class CHFSPlusJournal;
class IDirecotryTreeBuilder;
class CHFSPlusQuickFileSystemSearchProgress;

class CHFSPlusVolume {
 public:
  // Opens the volume; the outcome is GetLastError() (success iff its top byte
  // is 0). A header that fails IsValidVolumeHeader is refused with error 6
  // and nothing further is read. With noCatalog the catalog is neither read
  // nor kept, and the construction ends with error 6 while the header, the
  // extents and attributes trees and Read stay usable.
  CHFSPlusVolume(IStorageDevice* device, bool noCatalog);
  ~CHFSPlusVolume();
  CHFSPlusVolume(const CHFSPlusVolume&) = delete;
  CHFSPlusVolume& operator=(const CHFSPlusVolume&) = delete;

  ResultCode GetLastError() const { return m_lastError; }
  ResultCode ReadVolumeHeader();
  static bool IsValidVolumeHeader(const uint8_t* bytes, uint16_t length);

  // Bytes of the device by byte position; answers the bytes delivered.
  // With `lost`, sectors a failing medium could not give read as zeros, and
  // their bytes in the request are appended there (UnreadableSectors.h);
  // without, the read stops at them.
  uint64_t Read(uint64_t byteOffset, void* buffer, uint64_t length, hfsplus::ByteRanges* lost = nullptr);

  // Looks `key` up in tree 3, 4 or 8 (others: error 3).
  ResultCode Search(int fileID, const BTKey* key, HFSPlusSearchResult& result, uint8_t** record);
  // Walks the catalog (only ID 4) and hands every file and folder to builder.
  ResultCode Traverse(int fileID, IDirecotryTreeBuilder* builder, CHFSPlusQuickFileSystemSearchProgress* progress);

  // The special file whose extents hold `byteOffset`: 4, 3, 8, 6, 7 or 0.
  uint32_t GetNodeBelongToFile(uint64_t byteOffset);
  bool IsBelongToFile(uint32_t fileID, const HFSPlusForkData& fork, uint64_t byteOffset);

  // The inline data of attribute `name` (ASCII) of `fileID`: its size, with
  // a new buffer in *data (delete[]); 0 when absent.
  uint32_t getAttribute(uint32_t fileID, const char* name, uint8_t** data);

  // Look-ups among the records taken from the journal: a hit sets found 1
  // and hands out a copy of the record (delete[]).
  ResultCode FindDeleteCatalog(const BTKey* key, HFSPlusSearchResult& result, uint8_t** record);
  ResultCode FindDeleteExtent(const BTKey* key, HFSPlusSearchResult& result, uint8_t** record);
  ResultCode FindDeleteAttribute(const BTKey* key, HFSPlusSearchResult& result, uint8_t** record);
  // The journal's records, filled by the journal sweep; the volume owns them.
  CHFSPlusJournalRecords& GetJournalCatalog() { return m_journalCatalog; }
  CHFSPlusJournalRecords& GetJournalExtents() { return m_journalExtents; }
  CHFSPlusJournalRecords& GetJournalAttributes() { return m_journalAttributes; }

  // The quick scan's walk: the files and folders the journal shows deleted
  // (marked so), then the live catalog. Answers the walk's outcome: a failed
  // journal leaves only its own records out; a failed catalog walk is the
  // answer; cancelling is error 0xd.
  ResultCode QuickSearchFiles(IDirecotryTreeBuilder* builder, CHFSPlusQuickFileSystemSearchProgress* progress);
  // What the last journal sweep answered (0: none ran or it went well).
  ResultCode GetJournalResult() const { return m_journalResult; }

  // The file record of the indirect node "iNode<linkID>" in the private-data
  // folder that a hard link stands for; false when there is none.
  bool GetIndirectNodeFile(uint32_t linkID, HFSPlusCatalogFile& out);

  // Whether the allocation file (the volume's bitmap: a bit per block, the
  // first block's the high bit of the first byte) marks a block of `runs`
  // (blocks from the volume's start) in use: 1 marked (or may be: its bit
  // lies on a sector a failing medium could not give), 0 none, -1 when it
  // cannot say (no header, the file does not read, or it is not believed: a
  // sound one marks the blocks of the volume header and of the volume's own
  // special files, which zeroed or random bytes do not).
  int RunsReachBlocksInUse(IDataRunList* runs);
  // The allocation file's marks of blocks [first, first + count), one byte
  // per block (1 marked, or its bit lies on a sector a failing medium could
  // not give), into `marks`; false when it cannot say, as above, or the
  // blocks are not all the volume's.
  bool BlockMarks(uint64_t first, uint64_t count, std::vector<uint8_t>& marks);

  IStorageDevice* GetDevice() const { return m_device; }
  uint32_t GetSectorSize() const { return m_sectorSize; }
  uint64_t GetDeviceBytes() const { return m_deviceBytes; }
  const HFSPlusVolumeHeader* GetVolumeHeader() const { return m_header.get(); }
  uint32_t GetBlockSize() const { return m_header ? m_header->blockSize : 0; }
  uint8_t GetKeyCompareType() const { return m_keyCompareType; }
  bool IsHFSX() const { return m_header && m_header->signature == hfsplus::kSignatureHFSX; }
  bool HasAttributesTree() const { return m_attributes != nullptr && m_attributes->GetHeaderRec() != nullptr; }
  CHFSPlusCatalog* GetCatalog() const { return m_catalog.get(); }
  CHFSPlusExtents* GetExtents() const { return m_extents.get(); }
  CHFSPlusAttribute* GetAttributes() const { return m_attributes.get(); }
  CHFSPlusRawfile* GetCatalogFile() const { return m_catalogFork.get(); }
  CHFSPlusJournal* GetJournal() const { return m_journal.get(); }

 private:
  CHFSPlusBTreeOptionBase* TreeOf(int fileID);
  // Over blocks [first, first + count) of the allocation file: whether any
  // (wantAll false) or every one (wantAll true) is marked; -1 unreadable.
  int ScanAllocation(uint64_t first, uint64_t count, bool wantAll);
  // Calls `visit(byte, bytes)` for the allocation file's bytes that hold the
  // marks of blocks [first, first + count), a piece at a time from byte
  // `byte`, the bytes on sectors a failing medium could not give set, until
  // it answers false; false when a piece cannot be read.
  bool ForEachAllocationChunk(uint64_t first, uint64_t count,
                              const std::function<bool(uint64_t byte, const std::vector<uint8_t>& bytes)>& visit);
  bool AllocationBelieved();
  ResultCode FindIn(const CHFSPlusJournalRecords& records, uint8_t* (*clone)(const uint8_t*), const BTKey* key,
                    HFSPlusSearchResult& result, uint8_t** record);

  IStorageDevice* m_device;
  uint32_t m_sectorSize = 0;
  uint64_t m_deviceBytes = 0;
  ResultCode m_lastError = 0;
  std::unique_ptr<HFSPlusVolumeHeader> m_header;
  std::unique_ptr<CHFSPlusRawfile> m_extentsFork;
  std::unique_ptr<CHFSPlusExtents> m_extents;
  std::unique_ptr<CHFSPlusRawfile> m_attributesFork;
  std::unique_ptr<CHFSPlusAttribute> m_attributes;
  std::unique_ptr<CHFSPlusRawfile> m_catalogFork;
  std::unique_ptr<CHFSPlusCatalog> m_catalog;
  std::unique_ptr<CHFSPlusJournal> m_journal;
  std::unique_ptr<CHFSPlusRawfile> m_allocationFork;
  int m_allocationBelieved = -1;  // -1 not judged yet
  CHFSPlusJournalRecords m_journalCatalog{CHFSPlusJournalRecords::Kind::kCatalog, hfsplus::kCaseFoldingCompare};
  CHFSPlusJournalRecords m_journalExtents{CHFSPlusJournalRecords::Kind::kExtents, 0};
  CHFSPlusJournalRecords m_journalAttributes{CHFSPlusJournalRecords::Kind::kAttributes, 0};
  ResultCode m_journalResult = 0;
  uint8_t m_keyCompareType = hfsplus::kCaseFoldingCompare;
  // The private-data folder's ID: 0 not looked up yet, UINT32_MAX none.
  uint32_t m_privateFolderID = 0;
};

// Whether the catalog key and its record are the file record of an HFS+
// hard link, and the indirect node it names.
bool IsHardLinkRecord(const HFSPlusCatalogFile& file, uint32_t* linkID);
