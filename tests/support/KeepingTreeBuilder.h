// A tree builder for fuzz targets, tests and benchmarks that keeps every
// node it accepts until it is dropped or destroyed. With refuseEveryOther it
// refuses every second node, so that the callers' release of refused nodes
// runs too.
#pragma once

#include <cstdint>
#include <vector>

#include "DirecotryTreeBuilder.h"
#include "FileNode.h"

namespace testsupport {

class KeepingTreeBuilder : public IDirecotryTreeBuilder {
 public:
  explicit KeepingTreeBuilder(bool refuseEveryOther = false) : refuseEveryOther_(refuseEveryOther) {}
  ~KeepingTreeBuilder() override { Drop(); }
  int Initialize(const char*, IDrirectoryTree*, IRecoveryFilter*) override { return 1; }
  int AddNode(IFileNode* node, _tagSearcherType) override {
    if (refuseEveryOther_ && (++count_ & 1) == 0) return 0;
    nodes.push_back(node);
    return 1;
  }
  int AddSearcherInfo(_tagSearcherType, int64_t) override { return 1; }
  void FlashBuild(_tagSearcherType) override {}
  void Release() override {}
  void SetPartitonDevice(CSearchedPartitionInfo*, IStorageDevice*) override {}
  void Drop() {
    for (IFileNode* node : nodes) node->Release();
    nodes.clear();
  }

  std::vector<IFileNode*> nodes;

 private:
  bool refuseEveryOther_;
  uint64_t count_ = 0;
};

}  // namespace testsupport
