// A file or folder of an HFS+ catalog as the tree builder sees it: named in
// NFC UTF-8 (the catalog keeps names decomposed, with '/' where the user
// typed ':'), sized and mapped by its data fork, hard links by the file they
// link to.
#pragma once

#include <cstdint>
#include <string>

#include "DataRunList.h"
#include "FileNode.h"
#include "hfsplus/HFSPlusFormat.h"

class CHFSPlusVolume;

class CHFSPlusFileNode final : public CFileNode {
 public:
  // Quick scan: a live (deleted 0) or journal (deleted 1) record.
  CHFSPlusFileNode(CHFSPlusVolume* volume, const BTKey* key, const HFSPlusCatalogRecord* record, int deleted);
  // Complete scan: a record found in a catalog node at `metadataSector`.
  CHFSPlusFileNode(CHFSPlusVolume* volume, int64_t metadataSector, uint16_t partitionIndex, const BTKey* key,
                   const HFSPlusCatalogRecord* record);
  ~CHFSPlusFileNode() override = default;

  const char* GetFileName() override { return m_name.c_str(); }
  uint64_t GetFileSize() override { return static_cast<uint64_t>(m_size); }
  uint32_t GetAttribute() override { return m_attribute; }
  uint64_t GetCreationTime() override { return hfsplus::HFSTimeToFileTime(m_creationTime); }
  uint64_t GetModificationTime() override { return hfsplus::HFSTimeToFileTime(m_modificationTime); }
  uint64_t GetLastAccessTime() override { return hfsplus::HFSTimeToFileTime(m_accessTime); }
  int IsDirectory() override { return (m_flags & kDirectory) != 0; }
  int IsDeleted() override { return (m_flags & kDeleted) != 0; }
  // A new, unlinked node with the same data (the caller owns it).
  IFileNode* Clone() override;
  void MarkDeleted() override { m_flags |= kDeleted; }
  // The decompressing reader of a compressed file, on the node's own volume
  // (the private data is not needed); null when the file cannot be decoded.
  IFileReader* CreateCompressFileReader(void* privateData) override;
  int IsCompressed() const override { return (m_flags & kCompressed) != 0; }
  void FilterFileNameByDot() override { m_name = CFileNode::FilterFileNameByDot(m_name); }
  void UpdateFileSize(int64_t size) override { m_size = size; }
  // Compressed files: the size their decmpfs header gives.
  void UpdateNodeInfo() override;

  // A deleted file whose runs reach blocks its volume's allocation file
  // marks in use now: those hold another file's bytes (or the volume's), so
  // its copy is kept for the user to judge and reported incomplete. A hard
  // link reads the live file it links to, which the volume vouches for.
  void JudgeDeletedContent();

  CHFSPlusVolume* GetVolume() const { return m_volume; }
  // The catalog node ID of the file whose forks this node reads (the
  // indirect node for a hard link, otherwise its own).
  uint32_t GetContentFileID() const { return m_contentFileID; }
  bool IsHardLink() const { return m_hardLink; }
  // A compressed file's resource fork length (its runs hold the fork; the
  // file's size is the decompressed one).
  uint64_t GetResourceForkSize() const { return m_forkSize; }

 private:
  enum : uint8_t { kDeleted = 1, kDirectory = 2, kCompressed = 4 };
  CHFSPlusFileNode(const CHFSPlusFileNode& other) = default;
  void CreateFileNode(const BTKey* key, const HFSPlusCatalogRecord* record, int64_t metadataSector,
                      uint16_t partitionIndex);
  // The bytes the runs of `list` hold inside the volume.
  uint64_t HeldBytes(IDataRunList* list) const;

  CHFSPlusVolume* m_volume;
  std::string m_name;
  int64_t m_size = 0;
  uint32_t m_creationTime = 0;
  uint32_t m_modificationTime = 0;
  uint32_t m_accessTime = 0;
  uint16_t m_attribute = 0;
  uint8_t m_flags = 0;
  uint32_t m_contentFileID = 0;
  bool m_hardLink = false;
  uint64_t m_forkSize = 0;
};

// The runs of `fork` in allocation blocks, overflow records included; a
// missing overflow record ends the list where it is. `fileID` and `forkType`
// name the fork for the overflow look-ups.
IDataRunList* BuildFileDataRun(CHFSPlusVolume* volume, const HFSPlusForkData& fork, uint32_t fileID,
                               uint8_t forkType = hfsplus::kDataForkType);

// A catalog name in host-order UTF-16 as shown: leading NULs dropped, '/'
// shown as ':', composed to NFC, as UTF-8. Linux shows and writes names
// composed, and '/' cannot stand in a file name there; the macOS Finder shows
// a name typed with ':' the same way. Every place that names an HFS+ node
// goes through this one rule: the scans, the tree builder's name tests (it
// leaves the private-data folder's name as the builder looks for it) and the
// replay of a saved scan, so that a saved tree finds the same names.
std::string HFSPlusNameToUtf8(const uint16_t* units, uint32_t length);
