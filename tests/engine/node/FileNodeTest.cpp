// Links, the packed word, run lists and equality of a node. Show and check
// propagation is checked on a real hierarchy (NodeTreePropertyTest.cpp).
#include "FileNode.h"

#include <gtest/gtest.h>

#include <atomic>
#include <memory>
#include <vector>

#include "DataRunList.h"
#include "TestNode.h"

namespace {

std::vector<IFileNode*> Chain(IFileNode* node) {
  std::vector<IFileNode*> out;
  for (; node != nullptr; node = node->GetNextNode()) out.push_back(node);
  return out;
}

TEST(PackedState, FieldsDoNotDisturbEachOther) {
  TestNode node("a", false);
  EXPECT_EQ(node.GetBelongedPartition(), 0xFFFF);
  EXPECT_EQ(node.GetMetadataStartPosition(), -1);
  node.SetBelongedPartition(0x1234);
  node.SetCheck(CHECKED_STATUS_CHECKED);
  node.ShowNode(16);  // only the low four bits count
  // The sector keeps 40 bits: bit 39 is its sign.
  for (int64_t sector : {0x7FFFFFFFFFLL, -1LL, -(1LL << 39), 1LL << 39}) {
    node.SetMetaDataSector(sector);
    EXPECT_EQ(node.GetMetadataStartPosition(), sector == 1LL << 39 ? -sector : sector);
    EXPECT_EQ(node.GetBelongedPartition(), 0x1234);
    EXPECT_EQ(node.GetCheckedStatus(), CHECKED_STATUS_CHECKED);
    EXPECT_EQ(node.IsNodeShow(), 0);
  }
}

TEST(Linking, RefusesRingsAndNodesLinkedElsewhere) {
  TestNode root("root", true), mid("mid", true), leaf("leaf", true), other("other", true);
  ASSERT_EQ(root.AddChild(&mid) + mid.AddChild(&leaf), 2);
  for (IFileNode* bad : std::vector<IFileNode*>{nullptr, &leaf, &mid, &root}) EXPECT_EQ(leaf.AddChild(bad), 0);
  EXPECT_EQ(other.AddChild(&leaf), 0);
  EXPECT_EQ(leaf.GetParent(), &mid);
  EXPECT_EQ(mid.GetShownChildCount() + other.GetShownChildCount(), 1u);

  // Sibling chains are spliced in turn; rings and counted children are refused.
  TestNode a("A", false), a1("a1", false), a2("a2", false), b("B", false), b1("b1", false);
  ASSERT_EQ(a1.AddNext(&a2) + a.AddNext(&a1) + b.AddNext(&b1) + a.AddNext(&b), 4);
  EXPECT_EQ(Chain(&a), (std::vector<IFileNode*>{&a, &b, &a1, &b1, &a2}));
  for (IFileNode* bad : std::vector<IFileNode*>{nullptr, &a, &b1}) EXPECT_EQ(a.AddNext(bad), 0);
  EXPECT_EQ(b1.AddNext(&a) + mid.AddNext(&other) + other.AddNext(&mid), 0);
  EXPECT_EQ(Chain(&a).size(), 5u);
}

TEST(RunList, MovesWithAMergeAndIsCopiedByAClone) {
  auto* runs = new CDataRunList();
  const DataRun run{100, 4};
  runs->AddDataRun(&run);
  TestNode kept("a", false, 10), newer("a", false, 99), dir("dir", true), other("other", false);
  kept.SetDataRunList(new CDataRunList());
  newer.SetDataRunList(runs);
  newer.SetDataRunList(runs);  // the same list again is no replacement
  kept.MergeNode(&newer);      // releases kept's own list (the sanitizer build sees a leak)
  kept.MergeNode(&kept);
  kept.MergeNode(nullptr);
  EXPECT_EQ(kept.GetDataRunList(), runs);
  EXPECT_EQ(newer.GetDataRunList(), nullptr);
  EXPECT_EQ(kept.GetFileSize(), 99u);

  ASSERT_EQ(dir.AddChild(&kept) + dir.AddChild(&other), 2);
  kept.SetMetaDataSector(9000);
  kept.SetCheck(CHECKED_STATUS_CHECKED);
  ASSERT_EQ(dir.GetCheckedStatus(), CHECKED_STATUS_PARTLY);
  std::unique_ptr<CFileNode> copy(static_cast<CFileNode*>(kept.Clone())), dirCopy(static_cast<CFileNode*>(dir.Clone()));
  EXPECT_EQ(copy->GetParent(), nullptr);
  EXPECT_EQ(copy->GetMetadataStartPosition(), 9000);
  ASSERT_NE(copy->GetDataRunList(), runs);
  EXPECT_EQ(copy->GetDataRunList()->GetFirst()->start, 100);
  // A folder's copy has no children to be partly checked by.
  EXPECT_EQ(dirCopy->GetFirstChild(), nullptr);
  EXPECT_EQ(dirCopy->GetCheckedStatus(), CHECKED_STATUS_UNCHECKED);
}

TEST(RunList, OnDemandIsMadeOnceWhenFirstAskedForAndMovesAndCopiesLikeAnyOther) {
  std::atomic<int> made{0};
  { OnDemandNode never(1, &made); }  // released without its list ever made (the sanitizer build sees leaks)
  OnDemandNode node(7, &made);
  EXPECT_EQ(made, 0);
  IDataRunList* list = node.GetDataRunList();
  ASSERT_NE(list, nullptr);
  EXPECT_EQ(node.GetDataRunList(), list);
  EXPECT_EQ(list->GetFirst()->start, 7);
  EXPECT_EQ(made, 1);

  // A copy of a node whose list is not made yet makes its own.
  OnDemandNode promised(9, &made);
  std::unique_ptr<CFileNode> copy(static_cast<CFileNode*>(promised.Clone()));
  EXPECT_EQ(made, 1);
  ASSERT_NE(copy->GetDataRunList(), nullptr);
  EXPECT_EQ(copy->GetDataRunList()->GetFirst()->start, 9);
  EXPECT_EQ(made, 2);

  // A merge takes the list, made now; the node that gave it has none after.
  TestNode kept("lazy", false, 1);
  kept.MergeNode(&promised);
  EXPECT_EQ(made, 3);
  ASSERT_NE(kept.GetDataRunList(), nullptr);
  EXPECT_EQ(kept.GetDataRunList()->GetFirst()->start, 9);
  EXPECT_EQ(promised.GetDataRunList(), nullptr);
  EXPECT_EQ(kept.GetFileSize(), 10u);

  // A list given outright replaces the promise, which is never kept.
  OnDemandNode replaced(11, &made);
  replaced.SetDataRunList(nullptr);
  EXPECT_EQ(replaced.GetDataRunList(), nullptr);
  EXPECT_EQ(made, 3);
}

TEST(Equality, IdsKindNameAndPartitionOfFilesOnly) {
  auto make = [](const char* name, bool dir, int64_t id, int64_t parent, uint16_t partition) {
    auto node = std::make_unique<TestNode>(name != nullptr ? name : "", dir);
    if (name == nullptr) node->SetNullName();
    node->SetCurrentNodeID(id), node->SetParentNodeID(parent), node->SetBelongedPartition(partition);
    return node;
  };
  const auto a = make("x", false, 10, 5, 1), nameless = make(nullptr, false, 10, 5, 1);
  EXPECT_TRUE(*a == *make("x", false, 10, 5, 1));
  for (const auto& b : {make("x", false, 11, 5, 1), make("x", false, 10, 6, 1), make("X", false, 10, 5, 1),
                        make("x", true, 10, 5, 1), make("x", false, 10, 5, 2), make(nullptr, false, 10, 5, 1)}) {
    EXPECT_FALSE(*a == *b) << b->GetCurrentNodeID() << b->GetParentNodeID() << b->GetBelongedPartition();
  }
  EXPECT_TRUE(*make("d", true, 10, 5, 1) == *make("d", true, 10, 5, 2));  // folders match across partitions
  EXPECT_TRUE(*nameless == *make("", false, 10, 5, 1) && *make("", false, 10, 5, 1) == *nameless);
}

}  // namespace
