// Test doubles for the tree builder: a node that keeps a ledger of its own
// lifetime, a receiver that records and checks what it is shown, and a
// filter whose answers the test sets.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <functional>
#include <map>
#include <set>
#include <string>
#include <unordered_set>
#include <vector>

#include "DirectoryTree.h"
#include "FileNode.h"
#include "RecoveryFilter.h"
#include "tree/CDirectoryTreeBuilder.h"

namespace treetest {

// Which nodes were made and which are still alive.
struct NodeLedger {
  int made = 0;
  int destroyed = 0;
  std::unordered_set<const IFileNode*> live;

  int Live() const { return static_cast<int>(live.size()); }
  bool IsLive(const IFileNode* node) const { return live.count(node) != 0; }
};

class LedgerNode : public CFileNode {
 public:
  LedgerNode(NodeLedger* ledger, int64_t id, int64_t parentID, std::string name, bool folder, uint64_t size = 1)
      : m_ledger(ledger), m_name(std::move(name)), m_folder(folder), m_size(size) {
    SetCurrentNodeID(id);
    SetParentNodeID(parentID);
    Enter();
  }
  LedgerNode(const LedgerNode& other)
      : CFileNode(other),
        m_ledger(other.m_ledger),
        m_name(other.m_name),
        m_nullName(other.m_nullName),
        m_folder(other.m_folder),
        m_size(other.m_size),
        m_modified(other.m_modified),
        m_deleted(other.m_deleted),
        m_attribute(other.m_attribute) {
    Enter();
  }
  ~LedgerNode() override {
    ++m_ledger->destroyed;
    m_ledger->live.erase(this);
  }

  const char* GetFileName() override { return m_nullName ? nullptr : m_name.c_str(); }
  uint64_t GetFileSize() override { return m_size; }
  uint32_t GetAttribute() override { return m_attribute != UINT32_MAX ? m_attribute : (m_folder ? 0x10 : 0x20); }
  uint64_t GetCreationTime() override { return 0; }
  uint64_t GetModificationTime() override { return m_modified; }
  uint64_t GetLastAccessTime() override { return 0; }
  int IsDirectory() override { return m_folder ? 1 : 0; }
  int IsDeleted() override { return m_deleted ? 1 : 0; }
  IFileNode* Clone() override { return new LedgerNode(*this); }
  void MarkDeleted() override { m_deleted = true; }
  void FilterFileNameByDot() override { m_name = CFileNode::FilterFileNameByDot(m_name); }
  void UpdateFileSize(int64_t size) override { m_size = static_cast<uint64_t>(size); }

  void SetName(std::string name) {
    m_name = std::move(name);
    m_nullName = false;
  }
  void SetNullName() { m_nullName = true; }
  void SetModified(uint64_t time) { m_modified = time; }
  void SetAttribute(uint32_t attribute) { m_attribute = attribute; }
  std::string Name() const { return m_nullName ? std::string("<null>") : m_name; }

 private:
  void Enter() {
    ++m_ledger->made;
    m_ledger->live.insert(this);
  }

  NodeLedger* m_ledger;
  std::string m_name;
  bool m_nullName = false;
  bool m_folder;
  uint64_t m_size;
  uint64_t m_modified = 0;
  bool m_deleted = false;
  uint32_t m_attribute = UINT32_MAX;
};

// Every node passes; normal (not deleted) files are shown unless told.
class FakeFilter : public IRecoveryFilter {
 public:
  int ShowNormalFiles() const override { return showNormal ? 1 : 0; }
  void SetScanType(_SCAN_TYPE) override {}
  int IsFileNodeValid(IFileNode* node) override { return node != nullptr && (!valid || valid(node)) ? 1 : 0; }
  void SetFilterTypes(uint32_t) override {}
  _FILTER_TYPE GetNodeFileType(IFileNode*) override { return FILTER_TYPE_OTHER; }
  void Release() override {}

  bool showNormal = true;
  std::function<bool(IFileNode*)> valid;
};

// Records roots and batches, and checks as it goes that every root comes
// once and before any node of its tree, that every node comes linked to a
// root it was shown, and that no node comes twice.
class RecordingTree : public IDrirectoryTree {
 public:
  struct Batch {
    std::vector<IFileNode*> nodes;
    int lost = 0;
  };

  int ShowNodes(IFileNode** nodes, unsigned count, int lostNodes) override {
    Batch batch;
    batch.lost = lostNodes;
    for (unsigned i = 0; i < count; ++i) {
      IFileNode* node = nodes[i];
      batch.nodes.push_back(node);
      if (!seen.insert(node).second) problems.push_back("node shown twice");
      if (!ReachesARoot(node)) problems.push_back("node shown before its root or unlinked");
    }
    batches.push_back(std::move(batch));
    return 0;
  }
  int ShowFilesystemNode(IFilesystemNode* root) override {
    if (!rootSet.insert(root).second) problems.push_back("root shown twice");
    roots.push_back(root);
    return 0;
  }

