// What the NTFS scanner knows about one found file: name, size, attribute
// bits, times, state and packed data runs, as read from its FILE records.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "FileProperties.h"
#include "ntfs/CompressedDataRunList.h"
#include "ntfs/NTFSMultiFileRecord.h"

// The plain record properties are made from. Init takes over `name` (made
// with new[]) and `dataRuns`.
struct CNTFSFilePropertiesStruct {
  char* name = nullptr;     // UTF-8, zero-terminated
  uint16_t nameLength = 0;  // strlen
  int64_t size = 0;         // bytes
  uint16_t attribute = 0;
  int64_t creationTime = 0;
  int64_t modificationTime = 0;
  int64_t lastAccessTime = 0;
  uint8_t state = 0;
  int64_t fileRecordStartSector = 0;  // device sector of the FILE record
  CCompressedDataRunList* dataRuns = nullptr;
  int64_t mainFileRecordNumber = 0;
};

class CNTFSFileProperties : public IFileProperties {
 public:
  // Attribute bits: those of the file attribute word, except that encrypted
  // is 0x40 here.
  static constexpr uint16_t kReadOnly = 0x01;
  static constexpr uint16_t kHidden = 0x02;
  static constexpr uint16_t kSystem = 0x04;
  static constexpr uint16_t kDirectory = 0x10;
  static constexpr uint16_t kArchive = 0x20;
  static constexpr uint16_t kEncrypted = 0x40;
  static constexpr uint16_t kCompressed = 0x0800;
  // State bit 0: the record is not in use.
  static constexpr uint16_t kStateDeleted = 0x01;

  // A new empty object (no name, no runs); the caller owns it.
  static CNTFSFileProperties* Create();
  // New properties with every field of `s` but its name and packed runs,
  // `name` (UTF-8, `length` bytes, null for none) kept in the object's own
  // allocation, and `runs` packed (null: none); the caller owns them.
  static CNTFSFileProperties* Create(const CNTFSFilePropertiesStruct& s, const char* name, size_t length,
                                     IDataRunList* runs);
  static void Destory(CNTFSFileProperties* properties);
  ~CNTFSFileProperties() override;
  CNTFSFileProperties& operator=(const CNTFSFileProperties&) = delete;

  // A scan keeps properties for every file it finds: the name lives in the
  // same allocation as the object (see Create), so these take the room for
  // it along.
  struct NameRoom {
    size_t bytes;
  };
  static void* operator new(size_t size) { return ::operator new(size); }
  static void* operator new(size_t size, NameRoom room) { return ::operator new(size + room.bytes); }
  static void operator delete(void* p) { ::operator delete(p); }
  static void operator delete(void* p, NameRoom /*room*/) { ::operator delete(p); }

  // Takes every field of `s`, and ownership of its name and packed runs
  // (replacing and freeing what the object had).
  void Init(const CNTFSFilePropertiesStruct& s);

  int GetFileNameLength() override { return m_nameLength; }
  // Keeps a copy of `name` (null is ignored); the length then counts the
  // terminating zero.
  void SetFileName(const char* name) override;
  const char* GetFileName() override { return m_name; }
  // A size below 0 (unknown) reads as 0.
  uint64_t GetFileSize() override { return m_size < 0 ? 0 : static_cast<uint64_t>(m_size); }
  uint32_t GetAttribute() override { return m_attribute; }
  std::string GetRawFileCreateTime() override { return {}; }
  uint64_t GetCreationTime() override { return static_cast<uint64_t>(m_creationTime); }
  uint64_t GetModificationTime() override { return static_cast<uint64_t>(m_modificationTime); }
  uint64_t GetLastAccessTime() override { return static_cast<uint64_t>(m_lastAccessTime); }
  uint16_t GetState() override { return m_state; }
  void SetState(uint16_t state) override { m_state = state; }
  // A new list unpacked from the packed runs each call (null when there are
  // none); the caller owns it and gives it back with Release.
  IDataRunList* GetDataRunList() override;
  // A copy with its own name, packed runs and extension list.
  IFileProperties* Clone() override;

  int64_t GetSize() const { return m_size; }
  void SetFileSize(int64_t size) { m_size = size; }
  // The bytes the runs hold on the volume (holes left out), -1 when not
  // known (resident data: the size); and whether the size read from the
  // record was more than the runs can hold (it was cut to what they hold).
  int64_t GetStoredBytes() const { return m_storedBytes; }
  void SetStoredBytes(int64_t bytes) { m_storedBytes = bytes; }
  bool IsSizeDamaged() const { return m_sizeDamaged; }
  void SetSizeDamaged(bool damaged) { m_sizeDamaged = damaged; }
  // Whether the record lost the data attribute it had: a damaged size and
  // no runs at all (the log may still hold them).
  bool IsDataLost() const { return m_sizeDamaged && m_dataRuns.IsEmpty(); }
  // Whether the runs were cut where the volume ends (a damaged length): the
  // copy cannot be vouched for, whatever the size.
  bool IsContentUnsure() const { return m_contentUnsure; }
  void SetContentUnsure(bool unsure) { m_contentUnsure = unsure; }
  void SetAttribute(uint16_t attribute) { m_attribute = attribute; }
  // Packs `list` in place of the runs kept so far; null is ignored.
  void SetDataRunList(IDataRunList* list);
  const CCompressedDataRunList* GetCompressedDataRunList() const {
    return m_dataRuns.IsEmpty() ? nullptr : &m_dataRuns;
  }
  int64_t GetFileRecordStartSector() const { return m_fileRecordStartSector; }
  void SetFileRecordStartSector(int64_t sector) { m_fileRecordStartSector = sector; }
  int64_t GetFileRecordIndex() const { return m_fileRecordIndex; }
  // The extension records the file's runs came from (may be null).
  const CExtendFileRecordInfoList* GetExtendFileRecordInfoList() const { return m_extensions.get(); }
  void SetExtendFileRecordInfoList(std::unique_ptr<CExtendFileRecordInfoList> list) { m_extensions = std::move(list); }

 private:
  CNTFSFileProperties() = default;
  // A copy of everything but the name, which the caller sets.
  CNTFSFileProperties(const CNTFSFileProperties& other);

  // The room after the object, where a name given to Create is kept.
  char* Tail() { return reinterpret_cast<char*>(this + 1); }
  // Keeps `name` (`length` bytes) in the room after the object when it fits,
  // else in an allocation of its own.
  void StoreName(const char* name, size_t length);
  void FreeName();

  char* m_name = nullptr;  // in the room after the object, or new[]
  int64_t m_size = 0;
  int64_t m_creationTime = 0;
  int64_t m_modificationTime = 0;
  int64_t m_lastAccessTime = 0;
  int64_t m_fileRecordStartSector = 0;
  int64_t m_fileRecordIndex = 0;
  int64_t m_storedBytes = -1;
  std::unique_ptr<CExtendFileRecordInfoList> m_extensions;
  CCompressedDataRunList m_dataRuns;
  uint16_t m_nameLength = 0;
  uint16_t m_attribute = 0;
  uint16_t m_state = 0;
  uint16_t m_tail = 0;  // bytes of room after the object
  bool m_sizeDamaged = false;
  bool m_contentUnsure = false;
};
