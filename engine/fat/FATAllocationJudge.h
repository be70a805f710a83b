// A FAT16 or FAT32 volume as it is now, for the files an earlier scan of it
// found (AllocationJudge.h). The table is read as the scan reads it (either
// copy, entry by entry; what neither copy holds says nothing). A file's
// clusters are in use when the table gives one of them to a file, when no
// copy holds the entry of one (a sector written over, or one the medium
// could not give), or when they now lie in the volume's own reserved
// sectors, tables or fixed root.
// Such a file is still its own only when its folder (the parent the node's
// metadata sector names: the root for sector 0) holds a live entry that
// still describes it (its first cluster and size, and its name or both its
// times) and the chain from that first cluster is the file's runs, cluster
// for cluster: a newer file written over a deleted one starts where it
// started but is another entry, and a file rewritten in place has another
// chain.
//
// Where a file must be described by its own entry (SetOwnEntryRequired),
// free clusters keep it only while its folder holds an entry, live or
// erased, that still describes it, its times too: a live file deleted since
// the scan still is, a file of another volume formatted since (the same name,
// size and first cluster, written another day) is not.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <unordered_map>
#include <utility>
#include <vector>

#include "AllocationJudge.h"
#include "fat/FATVolumeView.h"

class CSearchedPartitionInfo;
class IFATTable;
class IStorageDevice;

class CFATAllocationJudge final : public IAllocationJudge {
 public:
  // The volume `record` places on `device` (the device its runs count on),
  // from its boot sector (or FAT32's copy); null when there is no FAT16 or
  // FAT32 volume there, or its table cannot be read at all.
  static std::unique_ptr<CFATAllocationJudge> Open(IStorageDevice* device, const CSearchedPartitionInfo& record);
  ~CFATAllocationJudge() override;
  CFATAllocationJudge(const CFATAllocationJudge&) = delete;
  CFATAllocationJudge& operator=(const CFATAllocationJudge&) = delete;

  bool IsTaken(CFileNode& node) override;
  bool ForEachGiven(uint64_t begin, uint64_t end, const GivenPiece& given) override;

  // Folders are read along their chain up to the format's 65,536 entries.
  static constexpr uint64_t kMaxFolderBytes = 65536 * 32;
  // Folders whose entries are kept at a time.
  static constexpr size_t kMaxFoldersKept = 64;

 private:
  CFATAllocationJudge() = default;

  // One entry of a folder, live or erased.
  struct Entry {
    uint32_t first = 0;
    uint64_t size = 0;
    uint64_t creation = 0, modification = 0;
    std::string name;
    bool live = true;
  };
  // The entries of the folder starting at `cluster` (0: the root).
  const std::vector<Entry>& Folder(uint32_t cluster);
  // Appends volume bytes [offset, offset + bytes) to `out`, and to `lost`
  // the ranges of `out` on sectors the medium could not give.
  bool ReadVolume(uint64_t offset, uint64_t bytes, std::vector<uint8_t>& out,
                  std::vector<std::pair<size_t, size_t>>& lost);
  void ParseEntries(const std::vector<uint8_t>& bytes, const std::vector<std::pair<size_t, size_t>>& lost,
                    std::vector<Entry>& out) const;
  // Whether the node's folder holds an entry (a live one, unless `erased`
  // ones do too) that still describes it, starting at `first`.
  bool StillDescribes(CFileNode& node, uint32_t first, bool erased = false);

  CFATVolumeView m_view;
  IFATTable* m_table = nullptr;
  RecordPlace m_record;
  // The volume now, in bytes from its start.
  uint32_t m_sectorSize = 512;
  uint64_t m_clusterBytes = 0;
  uint64_t m_dataStart = 0;
  uint64_t m_clusterCount = 0;
  int m_type = 0;
  uint32_t m_rootCluster = 0;
  uint64_t m_rootStart = 0, m_rootBytes = 0;
  std::unordered_map<uint32_t, std::vector<Entry>> m_folders;
};

std::unique_ptr<IAllocationJudge> CreateFATAllocationJudge(IStorageDevice* device,
                                                           const CSearchedPartitionInfo& record);
