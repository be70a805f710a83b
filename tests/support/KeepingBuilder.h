// Doubles for driving a searcher without the real tree builder: a builder
// that keeps the nodes it accepts (and releases them with itself), and a
// progress sink that always goes on. For searcher tests, fuzz targets and
// benchmarks; header-only, so that fuzz targets need no test library.
#pragma once

#include <cstdint>
#include <vector>

#include "DirecotryTreeBuilder.h"
#include "FileNode.h"
#include "Progress.h"

namespace testsupport {

class KeepingBuilder : public IDirecotryTreeBuilder {
 public:
  // With `refuseEvery` n > 0, every n-th node is refused, so that the
  // searcher's own release of refused nodes runs too.
  explicit KeepingBuilder(int refuseEvery = 0) : refuseEvery_(refuseEvery) {}
  ~KeepingBuilder() override { Drop(); }
  int Initialize(const char*, IDrirectoryTree*, IRecoveryFilter*) override { return 1; }
  int AddNode(IFileNode* node, _tagSearcherType) override {
    if (refuseEvery_ > 0 && ++offered_ % refuseEvery_ == 0) return 0;
    nodes.push_back(node);
    return 1;
  }
  int AddSearcherInfo(_tagSearcherType, int64_t rootNodeID) override {
    rootID = rootNodeID;
    return 1;
  }
  void FlashBuild(_tagSearcherType) override { ++flashes; }
  void Release() override {}
  void SetPartitonDevice(CSearchedPartitionInfo*, IStorageDevice*) override {}
  void Drop() {
    for (IFileNode* node : nodes) node->Release();
    nodes.clear();
  }

  std::vector<IFileNode*> nodes;
  int64_t rootID = -1;
  int flashes = 0;

 private:
  int refuseEvery_;
  int offered_ = 0;
};

// Keeps the last record and how many came.
class LastProgress : public IProgress {
 public:
  int UpdateProgress(_PROGRESS_INFO* info) override {
    last = *info;
    ++reports;
    return 0;
  }
  int Continued() override { return 1; }
  int shouldBuild() override { return 1; }

  _PROGRESS_INFO last;
  int reports = 0;
};

}  // namespace testsupport
