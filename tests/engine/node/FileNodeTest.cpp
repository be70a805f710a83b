#include "FileNode.h"

#include <gtest/gtest.h>

#include <memory>
#include <vector>

#include "DataRunList.h"
#include "TestNode.h"

namespace {

// Counts releases, to check who gives a run list back and when.
class CountingRunList : public CDataRunList {
 public:
  explicit CountingRunList(int* releases) : m_releases(releases) {}
  void Release() override {
    ++*m_releases;
    delete this;
  }

 private:
  int* m_releases;
};

// A node that answers the interface without being a CFileNode.
class ForeignNode : public IFileNode {
 public:
  int IsNodeShow() const override { return 1; }
  void ShowNode(int) override {}
  int64_t GetCurrentNodeID() const override { return 7; }
  int64_t GetParentNodeID() const override { return 1; }
  IFileNode* GetParent() const override { return nullptr; }
  IFileNode* GetFirstChild() override { return nullptr; }
  IFileNode* GetNextNode() override { return nullptr; }
  const char* GetFileName() override { return "foreign"; }
  uint64_t GetFileSize() override { return 0; }
  uint32_t GetAttribute() override { return 0; }
  uint64_t GetCreationTime() override { return 0; }
  uint64_t GetModificationTime() override { return 0; }
  uint64_t GetLastAccessTime() override { return 0; }
  int IsDirectory() override { return 0; }
  int IsDeleted() override { return 0; }
  _tagCheckedStatus GetCheckedStatus() override { return CHECKED_STATUS_UNCHECKED; }
  void SetCheck(_tagCheckedStatus) override {}
  _tagSearcherType GetSearcheType() const override { return SEARCHER_TYPE_NONE; }
  const char* GetVolumeName() const override { return nullptr; }
  int AddChild(IFileNode*) override { return 0; }
  int AddNext(IFileNode*) override { return 0; }
  IFileNode* Clone() override { return nullptr; }
  void Release() override { delete this; }
  void MarkDeleted() override {}
  IFileReader* CreateCompressFileReader(void*) override { return nullptr; }
  int IsCompressed() const override { return 0; }
  void SetMetaDataSector(int64_t) override {}
  void FilterFileNameByDot() override {}
  void UpdateFileSize(int64_t) override {}
  void UpdateNodeInfo() override {}
};

// Owns the nodes of one test; children are linked in the order given, so the
// last child given is the first child.
struct Tree {
  std::vector<std::unique_ptr<TestNode>> nodes;

