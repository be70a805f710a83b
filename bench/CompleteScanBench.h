// What the complete-scan benchmarks share: a searcher that only copies each
// block out of the caching device (the floor every searcher stands on), the
// tree builder the controller makes, the time of `cat image > /dev/null`, a
// timed partition scan with one searcher type alone, and a partition scan as
// the application runs it (which the complete-scan tests use too).
#pragma once

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include "BenchDoubles.h"
#include "FileSystemSearchController.h"
#include "SearchedPartitionInfo.h"
#include "StorageDevice.h"
#include "scan/CRecoveryController.h"
#include "tree/CDirectoryTreeBuilder.h"

namespace bench {

// Reads every block through the device it is given, and does nothing else.
class CopyingSearcher : public ICompleteFileSystemSearchController {
 public:
  void SetDirecotryTreeBuilder(IDirecotryTreeBuilder*) override {}
  int GetSearchedPartitionInfo(CSearchedPartitionInfo**, int) override { return 0; }
  void SetDevice(IStorageDevice* device) override { device_ = device; }
  void SetBlockSize(int sectors) override { buffer_.resize(static_cast<size_t>(sectors) * device_->GetSectorSize()); }
  void PreparetoSearch() override {}
  ResultCode AnalyzeBlock(int64_t first, int64_t count) override {
    device_->ReadSector(buffer_.data(), first, count);
    return 0;
  }

 private:
  IStorageDevice* device_ = nullptr;
  std::vector<uint8_t> buffer_;
};

// The controller's tree builder (RecoveryControllerParts::makeTreeBuilder):
// the real one, never paused.
inline IDirecotryTreeBuilder* MakeTreeBuilder(bool restoring) {
  auto* builder = new CDirectoryTreeBuilder(restoring);
  builder->SetPause([] {});
  return builder;
}

inline double Since(std::chrono::steady_clock::time_point start) {
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

inline double CatSeconds(const std::filesystem::path& image) {
  const auto start = std::chrono::steady_clock::now();
  if (std::system(("cat " + Quote(image.string()) + " > /dev/null").c_str()) != 0) return -1;
  return Since(start);
}

// A partition scan with the searcher `make` gives for `type` alone (the
// copying one with `copyOnly`); `found` gets the number of partitions it
// reported. -1 when the scan failed.
inline double CompleteScanSeconds(IStorageDevice* device, _tagSearcherType type,
                                  const std::function<ICompleteFileSystemSearchController*()>& make, int* found,
                                  bool copyOnly = false) {
  auto* controller = new CPartitionRecoveryController();
  RecoveryControllerParts parts;
  parts.makeTreeBuilder = MakeTreeBuilder;
  parts.makeCompleteSearcher = [&](_tagSearcherType asked) -> ICompleteFileSystemSearchController* {
    if (asked != type) return nullptr;
    return copyOnly ? static_cast<ICompleteFileSystemSearchController*>(new CopyingSearcher()) : make();
  };
  parts.flushFileBuffers = [] {};
  controller->SetParts(parts);
  PassAll filter;
  CountingTree tree;
  QuietSink sink;
  controller->Initialize(&filter);
  const auto start = std::chrono::steady_clock::now();
  const ResultCode code = controller->StartDataRecovery(device, &sink, &tree);
  const double seconds = Since(start);
  for (const _SEARCHER_INFO& entry : controller->GetSearchers()) {
    *found = entry.searcher->GetSearchedPartitionInfo(nullptr, 0);
  }
  controller->Release();
  return code == 0 ? seconds : -1;
}

// A complete scan of a whole disk the way the application runs one
// (CreateRecoveryController(2), every searcher made, every node kept):
// `take` is handed the searcher of `type` before the controller goes. False
// when no such searcher was made; `answer` gets what StartDataRecovery
// answered.
inline bool PartitionScan(IStorageDevice* device, _tagSearcherType type,
                          const std::function<void(ICompleteFileSystemSearchController&)>& take, ResultCode* answer) {
  IRecoveryController* controller = CreateRecoveryController(RECOVERY_CONTROLLER_PARTITION);
  auto* complete = dynamic_cast<CCompleteRecoveryController*>(controller);
  bool found = false;
  if (complete != nullptr) {
    PassAll filter;
    CountingTree tree;
    QuietSink sink;
    controller->Initialize(&filter);
    *answer = controller->StartDataRecovery(device, &sink, &tree);
    for (const _SEARCHER_INFO& entry : complete->GetSearchers()) {
      if (entry.type != type) continue;
      found = true;
      take(*entry.searcher);
    }
  }
  if (controller != nullptr) controller->Release();
  return found;
}

}  // namespace bench
