// Properties of found files built from hand-made record sets (the hostile
// cases the images cannot show), the packed run lists they keep and the NTFS
// node that owns them.
#include <gtest/gtest.h>

#include <memory>
#include <random>

#include "NtfsTestRecords.h"
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
  for (const DataRun* run = list->GetFirst(); run != nullptr; run = list->GetNext())
    out.emplace_back(run->start, run->length);
  return out;
}

// Properties of a lone base record at device sector 1000.
std::unique_ptr<CNTFSFileProperties> Build(const Bytes& record, int64_t* parent = nullptr,
                                           int64_t bytesPerCluster = 4096) {
  CNTFSMultiFileRecord set(record.data(), static_cast<uint32_t>(record.size()), 1000, nullptr, nullptr);
  return std::unique_ptr<CNTFSFileProperties>(
      CNTFSFilePropertiesBuilder::BuildFileProperties(1000, set, bytesPerCluster, parent));
}

TestRecord Named(const std::u16string& name, uint64_t parent = 5, uint8_t nameSpace = 1) {
  TestRecord r(30);
  r.StandardInformation(0).FileName(parent, name, nameSpace);
  return r;
}

// ---- names and parents ------------------------------------------------------

TEST(NTFSFileProperties, NamesThatDoNotConvertOrAreMissingOrBelowTheRoot) {
  // An unpaired high surrogate in the middle and a lone low one at the end
  // become replacement characters; the rest is kept.
  std::u16string name = u"ab";
  name += static_cast<char16_t>(0xD800);
  name += u"cd";
  name += static_cast<char16_t>(0xDC00);
  auto p = Build(Named(name).Data());
  ASSERT_NE(p, nullptr);
  EXPECT_STREQ(p->GetFileName(),
               "ab\xEF\xBF\xBD"
               "cd\xEF\xBF\xBD");
  EXPECT_EQ(p->GetFileNameLength(), 10);
  // Without a usable name there are no properties.
  EXPECT_EQ(Build(TestRecord(30).StandardInformation(0).NonResidentData({{10, 1}}, 0, 10).Data()), nullptr);
  EXPECT_EQ(Build(Named(u"").Data()), nullptr);
  Bytes invalid = Named(u"x").Data();
  invalid[1] = 'X';
  EXPECT_EQ(Build(invalid), nullptr);
  // The parent: the first name at or above the root folder, second name first.
  struct Case {
    uint64_t first, second;
    int64_t parent;
  };
  for (const Case& c : {Case{7, 3, 7}, Case{7, 5, 5}, Case{2, 0, 2}}) {
    TestRecord r(30);
    r.StandardInformation(0).FileName(c.first, u"a", 1);
    if (c.second != 0) r.FileName(c.second, u"b", 2);
    int64_t parent = -7;
    Build(r.Data(), &parent);
    EXPECT_EQ(parent, c.parent) << c.first << "," << c.second;
  }
}

// ---- attribute and size -------------------------------------------------------

TEST(NTFSFileProperties, EncryptedWinsOverCompressedAndANamedStreamsFlagsAreNotTheFiles) {
  struct Case {
    uint16_t flags;
    uint32_t attribute;
  };
  for (const Case& c : {Case{0x0001, 0x800}, Case{0x4000, 0x40}, Case{0x4001, 0x40}}) {
    auto p = Build(Named(u"c").NonResidentData({{10, 16}}, 0, 9000, u"", c.flags).Data());
    EXPECT_EQ(p->GetAttribute(), c.attribute) << c.flags;
  }
  auto p = Build(Named(u"s").ResidentData(Bytes(5, 'x'), u"stream", 0x0001).ResidentData(Bytes(7, 'y')).Data());
  EXPECT_EQ(p->GetAttribute(), 0u);
  EXPECT_EQ(p->GetFileSize(), 7u);
}

