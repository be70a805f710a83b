// Damaged and hostile input: parent IDs that form cycles, nameless nodes,
// very deep or very orphaned trees, nodes that are not of the common base;
// and the ownership rule (every node accepted is released exactly once, by
// the builder; every node refused stays with its caller) under a random mix.
#include <gtest/gtest.h>

#include <cstdlib>
#include <random>
#include <string>
#include <vector>

#include "TreeTestSupport.h"
#include "tree/CFilesystemNode.h"

namespace {

using treetest::BuilderFixture;
using treetest::LedgerNode;
using Lines = std::set<std::string>;

constexpr int64_t kRoot = 5;

class Faults : public BuilderFixture {
 protected:
  void SetUp() override {
    Init();
    ASSERT_EQ(builder->AddSearcherInfo(SEARCHER_TYPE_NTFS, kRoot), 1);
  }
};

// --- Cycles --------------------------------------------------------------

TEST_F(Faults, ParentIDsFormingACycleEndUnderLostFiles) {
  Add(Folder(10, 11, "a"));
  Add(Folder(11, 12, "b"));
  Add(Folder(12, 10, "c"));
  Add(File(30, 10, "in-a.txt"));
  Add(File(31, 12, "in-c.txt"));
  now += 60;
  Add(File(32, kRoot, "top.txt"));  // runs a build over the cycle
  builder->FlashBuild(SEARCHER_TYPE_NTFS);

  const Lines lines = TreeOf();
  EXPECT_TRUE(lines.count("top.txt"));
  size_t lost = 0;
  for (const auto& line : lines) lost += line.rfind("Other lost files/", 0) == 0 ? 1 : 0;
  EXPECT_EQ(lost, 6u) << ::testing::PrintToString(lines);  // the folder itself, a, b, c and both files
  EXPECT_EQ(sink.NodesShown(), 7u);
  ExpectNoSinkProblems();
}

TEST_F(Faults, TrashAndVersionWalksStopOnCycles) {
  Add(Folder(9, kRoot, ".Trashes"));  // makes every choice among versions ask "inside the trash?"
  Add(Folder(10, 11, "a"));
  Add(Folder(10, 11, "a-too"));
  Add(Folder(11, 10, "b"));
  Add(Folder(11, 10, "b-too"));
  Add(File(30, 10, "f"));
  Add(File(31, 11, "g"));
  builder->FlashBuild(SEARCHER_TYPE_NTFS);
  EXPECT_EQ(Counters().shown, static_cast<int64_t>(sink.NodesShown()));
  ExpectNoSinkProblems();
}

TEST_F(Faults, UserTrashLookupStopsOnCycles) {
  const char* home = std::getenv("HOME");
  const std::string saved = home != nullptr ? home : "";
  setenv("HOME", "/x/y", 1);
  Add(Folder(10, 11, "x"));
  Add(Folder(11, 10, "y"));
  Add(Folder(12, 11, ".Trash"));  // its path never reaches the root
  Add(File(30, 12, "t"));
  builder->FlashBuild(SEARCHER_TYPE_NTFS);
  if (home != nullptr) {
    setenv("HOME", saved.c_str(), 1);
  } else {
    unsetenv("HOME");
  }
  for (const auto& line : TreeOf()) EXPECT_EQ(line.find("[deleted]"), std::string::npos) << line;
}

// --- Names ---------------------------------------------------------------

TEST_F(Faults, NodesWithoutANameCountAsEmptyNames) {
  LedgerNode* folder = Folder(20, kRoot, "");
  folder->SetNullName();
  LedgerNode* file = File(30, 20, "");
  file->SetNullName();
  LedgerNode* sibling = File(31, 20, "named.txt");
  EXPECT_EQ(Add(folder), 1);
  EXPECT_EQ(Add(file), 1);
  EXPECT_EQ(Add(sibling), 1);
  builder->FlashBuild(SEARCHER_TYPE_NTFS);
  EXPECT_EQ(TreeOf(), (Lines{"<null>/", "<null>/<null>", "<null>/named.txt"}));
}

// --- Size ---------------------------------------------------------------

TEST_F(Faults, ManyOrphansAreNotRescannedOnEveryBuild) {
  // 100,000 files whose folders come only at the end: an incremental build
  // runs every 1,024 nodes, and none of them may walk all the orphans again.
  constexpr int kFiles = 100000;
  constexpr int kFolders = 1000;
  for (int i = 0; i < kFiles; ++i) {
    Add(File(1000000 + i, 10 + i % kFolders, "f" + std::to_string(i)));
  }
  for (int i = 0; i < kFolders; ++i) Add(Folder(10 + i, kRoot, "d" + std::to_string(i)));
  const auto during = Counters();
  builder->FlashBuild(SEARCHER_TYPE_NTFS);
  const auto after = Counters();

  EXPECT_GE(during.builds, kFiles / CDirectoryTreeBuilder::kBuildNodeCount);
  EXPECT_EQ(after.shown, kFiles + kFolders);
  // Each node is looked at a small, fixed number of times.
  EXPECT_LT(after.walkSteps, 4u * (kFiles + kFolders)) << after.walkSteps;
}

TEST_F(Faults, AVeryDeepChainBuildsInEitherOrder) {
  constexpr int kDepth = 50000;
  // Deepest first: every folder wakes the one below it.
  Add(File(900000, 10 + kDepth - 1, "bottom.bin"));
  for (int i = kDepth - 1; i >= 0; --i) Add(Folder(10 + i, i == 0 ? kRoot : 10 + i - 1, "d"));
  builder->FlashBuild(SEARCHER_TYPE_NTFS);
  EXPECT_EQ(treetest::CountBelow(builder->GetRoot(SEARCHER_TYPE_NTFS)), static_cast<size_t>(kDepth) + 1);

  ASSERT_EQ(builder->AddSearcherInfo(SEARCHER_TYPE_FAT, 0), 1);
  // Outermost first: one walk climbs the whole chain when the file comes.
  for (int i = 0; i < kDepth; ++i) Add(Folder(10 + i, i == 0 ? 0 : 10 + i - 1, "d"), SEARCHER_TYPE_FAT);
  Add(File(900000, 10 + kDepth - 1, "bottom.bin"), SEARCHER_TYPE_FAT);
  builder->FlashBuild(SEARCHER_TYPE_FAT);
  EXPECT_EQ(treetest::CountBelow(builder->GetRoot(SEARCHER_TYPE_FAT)), static_cast<size_t>(kDepth) + 1);
  ExpectNoSinkProblems();
}

// --- Ownership ------------------------------------------------------------

TEST_F(Faults, ANodeAddedTwiceIsOwnedOnce) {
  LedgerNode* file = File(30, kRoot, "a");
  ASSERT_EQ(Add(file), 1);
  EXPECT_EQ(builder->AddNode(file, SEARCHER_TYPE_NTFS), 1);
  builder->FlashBuild(SEARCHER_TYPE_NTFS);
  EXPECT_EQ(Counters().shown, 1);
  // A root handed back in is the builder's already.
  IFilesystemNode* root = builder->GetRoot(SEARCHER_TYPE_NTFS);
  EXPECT_EQ(builder->AddNode(root, SEARCHER_TYPE_NTFS), 1);
}

TEST_F(Faults, AFolderThatRefusesChildrenLeavesThemToTheLostFiles) {
  class Stubborn : public LedgerNode {
   public:
    using LedgerNode::LedgerNode;
    int AddChild(IFileNode*) override { return 0; }
  };
  auto* stubborn = new Stubborn(&ledger, 20, kRoot, "stubborn", true);
  Add(stubborn);
  Add(File(30, 20, "child.txt", 3));
  builder->FlashBuild(SEARCHER_TYPE_NTFS);
  EXPECT_EQ(TreeOf(), (Lines{"Other lost files/", "Other lost files/child.txt"}));
  EXPECT_FALSE(ledger.IsLive(stubborn)) << "left without a file below it";
}

TEST_F(Faults, EveryAcceptedNodeIsReleasedOnceAndEveryRefusedOneStaysWithItsCaller) {
  ASSERT_EQ(builder->AddSearcherInfo(SEARCHER_TYPE_FAT, 0), 1);
  std::mt19937 random(20240611);
  int refused = 0;
  int lostBatches = 0;
  for (int round = 0; round < 3; ++round) {
    for (int i = 0; i < 5000; ++i) {
      const int64_t id = random() % 3000;
      int64_t parent = random() % 3000;
      if (random() % 10 == 0) parent = random() % 2 == 0 ? kRoot : 0;
      const bool folder = random() % 3 == 0;
      std::string name = "n" + std::to_string(random() % 50);
      switch (random() % 12) {
        case 0:
          name = "." + name;
          break;
        case 1:
          name = "$R" + name;
          break;
        case 2:
          name = "$I" + name;
          break;
        case 3:
          name = folder ? "$Recycle.Bin" : name;
          break;
        case 4:
          name = folder ? ".Trashes" : name;
          break;
        default:
          break;
      }
      LedgerNode* node = Node(id, parent, name, folder, random() % 4);
      node->SetModified(random() % 5);
      if (random() % 7 == 0) node->MarkDeleted();
      if (random() % 5 == 0) node->SetBelongedPartition(static_cast<uint16_t>(random() % 2));
      const _tagSearcherType type = random() % 2 == 0 ? SEARCHER_TYPE_NTFS : SEARCHER_TYPE_FAT;
      filter.showNormal = random() % 4 != 0;
      if (random() % 100 == 0) now += 5;
      const int answer = builder->AddNode(node, type);
      if (answer == 0) {
        ASSERT_TRUE(ledger.IsLive(node));
        EXPECT_EQ(node->GetParent(), nullptr);
        EXPECT_EQ(node->GetFirstChild(), nullptr);
        node->Release();
        ++refused;
      }
    }
    for (_tagSearcherType type : {SEARCHER_TYPE_FAT, SEARCHER_TYPE_NTFS}) builder->FlashBuild(type);
    lostBatches = 0;
    for (const auto& batch : sink.batches) lostBatches += batch.lost;
    const size_t owned = Counters(SEARCHER_TYPE_NTFS).owned + Counters(SEARCHER_TYPE_FAT).owned;
    // Everything the builder still owns is in a tree; the rest is gone.
    EXPECT_EQ(static_cast<size_t>(ledger.Live() + lostBatches), owned);
    EXPECT_EQ(sink.NodesShown(), treetest::CountBelow(builder->GetRoot(SEARCHER_TYPE_NTFS)) +
                                     treetest::CountBelow(builder->GetRoot(SEARCHER_TYPE_FAT)));
  }
  EXPECT_GT(refused, 0);
  ExpectNoSinkProblems();
}

}  // namespace
