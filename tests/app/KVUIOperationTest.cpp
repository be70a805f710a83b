#include "app/KVUIOperation.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <functional>
#include <future>
#include <thread>

namespace {

using std::chrono::milliseconds;

TEST(KVUIOperation, StatusesAnswerTheEngineAndTakePauseAndStop) {
  const struct {
    int status;
    int continued;       // what Continued() answers (a paused one is resumed elsewhere)
    int afterPause;      // the status after PauseOrResumeOperation()
    int afterStop;       // the status after StopOperation(0)
  } cases[] = {
      {KVOperationIdle, 0, KVOperationIdle, KVOperationIdle},
      {KVOperationStopping, 0, KVOperationStopping, KVOperationStopping},
      {KVOperationRunning, 1, KVOperationPaused, KVOperationStopping},
      {KVOperationPaused, -1, KVOperationRunning, KVOperationStopping},
      {KVOperationExited, 0, KVOperationExited, KVOperationExited},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.status);
    KVUIOperation operation;
    operation.SetStatus(c.status);
    if (c.continued >= 0) {
      EXPECT_EQ(operation.Continued(), c.continued);
    }
    EXPECT_EQ(operation.IsOperationExit(), c.status == KVOperationIdle || c.status == KVOperationExited);
    operation.PauseOrResumeOperation();
    EXPECT_EQ(operation.GetStatus(), c.afterPause);
    operation.SetStatus(c.status);
    operation.StopOperation(0);
    EXPECT_EQ(operation.GetStatus(), c.afterStop);
    EXPECT_EQ(operation.IsNeedUIUpdate(), 1) << "a stop always flags news";
    EXPECT_EQ(operation.shouldBuild(), 1);
    operation.StopOperation(1);  // the user may change his mind about the trees while it stops
    EXPECT_EQ(operation.shouldBuild(), c.afterStop == KVOperationStopping ? 0 : 1);
    operation.SetNeedUIUpdate(0);
    operation.EndOperation();
    EXPECT_EQ(operation.GetStatus(), KVOperationIdle);
    EXPECT_EQ(operation.IsNeedUIUpdate(), 1);
  }
}

TEST(KVUIOperation, ProgressIsCopiedWholeAndNeverSeenHalfWritten) {
  KVUIOperation operation;
  EXPECT_EQ(operation.UpdateProgress(nullptr), 1);
  EXPECT_EQ(operation.IsNeedUIUpdate(), 0);
  std::atomic<bool> done{false};
  std::thread engine([&] {
    _PROGRESS_INFO report;
    for (uint64_t i = 1; i <= 20000; ++i) {
      report.total = i;
      report.current = i;
      std::memset(report.reserved, static_cast<int>(i & 0xFF), sizeof report.reserved);
      operation.UpdateProgress(&report);
      report.current = 0;  // the engine reuses its record; the stored copy must not follow it
    }
    done = true;
  });
  int torn = 0;
  while (!done) {
    const _PROGRESS_INFO seen = operation.GetProgressInfo();
    const auto fill = static_cast<uint8_t>(seen.total & 0xFF);
    if (seen.total != seen.current || seen.reserved[0] != fill || seen.reserved[4095] != fill) ++torn;
  }
  engine.join();
  EXPECT_EQ(torn, 0);
  EXPECT_EQ(operation.GetProgressInfo().current, 20000u);
  EXPECT_EQ(operation.IsNeedUIUpdate(), 1);
}

TEST(KVUIOperation, APausedEngineWaitsUntilResumedOrStopped) {
  const std::pair<const char*, std::function<void(KVUIOperation&)>> ends[] = {
      {"resumed", [](KVUIOperation& o) { o.PauseOrResumeOperation(); }},
      {"stopped", [](KVUIOperation& o) { o.StopOperation(1); }},
      {"status written", [](KVUIOperation& o) { o.SetStatus(KVOperationExited); }},
  };
  for (const auto& [what, end] : ends) {
    SCOPED_TRACE(what);
    KVUIOperation operation;
    operation.SetStatus(KVOperationPaused);
    std::future<int> answer = std::async(std::launch::async, [&operation] { return operation.Continued(); });
    EXPECT_EQ(answer.wait_for(milliseconds(300)), std::future_status::timeout);
    end(operation);
    EXPECT_EQ(answer.get(), operation.GetStatus() == KVOperationRunning ? 1 : 0);
  }
}

TEST(KVUIOperation, BeginRunClaimsTheOperationOnceUntilBothThreadsEnded) {
  KVUIOperation operation;
  ASSERT_TRUE(operation.BeginRun());
  EXPECT_EQ(operation.GetStatus(), KVOperationRunning);
  EXPECT_FALSE(operation.BeginRun());
  EXPECT_FALSE(operation.WaitForThreads(milliseconds(10)));
  operation.WorkerEnded();
  EXPECT_FALSE(operation.BeginRun()) << "the poller is still there";
  operation.PollerEnded();
  EXPECT_TRUE(operation.WaitForThreads(milliseconds(0)));
  EXPECT_TRUE(operation.BeginRun());
  operation.WorkerEnded();
  operation.PollerEnded();
}

}  // namespace
