// The folder trees of the partitions a complete scan found. When the block
// pass ends, every surviving candidate gets back the FILE records the pass
// saw inside it: they are read again from the device (only the sectors known
// to hold records), turned into CNTFSFileNode objects and handed to the
// directory-tree builder with the candidate's partition index. Node IDs are
// MFT numbers: a record's number comes from its place in the runs of the
// $MFT that holds it (or from its own header), its parent's from its name.
//
// The tree builder links nodes of all partitions by their IDs in one tree, so
// IDs carry the partition index above the 48 bits of the MFT number (the
// first partition's are plain MFT numbers); every partition's root folder is
// the tree's root (5), under which each partition's top folders and files
// appear.
//
// Sizes and runs are judged against the partition's size as the quick scan
// judges them, and a deleted file whose runs reach clusters that the
// partition's $Bitmap gives to others is marked content-unsure, as there; so
// is one whose runs overlap another deleted file's of the partition and that
// is not clearly the newer of the two.
//
// Every record that makes a node reaches the tree builder with its own
// parent ID, also when its folder is gone (the builder puts those under
// "Other lost files"); a node the builder refuses is released here.
#pragma once

#include <cstdint>
#include <memory>
#include <vector>

#include "ntfs/NTFSSearchInfo.h"

class CFindFileFromLogFile;
class CNTFSClusterBitmap;
class CNTFSFileRecord;
class CSearchedNTFSPartitionInfo;
class IDirecotryTreeBuilder;
class IStorageDevice;

// What the block pass hands over: every $MFT record found and the runs of
// ordinary FILE records (neither owned).
struct CNTFSIntelligentSearchInfo {
  const std::vector<std::unique_ptr<CMFTInfo>>* mfts = nullptr;
  const std::vector<CCommonFileRecordPositionInfo>* positions = nullptr;
};

class CNTFSDirectoryTreeBuilder {
 public:
  // The most sectors read at once.
  static constexpr int64_t BLOCK_MAX_TOTAL_SECTORS = 128;
  static constexpr int kPartitionShift = 48;
  static constexpr int kMaxPartitionIndex = 0x7FFF;

  // What one partition's build did, for tests.
  struct Counters {
    int64_t recordsRead = 0;     // valid base records read back
    int64_t nodesMade = 0;       // handed to the tree builder
    int64_t nodesRefused = 0;    // of those, refused and released
    int64_t orphans = 0;         // records in none of the partition's $MFTs
    int64_t logFileQueries = 0;  // deleted files of size 0 offered to a log finder
    int64_t clustersTaken = 0;   // deleted files whose clusters $Bitmap gives to others
    int64_t overwritten = 0;     // deleted files another deleted file's runs overlap, not clearly the newer
    bool bitmap = false;         // the partition's $Bitmap was read and believed
  };

  CNTFSDirectoryTreeBuilder(IStorageDevice* device, uint32_t sectorSize);
  ~CNTFSDirectoryTreeBuilder();
  CNTFSDirectoryTreeBuilder(const CNTFSDirectoryTreeBuilder&) = delete;
  CNTFSDirectoryTreeBuilder& operator=(const CNTFSDirectoryTreeBuilder&) = delete;

  // Hands the files of `partition` (partition index `index`) to `builder`.
  // Nothing happens for a partition without sectors per cluster or size.
  void BuildDirectoryTree(const CNTFSIntelligentSearchInfo& info, const CSearchedNTFSPartitionInfo& partition,
                          int index, IDirecotryTreeBuilder* builder);

  // The MFT number of the record at `sector` of a volume starting at `start`
  // whose table has `runs`: -1 when no run maps the sector's cluster or the
  // sector is not a record's first one.
  static int64_t GetMFTNumber(int64_t sector, const CNTFSDataRunList& runs, int64_t start, uint32_t sectorsPerCluster,
                              uint32_t sectorsPerRecord);

  const Counters& GetCounters() const { return m_counters; }

 private:
  struct CMFTDirectoryTreeBuildInfo;
  struct Record;

  void OrganizeMatchedMFTInfo(const CNTFSIntelligentSearchInfo& info);
  void ReadFileProperties(const std::vector<CCommonFileRecordPositionInfo>& positions);
  // Records of `sectorsPerRecord` sectors each, `sectors` in all.
  void ReadFilePropertiesfromBlock(int64_t first, int64_t sectors, int64_t sectorsPerRecord);
  void BuildCommonFileRecordInfo(uint8_t* bytes, int64_t sector, int64_t sectorsPerRecord);
  // Marks unsure the deleted files of the partition's records that another
  // deleted file overwrote, or may have (CNTFSDeletedClaims).
  void JudgeDeletedClaims();
  void HandOver(std::vector<Record>& records);
  // The node ID of MFT number `number` in this partition; -1 for none.
  int64_t NodeID(int64_t number) const;

  IStorageDevice* m_device;  // not owned
  uint32_t m_sectorSize;
  int64_t m_start = 0;
  int64_t m_end = 0;
  uint32_t m_sectorsPerCluster = 0;
  uint16_t m_index = 0;
  IDirecotryTreeBuilder* m_builder = nullptr;
  uint64_t m_volumeBytes = 0;  // what the boot sector gives; 0 unknown
  std::unique_ptr<CNTFSClusterBitmap> m_bitmap;
  std::vector<std::unique_ptr<CMFTDirectoryTreeBuildInfo>> m_selected;
  std::vector<Record> m_orphans;
  std::vector<uint8_t> m_block;
  Counters m_counters;
};
