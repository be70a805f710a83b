// Index pages, log record pages, metafile records and the cluster-number
// test on hand-made data laid out as the published format describes it.
// Real pages (ntfs-3g's folders, the log generator's pages) are checked in
// NTFSFixtureTest.cpp.
#include <gtest/gtest.h>

#include <cstring>

#include "NtfsTestRecords.h"
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

// Offsets of the entries of a page made by ntfstest::IndexPage.
size_t EntryAt(const Bytes& page, int index) {
  size_t pos = CStandardIndexHeader::GetOffsetofIndexEntries(page.data());
  for (int i = 0; i < index; ++i) pos += ntfs_bytes::LoadU16(page.data() + pos + 8);
  return pos;
}

// Changes the page's bytes with the update sequence undone, then redoes it.
template <class Change>
Bytes Edited(Bytes page, Change&& change) {
  EXPECT_TRUE(CIndexRecord::UnfixupIndexRecord(page.data(), static_cast<int>(page.size())));
  change(page);
  EXPECT_TRUE(CIndexRecord::FixupIndexRecord(page.data(), static_cast<int>(page.size())));
  return page;
}

// ---- INDX ---------------------------------------------------------------------

TEST(CIndexRecord, APageWhoseEntriesNameOneFolderPassesAndIsLeftAsItCame) {
  const Bytes page = ntfstest::IndexPage({{77, u"a.txt"}, {77, u"b.txt"}, {77, u"c.txt"}}, 4096, 24);
  Bytes copy = page;
  EXPECT_TRUE(CStandardIndexHeader::IsValid(copy.data(), 4096));
  EXPECT_TRUE(CIndexRecord::IsValidUpdateSequence(copy.data(), 4096));
  EXPECT_TRUE(CIndexRecord::IsValid(copy.data(), 4096));
  EXPECT_EQ(copy, page);
  EXPECT_EQ(CIndexRecord::GetParentFileReference(copy.data(), 4096), 77);
  EXPECT_EQ(CIndexRecord::GetVCN(copy.data()), 24);
  EXPECT_EQ(CIndexRecord::GetLogFileSequenceNumber(copy.data()), 0x5678u);
  EXPECT_EQ(copy, page);
  // A page with only its last entry passes too, and names no folder.
  const Bytes empty = ntfstest::IndexPage({});
  EXPECT_TRUE(Valid(empty));
  EXPECT_EQ(CIndexRecord::GetParentFileReference(empty.data(), 4096), -1);
}

TEST(CIndexRecord, AFourKiBPageNeedsAnUpdateSequenceOfNineWords) {
  Bytes page = ntfstest::IndexPage({{77, u"a"}});
  ASSERT_EQ(ntfs_bytes::LoadU16(page.data() + 6), 9);
  page[6] = 8;
  EXPECT_FALSE(CStandardIndexHeader::IsValid(page.data(), 4096));
  EXPECT_FALSE(Valid(page));
  // A 2 KiB page needs 5.
  EXPECT_TRUE(Valid(ntfstest::IndexPage({{77, u"a"}}, 2048)));
}

TEST(CIndexRecord, EntriesNamingTwoFoldersMakeThePageInvalidButSubNodePointersAreNotCompared) {
  EXPECT_FALSE(Valid(ntfstest::IndexPage({{77, u"a"}, {78, u"b"}})));
  EXPECT_EQ(CIndexRecord::GetParentFileReference(ntfstest::IndexPage({{77, u"a"}, {78, u"b"}}).data(), 4096), -1);
  // Parents differing only in their sequence number differ too.
  Bytes seq = Edited(ntfstest::IndexPage({{77, u"a"}, {77, u"b"}}),
                     [](Bytes& p) { p[EntryAt(p, 1) + 16 + 6] = 9; });
  EXPECT_FALSE(Valid(seq));
  IndexEntry pointer{99, u"m"};
  pointer.flags = 1;
  EXPECT_TRUE(Valid(ntfstest::IndexPage({{77, u"a"}, pointer, {77, u"z"}})));
}

TEST(CIndexRecord, KeysWhoseRealSizeExceedsTheAllocatedSizeMakeThePageInvalid) {
  IndexEntry bad{77, u"b"};
  bad.real = 5000;
  bad.allocated = 4096;
  EXPECT_FALSE(Valid(ntfstest::IndexPage({{77, u"a"}, bad})));
}