  TestNode* Add(const char* name, bool dir, TestNode* parent = nullptr) {
    nodes.push_back(std::make_unique<TestNode>(name, dir));
    TestNode* node = nodes.back().get();
    if (parent != nullptr) {
      EXPECT_EQ(parent->AddChild(node), 1);
    }
    return node;
  }
};

std::vector<IFileNode*> Children(IFileNode* node) {
  std::vector<IFileNode*> out;
  for (IFileNode* c = node->GetFirstChild(); c != nullptr; c = c->GetNextNode()) out.push_back(c);
  return out;
}

TEST(NewNode, IsUncheckedShownAndBelongsNowhere) {
  TestNode node("a", false);
  EXPECT_EQ(node.GetCheckedStatus(), CHECKED_STATUS_UNCHECKED);
  EXPECT_EQ(node.IsNodeShow(), 1);
  EXPECT_EQ(node.GetBelongedPartition(), 0xFFFF);
  EXPECT_EQ(node.GetMetadataStartPosition(), -1);
  EXPECT_EQ(node.GetCurrentNodeID(), -1);
  EXPECT_EQ(node.GetParentNodeID(), -1);
  EXPECT_EQ(node.GetParent(), nullptr);
  EXPECT_EQ(node.GetFirstChild(), nullptr);
  EXPECT_EQ(node.GetNextNode(), nullptr);
  EXPECT_EQ(node.GetDataRunList(), nullptr);
  EXPECT_EQ(node.GetSearcheType(), SEARCHER_TYPE_NONE);
  EXPECT_EQ(node.GetVolumeName(), nullptr);
  EXPECT_EQ(node.CreateCompressFileReader(nullptr), nullptr);
  EXPECT_EQ(node.IsCompressed(), 0);
  EXPECT_EQ(node.GetShownChildCount(), 0u);
  EXPECT_EQ(node.GetCheckedWeight(), 0u);
}

TEST(PackedState, FieldsDoNotDisturbEachOther) {
  TestNode node("a", false);
  node.SetBelongedPartition(0x1234);
  node.SetMetaDataSector(0x7FFFFFFFFFLL);  // the largest 40-bit sector
  node.SetCheck(CHECKED_STATUS_CHECKED);
  node.ShowNode(0);
  EXPECT_EQ(node.GetBelongedPartition(), 0x1234);
  EXPECT_EQ(node.GetMetadataStartPosition(), 0x7FFFFFFFFFLL);
  EXPECT_EQ(node.GetCheckedStatus(), CHECKED_STATUS_CHECKED);
  EXPECT_EQ(node.IsNodeShow(), 0);

  node.SetMetaDataSector(-1);
  EXPECT_EQ(node.GetMetadataStartPosition(), -1);
  EXPECT_EQ(node.GetBelongedPartition(), 0x1234);
  node.SetMetaDataSector(-(1LL << 39));
  EXPECT_EQ(node.GetMetadataStartPosition(), -(1LL << 39));
  node.SetMetaDataSector(123456789);
  EXPECT_EQ(node.GetMetadataStartPosition(), 123456789);
  // Beyond 40 bits the sector is cut: bit 39 becomes the sign.
  node.SetMetaDataSector(1LL << 39);
  EXPECT_EQ(node.GetMetadataStartPosition(), -(1LL << 39));
  node.SetBelongedPartition(0);
  EXPECT_EQ(node.GetBelongedPartition(), 0);
  EXPECT_EQ(node.GetCheckedStatus(), CHECKED_STATUS_CHECKED);
  EXPECT_EQ(node.IsNodeShow(), 0);
}

TEST(ShowFlag, AnswersOneOrZeroAndUsesTheLowFourBits) {
  TestNode node("a", false);
  node.ShowNode(5);
  EXPECT_EQ(node.IsNodeShow(), 1);
  node.ShowNode(16);  // low four bits are 0
  EXPECT_EQ(node.IsNodeShow(), 0);
  node.ShowNode(-1);
  EXPECT_EQ(node.IsNodeShow(), 1);
}

TEST(Linking, ChildrenArePrependedAndKnowTheirParent) {
  Tree t;
  TestNode* dir = t.Add("dir", true);
  TestNode* a = t.Add("a", false, dir);
  TestNode* b = t.Add("b", false, dir);
  EXPECT_EQ(Children(dir), (std::vector<IFileNode*>{b, a}));
  EXPECT_EQ(a->GetParent(), dir);
  EXPECT_EQ(b->GetParent(), dir);
  EXPECT_EQ(dir->GetShownChildCount(), 2u);
}

TEST(Linking, RefusesWhatWouldBreakTheTree) {
  Tree t;
  TestNode* root = t.Add("root", true);
  TestNode* mid = t.Add("mid", true, root);
  TestNode* leaf = t.Add("leaf", true, mid);
  TestNode* other = t.Add("other", true);
  ForeignNode foreign;

  EXPECT_EQ(leaf->AddChild(nullptr), 0);
  EXPECT_EQ(leaf->AddChild(&foreign), 0);
  EXPECT_EQ(leaf->AddChild(leaf), 0);   // itself
  EXPECT_EQ(leaf->AddChild(root), 0);   // its grandparent
  EXPECT_EQ(leaf->AddChild(mid), 0);    // its parent
  EXPECT_EQ(other->AddChild(leaf), 0);  // already linked under mid

  // Nothing changed.
  EXPECT_EQ(Children(root), (std::vector<IFileNode*>{mid}));
  EXPECT_EQ(Children(mid), (std::vector<IFileNode*>{leaf}));
  EXPECT_EQ(Children(leaf), std::vector<IFileNode*>{});
  EXPECT_EQ(Children(other), std::vector<IFileNode*>{});
  EXPECT_EQ(root->GetParent(), nullptr);
  EXPECT_EQ(leaf->GetParent(), mid);
  EXPECT_EQ(root->GetShownChildCount(), 1u);
  EXPECT_EQ(mid->GetShownChildCount(), 1u);
  EXPECT_EQ(leaf->GetShownChildCount(), 0u);
  EXPECT_EQ(other->GetShownChildCount(), 0u);
}

TEST(Linking, HiddenChildIsNotCounted) {
  Tree t;
  TestNode* dir = t.Add("dir", true);
  TestNode* hidden = t.Add("hidden", false);
  hidden->ShowNode(0);
  ASSERT_EQ(dir->AddChild(hidden), 1);
  EXPECT_EQ(dir->GetShownChildCount(), 0u);
  hidden->ShowNode(1);
  EXPECT_EQ(dir->GetShownChildCount(), 1u);
  // Checking the only child checks the folder fully, not partly.
  hidden->SetCheck(CHECKED_STATUS_CHECKED);
  EXPECT_EQ(dir->GetCheckedStatus(), CHECKED_STATUS_CHECKED);
}

TEST(Linking, CheckedChildMakesAFullyCheckedFolderPartly) {
  Tree t;
  TestNode* dir = t.Add("dir", true);
  t.Add("a", false, dir);
  dir->SetCheck(CHECKED_STATUS_CHECKED);
  ASSERT_EQ(dir->GetCheckedStatus(), CHECKED_STATUS_CHECKED);
  t.Add("late", false, dir);  // arrives unchecked while the scan runs
  EXPECT_EQ(dir->GetCheckedStatus(), CHECKED_STATUS_PARTLY);
  EXPECT_EQ(dir->GetCheckedWeight(), 2u);
}

TEST(AddNext, SplicesBothChainsInTurn) {
  Tree t;
  TestNode* a = t.Add("A", false);
  TestNode* a1 = t.Add("a1", false);
  TestNode* a2 = t.Add("a2", false);
  TestNode* b = t.Add("B", false);
  TestNode* b1 = t.Add("b1", false);
  ASSERT_EQ(a1->AddNext(a2), 1);
  ASSERT_EQ(a->AddNext(a1), 1);
  ASSERT_EQ(b->AddNext(b1), 1);
  ASSERT_EQ(a->AddNext(b), 1);
  std::vector<IFileNode*> chain;
  for (IFileNode* n = a; n != nullptr; n = n->GetNextNode()) chain.push_back(n);
  EXPECT_EQ(chain, (std::vector<IFileNode*>{a, b, a1, b1, a2}));
}

TEST(AddNext, RefusesRingsLinkedNodesAndStrangers) {
  Tree t;
  TestNode* a = t.Add("a", false);
  TestNode* b = t.Add("b", false);
  ASSERT_EQ(a->AddNext(b), 1);
  EXPECT_EQ(a->AddNext(b), 0);  // already behind a
  EXPECT_EQ(b->AddNext(a), 0);  // would close a ring
  EXPECT_EQ(a->AddNext(a), 0);
  EXPECT_EQ(a->AddNext(nullptr), 0);
  ForeignNode foreign;
  EXPECT_EQ(a->AddNext(&foreign), 0);
  TestNode* dir = t.Add("dir", true);
  TestNode* child = t.Add("child", false, dir);
  TestNode* loose = t.Add("loose", false);
  EXPECT_EQ(child->AddNext(loose), 0);  // its parent would not know
  EXPECT_EQ(loose->AddNext(child), 0);
  EXPECT_EQ(a->GetNextNode(), b);
  EXPECT_EQ(b->GetNextNode(), nullptr);
}

TEST(CheckMarks, ParentFollowsItsShownChildren) {
  Tree t;
  TestNode* dir = t.Add("dir", true);
  TestNode* a = t.Add("a", false, dir);
  TestNode* b = t.Add("b", false, dir);

  a->SetCheck(CHECKED_STATUS_CHECKED);
  EXPECT_EQ(dir->GetCheckedStatus(), CHECKED_STATUS_PARTLY);
  EXPECT_EQ(dir->GetCheckedWeight(), 2u);
  b->SetCheck(CHECKED_STATUS_CHECKED);
  EXPECT_EQ(dir->GetCheckedStatus(), CHECKED_STATUS_CHECKED);
  EXPECT_EQ(dir->GetCheckedWeight(), 4u);
  b->SetCheck(CHECKED_STATUS_UNCHECKED);
  EXPECT_EQ(dir->GetCheckedStatus(), CHECKED_STATUS_PARTLY);
  a->SetCheck(CHECKED_STATUS_UNCHECKED);
  EXPECT_EQ(dir->GetCheckedStatus(), CHECKED_STATUS_UNCHECKED);
  EXPECT_EQ(dir->GetCheckedWeight(), 0u);
}

TEST(CheckMarks, GoDownToShownDescendantsOnly) {
  Tree t;
  TestNode* root = t.Add("root", true);
  TestNode* sub = t.Add("sub", true, root);
  TestNode* hiddenDir = t.Add("hidden", true, root);
  TestNode* inHidden = t.Add("inHidden", false, hiddenDir);
  TestNode* f1 = t.Add("f1", false, sub);
  TestNode* f2 = t.Add("f2", false, sub);
  hiddenDir->ShowNode(0);
  ASSERT_EQ(root->IsNodeShow(), 1);

  root->SetCheck(CHECKED_STATUS_CHECKED);
  EXPECT_EQ(root->GetCheckedStatus(), CHECKED_STATUS_CHECKED);
  EXPECT_EQ(sub->GetCheckedStatus(), CHECKED_STATUS_CHECKED);
  EXPECT_EQ(f1->GetCheckedStatus(), CHECKED_STATUS_CHECKED);
  EXPECT_EQ(f2->GetCheckedStatus(), CHECKED_STATUS_CHECKED);
  EXPECT_EQ(hiddenDir->GetCheckedStatus(), CHECKED_STATUS_UNCHECKED);
  EXPECT_EQ(inHidden->GetCheckedStatus(), CHECKED_STATUS_UNCHECKED);
  EXPECT_EQ(root->GetCheckedWeight(), 2u);  // only sub counts
  EXPECT_EQ(sub->GetCheckedWeight(), 4u);
}

TEST(CheckMarks, HiddenNodeAndPartlyStatusAreIgnored) {
  Tree t;
  TestNode* dir = t.Add("dir", true);
  TestNode* a = t.Add("a", false, dir);
  t.Add("b", false, dir);
  a->ShowNode(0);
  a->SetCheck(CHECKED_STATUS_CHECKED);
  EXPECT_EQ(a->GetCheckedStatus(), CHECKED_STATUS_UNCHECKED);
  EXPECT_EQ(dir->GetCheckedStatus(), CHECKED_STATUS_UNCHECKED);
  a->ShowNode(1);
  a->SetCheck(CHECKED_STATUS_PARTLY);
  EXPECT_EQ(a->GetCheckedStatus(), CHECKED_STATUS_UNCHECKED);
  a->SetCheck(static_cast<_tagCheckedStatus>(7));
  EXPECT_EQ(a->GetCheckedStatus(), CHECKED_STATUS_UNCHECKED);
  EXPECT_EQ(dir->GetCheckedWeight(), 0u);
}

TEST(CheckMarks, HidingACheckedChildTakesItsWeightAlong) {
  Tree t;
  TestNode* dir = t.Add("dir", true);
  TestNode* a = t.Add("a", false, dir);
  TestNode* b = t.Add("b", false, dir);
  dir->SetCheck(CHECKED_STATUS_CHECKED);
  a->ShowNode(0);  // a name search hides it
  EXPECT_EQ(dir->GetCheckedWeight(), 2u);
  EXPECT_EQ(dir->GetCheckedStatus(), CHECKED_STATUS_CHECKED);
  b->SetCheck(CHECKED_STATUS_UNCHECKED);
  // The one shown child is unchecked: so is the folder.
  EXPECT_EQ(dir->GetCheckedStatus(), CHECKED_STATUS_UNCHECKED);
  a->ShowNode(1);  // search cleared: a is still checked
  EXPECT_EQ(dir->GetCheckedStatus(), CHECKED_STATUS_PARTLY);
  EXPECT_EQ(dir->GetCheckedWeight(), 2u);
}

TEST(ShowFlag, HidingTheOnlyShownChildHidesAncestorsWithoutOtherShownChildren) {
  Tree t;
  TestNode* root = t.Add("root", true);
  TestNode* keep = t.Add("keep", false, root);
  TestNode* mid = t.Add("mid", true, root);
  TestNode* inner = t.Add("inner", true, mid);
  TestNode* file = t.Add("file", false, inner);
  file->ShowNode(0);
  EXPECT_EQ(inner->IsNodeShow(), 0);
  EXPECT_EQ(mid->IsNodeShow(), 0);
  EXPECT_EQ(root->IsNodeShow(), 1);  // keep is still shown
  EXPECT_EQ(root->GetShownChildCount(), 1u);
  keep->ShowNode(0);
  EXPECT_EQ(root->IsNodeShow(), 0);
  file->ShowNode(1);
  EXPECT_EQ(inner->IsNodeShow(), 1);
  EXPECT_EQ(mid->IsNodeShow(), 1);
  EXPECT_EQ(root->IsNodeShow(), 1);
  EXPECT_EQ(root->GetShownChildCount(), 1u);
}

TEST(ShowFlag, FolderHiddenDirectlyStaysHiddenUntilSomethingBelowChanges) {
  Tree t;
  TestNode* root = t.Add("root", true);
  TestNode* dir = t.Add("dir", true, root);
  TestNode* a = t.Add("a", false, dir);
  t.Add("b", false, dir);
  dir->ShowNode(0);
  EXPECT_EQ(dir->IsNodeShow(), 0);
  EXPECT_EQ(root->GetShownChildCount(), 0u);
  EXPECT_EQ(root->IsNodeShow(), 0);
  a->ShowNode(0);  // dir still has b shown: it shows again
  EXPECT_EQ(dir->IsNodeShow(), 1);
  EXPECT_EQ(root->IsNodeShow(), 1);
  EXPECT_EQ(root->GetShownChildCount(), 1u);
}

TEST(RunList, IsOwnedByTheNode) {
  int releases = 0;
  {
    TestNode node("a", false);
    node.SetDataRunList(new CountingRunList(&releases));
    IDataRunList* second = new CountingRunList(&releases);
    node.SetDataRunList(second);
    EXPECT_EQ(releases, 1);
    node.SetDataRunList(second);  // the same list again is no replacement
    EXPECT_EQ(releases, 1);
  }
  EXPECT_EQ(releases, 2);

  TestNode node("b", false);
  node.SetDataRunList(new CountingRunList(&releases));
  IDataRunList* detached = node.DetachDataRunList();
  EXPECT_EQ(node.GetDataRunList(), nullptr);
  detached->Release();
  EXPECT_EQ(releases, 3);
}

TEST(MergeNode, TakesOverRunsAndSize) {
  int releases = 0;
  TestNode kept("a", false, 10);
  TestNode newer("a", false, 99);
  kept.SetDataRunList(new CountingRunList(&releases));
  auto* runs = new CDataRunList();
  newer.SetDataRunList(runs);
  kept.MergeNode(&newer);
  EXPECT_EQ(releases, 1);  // kept's own list
  EXPECT_EQ(kept.GetDataRunList(), runs);
  EXPECT_EQ(newer.GetDataRunList(), nullptr);
  EXPECT_EQ(kept.GetFileSize(), 99u);

  kept.MergeNode(nullptr);
  kept.MergeNode(&kept);
  EXPECT_EQ(kept.GetDataRunList(), runs);
  EXPECT_EQ(kept.GetFileSize(), 99u);
}

TEST(Equality, IdsKindNameAndPartitionOfFiles) {
  auto make = [](const char* name, bool dir, int64_t id, int64_t parent, uint16_t partition) {
    auto node = std::make_unique<TestNode>(name, dir);
    node->SetCurrentNodeID(id);
    node->SetParentNodeID(parent);
    node->SetBelongedPartition(partition);
    return node;
  };
  auto a = make("x.txt", false, 10, 5, 1);
  EXPECT_TRUE(*a == *make("x.txt", false, 10, 5, 1));
  EXPECT_FALSE(*a == *make("x.txt", false, 11, 5, 1));
  EXPECT_FALSE(*a == *make("x.txt", false, 10, 6, 1));
  EXPECT_FALSE(*a == *make("X.txt", false, 10, 5, 1));
  EXPECT_FALSE(*a == *make("x.txt", true, 10, 5, 1));
  EXPECT_FALSE(*a == *make("x.txt", false, 10, 5, 2));
  // Folders match across partitions.
  auto d = make("d", true, 10, 5, 1);
  EXPECT_TRUE(*d == *make("d", true, 10, 5, 2));
  // A missing name is the empty name.
  auto nameless = make("", false, 10, 5, 1);
  auto null = make("", false, 10, 5, 1);
  null->SetNullName();
  EXPECT_TRUE(*null == *nameless);
  EXPECT_TRUE(*nameless == *null);
  EXPECT_FALSE(*null == *a);
}

TEST(NameFilter, StripsTheLeadingRunOfBlanksAndDots) {
  EXPECT_EQ(CFileNode::FilterFileNameByDot(".hidden"), "hidden");
  EXPECT_EQ(CFileNode::FilterFileNameByDot(" . .. x.y "), "x.y ");
  EXPECT_EQ(CFileNode::FilterFileNameByDot("..."), "");
  EXPECT_EQ(CFileNode::FilterFileNameByDot(""), "");
  EXPECT_EQ(CFileNode::FilterFileNameByDot("a. b"), "a. b");
  TestNode node("..Trash", true);
  node.FilterFileNameByDot();
  EXPECT_STREQ(node.GetFileName(), "Trash");
}

TEST(Clone, IsUnlinkedWithItsOwnRunList) {
  Tree t;
  TestNode* dir = t.Add("dir", true);
  TestNode* file = t.Add("file", false, dir);
  file->SetCurrentNodeID(42);
  file->SetParentNodeID(7);
  file->SetBelongedPartition(3);
  file->SetMetaDataSector(9000);
  auto* runs = new CDataRunList();
  DataRun run{100, 4};
  runs->AddDataRun(&run);
  file->SetDataRunList(runs);
  file->SetCheck(CHECKED_STATUS_CHECKED);

  std::unique_ptr<TestNode> copy(static_cast<TestNode*>(file->Clone()));
  EXPECT_EQ(copy->GetParent(), nullptr);
  EXPECT_EQ(copy->GetNextNode(), nullptr);
  EXPECT_EQ(copy->GetCurrentNodeID(), 42);
  EXPECT_EQ(copy->GetParentNodeID(), 7);
  EXPECT_EQ(copy->GetBelongedPartition(), 3);
  EXPECT_EQ(copy->GetMetadataStartPosition(), 9000);
  ASSERT_NE(copy->GetDataRunList(), nullptr);
  EXPECT_NE(copy->GetDataRunList(), runs);
  EXPECT_EQ(copy->GetDataRunList()->GetFirst()->start, 100);

  // The partly checked state of a folder does not survive into a childless copy.
  t.Add("other", false, dir);
  ASSERT_EQ(dir->GetCheckedStatus(), CHECKED_STATUS_PARTLY);
  std::unique_ptr<TestNode> dirCopy(static_cast<TestNode*>(dir->Clone()));
  EXPECT_EQ(dirCopy->GetFirstChild(), nullptr);
  EXPECT_EQ(dirCopy->GetCheckedStatus(), CHECKED_STATUS_UNCHECKED);
  EXPECT_EQ(dirCopy->GetShownChildCount(), 0u);
}

}  // namespace
