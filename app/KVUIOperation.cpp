#include "app/KVUIOperation.h"

namespace {

// How long a paused engine thread sleeps between looks at the status when
// nothing wakes it earlier.
constexpr std::chrono::milliseconds kPausePoll(80);
// How long a destroyed operation waits for its threads.
constexpr std::chrono::milliseconds kDestroyWait(5000);

}  // namespace

KVUIOperation::KVUIOperation() = default;

KVUIOperation::~KVUIOperation() {
  if (!IsWorkerRunning() && !IsPollerRunning()) return;
  // Destroyed with a run under way (the process is ending): the engine stops
  // at its next Continued(). Waiting for ever could hang the exit behind an
  // engine stuck in a read, so the wait is bounded.
  StopOperation(1);
  WaitForThreads(kDestroyWait);
}

int KVUIOperation::UpdateProgress(_PROGRESS_INFO* info) {
  if (info == nullptr) return 1;
  std::lock_guard<std::recursive_mutex> held(m_lock);
  m_progress = *info;
  m_needUIUpdate = 1;
  return 0;
}

int KVUIOperation::Continued() {
  for (;;) {
    uint64_t seen;
    {
      std::lock_guard<std::mutex> held(m_waitMutex);
      seen = m_statusChanges;
    }
    // Read after taking the change count, so a change in between ends the
    // wait below at once.
    if (IsRunEnding()) return 0;
    if (GetStatus() != KVOperationPaused) break;
    std::unique_lock<std::mutex> held(m_waitMutex);
    m_waitCond.wait_for(held, kPausePoll, [&] { return m_statusChanges != seen; });
  }
  std::lock_guard<std::recursive_mutex> held(m_lock);
  return m_status == KVOperationRunning && !m_ending ? 1 : 0;
}

int KVUIOperation::shouldBuild() {
  std::lock_guard<std::recursive_mutex> held(m_lock);
  return m_ending ? 0 : static_cast<int>(m_shouldBuild);
}

bool KVUIOperation::IsOpTreeFinished() { return true; }

void KVUIOperation::SetOpTreeFinished(int /*finished*/) {}

int KVUIOperation::GetStatus() {
  std::lock_guard<std::recursive_mutex> held(m_lock);
  return static_cast<int>(m_status);
}

void KVUIOperation::SetStatus(int status) {
  {
    std::lock_guard<std::recursive_mutex> held(m_lock);
    m_status = static_cast<uint32_t>(status);
  }
  WakeWaiters();
}

int KVUIOperation::IsNeedUIUpdate() {
  std::lock_guard<std::recursive_mutex> held(m_lock);
  return static_cast<int>(m_needUIUpdate);
}

void KVUIOperation::SetNeedUIUpdate(int update) {
  std::lock_guard<std::recursive_mutex> held(m_lock);
  m_needUIUpdate = static_cast<uint32_t>(update);
}

void KVUIOperation::SetShouldBuildTree(int build) {
  std::lock_guard<std::recursive_mutex> held(m_lock);
  m_shouldBuild = static_cast<uint32_t>(build);
}

_PROGRESS_INFO KVUIOperation::GetProgressInfo() {
  std::lock_guard<std::recursive_mutex> held(m_lock);
  return m_progress;
}

void KVUIOperation::SetProgressInfo(const _PROGRESS_INFO& info) {
  std::lock_guard<std::recursive_mutex> held(m_lock);
  m_progress = info;
}

bool KVUIOperation::IsOperationExit() {
  const int status = GetStatus();
  return status == KVOperationIdle || status == KVOperationExited;
}

void KVUIOperation::PauseOrResumeOperation() {
  {
    std::lock_guard<std::recursive_mutex> held(m_lock);
    if (m_status == KVOperationPaused) {
      m_status = KVOperationRunning;
    } else if (m_status == KVOperationRunning) {
      m_status = KVOperationPaused;
    }
  }
  WakeWaiters();
}

void KVUIOperation::StopOperation(int discard) {
  {
    std::lock_guard<std::recursive_mutex> held(m_lock);
    if (m_status == KVOperationRunning || m_status == KVOperationPaused || m_status == KVOperationStopping) {
      m_status = KVOperationStopping;
      m_shouldBuild = discard == 0 ? 1 : 0;
    }
    m_needUIUpdate = 1;
  }
  WakeWaiters();
}

