// Worker threads, calls to the main thread and notifications between them.
#include "platform/NotificationCenter.h"

#include <gtest/gtest.h>

#include <QThread>

#include <atomic>
#include <map>
#include <memory>
#include <numeric>
#include <stdexcept>
#include <string>
#include <vector>

#include <sys/syscall.h>
#include <unistd.h>

#include "QtTestSupport.h"
#include "platform/MainThread.h"
#include "platform/WorkerThread.h"
#include "support/ScratchWorkDir.h"  // the log of the exception test
#include "support/TestSupport.h"

namespace {

using platform::Notification;
using platform::NotificationCenter;
using platform::WorkerThread;

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
  EXPECT_FALSE(worker.Start([] {})) << "one thread per object";
  worker.Join();
  worker.Join();
  EXPECT_GE(reported, static_cast<size_t>(sysconf(_SC_THREAD_STACK_MIN))) << "tiny stacks are raised";
  EXPECT_FALSE(worker.Start(nullptr));
  ASSERT_TRUE(worker.Start([] { throw std::runtime_error("scan failed"); }, platform::kOperationStackSize, "thrower"));
}  // the destructor joins; an exception ends only its thread

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

class NotificationCenterTest : public ::testing::Test {
 protected:
  void SetUp() override { qttest::App(); }
  NotificationCenter center;  // a fresh centre per test
};

TEST_F(NotificationCenterTest, PostsFromWorkersArriveOnTheMainThreadOnceAndInOrder) {
  constexpr int kThreads = 8, kPosts = 500;
  std::map<int, std::vector<int>> received;
  int total = 0;
  bool offMain = false;
  center.AddObserver("progress", nullptr, [&](const Notification& n) {
    const QVariantList pair = n.object.toList();
    received[pair[0].toInt()].push_back(pair[1].toInt());
    offMain = offMain || !platform::IsMainThread();
    ++total;
  });
  WorkerThread one;
  ASSERT_TRUE(one.Start([&] { center.Post("progress", QVariantList{kThreads, 42}); }));
  one.Join();
  EXPECT_EQ(total, 0) << "nothing runs until the main thread takes its events";
  std::vector<std::unique_ptr<WorkerThread>> workers;
  for (int t = 0; t < kThreads; ++t) {
    workers.push_back(std::make_unique<WorkerThread>());
    ASSERT_TRUE(workers.back()->Start([&center = center, t] {
      for (int i = 0; i < kPosts; ++i) center.PostOnMainThread("progress", QVariantList{t, i});
    }));
  }
  ASSERT_TRUE(qttest::PumpUntil([&] { return total == kThreads * kPosts + 1; }));
  for (auto& w : workers) w->Join();
  qttest::PumpPending();
  EXPECT_EQ(total, kThreads * kPosts + 1);
  EXPECT_FALSE(offMain);
  EXPECT_EQ(received[kThreads], std::vector<int>{42});
  std::vector<int> inOrder(kPosts);
  std::iota(inOrder.begin(), inOrder.end(), 0);
  for (int t = 0; t < kThreads; ++t) EXPECT_EQ(received[t], inOrder) << "thread " << t;

  int direct = 0;
  center.AddObserver("aInitFinished", nullptr, [&](const Notification&) { ++direct; });
  EXPECT_TRUE(center.Post("aInitFinished"));
  EXPECT_EQ(direct, 1) << "a post on the main thread is delivered at once";
  EXPECT_TRUE(center.PostOnMainThread("aInitFinished"));
  EXPECT_EQ(direct, 1) << "queued, even from the main thread";
  ASSERT_TRUE(qttest::PumpUntil([&] { return direct == 2; }));
}

TEST_F(NotificationCenterTest, ObserversGoByNameIdOwnerAndDuringDelivery) {
  std::vector<QString> all;
  std::map<std::string, int> calls;
  auto count = [&](const char* what) { return [&calls, what](const Notification&) { ++calls[what]; }; };
  QObject owner;
  auto gone = std::make_unique<QObject>();
  center.AddObserver(QString(), nullptr, [&](const Notification& n) { all.push_back(n.name); });
  const auto id = center.AddObserver("n", nullptr, count("byId"));
  center.AddObserver("n", &owner, count("byOwner"));
  center.AddObserver("m", &owner, count("byOwnerOtherName"));
  center.AddObserver("n", gone.get(), count("destroyedOwner"));
  center.AddObserver("n", nullptr, count("kept"));
  EXPECT_EQ(center.ObserverCount("n"), 5);
  center.RemoveObserver(id);
  center.RemoveObserver(&owner, "n");
  gone.reset();
  center.Post("n");
  center.Post("m");
  EXPECT_EQ(calls, (std::map<std::string, int>{{"byOwnerOtherName", 1}, {"kept", 1}}));
  EXPECT_EQ(all, (std::vector<QString>{"n", "m"}));
  center.RemoveObserver(&owner);
  center.Post("m");
  EXPECT_EQ(calls["byOwnerOtherName"], 1);

  platform::ObserverId secondId = 0;
  center.AddObserver("d", nullptr, [&](const Notification&) {
    center.RemoveObserver(secondId);
    center.AddObserver("d", nullptr, count("added"));
  });
  secondId = center.AddObserver("d", nullptr, count("second"));
  center.Post("d");
  EXPECT_EQ(calls["second"], 0);
  EXPECT_EQ(calls["added"], 0) << "added during the delivery: from the next post on";
  center.Post("d");
  EXPECT_EQ(calls["added"], 1);
}

TEST_F(NotificationCenterTest, RemovingFromAWorkerWhileTheMainThreadDeliversIsSafe) {
  std::atomic<int> calls{0};
  std::vector<platform::ObserverId> ids;
  for (int i = 0; i < 200; ++i) ids.push_back(center.AddObserver("n", nullptr, [&](const Notification&) { ++calls; }));
  WorkerThread remover;
  std::atomic<bool> go{false};
  ASSERT_TRUE(remover.Start([&] {
    while (!go) QThread::yieldCurrentThread();
    for (auto id : ids) center.RemoveObserver(id);
  }));
  go = true;
  for (int i = 0; i < 50; ++i) center.Post("n");
  remover.Join();
  const int before = calls;
  center.Post("n");
  EXPECT_EQ(calls, before);
}

TEST(MainThreadCalls, AWaitingCallRunsOnTheMainThreadBeforeItReturns) {
  qttest::App();
  std::atomic<bool> ranOnMain{false}, workerDone{false};
  WorkerThread worker;
  ASSERT_TRUE(worker.Start([&] {
    platform::RunOnMainThreadAndWait([&] { ranOnMain = platform::IsMainThread(); });
    workerDone = ranOnMain.load();  // the call has finished by now
  }));
  ASSERT_TRUE(qttest::PumpUntil([&] { return workerDone.load(); }));
  worker.Join();
  bool direct = false;
  EXPECT_TRUE(platform::RunOnMainThreadAndWait([&] { direct = true; }));
  EXPECT_TRUE(direct);
}

}  // namespace
