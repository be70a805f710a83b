// Files spread over several FILE records, on small volumes laid out in
// memory: where the extension records are found, which of them count, and
// how the attribute list that names them is bounded.
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
constexpr int64_t kMftSector = 32;
constexpr uint8_t kSpc = 8;
constexpr uint8_t kSpr = 2;

int64_t SectorOf(int64_t record) { return kMftSector + 2 * record; }

struct Volume {
  MemoryDevice device{Bytes(1 << 20, 0)};
  CNTFSDataRunList mft;

  Volume() { mft.AddDataRun(CDataRun{4, 0, 16}); }
  void Put(int64_t record, const Bytes& bytes) { device.Put(static_cast<uint64_t>(SectorOf(record)) * 512, bytes); }

  std::unique_ptr<CExtendFileRecordInfoList> Extensions(const Bytes& base, int64_t record) {
    return CNTFSMultiFileRecord::InitExtendFileRecord(base.data(), static_cast<uint32_t>(base.size()),
                                                      SectorOf(record), kSpc, 0, device, &mft, kSpr);
  }
};

// A file (record 40) whose name is in its base record and whose data lies in
// record 41, as a list of where each attribute lives.
Bytes BaseWithListNaming(const std::vector<ListEntry>& entries, uint32_t number = 40) {
  return TestRecord(number)
      .StandardInformation(0x20)
      .AttributeList(ntfstest::AttributeListContent(entries))
      .FileName(5, u"spread.bin")
      .Data();
}

const std::vector<ListEntry> kBaseAnd41 = {{0x10, 40}, {0x30, 40}, {0x80, 41}};

TEST(NTFSMultiFileRecord, DataOnlyInAnExtensionRecordIsFoundThereWithItsSectorAndOffset) {
  Volume v;
  const Bytes base = BaseWithListNaming(kBaseAnd41);
  TestRecord extension(41, true, false, 40);
  extension.NonResidentData({{300, 5}}, 0, 20000);
  v.Put(41, extension.Data());

  auto list = v.Extensions(base, 40);
  ASSERT_NE(list, nullptr);
  ASSERT_EQ(list->size(), 1u);  // the base record itself is not an extension
  EXPECT_EQ((*list)[0].recordNumber, 41);
  EXPECT_EQ((*list)[0].startSector, SectorOf(41));

  CNTFSMultiFileRecord record(base.data(), 1024, SectorOf(40), &v.device, list.get());
  ASSERT_TRUE(record.IsValid());
  EXPECT_EQ(record.GetMainFileRecordIndex(), 40);
  uint32_t offset = 0;
  int64_t sector = 0;
  int left = 0;
  const uint8_t* data = record.FindAttibute(0x80, 0, &offset, &sector, &left);
  ASSERT_NE(data, nullptr);
  EXPECT_EQ(sector, SectorOf(41));
  EXPECT_EQ(offset, extension.LastOffset());
  EXPECT_EQ(left, 1024 - static_cast<int>(offset));
  EXPECT_EQ(CNTFSFileRecordAttribute::GetRealSizeOfAttribute(data), 20000);
  // The name stays the base record's.
  ASSERT_NE(record.FindAttibute(0x30, 0, &offset, &sector), nullptr);
  EXPECT_EQ(sector, SectorOf(40));
  EXPECT_EQ(record.FindAttibute(0x80, 1, &offset, &sector), nullptr);
}

