#include "platform/WorkerThread.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <stdexcept>
#include <string>

#include <sys/syscall.h>
#include <unistd.h>

#include "support/TestSupport.h"

namespace {

using platform::WorkerThread;

// The log of the exception test goes to a scratch working folder.
const bool kWorkDirSet = [] {
  static testsupport::TempDir work;
  setenv("CLIPMENDER_WORK_DIR", work.path().c_str(), 1);
  return true;
}();

// Uses about `bytes` of stack in 1 KiB frames.
int Recurse(size_t bytes) {
  volatile char frame[1024];
  frame[0] = static_cast<char>(bytes & 0xFF);
  if (bytes <= sizeof frame) return frame[0];
  return Recurse(bytes - sizeof frame) + frame[0];
}

TEST(WorkerThread, AnOperationWorkerRunsOnATwoMebibyteStack) {
  size_t reported = 0;
  bool localInside = false;
  WorkerThread worker;
  ASSERT_TRUE(worker.Start([&] {
    reported = platform::CurrentThreadStackSize();
    pthread_attr_t attr;
    void* base = nullptr;
    size_t size = 0;
    ASSERT_EQ(pthread_getattr_np(pthread_self(), &attr), 0);
    pthread_attr_getstack(&attr, &base, &size);
    pthread_attr_destroy(&attr);
    int local = 0;
    const auto at = reinterpret_cast<uintptr_t>(&local), low = reinterpret_cast<uintptr_t>(base);
    localInside = at >= low && at < low + size;
    Recurse(1536 * 1024);  // nearly all of it holds frames
  }));
  worker.Join();
  EXPECT_EQ(reported, 0x200000u);
  EXPECT_TRUE(localInside);

  ASSERT_TRUE(worker.Start([&] { reported = platform::CurrentThreadStackSize(); }, 1));
  worker.Join();
  EXPECT_GE(reported, static_cast<size_t>(sysconf(_SC_THREAD_STACK_MIN))) << "tiny stacks are raised";
}

TEST(WorkerThread, ADetachedThreadGetsTheStackAndTheKernelName) {
  std::atomic<bool> done{false};
  std::atomic<size_t> size{0};
  std::string name;
  ASSERT_TRUE(platform::StartDetachedThread(
      [&] {
        size = platform::CurrentThreadStackSize();
        const auto text = testsupport::ReadFile("/proc/self/task/" + std::to_string(syscall(SYS_gettid)) + "/comm");
        name.assign(text.begin(), text.end());
        done = true;
      },
      platform::kOperationStackSize, "scan-worker-with-a-long-name"));
  while (!done) usleep(1000);
  EXPECT_EQ(size.load(), 0x200000u);
  EXPECT_EQ(name, "scan-worker-wit\n");
}

TEST(WorkerThread, OneThreadPerObjectAndAnExceptionEndsOnlyItsThread) {
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
  ASSERT_TRUE(worker.Start([] { throw std::runtime_error("scan failed"); }, platform::kOperationStackSize, "thrower"));
}  // the destructor joins; the process is still here

}  // namespace
