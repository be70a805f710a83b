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

TEST(ProcessFilter, EveryThreadGetsTheSameFilter) {
  ScopedExtensionLists lists("jpg", "mp3", "mkv", "zip", "pdf");
  constexpr int kThreads = 16;
  std::atomic<int> ready{0};
  std::vector<IRecoveryFilter*> seen(kThreads, nullptr);
  std::vector<std::thread> threads;
  for (int i = 0; i < kThreads; ++i) {
    threads.emplace_back([&, i] {
      ready.fetch_add(1);
      while (ready.load() < kThreads) std::this_thread::yield();
      seen[i] = CreateFilter();
    });
  }
  for (auto& t : threads) t.join();
  ASSERT_NE(seen[0], nullptr);
  for (IRecoveryFilter* f : seen) EXPECT_EQ(f, seen[0]);
  seen[0]->Release();  // does nothing: the filter lives on
  EXPECT_EQ(CreateFilter(), seen[0]);

  // One thread changes the selection while others judge nodes.
  IRecoveryFilter* filter = seen[0];
  std::atomic<bool> stop{false};
  std::atomic<long> wrong{0};
  std::vector<std::thread> readers;
  for (int i = 0; i < 4; ++i) {
    readers.emplace_back([&] {
      TestNode photo("a.jpg", false);
      TestNode folder("dir", true);
      while (!stop.load()) {
        if (filter->IsFileNodeValid(&photo) != 1) wrong.fetch_add(1);  // pictures are in both masks
        if (filter->IsFileNodeValid(&folder) != 1) wrong.fetch_add(1);
        if (filter->GetNodeFileType(&photo) != FILTER_TYPE_PICTURE) wrong.fetch_add(1);
      }
    });
  }
  for (int i = 0; i < 20000; ++i) {
    filter->SetFilterTypes(i % 2 == 0 ? FILTER_TYPE_PICTURE : FILTER_TYPE_PICTURE | FILTER_TYPE_MUSIC);
    filter->SetScanType(i % 2 == 0 ? SCAN_TYPE_DEEP : SCAN_TYPE_QUICK_MOUNTED);
  }
  stop = true;
  for (auto& t : readers) t.join();
  EXPECT_EQ(wrong.load(), 0);
  filter->SetFilterTypes(0);
}

}  // namespace