TEST(NTFSMultiFileRecord, TheNthAttributeCountsTheBaseRecordFirstThenExtensionsInListOrder) {
  Volume v;
  const Bytes base = TestRecord(40)
                         .StandardInformation(0)
                         .AttributeList(ntfstest::AttributeListContent(
                             {{0x10, 40}, {0x30, 40}, {0x30, 42}, {0x30, 41}, {0x80, 41}}))
                         .FileName(5, u"first")
                         .Data();
  v.Put(41, TestRecord(41, true, false, 40).FileName(5, u"third").NonResidentData({{10, 1}}, 0, 10).Data());
  v.Put(42, TestRecord(42, true, false, 40).FileName(5, u"second").Data());
  auto list = v.Extensions(base, 40);
  ASSERT_NE(list, nullptr);
  ASSERT_EQ(list->size(), 2u);
  EXPECT_EQ((*list)[0].recordNumber, 42);  // in the list's order, each once
  EXPECT_EQ((*list)[1].recordNumber, 41);
  CNTFSMultiFileRecord record(base.data(), 1024, SectorOf(40), &v.device, list.get());
  const char16_t* expected[] = {u"first", u"second", u"third"};
  const int64_t sectors[] = {SectorOf(40), SectorOf(42), SectorOf(41)};
  for (uint32_t i = 0; i < 3; ++i) {
    int64_t sector = 0;
    const uint8_t* fn = record.FindAttibute(0x30, i, nullptr, &sector);
    ASSERT_NE(fn, nullptr) << i;
    EXPECT_EQ(sector, sectors[i]);
    std::wstring wide(expected[i], expected[i] + std::char_traits<char16_t>::length(expected[i]));
    EXPECT_TRUE(CNTFSFileRecordFileNameAttribute::IsFileNameEqual(fn, wide.c_str())) << i;
  }
  EXPECT_EQ(record.FindAttibute(0x30, 3, nullptr, nullptr), nullptr);
  const auto all = record.FindAllAttributes(0x30);
  ASSERT_EQ(all.size(), 3u);
  for (size_t i = 0; i < all.size(); ++i) EXPECT_EQ(all[i].recordSector, sectors[i]);
}

TEST(NTFSMultiFileRecord, ListsThatNameOnlyTheBaseRecordOrUnplaceableRecordsGiveNoExtension) {
  Volume v;
  const Bytes onlyBase = BaseWithListNaming({{0x10, 40}, {0x30, 40}, {0x80, 40}});
  auto list = v.Extensions(onlyBase, 40);
  ASSERT_NE(list, nullptr);
  EXPECT_TRUE(list->empty());

  // Record 500 lies beyond the MFT's runs.
  const Bytes beyond = BaseWithListNaming({{0x10, 40}, {0x30, 40}, {0x80, 500}});
  list = v.Extensions(beyond, 40);
  ASSERT_NE(list, nullptr);
  EXPECT_TRUE(list->empty());

  // Without a list there is nothing to place.
  const Bytes plain = TestRecord(40).StandardInformation(0).FileName(5, u"plain").Data();
  EXPECT_EQ(v.Extensions(plain, 40), nullptr);
  EXPECT_EQ(CNTFSMultiFileRecord::GetExtendFileRecordInfoList(plain.data(), 1024, 0, kSpc, v.device), nullptr);
}

// A record that once was an extension of this file but now belongs to
// another file must not lend it its attributes.
TEST(NTFSMultiFileRecord, AnExtensionRecordCountsOnlyWhenItsBaseReferenceIsTheBaseRecord) {
  struct Case {
    const char* what;
    Bytes record41;
  };
  const Case cases[] = {
      {"reused as the base record of a new file",
       TestRecord(41).StandardInformation(0).FileName(5, u"new.bin").NonResidentData({{900, 2}}, 0, 6000).Data()},
      {"reused as an extension of another file",
       TestRecord(41, true, false, 77).NonResidentData({{900, 2}}, 0, 6000).Data()},
      {"not the record the list names (own number 43)",
       TestRecord(43, true, false, 40).NonResidentData({{900, 2}}, 0, 6000).Data()},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    Volume v;
    v.Put(41, c.record41);
    const Bytes base = BaseWithListNaming(kBaseAnd41);
    auto list = v.Extensions(base, 40);
    ASSERT_NE(list, nullptr);
    CNTFSMultiFileRecord record(base.data(), 1024, SectorOf(40), &v.device, list.get());
    ASSERT_TRUE(record.IsValid());
    EXPECT_EQ(record.FindAttibute(0x80, 0, nullptr, nullptr), nullptr);
    EXPECT_TRUE(record.FindAllAttributes(0x80).empty());
    // Its name does not leak in either.
    EXPECT_EQ(record.FindAllAttributes(0x30).size(), 1u);
  }
}

