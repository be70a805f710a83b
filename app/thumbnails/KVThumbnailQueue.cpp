#include "app/thumbnails/KVThumbnailQueue.h"

#include <algorithm>
#include <cstdio>
#include <system_error>

KVThumbnailQueue::KVThumbnailQueue(std::atomic<int>& state) : state_(state) {}

KVThumbnailQueue::~KVThumbnailQueue() {
  {
    std::lock_guard<std::mutex> held(lock_);
    quitting_ = true;
    loads_.clear();
  }
  wake_.notify_all();
  if (thread_.joinable()) thread_.join();
}

bool KVThumbnailQueue::Add(Load load) {
  std::lock_guard<std::mutex> held(lock_);
  if (quitting_ || !load) return false;
  if (!thread_.joinable()) {
    try {
      thread_ = std::thread([this] { Run(); });
    } catch (const std::system_error& error) {
      std::fprintf(stderr, "thumbnail loader: no thread: %s\n", error.what());
      return false;
    }
  }
  loads_.push_back(std::move(load));
  state_ = kRunning;
  wake_.notify_one();
  return true;
}

void KVThumbnailQueue::Stop() {
  std::unique_lock<std::mutex> held(lock_);
  if (loads_.empty() && !running_) {
    // Nothing can answer any more: whatever the word says, the loader is over.
    if (state_.load() == kRunning || state_.load() == kStopAsked) state_ = kEnded;
    return;
  }
  state_ = kStopAsked;
  // Dropped here, on the stopping thread: a load's captures (thumbnails,
  // widgets' guards) go where they were made.
  std::deque<Load> dropped;
  dropped.swap(loads_);
  idle_.wait(held, [this] { return !running_; });
  state_ = kEnded;
  held.unlock();
}

std::pair<size_t, size_t> KVThumbnailQueue::CoverFlowWindow(size_t selected, size_t count) {
  if (count <= kCoverFlowAll) return {0, count};
  const size_t end = selected < count && count - selected > kCoverFlowReach ? selected + kCoverFlowReach : count;
  const size_t first = selected > kCoverFlowReach ? selected - kCoverFlowReach : 0;
  return {std::min(first, end), end};
}

size_t KVThumbnailQueue::Pending() const {
  std::lock_guard<std::mutex> held(lock_);
  return loads_.size();
}

bool KVThumbnailQueue::Busy() const {
  std::lock_guard<std::mutex> held(lock_);
  return running_;
}

void KVThumbnailQueue::Run() {
  std::unique_lock<std::mutex> held(lock_);
  for (;;) {
    wake_.wait(held, [this] { return quitting_ || !loads_.empty(); });
    if (quitting_) return;
    Load load = std::move(loads_.front());
    loads_.pop_front();
    running_ = true;
    held.unlock();
    load();
    // The load's captures go before the stop that waits for it returns.
    load = nullptr;
    held.lock();
    running_ = false;
    if (loads_.empty()) state_ = kEnded;
    idle_.notify_all();
  }
}
