// The operation runner with a stand-in for the engine: a worker that reports
// progress and asks Continued() as a scan does, paced by the test.
#include "app/KVUIController.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <stdexcept>
#include <thread>
#include <vector>

#include "QtTestSupport.h"
#include "app/KVUIOperation.h"
#include "app/KVUIPublic.h"
#include "platform/MainThread.h"
#include "platform/NotificationCenter.h"
#include "platform/WorkerThread.h"

namespace {

using platform::NotificationCenter;
using std::chrono::milliseconds;

// Something a thread waits for until another thread allows it.
class Gate {
 public:
  void Open() {
    std::lock_guard<std::mutex> held(mutex_);
    open_ = true;
    cond_.notify_all();
  }
  // The guard only keeps a broken test from hanging.
  bool Wait() {
    std::unique_lock<std::mutex> held(mutex_);
    return cond_.wait_for(held, std::chrono::seconds(60), [this] { return open_; });
  }

 private:
  std::mutex mutex_;
  std::condition_variable cond_;
  bool open_ = false;
};

class FakeOperation : public KVUIOperation {
 public:
  ~FakeOperation() override { WaitForThreads(std::chrono::minutes(1)); }
  bool IsOpTreeFinished() override { return treeFinished; }
  std::atomic<bool> treeFinished{true};
};

// Counts the notifications of one name as the windows would see them.
class Window {
 public:
  Window(FakeOperation& operation, const QString& name) : operation_(operation), name_(name) {
    qttest::App();
    id_ = NotificationCenter::DefaultCenter().AddObserver(name, nullptr, [this](const platform::Notification& n) {
      if (!platform::IsMainThread()) offMainThread_ = true;
      if (n.object != KVUIPublic::NotificationObject()) wrongObject_ = true;
      currents_.push_back(operation_.GetProgressInfo().current);
      posts_ = static_cast<int>(currents_.size());
      if (onPost_) onPost_();
    });
  }
  ~Window() { NotificationCenter::DefaultCenter().RemoveObserver(id_); }

  KVPollArgs Args() { return KVPollArgs{&operation_, name_}; }
  // Pumps until the run's threads are gone and their posts delivered.
  void WaitUntilOver() {
    EXPECT_TRUE(qttest::PumpUntil([this] { return !operation_.IsWorkerRunning() && !operation_.IsPollerRunning(); }));
    qttest::PumpPending();
  }
  int posts() const { return posts_; }
  const std::vector<uint64_t>& currents() const { return currents_; }
  bool offMainThread() const { return offMainThread_; }
  bool wrongObject() const { return wrongObject_; }
  void OnPost(std::function<void()> fn) { onPost_ = std::move(fn); }
  // For worker threads: waits until the window has seen `count` posts.
  bool WaitForPosts(int count) {
    for (int i = 0; i < 60000 && posts_ < count; ++i) std::this_thread::sleep_for(milliseconds(1));
    return posts_ >= count;
  }

