#include "platform/WorkerThread.h"

#include <climits>
#include <exception>
#include <memory>
#include <string>

#include <unistd.h>

#include "base/CatchExeception.h"

namespace platform {

namespace {

struct Start {
  std::function<void()> body;
  std::string name;
};

void* Trampoline(void* arg) {
  std::unique_ptr<Start> start(static_cast<Start*>(arg));
  if (!start->name.empty()) pthread_setname_np(pthread_self(), start->name.c_str());
  try {
    start->body();
  } catch (const std::exception& e) {
    CatchExeception::WriteLog("thread %s ended by an exception: %s\n", start->name.c_str(), e.what());
  } catch (...) {
    CatchExeception::WriteLog("thread %s ended by an exception\n", start->name.c_str());
  }
  return nullptr;
}

bool Spawn(pthread_t* thread, std::function<void()> body, size_t stackBytes, const char* name, bool detached) {
  if (!body) return false;
  pthread_attr_t attr;
  if (pthread_attr_init(&attr) != 0) return false;
  size_t size = stackBytes;
  const long minimum = sysconf(_SC_THREAD_STACK_MIN);
  if (minimum > 0 && size < static_cast<size_t>(minimum)) size = static_cast<size_t>(minimum);
  const long page = sysconf(_SC_PAGESIZE);
  if (page > 0) size = (size + static_cast<size_t>(page) - 1) / static_cast<size_t>(page) * static_cast<size_t>(page);
  bool ok = pthread_attr_setstacksize(&attr, size) == 0;
  if (ok && detached) ok = pthread_attr_setdetachstate(&attr, PTHREAD_CREATE_DETACHED) == 0;
  auto* start = new Start{std::move(body), name != nullptr ? std::string(name).substr(0, 15) : std::string()};
  if (ok) ok = pthread_create(thread, &attr, Trampoline, start) == 0;
  if (!ok) delete start;
  pthread_attr_destroy(&attr);
  return ok;
}

}  // namespace

bool StartDetachedThread(std::function<void()> body, size_t stackBytes, const char* name) {
  pthread_t thread;
  return Spawn(&thread, std::move(body), stackBytes, name, true);
}

size_t CurrentThreadStackSize() {
  pthread_attr_t attr;
  if (pthread_getattr_np(pthread_self(), &attr) != 0) return 0;
  size_t size = 0;
  pthread_attr_getstacksize(&attr, &size);
  pthread_attr_destroy(&attr);
  return size;
}

WorkerThread::~WorkerThread() { Join(); }

bool WorkerThread::Start(std::function<void()> body, size_t stackBytes, const char* name) {
  if (started_) return false;
  started_ = Spawn(&thread_, std::move(body), stackBytes, name, false);
  return started_;
}

void WorkerThread::Join() {
  if (!started_) return;
  pthread_join(thread_, nullptr);
  started_ = false;
}

}  // namespace platform