TEST(CIndexRecord, EntriesMustLieInsideThePage) {
  const Bytes page = ntfstest::IndexPage({{77, u"a"}, {77, u"b"}});
  // An entry longer than what is left of the entries.
  EXPECT_FALSE(Valid(Edited(page, [](Bytes& p) { ntfs_bytes::StoreU16(p.data() + EntryAt(p, 1) + 8, 0xFFF8); })));
  // An entry too short to hold the name length it is read for.
  EXPECT_FALSE(Valid(Edited(page, [](Bytes& p) { ntfs_bytes::StoreU16(p.data() + EntryAt(p, 0) + 8, 40); })));
  // Entries announced past the page's end.
  Bytes past = page;
  const uint32_t beyond = 8000;
  std::memcpy(past.data() + 0x1C, &beyond, 4);
  EXPECT_FALSE(CStandardIndexHeader::IsValid(past.data(), 4096));
  // Entries starting after their own end.
  Bytes inverted = page;
  const uint32_t offset = 4000;
  std::memcpy(inverted.data() + 0x18, &offset, 4);
  EXPECT_FALSE(CStandardIndexHeader::IsValid(inverted.data(), 4096));
  // A zero-length entry ends the walk without judging what follows.
  EXPECT_TRUE(Valid(Edited(ntfstest::IndexPage({{77, u"a"}, {77, u"b"}, {78, u"c"}}),
                           [](Bytes& p) { ntfs_bytes::StoreU16(p.data() + EntryAt(p, 2) + 8, 0); })));
}

TEST(CIndexRecord, ATornPageIsInvalid) {
  Bytes page = ntfstest::IndexPage({{77, u"a"}});
  page[3 * 512 + 510] ^= 1;
  EXPECT_FALSE(CIndexRecord::IsValidUpdateSequence(page.data(), 4096));
  EXPECT_FALSE(Valid(page));
  EXPECT_FALSE(CIndexRecord::UnfixupIndexRecord(page.data(), 4096));
}

TEST(CIndexRecord, HeaderFieldsOutsideTheirLimitsFail) {
  const Bytes page = ntfstest::IndexPage({{77, u"a"}});
  auto with = [&](size_t at, uint32_t value, int bytes) {
    Bytes p = page;
    std::memcpy(p.data() + at, &value, static_cast<size_t>(bytes));
    return CStandardIndexHeader::IsValid(p.data(), 4096);
  };
  EXPECT_TRUE(with(4, 0x28, 2));
  EXPECT_FALSE(with(4, 39, 2));   // update-sequence offset below 40
  EXPECT_FALSE(with(4, 257, 2));  // above 256
  EXPECT_FALSE(with(6, 17, 2));   // more than 16 words
  EXPECT_FALSE(with(6, 0, 2));
  EXPECT_FALSE(with(0x20, 8192, 4));  // allocated beyond the buffer
  EXPECT_FALSE(with(0, 0x58444E48, 4));  // "HNDX"
  EXPECT_FALSE(CStandardIndexHeader::IsValid(page.data(), 32));
  EXPECT_FALSE(CStandardIndexHeader::IsValid(nullptr, 4096));
  // The page must be as large as its update sequence says.
  EXPECT_FALSE(CStandardIndexHeader::IsValid(page.data(), 2048));
  // A page too short to hold the update-sequence array its header places.
  Bytes stub(page.begin(), page.begin() + 49);
  ntfs_bytes::StoreU16(stub.data() + 4, 0xFF);
  ntfs_bytes::StoreU16(stub.data() + 6, 1);
  std::memset(stub.data() + 0x18, 0, 12);
  EXPECT_FALSE(CStandardIndexHeader::IsValid(stub.data(), 49));
  EXPECT_FALSE(CIndexRecord::IsValid(stub.data(), 49));
}

// ---- RCRD ---------------------------------------------------------------------

// A log record page as the published layout describes it.
Bytes LogPage(uint16_t count = 9) {
  Bytes page(4096, 0xAB);
  std::memcpy(page.data(), "RCRD", 4);
  ntfs_bytes::StoreU16(page.data() + 4, 40);
  ntfs_bytes::StoreU16(page.data() + 6, count);
  ntfs_bytes::StoreU16(page.data() + 40, 0x0033);
  for (int i = 0; i < 8; ++i) {
    ntfs_bytes::StoreU16(page.data() + 42 + 2 * i, static_cast<uint16_t>(0x1100 + i));
    ntfs_bytes::StoreU16(page.data() + 512 * i + 510, 0x0033);
  }
  return page;
}

