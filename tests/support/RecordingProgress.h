// A progress sink for tests: keeps every report (from any thread), answers
// Continued() through a callback given the call's number (1, go on, when none
// is set), and says whether trees are to be built.
#pragma once

#include <atomic>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

#include "Progress.h"

namespace testsupport {

class RecordingProgress : public IProgress {
 public:
  int UpdateProgress(_PROGRESS_INFO* info) override {
    std::lock_guard<std::mutex> hold(lock_);
    records_.push_back(*info);
    return 0;
  }
  int Continued() override {
    const int call = ++continuedCalls;
    return onContinued ? onContinued(call) : 1;
  }
  int shouldBuild() override { return build; }

  std::vector<_PROGRESS_INFO> Records() const {
    std::lock_guard<std::mutex> hold(lock_);
    return records_;
  }
  // Each report as "{status,total,current}", with "!" when another field is set.
  std::vector<std::string> Reports() const {
    std::vector<std::string> out;
    for (const _PROGRESS_INFO& r : Records()) {
      bool other = r.error != 0 || r.padding != 0;
      for (uint8_t byte : r.reserved) other = other || byte != 0;
      out.push_back("{" + std::to_string(r.status) + "," + std::to_string(r.total) + "," + std::to_string(r.current) +
                    "}" + (other ? "!" : ""));
    }
    return out;
  }

  std::function<int(int call)> onContinued;
  std::atomic<int> continuedCalls{0};
  int build = 1;

 private:
  mutable std::mutex lock_;
  std::vector<_PROGRESS_INFO> records_;
};

}  // namespace testsupport
