#include "NtfsTestRecords.h"

#include <cstring>

namespace ntfstest {

namespace {

void Put16(Bytes& b, size_t at, uint64_t v) {
  for (int i = 0; i < 2; ++i) b[at + i] = static_cast<uint8_t>(v >> (8 * i));
}
void Put32(Bytes& b, size_t at, uint64_t v) {
  for (int i = 0; i < 4; ++i) b[at + i] = static_cast<uint8_t>(v >> (8 * i));
}
void Put64(Bytes& b, size_t at, uint64_t v) {
  for (int i = 0; i < 8; ++i) b[at + i] = static_cast<uint8_t>(v >> (8 * i));
}
size_t Align8(size_t n) { return (n + 7) & ~size_t{7}; }

// Bytes that hold `v` as a signed little-endian number.
int SignedBytes(int64_t v) {
  for (int n = 1; n < 8; ++n) {
    const int64_t limit = int64_t{1} << (8 * n - 1);
    if (v >= -limit && v < limit) return n;
  }
  return 8;
}

void PutName(Bytes& b, size_t at, const std::u16string& name) {
  for (size_t i = 0; i < name.size(); ++i) Put16(b, at + 2 * i, name[i]);
}

// The $FILE_NAME body (0x42 bytes and the name).
Bytes FileNameBody(uint64_t parent, const std::u16string& name, uint8_t nameSpace, uint32_t flags, int64_t allocated,
                   int64_t realSize, uint64_t created, uint64_t modified, uint64_t accessed) {
  Bytes b(0x42 + 2 * name.size(), 0);
  Put64(b, 0x00, parent | (uint64_t{1} << 48));
  Put64(b, 0x08, created);
  Put64(b, 0x10, modified);
  Put64(b, 0x18, modified);
  Put64(b, 0x20, accessed);
  Put64(b, 0x28, static_cast<uint64_t>(allocated));
  Put64(b, 0x30, static_cast<uint64_t>(realSize));
  Put32(b, 0x38, flags);
  b[0x40] = static_cast<uint8_t>(name.size());
  b[0x41] = nameSpace;
  PutName(b, 0x42, name);
  return b;
}

// Writes the update sequence: the number at the array's start, each
// sector's last word saved behind it and replaced by the number.
void ApplyUpdateSequence(Bytes& b, size_t arrayOffset, int sectors, uint16_t number) {
  Put16(b, arrayOffset, number);
  for (int i = 0; i < sectors; ++i) {
    const size_t end = 512 * i + 510;
    b[arrayOffset + 2 + 2 * i] = b[end];
    b[arrayOffset + 3 + 2 * i] = b[end + 1];
    Put16(b, end, number);
  }
}

}  // namespace

Bytes MappingPairs(const std::vector<Run>& runs) {
  Bytes out;
  int64_t previous = 0;
  for (const Run& run : runs) {
    const int lengthBytes = SignedBytes(run.length);
    if (run.lcn < 0) {
      out.push_back(static_cast<uint8_t>(lengthBytes));
      for (int i = 0; i < lengthBytes; ++i) out.push_back(static_cast<uint8_t>(run.length >> (8 * i)));
      continue;
    }
    const int64_t delta = run.lcn - previous;
    const int offsetBytes = SignedBytes(delta);
    out.push_back(static_cast<uint8_t>(offsetBytes << 4 | lengthBytes));
    for (int i = 0; i < lengthBytes; ++i) out.push_back(static_cast<uint8_t>(run.length >> (8 * i)));
    for (int i = 0; i < offsetBytes; ++i) out.push_back(static_cast<uint8_t>(static_cast<uint64_t>(delta) >> (8 * i)));
    previous = run.lcn;
  }
  out.push_back(0);
  return out;
}

Bytes AttributeListContent(const std::vector<ListEntry>& entries) {
  Bytes out;
  for (const ListEntry& e : entries) {
    Bytes entry(32, 0);
    Put32(entry, 0, e.type);
    Put16(entry, 4, 32);
    entry[6] = 0;     // name length
    entry[7] = 0x1A;  // name offset
    Put64(entry, 8, static_cast<uint64_t>(e.startVCN));
    Put64(entry, 16, e.record | (uint64_t{e.sequence} << 48));
    Put16(entry, 24, e.instance);
    out.insert(out.end(), entry.begin(), entry.end());
  }
  return out;
}

TestRecord::TestRecord(uint32_t ownNumber, bool inUse, bool folder, int64_t baseRecord, int size)
    : record_(static_cast<size_t>(size), 0) {
  std::memcpy(record_.data(), "FILE", 4);
  const int count = size / 512 + 1;
  Put16(record_, 4, 0x30);
  Put16(record_, 6, static_cast<uint64_t>(count));
  Put64(record_, 8, 0x1234);
  Put16(record_, 0x10, 1);
  Put16(record_, 0x12, 1);
  const size_t first = Align8(0x30 + 2 * count);
  Put16(record_, 0x14, first);
  Put16(record_, 0x16, (inUse ? 1 : 0) | (folder ? 2 : 0));
  Put32(record_, 0x1C, static_cast<uint64_t>(size));
  if (baseRecord >= 0) Put64(record_, 0x20, static_cast<uint64_t>(baseRecord) | (uint64_t{1} << 48));
  Put32(record_, 0x2C, ownNumber);
  used_ = static_cast<uint32_t>(first);
}

void TestRecord::Add(const ntfstest::Bytes& attribute) {
  last_ = used_;
  std::memcpy(record_.data() + used_, attribute.data(), attribute.size());
  used_ += static_cast<uint32_t>(attribute.size());
  Put16(record_, 0x28, ++instance_);
}

TestRecord& TestRecord::Resident(uint32_t type, const ntfstest::Bytes& content, const std::u16string& name) {
  const size_t nameBytes = Align8(2 * name.size());
  const size_t contentOffset = 0x18 + nameBytes;
  ntfstest::Bytes a(Align8(contentOffset + content.size()), 0);
  Put32(a, 0, type);
  Put32(a, 4, a.size());
  a[9] = static_cast<uint8_t>(name.size());
  Put16(a, 0x0A, name.empty() ? 0 : 0x18);
  Put16(a, 0x0E, instance_);
  Put32(a, 0x10, content.size());
  Put16(a, 0x14, contentOffset);
  PutName(a, 0x18, name);
  std::memcpy(a.data() + contentOffset, content.data(), content.size());
  Add(a);
  return *this;
}

TestRecord& TestRecord::StandardInformation(uint32_t attributes, uint64_t created, uint64_t modified,
                                            uint64_t accessed) {
  ntfstest::Bytes c(48, 0);
  Put64(c, 0x00, created);
  Put64(c, 0x08, modified);
  Put64(c, 0x10, modified);
  Put64(c, 0x18, accessed);
  Put32(c, 0x20, attributes);
  return Resident(0x10, c);
}

TestRecord& TestRecord::FileName(uint64_t parent, const std::u16string& name, uint8_t nameSpace, uint32_t flags,
                                 int64_t realSize, uint64_t created, uint64_t modified, uint64_t accessed) {
  return Resident(0x30, FileNameBody(parent, name, nameSpace, flags, realSize, realSize, created, modified, accessed));
}

TestRecord& TestRecord::ResidentData(const ntfstest::Bytes& content, const std::u16string& name, uint16_t flags) {
  Resident(0x80, content, name);
  Put16(record_, last_ + 0x0C, flags);
  return *this;
}

ntfstest::Bytes TestRecord::NonResident(uint32_t type, const std::vector<Run>& runs, int64_t startVCN, int64_t lastVCN,
                                        int64_t realSize, int64_t allocated, const std::u16string& name,
                                        uint16_t flags) {
  const ntfstest::Bytes pairs = MappingPairs(runs);
  const size_t pairsOffset = 0x40 + Align8(2 * name.size());
  ntfstest::Bytes a(Align8(pairsOffset + pairs.size()), 0);
  Put32(a, 0, type);
  Put32(a, 4, a.size());
  a[8] = 1;
  a[9] = static_cast<uint8_t>(name.size());
  Put16(a, 0x0A, 0x40);
  Put16(a, 0x0C, flags);
  Put16(a, 0x0E, instance_);
  Put64(a, 0x10, static_cast<uint64_t>(startVCN));
  Put64(a, 0x18, static_cast<uint64_t>(lastVCN));
  Put16(a, 0x20, pairsOffset);
  Put64(a, 0x28, static_cast<uint64_t>(allocated));
  Put64(a, 0x30, static_cast<uint64_t>(realSize));
  Put64(a, 0x38, static_cast<uint64_t>(realSize));
  PutName(a, 0x40, name);
  std::memcpy(a.data() + pairsOffset, pairs.data(), pairs.size());
  return a;
}

TestRecord& TestRecord::NonResidentData(const std::vector<Run>& runs, int64_t startVCN, int64_t realSize,
                                        const std::u16string& name, uint16_t flags) {
  int64_t clusters = 0;
  for (const Run& r : runs) clusters += r.length;
  Add(NonResident(0x80, runs, startVCN, startVCN + clusters - 1, realSize, clusters * 4096, name, flags));
  return *this;
}

TestRecord& TestRecord::AttributeList(const ntfstest::Bytes& content) { return Resident(0x20, content); }

TestRecord& TestRecord::NonResidentAttributeList(const std::vector<Run>& runs, int64_t size, int64_t allocated) {
  int64_t clusters = 0;
  for (const Run& r : runs) clusters += r.length;
  Add(NonResident(0x20, runs, 0, clusters - 1, size, allocated, u"", 0));
  return *this;
}

TestRecord& TestRecord::IndexAllocation(const std::vector<Run>& runs, int64_t size) {
  int64_t clusters = 0;
  for (const Run& r : runs) clusters += r.length;
  Add(NonResident(0xA0, runs, 0, clusters - 1, size, size, u"$I30", 0));
  return *this;
}

ntfstest::Bytes TestRecord::Data() const {
  ntfstest::Bytes b = record_;
  Put32(b, used_, 0xFFFFFFFF);
  Put32(b, 0x18, used_ + 8);
  ApplyUpdateSequence(b, 0x30, static_cast<int>(b.size() / 512), 0x0007);
  return b;
}

Bytes IndexPage(const std::vector<IndexEntry>& entries, int size, int64_t vcn) {
  Bytes page(static_cast<size_t>(size), 0);
  std::memcpy(page.data(), "INDX", 4);
  const int count = size / 512 + 1;
  Put16(page, 4, 0x28);
  Put16(page, 6, static_cast<uint64_t>(count));
  Put64(page, 8, 0x5678);
  Put64(page, 0x10, static_cast<uint64_t>(vcn));
  const size_t first = Align8(0x28 + 2 * count);
  size_t pos = first;
  uint64_t reference = 1000;
  for (const IndexEntry& e : entries) {
    const Bytes key = FileNameBody(e.parent, e.name, 1, 0, e.allocated, e.real, 1, 2, 4);
    const bool sub = (e.flags & 1) != 0;
    const size_t length = Align8(16 + key.size()) + (sub ? 8 : 0);
    Put64(page, pos, reference++ | (uint64_t{1} << 48));
    Put16(page, pos + 8, length);
    Put16(page, pos + 10, key.size());
    Put16(page, pos + 12, e.flags);
    std::memcpy(page.data() + pos + 16, key.data(), key.size());
    pos += length;
  }
  Put16(page, pos + 8, 16);
  Put16(page, pos + 12, 2);
  pos += 16;
  Put32(page, 0x18, first - 0x18);
  Put32(page, 0x1C, pos - 0x18);
  Put32(page, 0x20, static_cast<uint64_t>(size) - 0x18);
  ApplyUpdateSequence(page, 0x28, size / 512, 0x0042);
  return page;
}

MemoryDevice::MemoryDevice(ntfstest::Bytes data, uint32_t sectorSize)
    : data_(std::move(data)), sectorSize_(sectorSize) {}

int MemoryDevice::ReadSector(void* buffer, int64_t firstSector, int64_t sectorCount) {
  ++reads_;
  if (firstSector < 0 || sectorCount < 0) return 0;
  const unsigned __int128 end = (static_cast<unsigned __int128>(firstSector) + sectorCount) * sectorSize_;
  if (end > data_.size()) return 0;
  std::memcpy(buffer, data_.data() + firstSector * sectorSize_, static_cast<size_t>(sectorCount) * sectorSize_);
  return 1;
}

void MemoryDevice::Put(uint64_t offset, const ntfstest::Bytes& bytes) {
  if (data_.size() < offset + bytes.size()) data_.resize(offset + bytes.size());
  std::memcpy(data_.data() + offset, bytes.data(), bytes.size());
}

}  // namespace ntfstest
