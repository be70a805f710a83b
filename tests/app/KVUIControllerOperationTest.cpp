// The operation runner with a stand-in for the engine: a worker that reports
// progress and asks Continued() as a scan does, paced by the test.
#include "app/KVUIController.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <future>
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

class FakeOperation : public KVUIOperation {
 public:
  ~FakeOperation() override { WaitForThreads(std::chrono::minutes(1)); }
  bool IsOpTreeFinished() override { return treeFinished; }
  std::atomic<bool> treeFinished{true};
};

// Records the notifications of one name as a window sees them: the progress
// it reads at each, and whether any came off the main thread or without the
// usual object.
class Window {
 public:
  Window(FakeOperation& operation, const QString& name) : operation(operation), name(name) {
    qttest::App();
    id = NotificationCenter::DefaultCenter().AddObserver(name, nullptr, [this](const platform::Notification& n) {
      wrong = wrong || !platform::IsMainThread() || n.object != KVUIPublic::NotificationObject();
      currents.push_back(this->operation.GetProgressInfo().current);
      posts = static_cast<int>(currents.size());
      if (onPost) onPost();
    });
  }
  ~Window() { NotificationCenter::DefaultCenter().RemoveObserver(id); }
  bool Run(std::function<void()> worker) { return KVUIController::DoOperation(std::move(worker), {&operation, name}); }
  // Pumps until the run's threads are gone and their posts delivered.
  void WaitUntilOver() {
    EXPECT_TRUE(qttest::PumpUntil([this] { return !operation.IsWorkerRunning() && !operation.IsPollerRunning(); }));
    qttest::PumpPending();
    EXPECT_FALSE(wrong);
  }
  // For the worker: waits until the window has seen `count` posts.
  bool WaitForPosts(int count) {
    for (int i = 0; i < 60000 && posts < count; ++i) std::this_thread::sleep_for(milliseconds(1));
    return posts >= count;
  }

  FakeOperation& operation;
  QString name;
  platform::ObserverId id = 0;
  std::atomic<int> posts{0};
  std::vector<uint64_t> currents;
  bool wrong = false;
  std::function<void()> onPost;
};

void Report(KVUIOperation& operation, uint64_t current) {
  _PROGRESS_INFO info;
  info.status = PROGRESS_STATUS_RUNNING;
  info.total = 100;
  info.current = current;
  operation.UpdateProgress(&info);
}

TEST(OperationRunner, EveryWayOutOfTheWorkerLeavesItIdleWithOneFinalPost) {
  FakeOperation operation;
  Window window(operation, "RunnerWaysOut");
  std::atomic<size_t> stack{0};
  std::atomic<bool> onMain{true};
  const std::pair<const char*, std::function<void()>> ways[] = {
      {"returns at once",
       [&] {
         stack = platform::CurrentThreadStackSize();
         onMain = platform::IsMainThread();
       }},
      {"ends itself", [&] { operation.EndOperation(); }},
      {"returns while paused", [&] { operation.PauseOrResumeOperation(); }},
      {"returns while stopping", [&] { operation.StopOperation(0); }},
      {"returns as exited", [&] { operation.SetStatus(KVOperationExited); }},
      {"throws", [] { throw std::runtime_error("engine failure"); }},
      {"throws something else", [] { throw 42; }},
  };
  int expectedPosts = 0;
  for (const auto& [what, body] : ways) {
    SCOPED_TRACE(what);
    ASSERT_TRUE(window.Run(body));
    window.WaitUntilOver();
    EXPECT_EQ(operation.GetStatus(), KVOperationIdle);
    EXPECT_EQ(operation.IsNeedUIUpdate(), 0);
    EXPECT_EQ(window.posts, ++expectedPosts);
  }
  EXPECT_EQ(stack.load(), platform::kOperationStackSize) << "measured inside the worker";
  EXPECT_FALSE(onMain);
}

