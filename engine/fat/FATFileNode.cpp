#include "fat/FATFileNode.h"

#include <cstdio>
#include <new>
#include <string>

#include "base/Utility.h"
#include "fat/FATFileProperties.h"

CFATFileNode::CFATFileNode(const CFATFileNode& other) : CFileNode(other) {}

CFATFileNode::~CFATFileNode() { CFATFileProperties::Destory(m_properties); }

const char* CFATFileNode::GetFileName() { return m_properties != nullptr ? m_properties->GetFileName() : nullptr; }
uint64_t CFATFileNode::GetFileSize() { return m_properties != nullptr ? m_properties->GetFileSize() : 0; }
uint32_t CFATFileNode::GetAttribute() { return m_properties != nullptr ? m_properties->GetAttribute() & 0xFFFF : 0; }
uint64_t CFATFileNode::GetCreationTime() { return m_properties != nullptr ? m_properties->GetCreationTime() : 0; }
uint64_t CFATFileNode::GetModificationTime() {
  return m_properties != nullptr ? m_properties->GetModificationTime() : 0;
}
uint64_t CFATFileNode::GetLastAccessTime() { return m_properties != nullptr ? m_properties->GetLastAccessTime() : 0; }
int CFATFileNode::IsDirectory() { return (GetAttribute() & CFATFileProperties::kDirectory) != 0 ? 1 : 0; }
int CFATFileNode::IsDeleted() {
  return m_properties != nullptr && (m_properties->GetState() & CFATFileProperties::kStateDeleted) != 0 ? 1 : 0;
}

IFileNode* CFATFileNode::Clone() {
  auto* copy = new (std::nothrow) CFATFileNode(*this);
  if (copy == nullptr || m_properties == nullptr) return copy;
  copy->m_properties = static_cast<CFATFileProperties*>(m_properties->Clone());
  if (copy->m_properties == nullptr) {
    copy->Release();
    return nullptr;
  }
  return copy;
}

void CFATFileNode::MarkDeleted() {
  if (m_properties != nullptr) m_properties->SetState(m_properties->GetState() | CFATFileProperties::kStateDeleted);
}

void CFATFileNode::FilterFileNameByDot() {
  if (m_properties == nullptr) return;
  const std::string filtered = CFileNode::FilterFileNameByDot(std::string(m_properties->GetFileName()));
  m_properties->SetFileName(filtered.c_str());
}

void CFATFileNode::SetFileProperties(CFATFileProperties* properties) {
  if (properties != m_properties) CFATFileProperties::Destory(m_properties);
  m_properties = properties;
  if (properties == nullptr) return;
  SetCurrentNodeID(properties->GetFirstClusterNum());
  SetParentNodeID(properties->GetParentFirstClusterNum());
  SetMetaDataSector(properties->GetMetaDataSector());
  SetSizeDamaged(properties->IsSizeDamaged());
  SetContentUnsure(properties->IsContentUnsure());
  // One line per node: written only when node traces are asked for.
  if (IsNodeTraceOn()) {
    const char* name = properties->GetFileName();
    std::printf("=====%s====== Current:%llx Parent:%llx\n", name != nullptr ? name : "",
                static_cast<unsigned long long>(GetCurrentNodeID()),
                static_cast<unsigned long long>(GetParentNodeID()));
  }
}