TEST(CRCRDRecord, APageOfEightSectorsWithItsSequenceAtEverySectorEndPasses) {
  Bytes page = LogPage();
  EXPECT_TRUE(CRCRDRecord::IsValid(page.data(), 4096));
  EXPECT_TRUE(CRCRDRecord::IsValidRCRDRecordFirstSector(page.data(), 512));
  EXPECT_FALSE(CRCRDRecord::IsValid(page.data(), 2048));
  EXPECT_FALSE(CRCRDRecord::IsValidRCRDRecordFirstSector(page.data(), 511));
  ASSERT_TRUE(CRCRDRecord::Unfixup(page.data(), 4096));
  for (int i = 0; i < 8; ++i) EXPECT_EQ(ntfs_bytes::LoadU16(page.data() + 512 * i + 510), 0x1100 + i);
  // Once undone the sector ends no longer carry the sequence number.
  EXPECT_FALSE(CRCRDRecord::IsValid(page.data(), 4096));
  EXPECT_FALSE(CRCRDRecord::Unfixup(page.data(), 4096));
}

TEST(CRCRDRecord, OtherSequenceLayoutsAndTornPagesFail) {
  EXPECT_FALSE(CRCRDRecord::IsValid(LogPage(3).data(), 4096));  // a 1 KiB page's sequence
  Bytes offset = LogPage();
  ntfs_bytes::StoreU16(offset.data() + 4, 48);
  EXPECT_FALSE(CRCRDRecord::IsValid(offset.data(), 4096));
  for (int sector = 0; sector < 8; ++sector) {
    Bytes torn = LogPage();
    torn[512 * sector + 511] ^= 0x80;
    EXPECT_FALSE(CRCRDRecord::IsValid(torn.data(), 4096)) << sector;
  }
  Bytes restart = LogPage();
  std::memcpy(restart.data(), "RSTR", 4);
  EXPECT_FALSE(CRCRDRecord::IsValid(restart.data(), 4096));
  EXPECT_FALSE(CRCRDRecord::IsValidRCRDRecordFirstSector(restart.data(), 4096));
}

// ---- metafiles and folders ----------------------------------------------------------

TEST(CMetaFileRecordTypeAnalyzer, AMetafileHasATableNameAndIsHiddenAndSystem) {
  Bytes mft = TestRecord(0).StandardInformation(0x06).FileName(5, u"$MFT").NonResidentData({{4, 16}}, 0, 65536).Data();
  const Bytes before = mft;
  {
    CNTFSFileRecord record(mft.data(), 1024, 0);
    EXPECT_EQ(CMetaFileRecordTypeAnalyzer::GetMetaFileRecordIndex(record), 0u);
    EXPECT_TRUE(CMetaFileRecordTypeAnalyzer::IsValidMFTFileRecord(record));
    EXPECT_FALSE(CMetaFileRecordTypeAnalyzer::IsValidMFTMirrFileRecord(record));
  }
  EXPECT_TRUE(CNTFSFileRecordAnalyzer::IsValidMFTFileRecord(mft.data()));
  EXPECT_EQ(CNTFSFileRecordAnalyzer::GetMetaFileRecordIndex(mft.data()), 0u);
  EXPECT_EQ(mft, before);

  // The name alone does not make a metafile.
  Bytes plain = TestRecord(70).StandardInformation(0x20).FileName(5, u"$MFT").Data();
  EXPECT_FALSE(CNTFSFileRecordAnalyzer::IsValidMetaFileRecord(plain.data()));
  EXPECT_FALSE(CNTFSFileRecordAnalyzer::IsValidMFTFileRecord(plain.data()));
  Bytes hiddenOnly = TestRecord(70).StandardInformation(0x02).FileName(5, u"$MFT").Data();
  EXPECT_FALSE(CNTFSFileRecordAnalyzer::IsValidMetaFileRecord(hiddenOnly.data()));
  // Names compare case-sensitively; other names are not in the table.
  Bytes lower = TestRecord(70).StandardInformation(0x06).FileName(5, u"$mft").Data();
  EXPECT_FALSE(CNTFSFileRecordAnalyzer::IsValidMetaFileRecord(lower.data()));
  Bytes other = TestRecord(70).StandardInformation(0x06).FileName(5, u"pagefile.sys").Data();
  EXPECT_EQ(CNTFSFileRecordAnalyzer::GetMetaFileRecordIndex(other.data()), CMetaFileRecordTypeAnalyzer::kNotMetaFile);
  // Names below $Extend carry their table numbers, whatever record they are in.
  Bytes quota = TestRecord(24).StandardInformation(0x26).FileName(11, u"$Quota").Data();
  EXPECT_EQ(CNTFSFileRecordAnalyzer::GetMetaFileRecordIndex(quota.data()), 32u);
  // The root folder is one of them when it carries both bits.
  Bytes root = TestRecord(5, true, true).StandardInformation(0x26).FileName(5, u".", 3, 0x10000000).Data();
  EXPECT_EQ(CNTFSFileRecordAnalyzer::GetMetaFileRecordIndex(root.data()), 5u);
  // An extension record is never one.
  Bytes extension = TestRecord(30, true, false, 0).StandardInformation(0x06).FileName(5, u"$MFT").Data();
  EXPECT_FALSE(CNTFSFileRecordAnalyzer::IsValidMetaFileRecord(extension.data()));
  EXPECT_FALSE(CNTFSFileRecordAnalyzer::IsValidMetaFileRecord(nullptr));
}