TEST(OperationRunner, EachNewsIsPostedAndTheEndOnceMoreUnlessRowsAreRebuilt) {
  for (bool rebuilding : {false, true}) {
    SCOPED_TRACE(rebuilding ? "rebuilding" : "rows complete");
    FakeOperation operation;
    operation.treeFinished = !rebuilding;
    Window window(operation, "RunnerNews");
    std::atomic<bool> paced{true};
    ASSERT_TRUE(window.Run([&] {
      for (int i = 1; i <= 3; ++i) {
        Report(operation, static_cast<uint64_t>(i));
        if (!rebuilding) {
          paced = paced && window.WaitForPosts(i);
        } else {  // waits until the poller has taken (and dropped) the news
          for (int polls = 0; operation.IsNeedUIUpdate() != 0 && polls < 60000; ++polls) {
            std::this_thread::sleep_for(milliseconds(1));
          }
          paced = paced && operation.IsNeedUIUpdate() == 0;
        }
      }
      if (rebuilding) operation.EndOperation();  // otherwise the runner ends it
    }));
    window.WaitUntilOver();
    EXPECT_TRUE(paced);
    EXPECT_EQ(window.currents, (rebuilding ? std::vector<uint64_t>{3} : std::vector<uint64_t>{1, 2, 3, 3}));
    EXPECT_EQ(operation.GetStatus(), KVOperationIdle);
  }
}

TEST(OperationRunner, PauseHoldsTheEngineAndStopEndsIt) {
  FakeOperation operation;
  Window window(operation, "RunnerPauseStop");
  std::atomic<uint64_t> steps{0};
  ASSERT_TRUE(window.Run([&] {
    while (operation.Continued()) {
      Report(operation, ++steps);
      std::this_thread::sleep_for(milliseconds(1));
    }
    operation.EndOperation();
  }));
  ASSERT_TRUE(qttest::PumpUntil([&] { return steps > 5; }));
  operation.PauseOrResumeOperation();
  std::this_thread::sleep_for(milliseconds(300));
  const uint64_t whilePaused = steps;
  std::this_thread::sleep_for(milliseconds(300));
  EXPECT_EQ(steps.load(), whilePaused);
  EXPECT_TRUE(operation.IsWorkerRunning());
  operation.StopOperation(1);
  window.WaitUntilOver();
  EXPECT_EQ(steps.load(), whilePaused);
  EXPECT_EQ(operation.GetStatus(), KVOperationIdle);
  EXPECT_EQ(operation.shouldBuild(), 0);
  EXPECT_GE(window.posts, 1);
}

TEST(OperationRunner, NoNewRunStartsWhileAStoppedEngineHasNotReturned) {
  FakeOperation operation;
  Window window(operation, "RunnerRefused");
  std::promise<void> returnNow;
  ASSERT_TRUE(window.Run([&, released = returnNow.get_future().share()] {
    while (operation.Continued()) std::this_thread::sleep_for(milliseconds(1));
    released.wait();
  }));
  operation.StopOperation(1);
  EXPECT_FALSE(window.Run([] {}));
  // The refused start neither revived the old engine nor ended its run.
  EXPECT_EQ(operation.GetStatus(), KVOperationStopping);
  EXPECT_EQ(operation.Continued(), 0);
  returnNow.set_value();
  window.WaitUntilOver();
  EXPECT_EQ(operation.GetStatus(), KVOperationIdle);

  // A window may start the next run when it sees the end.
  std::atomic<int> runs{0};
  bool restarted = false;
  const int before = window.posts;
  window.onPost = [&] {
    if (window.posts == before + 1) restarted = window.Run([&] { ++runs; });
  };
  ASSERT_TRUE(window.Run([&] { ++runs; }));
  ASSERT_TRUE(qttest::PumpUntil([&] { return window.posts >= before + 2; }));
  window.WaitUntilOver();
  EXPECT_TRUE(restarted);
  EXPECT_EQ(runs.load(), 2);
  EXPECT_EQ(window.posts, before + 2);
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

  EXPECT_FALSE(KVUIController::DoOperation([] {}, KVPollArgs{nullptr, "RunnerNothing"}));
  FakeOperation idle;
  EXPECT_FALSE(KVUIController::DoOperation(nullptr, KVPollArgs{&idle, "RunnerNothing"}));
  EXPECT_EQ(idle.GetStatus(), KVOperationIdle);
  KVUIController::QueryStatusAndUpdateUI(KVPollArgs{nullptr, "RunnerNothing"});
}

}  // namespace
