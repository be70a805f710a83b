// A recovery controller for the scan operation's tests: the engine's own
// controller of the kind asked for (a load's replay included), with hooks the
// test runs on the worker around every volume scan; or, without the engine,
// one that fails at once without a final report.
#pragma once

#include <functional>
#include <vector>

#include "RecoveryController.h"

class HookedController final : public IRecoveryController {
 public:
  using Hook = std::function<void(IStorageDevice*)>;
  static constexpr ResultCode kFailure = 0x0104000100000001ull;

  // Records in `started` the devices scans start on; `before` runs before
  // the engine's scan, `after` once it returned. Without `engine`, no
  // engine is made and every scan fails.
  HookedController(_RECOVERY_CONTROLLER_TYPE kind, std::vector<IStorageDevice*>* started, bool engine = true,
                   Hook before = {}, Hook after = {})
      : kind_(kind),
        real_(engine ? CreateRecoveryController(kind) : nullptr),
        started_(started),
        before_(std::move(before)),
        after_(std::move(after)) {}
  _RECOVERY_CONTROLLER_TYPE thisType() const override { return kind_; }
  int Initialize(IRecoveryFilter* filter) override { return real_ ? real_->Initialize(filter) : 1; }
  ResultCode StartDataRecovery(IStorageDevice* device, IProgress* progress, IDrirectoryTree* tree) override {
    if (started_ != nullptr) started_->push_back(device);
    if (before_) before_(device);
    const ResultCode result = real_ ? real_->StartDataRecovery(device, progress, tree) : kFailure;
    if (after_) after_(device);
    return result;
  }
  IDataRecovery* GetDataRecovery(_tagSearcherType type) const override {
    return real_ ? real_->GetDataRecovery(type) : nullptr;
  }
  void Release() override {
    if (real_) real_->Release();
    delete this;
  }
  void SetRestoreScanSink(RestoreScanSink* sink) override {
    if (real_) real_->SetRestoreScanSink(sink);
  }

 private:
  _RECOVERY_CONTROLLER_TYPE kind_;
  IRecoveryController* real_;
  std::vector<IStorageDevice*>* started_;
  Hook before_, after_;
};