TEST(CMetaFileRecordTypeAnalyzer, EveryTableNameIsRecognisedByItsOwnTest) {
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
  int rows = 0;
  const CMetaFileRecordTypeAnalyzer::Row* table = CMetaFileRecordTypeAnalyzer::GetTable(&rows);
  ASSERT_EQ(rows, 15);
  for (int i = 0; i < rows; ++i) {
    std::u16string name(table[i].name, table[i].name + std::wcslen(table[i].name));
    Bytes r = TestRecord(3).StandardInformation(0x06).FileName(5, name).Data();
    EXPECT_EQ(CNTFSFileRecordAnalyzer::GetMetaFileRecordIndex(r.data()), table[i].recordNumber);
  }
}

TEST(CFolderFileRecordAnalyzer, AFolderWithANonResidentIndexAllocation) {
  Bytes folder = TestRecord(69, true, true)
                     .StandardInformation(0)
                     .FileName(5, u"many", 1, 0x10000000)
                     .IndexAllocation({{400, 12}}, 49152)
                     .Data();
  EXPECT_TRUE(CNTFSFileRecordAnalyzer::IsValidFolderFileRecordHavingIndexAllocation(folder.data()));
  Bytes small = TestRecord(70, true, true).StandardInformation(0).FileName(5, u"small", 1, 0x10000000).Data();
  EXPECT_FALSE(CNTFSFileRecordAnalyzer::IsValidFolderFileRecordHavingIndexAllocation(small.data()));
  // The flag of the record counts, not the attribute.
  Bytes file = TestRecord(71, true, false).StandardInformation(0).FileName(5, u"f").IndexAllocation({{400, 1}}, 4096).Data();
  EXPECT_FALSE(CNTFSFileRecordAnalyzer::IsValidFolderFileRecordHavingIndexAllocation(file.data()));
}

// ---- cluster numbers ----------------------------------------------------------------

TEST(NTFSPublicFunction, ASectorMatchesTheClusterItStarts) {
  EXPECT_TRUE(NTFSPublicFunction::IsClusterNOMatch(2056, 256, 8, 8));
  EXPECT_FALSE(NTFSPublicFunction::IsClusterNOMatch(2057, 256, 8, 8));
  EXPECT_FALSE(NTFSPublicFunction::IsClusterNOMatch(2064, 256, 8, 8));
  EXPECT_TRUE(NTFSPublicFunction::IsClusterNOMatch(2056, 2048, 8, 1));
  EXPECT_FALSE(NTFSPublicFunction::IsClusterNOMatch(2056, 256, 8, 0));
  EXPECT_FALSE(NTFSPublicFunction::IsClusterNOMatch(2056, 256, 8, 3));
  EXPECT_FALSE(NTFSPublicFunction::IsClusterNOMatch(INT64_MIN, 0, 1, 8));
}

}  // namespace
