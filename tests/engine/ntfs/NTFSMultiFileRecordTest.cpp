// Files spread over several FILE records, on small volumes laid out in
// memory: which extension records count, and how the attribute list that
// names them is bounded.
#include <gtest/gtest.h>

#include <memory>

#include "NtfsTestRecords.h"
#include "ntfs/NTFSDataRunList.h"
#include "ntfs/NTFSFileRecord.h"
#include "ntfs/NTFSFileRecordAttribute.h"
#include "ntfs/NTFSMultiFileRecord.h"

namespace {

using ntfstest::Bytes;
using ntfstest::ListEntry;
using ntfstest::MemoryDevice;
using ntfstest::TestRecord;

// 4 KiB clusters of 512-byte sectors; the MFT is one run of 16 clusters at
// cluster 4, so record n lies at sector 32 + 2n.
constexpr uint8_t kSpc = 8;
int64_t SectorOf(int64_t record) { return 32 + 2 * record; }

struct Volume {
  MemoryDevice device{Bytes(1 << 20, 0)};
  CNTFSDataRunList mft;

  Volume() { mft.AddDataRun(CDataRun{4, 0, 16}); }
  void Put(int64_t record, const Bytes& bytes) { device.Put(static_cast<uint64_t>(SectorOf(record)) * 512, bytes); }

