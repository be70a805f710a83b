// Properties of found files built from hand-made record sets, the packed run
// lists they keep, the NTFS node that owns them, and the records the quick
// scan keeps.
#include <gtest/gtest.h>

#include <memory>
#include <random>

#include "NtfsTestRecords.h"
#include "copyout/CCompressFileReader.h"
#include "ntfs/CompressedDataRunList.h"
#include "ntfs/NTFSFileNode.h"
#include "ntfs/NTFSFileProperties.h"
#include "ntfs/NTFSFilePropertiesBuilder.h"
#include "ntfs/NTFSFileRecord.h"
#include "ntfs/NTFSMultiFileRecord.h"
#include "ntfs/NTFSSearchInfo.h"

namespace {

using ntfstest::Bytes;
using ntfstest::MemoryDevice;
using ntfstest::Run;
using ntfstest::TestRecord;

struct ListReleaser {
  void operator()(IDataRunList* list) const {
    if (list != nullptr) list->Release();
  }
};
using ListPtr = std::unique_ptr<IDataRunList, ListReleaser>;

// {start, length} of every run.
using Runs = std::vector<std::pair<int64_t, int64_t>>;
Runs RunsOf(IDataRunList* list) {
  Runs out;
  for (const DataRun* run = list->GetFirst(); run != nullptr; run = list->GetNext()) out.emplace_back(run->start, run->length);
  return out;
}

// Properties of a lone base record at device sector 1000.
std::unique_ptr<CNTFSFileProperties> Build(const Bytes& record, int64_t* parent = nullptr,
                                           int64_t bytesPerCluster = 4096) {
  CNTFSMultiFileRecord set(record.data(), static_cast<uint32_t>(record.size()), 1000, nullptr, nullptr);
  return std::unique_ptr<CNTFSFileProperties>(
      CNTFSFilePropertiesBuilder::BuildFileProperties(1000, set, bytesPerCluster, parent));
}

// ---- names and parents ------------------------------------------------------

TEST(NTFSFileProperties, TheLongNameWinsOverTheShortOneInEitherOrder) {
  auto dosFirst = Build(TestRecord(30)
                            .StandardInformation(0)
                            .FileName(5, u"LONGFI~1.TXT", 2)
                            .FileName(5, u"Long file name.txt", 1)
                            .Data());
  ASSERT_NE(dosFirst, nullptr);
  EXPECT_STREQ(dosFirst->GetFileName(), "Long file name.txt");
  auto longFirst = Build(TestRecord(30)
                             .StandardInformation(0)
                             .FileName(5, u"Long file name.txt", 1)
                             .FileName(5, u"LONGFI~1.TXT", 2)
                             .Data());
  ASSERT_NE(longFirst, nullptr);
  EXPECT_STREQ(longFirst->GetFileName(), "Long file name.txt");
  EXPECT_EQ(longFirst->GetFileNameLength(), 18);
  // Two names of the same kind (hard links): the first.
  auto links = Build(TestRecord(30).StandardInformation(0).FileName(5, u"a.txt", 0).FileName(5, u"b.txt", 0).Data());
  EXPECT_STREQ(links->GetFileName(), "a.txt");
}

TEST(NTFSFileProperties, TheParentIsTheFirstNameAtOrAboveTheRootFolderSecondNameFirst) {
  int64_t parent = -7;
  Build(TestRecord(30).StandardInformation(0).FileName(7, u"a", 1).FileName(3, u"b", 2).Data(), &parent);
  EXPECT_EQ(parent, 7);
  Build(TestRecord(30).StandardInformation(0).FileName(7, u"a", 1).FileName(5, u"b", 2).Data(), &parent);
  EXPECT_EQ(parent, 5);
  Build(TestRecord(30).StandardInformation(0).FileName(2, u"a", 1).Data(), &parent);
  EXPECT_EQ(parent, 2);
}

TEST(NTFSFileProperties, NamesComeOutAsWholeUtf8) {
  // 200 units that take three UTF-8 bytes each.
  const std::u16string cjk(200, u'\u65E5');
  auto p = Build(TestRecord(30).StandardInformation(0).FileName(5, cjk).Data());
  ASSERT_NE(p, nullptr);
  std::string expected;
  for (int i = 0; i < 200; ++i) expected += "\xE6\x97\xA5";
  EXPECT_EQ(std::string(p->GetFileName()), expected);
  EXPECT_EQ(p->GetFileNameLength(), 600);
  // A surrogate pair is one character.
  p = Build(TestRecord(30).StandardInformation(0).FileName(5, u"\U0001F600.txt").Data());
  EXPECT_STREQ(p->GetFileName(), "\xF0\x9F\x98\x80.txt");
}

TEST(NTFSFileProperties, UnitsThatDoNotConvertBecomeReplacementCharactersAndTheRestIsKept) {
  // An unpaired high surrogate in the middle and a lone low one at the end.
  std::u16string name = u"ab";
  name += static_cast<char16_t>(0xD800);
  name += u"cd";
  name += static_cast<char16_t>(0xDC00);
  auto p = Build(TestRecord(30).StandardInformation(0).FileName(5, name).Data());
  ASSERT_NE(p, nullptr);
  EXPECT_STREQ(p->GetFileName(), "ab\xEF\xBF\xBD" "cd\xEF\xBF\xBD");
}

TEST(NTFSFileProperties, ARecordWithoutAUsableNameGivesNoProperties) {
  EXPECT_EQ(Build(TestRecord(30).StandardInformation(0).NonResidentData({{10, 1}}, 0, 10).Data()), nullptr);
  EXPECT_EQ(Build(TestRecord(30).StandardInformation(0).FileName(5, u"").Data()), nullptr);
  Bytes invalid = TestRecord(30).FileName(5, u"x").Data();
  invalid[1] = 'X';
  EXPECT_EQ(Build(invalid), nullptr);
}

// ---- attribute, times, state ------------------------------------------------

TEST(NTFSFileProperties, AttributeBitsAndTimesComeFromTheFileItself) {
  auto p = Build(TestRecord(30)
                     .StandardInformation(0x01 | 0x02 | 0x04 | 0x20 | 0x100 | 0x2000, 111, 222, 444)
                     .FileName(5, u"f", 1, 0, 0, 1, 2, 4)
                     .ResidentData(Bytes(10, 'x'))
                     .Data());
  ASSERT_NE(p, nullptr);
  EXPECT_EQ(p->GetAttribute(), 0x27u);
  EXPECT_EQ(p->GetCreationTime(), 111u);
  EXPECT_EQ(p->GetModificationTime(), 222u);
  EXPECT_EQ(p->GetLastAccessTime(), 444u);
  EXPECT_EQ(p->GetState(), 0);
  EXPECT_EQ(p->GetFileRecordStartSector(), 1000);
  EXPECT_EQ(p->GetFileRecordIndex(), 30);
  EXPECT_EQ(p->GetRawFileCreateTime(), "");

  // Without $STANDARD_INFORMATION the name's times stand.
  p = Build(TestRecord(30, false, true).FileName(5, u"dir", 1, 0x10000000, 0, 7, 8, 9).Data());
  ASSERT_NE(p, nullptr);
  EXPECT_EQ(p->GetAttribute(), 0x10u);
  EXPECT_EQ(p->GetCreationTime(), 7u);
  EXPECT_EQ(p->GetLastAccessTime(), 9u);
  EXPECT_EQ(p->GetState(), CNTFSFileProperties::kStateDeleted);
  EXPECT_EQ(p->GetDataRunList(), nullptr);
}

TEST(NTFSFileProperties, CompressedAndEncryptedDataGiveTheirOwnBitsAndEncryptedWins) {
  auto p = Build(TestRecord(30).StandardInformation(0).FileName(5, u"c").NonResidentData({{10, 16}}, 0, 9000, u"", 0x0001).Data());
  EXPECT_EQ(p->GetAttribute(), 0x800u);
  p = Build(TestRecord(30).StandardInformation(0).FileName(5, u"e").NonResidentData({{10, 2}}, 0, 8000, u"", 0x4000).Data());
  EXPECT_EQ(p->GetAttribute(), 0x40u);
  p = Build(TestRecord(30).StandardInformation(0).FileName(5, u"b").NonResidentData({{10, 2}}, 0, 8000, u"", 0x4001).Data());
  EXPECT_EQ(p->GetAttribute(), 0x40u);
  // A named stream's flags are not the file's.
  p = Build(TestRecord(30)
                .StandardInformation(0)
                .FileName(5, u"s")
                .ResidentData(Bytes(5, 'x'), u"stream", 0x0001)
                .ResidentData(Bytes(7, 'y'))
                .Data());
  EXPECT_EQ(p->GetAttribute(), 0u);
  EXPECT_EQ(p->GetFileSize(), 7u);
}

// ---- data -------------------------------------------------------------------

TEST(NTFSFileProperties, ResidentDataIsFoundInItsRecordAtItsContentOffset) {
  TestRecord r(30);
  r.StandardInformation(0).FileName(5, u"small.txt").ResidentData(Bytes(100, 'r'));
  auto p = Build(r.Data());
  ASSERT_NE(p, nullptr);
  EXPECT_EQ(p->GetFileSize(), 100u);
  ListPtr list(p->GetDataRunList());
  ASSERT_NE(list, nullptr);
  EXPECT_EQ(list->IsResident(), 1);
  EXPECT_EQ(list->GetDataRunListType(), 1);
  EXPECT_EQ(list->GetOffset(), r.LastOffset() + 0x18);
  EXPECT_EQ(RunsOf(list.get()), (Runs{{1000, 1}}));
}

TEST(NTFSFileProperties, NonResidentRunsKeepTheirOrderAndHoles) {
  auto p = Build(TestRecord(30)
                     .StandardInformation(0)
                     .FileName(5, u"f")
                     .NonResidentData({{100, 8}, {-1, 8}, {50, 4}, {51, 2}}, 0, 22 * 4096 - 10)
                     .Data());
  ListPtr list(p->GetDataRunList());
  ASSERT_NE(list, nullptr);
  EXPECT_EQ(list->IsResident(), 0);
  EXPECT_EQ(list->GetDataRunListType(), 2);
  EXPECT_EQ(list->GetOffset(), 0);
  // Contiguous runs stay two runs.
  EXPECT_EQ(RunsOf(list.get()), (Runs{{100, 8}, {-1, 8}, {50, 4}, {51, 2}}));
  EXPECT_EQ(p->GetFileSize(), 22u * 4096 - 10);
  // Each call unpacks a new list.
  ListPtr again(p->GetDataRunList());
  EXPECT_NE(again.get(), list.get());
}

TEST(NTFSFileProperties, TheSizeIsTheDataSizeCappedByTheClustersTheRunsHold) {
  // The name says 0 (ntfs-3g writes that), the data 10000.
  auto p = Build(TestRecord(30).StandardInformation(0).FileName(5, u"f", 1, 0, 0).NonResidentData({{10, 3}}, 0, 10000).Data());
  EXPECT_EQ(p->GetFileSize(), 10000u);
  // A stale, larger size in the name does not add a tail.
  p = Build(TestRecord(30).StandardInformation(0).FileName(5, u"f", 1, 0, 50000).NonResidentData({{10, 3}}, 0, 10000).Data());
  EXPECT_EQ(p->GetFileSize(), 10000u);
  // Data that claims more than its clusters hold is cut to them.
  p = Build(TestRecord(30).StandardInformation(0).FileName(5, u"f").NonResidentData({{10, 3}}, 0, 90000).Data());
  EXPECT_EQ(p->GetFileSize(), 3u * 4096);
  // Size 0 everywhere but three clusters of runs: the clusters.
  p = Build(TestRecord(30).StandardInformation(0).FileName(5, u"f").NonResidentData({{10, 3}}, 0, 0).Data());
  EXPECT_EQ(p->GetFileSize(), 12288u);
  // Without a usable cluster size there is nothing to cap with.
  p = Build(TestRecord(30).StandardInformation(0).FileName(5, u"f").NonResidentData({{10, 3}}, 0, 90000).Data(),
            nullptr, 1000);
  EXPECT_EQ(p->GetFileSize(), 90000u);
}

TEST(NTFSFileProperties, PiecesInOtherRecordsAreJoinedInVcnOrderAndMissingPiecesBecomeHoles) {
  MemoryDevice device(Bytes(1 << 20, 0));
  CNTFSDataRunList mft;
  mft.AddDataRun(CDataRun{4, 0, 16});
  auto put = [&](int64_t n, const Bytes& b) { device.Put(static_cast<uint64_t>(32 + 2 * n) * 512, b); };
  // VCNs 0-9 in the base record, 20-29 in record 42, 10-19 in record 41 (listed last).
  const Bytes base = TestRecord(40)
                         .StandardInformation(0)
                         .AttributeList(ntfstest::AttributeListContent(
                             {{0x10, 40}, {0x30, 40}, {0x80, 40}, {0x80, 42, 20}, {0x80, 41, 10}}))
                         .FileName(5, u"pieces.bin")
                         .NonResidentData({{100, 10}}, 0, 30 * 4096)
                         .Data();
  put(42, TestRecord(42, true, false, 40).NonResidentData({{300, 10}}, 20, 0).Data());
  const Bytes piece41 = TestRecord(41, true, false, 40).NonResidentData({{200, 4}, {210, 6}}, 10, 0).Data();
  put(41, piece41);
  auto build = [&] {
    auto list = CNTFSMultiFileRecord::InitExtendFileRecord(base.data(), 1024, 32 + 80, 8, 0, device, &mft, 2);
    CNTFSMultiFileRecord set(base.data(), 1024, 32 + 80, &device, list.get());
    return std::unique_ptr<CNTFSFileProperties>(
        CNTFSFilePropertiesBuilder::BuildFileProperties(32 + 80, set, 4096, nullptr));
  };
  auto p = build();
  ASSERT_NE(p, nullptr);
  ListPtr list(p->GetDataRunList());
  EXPECT_EQ(RunsOf(list.get()), (Runs{{100, 10}, {200, 4}, {210, 6}, {300, 10}}));
  EXPECT_EQ(p->GetFileSize(), 30u * 4096);

  // Record 41 reused by another file: VCNs 10-19 are unknown and read as a
  // hole, so the data of VCNs 20-29 stays where it belongs.
  put(41, TestRecord(41).StandardInformation(0).FileName(5, u"other").NonResidentData({{700, 10}}, 0, 4096).Data());
  p = build();
  list.reset(p->GetDataRunList());
  EXPECT_EQ(RunsOf(list.get()), (Runs{{100, 10}, {-1, 10}, {300, 10}}));
  EXPECT_STREQ(p->GetFileName(), "pieces.bin");
}

TEST(NTFSFileProperties, ANegativeSizeIsTakenFromTheRunsWhenAsked) {
  auto p = Build(TestRecord(30).StandardInformation(0).FileName(5, u"f").NonResidentData({{10, 3}, {-1, 2}}, 0, 9).Data());
  p->SetFileSize(-1);
  EXPECT_EQ(p->GetFileSize(), 0u);  // unknown reads as 0
  CNTFSFilePropertiesBuilder::AdjustFileSizeAccordinttoDataRunsWhenFileSizeLessThanZero(p.get(), 8);
  EXPECT_EQ(p->GetSize(), 5 * 8 * 512);
  // Resident data and known sizes are left alone.
  auto r = Build(TestRecord(30).StandardInformation(0).FileName(5, u"r").ResidentData(Bytes(3, 'x')).Data());
  r->SetFileSize(-1);
  CNTFSFilePropertiesBuilder::AdjustFileSizeAccordinttoDataRunsWhenFileSizeLessThanZero(r.get(), 8);
  EXPECT_EQ(r->GetSize(), -1);
  p->SetFileSize(100);
  CNTFSFilePropertiesBuilder::AdjustFileSizeAccordinttoDataRunsWhenFileSizeLessThanZero(p.get(), 8);
  EXPECT_EQ(p->GetSize(), 100);
  CNTFSFilePropertiesBuilder::AdjustFileSizeAccordinttoDataRunsWhenFileSizeLessThanZero(nullptr, 8);
}

TEST(NTFSFileProperties, ACloneOwnsItsOwnNameRunsAndExtensionList) {
  auto p = Build(TestRecord(30).StandardInformation(0).FileName(5, u"orig").NonResidentData({{10, 3}}, 0, 9).Data());
  p->SetExtendFileRecordInfoList(std::make_unique<CExtendFileRecordInfoList>(CExtendFileRecordInfoList{{64, 41}}));
  std::unique_ptr<IFileProperties> copy(p->Clone());
  p->SetFileName("changed");
  p->SetDataRunList(ListPtr(new CNoneResidentNTFSDataRunList()).get());  // no runs: keeps nothing
  p.reset();
  EXPECT_STREQ(copy->GetFileName(), "orig");
  ListPtr list(copy->GetDataRunList());
  EXPECT_EQ(RunsOf(list.get()), (Runs{{10, 3}}));
  auto* ntfs = dynamic_cast<CNTFSFileProperties*>(copy.get());
  ASSERT_NE(ntfs->GetExtendFileRecordInfoList(), nullptr);
  EXPECT_EQ(ntfs->GetExtendFileRecordInfoList()->at(0).recordNumber, 41);
}

TEST(NTFSFileProperties, SetFileNameKeepsACopyAndCountsTheTerminator) {
  std::unique_ptr<CNTFSFileProperties> p(CNTFSFileProperties::Create());
  EXPECT_EQ(p->GetFileName(), nullptr);
  EXPECT_EQ(p->GetDataRunList(), nullptr);
  char name[] = "abc";
  p->SetFileName(name);
  name[0] = 'x';
  EXPECT_STREQ(p->GetFileName(), "abc");
  EXPECT_EQ(p->GetFileNameLength(), 4);
  p->SetFileName(nullptr);
  EXPECT_STREQ(p->GetFileName(), "abc");
  CNTFSFileProperties::Destory(p.release());
}

// ---- packed run lists -------------------------------------------------------

TEST(CCompressedDataRunList, PacksAsMappingPairsWithSparseRunsWithoutOffsets) {
  CNoneResidentNTFSDataRunList list;
  list.AddDataRun(DataRun{100, 8});
  list.AddDataRun(DataRun{-1, 8});
  list.AddDataRun(DataRun{50, 4});
  std::unique_ptr<CCompressedDataRunList> packed(CCompressedDataRunList::Compress(&list));
  ASSERT_NE(packed, nullptr);
  EXPECT_EQ(packed->GetBytes(), (Bytes{0x11, 0x08, 0x64, 0x01, 0x08, 0x11, 0x04, 0xCE, 0x00}));
  EXPECT_EQ(packed->GetCompressedDataRunSize(), 9);
  // The same bytes an independent encoder writes.
  EXPECT_EQ(packed->GetBytes(), ntfstest::MappingPairs({{100, 8}, {-1, 8}, {50, 4}}));
  ListPtr back(packed->Decompress());
  EXPECT_EQ(RunsOf(back.get()), (Runs{{100, 8}, {-1, 8}, {50, 4}}));
}

TEST(CCompressedDataRunList, RandomListsRoundTrip) {
  std::mt19937_64 rng(20240612);
  for (int trial = 0; trial < 2000; ++trial) {
    CNoneResidentNTFSDataRunList list;
    Runs expected;
    const int runs = 1 + static_cast<int>(rng() % 40);
    for (int i = 0; i < runs; ++i) {
      DataRun run;
      const int bits = 1 + static_cast<int>(rng() % 40);  // lengths up to 2^40 clusters
      run.length = 1 + static_cast<int64_t>(rng() % (uint64_t{1} << bits));
      switch (rng() % 4) {
        case 0: run.start = -1; break;                                             // sparse
        case 1: run.start = static_cast<int64_t>(rng() % 1000); break;             // near the start
        case 2: run.start = static_cast<int64_t>(rng() >> 2); break;               // anywhere, deltas past 2^31
        default: run.start = (int64_t{1} << 31) + static_cast<int64_t>(rng() % 5); break;  // just past 2^31
      }
      if (run.start >= 0 && run.start > INT64_MAX - run.length) run.start = INT64_MAX - run.length;
      list.AddDataRun(run);
      expected.emplace_back(run.start, run.length);
    }
    std::unique_ptr<CCompressedDataRunList> packed(CCompressedDataRunList::Compress(&list));
    ASSERT_NE(packed, nullptr) << trial;
    ListPtr back(packed->Decompress());
    ASSERT_NE(back, nullptr) << trial;
    ASSERT_EQ(RunsOf(back.get()), expected) << trial;
  }
}

TEST(CCompressedDataRunList, ResidentListsKeepTheirOffsetAndOnlyPackableListsArePacked) {
  CResidentNTFSDataRunList resident(123456789, 1, 0x1B0);
  std::unique_ptr<CCompressedDataRunList> packed(CCompressedDataRunList::Compress(&resident));
  ASSERT_NE(packed, nullptr);
  EXPECT_EQ(packed->GetResidentOffset(), 0x1B0);
  ListPtr back(packed->Decompress());
  EXPECT_EQ(back->IsResident(), 1);
  EXPECT_EQ(back->GetOffset(), 0x1B0);
  EXPECT_EQ(RunsOf(back.get()), (Runs{{123456789, 1}}));
  ListPtr clone(back->Clone());
  EXPECT_EQ(clone->GetOffset(), 0x1B0);
  EXPECT_EQ(clone->GetDataRunListType(), 1);

  CResidentNTFSDataRunList noOffset(10, 1, 0);
  EXPECT_EQ(CCompressedDataRunList::Compress(&noOffset), nullptr);
  EXPECT_EQ(CCompressedDataRunList::Compress(nullptr), nullptr);
  CNoneResidentNTFSDataRunList empty;
  EXPECT_EQ(CCompressedDataRunList::Compress(&empty), nullptr);
  CNoneResidentNTFSDataRunList overflowing;
  overflowing.AddDataRun(DataRun{INT64_MAX - 2, 10});
  EXPECT_EQ(CCompressedDataRunList::Compress(&overflowing), nullptr);
  // A generic list (which merges contiguous runs) packs too.
  CDataRunList generic;
  const DataRun first{5, 2};
  generic.AddDataRun(&first);
  const DataRun next{7, 3};
  generic.AddDataRun(&next);
  packed.reset(CCompressedDataRunList::Compress(&generic));
  back.reset(packed->Decompress());
  EXPECT_EQ(RunsOf(back.get()), (Runs{{5, 5}}));
}

TEST(CNoneResidentNTFSDataRunList, KeepsContiguousRunsApartAndClonesKeepThemToo) {
  CNoneResidentNTFSDataRunList list;
  list.AddDataRun(DataRun{10, 2});
  const DataRun next{12, 2};
  list.AddDataRun(&next);
  ListPtr clone(list.Clone());
  EXPECT_EQ(clone->GetDataRunListType(), 2);
  EXPECT_EQ(RunsOf(clone.get()), (Runs{{10, 2}, {12, 2}}));
  EXPECT_EQ(RunsOf(&list), (Runs{{10, 2}, {12, 2}}));
}

// ---- the node ---------------------------------------------------------------

TEST(CNTFSFileNode, TakesItsFieldsFromItsPropertiesAndOwnsThem) {
  auto p = Build(TestRecord(30, false)
                     .StandardInformation(0x21)
                     .FileName(5, u"..  .hidden.txt", 1, 0, 0)
                     .NonResidentData({{10, 3}}, 0, 9000, u"", 0x0001)
                     .Data());
  ASSERT_NE(p, nullptr);
  CNTFSFileNode* node = new CNTFSFileNode();
  node->SetFileProperties(p.release());
  EXPECT_EQ(node->GetCurrentNodeID(), 0);
  EXPECT_EQ(node->GetParentNodeID(), 5);
  EXPECT_EQ(node->GetMetadataStartPosition(), 1000);
  EXPECT_EQ(static_cast<CFileNode*>(node)->GetMetadataStartPosition(), 1000);
  EXPECT_STREQ(node->GetFileName(), "..  .hidden.txt");
  EXPECT_EQ(node->GetFileSize(), 9000u);
  EXPECT_EQ(node->GetAttribute(), 0x821u);
  EXPECT_EQ(node->IsCompressed(), 1);
  EXPECT_EQ(node->IsDirectory(), 0);
  EXPECT_EQ(node->IsDeleted(), 1);
  EXPECT_EQ(node->GetSearcheType(), SEARCHER_TYPE_NTFS);
  ASSERT_NE(node->GetDataRunList(), nullptr);
  EXPECT_EQ(RunsOf(node->GetDataRunList()), (Runs{{10, 3}}));

  node->FilterFileNameByDot();
  EXPECT_STREQ(node->GetFileName(), "hidden.txt");

  // A clone is independent of the node it came from.
  std::unique_ptr<IFileNode, void (*)(IFileNode*)> clone(node->Clone(), [](IFileNode* n) { n->Release(); });
  auto* copy = static_cast<CNTFSFileNode*>(clone.get());
  ASSERT_NE(copy->GetFileProperties(), node->GetFileProperties());
  copy->GetFileProperties()->SetFileName("renamed");
  EXPECT_STREQ(node->GetFileName(), "hidden.txt");
  node->Release();
  EXPECT_STREQ(copy->GetFileName(), "renamed");
  EXPECT_EQ(RunsOf(copy->GetDataRunList()), (Runs{{10, 3}}));
}

TEST(CNTFSFileNode, FoldersMarksAndTheCompressedReader) {
  CNTFSFileNode node;
  EXPECT_EQ(node.GetFileName(), nullptr);
  EXPECT_EQ(node.GetFileSize(), 0u);
  EXPECT_EQ(node.IsDeleted(), 0);
  node.MarkDeleted();  // nothing to mark yet
  node.SetFileProperties(Build(TestRecord(30, true, true).StandardInformation(0).FileName(9, u"dir", 1, 0x10000000).Data()).release());
  EXPECT_EQ(node.IsDirectory(), 1);
  EXPECT_EQ(node.GetDataRunList(), nullptr);
  EXPECT_EQ(node.IsDeleted(), 0);
  node.MarkDeleted();
  EXPECT_EQ(node.IsDeleted(), 1);
  // New properties replace (and free) the old ones.
  node.SetFileProperties(Build(TestRecord(31).StandardInformation(0).FileName(9, u"file").ResidentData(Bytes(4, 'x'))
                                   .Data())
                             .release());
  EXPECT_STREQ(node.GetFileName(), "file");
  EXPECT_EQ(node.GetDataRunList()->IsResident(), 1);
  node.SetMetadataStartPosition(int64_t{1} << 45);
  EXPECT_EQ(node.GetMetadataStartPosition(), int64_t{1} << 45);

  CCommonFileRecordInfo info;
  node.SetPrivateDataofSpecifiedFileSystem(&info);
  EXPECT_EQ(node.GetPrivateDataofSpecifiedFileSystem(), &info);

  IFileReader* reader = node.CreateCompressFileReader(nullptr);
  ASSERT_NE(reader, nullptr);
  EXPECT_NE(dynamic_cast<CCompressFileReader*>(reader), nullptr);
  reader->Release();
}

// ---- search records ---------------------------------------------------------

TEST(CCommonFileRecordInfo, TakesItsParentFromANameAtOrAboveTheRootFolder) {
  CCommonFileRecordInfo info;
  Bytes single = TestRecord(30).StandardInformation(0).FileName(3, u"x").Data();
  ASSERT_TRUE(info.InitFromBuffer(single.data(), 1024, 77));
  EXPECT_EQ(info.GetFileRecordNumberofParentDirectory(), -1);
  EXPECT_EQ(info.GetMFTFileRecordNumber(), 30);
  EXPECT_EQ(info.GetSectorAddress(), 77);
  EXPECT_FALSE(info.IsDirectory());
  Bytes pair = TestRecord(31, true, true).StandardInformation(0).FileName(8, u"a", 1).FileName(9, u"b", 2).Data();
  ASSERT_TRUE(info.InitFromBuffer(pair.data(), 1024, 78));
  EXPECT_EQ(info.GetFileRecordNumberofParentDirectory(), 9);
  EXPECT_TRUE(info.IsDirectory());
  Bytes low = TestRecord(32).StandardInformation(0).FileName(8, u"a", 1).FileName(4, u"b", 2).Data();
  ASSERT_TRUE(info.InitFromBuffer(low.data(), 1024, 79));
  EXPECT_EQ(info.GetFileRecordNumberofParentDirectory(), 8);
  low[0] = 0;
  EXPECT_FALSE(info.InitFromBuffer(low.data(), 1024, 80));
}

TEST(CMFTInfo, NeedsAClusterSizeItCanGuessAndRunsThatStartTheTable) {
  // 64 records of 1 KiB in 16 clusters of 4 KiB.
  Bytes mft = TestRecord(0).StandardInformation(6).FileName(5, u"$MFT").NonResidentData({{4, 16}}, 0, 65536).Data();
  CMFTInfo info;
  ASSERT_TRUE(info.InitFromBuffer(mft.data(), 1024, 32, 512));
  EXPECT_EQ(info.GetSectorsPerCluster(), 8);
  EXPECT_EQ(info.GetFirstClusterNO(), 4);
  EXPECT_EQ(info.GetSectorsPerFileRecord(), 2);
  EXPECT_EQ(info.GetSectorAddress(), 32);
  CNTFSFileRecord view(mft.data(), 1024, 0);
  std::unique_ptr<CMFTInfo> built(CMFTInfo::Build(view, 32, 512));
  ASSERT_NE(built, nullptr);
  CNTFSDataRunList copy;
  built->GetNTFSDataRunList(copy);
  EXPECT_TRUE(copy.IsEqual(info.GetDataRunList()));

  // 256 sectors per cluster cannot be.
  Bytes huge = TestRecord(0).StandardInformation(6).FileName(5, u"$MFT").NonResidentData({{4, 1}}, 0, 131072).Data();
  EXPECT_FALSE(CMFTInfo().InitFromBuffer(huge.data(), 1024, 32, 512));
  // A table whose first cluster is a hole cannot be read from its start.
  Bytes holed = TestRecord(0).StandardInformation(6).FileName(5, u"$MFT").NonResidentData({{-1, 1}, {4, 15}}, 0, 65536).Data();
  CNTFSFileRecord holedView(holed.data(), 1024, 0);
  EXPECT_TRUE(CMFTInfo().InitFromBuffer(holedView, 32, 512));
  EXPECT_EQ(CMFTInfo::Build(holedView, 32, 512), nullptr);
}

TEST(CMetaFileInfo, KeepsTheRunsSectorAndSequenceNumberOfAMetafileRecord) {
  Bytes log = TestRecord(2).StandardInformation(6).FileName(5, u"$LogFile").NonResidentData({{4096, 512}}, 0, 2 << 20).Data();
  CMetaFileInfo a, b;
  ASSERT_TRUE(a.InitFromBuffer(log.data(), 1024, 36));
  EXPECT_EQ(a.GetFirstClusterNO(), 4096);
  EXPECT_EQ(a.GetLogFileSequenceNumber(), 0x1234u);
  EXPECT_EQ(a.GetSectorAddress(), 36);
  ASSERT_TRUE(b.InitFromBuffer(log.data(), 1024, 36));
  EXPECT_TRUE(a.Equals(b));
  ASSERT_TRUE(b.InitFromBuffer(log.data(), 1024, 38));
  EXPECT_FALSE(a.Equals(b));
  // No runs, no record.
  Bytes resident = TestRecord(4).StandardInformation(6).FileName(5, u"$AttrDef").ResidentData(Bytes(16, 1)).Data();
  EXPECT_FALSE(CMetaFileInfo().InitFromBuffer(resident.data(), 1024, 40));
  Bytes noData = TestRecord(4).StandardInformation(6).FileName(5, u"$AttrDef").Data();
  EXPECT_FALSE(CMetaFileInfo().InitFromBuffer(noData.data(), 1024, 40));
}

TEST(CIsMetaFileRecord, RecordsBelow25AreTheVolumesOwn) {
  EXPECT_TRUE(CIsMetaFileRecord::IsMetaFileRecord(int64_t{0}));
  EXPECT_TRUE(CIsMetaFileRecord::IsMetaFileRecord(int64_t{24}));
  EXPECT_FALSE(CIsMetaFileRecord::IsMetaFileRecord(int64_t{25}));
  Bytes mft = TestRecord(0).StandardInformation(6).FileName(5, u"$MFT").NonResidentData({{4, 16}}, 0, 65536).Data();
  EXPECT_TRUE(CIsMetaFileRecord::IsMetaFileRecord(mft.data(), 1024));
  EXPECT_FALSE(CIsMetaFileRecord::IsMetaFileRecord(mft.data(), 512));
  EXPECT_FALSE(CIsMetaFileRecord::IsMetaFileRecord(nullptr, 1024));
}

}  // namespace
