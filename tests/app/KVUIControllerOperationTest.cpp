// The operation and its runner, with a stand-in for the engine: a worker that
// reports progress and asks Continued() as a scan does, paced by the test.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <future>
#include <stdexcept>
#include <thread>
#include <vector>

#include "QtTestSupport.h"
#include "app/KVSaveAndRestoreNodeOperate.h"
#include "app/KVUIController.h"
#include "app/KVUIOperation.h"
#include "app/KVUIPublic.h"
#include "platform/MainThread.h"
#include "platform/NotificationCenter.h"
#include "platform/WorkerThread.h"

namespace {

using platform::NotificationCenter;
using std::chrono::milliseconds;

void Report(KVUIOperation& operation, uint64_t current, int fill = 0) {
  _PROGRESS_INFO info;
  info.status = PROGRESS_STATUS_RUNNING;
  info.total = current;
  info.current = current;
  std::memset(info.reserved, fill, sizeof info.reserved);
  operation.UpdateProgress(&info);
}

class FakeOperation : public KVUIOperation {
 public:
  ~FakeOperation() override { WaitForThreads(std::chrono::minutes(1)); }
  bool IsOpTreeFinished() override { return treeFinished; }
  std::atomic<bool> treeFinished{true};
};

// Records the notifications of one name as a window sees them: the progress
// read at each, and whether one came off the main thread or without the
// usual object.
struct Window {
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

  FakeOperation& operation;
  QString name;
  platform::ObserverId id = 0;
  std::atomic<int> posts{0};
  std::vector<uint64_t> currents;
  bool wrong = false;
  std::function<void()> onPost;
};

// For the worker: waits up to a minute for `done`.
bool Await(const std::function<bool()>& done) {
  for (int i = 0; i < 60000 && !done(); ++i) std::this_thread::sleep_for(milliseconds(1));
  return done();
}

TEST(OperationRunner, EveryWayOutOfTheWorkerLeavesItIdleWithOneFinalPost) {
  FakeOperation operation;
  Window window(operation, "RunnerWaysOut");
  std::atomic<size_t> stack{0};
  std::atomic<bool> onMain{true};
  const std::pair<const char*, std::function<void()>> ways[] = {
      {"returns at once", [&] { stack = platform::CurrentThreadStackSize(), onMain = platform::IsMainThread(); }},
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
        // Until the window has seen it, or while rebuilding until the poller has taken (and dropped) it.
        paced = paced && Await([&] { return rebuilding ? operation.IsNeedUIUpdate() == 0 : window.posts >= i; });
      }
      if (rebuilding) operation.EndOperation();  // otherwise the runner ends it
    }));
    window.WaitUntilOver();
    EXPECT_TRUE(paced);
    EXPECT_EQ(window.currents, (rebuilding ? std::vector<uint64_t>{3} : std::vector<uint64_t>{1, 2, 3, 3}));
  }
}

// A save or load window reads the progress record and learns the end from
// its own post: news reaches it only while the run goes on, rows rebuilt or
// not, and a run found over at the poller's first look posts only the end.
TEST(OperationRunner, SaveAndLoadNewsIgnoresRebuildsAndTheEndIsPostedOnlyByItsOwnName) {
  FakeOperation operation;
  operation.treeFinished = false;
  KVPollArgs args{&operation, "RunnerLoad", "RunnerLoadDone"};
  args.postEndNews = false;
  args.holdDuringRebuild = false;
  {
    Window window(operation, "RunnerLoad");
    Window finish(operation, "RunnerLoadDone");
    operation.SetNeedUIUpdate(1);  // the news of its end, never looked at
    testing::internal::CaptureStderr();
    KVUIController::QueryStatusAndUpdateUI(args);
    const std::string logged = testing::internal::GetCapturedStderr();
    qttest::PumpPending();
    EXPECT_EQ(window.posts, 0);
    EXPECT_EQ(finish.posts, 1);
    const size_t sent = logged.find("---------Send Progress finish notify to UI-------\n");
    EXPECT_NE(sent, std::string::npos) << logged;
    EXPECT_NE(logged.find("---------The Progress thread is exited-----------\n", sent), std::string::npos) << logged;
  }
  Window window(operation, "RunnerLoad");
  Window finish(operation, "RunnerLoadDone");
  std::atomic<bool> paced{true};
  ASSERT_TRUE(KVUIController::DoOperation(
      [&] {
        for (int i = 1; i <= 3; ++i) {
          Report(operation, static_cast<uint64_t>(i));
          paced = paced && Await([&] { return window.posts >= i; });
        }
      },
      args));
  finish.WaitUntilOver();
  EXPECT_TRUE(paced);
  ASSERT_GE(window.currents.size(), 3u);
  EXPECT_EQ(std::vector<uint64_t>(window.currents.begin(), window.currents.begin() + 3),
            (std::vector<uint64_t>{1, 2, 3}));
  EXPECT_EQ(finish.posts, 1);
}