  size_t NodesShown() const { return seen.size(); }

  // Whether the node's chain of parents ends at a root already shown; nodes
  // found to do so are remembered, so deep trees are checked in linear time.
  bool ReachesARoot(IFileNode* node) {
    std::vector<IFileNode*> path;
    IFileNode* at = node;
    bool reaches = false;
    for (int i = 0; at != nullptr && i < 1 << 22; ++i) {
      if (rootSet.count(at) != 0 || reaching.count(at) != 0) {
        reaches = true;
        break;
      }
      path.push_back(at);
      at = at->GetParent();
    }
    if (reaches) reaching.insert(path.begin(), path.end());
    return reaches;
  }

  std::vector<IFilesystemNode*> roots;
  std::set<IFileNode*> rootSet;
  std::vector<Batch> batches;
  std::set<IFileNode*> seen;
  std::unordered_set<IFileNode*> reaching;
  std::vector<std::string> problems;
};

// One line per node of a tree, below (and without) the root:
// "path/to/name" + "/" for folders + " [deleted]" when deleted. Lost files
// of different folders may share a line, so the full list is a multiset.
template <class Container = std::set<std::string>>
Container TreeLines(IFileNode* root) {
  Container lines;
  struct Entry {
    IFileNode* node;
    std::string prefix;
  };
  std::vector<Entry> stack;
  for (IFileNode* child = root->GetFirstChild(); child != nullptr; child = child->GetNextNode()) {
    stack.push_back({child, ""});
  }
  while (!stack.empty()) {
    Entry entry = stack.back();
    stack.pop_back();
    const char* name = entry.node->GetFileName();
    std::string path = entry.prefix + (name != nullptr ? name : "<null>");
    const bool folder = entry.node->IsDirectory() != 0;
    lines.insert(path + (folder ? "/" : "") + (entry.node->IsDeleted() != 0 ? " [deleted]" : ""));
    for (IFileNode* child = entry.node->GetFirstChild(); child != nullptr; child = child->GetNextNode()) {
      stack.push_back({child, path + "/"});
    }
  }
  return lines;
}

inline size_t CountBelow(IFileNode* root) {
  size_t count = 0;
  std::vector<IFileNode*> stack{root};
  while (!stack.empty()) {
    IFileNode* node = stack.back();
    stack.pop_back();
    for (IFileNode* child = node->GetFirstChild(); child != nullptr; child = child->GetNextNode()) {
      ++count;
      stack.push_back(child);
    }
  }
  return count;
}

// A builder with a test clock and no pause, fed through Add, which releases
// refused nodes as a searcher would.
class BuilderFixture : public ::testing::Test {
 protected:
  explicit BuilderFixture(bool restoring = false) : builder(new CDirectoryTreeBuilder(restoring)) {
    builder->SetClock([this] { return now; });
    builder->SetPause([this] { ++pauses; });
    builder->SetRecycleNameRestorer(nullptr);
  }
  ~BuilderFixture() override {
    if (builder != nullptr) builder->Release();
    EXPECT_EQ(ledger.Live(), 0) << "nodes left alive after the builder went";
  }

  void Init(const char* description = "Disk1") { ASSERT_EQ(builder->Initialize(description, &sink, &filter), 1); }

  LedgerNode* Node(int64_t id, int64_t parentID, std::string name, bool folder, uint64_t size = 1) {
    return new LedgerNode(&ledger, id, parentID, std::move(name), folder, size);
  }
  LedgerNode* Folder(int64_t id, int64_t parentID, std::string name) { return Node(id, parentID, name, true, 0); }
  LedgerNode* File(int64_t id, int64_t parentID, std::string name, uint64_t size = 1) {
    return Node(id, parentID, name, false, size);
  }

  // AddNode as a searcher calls it: a refused node is released at once.
  int Add(IFileNode* node, _tagSearcherType type = SEARCHER_TYPE_NTFS) {
    const int answer = builder->AddNode(node, type);
    if (answer == 0) {
      EXPECT_TRUE(ledger.IsLive(node)) << "a refused node must stay with its caller";
      node->Release();
    }
    return answer;
  }

  CDirectoryTreeBuilder::TreeCounters Counters(_tagSearcherType type = SEARCHER_TYPE_NTFS) {
    CDirectoryTreeBuilder::TreeCounters counters;
    EXPECT_TRUE(builder->GetTreeCounters(type, &counters));
    return counters;
  }

  std::set<std::string> TreeOf(_tagSearcherType type = SEARCHER_TYPE_NTFS) { return TreeLines(builder->GetRoot(type)); }

  void ExpectNoSinkProblems() {
    for (const auto& problem : sink.problems) ADD_FAILURE() << problem;
  }

  NodeLedger ledger;
  RecordingTree sink;
  FakeFilter filter;
  int64_t now = 1000;
  int pauses = 0;
  CDirectoryTreeBuilder* builder;
};

}  // namespace treetest