TEST(NTFSMultiFileRecord, ADeletedFileKeepsTheExtensionRecordsThatAreStillItsOwn) {
  Volume v;
  // The whole set was freed: base and extension records are not in use.
  const Bytes base = TestRecord(40, false)
                         .StandardInformation(0)
                         .AttributeList(ntfstest::AttributeListContent({{0x10, 40}, {0x30, 40}, {0x80, 41}}))
                         .FileName(5, u"gone.bin")
                         .Data();
  v.Put(41, TestRecord(41, false, false, 40).NonResidentData({{300, 5}}, 0, 20000).Data());
  auto list = v.Extensions(base, 40);
  CNTFSMultiFileRecord record(base.data(), 1024, SectorOf(40), &v.device, list.get());
  EXPECT_FALSE(record.IsinUse());
  EXPECT_NE(record.FindAttibute(0x80, 0, nullptr, nullptr), nullptr);
}

TEST(NTFSMultiFileRecord, ATornExtensionRecordIsNotRead) {
  Volume v;
  Bytes torn = TestRecord(41, true, false, 40).NonResidentData({{300, 5}}, 0, 20000).Data();
  torn[1022] ^= 0xFF;  // the second sector's end no longer carries the sequence number
  v.Put(41, torn);
  const Bytes base = BaseWithListNaming(kBaseAnd41);
  auto list = v.Extensions(base, 40);
  CNTFSMultiFileRecord record(base.data(), 1024, SectorOf(40), &v.device, list.get());
  EXPECT_EQ(record.FindAttibute(0x80, 0, nullptr, nullptr), nullptr);
}

TEST(NTFSMultiFileRecord, WithoutItsOwnNumberInTheHeaderTheBaseRecordNeedsTheCallersNumber) {
  Volume v;
  v.Put(41, TestRecord(41, true, false, 40).NonResidentData({{300, 5}}, 0, 20000).Data());
  Bytes base = BaseWithListNaming(kBaseAnd41);
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
  v.Put(41, TestRecord(41, true, false, 40).NonResidentData({{300, 5}}, 0, 20000).Data());
  const Bytes base = BaseWithListNaming(kBaseAnd41);
  Bytes copy = base;
  auto list = v.Extensions(copy, 40);
  EXPECT_EQ(copy, base);
  CNTFSMultiFileRecord record(copy.data(), 1024, SectorOf(40), &v.device, list.get());
  EXPECT_EQ(copy, base);
  const int before = v.device.reads();
  for (int i = 0; i < 5; ++i) {
    record.FindAttibute(0x80, 0, nullptr, nullptr);
    record.FindAllAttributes(0x80);
  }
  EXPECT_EQ(v.device.reads(), before + 1);
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
  EXPECT_EQ(numbers(good), (std::vector<int64_t>{40, 41, 42}));

  // An entry that claims to run past the list ends the walk before it.
  Bytes overrun = good;
  overrun[64 + 4] = 0x40;  // the third entry says 64 bytes; 32 remain
  EXPECT_EQ(numbers(overrun), (std::vector<int64_t>{40, 41}));

  // An entry too short to hold its record reference ends it too.
  Bytes shortEntry = good;
  shortEntry[32 + 4] = 16;
  EXPECT_EQ(numbers(shortEntry), (std::vector<int64_t>{40}));

  // A type of 0 ends the list; a last entry cut short is not read.
  Bytes zeroType = good;
  zeroType[32] = 0;
  EXPECT_EQ(numbers(zeroType), (std::vector<int64_t>{40}));
  Bytes cut(good.begin(), good.begin() + 64 + 20);
  EXPECT_EQ(numbers(cut), (std::vector<int64_t>{40, 41}));
}

