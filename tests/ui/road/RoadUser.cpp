#include "RoadUser.h"

#include <QApplication>
#include <QDir>
#include <QImage>
#include <QMetaObject>
#include <QTest>
#include <QWidget>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>

#include "RoadScreen.h"

namespace {

void Say(const std::string& line) {
  std::printf("road: %s\n", line.c_str());
  std::fflush(stdout);
}

}  // namespace

RoadUser::RoadUser(QString shots, QString prefix) : shots_(std::move(shots)), prefix_(std::move(prefix)) {
  QDir().mkpath(shots_);
}

void RoadUser::Start(std::function<void(RoadUser&)> walk) {
  if (thread_) return;
  thread_ = std::make_unique<std::thread>([this, walk = std::move(walk)] {
    walk(*this);
    // The walk ends the application itself (a quit ends the process); this
    // thread only waits for that.
    for (;;) std::this_thread::sleep_for(std::chrono::seconds(1));
  });
  thread_->detach();
}

void RoadUser::OnMainThread(const std::function<void()>& look) {
  QMetaObject::invokeMethod(qApp, look, Qt::BlockingQueuedConnection);
}

void RoadUser::Do(const std::function<void()>& act) {
  auto begun = std::make_shared<std::atomic<bool>>(false);
  QMetaObject::invokeMethod(
      qApp,
      [act, begun] {
        begun->store(true);
        act();
      },
      Qt::QueuedConnection);
  while (!begun->load()) std::this_thread::sleep_for(std::chrono::milliseconds(5));
  // The events the act posted (a repaint, a delayed open) are handled before
  // the user looks again.
  See([] { QApplication::processEvents(); });
}

void RoadUser::Click(const std::function<QWidget*()>& widget, std::function<QPoint()> at) {
  Do([widget, at] {
    QWidget* target = widget();
    if (target == nullptr) return;
    QTest::mouseClick(target, Qt::LeftButton, {}, at ? at() : target->rect().center());
  });
}

void RoadUser::DoubleClick(const std::function<QWidget*()>& widget, std::function<QPoint()> at) {
  Do([widget, at] {
    QWidget* target = widget();
    if (target == nullptr) return;
    QTest::mouseDClick(target, Qt::LeftButton, {}, at());
  });
}

void RoadUser::Type(const std::function<QWidget*()>& widget, const QString& text) {
  for (const QChar letter : text) {
    Do([widget, letter] {
      if (QWidget* target = widget()) QTest::keyClicks(target, QString(letter));
    });
    Pause(40);
  }
}

void RoadUser::Key(const std::function<QWidget*()>& widget, Qt::Key key) {
  Do([widget, key] {
    if (QWidget* target = widget()) QTest::keyClick(target, key);
  });
}

void RoadUser::Until(const std::string& what, const std::function<bool()>& seen, int seconds) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
  while (!See<bool>(seen)) {
    if (std::chrono::steady_clock::now() > deadline) Fail("waited " + std::to_string(seconds) + " s for " + what);
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
}

void RoadUser::Pause(int ms) { std::this_thread::sleep_for(std::chrono::milliseconds(ms)); }

void RoadUser::Step(const std::string& name) {
  step_ = name;
  Say("step: " + name);
}

void RoadUser::Shot(const QString& name) {
  // What the last act changed is painted (and on a real screen, shown).
  Pause(250);
  const QString file = QDir(shots_).filePath(
      QStringLiteral("%1-%2-%3.png").arg(prefix_).arg(++shotCount_, 2, 10, QLatin1Char('0')).arg(name));
  const bool saved = See<bool>([&] { return ScreenAsSeen().save(file); });
  if (!saved) Saw("cannot write " + file.toStdString());
  Say("shot: " + file.toStdString());
}

void RoadUser::Saw(const std::string& fault) {
  ++faults_;
  Say("FAULT (" + step_ + "): " + fault);
}

void RoadUser::Fail(const std::string& why) {
  Say("FAILED (" + step_ + "): " + why);
  const QString file = QDir(shots_).filePath(prefix_ + QStringLiteral("-failed.png"));
  QMetaObject::invokeMethod(
      qApp, [file] { ScreenAsSeen().save(file); }, Qt::BlockingQueuedConnection);
  Say("shot: " + file.toStdString());
  std::_Exit(1);
}
