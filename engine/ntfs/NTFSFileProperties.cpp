#include "ntfs/NTFSFileProperties.h"

#include <algorithm>
#include <cstring>
#include <new>

// Every found file keeps one of these.
static_assert(sizeof(CNTFSFileProperties) <= 112, "properties grew");

CNTFSFileProperties* CNTFSFileProperties::Create() { return new CNTFSFileProperties(); }

CNTFSFileProperties* CNTFSFileProperties::Create(const CNTFSFilePropertiesStruct& s, const char* name, size_t length,
                                                 IDataRunList* runs) {
  const size_t tail = name != nullptr && length < 0xFFFF ? length + 1 : 0;
  auto* properties = new (NameRoom{tail}) CNTFSFileProperties();
  properties->m_tail = static_cast<uint16_t>(tail);
  if (name != nullptr) properties->StoreName(name, length);
  properties->m_nameLength = s.nameLength;
  properties->m_size = s.size;
  properties->m_attribute = s.attribute;
  properties->m_creationTime = s.creationTime;
  properties->m_modificationTime = s.modificationTime;
  properties->m_lastAccessTime = s.lastAccessTime;
  properties->m_state = s.state;
  properties->m_fileRecordStartSector = s.fileRecordStartSector;
  properties->m_fileRecordIndex = s.mainFileRecordNumber;
  if (runs != nullptr) properties->m_dataRuns.Pack(runs);
  return properties;
}

void CNTFSFileProperties::Destory(CNTFSFileProperties* properties) { delete properties; }

CNTFSFileProperties::~CNTFSFileProperties() { FreeName(); }

CNTFSFileProperties::CNTFSFileProperties(const CNTFSFileProperties& other)
    : IFileProperties(other),
      m_size(other.m_size),
      m_creationTime(other.m_creationTime),
      m_modificationTime(other.m_modificationTime),
      m_lastAccessTime(other.m_lastAccessTime),
      m_fileRecordStartSector(other.m_fileRecordStartSector),
      m_fileRecordIndex(other.m_fileRecordIndex),
      m_storedBytes(other.m_storedBytes),
      m_dataRuns(other.m_dataRuns),
      m_nameLength(other.m_nameLength),
      m_attribute(other.m_attribute),
      m_state(other.m_state),
      m_sizeDamaged(other.m_sizeDamaged),
      m_contentUnsure(other.m_contentUnsure) {
  if (other.m_extensions != nullptr) m_extensions = std::make_unique<CExtendFileRecordInfoList>(*other.m_extensions);
}

void CNTFSFileProperties::FreeName() {
  if (m_name != nullptr && m_name != Tail()) delete[] m_name;
  m_name = nullptr;
}

void CNTFSFileProperties::StoreName(const char* name, size_t length) {
  char* at = length < m_tail ? Tail() : new char[length + 1];
  // The name may be the one kept here (a shortened one is moved down).
  std::memmove(at, name, length);
  at[length] = '\0';
  if (m_name != at) FreeName();
  m_name = at;
}

void CNTFSFileProperties::Init(const CNTFSFilePropertiesStruct& s) {
  FreeName();
  m_name = s.name;
  m_nameLength = s.nameLength;
  m_size = s.size;
  m_attribute = s.attribute;
  m_creationTime = s.creationTime;
  m_modificationTime = s.modificationTime;
  m_lastAccessTime = s.lastAccessTime;
  m_state = s.state;
  m_fileRecordStartSector = s.fileRecordStartSector;
  if (s.dataRuns != nullptr) {
    m_dataRuns = *s.dataRuns;
    delete s.dataRuns;
  } else {
    m_dataRuns = CCompressedDataRunList();
  }
  m_fileRecordIndex = s.mainFileRecordNumber;
}

void CNTFSFileProperties::SetFileName(const char* name) {
  if (name == nullptr) return;
  const size_t n = std::strlen(name);
  StoreName(name, n);
  m_nameLength = static_cast<uint16_t>(std::min<size_t>(n + 1, 0xFFFF));
}

IDataRunList* CNTFSFileProperties::GetDataRunList() { return m_dataRuns.Decompress(); }

IFileProperties* CNTFSFileProperties::Clone() {
  const size_t length = m_name != nullptr ? std::strlen(m_name) : 0;
  const size_t tail = m_name != nullptr && length < 0xFFFF ? length + 1 : 0;
  auto* copy = new (NameRoom{tail}) CNTFSFileProperties(*this);
  copy->m_tail = static_cast<uint16_t>(tail);
  if (m_name != nullptr) copy->StoreName(m_name, length);
  return copy;
}

void CNTFSFileProperties::SetDataRunList(IDataRunList* list) {
  if (list == nullptr) return;
  m_dataRuns.Pack(list);
}
