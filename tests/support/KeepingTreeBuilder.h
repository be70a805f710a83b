// A tree builder that keeps the nodes it takes until it goes. For fuzz
// targets it takes every other node and refuses the rest, so that both the
// builder's and the searcher's release paths run; benchmarks take them all.
#pragma once

#include <cstdint>
#include <vector>

#include "DirecotryTreeBuilder.h"
#include "FileNode.h"

namespace testsupport {

class KeepingTreeBuilder final : public IDirecotryTreeBuilder {
 public:
  explicit KeepingTreeBuilder(bool refuseEveryOther = true) : refuseEveryOther_(refuseEveryOther) {}
  ~KeepingTreeBuilder() override {
    for (IFileNode* node : nodes) node->Release();
  }
  int Initialize(const char*, IDrirectoryTree*, IRecoveryFilter*) override { return 1; }
  int AddNode(IFileNode* node, _tagSearcherType) override {
    if (refuseEveryOther_ && (++count & 1) == 0) return 0;
    nodes.push_back(node);
    return 1;
  }
  int AddSearcherInfo(_tagSearcherType, int64_t) override { return 1; }
  void FlashBuild(_tagSearcherType) override {}
  void Release() override {}
  void SetPartitonDevice(CSearchedPartitionInfo*, IStorageDevice*) override {}

  std::vector<IFileNode*> nodes;
  uint64_t count = 0;

 private:
  bool refuseEveryOther_;
};

}  // namespace testsupport
