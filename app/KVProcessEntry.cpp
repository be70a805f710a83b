#include "app/KVProcessEntry.h"

#include <QCoreApplication>
#include <QStringList>
#include <QTimer>

#include <cstdio>

#include "platform/KeepAwake.h"
#include "platform/Resources.h"
#include "platform/UserDefaults.h"

QTimer* timer = nullptr;

namespace {

constexpr int kKeepAwakeIntervalMs = 30000;

platform::KeepAwake* g_keepAwake = nullptr;

}  // namespace

void setCurLanguage(const char* language) {
  if (language == nullptr) return;
  std::printf("argv = %s\n", language);
  std::fflush(stdout);
  const QString text = QString::fromLocal8Bit(language);
  std::fprintf(stderr, "set lanague to = %s\n", text.toUtf8().constData());
  platform::UserDefaults& defaults = platform::UserDefaults::Standard();
  defaults.SetPreferredLanguages(QStringList{text});
  if (!defaults.Synchronize()) {
    std::fprintf(stderr, "cannot write the user defaults to %s\n", defaults.FilePath().toUtf8().constData());
  }
  platform::Resources::ReloadStrings();
}

void MyTimerCallback(QTimer* /*timer*/, void* info) {
  auto* keepAwake = static_cast<platform::KeepAwake*>(info);
  if (keepAwake == nullptr) return;
  // Acquire does nothing while an inhibitor is held or asked for; a bus that
  // was missing or a service that refused is tried again on the next tick.
  keepAwake->Acquire();
}

void PreventSleep() {
  if (timer != nullptr || QCoreApplication::instance() == nullptr) return;
  g_keepAwake = new platform::KeepAwake();
  timer = new QTimer();
  timer->setInterval(kKeepAwakeIntervalMs);
  timer->setTimerType(Qt::VeryCoarseTimer);
  platform::KeepAwake* keepAwake = g_keepAwake;
  QTimer* self = timer;
  QObject::connect(timer, &QTimer::timeout, timer, [self, keepAwake] { MyTimerCallback(self, keepAwake); });
  timer->start();
  MyTimerCallback(timer, g_keepAwake);  // the first firing is now
}

void ReleasePreventObj() {
  if (timer != nullptr) {
    timer->stop();
    delete timer;
    timer = nullptr;
  }
  if (g_keepAwake != nullptr) {
    g_keepAwake->Release();
    delete g_keepAwake;
    g_keepAwake = nullptr;
  }
}

platform::KeepAwake* PreventSleepObject() { return g_keepAwake; }
