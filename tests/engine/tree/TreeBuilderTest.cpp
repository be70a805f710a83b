// The tree builder's rules, each on a small hand-made tree: naming, refusals,
// linking in any order, throttled batches, versions of a folder, lost files,
// deleted folders, dot names, duplicates, HFS+ private data and trashes.
#include <gtest/gtest.h>

#include <cstdlib>
#include <string>

#include "DataRunList.h"
#include "TreeTestSupport.h"
#include "tree/CFilesystemNode.h"

namespace {

using treetest::BuilderFixture;
using treetest::LedgerNode;
using Lines = std::set<std::string>;

constexpr int64_t kRoot = 5;  // where NTFS trees start

class TreeBuilder : public BuilderFixture {
 protected:
  void SetUp() override {
    Init();
    ASSERT_EQ(builder->AddSearcherInfo(SEARCHER_TYPE_NTFS, kRoot), 1);
  }
};

// --- Initialising and opening trees -------------------------------------

TEST_F(BuilderFixture, InitializeRefusesAnyNullArgument) {
  EXPECT_EQ(builder->Initialize(nullptr, &sink, &filter), 0);
  EXPECT_EQ(builder->Initialize("d", nullptr, &filter), 0);
  EXPECT_EQ(builder->Initialize("d", &sink, nullptr), 0);
  // Nothing was set: nodes are still refused for want of a filter.
  ASSERT_EQ(builder->AddSearcherInfo(SEARCHER_TYPE_NTFS, kRoot), 1);
  EXPECT_EQ(Add(File(30, kRoot, "a.txt")), 0);
}

TEST_F(BuilderFixture, EmptyDescriptionNamesTheTreeDiskWithTheSuffixJoined) {
  Init("");
  ASSERT_EQ(builder->AddSearcherInfo(SEARCHER_TYPE_NTFS, kRoot), 1);
  IFilesystemNode* root = builder->GetRoot(SEARCHER_TYPE_NTFS);
  ASSERT_NE(root, nullptr);
  EXPECT_STREQ(root->GetFileName(), "Disk(NTFS)");
  EXPECT_STREQ(root->GetVolumeName(), "Disk");
  EXPECT_EQ(root->GetCurrentNodeID(), kRoot);
  EXPECT_EQ(root->GetSearcheType(), SEARCHER_TYPE_NTFS);
}

TEST_F(BuilderFixture, EachSearcherTypeGetsItsOwnSuffix) {
  Init("USB stick");
  const std::pair<_tagSearcherType, const char*> expected[] = {
      {SEARCHER_TYPE_HFSPLUS, "USB stick(HFS+)"}, {SEARCHER_TYPE_FAT, "USB stick(FAT/FAT32)"},
      {SEARCHER_TYPE_EXFAT, "USB stick(ExFat)"},  {SEARCHER_TYPE_RAW, "USB stick(RAW Files)"},
      {SEARCHER_TYPE_NTFS, "USB stick(NTFS)"},    {SEARCHER_TYPE_NONE, "USB stick"},
  };
  for (const auto& [type, name] : expected) {
    ASSERT_EQ(builder->AddSearcherInfo(type, 1), 1);
    ASSERT_NE(builder->GetRoot(type), nullptr);
    EXPECT_STREQ(builder->GetRoot(type)->GetFileName(), name);
    EXPECT_STREQ(builder->GetRoot(type)->GetVolumeName(), "USB stick");
  }
}

TEST_F(TreeBuilder, OpeningAnOpenTreeAgainOnlyMovesItsRootID) {
  IFilesystemNode* root = builder->GetRoot(SEARCHER_TYPE_NTFS);
  ASSERT_EQ(builder->AddSearcherInfo(SEARCHER_TYPE_NTFS, 77), 1);
  EXPECT_EQ(builder->GetRoot(SEARCHER_TYPE_NTFS), root);
  // Children of the new root ID now hang under the root; those of the old one
  // find no parent.
  Add(File(30, 77, "new.txt"));
  Add(File(31, kRoot, "old.txt"));
  builder->FlashBuild(SEARCHER_TYPE_NTFS);
  EXPECT_EQ(TreeOf(), (Lines{"new.txt", "Other lost files/", "Other lost files/old.txt"}));
}

// --- Refusals ------------------------------------------------------------

TEST_F(TreeBuilder, RefusedNodesStayUntouchedWithTheCaller) {
  EXPECT_EQ(builder->AddNode(nullptr, SEARCHER_TYPE_NTFS), 0);

  LedgerNode* own = File(40, 40, "self.txt");
  EXPECT_EQ(builder->AddNode(own, SEARCHER_TYPE_NTFS), 0);
  LedgerNode* wrongType = File(41, kRoot, "fat.txt");
  EXPECT_EQ(builder->AddNode(wrongType, SEARCHER_TYPE_FAT), 0);
  filter.valid = [](IFileNode* node) { return std::string(node->GetFileName()) != "unwanted.bin"; };
  LedgerNode* unwanted = File(42, kRoot, "unwanted.bin");
  EXPECT_EQ(builder->AddNode(unwanted, SEARCHER_TYPE_NTFS), 0);

  for (LedgerNode* node : {own, wrongType, unwanted}) {
    EXPECT_EQ(node->GetParent(), nullptr);
    EXPECT_EQ(node->IsDeleted(), 0);
    node->Release();
  }
  EXPECT_EQ(Counters().owned, 0u);
}

// --- Linking and batches -------------------------------------------------

TEST_F(TreeBuilder, FileBeforeItsFolderIsShownInTheFolderBatch) {
  ASSERT_EQ(Add(File(30, 20, "report.doc")), 1);
  now += CDirectoryTreeBuilder::kBuildSeconds;  // the next node runs a build
  LedgerNode* folder = Folder(20, kRoot, "Documents");
  ASSERT_EQ(Add(folder), 1);

  ASSERT_EQ(sink.roots.size(), 1u);
  EXPECT_EQ(sink.roots[0], builder->GetRoot(SEARCHER_TYPE_NTFS));
  ASSERT_EQ(sink.batches.size(), 1u);
  ASSERT_EQ(sink.batches[0].nodes.size(), 2u);
  EXPECT_STREQ(sink.batches[0].nodes[0]->GetFileName(), "report.doc");  // in the order they came
  EXPECT_EQ(sink.batches[0].nodes[1], folder);
  EXPECT_EQ(sink.batches[0].lost, 0);
  EXPECT_EQ(TreeOf(), (Lines{"Documents/", "Documents/report.doc"}));
  EXPECT_EQ(pauses, 1);
  ExpectNoSinkProblems();
}

TEST_F(TreeBuilder, AWaitingFileIsShownInTheBuildAfterItsFolderArrives) {
  ASSERT_EQ(Add(File(30, 20, "report.doc")), 1);
  now += CDirectoryTreeBuilder::kBuildSeconds;
  Add(File(31, kRoot, "other.txt"));  // a build: the report finds no folder and waits
  ASSERT_EQ(sink.batches.size(), 1u);
  ASSERT_EQ(sink.batches[0].nodes.size(), 1u);
  Add(Folder(20, kRoot, "Documents"));
  now += CDirectoryTreeBuilder::kBuildSeconds;
  Add(File(32, kRoot, "third.txt"));
  ASSERT_EQ(sink.batches.size(), 2u);
  EXPECT_EQ(sink.batches[1].nodes.size(), 3u) << "the waiting report comes with its folder";
  ExpectNoSinkProblems();
}

TEST_F(TreeBuilder, BuildsWaitForAThousandNodesOrThreeSeconds) {
  Add(Folder(20, kRoot, "d"));
  for (int i = 0; i < CDirectoryTreeBuilder::kBuildNodeCount - 2; ++i) {
    Add(File(1000 + i, 20, "f" + std::to_string(i)));
  }
  now += CDirectoryTreeBuilder::kBuildSeconds - 1;
  EXPECT_TRUE(sink.batches.empty()) << "1023 nodes in 2 s";
  Add(File(5000, 20, "last"));  // the 1024th node
  ASSERT_EQ(sink.batches.size(), 1u);
  EXPECT_EQ(sink.batches[0].nodes.size(), 1024u);

  Add(File(5001, 20, "x"));
  now += CDirectoryTreeBuilder::kBuildSeconds - 1;
  Add(File(5002, 20, "y"));
  EXPECT_EQ(sink.batches.size(), 1u) << "2 s after the last build";
  now += 1;
  Add(File(5003, 20, "z"));
  ASSERT_EQ(sink.batches.size(), 2u);
  EXPECT_EQ(sink.batches[1].nodes.size(), 3u);
  EXPECT_EQ(sink.roots.size(), 1u);
  EXPECT_EQ(pauses, 1);
  ExpectNoSinkProblems();
}

TEST_F(TreeBuilder, FlashBuildShowsWhatTheThrottleHeldBack) {
  Add(Folder(20, kRoot, "a"));
  Add(Folder(21, 20, "b"));
  Add(File(30, 21, "c.txt"));
  EXPECT_TRUE(sink.batches.empty());
  builder->FlashBuild(SEARCHER_TYPE_NTFS);
  ASSERT_EQ(sink.batches.size(), 1u);
  EXPECT_EQ(sink.batches[0].nodes.size(), 3u);
  EXPECT_EQ(TreeOf(), (Lines{"a/", "a/b/", "a/b/c.txt"}));
  EXPECT_EQ(Counters().shown, 3);
  EXPECT_EQ(Counters().added, 3);
  ExpectNoSinkProblems();
}

TEST_F(TreeBuilder, FoldersWaitForAFileBelowThem) {
  Add(Folder(20, kRoot, "empty"));
  Add(Folder(21, 20, "emptier"));
  Add(Folder(22, kRoot, "full"));
  Add(File(30, 22, "x", 0));  // a file of size 0 still fills its folder
  builder->FlashBuild(SEARCHER_TYPE_NTFS);
  EXPECT_EQ(TreeOf(), (Lines{"full/", "full/x"}));
  EXPECT_EQ(Counters().owned, 2u) << "the empty folders were released";
  EXPECT_EQ(ledger.Live(), 2);
}

TEST_F(TreeBuilder, TreesOfDifferentSearchersStayApart) {
  ASSERT_EQ(builder->AddSearcherInfo(SEARCHER_TYPE_FAT, 0), 1);
  Add(Folder(20, kRoot, "ntfs-dir"));
  Add(File(30, 20, "n.txt"));
  Add(Folder(20, 0, "fat-dir"), SEARCHER_TYPE_FAT);
  Add(File(31, 20, "f.txt"), SEARCHER_TYPE_FAT);
  builder->FlashBuild(SEARCHER_TYPE_FAT);
  builder->FlashBuild(SEARCHER_TYPE_NTFS);
  EXPECT_EQ(TreeOf(SEARCHER_TYPE_NTFS), (Lines{"ntfs-dir/", "ntfs-dir/n.txt"}));
  EXPECT_EQ(TreeOf(SEARCHER_TYPE_FAT), (Lines{"fat-dir/", "fat-dir/f.txt"}));
  EXPECT_EQ(sink.roots.size(), 2u);
  ExpectNoSinkProblems();
}

// --- Versions of one folder ----------------------------------------------

TEST_F(TreeBuilder, AFileJoinsTheFolderVersionThatAlreadyHasChildren) {
  LedgerNode* first = Folder(20, kRoot, "photos");
  LedgerNode* second = Folder(20, kRoot, "photos (older)");
  first->SetBelongedPartition(0);
  second->SetBelongedPartition(1);
  Add(first);
  Add(second);
  LedgerNode* fromOne = File(30, 20, "a.jpg");
  fromOne->SetBelongedPartition(1);
  Add(fromOne);  // only the second version is of its partition
  now += CDirectoryTreeBuilder::kBuildSeconds;
  LedgerNode* fromZero = File(31, 20, "b.jpg");
  fromZero->SetBelongedPartition(0);
  Add(fromZero);
  builder->FlashBuild(SEARCHER_TYPE_NTFS);
  EXPECT_EQ(fromOne->GetParent(), second);
  EXPECT_EQ(fromZero->GetParent(), second) << "the version with a child wins over the partition match";
  EXPECT_EQ(TreeOf(), (Lines{"photos (older)/", "photos (older)/a.jpg", "photos (older)/b.jpg"}));
}

TEST_F(TreeBuilder, AmongVersionsTheFirstOfTheNodesPartitionIsTaken) {
  LedgerNode* other = Folder(20, kRoot, "v-other");
  LedgerNode* mine = Folder(20, kRoot, "v-mine");
  LedgerNode* mineToo = Folder(20, kRoot, "v-mine-too");
  other->SetBelongedPartition(3);
  mine->SetBelongedPartition(4);
  mineToo->SetBelongedPartition(4);
  Add(other);
  Add(mine);
  Add(mineToo);
  LedgerNode* file = File(30, 20, "f");
  file->SetBelongedPartition(4);
  Add(file);
  builder->FlashBuild(SEARCHER_TYPE_NTFS);
  EXPECT_EQ(file->GetParent(), mine);
}

TEST_F(TreeBuilder, InsideTheTrashALiveVersionWinsAndADeletedOneIsPassedOver) {
  Add(Folder(10, kRoot, ".Trashes"));
  LedgerNode* deleted = Folder(20, 10, "album");
  deleted->MarkDeleted();
  Add(deleted);
  LedgerNode* file = File(30, 20, "p.jpg");
  Add(file);
  // The live version comes last, so the file chooses before that version is
  // itself found inside the (deleted) trash.
  LedgerNode* live = Folder(20, 10, "album (restored)");
  Add(live);
  builder->FlashBuild(SEARCHER_TYPE_NTFS);
  EXPECT_EQ(file->GetParent(), live);
  EXPECT_EQ(TreeOf(), (Lines{"Trashes/ [deleted]", "Trashes/album (restored)/ [deleted]",
                             "Trashes/album (restored)/p.jpg [deleted]"}));
}

TEST_F(TreeBuilder, OutsideTheTrashTheFirstVersionIsTakenDeletedOrNot) {
  LedgerNode* deleted = Folder(20, kRoot, "album");
  deleted->MarkDeleted();
  Add(deleted);
  LedgerNode* file = File(30, 20, "p.jpg");
  Add(file);
  Add(Folder(20, kRoot, "album (restored)"));
  builder->FlashBuild(SEARCHER_TYPE_NTFS);
  EXPECT_EQ(file->GetParent(), deleted);
}

// --- Lost files ----------------------------------------------------------

TEST_F(TreeBuilder, NodesThatNeverReachTheRootEndUnderOtherLostFiles) {
  Add(Folder(20, 999, "orphan-dir"));  // its parent never comes
  Add(File(30, 20, "kept.txt", 10));
  Add(File(31, 998, "loose.bin", 10));
  Add(File(32, 998, "empty.bin", 0));        // empty files are left out
  Add(Folder(21, 997, "empty-orphan-dir"));  // so are folders with no file
  Add(Folder(22, kRoot, "home"));
  Add(File(33, 22, "fine.txt"));
  builder->FlashBuild(SEARCHER_TYPE_NTFS);

  EXPECT_EQ(TreeOf(), (Lines{"home/", "home/fine.txt", "Other lost files/", "Other lost files/orphan-dir/",
                             "Other lost files/orphan-dir/kept.txt", "Other lost files/loose.bin"}));
  ASSERT_EQ(sink.batches.size(), 2u);
  const auto& lost = sink.batches.back();
  EXPECT_EQ(lost.lost, 1);
  ASSERT_EQ(lost.nodes.size(), 4u);
  IFileNode* folder = lost.nodes.back();
  EXPECT_STREQ(folder->GetFileName(), "Other lost files");
  EXPECT_STREQ(folder->GetVolumeName(), "LostFiles");
  EXPECT_EQ(folder->GetCurrentNodeID(), -1);
  EXPECT_EQ(folder->GetSearcheType(), SEARCHER_TYPE_NTFS);
  EXPECT_EQ(folder->GetParent(), builder->GetRoot(SEARCHER_TYPE_NTFS));
  EXPECT_EQ(Counters().owned, 6u);
  EXPECT_EQ(ledger.Live(), 5);  // the lost folder is the builder's own
  ExpectNoSinkProblems();
}

TEST_F(TreeBuilder, WithNothingLostThereIsNoLostFolderOrLostBatch) {
  Add(Folder(20, kRoot, "d"));
  Add(File(30, 20, "f"));
  Add(Folder(21, 999, "empty-orphan"));
  builder->FlashBuild(SEARCHER_TYPE_NTFS);
  for (const auto& batch : sink.batches) EXPECT_EQ(batch.lost, 0);
  EXPECT_EQ(TreeOf(), (Lines{"d/", "d/f"}));
}

TEST_F(TreeBuilder, WhenNormalFilesAreHiddenOnlyDeletedFilesAndTheirFoldersShow) {
  filter.showNormal = false;
  Add(Folder(20, kRoot, "docs"));
  Add(File(30, 20, "alive.txt"));
  LedgerNode* gone = File(31, 20, "gone.txt");
  gone->MarkDeleted();
  Add(gone);
  Add(Folder(21, kRoot, "only-alive"));
  Add(File(32, 21, "alive2.txt"));
  Add(File(33, 999, "lost-alive.txt", 5));
  LedgerNode* lostGone = File(34, 999, "lost-gone.txt", 5);
  lostGone->MarkDeleted();
  Add(lostGone);
  builder->FlashBuild(SEARCHER_TYPE_NTFS);
  EXPECT_EQ(TreeOf(), (Lines{"docs/", "docs/gone.txt [deleted]", "Other lost files/",
                             "Other lost files/lost-gone.txt [deleted]"}));
}

// --- Deleted folders -----------------------------------------------------

TEST_F(TreeBuilder, EverythingBelowADeletedFolderIsDeletedWhateverTheOrder) {
  // g (deleted) / f / x.txt, fed innermost first: x is linked under f before
  // f learns that its own parent is deleted.
  Add(File(30, 21, "x.txt"));
  Add(Folder(21, 20, "f"));
  LedgerNode* g = Folder(20, kRoot, "g");
  g->MarkDeleted();
  Add(g);
  Add(Folder(22, kRoot, "alive"));
  Add(File(31, 22, "y.txt"));
  builder->FlashBuild(SEARCHER_TYPE_NTFS);
  EXPECT_EQ(TreeOf(), (Lines{"g/ [deleted]", "g/f/ [deleted]", "g/f/x.txt [deleted]", "alive/", "alive/y.txt"}));
}

TEST_F(TreeBuilder, AHiddenFileIsShownInTheBuildThatFindsItsFolderDeleted) {
  filter.showNormal = false;
  Add(File(30, 21, "x.txt"));
  Add(Folder(21, 20, "f"));
  now += CDirectoryTreeBuilder::kBuildSeconds;
  Add(Folder(22, kRoot, "other"));  // a build: x is hidden, f waits for its parent
  EXPECT_TRUE(sink.batches.empty());
  LedgerNode* g = Folder(20, kRoot, "g");
  g->MarkDeleted();
  now += CDirectoryTreeBuilder::kBuildSeconds;
  Add(g);
  ASSERT_EQ(sink.batches.size(), 1u);
  EXPECT_EQ(sink.batches[0].nodes.size(), 3u) << "f is found deleted, and so x, in the same build";
  EXPECT_EQ(TreeOf(), (Lines{"g/ [deleted]", "g/f/ [deleted]", "g/f/x.txt [deleted]"}));
}

TEST_F(TreeBuilder, HiddenFilesBelowADeletedFolderOutsideTheTreeShowAsDeletedLostFiles) {
  // g (deleted) never reaches the root; f below it looks alive, and the
  // normal file x below f is hidden until f is found deleted.
  filter.showNormal = false;
  Add(File(30, 21, "x.txt", 4));
  Add(Folder(21, 20, "f"));
  LedgerNode* g = Folder(20, 999, "g");
  g->MarkDeleted();
  Add(g);
  builder->FlashBuild(SEARCHER_TYPE_NTFS);
  EXPECT_EQ(TreeOf(), (Lines{"Other lost files/", "Other lost files/g/ [deleted]", "Other lost files/g/f/ [deleted]",
                             "Other lost files/g/f/x.txt [deleted]"}));
}

// --- Names ---------------------------------------------------------------

TEST_F(TreeBuilder, DotFilesAreRefusedAndDotFoldersLoseTheirLeadingDots) {
  Add(Folder(20, kRoot, ".config"));
  Add(Folder(21, 20, " ..cache"));
  Add(File(30, 21, "data.bin"));
  EXPECT_EQ(Add(File(31, 21, ".lock")), 0);
  builder->FlashBuild(SEARCHER_TYPE_NTFS);
  EXPECT_EQ(TreeOf(), (Lines{"config/", "config/ ..cache/", "config/ ..cache/data.bin"}));
}

TEST_F(TreeBuilder, ADotFolderOfBlanksAndDotsOnlyIsShownWithAnEmptyName) {
  Add(Folder(20, kRoot, ".."));
  Add(File(30, 20, "a"));
  builder->FlashBuild(SEARCHER_TYPE_NTFS);
  EXPECT_EQ(TreeOf(), (Lines{"/", "/a"}));
}

// --- Duplicates ----------------------------------------------------------

class Duplicates : public TreeBuilder {
 protected:
  LedgerNode* Kept(uint64_t size, uint64_t modified) {
    LedgerNode* node = File(30, kRoot, "same.doc", size);
    node->SetModified(modified);
    node->SetDataRunList(new CDataRunList());
    DataRun run{100, 4};
    node->GetDataRunList()->AddDataRun(&run);
    return node;
  }
};

TEST_F(Duplicates, AnEmptyCopyIsRefused) {
  LedgerNode* kept = Kept(4096, 50);
  ASSERT_EQ(Add(kept), 1);
  EXPECT_EQ(Add(Kept(0, 10)), 0);
  EXPECT_EQ(kept->GetFileSize(), 4096u);
}

TEST_F(Duplicates, ACopyNoOlderThanTheKeptNodeIsRefused) {
  LedgerNode* kept = Kept(4096, 50);
  ASSERT_EQ(Add(kept), 1);
  EXPECT_EQ(Add(Kept(8192, 50)), 0);
  EXPECT_EQ(Add(Kept(8192, 60)), 0);
  EXPECT_EQ(kept->GetFileSize(), 4096u);
  EXPECT_EQ(kept->GetDataRunList()->GetFirst()->start, 100);
}

TEST_F(Duplicates, AnOlderCopyGivesTheKeptNodeItsRunsAndSize) {
  LedgerNode* kept = Kept(4096, 50);
  ASSERT_EQ(Add(kept), 1);
  LedgerNode* older = Kept(8192, 10);
  DataRun extra{500, 2};
  older->SetDataRunList(new CDataRunList());
  older->GetDataRunList()->AddDataRun(&extra);
  const int answer = builder->AddNode(older, SEARCHER_TYPE_NTFS);
  EXPECT_EQ(answer, 0);
  EXPECT_EQ(older->GetDataRunList(), nullptr) << "the runs moved to the kept node";
  older->Release();
  EXPECT_EQ(kept->GetFileSize(), 8192u);
  ASSERT_NE(kept->GetDataRunList(), nullptr);
  EXPECT_EQ(kept->GetDataRunList()->GetFirst()->start, 500);
}

TEST_F(Duplicates, CopiesThatDifferAreKeptSideBySide) {
  ASSERT_EQ(Add(Kept(4096, 50)), 1);
  LedgerNode* renamed = File(30, kRoot, "other.doc", 10);
  EXPECT_EQ(Add(renamed), 1);
  LedgerNode* otherPartition = Kept(10, 1);
  otherPartition->SetBelongedPartition(2);
  EXPECT_EQ(Add(otherPartition), 1);
  builder->FlashBuild(SEARCHER_TYPE_NTFS);
  EXPECT_EQ(TreeOf(), (Lines{"same.doc", "other.doc"}));
  EXPECT_EQ(Counters().shown, 3);
}

class RestoringBuilder : public BuilderFixture {
 protected:
  RestoringBuilder() : BuilderFixture(true) {}
};

TEST_F(RestoringBuilder, KeepsEveryCopyOfAReplayedNode) {
  Init();
  ASSERT_EQ(builder->AddSearcherInfo(SEARCHER_TYPE_NTFS, kRoot), 1);
  EXPECT_EQ(Add(File(30, kRoot, "same.doc", 0)), 1);
  EXPECT_EQ(Add(File(30, kRoot, "same.doc", 0)), 1);
  builder->FlashBuild(SEARCHER_TYPE_NTFS);
  EXPECT_EQ(Counters().shown, 2);
}

TEST_F(RestoringBuilder, ReleasesReplayedNodesThatNeverEnterTheTree) {
  Init();
  ASSERT_EQ(builder->AddSearcherInfo(SEARCHER_TYPE_NTFS, kRoot), 1);
  Add(Folder(20, kRoot, "empty"));
  Add(File(30, 999, "empty-orphan", 0));
  builder->FlashBuild(SEARCHER_TYPE_NTFS);
  EXPECT_EQ(ledger.Live(), 0);
  EXPECT_EQ(Counters().owned, 0u);
}

// --- HFS+ private data ---------------------------------------------------

class HfsTree : public BuilderFixture {
 protected:
  static constexpr int64_t kHfsRoot = 2;
  void SetUp() override {
    Init("Mac");
    ASSERT_EQ(builder->AddSearcherInfo(SEARCHER_TYPE_HFSPLUS, kHfsRoot), 1);
  }
  int AddHfs(IFileNode* node) { return Add(node, SEARCHER_TYPE_HFSPLUS); }
};

TEST_F(HfsTree, NothingIsBuiltUntilThePrivateDataFolderIsKnown) {
  AddHfs(Folder(16, kHfsRoot, "Users"));
  for (int i = 0; i < 2 * CDirectoryTreeBuilder::kBuildNodeCount; ++i) {
    AddHfs(File(100 + i, 16, "f" + std::to_string(i)));
  }
  now += 60;
  AddHfs(File(99, 16, "late"));
  EXPECT_TRUE(sink.batches.empty());
  EXPECT_EQ(AddHfs(Folder(18, kHfsRoot, "HFS+ Private Data")), 0);
  AddHfs(File(98, 16, "after"));
  ASSERT_FALSE(sink.batches.empty());
  EXPECT_EQ(sink.batches[0].nodes.size(), 2u * CDirectoryTreeBuilder::kBuildNodeCount + 3);
}

TEST_F(HfsTree, FoldersInsideThePrivateDataFolderNeverEnter) {
  LedgerNode* early = Folder(40, 18, "dir_40");
  AddHfs(early);
  EXPECT_EQ(AddHfs(Folder(18, kHfsRoot, "HFS+ Private Data")), 0);
  EXPECT_FALSE(ledger.IsLive(early)) << "an accepted folder below it is released";
  EXPECT_EQ(AddHfs(Folder(41, 18, "dir_41")), 0);
  AddHfs(Folder(16, kHfsRoot, "Users"));
  AddHfs(File(100, 16, "a"));
  builder->FlashBuild(SEARCHER_TYPE_HFSPLUS);
  EXPECT_EQ(TreeOf(SEARCHER_TYPE_HFSPLUS), (Lines{"Users/", "Users/a"}));
}

TEST_F(HfsTree, OnlyThePrivateDataFolderDirectlyUnderTheRootCounts) {
  AddHfs(Folder(16, kHfsRoot, "Users"));
  EXPECT_EQ(AddHfs(Folder(17, 16, "HFS+ Private Data")), 1);
  AddHfs(File(100, 17, "a"));
  builder->FlashBuild(SEARCHER_TYPE_HFSPLUS);
  EXPECT_EQ(TreeOf(SEARCHER_TYPE_HFSPLUS), (Lines{"Users/", "Users/HFS+ Private Data/", "Users/HFS+ Private Data/a"}));
}

TEST_F(RestoringBuilder, ReplayedHfsTreesKeepThePrivateDataFolderAndBuildAtTheEnd) {
  Init("Mac");
  ASSERT_EQ(builder->AddSearcherInfo(SEARCHER_TYPE_HFSPLUS, 2), 1);
  EXPECT_EQ(Add(Folder(18, 2, "HFS+ Private Data"), SEARCHER_TYPE_HFSPLUS), 1);
  Add(File(100, 18, "iNode100"), SEARCHER_TYPE_HFSPLUS);
  now += 60;
  Add(File(101, 18, "iNode101"), SEARCHER_TYPE_HFSPLUS);
  EXPECT_TRUE(sink.batches.empty());
  builder->FlashBuild(SEARCHER_TYPE_HFSPLUS);
  EXPECT_EQ(TreeOf(SEARCHER_TYPE_HFSPLUS),
            (Lines{"HFS+ Private Data/", "HFS+ Private Data/iNode100", "HFS+ Private Data/iNode101"}));
}

// --- Trash folders -------------------------------------------------------

TEST_F(TreeBuilder, ATrashUnderTheRootIsDeletedWithItsContent) {
  Add(Folder(10, kRoot, ".Trashes"));
  Add(Folder(11, 10, "501"));
  Add(File(30, 11, "old.doc"));
  builder->FlashBuild(SEARCHER_TYPE_NTFS);
  EXPECT_EQ(TreeOf(), (Lines{"Trashes/ [deleted]", "Trashes/501/ [deleted]", "Trashes/501/old.doc [deleted]"}));
}

TEST_F(TreeBuilder, AFileNamedLikeATrashIsNoTrash) {
  LedgerNode* file = File(10, kRoot, ".Trash");
  EXPECT_EQ(builder->AddNode(file, SEARCHER_TYPE_NTFS), 0);
  EXPECT_EQ(file->IsDeleted(), 0);
  file->Release();
  Add(Folder(20, kRoot, "d"));
  Add(File(30, 20, "f"));
  builder->FlashBuild(SEARCHER_TYPE_NTFS);
  EXPECT_EQ(TreeOf(), (Lines{"d/", "d/f"}));
}

class UserTrash : public TreeBuilder {
 protected:
  void SetUp() override {
    const char* home = std::getenv("HOME");
    if (home != nullptr) m_savedHome = home;
    m_hadHome = home != nullptr;
    setenv("HOME", "/Users/alice", 1);
    TreeBuilder::SetUp();
  }
  void TearDown() override {
    if (m_hadHome) {
      setenv("HOME", m_savedHome.c_str(), 1);
    } else {
      unsetenv("HOME");
    }
  }
  void AddHome() {
    Add(Folder(20, kRoot, "Users"));
    Add(Folder(21, 20, "alice"));
    Add(Folder(22, 20, "bob"));
  }

