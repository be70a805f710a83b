// The process entry: the interface language from the command line, the
// keep-awake timer, the application object with the kit's fixed look, then
// the application delegate's start-up sequence and the event loop.
#include <QApplication>
#include <QLabel>
#include <QSocketNotifier>
#include <QTimer>

#include <sys/socket.h>
#include <unistd.h>

#include <csignal>
#include <cstdio>
#include <memory>

#include "app/KVAppDelegate.h"
#include "app/KVDiskAccess.h"
#include "app/KVNode.h"
#include "app/KVProcessEntry.h"
#include "app/KVUIController.h"
#include "app/KVUIOperation.h"
#include "app/KVUIRecovery.h"
#include "base/CatchExeception.h"
#include "platform/NotificationCenter.h"
#include "ui/widgets/KitStyle.h"
#include "ui/widgets/MyNSApplication.h"
#include "ui/windows/KVAboutWindowController.h"
#include "ui/windows/KVAlert.h"
#include "ui/windows/KVCheckUpdateWindowController.h"
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

// The operation the quit guard asks about: a scan, else a recovery.
bool RecoveryPaused() { return KVUIRecovery::instance().GetStatus() == KVOperationPaused; }
bool OperationRunning() { return KVUIController::IsScanRunning() || KVUIController::IsRecoveryRunning(); }
bool OperationPaused() { return KVUIController::IsScanRunning() ? KVUIController::IsPause() : RecoveryPaused(); }
void PauseOrResumeOperation() {
  if (KVUIController::IsScanRunning()) {
    KVUIController::PauseOrResumeScan();
  } else if (KVUIController::IsRecoveryRunning()) {
    KVUIController::PauseOrResumeRecovery();
  }
}

// Brings the application's first window forward after a modal window.
void Activate(QWidget* window) {
  if (window == nullptr) return;
  window->raise();
  window->activateWindow();
}

// ---------------------------------------------------------------------------
// STAND-IN for the results window (KVDeletailWindowController), which is built
// next: the wizard hands it the picked disk or volume, or a loaded scan
// result, and the stand-in says what the results window would now show.
// Closing it ends the application, as closing the results window will.
void ShowResultsWindowStandIn(const QString& what, const QRect& wizardFrame) {
  std::printf("Clipmender: the results window is not built yet; a stand-in window says what it would show.\n");
  std::fflush(stdout);
  auto* window = new KVSmallWindow(QSize(520, 150), 8);
  window->setAttribute(Qt::WA_DeleteOnClose);
  auto* note = KVSmallWindow::Label(
      window->contentView(), QStringLiteral("The results window is not built yet.\nIt would now show %1.").arg(what),
      14, KitColors::kHeaderText, Qt::AlignCenter, true);
  note->setGeometry(20, 20, 480, 110);
  window->setClosedHandler(
      [] { platform::NotificationCenter::DefaultCenter().Post(QStringLiteral("appWillTerminate")); });
  window->move(KVRootWindowController::ResultsWindowFrame(wizardFrame, window->size()).topLeft());
  window->fadeIn();
  Activate(window);
}

KVResultsWindowHooks ResultsWindowStandIn() {
  auto loaded = std::make_shared<std::pair<QString, QRect>>();
  KVResultsWindowHooks hooks;
  hooks.openForScan = [](std::shared_ptr<DiskVolumeNodeData> row, const QRect& wizardFrame) {
    ShowResultsWindowStandIn(QStringLiteral("a scan of \u201c%1\u201d").arg(row->name()), wizardFrame);
  };
  hooks.openForImport = [loaded](const QString& path, const QRect& wizardFrame) { *loaded = {path, wizardFrame}; };
  hooks.showImported = [loaded] {
    if (loaded->first.isEmpty()) return;  // asked twice: shown already
    ShowResultsWindowStandIn(QStringLiteral("the scan result loaded from \u201c%1\u201d").arg(loaded->first),
                             loaded->second);
    loaded->first.clear();
  };
  hooks.discardImport = [loaded] { loaded->first.clear(); };
  return hooks;
}
// ---------------------------------------------------------------------------

// The windows the delegate opens, and the update window it keeps.
class DelegateWindows : public KVCheckUpdateWindowControllerDelegate {
 public:
  explicit DelegateWindows(KVAppDelegate** delegate) : delegate_(delegate) {}

  void runRootWindow() override { (*delegate_)->runRootWindow(); }

  // The wizard, with the application menu in its title bar.
  void ShowRoot() {
    root_ = std::make_unique<KVRootWindowController>();
    new KVMainMenu(*delegate_, root_->window());
    root_->SetResultsWindowHooks(ResultsWindowStandIn());
    root_->showWindow();
    std::printf("Clipmender: the wizard window is shown.\n");
    std::fflush(stdout);
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
}

// Runs the start-up sequence and the event loop until the application quits.
int RunApplication(QApplication& app) {
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
  DelegateWindows windows(&delegate);
  KVAppDelegate::Hooks hooks;
  hooks.showRootWindow = [&windows] { windows.ShowRoot(); };
  hooks.showUpdateWindow = [&windows] { windows.ShowUpdate(true); };
  hooks.showUpdateWindowFromMenu = [&windows] { windows.ShowUpdate(false); };
  hooks.showAboutWindow = [&windows] { windows.ShowAbout(); };
  hooks.openUrl = [](const QUrl& url) { KVUrlOpener::Open(url); };
  hooks.isOperationRunning = OperationRunning;
  hooks.isOperationPaused = OperationPaused;
  hooks.pauseOrResumeOperation = PauseOrResumeOperation;
  hooks.askToQuit = [](std::function<void(bool)> answer) {
    KVAlert::Begin(KVAlert::ActiveWindow(), QStringLiteral("PAGE_FOUR_SCAN_STOP"),
                   [answer = std::move(answer)](int code) { answer(code != 0); });
  };
  hooks.hideMainWindow = [&windows] { windows.HideAll(); };
  hooks.closeApp = [] { KVUIController::CloseApp(); };
  KVAppDelegate appDelegate(std::move(hooks));
  delegate = &appDelegate;
  EndOnTerminationSignals(delegate);
  QTimer::singleShot(0, &app, [delegate] { delegate->applicationDidFinishLaunching(); });
  return app.exec();
}

}  // namespace

int main(int argc, char** argv) {
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
  const int status = RunApplication(app);
  ReleasePreventObj();
  return status;
}
