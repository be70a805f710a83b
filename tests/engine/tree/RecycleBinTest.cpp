// Recycle bins: which folders and names are recognised, how their entries
// are held back until the tree finishes, and how a name restorer plugs in.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "SearchedPartitionInfo.h"
#include "TreeTestSupport.h"
#include "tree/CRecyclerFilter.h"
#include "tree/RecycleNameRestorer.h"

namespace {

using treetest::BuilderFixture;
using treetest::LedgerNode;
using treetest::NodeLedger;
using Lines = std::set<std::string>;

constexpr int64_t kRoot = 5;

// --- Recognising bins and names ------------------------------------------

TEST(RecyclerFilter, RecognisesTheBinFoldersOfEveryWindowsGenerationInAnyCase) {
  NodeLedger ledger;
  for (const char* name : {"RECYCLER", "Recycled", "$Recycle.Bin", "$RECYCLE.BIN", "$recycle.bin", "$RECYCLE.BI0"}) {
    LedgerNode folder(&ledger, 1, 0, name, true);
    EXPECT_TRUE(CRecyclerFilter::IsRecycleBinSigleNode(&folder)) << name;
    EXPECT_TRUE(CRecyclerFilter::IsRecycleBin(&folder)) << name;
  }
  for (const char* name : {"Recycle", "$Recycle", "Recycler.old", "", "Trash"}) {
    LedgerNode folder(&ledger, 1, 0, name, true);
    EXPECT_FALSE(CRecyclerFilter::IsRecycleBin(&folder)) << name;
  }
}

TEST(RecyclerFilter, OnlyFoldersAreBins) {
  NodeLedger ledger;
  LedgerNode file(&ledger, 1, 0, "RECYCLER", false);
  EXPECT_FALSE(CRecyclerFilter::IsRecycleBin(&file));
  // The folder bit alone makes a folder, as on FAT and NTFS.
  LedgerNode flagged(&ledger, 2, 0, "RECYCLER", false);
  flagged.SetAttribute(0x10 | 0x02);
  EXPECT_TRUE(CRecyclerFilter::IsRecycleBin(&flagged));
  LedgerNode nameless(&ledger, 3, 0, "", true);
  nameless.SetNullName();
  EXPECT_FALSE(CRecyclerFilter::IsRecycleBin(&nameless));
  EXPECT_FALSE(CRecyclerFilter::IsRecycleBin(nullptr));
}

TEST(RecyclerFilter, AnythingLinkedBelowABinIsInIt) {
  NodeLedger ledger;
  LedgerNode bin(&ledger, 1, 0, "$Recycle.Bin", true);
  LedgerNode sid(&ledger, 2, 1, "S-1-5-21-1004", true);
  LedgerNode file(&ledger, 3, 2, "ordinary.txt", false);
  ASSERT_EQ(bin.AddChild(&sid), 1);
  ASSERT_EQ(sid.AddChild(&file), 1);
  EXPECT_TRUE(CRecyclerFilter::IsRecycleBin(&file));
  EXPECT_FALSE(CRecyclerFilter::IsRecycleBinSigleNode(&file));
}

TEST(RecyclerFilter, TellsRecordsAndDataFilesByTheirGeneratedNames) {
  EXPECT_TRUE(CRecyclerFilter::IsRecycleRecordName("$IAB12CD.jpg"));
  EXPECT_TRUE(CRecyclerFilter::IsRecycleRecordName("#I0001"));
  EXPECT_FALSE(CRecyclerFilter::IsRecycleRecordName("$RAB12CD.jpg"));
  EXPECT_FALSE(CRecyclerFilter::IsRecycleRecordName(nullptr));

  EXPECT_TRUE(CRecyclerFilter::IsRecycledDataName("$RAB12CD.jpg"));
  EXPECT_TRUE(CRecyclerFilter::IsRecycledDataName("#R0001"));
  EXPECT_FALSE(CRecyclerFilter::IsRecycledDataName("Report.doc"));
  EXPECT_FALSE(CRecyclerFilter::IsRecycledDataName(nullptr));
  // NTFS keeps metadata files with such names under $Extend.
  for (const char* name : {"$RmMetadata", "$Reparse", "$Repair", "$R", "$Rm"}) {
    EXPECT_FALSE(CRecyclerFilter::IsRecycledDataName(name)) << name;
  }
}

// --- Holding back and restoring ------------------------------------------

// Renames a node after the record whose name has the same tail, as a reader
// of real records would, and remembers what it was given.
class FakeRestorer : public IRecycleNameRestorer {
 public:
  int RestoreName(CFileNode* node, _tagSearcherType type, const std::vector<CFileNode*>& records,
                  CSearchedPartitionInfo* partition, IStorageDevice* device) override {
    auto* named = static_cast<LedgerNode*>(node);
    calls.push_back(named->Name());
    seenType = type;
    seenPartition = partition;
    seenDevice = device;
    recordsSeen = records.size();
    const std::string name = named->Name();
    if (name.size() < 2 || name.compare(0, 2, "$R") != 0) return -1;
    for (size_t i = 0; i < records.size(); ++i) {
      if (static_cast<LedgerNode*>(records[i])->Name().substr(2) == name.substr(2)) {
        auto found = formerNames.find(name);
        if (found != formerNames.end()) named->SetName(found->second);
        return static_cast<int>(i);
      }
    }
    return -1;
  }

