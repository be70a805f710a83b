// Deleting a FAT32 entry may wipe the high 16 bits of its first cluster, so a
// deleted file recorded at cluster 65536 or below may really start 65536 x k
// clusters further on. When the recorded cluster's first sector does not look
// like the start of a known file, the lost high word is estimated from the
// deleted file created closest before it (the 64 Ki-cluster block in which
// that neighbour ends) and the file moves there.
//
// A file moves only when the table gives its recorded cluster to a file now
// (it cannot start there); one whose recorded cluster is free stays there,
// and is not vouched for when the estimate is free too. Only erased entries
// are revised: one that is not erased kept its high word, whatever its
// folder.
//
// Only analysers a sector's first four bytes route to are asked: analysers
// without a fixed signature accept nearly any sector and would keep every
// file where it was recorded.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "fat/FATBuildWorker.h"

class CFATFileNode;
class IDirecotryTreeBuilder;
class IFATTable;
class IStorageDevice;
class CSearchedPartitionInfo;

// "bRevise" of section "UserExperience" in "UIConfig.ini" of `folder` (the
// working folder when empty): on unless the value is exactly "0".
bool IsFAT32RevisionOn(const std::string& folder = {});

// Whether a sector (at least `sectorSize` bytes, readable 16 bytes further)
// begins a file of a known type.
using SectorStartsFile = std::function<bool(uint8_t* sector, uint32_t sectorSize)>;
// The signature analysers by key, then the executable-image test.
bool SectorStartsKnownFile(uint8_t* sector, uint32_t sectorSize);
// Bytes 0x4D 0x5A, a 32-bit header offset h at 60, and 0x50 0x45 at h, with
// h + 3 inside the n bytes.
bool bExecutableImageFile(const uint8_t* bytes, uint64_t n);

class CFATFirstCluReviser {
 public:
  CFATFirstCluReviser(IDirecotryTreeBuilder* builder, CSearchedPartitionInfo* record, IStorageDevice* device,
                      const FATGeometry& geometry, IFATTable* table,
                      SectorStartsFile startsFile = SectorStartsKnownFile);

  // The hook of CFATBuildChildren: takes `files` (deleted files held back),
  // revises them and hands every one of them to the builder. `folders` stay
  // with the caller; their clusters are only compared.
  //
  // `folders` holds the deleted folders only, on purpose: a deleted file
  // recorded on a live folder's cluster cannot start there (the folder holds
  // it now), so it is revised like any file whose recorded cluster starts
  // nothing known, rather than kept on the folder's entries as a collision
  // would keep it.
  void ReviseFAT32FileFirstClu(std::vector<CFATFileNode*>& folders, std::vector<CFATFileNode*>& files);
  // True when cluster `c` needs no revision: above 65536, unreadable, or its
  // first sector starts a known file.
  bool bReviseFAT32FileFirstClu(int64_t c);
  // The estimated first cluster of a file of `size` recorded at `first`,
  // created at `creation`; `first` when nothing better is known.
  int64_t GetFAT32LostFirstCluNum(const std::vector<CFATFileNode*>& references, int64_t size, int64_t first,
                                  uint64_t creation) const;

 private:
  void HandOver(CFATFileNode* node);

  IDirecotryTreeBuilder* m_builder;
  CSearchedPartitionInfo* m_record;
  IStorageDevice* m_device;
  FATGeometry m_g;
  IFATTable* m_table;
  SectorStartsFile m_startsFile;
  uint32_t m_sectorSize;
  std::vector<uint8_t> m_sector;
};
