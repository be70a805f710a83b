#include "tree/CFilesystemNode.h"

#include <utility>

CFilesystemNode::CFilesystemNode(_tagSearcherType type, std::string name, std::string volumeName, int64_t nodeID)
    : m_type(type), m_name(std::move(name)), m_volumeName(std::move(volumeName)) {
  SetCurrentNodeID(nodeID);
}

const char* CFilesystemNode::GetFileName() { return m_name.c_str(); }
uint64_t CFilesystemNode::GetFileSize() { return 0; }
uint32_t CFilesystemNode::GetAttribute() { return 0; }
uint64_t CFilesystemNode::GetCreationTime() { return 0; }
uint64_t CFilesystemNode::GetModificationTime() { return 0; }
uint64_t CFilesystemNode::GetLastAccessTime() { return 0; }
int CFilesystemNode::IsDirectory() { return 1; }
int CFilesystemNode::IsDeleted() { return 0; }
_tagSearcherType CFilesystemNode::GetSearcheType() const { return m_type; }
const char* CFilesystemNode::GetVolumeName() const { return m_volumeName.c_str(); }

IFileNode* CFilesystemNode::Clone() { return new CFilesystemNode(m_type, m_name, m_volumeName, GetCurrentNodeID()); }

void CFilesystemNode::MarkDeleted() {}
void CFilesystemNode::FilterFileNameByDot() {}
