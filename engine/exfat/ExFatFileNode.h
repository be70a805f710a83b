// The node of every file or folder the exFAT scans find, and the conversion
// of exFAT timestamps.
#pragma once

#include <cstdint>
#include <string>

#include "FileNode.h"
#include "FileTime.h"

// An exFAT timestamp (date in the high half, time in the low half, seconds
// counted in pairs), its 10 ms increment (0-199, 0 where the entry has none)
// and its UTC-offset byte. With the offset's valid bit (0x80) set, the
// fields are the local time of a zone that many quarter hours east of UTC
// and convert exactly; without it they are taken as this machine's local
// time. A timestamp of 0 (never set) gives 0, and so does one with an
// impossible field (hour 24 or more, month 13, February 30th...).
_FILETIME DosTime2FileTime(uint32_t stamp, uint8_t tenMs, uint8_t utcOffset);

class CExFatFileNode : public CFileNode {
 public:
  // Attribute word: the low 16 bits are the entry's FileAttributes.
  static constexpr uint32_t kDirectory = 0x10;
  // A deleted file whose chain is no longer in the table: its clusters are
  // taken to follow each other, which they may not.
  static constexpr uint32_t kContentGuessed = 1u << 29;
  // Its creation or modification time carries no UTC offset: a local time
  // of a zone the volume does not say.
  static constexpr uint32_t kTimesLocal = 1u << 28;
  static constexpr uint32_t kFatInvalid = 1u << 30;  // clusters contiguous (NoFatChain)
  static constexpr uint32_t kDeleted = 1u << 31;

  CExFatFileNode() = default;
  ~CExFatFileNode() override = default;

  const char* GetFileName() override { return m_name.c_str(); }
  uint64_t GetFileSize() override { return m_size; }
  uint32_t GetAttribute() override { return m_attribute & 0xFFFF; }
  uint64_t GetCreationTime() override { return m_creation; }
  uint64_t GetModificationTime() override { return m_modification; }
  uint64_t GetLastAccessTime() override { return m_access; }
  int IsDirectory() override { return (m_attribute & kDirectory) != 0 ? 1 : 0; }
  int IsDeleted() override { return (m_attribute & kDeleted) != 0 ? 1 : 0; }
  // An unlinked copy with the same file data and a copy of the run list.
  IFileNode* Clone() override;
  void MarkDeleted() override { m_attribute |= kDeleted; }
  void FilterFileNameByDot() override { m_name = CFileNode::FilterFileNameByDot(m_name); }

  // A null name changes nothing.
  void SetFileName(const char* name);
  void SetFileSize(uint64_t size) { m_size = size; }
  // ORs the 16 attribute bits into the word.
  void SetFileAttributes(uint16_t attributes) { m_attribute |= attributes; }
  void SetFileTime(_FILETIME creation, _FILETIME modification, _FILETIME access);
  void SetFileDeleted() { m_attribute |= kDeleted; }
  void SetFileFatInvalid() { m_attribute |= kFatInvalid; }
  bool IsFatInvalid() const { return (m_attribute & kFatInvalid) != 0; }
  void SetContentGuessed() { m_attribute |= kContentGuessed; }
  bool IsContentGuessed() const { return (m_attribute & kContentGuessed) != 0; }
  void SetTimesLocal() { m_attribute |= kTimesLocal; }
  bool AreTimesLocal() const { return (m_attribute & kTimesLocal) != 0; }
  void SetFirstCluster(int64_t cluster) { m_firstCluster = cluster; }
  int64_t GetFirstCluster() const { return m_firstCluster; }
  void SetID(int64_t id) { SetCurrentNodeID(id); }
  void SetParentID(int64_t id) { SetParentNodeID(id); }

 private:
  CExFatFileNode(const CExFatFileNode& other) = default;

  std::string m_name;
  uint64_t m_size = 0;
  uint32_t m_attribute = 0;
  _FILETIME m_creation = 0;
  _FILETIME m_modification = 0;
  _FILETIME m_access = 0;
  int64_t m_firstCluster = -1;
};