void KVUIOperation::EndOperation() {
  {
    std::lock_guard<std::recursive_mutex> held(m_lock);
    m_needUIUpdate = 1;
    if (m_ending) return;
    m_status = KVOperationIdle;
  }
  WakeWaiters();
}

bool KVUIOperation::QueueRun(std::function<void()> body, const std::string& notificationName) {
  if (!body) return false;
  {
    std::lock_guard<std::recursive_mutex> held(m_lock);
    // Checked under the lock: the runner takes the queue under it too, so a
    // body queued here is never left behind by a worker that just ended.
    if (m_status != KVOperationStopping || !IsWorkerRunning()) return false;
    m_queued = std::move(body);
    m_ending = true;
    m_runName = notificationName;
    m_status = KVOperationRunning;
    m_needUIUpdate = 1;
  }
  WakeWaiters();
  RunRequested();
  return true;
}

bool KVUIOperation::IsRunEnding() {
  std::lock_guard<std::recursive_mutex> held(m_lock);
  return m_ending;
}

std::function<void()> KVUIOperation::TakeQueuedRunOrEnd() {
  std::function<void()> next;
  {
    std::lock_guard<std::recursive_mutex> held(m_lock);
    m_needUIUpdate = 1;
    if (m_ending) {
      next = std::move(m_queued);
      m_queued = nullptr;
      m_ending = false;
    } else {
      m_status = KVOperationIdle;
    }
  }
  WakeWaiters();
  return next;
}

void KVUIOperation::SetRunName(const std::string& notificationName) {
  std::lock_guard<std::recursive_mutex> held(m_lock);
  m_runName = notificationName;
}

std::string KVUIOperation::RunName() {
  std::lock_guard<std::recursive_mutex> held(m_lock);
  return m_runName;
}

void KVUIOperation::SetStartTime(time_t t) {
  std::lock_guard<std::recursive_mutex> held(m_lock);
  m_startTime = t;
}

void KVUIOperation::SetEndTime(time_t t) {
  std::lock_guard<std::recursive_mutex> held(m_lock);
  m_endTime = t;
}

time_t KVUIOperation::GetStartTime() {
  std::lock_guard<std::recursive_mutex> held(m_lock);
  return m_startTime;
}

time_t KVUIOperation::GetEndTime() {
  std::lock_guard<std::recursive_mutex> held(m_lock);
  return m_endTime;
}

time_t KVUIOperation::GetScanElapseTime() {
  std::lock_guard<std::recursive_mutex> held(m_lock);
  return m_endTime - m_startTime;
}

bool KVUIOperation::IsWorkerRunning() {
  std::lock_guard<std::mutex> held(m_waitMutex);
  return m_workerRunning;
}

bool KVUIOperation::IsPollerRunning() {
  std::lock_guard<std::mutex> held(m_waitMutex);
  return m_pollerRunning;
}

bool KVUIOperation::WaitForThreads(std::chrono::milliseconds timeout) {
  std::unique_lock<std::mutex> held(m_waitMutex);
  return m_waitCond.wait_for(held, timeout, [this] { return !m_workerRunning && !m_pollerRunning; });
}

bool KVUIOperation::BeginRun() {
  {
    std::lock_guard<std::mutex> held(m_waitMutex);
    if (m_workerRunning || m_pollerRunning) return false;
    m_workerRunning = true;
    m_pollerRunning = true;
  }
  RunRequested();
  SetStatus(KVOperationRunning);
  return true;
}

void KVUIOperation::WorkerEnded() {
  // Notified under the lock: the destructor may run as soon as the lock is
  // free, and nothing may touch the object after that.
  std::lock_guard<std::mutex> held(m_waitMutex);
  m_workerRunning = false;
  m_waitCond.notify_all();
}

void KVUIOperation::PollerEnded() {
  // Notified under the lock: the destructor may run as soon as the lock is
  // free, and nothing may touch the object after that.
  std::lock_guard<std::mutex> held(m_waitMutex);
  m_pollerRunning = false;
  m_waitCond.notify_all();
}

void KVUIOperation::WakeWaiters() {
  {
    std::lock_guard<std::mutex> held(m_waitMutex);
    ++m_statusChanges;
  }
  m_waitCond.notify_all();
}
