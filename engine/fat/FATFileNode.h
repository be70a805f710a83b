// The node of every file or folder the FAT searches find; its data lives in
// its CFATFileProperties, its node ID is its first cluster (empty files get
// virtual numbers from 2^32) and its parent ID the parent folder's.
#pragma once

#include <cstdint>

#include "FileNode.h"

class CFATFileProperties;

class CFATFileNode : public CFileNode {
 public:
  CFATFileNode() = default;
  ~CFATFileNode() override;

  const char* GetFileName() override;
  uint64_t GetFileSize() override;
  uint32_t GetAttribute() override;
  uint64_t GetCreationTime() override;
  uint64_t GetModificationTime() override;
  uint64_t GetLastAccessTime() override;
  int IsDirectory() override;  // attribute bit 0x10
  int IsDeleted() override;    // state bit 0
  _tagSearcherType GetSearcheType() const override { return SEARCHER_TYPE_FAT; }
  // An unlinked copy with its own properties and run list; null when the
  // properties cannot be copied.
  IFileNode* Clone() override;
  void MarkDeleted() override;
  void FilterFileNameByDot() override;

  // Takes ownership of `properties`; node ID, parent ID, metadata sector and
  // the damaged-size mark come from them.
  void SetFileProperties(CFATFileProperties* properties);
  CFATFileProperties* GetFileProperties() const { return m_properties; }
  void DelDataRunList() { SetDataRunList(nullptr); }

 private:
  CFATFileNode(const CFATFileNode& other);

  CFATFileProperties* m_properties = nullptr;
};