// A start while the last run still stops is queued: the old engine is not
// revived (not even by a pause), and the new body runs on the same worker
// once the old one has returned, with the status the user left it in.
TEST(OperationRunner, PauseHoldsTheEngineAndAStartWhileStoppingRunsOnceTheOldBodyReturned) {
  for (const bool stopAgain : {false, true}) {
    SCOPED_TRACE(stopAgain ? "the queued run stopped before it began" : "the queued run goes on");
    FakeOperation operation;
    Window window(operation, "RunnerPauseStop");
    Window next(operation, "RunnerQueued");
    std::atomic<uint64_t> steps{0};
    std::promise<void> returnNow;
    std::thread::id oldWorker;
    ASSERT_TRUE(window.Run([&, released = returnNow.get_future().share()] {
      oldWorker = std::this_thread::get_id();
      while (operation.Continued()) {
        Report(operation, ++steps);
        std::this_thread::sleep_for(milliseconds(1));
      }
      released.wait();
      operation.EndOperation();  // a superseded run's end is no end
    }));
    ASSERT_TRUE(qttest::PumpUntil([&] { return steps > 5; }));
    operation.PauseOrResumeOperation();
    std::this_thread::sleep_for(milliseconds(300));
    const uint64_t whilePaused = steps;
    std::this_thread::sleep_for(milliseconds(300));
    EXPECT_EQ(steps.load(), whilePaused);
    operation.StopOperation(1);

    std::atomic<int> continued{-1};
    bool sameThread = false;
    ASSERT_TRUE(next.Run([&] {
      continued = operation.Continued();
      sameThread = std::this_thread::get_id() == oldWorker;
    }));
    EXPECT_EQ(operation.GetStatus(), KVOperationRunning) << "the queued run's status";
    EXPECT_TRUE(operation.IsRunEnding());
    EXPECT_EQ(operation.Continued(), 0) << "the old engine still sees its stop";
    operation.PauseOrResumeOperation();
    EXPECT_EQ(operation.Continued(), 0) << "and is not held by a pause";
    operation.PauseOrResumeOperation();
    EXPECT_FALSE(window.Run([] {})) << "a run is under way";
    if (stopAgain) operation.StopOperation(1);
    returnNow.set_value();
    next.WaitUntilOver();
    window.WaitUntilOver();
    EXPECT_EQ(steps.load(), whilePaused);
    EXPECT_EQ(continued.load(), stopAgain ? 0 : 1);
    EXPECT_TRUE(sameThread);
    EXPECT_EQ(operation.GetStatus(), KVOperationIdle);
    EXPECT_FALSE(operation.IsRunEnding());
    EXPECT_GE(next.posts, 1) << "the end is posted under the queued run's name";
  }
}

// A window may start the next run when it sees the end.
TEST(OperationRunner, AStartFromTheEndPostRuns) {
  FakeOperation operation;
  Window window(operation, "RunnerRestart");
  std::atomic<int> runs{0};
  bool restarted = false;
  window.onPost = [&] {
    if (window.posts == 1) restarted = window.Run([&] { ++runs; });
  };
  ASSERT_TRUE(window.Run([&] { ++runs; }));
  ASSERT_TRUE(qttest::PumpUntil([&] { return window.posts >= 2; }));
  window.WaitUntilOver();
  EXPECT_TRUE(restarted);
  EXPECT_EQ(runs.load(), 2);
  EXPECT_EQ(window.posts, 2);
}

// The export's progress window and the tests read the save's record: a
// second save must not look ended from the moment it is asked for.
TEST(OperationRunner, ASaveStartsFromNoProgressNotFromTheLastSavesEnd) {
  qttest::App();
  KVSaveAndRestoreNodeOperate saver;
  _PROGRESS_INFO last;
  last.status = PROGRESS_STATUS_FINISHED;
  last.total = last.current = 100;
  saver.UpdateProgress(&last);
  std::atomic<bool> go{false};
  ASSERT_TRUE(KVUIController::DoOperation([&go] { Await([&go] { return go.load(); }); }, {&saver, "RunnerSave"}));
  const _PROGRESS_INFO asked = saver.GetProgressInfo();
  go = true;
  EXPECT_NE(asked.status, PROGRESS_STATUS_FINISHED);
  EXPECT_EQ(asked.total, 0u);
  EXPECT_EQ(asked.current, 0u);
  EXPECT_TRUE(qttest::PumpUntil([&saver] { return !saver.IsWorkerRunning() && !saver.IsPollerRunning(); }));
  qttest::PumpPending();
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

TEST(KVUIOperation, StopFlagsNewsAndOnlyStopsWhatRuns) {
  for (int status : {KVOperationIdle, KVOperationStopping, KVOperationRunning, KVOperationPaused, KVOperationExited}) {
    SCOPED_TRACE(status);
    KVUIOperation operation;
    operation.SetStatus(status);
    operation.StopOperation(0);
    operation.StopOperation(1);  // the user may change his mind about the trees while it stops
    const bool stops = status != KVOperationIdle && status != KVOperationExited;
    EXPECT_EQ(operation.GetStatus(), stops ? KVOperationStopping : status);
    EXPECT_EQ(operation.shouldBuild(), stops ? 0 : 1);
    EXPECT_EQ(operation.IsNeedUIUpdate(), 1);
    EXPECT_EQ(operation.Continued(), 0);
  }
}

TEST(KVUIOperation, ProgressIsCopiedWholeAndNeverSeenHalfWritten) {
  KVUIOperation operation;
  EXPECT_EQ(operation.UpdateProgress(nullptr), 1);
  EXPECT_EQ(operation.IsNeedUIUpdate(), 0);
  std::atomic<bool> done{false};
  std::thread engine([&] {
    for (uint64_t i = 1; i <= 20000; ++i) Report(operation, i, static_cast<int>(i & 0xFF));
    done = true;
  });
  int torn = 0;
  while (!done) {
    const _PROGRESS_INFO seen = operation.GetProgressInfo();
    const auto fill = static_cast<uint8_t>(seen.total & 0xFF);
    torn += seen.total != seen.current || seen.reserved[0] != fill || seen.reserved[4095] != fill ? 1 : 0;
  }
  engine.join();
  EXPECT_EQ(torn, 0);
  EXPECT_EQ(operation.GetProgressInfo().current, 20000u);
  EXPECT_EQ(operation.IsNeedUIUpdate(), 1);
}

}  // namespace
