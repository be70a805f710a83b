// Threads with a chosen stack size for the long operations (scans,
// recoveries, saving and loading results) and their pollers.
//
// Operations recurse through found trees, so their workers get an explicit
// 2 MiB stack rather than whatever the system hands out by default.
#pragma once

#include <cstddef>
#include <functional>

#include <pthread.h>

namespace platform {

// The stack of an operation's worker thread.
constexpr size_t kOperationStackSize = 0x200000;

// Starts `body` on a new detached thread with a stack of `stackBytes` (raised
// to the system minimum when smaller) and, when given, the thread name (cut to
// 15 bytes). Answers false when the thread could not be made; `body` is then
// not run. An exception leaving `body` is logged and ends only that thread.
bool StartDetachedThread(std::function<void()> body, size_t stackBytes = kOperationStackSize,
                         const char* name = nullptr);

// The stack size of the calling thread, as the system reports it.
size_t CurrentThreadStackSize();

// A joinable thread with a chosen stack size; the destructor joins.
class WorkerThread {
 public:
  WorkerThread() = default;
  ~WorkerThread();
  WorkerThread(const WorkerThread&) = delete;
  WorkerThread& operator=(const WorkerThread&) = delete;

  // False when a thread is already running in this object or none could be
  // made.
  bool Start(std::function<void()> body, size_t stackBytes = kOperationStackSize, const char* name = nullptr);
  // Waits for the thread; does nothing when none runs.
  void Join();
  bool Joinable() const { return started_; }

 private:
  pthread_t thread_{};
  bool started_ = false;
};

}  // namespace platform
