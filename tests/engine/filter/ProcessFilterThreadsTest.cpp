// The process-wide filter: made once however many threads ask at the same
// time, and safe to re-target while scan threads consult it.
#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

#include "ExtensionLists.h"
#include "RecoveryFilter.h"
#include "engine/node/TestNode.h"

namespace {

TEST(ProcessFilter, EveryThreadGetsTheSameFilterAndMayChangeItWhileOthersAsk) {
  ScopedExtensionLists lists("jpg", "mp3", "mkv", "zip", "pdf");
  std::atomic<int> ready{0}, wrong{0};
  std::atomic<bool> stop{false};
  std::vector<IRecoveryFilter*> seen(16, nullptr);
  std::vector<std::thread> threads;
  for (size_t i = 0; i < seen.size(); ++i) {
    threads.emplace_back([&, i] {
      for (ready.fetch_add(1); ready.load() < 16;) std::this_thread::yield();
      IRecoveryFilter* filter = seen[i] = CreateFilter();
      // Pictures are in both masks below; folders always pass.
      TestNode photo("a.jpg", false), folder("dir", true);
      while (i < 4 && !stop.load()) {
        wrong += filter->IsFileNodeValid(&photo) != 1 || filter->IsFileNodeValid(&folder) != 1 ||
                 filter->GetNodeFileType(&photo) != FILTER_TYPE_PICTURE;
      }
    });
  }
  while (ready.load() < 16) std::this_thread::yield();
  IRecoveryFilter* filter = CreateFilter();
  filter->Release();  // does nothing: the filter lives on
  for (int i = 0; i < 20000; ++i) {
    filter->SetFilterTypes(i % 2 == 0 ? FILTER_TYPE_PICTURE : FILTER_TYPE_PICTURE | FILTER_TYPE_MUSIC);
    filter->SetScanType(i % 2 == 0 ? SCAN_TYPE_DEEP : SCAN_TYPE_QUICK_MOUNTED);
  }
  stop = true;
  for (auto& t : threads) t.join();
  for (IRecoveryFilter* f : seen) EXPECT_EQ(f, filter);
  EXPECT_EQ(wrong.load(), 0);
  filter->SetFilterTypes(0);
}

}  // namespace
