// The program's start-up: the interface language from the command line, the
// keep-awake timer, the application object with the kit's fixed look, then
// the application delegate's start-up sequence and the event loop. The
// program's main() is this and nothing else; tests that start the
// application as the program starts it call it too, watching its windows.
#include "ui/app/KVApplicationMain.h"

#include <QApplication>
#include <QPointer>
#include <QSocketNotifier>
#include <QTimer>

#include <sys/socket.h>
#include <unistd.h>

#include <csignal>
#include <cstdio>
#include <memory>
#include <utility>

#include "app/KVAppDelegate.h"
#include "app/KVDiskAccess.h"
#include "app/KVNode.h"
#include "app/KVProcessEntry.h"
#include "app/KVQuitGuard.h"
#include "app/KVUIController.h"
#include "base/CatchExeception.h"
#include "ui/widgets/KitStyle.h"
#include "ui/widgets/MyNSApplication.h"
#include "ui/windows/KVAboutWindowController.h"
#include "ui/windows/KVAlert.h"
#include "ui/windows/KVCheckUpdateWindowController.h"
#include "ui/windows/KVDeletailWindowController.h"
#include "ui/windows/KVKitServices.h"
#include "ui/windows/KVMainMenu.h"
#include "ui/windows/KVRootWindowController.h"
#include "ui/windows/KVSmallWindow.h"
#include "ui/windows/KVUrlOpener.h"

namespace {

// Whether Qt has somewhere to show windows. Without it, creating the
// application object would abort the process with a bare platform error.
bool HaveDisplay() {
  return !qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM") || !qEnvironmentVariableIsEmpty("DISPLAY") ||
         !qEnvironmentVariableIsEmpty("WAYLAND_DISPLAY");
}

// Brings the application's first window forward after a modal window.
void Activate(QWidget* window) {
  if (window == nullptr) return;
  window->raise();
  window->activateWindow();
}

// The results window for the wizard's hand-overs, below the wizard. The one
// that follows a load stays hidden until the load has ended well.
KVResultsWindowHooks ResultsWindowHooks(const KVApplicationWatch& watch) {
  auto loading = std::make_shared<QPointer<KVDeletailWindowController>>();
  const auto under = [](const QRect& wizardFrame) {
    return KVRootWindowController::ResultsWindowFrame(wizardFrame, KVDeletailWindowController::kInitialSize).topLeft();
  };
  KVResultsWindowHooks hooks;
  hooks.openForScan = [under, watch](std::shared_ptr<DiskVolumeNodeData> row, const QRect& wizardFrame) {
    KVDeletailWindowController* results = KVDeletailWindowController::OpenForScan(*row, under(wizardFrame));
    if (watch.resultsWindowOpened) watch.resultsWindowOpened(results);
    Activate(results->window());
  };
  hooks.openForImport = [loading, under, watch](const QString& path, const QRect& wizardFrame) {
    delete loading->data();
    *loading = KVDeletailWindowController::OpenForImport(path, under(wizardFrame), false);
    if (watch.resultsWindowOpened) watch.resultsWindowOpened(loading->data());
  };
  hooks.showImported = [loading] {
    if (*loading) (*loading)->showWindow();
  };
  hooks.discardImport = [loading] {
    if (!*loading) return;
    (*loading)->clearImportData();
    delete loading->data();
  };
  return hooks;
}

// The windows the delegate opens, and the update window it keeps.
class DelegateWindows : public KVCheckUpdateWindowControllerDelegate {
 public:
  DelegateWindows(KVAppDelegate** delegate, KVApplicationWatch watch) : delegate_(delegate), watch_(std::move(watch)) {}

  void runRootWindow() override { (*delegate_)->runRootWindow(); }

  // The wizard, with the application menu in its title bar; a new one when
  // the results window goes back to it.
  void ShowRoot(bool again = false) {
    root_ = std::make_unique<KVRootWindowController>();
    if (again) root_->setIsNotFristLoad(1);
    new KVMainMenu(*delegate_, root_->window());
    root_->SetResultsWindowHooks(ResultsWindowHooks(watch_));
    KVDeletailWindowController::SetRootWindowOpener([this] { ShowRoot(true); });
    root_->showWindow();
    std::printf("Clipmender: the wizard window is shown.\n");
    std::fflush(stdout);
    if (watch_.rootWindowShown) watch_.rootWindowShown(root_.get());
  }

  // The update window: made on first need and kept; every showing checks
  // again. The one the start-up check opens stays above other windows and
  // goes on to the root window however it is closed.
  void ShowUpdate(bool fromStartUp) {
    if (!update_) {
      update_ = std::make_unique<KVCheckUpdateWindowController>();
    } else {
      update_->getVersionChange();
    }
    if (fromStartUp) update_->setDelegate(this);
    KVSmallWindow* window = update_->window();
    window->setWindowFlag(Qt::WindowStaysOnTopHint, fromStartUp);
    window->center();
    window->runModal();
    Activate(RootWindow());
  }

  void ShowAbout() {
    KVAboutWindowController about;
    about.window()->center();
    about.window()->runModal();
    Activate(RootWindow());
  }

