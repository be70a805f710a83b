// The node of every file or folder the NTFS searches find. Its name, size,
// attribute, times and state live in its CNTFSFileProperties.
//
// Ownership: the node owns its properties and frees them with itself (a node
// given new properties frees the old ones). The search record attached with
// SetPrivateDataofSpecifiedFileSystem stays its owner's.
#pragma once

#include <cstdint>

#include "FileNode.h"

class IFileProperties;
class CCommonFileRecordInfo;

class CNTFSFileNode : public CFileNode {
 public:
  CNTFSFileNode() = default;
  ~CNTFSFileNode() override;

  const char* GetFileName() override;
  uint64_t GetFileSize() override;
  uint32_t GetAttribute() override;
  uint64_t GetCreationTime() override;
  uint64_t GetModificationTime() override;
  uint64_t GetLastAccessTime() override;
  int IsDirectory() override;                        // attribute bit 0x10
  int IsDeleted() override;                          // state bit 0
  _tagSearcherType GetSearcheType() const override;  // SEARCHER_TYPE_NTFS
  // An unlinked copy with its own properties and run list.
  IFileNode* Clone() override;
  void MarkDeleted() override;  // sets state bit 0
  // A new NTFS compressed-data reader (null when memory is short); the caller
  // opens and owns it.
  IFileReader* CreateCompressFileReader(void* privateData) override;
  int IsCompressed() const override;  // attribute bit 0x0800
  // Strips leading blanks and dots from the name kept in the properties.
  void FilterFileNameByDot() override;
  // The size the properties give, after a merge took another version's
  // runs (copy-out reads this many bytes of them).
  void UpdateFileSize(int64_t size) override;

  // Takes ownership of `properties` (null allowed), then sets node ID 0 and
  // parent ID 5 (callers set the real IDs afterwards), the metadata sector to
  // the FILE record's sector, and the node's run list to a fresh one from the
  // properties (unpacked when first asked for).
  void SetFileProperties(IFileProperties* properties);
  IFileProperties* GetFileProperties() const { return m_properties; }
  void SetPrivateDataofSpecifiedFileSystem(CCommonFileRecordInfo* info) { m_info = info; }
  CCommonFileRecordInfo* GetPrivateDataofSpecifiedFileSystem() const { return m_info; }
  // The FILE record's device sector in full 64 bits (the node's packed
  // metadata sector keeps 40 of them); setting it sets both. The full value
  // is the one the properties keep (the node has no room of its own for it).
  void SetMetadataStartPosition(int64_t sector);
  int64_t GetMetadataStartPosition() const;

 protected:
  // The runs the properties keep packed, unpacked.
  IDataRunList* MakeDataRunList() override;

 private:
  CNTFSFileNode(const CNTFSFileNode& other);

  IFileProperties* m_properties = nullptr;
  CCommonFileRecordInfo* m_info = nullptr;
};
