#include "ui/widgets/KitModal.h"

#include <QEventLoop>
#include <QPointer>
#include <QWidget>

#include <vector>

namespace KitModal {
namespace {

struct Session {
  QEventLoop* loop;
  bool stopping;
};
// Main thread only, like every window.
std::vector<Session> g_sessions;

}  // namespace

int RunModal(QWidget* window) {
  QPointer<QWidget> guard = window;
  const Qt::WindowModality before = window->windowModality();
  window->setWindowModality(Qt::ApplicationModal);
  window->show();
  window->raise();
  window->activateWindow();
  QEventLoop loop;
  g_sessions.push_back({&loop, false});
  const int code = loop.exec(QEventLoop::DialogExec);
  g_sessions.pop_back();
  if (guard) guard->setWindowModality(before);
  return code;
}

void StopModal(int code) {
  // A session already told to stop is still on the stack until its loop
  // returns; the next request goes to the one outside it.
  for (auto it = g_sessions.rbegin(); it != g_sessions.rend(); ++it) {
    if (it->stopping) continue;
    it->stopping = true;
    it->loop->exit(code);
    return;
  }
}

int Depth() { return static_cast<int>(g_sessions.size()); }

}  // namespace KitModal
