// Hostile input at scale: many orphans, very deep chains, and the ownership
// rule (every node accepted is released once, by the builder; every node
// refused stays with its caller) under a random mix of IDs, names and
// finishes.
#include <gtest/gtest.h>

#include <random>
#include <string>

#include "TreeTestSupport.h"

namespace {

using treetest::LedgerNode;

class Faults : public treetest::BuilderFixture {
 protected:
  void SetUp() override {
    Init();
    ASSERT_EQ(builder->AddSearcherInfo(SEARCHER_TYPE_NTFS, 5) + builder->AddSearcherInfo(SEARCHER_TYPE_FAT, 0), 2);
  }
};

TEST_F(Faults, ManyOrphansAreNotRescannedOnEveryBuild) {
  // 100,000 files whose folders come only at the end, with a build every
  // 1,024 nodes: no build may walk all the orphans again.
  constexpr int kFiles = 100000, kFolders = 1000;
  for (int i = 0; i < kFiles; ++i) Add(File(1000000 + i, 10 + i % kFolders, "f"));
  for (int i = 0; i < kFolders; ++i) Add(Folder(10 + i, 5, "d"));
  EXPECT_GE(Counters().builds, kFiles / CDirectoryTreeBuilder::kBuildNodeCount);
  builder->FlashBuild(SEARCHER_TYPE_NTFS);
  EXPECT_EQ(Counters().shown, kFiles + kFolders);
  EXPECT_LT(Counters().walkSteps, 4u * (kFiles + kFolders));
}

TEST_F(Faults, AVeryDeepChainBuildsInEitherOrder) {
  // Deepest first, every folder wakes the one below it; outermost first, one
  // walk climbs the whole chain when the file comes.
  constexpr int kDepth = 50000;
  Add(File(900000, 9 + kDepth, "bottom.bin"));
  for (int i = kDepth - 1; i >= 0; --i) Add(Folder(10 + i, i == 0 ? 5 : 9 + i, "d"));
  for (int i = 0; i < kDepth; ++i) Add(Folder(10 + i, i == 0 ? 0 : 9 + i, "d"), SEARCHER_TYPE_FAT);
  Add(File(900000, 9 + kDepth, "bottom.bin"), SEARCHER_TYPE_FAT);
  for (auto type : {SEARCHER_TYPE_NTFS, SEARCHER_TYPE_FAT}) {
    builder->FlashBuild(type);
    EXPECT_EQ(Counters(type).shown, kDepth + 1);
  }
  ExpectNoSinkProblems();
}

TEST_F(Faults, EveryAcceptedNodeIsReleasedOnceAndEveryRefusedOneStaysWithItsCaller) {
  std::mt19937 random(20240611);
  const char* const prefixes[] = {".", "$R", "$I", "", "", "", "", ""};
  int lost = 0;
  for (int round = 0; round < 3; ++round) {
    for (int i = 0; i < 5000; ++i) {
      const bool folder = random() % 3 == 0;
      const int64_t id = random() % 3000;
      const int64_t parent = random() % 10 == 0 ? (random() % 2 == 0 ? 5 : 0) : random() % 3000;
      std::string name = prefixes[random() % 8] + std::to_string(random() % 50);
      if (folder && random() % 6 == 0) name = random() % 2 == 0 ? "$Recycle.Bin" : ".Trashes";
      LedgerNode* node = Node(id, parent, name, folder, random() % 4);
      node->SetModified(random() % 5);
      if (random() % 7 == 0) node->MarkDeleted();
      if (random() % 5 == 0) node->SetBelongedPartition(static_cast<uint16_t>(random() % 2));
      filter.showNormal = random() % 4 != 0;
      now += random() % 100 == 0 ? 5 : 0;
      Add(node, random() % 2 == 0 ? SEARCHER_TYPE_NTFS : SEARCHER_TYPE_FAT);
    }
    const size_t batches = sink.batches.size();
    for (auto type : {SEARCHER_TYPE_FAT, SEARCHER_TYPE_NTFS}) builder->FlashBuild(type);
    for (size_t b = batches; b < sink.batches.size(); ++b) lost += sink.batches[b].lost;
    // Everything the builder still owns is in a tree, shown once; the rest is gone.
    const size_t inTrees = TreeOf(SEARCHER_TYPE_NTFS).size() + TreeOf(SEARCHER_TYPE_FAT).size();
    EXPECT_EQ(Counters(SEARCHER_TYPE_NTFS).owned + Counters(SEARCHER_TYPE_FAT).owned, inTrees);
    EXPECT_EQ(static_cast<size_t>(ledger.Live()) + lost, inTrees);
    EXPECT_EQ(sink.seen.size(), inTrees);
  }
  ExpectNoSinkProblems();
}

}  // namespace