TEST(NTFSFileProperties, TheSizeIsTheDataSizeCappedByTheClustersTheRunsHold) {
  struct Case {
    const char* what;
    int64_t nameSize, dataSize, clusterBytes;
    uint64_t expected;
  };
  const Case cases[] = {
      {"the name says 0 (ntfs-3g writes that)", 0, 10000, 4096, 10000},
      {"a stale, larger size in the name adds no tail", 50000, 10000, 4096, 10000},
      {"data that claims more than its clusters hold", 0, 90000, 4096, 3 * 4096},
      {"size 0 everywhere but three clusters of runs", 0, 0, 4096, 3 * 4096},
      {"no usable cluster size to cap with", 0, 90000, 1000, 90000},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    auto p = Build(TestRecord(30)
                       .StandardInformation(0)
                       .FileName(5, u"f", 1, 0, c.nameSize)
                       .NonResidentData({{10, 3}}, 0, c.dataSize)
                       .Data(),
                   nullptr, c.clusterBytes);
    EXPECT_EQ(p->GetFileSize(), c.expected);
  }
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
  put(41, TestRecord(41, true, false, 40).NonResidentData({{200, 4}, {210, 6}}, 10, 0).Data());
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

// ---- packed run lists -------------------------------------------------------

TEST(CCompressedDataRunList, PacksAsMappingPairsWithSparseRunsWithoutOffsets) {
  CNoneResidentNTFSDataRunList list;
  list.AddDataRun(DataRun{100, 8});
  list.AddDataRun(DataRun{-1, 8});
  list.AddDataRun(DataRun{50, 4});
  std::unique_ptr<CCompressedDataRunList> packed(CCompressedDataRunList::Compress(&list));
  ASSERT_NE(packed, nullptr);
  EXPECT_EQ(packed->GetBytes(), ntfstest::MappingPairs({{100, 8}, {-1, 8}, {50, 4}}));
  // A resident list keeps its record sector and content offset.
  CResidentNTFSDataRunList resident(123456789, 1, 0x1B0);
  packed.reset(CCompressedDataRunList::Compress(&resident));
  ASSERT_NE(packed, nullptr);
  ListPtr back(packed->Decompress());
  EXPECT_EQ(back->IsResident(), 1);
  EXPECT_EQ(back->GetOffset(), 0x1B0);
  EXPECT_EQ(RunsOf(back.get()), (Runs{{123456789, 1}}));
  // What cannot be packed is refused.
  CResidentNTFSDataRunList noOffset(10, 1, 0);
  EXPECT_EQ(CCompressedDataRunList::Compress(&noOffset), nullptr);
  EXPECT_EQ(CCompressedDataRunList::Compress(nullptr), nullptr);
  CNoneResidentNTFSDataRunList empty;
  EXPECT_EQ(CCompressedDataRunList::Compress(&empty), nullptr);
  CNoneResidentNTFSDataRunList overflowing;
  overflowing.AddDataRun(DataRun{INT64_MAX - 2, 10});
  EXPECT_EQ(CCompressedDataRunList::Compress(&overflowing), nullptr);
}

// (Random lists round trip in the multi-record fuzz target.)

// ---- the node ---------------------------------------------------------------

TEST(CNTFSFileNode, NodesAndPropertiesCloneIndependently) {
  auto p = Build(TestRecord(30, false)
                     .StandardInformation(0x21)
                     .FileName(5, u"..  .hidden.txt", 1, 0, 0)
                     .NonResidentData({{10, 3}}, 0, 9000, u"", 0x0001)
                     .Data());
  ASSERT_NE(p, nullptr);
  p->SetExtendFileRecordInfoList(std::make_unique<CExtendFileRecordInfoList>(CExtendFileRecordInfoList{{64, 41}}));
  CNTFSFileNode* node = new CNTFSFileNode();
  node->SetFileProperties(p.release());
  EXPECT_EQ(node->GetParentNodeID(), 5);
  EXPECT_EQ(node->GetAttribute(), 0x821u);
  EXPECT_EQ(node->IsDeleted(), 1);
  node->FilterFileNameByDot();
  EXPECT_STREQ(node->GetFileName(), "hidden.txt");

  std::unique_ptr<IFileNode, void (*)(IFileNode*)> clone(node->Clone(), [](IFileNode* n) { n->Release(); });
  auto* copy = static_cast<CNTFSFileNode*>(clone.get());
  ASSERT_NE(copy->GetFileProperties(), node->GetFileProperties());
  copy->GetFileProperties()->SetFileName("renamed");
  EXPECT_STREQ(node->GetFileName(), "hidden.txt");
  dynamic_cast<CNTFSFileProperties*>(node->GetFileProperties())
      ->SetDataRunList(ListPtr(new CNoneResidentNTFSDataRunList()).get());
  node->Release();
  EXPECT_STREQ(copy->GetFileName(), "renamed");
  EXPECT_EQ(RunsOf(copy->GetDataRunList()), (Runs{{10, 3}}));
  CNTFSFileNode bare;
  bare.MarkDeleted();  // nothing to mark yet
  EXPECT_EQ(bare.GetFileName(), nullptr);
  auto* props = dynamic_cast<CNTFSFileProperties*>(copy->GetFileProperties());
  ASSERT_NE(props->GetExtendFileRecordInfoList(), nullptr);
  EXPECT_EQ(props->GetExtendFileRecordInfoList()->at(0).recordNumber, 41);
}

// ---- search records ---------------------------------------------------------

TEST(CMFTInfo, NeedsAClusterSizeItCanGuessAndRunsThatStartTheTable) {
  // 256 sectors per cluster cannot be.
  Bytes huge = TestRecord(0).StandardInformation(6).FileName(5, u"$MFT").NonResidentData({{4, 1}}, 0, 131072).Data();
  EXPECT_FALSE(CMFTInfo().InitFromBuffer(huge.data(), 1024, 32, 512));
  // A table whose first cluster is a hole cannot be read from its start.
  Bytes holed =
      TestRecord(0).StandardInformation(6).FileName(5, u"$MFT").NonResidentData({{-1, 1}, {4, 15}}, 0, 65536).Data();
  CNTFSFileRecord holedView(holed.data(), 1024, 0);
  EXPECT_TRUE(CMFTInfo().InitFromBuffer(holedView, 32, 512));
  EXPECT_EQ(CMFTInfo::Build(holedView, 32, 512), nullptr);
  // No runs, no metafile record.
  Bytes resident = TestRecord(4).StandardInformation(6).FileName(5, u"$AttrDef").ResidentData(Bytes(16, 1)).Data();
  EXPECT_FALSE(CMetaFileInfo().InitFromBuffer(resident.data(), 1024, 40));
}

}  // namespace