 private:
  std::string m_savedHome;
  bool m_hadHome = false;
};

TEST_F(UserTrash, TheTrashInHomeIsDeletedWhenItsFoldersCameFirst) {
  AddHome();
  Add(Folder(23, 21, ".Trash"));
  Add(File(30, 23, "letter.doc"));
  Add(Folder(24, 22, ".Trash"));  // someone else's
  Add(File(31, 24, "memo.doc"));
  builder->FlashBuild(SEARCHER_TYPE_NTFS);
  EXPECT_EQ(TreeOf(),
            (Lines{"Users/", "Users/alice/", "Users/alice/Trash/ [deleted]", "Users/alice/Trash/letter.doc [deleted]",
                   "Users/bob/", "Users/bob/Trash/", "Users/bob/Trash/memo.doc"}));
}

TEST_F(UserTrash, TheTrashInHomeIsFoundAtTheEndWhenItCameFirst) {
  Add(Folder(23, 21, ".Trash"));
  Add(File(30, 23, "letter.doc"));
  AddHome();
  builder->FlashBuild(SEARCHER_TYPE_NTFS);
  const Lines lines = TreeOf();
  EXPECT_TRUE(lines.count("Users/alice/Trash/ [deleted]")) << ::testing::PrintToString(lines);
  EXPECT_TRUE(lines.count("Users/alice/Trash/letter.doc [deleted]")) << ::testing::PrintToString(lines);
}

TEST_F(UserTrash, WithoutHomeNoFolderIsTheUserTrash) {
  unsetenv("HOME");
  AddHome();
  Add(Folder(23, 21, ".Trash"));
  Add(File(30, 23, "letter.doc"));
  builder->FlashBuild(SEARCHER_TYPE_NTFS);
  EXPECT_TRUE(TreeOf().count("Users/alice/Trash/letter.doc"));
}

}  // namespace