TEST(NTFSMultiFileRecord, NonResidentListsOfImpossibleSizesAreRefused) {
  Volume v;
  v.device.Put(60 * 4096, ntfstest::AttributeListContent({{0x10, 40}, {0x80, 41}}));
  auto listOf = [&](int64_t size, int64_t allocated, std::vector<ntfstest::Run> runs) {
    const Bytes base = TestRecord(40)
                           .StandardInformation(0)
                           .NonResidentAttributeList(runs, size, allocated)
                           .FileName(5, u"x")
                           .Data();
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

TEST(NTFSMultiFileRecord, ARecordSplitBetweenTwoMFTRunsHasNoSingleStartSector) {
  // 512-byte clusters: a record is two clusters, which may lie in two runs.
  CNTFSDataRunList mft;
  mft.AddDataRun(CDataRun{100, 0, 3});
  mft.AddDataRun(CDataRun{500, 3, 5});
  EXPECT_EQ(CNTFSMultiFileRecord::GetFileRecordStartSectorfromMFTNumber(0, 1, 0, &mft, 2), 100);
  EXPECT_EQ(CNTFSMultiFileRecord::GetFileRecordStartSectorfromMFTNumber(1, 1, 0, &mft, 2), -1);
  EXPECT_EQ(CNTFSMultiFileRecord::GetFileRecordStartSectorfromMFTNumber(2, 1, 0, &mft, 2), 501);
  EXPECT_EQ(CNTFSMultiFileRecord::GetFileRecordStartSectorfromMFTNumber(4, 1, 0, &mft, 2), -1);  // past the runs
  // 4 KiB clusters: records inside a cluster, shifted by the volume's start.
  CNTFSDataRunList big;
  big.AddDataRun(CDataRun{4, 0, 2});
  big.AddDataRun(CDataRun{90, 2, 2});
  EXPECT_EQ(CNTFSMultiFileRecord::GetFileRecordStartSectorfromMFTNumber(5, 8, 2048, &big, 2), 2048 + 32 + 10);
  EXPECT_EQ(CNTFSMultiFileRecord::GetFileRecordStartSectorfromMFTNumber(9, 8, 2048, &big, 2), 2048 + 720 + 2);
  // Geometry that cannot place a record.
  EXPECT_EQ(CNTFSMultiFileRecord::GetFileRecordStartSectorfromMFTNumber(5, 8, 0, &big, 0), -1);
  EXPECT_EQ(CNTFSMultiFileRecord::GetFileRecordStartSectorfromMFTNumber(5, 0, 0, &big, 2), -1);
  EXPECT_EQ(CNTFSMultiFileRecord::GetFileRecordStartSectorfromMFTNumber(-1, 8, 0, &big, 2), -1);
  EXPECT_EQ(CNTFSMultiFileRecord::GetFileRecordStartSectorfromMFTNumber(INT64_MAX / 2, 8, 0, &big, 2), -1);
  EXPECT_EQ(CNTFSMultiFileRecord::GetFileRecordStartSectorfromMFTNumber(5, 8, 0, nullptr, 2), -1);
}

TEST(NTFSMultiFileRecord, AnInvalidRecordGivesAnInvalidSet) {
  Volume v;
  Bytes broken = BaseWithListNaming(kBaseAnd41);
  broken[0] = 'X';
  CNTFSMultiFileRecord record(broken.data(), 1024, 0, &v.device, nullptr);
  EXPECT_FALSE(record.IsValid());
  EXPECT_EQ(record.GetMainFileRecordIndex(), 0);
  EXPECT_EQ(record.FindAttibute(0x30, 0, nullptr, nullptr), nullptr);
  EXPECT_TRUE(record.FindAllAttributes(0x30).empty());
  CNTFSMultiFileRecord small(broken.data(), 512, 0, &v.device, nullptr);
  EXPECT_FALSE(small.IsValid());
  CNTFSMultiFileRecord none(nullptr, 1024, 0, &v.device, nullptr);
  EXPECT_FALSE(none.IsValid());
}

}  // namespace
