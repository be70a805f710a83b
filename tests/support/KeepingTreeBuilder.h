// A tree builder for fuzz targets: it takes every other node (released when
// the builder goes) and refuses the rest, so that both the builder's and the
// searcher's release paths run.
#pragma once

#include <cstdint>
#include <vector>

#include "DirecotryTreeBuilder.h"
#include "FileNode.h"

namespace testsupport {

class KeepingTreeBuilder final : public IDirecotryTreeBuilder {
 public:
  ~KeepingTreeBuilder() override {
    for (IFileNode* node : nodes) node->Release();
  }
  int Initialize(const char*, IDrirectoryTree*, IRecoveryFilter*) override { return 1; }
  int AddNode(IFileNode* node, _tagSearcherType) override {
    if ((++count & 1) == 0) return 0;
    nodes.push_back(node);
    return 1;
  }
  int AddSearcherInfo(_tagSearcherType, int64_t) override { return 1; }
  void FlashBuild(_tagSearcherType) override {}
  void Release() override {}
  void SetPartitonDevice(CSearchedPartitionInfo*, IStorageDevice*) override {}

  std::vector<IFileNode*> nodes;
  uint64_t count = 0;
};

}  // namespace testsupport
