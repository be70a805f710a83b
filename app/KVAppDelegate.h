// What happens between the application object and the first window: the
// observers, the media watcher, the weekly update check and the first window,
// and the guard that asks before quitting while a long operation runs; and
// what the application menu's About, Check for Updates and online-help items
// do (the menu itself is the windows' KVMainMenu).
//
// The delegate shows no window itself: the windows are reached through the
// hooks, so the sequence runs (and is tested) without a display.
#pragma once

#include <QDateTime>
#include <QObject>
#include <QString>
#include <QUrl>
#include <QVariant>

#include <functional>

class KVAppDelegate : public QObject {
 public:
  struct Hooks {
    // Opens the update window. Its closing must call runRootWindow().
    std::function<void()> showUpdateWindow;
    // Opens the wizard's root window (called at most once).
    std::function<void()> showRootWindow;
    // Starts the media watcher; defaults to USBNotifier_init.
    std::function<bool()> startWatcher;
    // Whether a scan, recovery or save runs, whether it is paused, and the
    // toggle between the two.
    std::function<bool()> isOperationRunning;
    std::function<bool()> isOperationPaused;
    std::function<void()> pauseOrResumeOperation;
    // Asks the user whether to quit while an operation runs; `answer` gets
    // true for quitting. May answer later (a sheet).
    std::function<void(std::function<void(bool)> answer)> askToQuit;
    // Hides the main window (may be empty).
    std::function<void()> hideMainWindow;
    // Ends the process with status 0; defaults to std::exit(0).
    std::function<void()> closeApp;
    // The clock of the stamp rule; defaults to the current local time.
    std::function<QDateTime()> now;
    // Runs the About window modally.
    std::function<void()> showAboutWindow;
    // Runs the update window modally for the menu (no root window after it).
    std::function<void()> showUpdateWindowFromMenu;
    // Opens a web address in the user's browser.
    std::function<void(const QUrl&)> openUrl;
  };

  // Whole days between two checks.
  static constexpr int kCheckIntervalDays = 7;
  // No data for this long ends the fetch of the remote list.
  static constexpr int kFetchTimeoutMs = 5000;
  // How the stamp is written and read.
  static constexpr const char* kStampFormat = "yyyy-MM-dd HH:mm:ss";

  explicit KVAppDelegate(Hooks hooks, QObject* parent = nullptr);
  ~KVAppDelegate() override;

  // Where the remote version list lives ("IniURL" of the link table unless a
  // caller sets another).
  void SetRemoteListUrl(const QUrl& url) { m_remoteUrl = url; }
  static QUrl DefaultRemoteListUrl();

  // The start-up sequence: observes "appWillTerminate", starts the watcher,
  // then checks for an update when one is due, or opens the root window.
  void applicationDidFinishLaunching();

  // Opens the root window the first time; later calls do nothing.
  void runRootWindow();

  // True: quit now. False: an operation runs; it has been paused and the user
  // is asked; quitting follows the answer.
  bool applicationShouldTerminate();

  // Stops observing, hides the main window and ends the process.
  void applicationWillTerminate();

  // The answer to the quit question: 1 (its default button) quits, 0 goes
  // on with the operation, resuming it when it is paused.
  void alertEnded(int code);

  // The menu's actions: the About window, a check for updates, the online
  // help page (both help items do the same).
  void aboutAction();
  void CheckUpAction();
  void onlineHelp();
  void supportCenterAction() { onlineHelp(); }
  // Whether the menu offers a check for updates and the online help: a build
  // without an address for them has nothing to check or open.
  bool canCheckForUpdates() const { return !m_remoteUrl.isEmpty(); }
  static bool hasOnlineHelp();

  // Whether a check is due: no usable stamp (missing, empty, a single space,
  // unreadable) or at least seven whole days since it, or a stamp in the
  // future (a clock set back must not stop checks for good).
  static bool ShouldCheckForUpdate(const QVariant& stamp, const QDateTime& now);

  // The "VersionCheck" number of a version list: an integer, or a string of
  // decimal digits; anything else (missing, negative, a list, no dictionary)
  // reads as 0, so a malformed list never asks for an update.
  static qlonglong VersionCheck(const QVariant& list);

  // Whether a check was started by the last applicationDidFinishLaunching
  // (tests).
  bool checkStarted() const { return m_checkStarted; }

 private:
  void OnRemoteList(const QVariant& remote);

  Hooks m_hooks;
  QUrl m_remoteUrl;
  bool m_rootShown = false;
  bool m_checkStarted = false;
  bool m_asking = false;
};
