// Reading the content of one found file, and the hook through which the NTFS
// scanner lends its reader of resident data to the engine's file readers.
#pragma once

#include <cstdint>

class CFileNode;
class IStorageDevice;

// The engine's interface for reading one found file's bytes. Copy-out makes
// one per file and hands clones to the application (previews); scanners with
// their own storage schemes (compressed files) implement it too. The order of
// the virtual operations is part of the interface.
class IFileReader {
 public:
  virtual ~IFileReader() = default;

  // Copies up to `length` bytes of the file from `offset` into `buffer` and
  // answers how many bytes were delivered; 0 when nothing could be read (an
  // offset at or past the end, an unreadable device). The offset should be a
  // multiple of the device's sector size; the buffer needs room for `length`
  // bytes only: nothing is ever written past it.
  virtual unsigned int ReadData(long long offset, char* buffer, unsigned int length) = 0;
  // A new reader of the same file, independent of this one (it may be used
  // on another thread); the caller owns it. Null when memory is short.
  virtual IFileReader* Clone() = 0;
  // The file's size in bytes.
  virtual int64_t GetDataSize() const = 0;
  // Non-zero when the file's data is stored compressed.
  virtual int IsCompressFile() = 0;
  // Destroys the reader.
  virtual void Release() = 0;
  // Non-zero once a read delivered zeros in place of content that could not
  // be decoded (a damaged compressed stream): a copy holding them is
  // incomplete. The base answers 0.
  virtual int IsContentIncomplete() { return 0; }
};

// Resident data
// -------------
// Small NTFS files keep their content inside their file record instead of in
// clusters; their run list says so through IDataRunList::IsResident(). Only
// the NTFS scanner can read such records, and the engine core must not link
// against it (the NTFS library builds on the core, and its own reader derives
// from CFileReader). So the NTFS library registers its reader here, and the
// file readers call it through this table:
//
// - isNTFSNode(node): whether `node` is one of the NTFS scanner's nodes. For
//   those the file reader calls fromNode; for any other node with a resident
//   list (a node restored from a saved scan result) it calls fromRecordSector
//   with the start of the node's first run, which then holds the device
//   sector of the file record.
// - fromNode / fromRecordSector: copy the file's resident unnamed data stream
//   into `buffer` (room for `capacity` bytes) from its first byte, set
//   *length to the stream's length and answer the number of bytes copied;
//   answer 0 and leave *length alone when there is no such stream or it does
//   not fit. They must never write more than `capacity` bytes and must be
//   callable from several threads at once.
//
// The table must have static storage duration: readers keep using it after
// registration without copying it. Registering again replaces the table;
// registering null removes it. Until a table is registered, resident data
// cannot be read (the reader delivers nothing for such files).
struct ResidentDataReader {
  bool (*isNTFSNode)(CFileNode* node);
  uint32_t (*fromNode)(CFileNode& node, IStorageDevice& device, int64_t* length, uint8_t* buffer, uint32_t capacity);
  uint32_t (*fromRecordSector)(uint64_t recordSector, IStorageDevice& device, int64_t* length, uint8_t* buffer,
                               uint32_t capacity);
};

// Defined by the copy-out library (engine_copyout). Safe to call from any
// thread; the NTFS library calls it before its first node can reach a reader
// (from its searcher factories, for instance).
void SetResidentDataReader(const ResidentDataReader* reader);
const ResidentDataReader* GetResidentDataReader();
