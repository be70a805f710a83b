// The base of every long operation (scan, recovery, saving and loading a scan
// result): the engine's progress sink, the operation's status and the news
// flag that the operation's poller turns into notifications (see
// KVUIController::DoOperation).
//
// Threads: the engine calls UpdateProgress, Continued and shouldBuild on the
// operation's worker thread; the poller reads the status and the news flag
// every 0.1 s; the main thread reads the status and the progress record and
// pauses, resumes or stops. Every accessor takes the operation's one
// recursive lock for a single read or write (or a copy of the progress
// record) and never holds it across an engine call or a wait.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <ctime>
#include <functional>
#include <mutex>
#include <string>

#include "Progress.h"

enum KVOperationStatus : int {
  KVOperationIdle = 0,      // never started, finished or stopped
  KVOperationStopping = 1,  // the user asked to stop; the engine has not returned yet
  KVOperationRunning = 2,
  KVOperationPaused = 3,
  KVOperationExited = 4,
};

class KVUIOperation : public IProgress {
 public:
  KVUIOperation();
  // When a worker or poller still runs, stops the operation (discarding) and
  // waits up to 5 s for them. A subclass whose worker may still call into it
  // stops and waits in its own destructor, before its part is gone.
  ~KVUIOperation() override;
  KVUIOperation(const KVUIOperation&) = delete;
  KVUIOperation& operator=(const KVUIOperation&) = delete;

  // IProgress. The base's UpdateProgress stores a copy of the record and
  // flags news; a null record changes nothing and answers 1.
  int UpdateProgress(_PROGRESS_INFO* info) override;
  // Blocks while the operation is paused, looking at the status at least
  // every 80 ms and at once when it changes; then answers 1 only while the
  // operation runs (idle, stopping and exited answer 0). A run that a queued
  // run has superseded (IsRunEnding) gets 0 at once, paused or not.
  int Continued() override;
  // The should-build flag; 0 for a superseded run.
  int shouldBuild() override;

  // Whether the result rows are complete, so that news may be posted; the
  // poller drops news while this answers false. The base always answers true.
  virtual bool IsOpTreeFinished();
  virtual void SetOpTreeFinished(int finished);

  int GetStatus();
  void SetStatus(int status);
  int IsNeedUIUpdate();
  void SetNeedUIUpdate(int update);
  void SetShouldBuildTree(int build);
  _PROGRESS_INFO GetProgressInfo();
  void SetProgressInfo(const _PROGRESS_INFO& info);

  // Idle or exited.
  bool IsOperationExit();
  // Running becomes paused and paused running; any other status stays.
  void PauseOrResumeOperation();
  // A running or paused operation starts stopping; `discard` 1 also tells a
  // complete scan not to build trees from what it found, 0 to build them.
  // An operation that is stopping already takes the new `discard`; idle and
  // exited operations keep their status. News is flagged in every case.
  void StopOperation(int discard);
  // The operation's own end: flags news and goes idle in one step under the
  // lock, so a poller that sees the idle status also sees the news. Workers
  // call it on their way out; the runner calls it for them when they forget.
  // A superseded run's end only flags news: the status is its successor's.
  void EndOperation();

  void SetStartTime(time_t t);
  void SetEndTime(time_t t);
  time_t GetStartTime();
  time_t GetEndTime();
  // End time minus start time, in seconds.
  time_t GetScanElapseTime();

  // The operation's threads, as KVUIController::DoOperation runs them. A
  // worker counts from the start request until its body has returned and the
  // status has been made idle; the poller until its last post.
  bool IsWorkerRunning();
  bool IsPollerRunning();
  // Waits until neither runs; false when `timeout` passed first.
  bool WaitForThreads(std::chrono::milliseconds timeout);

  // For KVUIController::DoOperation: claims the operation for a new run
  // (status running, worker and poller counted as started) unless a worker
  // or poller of an earlier run is still there. RunRequested is called once
  // the run is claimed, before its worker starts.
  bool BeginRun();
  void WorkerEnded();
  void PollerEnded();

  // A start asked while the previous run is still stopping is queued behind
  // it: QueueRun succeeds only while the status is stopping and that run's
  // worker has not ended (a later request replaces a queued one that has not
  // begun). The status becomes running at once, so the windows see a scan
  // under way; the stopping run is superseded (IsRunEnding): Continued
  // answers it 0 even when the user pauses, and its reports, news and end no
  // longer count. The runner starts the queued body on the same worker
  // thread as soon as the old body returns (TakeQueuedRunOrEnd), with the
  // status the user left it in (running, paused, or stopping after a stop,
  // in which case the body returns at once). RunRequested is called once
  // the run is queued.
  bool QueueRun(std::function<void()> body, const std::string& notificationName);
  bool IsRunEnding();
  // For the runner, after a body returned: the queued body (its run begins
  // now), or none, and then the operation is idle with news flagged.
  std::function<void()> TakeQueuedRunOrEnd();
  // The notification the poller posts for the current run.
  void SetRunName(const std::string& notificationName);
  std::string RunName();

 protected:
  // The operation's lock, for subclasses that keep fields of their own
  // under it. Hold it only for short reads and writes.
  std::recursive_mutex& OperationLock() { return m_lock; }
  // Called on the thread that asked for a run, without the lock, as soon as
  // the run is claimed (BeginRun) or queued (QueueRun): the subclass drops
  // what the last run showed there and then. The worker that lets the last
  // run's objects go starts later, so whoever asked, and read the results on
  // that same thread, never meets them again.
  virtual void RunRequested() {}

 private:
  void WakeWaiters();

  std::recursive_mutex m_lock;
  time_t m_startTime = 0;
  time_t m_endTime = 0;
  uint32_t m_status = KVOperationIdle;
  uint32_t m_shouldBuild = 1;
  uint32_t m_needUIUpdate = 0;
  _PROGRESS_INFO m_progress{};
  std::function<void()> m_queued;  // the body waiting behind the ending run
  bool m_ending = false;           // the running body is superseded by m_queued
  std::string m_runName;

  // Wakes Continued early when the status changes, and whoever waits for the
  // threads to end.
  std::mutex m_waitMutex;
  std::condition_variable m_waitCond;
  uint64_t m_statusChanges = 0;
  bool m_workerRunning = false;
  bool m_pollerRunning = false;
};
