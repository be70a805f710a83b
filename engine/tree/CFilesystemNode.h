// The root of one searcher's tree, and the "Other lost files" folder that
// holds what never reached it. Only the tree builder makes them.
#pragma once

#include <cstdint>
#include <string>

#include "FileNode.h"

class CFilesystemNode : public CFileNode {
 public:
  CFilesystemNode(_tagSearcherType type, std::string name, std::string volumeName, int64_t nodeID);
  ~CFilesystemNode() override = default;

  const char* GetFileName() override;
  uint64_t GetFileSize() override;          // 0
  uint32_t GetAttribute() override;         // 0
  uint64_t GetCreationTime() override;      // 0
  uint64_t GetModificationTime() override;  // 0
  uint64_t GetLastAccessTime() override;    // 0
  int IsDirectory() override;               // 1
  int IsDeleted() override;                 // 0: a root is never deleted
  _tagSearcherType GetSearcheType() const override;
  const char* GetVolumeName() const override;
  // Same type, name, volume name and node ID; unlinked, nothing else copied.
  IFileNode* Clone() override;
  void MarkDeleted() override;          // nothing
  void FilterFileNameByDot() override;  // nothing

 private:
  _tagSearcherType m_type;
  std::string m_name;
  std::string m_volumeName;
};
