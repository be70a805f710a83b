#include "app/KVUIController.h"

#include <chrono>
#include <cstdio>
#include <exception>
#include <string>
#include <thread>
#include <utility>

#include "app/KVUIOperation.h"
#include "app/KVUIPublic.h"
#include "base/CatchExeception.h"
#include "platform/WorkerThread.h"

namespace {

constexpr std::chrono::milliseconds kPollPeriod(100);
// A run that has gone idle only has its epilogue and the poller's last
// round left; a new start waits this long for them.
constexpr std::chrono::milliseconds kWindDown(5000);
// The poller only posts; it needs no operation-sized stack.
constexpr size_t kPollerStackSize = 0x80000;

// Takes the news flag: true when it was set.
bool TakeNews(KVUIOperation* operation) {
  if (operation->IsNeedUIUpdate() == 0) return false;
  operation->SetNeedUIUpdate(0);
  return true;
}

void RunWorker(KVUIOperation* operation, std::function<void()> worker) {
  while (worker) {
    try {
      worker();
    } catch (const std::exception& e) {
      CatchExeception::WriteLog("operation worker ended by an exception: %s\n", e.what());
    } catch (...) {
      CatchExeception::WriteLog("operation worker ended by an exception\n");
    }
    // However the body left, its run is over: a start queued meanwhile runs
    // next on this thread, or the operation goes idle. Without this a worker
    // that returned early would leave the poller polling and every window
    // waiting for an end that never comes.
    worker = operation->TakeQueuedRunOrEnd();
  }
  operation->WorkerEnded();
}

}  // namespace

bool KVUIController::DoOperation(std::function<void()> worker, const KVPollArgs& pollArgs) {
  KVUIOperation* operation = pollArgs.operation;
  if (operation == nullptr || !worker) return false;
  const std::string name = pollArgs.notificationName.toStdString();
  if (operation->QueueRun(worker, name)) return true;
  // Not stopping (or no more): a run that has just gone idle may still be
  // winding down its threads.
  if (operation->IsOperationExit() && (operation->IsWorkerRunning() || operation->IsPollerRunning())) {
    operation->WaitForThreads(kWindDown);
  }
  if (!operation->BeginRun()) return false;
  operation->SetRunName(name);

  const KVPollArgs args = pollArgs;
  const bool pollerStarted = platform::StartDetachedThread(
      [args] {
        QueryStatusAndUpdateUI(args);
        args.operation->PollerEnded();
      },
      kPollerStackSize, "kv-poller");
  if (!pollerStarted) {
    operation->SetStatus(KVOperationIdle);
    operation->WorkerEnded();
    operation->PollerEnded();
    return false;
  }

  const bool workerStarted = platform::StartDetachedThread(
      [operation, worker = std::move(worker)] { RunWorker(operation, std::move(worker)); },
      platform::kOperationStackSize, "kv-operation");
  if (!workerStarted) {
    // The poller sees the idle status and posts once, so the window that
    // asked for the run learns that it is over.
    operation->EndOperation();
    operation->WorkerEnded();
    return false;
  }
  return true;
}

void KVUIController::QueryStatusAndUpdateUI(const KVPollArgs& pollArgs) {
  KVUIOperation* operation = pollArgs.operation;
  if (operation == nullptr) return;
  // A run queued behind this one may post under another name.
  const auto name = [&] {
    const std::string current = operation->RunName();
    return current.empty() ? pollArgs.notificationName : QString::fromStdString(current);
  };
  bool posted = false;
  while (!operation->IsOperationExit()) {
    std::this_thread::sleep_for(kPollPeriod);
    // News that falls into a rebuild of the result rows is dropped.
    if (TakeNews(operation) && (!pollArgs.holdDuringRebuild || operation->IsOpTreeFinished())) {
      KVUIPublic::NotifyMainThread(name());
      posted = true;
    }
  }
  // EndOperation flags news and goes idle in one step, so news of the end
  // is seen here even when it came after the last look above.
  if (pollArgs.postEndNews && (TakeNews(operation) || !posted)) KVUIPublic::NotifyMainThread(name());
  operation->SetNeedUIUpdate(0);
  if (!pollArgs.finishName.isEmpty()) {
    std::fprintf(stderr, "---------Send Progress finish notify to UI-------\n");
    KVUIPublic::NotifyMainThread(pollArgs.finishName);
    std::fprintf(stderr, "---------The Progress thread is exited-----------\n");
  }
  std::fprintf(stderr, "!!!!!!! The state query thread is exited!!!!!!!!!\n");
}
