// The worker of one thumbnail loader of the results window (the cover flow's
// or the grid's): loads run one at a time, in the order they were added, on
// a thread of the queue's own, and a stop asked for by the window's thread
// drops the loads that have not begun and returns once the running one has.
//
// The loader's state word is the caller's (the window reads it, and so may
// others): -1 never started, 0 running, 1 stop asked, 2 ended. Adding a load
// makes it 0; the queue makes it 2 when it runs dry or a stop has ended it.
// A load reads the word to learn of a stop asked while it runs (it may end
// early then; it is never cut short).
//
// A stop never waits for a load that was dropped, so it returns also when
// loads were still queued, and it returns at once when nothing runs. A load
// must not wait for the thread that stops the queue: that thread is blocked
// until the load has returned.
//
// Plain C++ (no Qt), so that ThreadSanitizer sees every hand-over.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <deque>
#include <functional>
#include <mutex>
#include <thread>
#include <utility>

class KVThumbnailQueue {
 public:
  enum State : int { kNeverStarted = -1, kRunning = 0, kStopAsked = 1, kEnded = 2 };
  using Load = std::function<void()>;

  // `state` must outlive the queue.
  explicit KVThumbnailQueue(std::atomic<int>& state);
  // Drops the queued loads, waits for the running one and ends the thread.
  ~KVThumbnailQueue();
  KVThumbnailQueue(const KVThumbnailQueue&) = delete;
  KVThumbnailQueue& operator=(const KVThumbnailQueue&) = delete;

  // Queues `load` behind the waiting ones; the state becomes running. The
  // thread is made on the first call; false (and nothing queued) when it
  // cannot be.
  bool Add(Load load);
  // Any thread but the queue's own. See the top of the file.
  void Stop();
  // Whether a stop was asked for since the last load was added: what a
  // running load asks between its steps.
  bool StopAsked() const { return state_.load() == kStopAsked; }

  // The items a cover flow of `count` items loads around the selected one:
  // all up to kCoverFlowAll, otherwise kCoverFlowReach before it and as many
  // from it on; [first, end).
  static constexpr size_t kCoverFlowAll = 10;
  static constexpr size_t kCoverFlowReach = 100;
  static std::pair<size_t, size_t> CoverFlowWindow(size_t selected, size_t count);

  // Loads added and not begun.
  size_t Pending() const;
  // Whether a load is running now.
  bool Busy() const;

 private:
  void Run();

  std::atomic<int>& state_;
  mutable std::mutex lock_;
  std::condition_variable wake_;  // a load was added, or the queue ends
  std::condition_variable idle_;  // the running load returned
  std::deque<Load> loads_;
  bool running_ = false;
  bool quitting_ = false;
  std::thread thread_;
};
