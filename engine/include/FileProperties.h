// The property record behind a node of the NTFS, FAT and RAW scanners: name,
// size, attribute, times, state and data runs as read from disk.
#pragma once

#include <cstdint>
#include <string>

class IDataRunList;

// The order of the virtual operations is part of the interface.
class IFileProperties {
 public:
  virtual ~IFileProperties() = default;

  virtual int GetFileNameLength() = 0;
  virtual void SetFileName(const char* name) = 0;
  virtual const char* GetFileName() = 0;  // UTF-8
  virtual uint64_t GetFileSize() = 0;
  virtual uint32_t GetAttribute() = 0;
  // The carver's time text; empty for the other file systems.
  virtual std::string GetRawFileCreateTime() = 0;
  // _FILETIME values.
  virtual uint64_t GetCreationTime() = 0;
  virtual uint64_t GetModificationTime() = 0;
  virtual uint64_t GetLastAccessTime() = 0;
  virtual uint16_t GetState() = 0;
  virtual void SetState(uint16_t state) = 0;
  // Whether the caller owns the answer is each record's own rule.
  virtual IDataRunList* GetDataRunList() = 0;
  virtual IFileProperties* Clone() = 0;
};