  std::map<std::string, std::string> formerNames;
  std::vector<std::string> calls;
  _tagSearcherType seenType = SEARCHER_TYPE_NONE;
  CSearchedPartitionInfo* seenPartition = nullptr;
  IStorageDevice* seenDevice = nullptr;
  size_t recordsSeen = 0;
};

class RecycleBin : public BuilderFixture {
 protected:
  void SetUp() override {
    Init();
    ASSERT_EQ(builder->AddSearcherInfo(SEARCHER_TYPE_NTFS, kRoot), 1);
  }
  // A bin with one user folder holding one recycled photo and its record.
  void AddBin() {
    ASSERT_EQ(Add(Folder(20, kRoot, "$RECYCLE.BIN")), 1);
    ASSERT_EQ(Add(Folder(21, 20, "S-1-5-21-1004")), 1);
    ASSERT_EQ(Add(File(30, 21, "$RAB12CD.jpg", 2048)), 1);
    record = File(31, 21, "$IAB12CD.jpg", 544);
    ASSERT_EQ(Add(record), 1);
  }

  LedgerNode* record = nullptr;
};

TEST_F(RecycleBin, EntriesAreHeldBackUntilTheTreeFinishes) {
  AddBin();
  Add(Folder(40, kRoot, "Users"));
  Add(File(41, 40, "a.txt"));
  now += 60;
  Add(File(42, 40, "b.txt"));
  EXPECT_EQ(Counters().heldBack, 4u);
  EXPECT_EQ(sink.NodesShown(), 3u) << "only the ordinary nodes were shown";

  builder->FlashBuild(SEARCHER_TYPE_NTFS);
  EXPECT_EQ(TreeOf(),
            (Lines{"Users/", "Users/a.txt", "Users/b.txt", "$RECYCLE.BIN/ [deleted]",
                   "$RECYCLE.BIN/S-1-5-21-1004/ [deleted]", "$RECYCLE.BIN/S-1-5-21-1004/$RAB12CD.jpg [deleted]"}));
  EXPECT_FALSE(ledger.IsLive(record)) << "records never enter the tree and are let go";
  EXPECT_EQ(Counters().heldBack, 0u);
  ExpectNoSinkProblems();
}

TEST_F(RecycleBin, ARestorerGivesDataFilesTheirFormerNamesAndUsesEachRecordOnce) {
  FakeRestorer restorer;
  restorer.formerNames["$RAB12CD.jpg"] = "holiday.jpg";
  builder->SetRecycleNameRestorer(&restorer);
  CSearchedPartitionInfo partition(512);
  auto* device = reinterpret_cast<IStorageDevice*>(&partition);  // only passed through
  builder->SetPartitonDevice(&partition, device);
  AddBin();
  ASSERT_EQ(Add(Folder(22, 20, "S-1-5-21-1005")), 1);
  ASSERT_EQ(Add(File(32, 22, "$RAB12CD.jpg", 4096)), 1);  // same tail, no record of its own

  builder->FlashBuild(SEARCHER_TYPE_NTFS);
  EXPECT_EQ(TreeOf(),
            (Lines{"$RECYCLE.BIN/ [deleted]", "$RECYCLE.BIN/S-1-5-21-1004/ [deleted]",
                   "$RECYCLE.BIN/S-1-5-21-1004/holiday.jpg [deleted]", "$RECYCLE.BIN/S-1-5-21-1005/ [deleted]",
                   "$RECYCLE.BIN/S-1-5-21-1005/$RAB12CD.jpg [deleted]"}));
  EXPECT_FALSE(ledger.IsLive(record));
  EXPECT_EQ(restorer.seenType, SEARCHER_TYPE_NTFS);
  EXPECT_EQ(restorer.seenPartition, &partition);
  EXPECT_EQ(restorer.seenDevice, device);
  EXPECT_EQ(restorer.recordsSeen, 0u) << "the second photo found the record gone";
}

TEST_F(RecycleBin, FoldersAreRestoredOuterFirstThenDataFilesInArrivalOrder) {
  FakeRestorer restorer;
  builder->SetRecycleNameRestorer(&restorer);
  Add(Folder(20, kRoot, "RECYCLER"));
  Add(Folder(60, 21, "inner"));  // its parent is not known as a bin folder yet
  Add(Folder(21, 20, "S-1-5-21-1004"));
  Add(File(32, 21, "$Rz.txt"));
  Add(Folder(61, 21, "Dc2"));
  Add(File(31, 21, "$Ry.txt"));
  Add(Folder(22, 20, "S-1-5-21-1005"));
  builder->FlashBuild(SEARCHER_TYPE_NTFS);
  EXPECT_EQ(restorer.calls,
            (std::vector<std::string>{"RECYCLER", "S-1-5-21-1004", "S-1-5-21-1005", "Dc2", "$Rz.txt", "$Ry.txt"}));
}

TEST_F(RecycleBin, ANodeRefusedWhenItComesBackIsReleasedByTheBuilder) {
  FakeRestorer restorer;
  restorer.formerNames["$RAB12CD.jpg"] = ".hidden.jpg";  // dot files never enter
  builder->SetRecycleNameRestorer(&restorer);
  AddBin();
  builder->FlashBuild(SEARCHER_TYPE_NTFS);
  EXPECT_EQ(TreeOf(), Lines{});  // the folders are left with no file below
  EXPECT_EQ(ledger.Live(), 0);
  EXPECT_EQ(Counters().owned, 0u);
}

TEST_F(RecycleBin, WithoutARestorerDataFilesKeepTheirGeneratedNames) {
  Add(Folder(20, kRoot, "$Recycle.Bin"));
  Add(File(30, 20, "$RXYZ.docx"));
  Add(File(31, 20, "desktop.ini"));  // anything in a bin folder is held back
  Add(File(32, kRoot, "#Rstray"));   // a generated name anywhere is held back
  EXPECT_EQ(Counters().heldBack, 4u);
  builder->FlashBuild(SEARCHER_TYPE_NTFS);
  EXPECT_EQ(TreeOf(), (Lines{"$Recycle.Bin/ [deleted]", "$Recycle.Bin/$RXYZ.docx [deleted]",
                             "$Recycle.Bin/desktop.ini [deleted]", "#Rstray [deleted]"}));
}

TEST_F(RecycleBin, MetadataFilesWithLookAlikeNamesAreNotHeldBack) {
  Add(Folder(11, kRoot, "$Extend"));
  Add(Folder(12, 11, "$RmMetadata"));
  Add(File(13, 12, "$Repair"));
  EXPECT_EQ(Counters().heldBack, 0u);
  builder->FlashBuild(SEARCHER_TYPE_NTFS);
  EXPECT_EQ(TreeOf(), (Lines{"$Extend/", "$Extend/$RmMetadata/", "$Extend/$RmMetadata/$Repair"}));
}

TEST_F(RecycleBin, EachTreeKeepsItsOwnHeldBackEntries) {
  ASSERT_EQ(builder->AddSearcherInfo(SEARCHER_TYPE_FAT, 0), 1);
  AddBin();
  Add(Folder(20, 0, "RECYCLED"), SEARCHER_TYPE_FAT);
  Add(File(30, 20, "DC1.TXT"), SEARCHER_TYPE_FAT);
  EXPECT_EQ(Counters(SEARCHER_TYPE_FAT).heldBack, 2u);

  builder->FlashBuild(SEARCHER_TYPE_FAT);
  EXPECT_EQ(TreeOf(SEARCHER_TYPE_FAT), (Lines{"RECYCLED/ [deleted]", "RECYCLED/DC1.TXT [deleted]"}));
  EXPECT_EQ(Counters(SEARCHER_TYPE_NTFS).heldBack, 4u) << "the NTFS tree has not finished";
  EXPECT_TRUE(ledger.IsLive(record));
  builder->FlashBuild(SEARCHER_TYPE_NTFS);
  EXPECT_EQ(TreeOf(SEARCHER_TYPE_NTFS).size(), 3u);
  ExpectNoSinkProblems();
}

TEST_F(RecycleBin, AnUnfinishedTreeLetsItsHeldBackEntriesGoWithTheBuilder) {
  AddBin();
  builder->Release();
  builder = nullptr;
  EXPECT_EQ(ledger.Live(), 0);
}

TEST(RecycleNameRestorerRegistry, NewBuildersTakeTheRegisteredRestorer) {
  FakeRestorer restorer;
  SetRecycleNameRestorer(&restorer);
  EXPECT_EQ(GetRecycleNameRestorer(), &restorer);
  NodeLedger ledger;
  treetest::RecordingTree sink;
  treetest::FakeFilter filter;
  auto* builder = new CDirectoryTreeBuilder(false);
  builder->SetPause([] {});
  SetRecycleNameRestorer(nullptr);  // later registrations do not reach it
  ASSERT_EQ(builder->Initialize("d", &sink, &filter), 1);
  ASSERT_EQ(builder->AddSearcherInfo(SEARCHER_TYPE_NTFS, kRoot), 1);
  ASSERT_EQ(builder->AddNode(new LedgerNode(&ledger, 30, kRoot, "$R1.txt", false), SEARCHER_TYPE_NTFS), 1);
  builder->FlashBuild(SEARCHER_TYPE_NTFS);
  EXPECT_EQ(restorer.calls, std::vector<std::string>{"$R1.txt"});
  builder->Release();
  EXPECT_EQ(ledger.Live(), 0);
}

}  // namespace
