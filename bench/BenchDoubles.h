// Stand-ins for the application's side of a scan, shared by the benchmarks:
// a tree that only counts what it is shown, a filter that lets every node
// through and a progress sink that never stops the scan; and the best of
// three timed runs.
#pragma once

#include <cstdint>

#include "DirectoryTree.h"
#include "Progress.h"
#include "RecoveryFilter.h"

namespace bench {

class CountingTree : public IDrirectoryTree {
 public:
  int ShowNodes(IFileNode**, unsigned count, int) override {
    shown += count;
    return 0;
  }
  int ShowFilesystemNode(IFilesystemNode*) override { return 0; }
  uint64_t shown = 0;
};

class PassAll : public IRecoveryFilter {
 public:
  int ShowNormalFiles() const override { return 1; }
  void SetScanType(_SCAN_TYPE) override {}
  int IsFileNodeValid(IFileNode* node) override { return node != nullptr ? 1 : 0; }
  void SetFilterTypes(uint32_t) override {}
  _FILTER_TYPE GetNodeFileType(IFileNode*) override { return FILTER_TYPE_OTHER; }
  void Release() override {}
};

class QuietSink : public IProgress {
 public:
  int UpdateProgress(_PROGRESS_INFO*) override { return 0; }
  int Continued() override { return 1; }
  int shouldBuild() override { return 1; }
};

// The shortest of three runs of `run` (seconds; negative for a failed run),
// or -1 when one failed.
template <class Run>
double Best(Run run) {
  double best = -1;
  for (int i = 0; i < 3; ++i) {
    const double s = run();
    if (s < 0) return -1;
    if (best < 0 || s < best) best = s;
  }
  return best;
}

}  // namespace bench
