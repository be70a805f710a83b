// The run lists of NTFS nodes, and the packed form their properties keep.
//
// A scan holds properties for every file it finds, so their runs are kept as
// NTFS-style mapping pairs (a few bytes per run) and unpacked into a fresh
// list whenever one is asked for.
#pragma once

#include <cstdint>
#include <vector>

#include "DataRunList.h"

// Content kept inside a FILE record: one run {sector of the record, 1} and the
// byte offset of the content in that record.
class CResidentNTFSDataRunList : public CDataRunList {
 public:
  static constexpr int kType = 1;

  CResidentNTFSDataRunList(int64_t recordSector, int64_t length, uint32_t offset);
  int64_t GetOffset() const override { return m_offset; }
  int GetDataRunListType() const override { return kType; }
  IDataRunList* Clone() override { return new CResidentNTFSDataRunList(*this); }

 private:
  CResidentNTFSDataRunList(const CResidentNTFSDataRunList&) = default;
  uint32_t m_offset;
};

// A file's clusters: {LCN, or negative for a sparse run; length in clusters},
// kept exactly as given (contiguous runs are not merged, so the list keeps
// the file's own extents).
class CNoneResidentNTFSDataRunList : public CDataRunList {
 public:
  static constexpr int kType = 2;

  CNoneResidentNTFSDataRunList() = default;
  void AddDataRun(const DataRun& run) { AppendDataRun(run); }
  void AddDataRun(const DataRun* run) override {
    if (run != nullptr) AppendDataRun(*run);
  }
  int GetDataRunListType() const override { return kType; }
  IDataRunList* Clone() override { return new CNoneResidentNTFSDataRunList(*this); }

 private:
  CNoneResidentNTFSDataRunList(const CNoneResidentNTFSDataRunList&) = default;
};

class CCompressedDataRunList {
 public:
  // Nothing packed.
  CCompressedDataRunList() = default;
  CCompressedDataRunList(const CCompressedDataRunList& other);
  CCompressedDataRunList& operator=(const CCompressedDataRunList& other);
  ~CCompressedDataRunList();

  // Packs `list`: each run as a header byte (offset size x 16 + length
  // size), the length and the offset from the previous non-sparse start, each
  // in as few little-endian bytes (1 to 8) as hold it as a signed number; a
  // sparse run has no offset; a 0 byte ends the list. A resident list keeps
  // its content offset. Null for a null list, a list without runs, a resident
  // list whose offset is 0 or above 0xFFFF, a non-resident list with an
  // offset, or runs whose clusters overflow 64 bits. Runs without clusters
  // are left out.
  static CCompressedDataRunList* Compress(IDataRunList* list);
  // Packs `list` as Compress does in place of what this held; false (and
  // nothing packed) where Compress answers null.
  bool Pack(IDataRunList* list);
  // A new list with the packed runs (resident: its first run and offset);
  // the caller owns it. Null when nothing is packed.
  IDataRunList* Decompress() const;
  bool IsEmpty() const { return m_size == 0; }
  // The packed bytes, the terminating 0 included.
  int GetCompressedDataRunSize() const { return static_cast<int>(m_size); }
  const uint8_t* GetData() const;
  std::vector<uint8_t> GetBytes() const { return std::vector<uint8_t>(GetData(), GetData() + m_size); }
  uint16_t GetResidentOffset() const { return m_residentOffset; }
  CCompressedDataRunList* Clone() const { return new CCompressedDataRunList(*this); }

  // The fewest bytes (1 to 8) that hold `value` as a signed number.
  static int GetNeedBytes(int64_t value);

 private:
  // The packed runs of a file of one or two extents fit in the object
  // itself; longer lists are kept on the heap, the pointer in their place.
  static constexpr uint32_t kInline = 12;

  void Assign(const uint8_t* bytes, uint32_t size, uint16_t residentOffset);
  void Clear();
  uint8_t* HeapBytes() const;

  uint16_t m_residentOffset = 0;
  uint32_t m_size = 0;
  uint8_t m_bytes[kInline] = {};
};