  void HideAll() {
    for (QWidget* each : QApplication::topLevelWidgets()) {
      if (each->isWindow() && each->isVisible()) each->hide();
    }
  }

 private:
  QWidget* RootWindow() const { return root_ ? root_->window() : nullptr; }

  KVAppDelegate** delegate_;
  KVApplicationWatch watch_;
  std::unique_ptr<KVCheckUpdateWindowController> update_;
  std::unique_ptr<KVRootWindowController> root_;
};

// A session that ends (logout, shutdown) or a plain kill sends SIGTERM,
// SIGINT or SIGHUP: the application ends as after a confirmed quit, with its
// log closed. The handler only wakes the event loop, which does the rest.
int g_termination[2] = {-1, -1};

void OnTerminationSignal(int) {
  const char byte = 1;
  [[maybe_unused]] const ssize_t written = ::write(g_termination[0], &byte, 1);
}

void EndOnTerminationSignals(KVAppDelegate* delegate) {
  if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0, g_termination) != 0) return;
  auto* notifier = new QSocketNotifier(g_termination[1], QSocketNotifier::Read, qApp);
  QObject::connect(notifier, &QSocketNotifier::activated, qApp, [delegate] {
    char byte = 0;
    while (::read(g_termination[1], &byte, 1) > 0) {
    }
    delegate->applicationWillTerminate();
  });
  struct sigaction action {};
  action.sa_handler = OnTerminationSignal;
  sigemptyset(&action.sa_mask);
  action.sa_flags = SA_RESTART;
  for (int signal : {SIGTERM, SIGINT, SIGHUP}) sigaction(signal, &action, nullptr);
  // A copy past a file-size limit of the session (ulimit -f) fails that one
  // file with EFBIG instead of ending the application.
  std::signal(SIGXFSZ, SIG_IGN);
}

// Runs the start-up sequence and the event loop until the application quits.
int RunApplication(QApplication& app, KVApplicationWatch watch) {
  KitStyle::ApplyFixedLook(&app);
  MyNSApplication::Install(&app);
  KVKitServices::Install();
  // The category filter reads the extension lists once, when it is made.
  KVUIController::initFileType();
  // Windows end the application through the delegate ("appWillTerminate",
  // the menu's Quit), never by being the last one closed: between the update
  // window and the wizard there is a moment without any.
  QApplication::setQuitOnLastWindowClosed(false);

  KVAppDelegate* delegate = nullptr;
  DelegateWindows windows(&delegate, std::move(watch));
  KVAppDelegate::Hooks hooks;
  hooks.showRootWindow = [&windows] { windows.ShowRoot(); };
  hooks.showUpdateWindow = [&windows] { windows.ShowUpdate(true); };
  hooks.showUpdateWindowFromMenu = [&windows] { windows.ShowUpdate(false); };
  hooks.showAboutWindow = [&windows] { windows.ShowAbout(); };
  hooks.openUrl = [](const QUrl& url) { KVUrlOpener::Open(url); };
  // Quitting while a scan, load, recovery or save runs asks first.
  KVQuitGuard::Install(hooks, [](const QString& stem, std::function<void(bool)> answer) {
    KVAlert::Begin(KVAlert::ActiveWindow(), stem, [answer = std::move(answer)](int code) { answer(code != 0); });
  });
  hooks.hideMainWindow = [&windows] { windows.HideAll(); };
  hooks.closeApp = [] { KVUIController::CloseApp(); };
  KVAppDelegate appDelegate(std::move(hooks));
  delegate = &appDelegate;
  EndOnTerminationSignals(delegate);
  QTimer::singleShot(0, &app, [delegate] { delegate->applicationDidFinishLaunching(); });
  return app.exec();
}

}  // namespace

int KVApplicationMain(int argc, char** argv, KVApplicationWatch watch) {
  // The process object raises the core-file and open-file limits before any
  // device is opened, and logs the start now and the end at exit.
  CatchExeception::Instance();
  CatchExeception::Install();
  if (argc > 1) setCurLanguage(argv[1]);
  QCoreApplication::setApplicationName(QStringLiteral("Clipmender"));
  // Without the rights to read disks the device list would just be empty;
  // say why instead, and how to start with them. Root that the system still
  // refuses gets told why the list is short, and goes on with what it can read.
  const KVDiskAccessCheck access = CheckDiskAccess();
  if (access.mustStop()) {
    std::fprintf(stderr, "%s\n", access.message.toLocal8Bit().constData());
    return 1;
  }
  if (!access.message.isEmpty()) CatchExeception::WriteLog("%s\n", access.message.toUtf8().constData());
  if (!HaveDisplay()) {
    std::fprintf(stderr,
                 "Clipmender shows its windows on a graphical desktop, and none was found "
                 "(neither DISPLAY nor WAYLAND_DISPLAY is set).\n");
    return 1;
  }
  QApplication app(argc, argv);
  PreventSleep();
  const int status = RunApplication(app, std::move(watch));
  ReleasePreventObj();
  return status;
}
