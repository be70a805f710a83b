// Run lists made on demand, asked for by several threads at once: each node
// makes its list once and every thread gets that one.
#include <gtest/gtest.h>

#include <atomic>
#include <memory>
#include <thread>
#include <vector>

#include "TestNode.h"

namespace {

TEST(RunListThreads, ReadersMeetingOnAListNotMadeYetGetTheSameOne) {
  constexpr int kNodes = 2000, kThreads = 4;
  std::atomic<int> made{0};
  std::vector<std::unique_ptr<OnDemandNode>> nodes;
  for (int i = 0; i < kNodes; ++i) nodes.push_back(std::make_unique<OnDemandNode>(i, &made));
  std::vector<std::vector<IDataRunList*>> seen(kThreads, std::vector<IDataRunList*>(kNodes));
  std::atomic<int> ready{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      ++ready;
      while (ready.load() < kThreads) {
      }
      // Half the threads ask from the last node down, so that they meet.
      for (int k = 0; k < kNodes; ++k) {
        const int i = t % 2 == 0 ? k : kNodes - 1 - k;
        seen[t][i] = nodes[i]->GetDataRunList();
      }
    });
  }
  for (std::thread& thread : threads) thread.join();
  EXPECT_EQ(made.load(), kNodes);
  for (int i = 0; i < kNodes; ++i) {
    ASSERT_NE(seen[0][i], nullptr);
    for (int t = 1; t < kThreads; ++t) ASSERT_EQ(seen[t][i], seen[0][i]) << "node " << i;
    EXPECT_EQ(seen[0][i]->GetFirst()->start, i);
  }
}

}  // namespace
