#include "ntfs/NTFSFileProperties.h"

#include <cstring>

CNTFSFileProperties* CNTFSFileProperties::Create() { return new CNTFSFileProperties(); }

void CNTFSFileProperties::Destory(CNTFSFileProperties* properties) { delete properties; }

CNTFSFileProperties::CNTFSFileProperties(const CNTFSFileProperties& other)
    : IFileProperties(other),
      m_nameLength(other.m_nameLength),
      m_size(other.m_size),
      m_attribute(other.m_attribute),
      m_creationTime(other.m_creationTime),
      m_modificationTime(other.m_modificationTime),
      m_lastAccessTime(other.m_lastAccessTime),
      m_state(other.m_state),
      m_fileRecordStartSector(other.m_fileRecordStartSector),
      m_fileRecordIndex(other.m_fileRecordIndex),
      m_storedBytes(other.m_storedBytes),
      m_sizeDamaged(other.m_sizeDamaged) {
  if (other.m_name != nullptr) {
    const size_t n = std::strlen(other.m_name.get()) + 1;
    m_name.reset(new char[n]);
    std::memcpy(m_name.get(), other.m_name.get(), n);
  }
  if (other.m_dataRuns != nullptr) m_dataRuns.reset(other.m_dataRuns->Clone());
  if (other.m_extensions != nullptr) m_extensions = std::make_unique<CExtendFileRecordInfoList>(*other.m_extensions);
}

void CNTFSFileProperties::Init(const CNTFSFilePropertiesStruct& s) {
  m_name.reset(s.name);
  m_nameLength = s.nameLength;
  m_size = s.size;
  m_attribute = s.attribute;
  m_creationTime = s.creationTime;
  m_modificationTime = s.modificationTime;
  m_lastAccessTime = s.lastAccessTime;
  m_state = s.state;
  m_fileRecordStartSector = s.fileRecordStartSector;
  m_dataRuns.reset(s.dataRuns);
  m_fileRecordIndex = s.mainFileRecordNumber;
}

void CNTFSFileProperties::SetFileName(const char* name) {
  if (name == nullptr) return;
  const size_t n = std::strlen(name) + 1;
  std::unique_ptr<char[]> copy(new char[n]);
  std::memcpy(copy.get(), name, n);
  m_name = std::move(copy);
  m_nameLength = static_cast<uint16_t>(n > 0xFFFF ? 0xFFFF : n);
}

IDataRunList* CNTFSFileProperties::GetDataRunList() {
  return m_dataRuns == nullptr ? nullptr : m_dataRuns->Decompress();
}

IFileProperties* CNTFSFileProperties::Clone() { return new CNTFSFileProperties(*this); }

void CNTFSFileProperties::SetDataRunList(IDataRunList* list) {
  if (list == nullptr) return;
  m_dataRuns.reset(CCompressedDataRunList::Compress(list));
}
