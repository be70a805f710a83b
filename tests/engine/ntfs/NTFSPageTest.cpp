// Index pages, log record pages, metafile records and the cluster-number
// test on hand-made data laid out as the published format describes it: the
// damaged and hostile cases. Real pages (ntfs-3g's folders, the log
// generator's pages) are checked in NTFSNodeFixtureTest.cpp.
#include <gtest/gtest.h>

#include <cstring>
#include <functional>

#include "NtfsTestRecords.h"
#include "OnDiskBytes.h"
#include "ntfs/IndexRecord.h"
#include "ntfs/MetaFileRecordTypeAnalyzer.h"
#include "ntfs/NTFSBytes.h"
#include "ntfs/NTFSFileRecord.h"
#include "ntfs/NTFSFileRecordAnalyzer.h"
#include "ntfs/RCRDRecord.h"

namespace {

using ntfstest::Bytes;
using ntfstest::IndexEntry;
using ntfstest::TestRecord;

bool Valid(const Bytes& page) { return CIndexRecord::IsValid(page.data(), static_cast<int>(page.size())); }

size_t EntryAt(const Bytes& page, int index) {
  size_t pos = CStandardIndexHeader::GetOffsetofIndexEntries(page.data());
  for (int i = 0; i < index; ++i) pos += ondisk::Le16(page.data() + pos + 8);
  return pos;
}

// `page` with a change made under its update sequence.
Bytes Edited(Bytes page, const std::function<void(Bytes&)>& change) {
  EXPECT_TRUE(CIndexRecord::UnfixupIndexRecord(page.data(), static_cast<int>(page.size())));
  change(page);
  EXPECT_TRUE(CIndexRecord::FixupIndexRecord(page.data(), static_cast<int>(page.size())));
  return page;
}

Bytes With(Bytes page, size_t at, uint32_t value, int bytes) {
  std::memcpy(page.data() + at, &value, static_cast<size_t>(bytes));
  return page;
}

TEST(CIndexRecord, APageIsValidOnlyWhenItsEntriesNameOneFolderAndLieInsideIt) {
  const Bytes page = ntfstest::IndexPage({{77, u"a.txt"}, {77, u"b.txt"}, {77, u"c.txt"}}, 4096, 24);
  Bytes copy = page;
  EXPECT_TRUE(CIndexRecord::IsValid(copy.data(), 4096));
  EXPECT_EQ(CIndexRecord::GetParentFileReference(copy.data(), 4096), 77);
  EXPECT_EQ(CIndexRecord::GetVCN(copy.data()), 24);
  EXPECT_EQ(copy, page);
  IndexEntry pointer{99, u"m"};
  pointer.flags = 1;
  IndexEntry oversized{77, u"b"};
  oversized.real = 5000;
  Bytes torn = ntfstest::IndexPage({{77, u"a"}});
  torn[3 * 512 + 510] ^= 1;
  const Bytes two = ntfstest::IndexPage({{77, u"a"}, {77, u"b"}});
  struct Case {
    const char* what;
    Bytes page;
    bool valid;
  };
  const Case cases[] = {
      {"no entries", ntfstest::IndexPage({}), true},
      {"a 2 KiB page", ntfstest::IndexPage({{77, u"a"}}, 2048), true},
      {"sub-node pointers are not compared", ntfstest::IndexPage({{77, u"a"}, pointer, {77, u"z"}}), true},
      {"two folders", ntfstest::IndexPage({{77, u"a"}, {78, u"b"}}), false},
      {"two sequence numbers", Edited(two, [](Bytes& p) { p[EntryAt(p, 1) + 16 + 6] = 9; }), false},
      {"a key whose real size exceeds its allocated size", ntfstest::IndexPage({{77, u"a"}, oversized}), false},
      {"torn", torn, false},
      {"an update sequence of eight words", With(ntfstest::IndexPage({{77, u"a"}}), 6, 8, 2), false},
      {"an entry past the page", Edited(two, [](Bytes& p) { ondisk::StoreLe16(p.data() + EntryAt(p, 1) + 8, 0xFFF8); }),
       false},
      {"an entry shorter than its key",
       Edited(two, [](Bytes& p) { ondisk::StoreLe16(p.data() + EntryAt(p, 0) + 8, 40); }), false},
      {"a zero-length last entry ends the walk",
       Edited(ntfstest::IndexPage({{77, u"a"}, {77, u"b"}, {78, u"c"}}),
              [](Bytes& p) { ondisk::StoreLe16(p.data() + EntryAt(p, 2) + 8, 0); }),
       true},
      {"entries end past the page", With(two, 0x1C, 8000, 4), false},
      {"entries start after they end", With(two, 0x18, 4000, 4), false},
      {"update-sequence offset 0x28", With(two, 4, 0x28, 2), true},
      {"update-sequence offset below 40", With(two, 4, 39, 2), false},
      {"update-sequence offset above 256", With(two, 4, 257, 2), false},
      {"more than 16 words", With(two, 6, 17, 2), false},
      {"no words", With(two, 6, 0, 2), false},
      {"allocated beyond the buffer", With(two, 0x20, 8192, 4), false},
      {"\"HNDX\"", With(two, 0, 0x58444E48, 4), false},
  };
  for (const Case& c : cases) EXPECT_EQ(Valid(c.page), c.valid) << c.what;
  EXPECT_EQ(CIndexRecord::GetParentFileReference(cases[3].page.data(), 4096), -1);
  EXPECT_FALSE(CStandardIndexHeader::IsValid(page.data(), 32));
  EXPECT_FALSE(CStandardIndexHeader::IsValid(nullptr, 4096));
  EXPECT_FALSE(CStandardIndexHeader::IsValid(page.data(), 2048));
  Bytes stub(page.begin(), page.begin() + 49);
  ondisk::StoreLe16(stub.data() + 4, 0xFF);
  ondisk::StoreLe16(stub.data() + 6, 1);
  std::memset(stub.data() + 0x18, 0, 12);
  EXPECT_FALSE(CIndexRecord::IsValid(stub.data(), 49));
}

// ---- log record pages -------------------------------------------------------

Bytes LogPage(uint16_t count = 9) {
  Bytes page(4096, 0xAB);
  std::memcpy(page.data(), "RCRD", 4);
  ondisk::StoreLe16(page.data() + 4, 40);
  ondisk::StoreLe16(page.data() + 6, count);
  ondisk::StoreLe16(page.data() + 40, 0x0033);
  for (int i = 0; i < 8; ++i) {
    ondisk::StoreLe16(page.data() + 42 + 2 * i, static_cast<uint16_t>(0x1100 + i));
    ondisk::StoreLe16(page.data() + 512 * i + 510, 0x0033);
  }
  return page;
}

TEST(CRCRDRecord, UndoingPutsTheSavedWordsBackAtEverySectorEnd) {
  Bytes page = LogPage();
  ASSERT_TRUE(CRCRDRecord::Unfixup(page.data(), 4096));
  for (int i = 0; i < 8; ++i) EXPECT_EQ(ondisk::Le16(page.data() + 512 * i + 510), 0x1100 + i) << i;
  EXPECT_EQ(ondisk::Le16(page.data() + 40), 0x0033);
}

TEST(CRCRDRecord, OtherSequenceLayoutsAndTornPagesFail) {
  EXPECT_TRUE(CRCRDRecord::IsValid(LogPage().data(), 4096));
  EXPECT_FALSE(CRCRDRecord::IsValid(LogPage().data(), 2048));
  EXPECT_FALSE(CRCRDRecord::IsValidRCRDRecordFirstSector(LogPage().data(), 511));
  EXPECT_FALSE(CRCRDRecord::IsValid(LogPage(3).data(), 4096));  // a 1 KiB page's sequence
  Bytes offset = LogPage();
  ondisk::StoreLe16(offset.data() + 4, 48);
  EXPECT_FALSE(CRCRDRecord::IsValid(offset.data(), 4096));
  for (int sector = 0; sector < 8; ++sector) {
    Bytes torn = LogPage();
    torn[512 * sector + 511] ^= 0x80;
    EXPECT_FALSE(CRCRDRecord::IsValid(torn.data(), 4096)) << sector;
    EXPECT_FALSE(CRCRDRecord::Unfixup(torn.data(), 4096)) << sector;
  }
}

// ---- metafile records -----------------------------------------------------

TEST(CMetaFileRecordTypeAnalyzer, EveryTableNameIsRecognisedByItsOwnTestOnly) {
  struct Named {
    const char16_t* name;
    bool (*test)(uint8_t*, int);
  };
  const Named named[] = {{u"$MFT", CNTFSFileRecordAnalyzer::IsValidMFTFileRecord},
                         {u"$MFTMirr", CNTFSFileRecordAnalyzer::IsValidMFTMirrFileRecord},
                         {u"$LogFile", CNTFSFileRecordAnalyzer::IsValidLogFileRecord},
                         {u"$Volume", CNTFSFileRecordAnalyzer::IsValidVolumeFileRecord},
                         {u"$AttrDef", CNTFSFileRecordAnalyzer::IsValidAttrDefFileRecord},
                         {u"$UpCase", CNTFSFileRecordAnalyzer::IsValidUpCaseFileRecord},
                         {u"$Bitmap", CNTFSFileRecordAnalyzer::IsValidBitmapFileRecord}};
  for (const Named& n : named) {
    Bytes r = TestRecord(3).StandardInformation(0x06).FileName(5, n.name).Data();
    for (const Named& m : named) EXPECT_EQ(m.test(r.data(), 1024), &m == &n);
  }
  // Not metafiles: neither hidden nor system, hidden only, a lower-case
  // name, an extension record, another name.
  const Bytes others[] = {
      TestRecord(70).StandardInformation(0x20).FileName(5, u"$MFT").Data(),
      TestRecord(70).StandardInformation(0x02).FileName(5, u"$MFT").Data(),
      TestRecord(70).StandardInformation(0x06).FileName(5, u"$mft").Data(),
      TestRecord(30, true, false, 0).StandardInformation(0x06).FileName(5, u"$MFT").Data(),
      TestRecord(70).StandardInformation(0x06).FileName(5, u"pagefile.sys").Data(),
  };
  for (Bytes r : others) {
    EXPECT_FALSE(CNTFSFileRecordAnalyzer::IsValidMetaFileRecord(r.data()));
    EXPECT_EQ(CNTFSFileRecordAnalyzer::GetMetaFileRecordIndex(r.data()), CMetaFileRecordTypeAnalyzer::kNotMetaFile);
  }
  EXPECT_FALSE(CNTFSFileRecordAnalyzer::IsValidMetaFileRecord(nullptr));
  Bytes file = TestRecord(71).StandardInformation(0).FileName(5, u"f").IndexAllocation({{400, 1}}, 4096).Data();
  EXPECT_FALSE(CNTFSFileRecordAnalyzer::IsValidFolderFileRecordHavingIndexAllocation(file.data()));
}

TEST(NTFSPublicFunction, ASectorMatchesTheClusterItStarts) {
  struct Case {
    int64_t sector, cluster, start;
    uint32_t spc;
    bool match;
  };
  for (const Case& c : {Case{2056, 256, 8, 8, true}, Case{2057, 256, 8, 8, false}, Case{2064, 256, 8, 8, false},
                        Case{2056, 2048, 8, 1, true}, Case{2056, 256, 8, 0, false}, Case{2056, 256, 8, 3, false},
                        Case{INT64_MIN, 0, 1, 8, false}}) {
    EXPECT_EQ(NTFSPublicFunction::IsClusterNOMatch(c.sector, c.cluster, c.start, c.spc), c.match)
        << c.sector << " " << c.spc;
  }
}

}  // namespace
