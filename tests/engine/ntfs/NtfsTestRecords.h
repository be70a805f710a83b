// Hand-made FILE records and index pages laid out as the published NTFS
// format describes them, and an in-memory device, for the cases real images
// cannot show (damaged lists, reused records, hostile sizes).
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "StorageDevice.h"

namespace ntfstest {

using Bytes = std::vector<uint8_t>;

struct Run {
  int64_t lcn;  // negative: sparse
  int64_t length;
};
// NTFS mapping pairs for `runs`, each field as short as its value allows,
// ended by a 0 byte.
Bytes MappingPairs(const std::vector<Run>& runs);

// One entry of an $ATTRIBUTE_LIST.
struct ListEntry {
  uint32_t type;
  uint64_t record;  // the record that holds the attribute
  int64_t startVCN = 0;
  uint16_t instance = 0;
  uint16_t sequence = 1;
};
Bytes AttributeListContent(const std::vector<ListEntry>& entries);

// A FILE record of `size` bytes with update-sequence offset 0x30 (so the
// header carries the record's own number) and attributes from 0x38.
class TestRecord {
 public:
  // `baseRecord` -1 makes a base record; any other value an extension
  // record of that base record.
  explicit TestRecord(uint32_t ownNumber, bool inUse = true, bool folder = false, int64_t baseRecord = -1,
                      int size = 1024);

  TestRecord& StandardInformation(uint32_t attributes, uint64_t created = 1, uint64_t modified = 2,
                                  uint64_t accessed = 4);
  // namespace: 0 POSIX, 1 Win32, 2 DOS, 3 both.
  TestRecord& FileName(uint64_t parent, const std::u16string& name, uint8_t nameSpace = 1, uint32_t flags = 0,
                       int64_t realSize = 0, uint64_t created = 10, uint64_t modified = 20, uint64_t accessed = 40);
  TestRecord& ResidentData(const Bytes& content, const std::u16string& name = u"", uint16_t flags = 0);
  TestRecord& NonResidentData(const std::vector<Run>& runs, int64_t startVCN, int64_t realSize,
                              const std::u16string& name = u"", uint16_t flags = 0);
  TestRecord& AttributeList(const Bytes& content);
  TestRecord& NonResidentAttributeList(const std::vector<Run>& runs, int64_t size, int64_t allocated);
  TestRecord& Resident(uint32_t type, const Bytes& content, const std::u16string& name = u"");
  TestRecord& IndexAllocation(const std::vector<Run>& runs, int64_t size);

  // Offset of the attribute added last.
  uint32_t LastOffset() const { return last_; }
  // The record as on disk (end marker, update sequence applied).
  ntfstest::Bytes Data() const;

 private:
  void Add(const ntfstest::Bytes& attribute);
  ntfstest::Bytes NonResident(uint32_t type, const std::vector<Run>& runs, int64_t startVCN, int64_t lastVCN,
                              int64_t realSize, int64_t allocated, const std::u16string& name, uint16_t flags);

  ntfstest::Bytes record_;
  uint32_t used_;
  uint32_t last_ = 0;
  uint16_t instance_ = 0;
};

// An index page ("INDX") of `size` bytes with one entry per parent given
// (flags 0), then the last entry; update sequence applied.
struct IndexEntry {
  uint64_t parent;
  std::u16string name;
  uint16_t flags = 0;  // 1: has a sub-node
  int64_t allocated = 4096;
  int64_t real = 100;
};
Bytes IndexPage(const std::vector<IndexEntry>& entries, int size = 4096, int64_t vcn = 0);

// A read-only device over bytes in memory; reads past the end fail.
class MemoryDevice : public IStorageDevice {
 public:
  explicit MemoryDevice(ntfstest::Bytes data, uint32_t sectorSize = 512);
  int Open() override { return 1; }
  int Close() override { return 1; }
  int ReadSector(void* buffer, int64_t firstSector, int64_t sectorCount) override;
  uint32_t GetSectorSize() override { return sectorSize_; }
  int64_t GetTotalSectors() override { return static_cast<int64_t>(data_.size() / sectorSize_); }
  int IOCtl(uint64_t, void*) override { return 0; }
  IStorageDeviceData* GetPrivateData() override { return nullptr; }
  void SetPrivateData(IStorageDeviceData*) override {}
  uint32_t GetType() override { return STORAGE_DEVICE_CACHED; }
  ResultCode GetLastError() override { return 0; }

  // Puts `bytes` at byte `offset`, growing the device as needed.
  void Put(uint64_t offset, const ntfstest::Bytes& bytes);
  int reads() const { return reads_; }

 private:
  ntfstest::Bytes data_;
  uint32_t sectorSize_;
  int reads_ = 0;
};

}  // namespace ntfstest
