#include "platform/NotificationCenter.h"

#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QObject>
#include <QThread>

#include <atomic>
#include <map>
#include <memory>
#include <vector>

#include "QtTestSupport.h"
#include "platform/MainThread.h"
#include "platform/WorkerThread.h"

namespace {

using platform::Notification;
using platform::NotificationCenter;

class NotificationCenterTest : public ::testing::Test {
 protected:
  void SetUp() override { qttest::App(); }
  NotificationCenter center;  // a fresh centre per test
};

TEST_F(NotificationCenterTest, APostFromAWorkerReachesTheMainThreadExactlyOnce) {
  int calls = 0;
  bool onMain = false;
  QVariant seen;
  center.AddObserver("NormalScranValue", nullptr, [&](const Notification& n) {
    ++calls;
    onMain = QThread::currentThread() == QCoreApplication::instance()->thread();
    seen = n.object;
  });
  platform::WorkerThread worker;
  ASSERT_TRUE(worker.Start([&] { center.Post("NormalScranValue", 42); }));
  worker.Join();
  EXPECT_EQ(calls, 0);  // nothing runs until the main thread takes its events
  ASSERT_TRUE(qttest::PumpUntil([&] { return calls > 0; }));
  qttest::PumpPending();
  EXPECT_EQ(calls, 1);
  EXPECT_TRUE(onMain);
  EXPECT_EQ(seen.toInt(), 42);
}

TEST_F(NotificationCenterTest, APostOnTheMainThreadIsDeliveredAtOnce) {
  int calls = 0;
  center.AddObserver("aInitFinished", nullptr, [&](const Notification&) { ++calls; });
  EXPECT_TRUE(center.Post("aInitFinished"));
  EXPECT_EQ(calls, 1);
  EXPECT_TRUE(center.PostOnMainThread("aInitFinished"));
  EXPECT_EQ(calls, 1);  // queued, even from the main thread
  ASSERT_TRUE(qttest::PumpUntil([&] { return calls == 2; }));
  qttest::PumpPending();
  EXPECT_EQ(calls, 2);
}

TEST_F(NotificationCenterTest, ObserversSeeOnlyTheirNameAndEmptyNamesSeeAll) {
  std::vector<QString> named, all;
  center.AddObserver("DoRecovery", nullptr, [&](const Notification& n) { named.push_back(n.name); });
  center.AddObserver(QString(), nullptr, [&](const Notification& n) { all.push_back(n.name); });
  center.Post("DoRecovery");
  center.Post("DoSearchValue");
  EXPECT_EQ(named, std::vector<QString>{"DoRecovery"});
  EXPECT_EQ(all, (std::vector<QString>{"DoRecovery", "DoSearchValue"}));
  EXPECT_EQ(center.ObserverCount("DoRecovery"), 2);
  EXPECT_EQ(center.ObserverCount("Other"), 1);
}

TEST_F(NotificationCenterTest, TheObjectArrivesAsPosted) {
  QVariantMap got;
  center.AddObserver("RefreshDetachDevice", nullptr, [&](const Notification& n) { got = n.object.toMap(); });
  center.Post("RefreshDetachDevice", QVariantMap{{"USBPath", "sdb"}});
  EXPECT_EQ(got.value("USBPath").toString(), "sdb");
}

TEST_F(NotificationCenterTest, ObserversGoAwayByIdByOwnerAndWithTheirOwner) {
  int byId = 0, byOwner = 0, byOwnerAndName = 0, destroyed = 0, kept = 0;
  QObject owner;
  auto gone = std::make_unique<QObject>();
  const auto id = center.AddObserver("n", nullptr, [&](const Notification&) { ++byId; });
  center.AddObserver("n", &owner, [&](const Notification&) { ++byOwner; });
  center.AddObserver("m", &owner, [&](const Notification&) { ++byOwnerAndName; });
  center.AddObserver("n", gone.get(), [&](const Notification&) { ++destroyed; });
  center.AddObserver("n", nullptr, [&](const Notification&) { ++kept; });
  center.RemoveObserver(id);
  center.RemoveObserver(&owner, "n");
  gone.reset();
  center.Post("n");
  center.Post("m");
  EXPECT_EQ(byId, 0);
  EXPECT_EQ(byOwner, 0);
  EXPECT_EQ(byOwnerAndName, 1);
  EXPECT_EQ(destroyed, 0);
  EXPECT_EQ(kept, 1);
  center.RemoveObserver(&owner);
  center.Post("m");
  EXPECT_EQ(byOwnerAndName, 1);
}

TEST_F(NotificationCenterTest, AnObserverRemovedDuringDeliveryIsNotCalled) {
  int second = 0, added = 0;
  platform::ObserverId secondId = 0;
  center.AddObserver("n", nullptr, [&](const Notification&) {
    center.RemoveObserver(secondId);
    center.AddObserver("n", nullptr, [&](const Notification&) { ++added; });
  });
  secondId = center.AddObserver("n", nullptr, [&](const Notification&) { ++second; });
  center.Post("n");
  EXPECT_EQ(second, 0);
  EXPECT_EQ(added, 0);  // added during the delivery: from the next post on
  center.Post("n");
  EXPECT_EQ(added, 1);
}

TEST_F(NotificationCenterTest, ManyThreadsPostingLoseAndDuplicateNothing) {
  constexpr int kThreads = 8;
  constexpr int kPosts = 500;
  std::map<int, std::vector<int>> received;
  int total = 0;
  center.AddObserver("progress", nullptr, [&](const Notification& n) {
    const QVariantList pair = n.object.toList();
    received[pair[0].toInt()].push_back(pair[1].toInt());
    ++total;
  });
  std::vector<std::unique_ptr<platform::WorkerThread>> workers;
  for (int t = 0; t < kThreads; ++t) {
    workers.push_back(std::make_unique<platform::WorkerThread>());
    ASSERT_TRUE(workers.back()->Start([&center = center, t] {
      for (int i = 0; i < kPosts; ++i) center.PostOnMainThread("progress", QVariantList{t, i});
    }));
  }
  ASSERT_TRUE(qttest::PumpUntil([&] { return total == kThreads * kPosts; }));
  for (auto& w : workers) w->Join();
  qttest::PumpPending();
  EXPECT_EQ(total, kThreads * kPosts);
  for (int t = 0; t < kThreads; ++t) {
    ASSERT_EQ(received[t].size(), static_cast<size_t>(kPosts));
    for (int i = 0; i < kPosts; ++i) EXPECT_EQ(received[t][i], i);  // each thread's posts in order
  }
}

TEST_F(NotificationCenterTest, RemovingFromAWorkerWhileTheMainThreadDeliversIsSafe) {
  std::atomic<int> calls{0};
  std::vector<platform::ObserverId> ids;
  for (int i = 0; i < 200; ++i) ids.push_back(center.AddObserver("n", nullptr, [&](const Notification&) { ++calls; }));
  platform::WorkerThread remover;
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
  EXPECT_LE(before, 200 * 50);
}

TEST_F(NotificationCenterTest, TheDefaultCenterIsOneObject) {
  EXPECT_EQ(&NotificationCenter::DefaultCenter(), &NotificationCenter::DefaultCenter());
}

TEST(MainThreadCalls, RunOnMainThreadAndWaitRunsThereAndReturnsAfter) {
  qttest::App();
  std::atomic<bool> ran{false}, onMain{false}, workerDone{false};
  platform::WorkerThread worker;
  ASSERT_TRUE(worker.Start([&] {
    platform::RunOnMainThreadAndWait([&] {
      onMain = platform::IsMainThread();
      ran = true;
    });
    workerDone = ran.load();  // the call has finished by now
  }));
  ASSERT_TRUE(qttest::PumpUntil([&] { return workerDone.load(); }));
  worker.Join();
  EXPECT_TRUE(onMain);
  EXPECT_TRUE(platform::IsMainThread());
  bool direct = false;
  EXPECT_TRUE(platform::RunOnMainThreadAndWait([&] { direct = true; }));
  EXPECT_TRUE(direct);
}

TEST(MainThreadCalls, BackgroundWorkThenAContinuationOnTheMainThread) {
  qttest::App();
  std::atomic<bool> workOnMain{true};
  bool thenOnMain = false, done = false;
  platform::RunInBackground([&] { workOnMain = platform::IsMainThread(); },
                            [&] {
                              thenOnMain = platform::IsMainThread();
                              done = true;
                            });
  ASSERT_TRUE(qttest::PumpUntil([&] { return done; }));
  EXPECT_FALSE(workOnMain);
  EXPECT_TRUE(thenOnMain);
}

}  // namespace
