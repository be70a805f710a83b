// Test doubles for the tree builder that need no test framework (the fuzz
// target uses them too): a node that keeps a ledger of its own lifetime, a
// receiver that records and checks what it is shown, and a filter.
#pragma once

#include <cstdint>
#include <cstring>
#include <set>
#include <string>
#include <unordered_set>
#include <vector>

#include "DirectoryTree.h"
#include "RecoveryFilter.h"
#include "engine/node/TestNode.h"

namespace treetest {

using Lines = std::multiset<std::string>;

// Which nodes are still alive.
struct NodeLedger {
  std::unordered_set<const IFileNode*> live;
  int Live() const { return static_cast<int>(live.size()); }
  bool IsLive(const IFileNode* node) const { return live.count(node) != 0; }
};

class LedgerNode : public TestNode {
 public:
  LedgerNode(NodeLedger* ledger, int64_t id, int64_t parentID, std::string name, bool folder, uint64_t size = 1)
      : TestNode(std::move(name), folder, size), m_ledger(ledger) {
    SetCurrentNodeID(id);
    SetParentNodeID(parentID);
    m_ledger->live.insert(this);
  }
  LedgerNode(const LedgerNode&) = delete;
  ~LedgerNode() override { m_ledger->live.erase(this); }

 private:
  NodeLedger* m_ledger;
};

// Passes every node but those named "unwanted..."; shows normal files unless told.
class FakeFilter : public IRecoveryFilter {
 public:
  int ShowNormalFiles() const override { return showNormal ? 1 : 0; }
  void SetScanType(_SCAN_TYPE) override {}
  int IsFileNodeValid(IFileNode* node) override {
    return node != nullptr && (node->GetFileName() == nullptr || std::strncmp(node->GetFileName(), "unwanted", 8) != 0);
  }
  void SetFilterTypes(uint32_t) override {}
  _FILTER_TYPE GetNodeFileType(IFileNode*) override { return FILTER_TYPE_OTHER; }
  void Release() override {}
  bool showNormal = true;
};

// Records roots and batches, and notes each root or node shown twice and each
// node shown before it hangs below a root shown.
class RecordingTree : public IDrirectoryTree {
 public:
  struct Batch {
    std::vector<IFileNode*> nodes;
    int lost;
  };
  int ShowNodes(IFileNode** nodes, unsigned count, int lost) override {
    batches.push_back({std::vector<IFileNode*>(nodes, nodes + count), lost});
    for (unsigned i = 0; i < count; ++i) {
      if (!seen.insert(nodes[i]).second) problems.push_back("node shown twice");
      if (!ReachesARoot(nodes[i])) problems.push_back("node shown before its root or unlinked");
    }
    return 0;
  }
  int ShowFilesystemNode(IFilesystemNode* root) override {
    if (!reaching.insert(root).second) problems.push_back("root shown twice");
    roots.push_back(root);
    return 0;
  }
  // Nodes found to reach a root are remembered, so deep trees cost linear time.
  bool ReachesARoot(IFileNode* node) {
    std::vector<IFileNode*> path;
    for (IFileNode* at = node; at != nullptr && path.size() < (1u << 22); at = at->GetParent()) {
      if (reaching.count(at) != 0) return reaching.insert(path.begin(), path.end()), true;
      path.push_back(at);
    }
    return false;
  }

  std::vector<IFilesystemNode*> roots;
  std::vector<Batch> batches;
  std::unordered_set<IFileNode*> seen, reaching;
  std::vector<std::string> problems;
};

// One line per node below `root`: its path, "/" after folders, " [deleted]"
// after deleted nodes, "<null>" for a missing name. Lost files of different
// folders may share a line, so the full list is a multiset.
template <class Container = std::set<std::string>>
Container TreeLines(IFileNode* root) {
  Container lines;
  for (std::vector<std::pair<IFileNode*, std::string>> stack{{root, ""}}; !stack.empty();) {
    const auto [node, path] = stack.back();
    stack.pop_back();
    for (IFileNode* child = node->GetFirstChild(); child != nullptr; child = child->GetNextNode()) {
      const std::string name = path + (child->GetFileName() != nullptr ? child->GetFileName() : "<null>");
      lines.insert(name + (child->IsDirectory() != 0 ? "/" : "") + (child->IsDeleted() != 0 ? " [deleted]" : ""));
      stack.push_back({child, name + "/"});
    }
  }
  return lines;
}

}  // namespace treetest