  std::unique_ptr<CExtendFileRecordInfoList> Extensions(const Bytes& base, int64_t record) {
    return CNTFSMultiFileRecord::InitExtendFileRecord(base.data(), static_cast<uint32_t>(base.size()), SectorOf(record),
                                                      kSpc, 0, device, &mft, 2);
  }
};

// A file (record 40) whose name is in its base record, with a list of where
// each attribute lives.
Bytes BaseWithList(const std::vector<ListEntry>& entries, bool inUse = true) {
  return TestRecord(40, inUse)
      .StandardInformation(0x20)
      .AttributeList(ntfstest::AttributeListContent(entries))
      .FileName(5, u"spread.bin")
      .Data();
}

const std::vector<ListEntry> kBaseAnd41 = {{0x10, 40}, {0x30, 40}, {0x80, 41}};
Bytes DataOf40(uint32_t own = 41, int64_t base = 40, bool inUse = true) {
  return TestRecord(own, inUse, false, base).NonResidentData({{300, 5}}, 0, 20000).Data();
}

// A record that once was an extension of this file but now belongs to
// another file must not lend it its attributes.
TEST(NTFSMultiFileRecord, AnExtensionRecordCountsOnlyWhenItIsStillTheBaseRecordsOwn) {
  Bytes torn = DataOf40();
  torn[1022] ^= 0xFF;
  struct Case {
    const char* what;
    Bytes record41;
    bool counts;
    bool baseInUse = true;
  };
  const Case cases[] = {
      {"the base record's own", DataOf40(), true},
      {"freed with its deleted base record", DataOf40(41, 40, false), true, false},
      {"reused as the base record of a new file",
       TestRecord(41).StandardInformation(0).FileName(5, u"new.bin").NonResidentData({{900, 2}}, 0, 6000).Data(),
       false},
      {"reused as an extension of another file", DataOf40(41, 77), false},
      {"not the record the list names (own number 43)", DataOf40(43), false},
      {"torn", torn, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    Volume v;
    v.Put(41, c.record41);
    const Bytes base = BaseWithList(kBaseAnd41, c.baseInUse);
    auto list = v.Extensions(base, 40);
    ASSERT_NE(list, nullptr);
    CNTFSMultiFileRecord record(base.data(), 1024, SectorOf(40), &v.device, list.get());
    ASSERT_TRUE(record.IsValid());
    int64_t sector = 0;
    const uint8_t* data = record.FindAttibute(0x80, 0, nullptr, &sector);
    EXPECT_EQ(data != nullptr, c.counts);
    EXPECT_EQ(sector, data != nullptr ? SectorOf(41) : sector);
    EXPECT_EQ(record.FindAllAttributes(0x80).size(), c.counts ? 1u : 0u);
    EXPECT_EQ(record.FindAllAttributes(0x30).size(), 1u) << "no name leaks in";
  }
}

TEST(NTFSMultiFileRecord, WithoutItsOwnNumberInTheHeaderTheBaseRecordNeedsTheCallersNumber) {
  Volume v;
  v.Put(41, DataOf40());
  Bytes base = BaseWithList(kBaseAnd41);
  base[0x2A] = 1;  // the older header form: no record number of its own
  ASSERT_FALSE(CNTFSFileRecord::HasXPNumberOfthisMFTRecord(base.data()));
  auto list = v.Extensions(base, 40);
  ASSERT_NE(list, nullptr);
  {
    CNTFSMultiFileRecord unknown(base.data(), 1024, SectorOf(40), &v.device, list.get());
    EXPECT_EQ(unknown.FindAttibute(0x80, 0, nullptr, nullptr), nullptr);
  }
  CNTFSMultiFileRecord known(base.data(), 1024, SectorOf(40), &v.device, list.get(), 40);
  EXPECT_EQ(known.GetMainFileRecordIndex(), 40);
  EXPECT_NE(known.FindAttibute(0x80, 0, nullptr, nullptr), nullptr);
}

TEST(NTFSMultiFileRecord, ExtensionRecordsAreReadOnceAndTheCallersBufferStaysAsItCame) {
  Volume v;
  v.Put(41, DataOf40());
  const Bytes base = BaseWithList(kBaseAnd41);
  Bytes copy = base;
  auto list = v.Extensions(copy, 40);
  CNTFSMultiFileRecord record(copy.data(), 1024, SectorOf(40), &v.device, list.get());
  EXPECT_EQ(copy, base);
  const int before = v.device.reads();
  for (int i = 0; i < 5; ++i) {
    record.FindAttibute(0x80, 0, nullptr, nullptr);
    record.FindAllAttributes(0x80);
  }
  EXPECT_EQ(v.device.reads(), before + 1);
}

TEST(NTFSMultiFileRecord, ListsThatNameOnlyTheBaseRecordOrUnplaceableRecordsGiveNoExtension) {
  Volume v;
  // Record 500 lies beyond the MFT's runs.
  for (const Bytes& base : {BaseWithList({{0x10, 40}, {0x30, 40}, {0x80, 40}}), BaseWithList({{0x80, 500}})}) {
    auto list = v.Extensions(base, 40);
    ASSERT_NE(list, nullptr);
    EXPECT_TRUE(list->empty());
  }
  const Bytes plain = TestRecord(40).StandardInformation(0).FileName(5, u"plain").Data();
  EXPECT_EQ(v.Extensions(plain, 40), nullptr);
  Bytes broken = BaseWithList(kBaseAnd41);
  broken[0] = 'X';
  CNTFSMultiFileRecord record(broken.data(), 1024, 0, &v.device, nullptr);
  EXPECT_FALSE(record.IsValid());
  EXPECT_TRUE(record.FindAllAttributes(0x30).empty());
  EXPECT_FALSE(CNTFSMultiFileRecord(nullptr, 1024, 0, &v.device, nullptr).IsValid());
}

TEST(NTFSMultiFileRecord, ANonResidentListIsReadFromItsClusters) {
  Volume v;
  // 40 entries (1280 bytes) in cluster 60, naming records 41 to 44.
  std::vector<ListEntry> entries = {{0x10, 40}, {0x30, 40}};
  for (int i = 0; i < 38; ++i) entries.push_back({0x80, static_cast<uint64_t>(41 + i % 4), i * 10});
  const Bytes content = ntfstest::AttributeListContent(entries);
  v.device.Put(60 * 4096, content);
  for (uint32_t n = 41; n <= 44; ++n) {
    v.Put(n, TestRecord(n, true, false, 40).NonResidentData({{1000 + n, 1}}, n - 41, 4096 * 4).Data());
  }
  const Bytes base = TestRecord(40)
                         .StandardInformation(0)
                         .NonResidentAttributeList({{60, 1}}, static_cast<int64_t>(content.size()), 4096)
                         .FileName(5, u"long-list.bin")
                         .Data();
  auto list = v.Extensions(base, 40);
  ASSERT_NE(list, nullptr);
  ASSERT_EQ(list->size(), 4u);
  for (size_t i = 0; i < 4; ++i) EXPECT_EQ((*list)[i].recordNumber, static_cast<int64_t>(41 + i));
}

TEST(NTFSMultiFileRecord, AttributeListsAreBoundedByTheirOwnLength) {
  Volume v;
  auto numbers = [&](const Bytes& content) {
    const Bytes base = TestRecord(40).StandardInformation(0).AttributeList(content).FileName(5, u"x").Data();
    std::vector<int64_t> out;
    auto list = CNTFSMultiFileRecord::GetExtendFileRecordInfoList(base.data(), 1024, 0, kSpc, v.device);
    if (list != nullptr) {
      for (const auto& info : *list) out.push_back(info.recordNumber);
    }
    return out;
  };
  const Bytes good = ntfstest::AttributeListContent({{0x10, 40}, {0x80, 41}, {0x80, 42}});
  struct Case {
    const char* what;
    size_t at;
    uint8_t value;
    std::vector<int64_t> expected;
  };
  const Case cases[] = {
      {"whole", 0, 0x10, {40, 41, 42}},
      {"an entry that claims to run past the list", 64 + 4, 0x40, {40, 41}},
      {"an entry too short to hold its record reference", 32 + 4, 16, {40}},
      {"a type of 0 ends the list", 32, 0, {40}},
  };
  for (const Case& c : cases) {
    Bytes content = good;
    content[c.at] = c.value;
    EXPECT_EQ(numbers(content), c.expected) << c.what;
  }
  EXPECT_EQ(numbers(Bytes(good.begin(), good.begin() + 64 + 20)), (std::vector<int64_t>{40, 41})) << "cut short";
}

TEST(NTFSMultiFileRecord, NonResidentListsOfImpossibleSizesAreRefused) {
  Volume v;
  v.device.Put(60 * 4096, ntfstest::AttributeListContent({{0x10, 40}, {0x80, 41}}));
  auto listOf = [&](int64_t size, int64_t allocated, std::vector<ntfstest::Run> runs) {
    const Bytes base =
        TestRecord(40).StandardInformation(0).NonResidentAttributeList(runs, size, allocated).FileName(5, u"x").Data();
    return CNTFSMultiFileRecord::GetExtendFileRecordInfoList(base.data(), 1024, 0, kSpc, v.device);
  };
  EXPECT_NE(listOf(64, 4096, {{60, 1}}), nullptr);
  EXPECT_EQ(listOf(0, 4096, {{60, 1}}), nullptr);     // nothing initialised
  EXPECT_EQ(listOf(8192, 4096, {{60, 1}}), nullptr);  // more than allocated
  // Lists above 256 KiB are refused before anything is allocated or read.
  const int before = v.device.reads();
  EXPECT_EQ(listOf(64, 256 * 1024 + 4096, {{60, 65}}), nullptr);
  EXPECT_EQ(v.device.reads(), before);
  EXPECT_NE(listOf(64, 256 * 1024, {{60, 64}}), nullptr);
  // Clusters the device does not have make the list unreadable.
  EXPECT_EQ(listOf(64, 4096, {{1 << 20, 1}}), nullptr);
}

TEST(NTFSMultiFileRecord, WhereARecordStartsAndWhenItCannotBePlaced) {
  // 512-byte clusters: a record is two clusters, which may lie in two runs.
  CNTFSDataRunList small;
  small.AddDataRun(CDataRun{100, 0, 3});
  small.AddDataRun(CDataRun{500, 3, 5});
  // 4 KiB clusters: records inside a cluster, shifted by the volume's start.
  CNTFSDataRunList big;
  big.AddDataRun(CDataRun{4, 0, 2});
  big.AddDataRun(CDataRun{90, 2, 2});
  struct Case {
    int64_t record;
    uint8_t spc;
    int64_t volumeStart;
    const CNTFSDataRunList* runs;
    uint8_t spr;
    int64_t sector;
  };
  const Case cases[] = {
      {0, 1, 0, &small, 2, 100},
      {1, 1, 0, &small, 2, -1} /* split */,
      {2, 1, 0, &small, 2, 501},
      {4, 1, 0, &small, 2, -1} /* past the runs */,
      {5, 8, 2048, &big, 2, 2048 + 32 + 10},
      {9, 8, 2048, &big, 2, 2048 + 720 + 2},
      {5, 8, 0, &big, 0, -1},
      {5, 0, 0, &big, 2, -1},
      {-1, 8, 0, &big, 2, -1},
      {INT64_MAX / 2, 8, 0, &big, 2, -1},
      {5, 8, 0, nullptr, 2, -1},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(
        CNTFSMultiFileRecord::GetFileRecordStartSectorfromMFTNumber(c.record, c.spc, c.volumeStart, c.runs, c.spr),
        c.sector)
        << c.record << " spc " << int{c.spc};
  }
}

}  // namespace
