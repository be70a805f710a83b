#include "ntfs/NTFSFileNode.h"

#include <new>
#include <string>

#include "copyout/CCompressFileReader.h"
#include "ntfs/NTFSFileProperties.h"

// Every file an NTFS scan finds keeps one (a 112-byte block of the heap).
static_assert(sizeof(CNTFSFileNode) <= 104, "the NTFS node grew");

CNTFSFileNode::CNTFSFileNode(const CNTFSFileNode& other)
    : CFileNode(other),
      m_properties(other.m_properties != nullptr ? other.m_properties->Clone() : nullptr),
      m_info(other.m_info) {}

CNTFSFileNode::~CNTFSFileNode() { delete m_properties; }

const char* CNTFSFileNode::GetFileName() { return m_properties != nullptr ? m_properties->GetFileName() : nullptr; }
uint64_t CNTFSFileNode::GetFileSize() { return m_properties != nullptr ? m_properties->GetFileSize() : 0; }
uint32_t CNTFSFileNode::GetAttribute() { return m_properties != nullptr ? m_properties->GetAttribute() : 0; }
uint64_t CNTFSFileNode::GetCreationTime() { return m_properties != nullptr ? m_properties->GetCreationTime() : 0; }
uint64_t CNTFSFileNode::GetModificationTime() {
  return m_properties != nullptr ? m_properties->GetModificationTime() : 0;
}
uint64_t CNTFSFileNode::GetLastAccessTime() { return m_properties != nullptr ? m_properties->GetLastAccessTime() : 0; }
int CNTFSFileNode::IsDirectory() { return (GetAttribute() & CNTFSFileProperties::kDirectory) != 0 ? 1 : 0; }
int CNTFSFileNode::IsDeleted() {
  return m_properties != nullptr && (m_properties->GetState() & CNTFSFileProperties::kStateDeleted) != 0 ? 1 : 0;
}
_tagSearcherType CNTFSFileNode::GetSearcheType() const { return SEARCHER_TYPE_NTFS; }

IFileNode* CNTFSFileNode::Clone() { return new (std::nothrow) CNTFSFileNode(*this); }

void CNTFSFileNode::MarkDeleted() {
  if (m_properties != nullptr) m_properties->SetState(m_properties->GetState() | CNTFSFileProperties::kStateDeleted);
}

IFileReader* CNTFSFileNode::CreateCompressFileReader(void*) { return new (std::nothrow) CCompressFileReader(); }

int CNTFSFileNode::IsCompressed() const {
  return m_properties != nullptr && (m_properties->GetAttribute() & CNTFSFileProperties::kCompressed) != 0 ? 1 : 0;
}

void CNTFSFileNode::FilterFileNameByDot() {
  const char* name = GetFileName();
  if (name == nullptr) return;
  const std::string filtered = CFileNode::FilterFileNameByDot(std::string(name));
  m_properties->SetFileName(filtered.c_str());
}

void CNTFSFileNode::UpdateFileSize(int64_t size) {
  auto* ntfs = dynamic_cast<CNTFSFileProperties*>(m_properties);
  if (ntfs != nullptr && size >= 0) ntfs->SetFileSize(size);
}

void CNTFSFileNode::SetFileProperties(IFileProperties* properties) {
  if (properties != m_properties) delete m_properties;
  m_properties = properties;
  SetCurrentNodeID(0);
  SetParentNodeID(5);
  if (auto* ntfs = dynamic_cast<CNTFSFileProperties*>(properties)) {
    SetMetadataStartPosition(ntfs->GetFileRecordStartSector());
    SetStoredSize(ntfs->GetStoredBytes() >= 0 ? static_cast<uint64_t>(ntfs->GetStoredBytes()) : UINT64_MAX);
    SetSizeDamaged(ntfs->IsSizeDamaged());
    if (ntfs->IsContentUnsure()) SetContentUnsure(true);
  }
  // The properties keep the runs packed; the node's list is unpacked from
  // them when it is first asked for.
  if (properties != nullptr) {
    SetDataRunListOnDemand();
  } else {
    SetDataRunList(nullptr);
  }
}

IDataRunList* CNTFSFileNode::MakeDataRunList() {
  return m_properties != nullptr ? m_properties->GetDataRunList() : nullptr;
}

void CNTFSFileNode::SetMetadataStartPosition(int64_t sector) {
  SetMetaDataSector(sector);
  if (auto* ntfs = dynamic_cast<CNTFSFileProperties*>(m_properties)) ntfs->SetFileRecordStartSector(sector);
}

int64_t CNTFSFileNode::GetMetadataStartPosition() const {
  if (const auto* ntfs = dynamic_cast<const CNTFSFileProperties*>(m_properties)) {
    return ntfs->GetFileRecordStartSector();
  }
  return CFileNode::GetMetadataStartPosition();
}
