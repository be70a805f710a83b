#include "platform/WorkerThread.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <stdexcept>
#include <string>

#include <pthread.h>
#include <sys/syscall.h>
#include <unistd.h>

#include "support/TestSupport.h"

namespace {

using platform::WorkerThread;

// The log of an exception test goes to a scratch working folder.
const bool kWorkDirSet = [] {
  static testsupport::TempDir work;
  setenv("CLIPMENDER_WORK_DIR", work.path().c_str(), 1);
  return true;
}();

struct StackView {
  size_t reported = 0;
  bool localInside = false;
};

StackView LookAtOwnStack() {
  StackView view;
  view.reported = platform::CurrentThreadStackSize();
  pthread_attr_t attr;
  if (pthread_getattr_np(pthread_self(), &attr) == 0) {
    void* base = nullptr;
    size_t size = 0;
    pthread_attr_getstack(&attr, &base, &size);
    int local = 0;
    const auto at = reinterpret_cast<uintptr_t>(&local);
    view.localInside = at >= reinterpret_cast<uintptr_t>(base) && at < reinterpret_cast<uintptr_t>(base) + size;
    pthread_attr_destroy(&attr);
  }
  return view;
}

TEST(WorkerThread, AnOperationWorkerHasATwoMebibyteStack) {
  StackView view;
  WorkerThread worker;
  ASSERT_TRUE(worker.Start([&] { view = LookAtOwnStack(); }));
  worker.Join();
  EXPECT_EQ(view.reported, 0x200000u);
  EXPECT_TRUE(view.localInside);
}

// Uses about `bytes` of stack in 1 KiB frames.
int Recurse(size_t bytes) {
  volatile char frame[1024];
  frame[0] = static_cast<char>(bytes & 0xFF);
  if (bytes <= sizeof frame) return frame[0];
  return Recurse(bytes - sizeof frame) + frame[0];
}

TEST(WorkerThread, TheStackHoldsNearlyTwoMebibytesOfFrames) {
  std::atomic<bool> done{false};
  WorkerThread worker;
  ASSERT_TRUE(worker.Start([&] {
    Recurse(1536 * 1024);
    done = true;
  }));
  worker.Join();
  EXPECT_TRUE(done);
}

TEST(WorkerThread, ADetachedThreadGetsTheStackAndTheName) {
  std::atomic<bool> done{false};
  std::atomic<size_t> size{0};
  std::string name;
  ASSERT_TRUE(platform::StartDetachedThread(
      [&] {
        size = platform::CurrentThreadStackSize();
        const std::string comm = "/proc/self/task/" + std::to_string(syscall(SYS_gettid)) + "/comm";
        std::vector<uint8_t> text = testsupport::ReadFile(comm);
        name.assign(text.begin(), text.end());
        done = true;
      },
      platform::kOperationStackSize, "scan-worker-with-a-long-name"));
  while (!done) usleep(1000);
  EXPECT_EQ(size.load(), 0x200000u);
  EXPECT_EQ(name, "scan-worker-wit\n");  // cut to the kernel's 15 bytes
}

TEST(WorkerThread, TinyStacksAreRaisedToTheSystemMinimum) {
  size_t size = 0;
  WorkerThread worker;
  ASSERT_TRUE(worker.Start([&] { size = platform::CurrentThreadStackSize(); }, 1));
  worker.Join();
  EXPECT_GE(size, static_cast<size_t>(sysconf(_SC_THREAD_STACK_MIN)));
}

TEST(WorkerThread, OneThreadPerObjectAndJoinIsSafeToRepeat) {
  std::atomic<bool> release{false};
  WorkerThread worker;
  ASSERT_TRUE(worker.Start([&] {
    while (!release) usleep(100);
  }));
  EXPECT_TRUE(worker.Joinable());
  EXPECT_FALSE(worker.Start([] {}));
  release = true;
  worker.Join();
  worker.Join();
  EXPECT_FALSE(worker.Joinable());
  EXPECT_FALSE(worker.Start(nullptr));
  EXPECT_TRUE(worker.Start([] {}));
}  // the destructor joins the last one

TEST(WorkerThread, AnExceptionEndsOnlyItsThread) {
  WorkerThread worker;
  ASSERT_TRUE(worker.Start([] { throw std::runtime_error("scan failed"); }, platform::kOperationStackSize, "thrower"));
  worker.Join();
  SUCCEED();  // the process is still here
}

}  // namespace
