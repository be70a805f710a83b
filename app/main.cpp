// The process entry: the interface language from the command line, the
// keep-awake timer, then the application's event loop.
#include <QCoreApplication>
#include <QTimer>

#include <cstdio>

#include "app/KVAppDelegate.h"
#include "app/KVProcessEntry.h"
#include "base/CatchExeception.h"

namespace {

// Runs the start-up sequence and the event loop until the application quits.
// The windows are not built yet: opening the first one says so and ends the
// loop.
int RunApplication(QCoreApplication& app) {
  KVAppDelegate::Hooks hooks;
  hooks.showRootWindow = [] {
    std::printf("Clipmender: the windows are not built yet; only the recovery engine and the platform layer exist.\n");
    std::fflush(stdout);
    QCoreApplication::exit(0);
  };
  hooks.showUpdateWindow = [] {
    std::printf("Clipmender: a newer version is available.\n");
    std::fflush(stdout);
    QCoreApplication::exit(0);
  };
  KVAppDelegate delegate(std::move(hooks));
  QTimer::singleShot(0, &app, [&delegate] { delegate.applicationDidFinishLaunching(); });
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
  // Without the rights to read disks the device list would just be empty;
  // say why instead, and how to start with them.
  const QString problem = DiskAccessProblem();
  if (!problem.isEmpty()) {
    std::fprintf(stderr, "%s\n", problem.toLocal8Bit().constData());
    return 1;
  }
  PreventSleep();
  const int status = RunApplication(app);
  ReleasePreventObj();
  return status;
}