 private:
  FakeOperation& operation_;
  QString name_;
  platform::ObserverId id_ = 0;
  std::atomic<int> posts_{0};
  std::vector<uint64_t> currents_;
  bool offMainThread_ = false;
  bool wrongObject_ = false;
  std::function<void()> onPost_;
};

void Report(KVUIOperation& operation, uint64_t current) {
  _PROGRESS_INFO info;
  info.status = PROGRESS_STATUS_RUNNING;
  info.total = 100;
  info.current = current;
  operation.UpdateProgress(&info);
}

TEST(OperationRunner, TheWorkerRunsOffTheMainThreadOnATwoMebibyteStack) {
  FakeOperation operation;
  Window window(operation, "RunnerStack");
  std::atomic<size_t> stack{0};
  std::atomic<bool> onMain{true};
  ASSERT_TRUE(KVUIController::DoOperation(
      [&] {
        stack = platform::CurrentThreadStackSize();
        onMain = platform::IsMainThread();
      },
      window.Args()));
  window.WaitUntilOver();
  EXPECT_EQ(stack.load(), platform::kOperationStackSize);
  EXPECT_FALSE(onMain);
}

TEST(OperationRunner, AnOperationThatEndsAtOncePostsExactlyOnce) {
  FakeOperation operation;
  Window window(operation, "RunnerAtOnce");
  ASSERT_TRUE(KVUIController::DoOperation([] {}, window.Args()));
  window.WaitUntilOver();
  EXPECT_EQ(window.posts(), 1);
  EXPECT_EQ(operation.GetStatus(), KVOperationIdle);
  EXPECT_EQ(operation.IsNeedUIUpdate(), 0);
  EXPECT_FALSE(window.offMainThread());
  EXPECT_FALSE(window.wrongObject());
}

TEST(OperationRunner, AWorkerThatEndsItselfAlsoPostsExactlyOnce) {
  FakeOperation operation;
  Window window(operation, "RunnerEndsItself");
  ASSERT_TRUE(KVUIController::DoOperation([&] { operation.EndOperation(); }, window.Args()));
  window.WaitUntilOver();
  EXPECT_EQ(window.posts(), 1);
}

TEST(OperationRunner, EachNewsIsPostedAndTheEndOnceMore) {
  FakeOperation operation;
  Window window(operation, "RunnerNews");
  std::atomic<bool> paced{true};
  ASSERT_TRUE(KVUIController::DoOperation(
      [&] {
        for (int i = 1; i <= 3; ++i) {
          Report(operation, static_cast<uint64_t>(i));
          if (!window.WaitForPosts(i)) paced = false;
        }
        // Returns while still running: the runner ends the operation.
      },
      window.Args()));
  window.WaitUntilOver();
  EXPECT_TRUE(paced);
  EXPECT_EQ(window.currents(), (std::vector<uint64_t>{1, 2, 3, 3}));
  EXPECT_EQ(operation.GetStatus(), KVOperationIdle);
}

TEST(OperationRunner, NewsDuringARebuildIsDroppedButTheEndIsPosted) {
  FakeOperation operation;
  operation.treeFinished = false;
  Window window(operation, "RunnerRebuild");
  std::atomic<bool> consumed{true};
  ASSERT_TRUE(KVUIController::DoOperation(
      [&] {
        for (int i = 1; i <= 3; ++i) {
          Report(operation, static_cast<uint64_t>(i));
          // Wait until the poller has taken (and dropped) the news.
          int polls = 0;
          while (operation.IsNeedUIUpdate() != 0 && polls++ < 60000) std::this_thread::sleep_for(milliseconds(1));
          if (operation.IsNeedUIUpdate() != 0) consumed = false;
        }
        operation.EndOperation();
      },
      window.Args()));
  window.WaitUntilOver();
  EXPECT_TRUE(consumed);
  EXPECT_EQ(window.posts(), 1);
}

TEST(OperationRunner, EveryWayOutOfTheWorkerLeavesTheOperationIdle) {
  FakeOperation operation;
  Window window(operation, "RunnerWaysOut");
  struct WayOut {
    const char* what;
    std::function<void()> body;
  };
  const std::vector<WayOut> ways = {
      {"returns while running", [] {}},
      {"returns while paused", [&] { operation.PauseOrResumeOperation(); }},
      {"returns while stopping", [&] { operation.StopOperation(0); }},
      {"returns as exited", [&] { operation.SetStatus(KVOperationExited); }},
      {"throws", [] { throw std::runtime_error("engine failure"); }},
      {"throws something else", [] { throw 42; }},
  };
  int expectedPosts = 0;
  for (const WayOut& way : ways) {
    ASSERT_TRUE(KVUIController::DoOperation(way.body, window.Args())) << way.what;
    window.WaitUntilOver();
    ++expectedPosts;
    EXPECT_EQ(operation.GetStatus(), KVOperationIdle) << way.what;
    EXPECT_EQ(window.posts(), expectedPosts) << way.what;
  }
}

TEST(OperationRunner, PauseThenStopEndsTheEngineLoop) {
  FakeOperation operation;
  Window window(operation, "RunnerPauseStop");
  std::atomic<uint64_t> steps{0};
  ASSERT_TRUE(KVUIController::DoOperation(
      [&] {
        while (operation.Continued()) {
          Report(operation, ++steps);
          std::this_thread::sleep_for(milliseconds(1));
        }
        operation.EndOperation();
      },
      window.Args()));
  ASSERT_TRUE(qttest::PumpUntil([&] { return steps > 5; }));
  operation.PauseOrResumeOperation();
  std::this_thread::sleep_for(milliseconds(300));
  const uint64_t whilePaused = steps;
  std::this_thread::sleep_for(milliseconds(300));
  EXPECT_EQ(steps.load(), whilePaused);
  EXPECT_EQ(operation.GetStatus(), KVOperationPaused);
  EXPECT_TRUE(operation.IsWorkerRunning());

  operation.StopOperation(1);
  window.WaitUntilOver();
  EXPECT_EQ(steps.load(), whilePaused);
  EXPECT_EQ(operation.GetStatus(), KVOperationIdle);
  EXPECT_EQ(operation.shouldBuild(), 0);
  EXPECT_GE(window.posts(), 1);
}

TEST(OperationRunner, NoNewRunStartsWhileAStoppedEngineHasNotReturned) {
  FakeOperation operation;
  Window window(operation, "RunnerRefused");
  Gate returnNow;
  ASSERT_TRUE(KVUIController::DoOperation(
      [&] {
        while (operation.Continued()) std::this_thread::sleep_for(milliseconds(1));
        returnNow.Wait();
      },
      window.Args()));
  operation.StopOperation(1);
  EXPECT_FALSE(KVUIController::DoOperation([] {}, window.Args()));
  // The refused start neither revived the old engine nor ended its run.
  EXPECT_EQ(operation.GetStatus(), KVOperationStopping);
  EXPECT_EQ(operation.Continued(), 0);

  returnNow.Open();
  window.WaitUntilOver();
  EXPECT_EQ(operation.GetStatus(), KVOperationIdle);
  ASSERT_TRUE(KVUIController::DoOperation([] {}, window.Args()));
  window.WaitUntilOver();
  EXPECT_EQ(operation.GetStatus(), KVOperationIdle);
}

TEST(OperationRunner, AWindowMayStartTheNextRunWhenItSeesTheEnd) {
  FakeOperation operation;
  Window window(operation, "RunnerRestart");
  std::atomic<int> runs{0};
  bool restarted = false;
  window.OnPost([&] {
    if (window.posts() == 1) restarted = KVUIController::DoOperation([&] { ++runs; }, window.Args());
  });
  ASSERT_TRUE(KVUIController::DoOperation([&] { ++runs; }, window.Args()));
  ASSERT_TRUE(qttest::PumpUntil([&] { return window.posts() >= 2; }));
  window.WaitUntilOver();
  EXPECT_TRUE(restarted);
  EXPECT_EQ(runs.load(), 2);
  EXPECT_EQ(window.posts(), 2);
}

TEST(OperationRunner, DestroyingAnOperationStopsItsEngineAndWaitsForIt) {
  qttest::App();
  auto* operation = new KVUIOperation;
  std::atomic<bool> engineReturned{false};
  ASSERT_TRUE(KVUIController::DoOperation(
      [operation, &engineReturned] {
        while (operation->Continued()) std::this_thread::sleep_for(milliseconds(1));
        engineReturned = true;
      },
      KVPollArgs{operation, "RunnerDestroyed"}));
  delete operation;
  EXPECT_TRUE(engineReturned);
}

TEST(OperationRunner, NothingRunsWithoutAnOperationOrAWorker) {
  EXPECT_FALSE(KVUIController::DoOperation([] {}, KVPollArgs{nullptr, "RunnerNothing"}));
  FakeOperation operation;
  EXPECT_FALSE(KVUIController::DoOperation(nullptr, KVPollArgs{&operation, "RunnerNothing"}));
  EXPECT_EQ(operation.GetStatus(), KVOperationIdle);
  KVUIController::QueryStatusAndUpdateUI(KVPollArgs{nullptr, "RunnerNothing"});
}

}  // namespace
