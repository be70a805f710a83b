// The process entry: the interface language from the command line, the
// keep-awake timer, then the application's event loop.
#include <QCoreApplication>
#include <QTimer>

#include <cstdio>

#include "app/KVProcessEntry.h"
#include "base/CatchExeception.h"

namespace {

// Opens the first window and runs the event loop until the application quits.
// The windows are not built yet: the entry says so and ends the loop at once.
int RunApplication(QCoreApplication& app) {
  QTimer::singleShot(0, &app, [] {
    std::printf("Clipmender: the windows are not built yet; only the recovery engine and the platform layer exist.\n");
    std::fflush(stdout);
    QCoreApplication::exit(0);
  });
  return app.exec();
}

}  // namespace

int main(int argc, char** argv) {
  // The process object raises the core-file and open-file limits before any
  // device is opened, and logs the start now and the end at exit.
  CatchExeception::Instance();
  CatchExeception::Install();
  if (argc > 1) setCurLanguage(argv[1]);
  QCoreApplication app(argc, argv);
  QCoreApplication::setApplicationName(QStringLiteral("Clipmender"));
  PreventSleep();
  const int status = RunApplication(app);
  ReleasePreventObj();
  return status;
}
