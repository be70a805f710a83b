// What the FAT scanner knows about one found file or folder, read from its
// directory entry and the long-name pieces in front of it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

#include "FileProperties.h"
#include "FileTime.h"

struct CFATFilePropertiesStruct {
  std::string name;  // UTF-8
  int64_t size = 0;
  uint16_t attribute = 0;
  _FILETIME creationTime = 0;
  _FILETIME modificationTime = 0;
  _FILETIME lastAccessTime = 0;
  uint8_t state = 0;  // bit 0 deleted, bit 5 size damaged, bit 6 content unsure; 9 for folders made up for lost content
  int64_t firstCluster = 0;
  int64_t parentFirstCluster = 0;
  int64_t metaDataSector = 0;  // first sector of the parent folder's first cluster
  bool erased = false;         // the entry itself was erased (not only shown deleted for its folder's sake)
};

class CFATFileProperties : public IFileProperties {
 public:
  static constexpr uint16_t kStateDeleted = 0x01;
  // The entry's size was more than its clusters hold: the size kept is what
  // they hold.
  static constexpr uint16_t kStateSizeDamaged = 0x20;
  // The file's clusters were worked out past table entries lost in every
  // copy: a copy of them may hold other files' bytes.
  static constexpr uint16_t kStateContentUnsure = 0x40;
  static constexpr uint16_t kDirectory = 0x10;

  static CFATFileProperties* Create();
  static void Destory(CFATFileProperties* properties);
  ~CFATFileProperties() override = default;

  int GetFileNameLength() override { return static_cast<int>(m_s.name.size()); }
  // Null clears the name.
  void SetFileName(const char* name) override;
  const char* GetFileName() override { return m_s.name.c_str(); }
  uint64_t GetFileSize() override { return m_s.size < 0 ? 0 : static_cast<uint64_t>(m_s.size); }
  uint32_t GetAttribute() override { return m_s.attribute; }
  std::string GetRawFileCreateTime() override { return {}; }
  uint64_t GetCreationTime() override { return m_s.creationTime; }
  uint64_t GetModificationTime() override { return m_s.modificationTime; }
  uint64_t GetLastAccessTime() override { return m_s.lastAccessTime; }
  uint16_t GetState() override { return m_s.state; }
  void SetState(uint16_t state) override { m_s.state = static_cast<uint8_t>(state); }
  // FAT runs live in the node: always null.
  IDataRunList* GetDataRunList() override { return nullptr; }
  IFileProperties* Clone() override;

  void SetFileSize(int64_t size) { m_s.size = size; }
  // Keeps `supported` (the bytes the file's runs hold) as the size when the
  // entry's size is larger, and marks the size damaged.
  void KeepSupportedSize(int64_t supported);
  bool IsSizeDamaged() const { return (m_s.state & kStateSizeDamaged) != 0; }
  // Sets or clears the unsure mark for the runs the file has now.
  void SetContentUnsure(bool unsure) {
    m_s.state = static_cast<uint8_t>(unsure ? (m_s.state | kStateContentUnsure) : (m_s.state & ~kStateContentUnsure));
  }
  bool IsContentUnsure() const { return (m_s.state & kStateContentUnsure) != 0; }
  // Whether the directory entry was erased: its chain was freed. An entry
  // that is only shown deleted (its folder is) kept its chain.
  bool IsEntryErased() const { return m_s.erased; }
  void SetEntryErased(bool erased) { m_s.erased = erased; }
  void SetAttribute(uint16_t attribute) { m_s.attribute = attribute; }
  void SetCreationTime(_FILETIME t) { m_s.creationTime = t; }
  void SetModificationTime(_FILETIME t) { m_s.modificationTime = t; }
  void SetLastAccessTime(_FILETIME t) { m_s.lastAccessTime = t; }
  int64_t GetFirstClusterNum() const { return m_s.firstCluster; }
  void SetFirstClusterNum(int64_t cluster) { m_s.firstCluster = cluster; }
  int64_t GetParentFirstClusterNum() const { return m_s.parentFirstCluster; }
  void SetParentFirstClusterNum(int64_t cluster) { m_s.parentFirstCluster = cluster; }
  int64_t GetMetaDataSector() const { return m_s.metaDataSector; }
  void SetMetaDataSector(int64_t sector) { m_s.metaDataSector = sector; }

 private:
  CFATFileProperties() = default;
  CFATFilePropertiesStruct m_s;
};

class CFATFilePropertiesBuilder {
 public:
  // From the long-name pieces of one file followed by its short entry
  // (`length` bytes, a multiple of 32). The long name is used when its
  // pieces belong to the short entry (same checksum; for a live entry the
  // short name's own, with the pieces in order), else the short name. Null
  // when the span holds no short entry.
  static CFATFileProperties* BuildFATFilePropertyFromDirEntryBuffer(const uint8_t* bytes, size_t length);
  // Name, size, attribute, times and deleted state of `entry`; the clusters
  // and metadata sector are left to the caller.
  static CFATFileProperties* BuildFATFilePropertyFromDirEntry(const char* name, const uint8_t* entry);
};
