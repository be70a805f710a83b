// Recovering the ticked files from the results window: the destination
// folder and its checks, the progress window while the recovery runs, and
// the end or stop window afterwards.
//
// The progress, end and stop windows block the application's other windows
// while they are open, but none of them runs an event loop of its own: the
// "DoRecovery" handler that opens the progress window returns at once, so no
// handler ever runs nested inside a window that an earlier handler opened.
// isFinishRecovery makes the end of a recovery (its natural end, or the
// user's stop, whichever comes first) handled once: exactly one end or stop
// window per recovery.
#include <QAbstractItemView>
#include <QApplication>
#include <QCompleter>
#include <QDir>
#include <QFileDialog>
#include <QFileInfo>
#include <QLineEdit>
#include <QMouseEvent>
#include <QTimer>

#include <pwd.h>
#include <unistd.h>

#include <vector>

#include "app/KVUIRecovery.h"
#include "platform/Localized.h"
#include "platform/NotificationCenter.h"
#include "ui/widgets/TCImageButton.h"
#include "ui/widgets/TCImageWindow.h"
#include "ui/windows/KVDeletailWindowController.h"
#include "ui/windows/KVRecoveryServices.h"
#include "ui/windows/KVScanEndSaveWindowController.h"
#include "ui/windows/KVScanNotEndSaveWindowController.h"
#include "ui/windows/KVShowScanProgressWindowController.h"
#include "ui/windows/KVSmallWindow.h"

namespace {

constexpr const char* kRecoveryNotification = "DoRecovery";
constexpr int kChooseAgainDelayMs = 500;
// The first chooser of a window lies this much below the window's top.
constexpr int kPanelDrop = 75;

KVRecoveryServices& Services(KVDeletailWindowController& window) {
  if (!window.recoveryServices)
    window.recoveryServices = std::make_shared<KVRecoveryServices>(KVRecoveryServices::Default());
  return *window.recoveryServices;
}

// Where the chooser starts: the last destination, else the home folder of
// the user the application works for (not root's, when it runs as root for
// them).
QString StartFolder(const QString& last) {
  if (!last.isEmpty() && QFileInfo(last).isDir()) return last;
  const int64_t uid = KVUIRecovery::InvokingUser();
  if (uid >= 0 && geteuid() == 0) {
    std::vector<char> buffer(16384);
    passwd entry{};
    passwd* found = nullptr;
    if (getpwuid_r(static_cast<uid_t>(uid), &entry, buffer.data(), buffer.size(), &found) == 0 && found != nullptr &&
        found->pw_dir != nullptr && QFileInfo(QString::fromLocal8Bit(found->pw_dir)).isDir()) {
      return QString::fromLocal8Bit(found->pw_dir);
    }
  }
  return QDir::homePath();
}

// Typing a path opens the name field's list of completions, a pop-up that
// takes every press while it shows. Under X a press outside it only closes
// it, so the first click on "Recover Here" after typing did nothing. This
// filter, seen before the completer's own, closes the list and hands the
// press on to what lies under it in the chooser, which then holds the
// pointer until the button is let go, so that the release reaches it too.
class PassPressesOutsideTheList : public QObject {
 public:
  PassPressesOutsideTheList(QWidget* list, QWidget* chooser) : QObject(list), chooser_(chooser) {}

 protected:
  bool eventFilter(QObject* watched, QEvent* event) override {
    if (event->type() == QEvent::MouseButtonRelease && watched == held_) {
      held_->releaseMouse();
      held_->removeEventFilter(this);
      held_ = nullptr;
      return false;
    }
    if (event->type() != QEvent::MouseButtonPress || watched != parent()) return false;
    auto* list = static_cast<QWidget*>(watched);
    const auto* press = static_cast<QMouseEvent*>(event);
    const QPoint global = press->globalPosition().toPoint();
    if (list->rect().contains(list->mapFromGlobal(global))) return false;  // a choice in the list
    list->hide();
    if (chooser_ == nullptr || !chooser_->isVisible()) return true;
    const QPoint inChooser = chooser_->mapFromGlobal(global);
    if (!chooser_->rect().contains(inChooser)) return true;
    QWidget* target = chooser_->childAt(inChooser);
    if (target == nullptr) target = chooser_;
    QMouseEvent again(QEvent::MouseButtonPress, target->mapFromGlobal(global), global, press->button(),
                      press->buttons(), press->modifiers());
    QApplication::sendEvent(target, &again);
    if (target->isVisible() && held_ == nullptr) {
      held_ = target;
      held_->installEventFilter(this);
      held_->grabMouse();
    }
    return true;
  }

 private:
  QPointer<QWidget> chooser_;
  QPointer<QWidget> held_;
};

void Activate(QWidget* window) {
  if (window == nullptr) return;
  window->raise();
  window->activateWindow();
}

}  // namespace

void KVDeletailWindowController::setRecoveryServices(const KVRecoveryServices& services) {
  recoveryServices = std::make_shared<KVRecoveryServices>(services);
}

void KVDeletailWindowController::recovrtyButtonClick() {
  // One chooser at a time (a click while the delayed one opens).
  if (panel || aWindow == nullptr) return;
  recovertyButton->setButtonEnabled(false);
  isRecoveryEndSHowWindow = 1;

  auto* chooser = new QFileDialog(aWindow, platform::Localized("PAGE_FOUR_RECOVERY_NODE"));
  chooser->setOption(QFileDialog::DontUseNativeDialog);
  chooser->setOption(QFileDialog::ShowDirsOnly);
  chooser->setFileMode(QFileDialog::Directory);
  chooser->setAcceptMode(QFileDialog::AcceptOpen);
  chooser->setLabelText(QFileDialog::Accept, platform::Localized("PAGE_FOUR_RECOVERY_WINDOW_SAVE_BUTTON"));
  chooser->setDirectory(StartFolder(recoverySavePathStr));
  if (auto* name = chooser->findChild<QLineEdit*>(QStringLiteral("fileNameEdit")); name && name->completer()) {
    // Asking for the list makes it, with the completer's filter, first.
    QAbstractItemView* list = name->completer()->popup();
    list->installEventFilter(new PassPressesOutsideTheList(list, chooser));
  }
  if (rectNew.width() == 0 && rectNew.height() == 0) rectNew = aWindow->geometry().adjusted(0, kPanelDrop, 0, 0);
  chooser->setGeometry(rectNew);
  // A sheet: only the results window waits for it.
  chooser->setWindowModality(Qt::WindowModal);
  QObject::connect(chooser, &QDialog::finished, this, [this](int code) { openPanelEnded(code); });
  panel = chooser;
  chooser->open();
}

void KVDeletailWindowController::openPanelEnded(int code) {
  QString chosen;
  if (QFileDialog* chooser = panel.data()) {
    rectNew = chooser->geometry();
    if (code == QDialog::Accepted) chosen = chooser->selectedFiles().value(0);
    chooser->hide();
    chooser->deleteLater();
  }
  panel.clear();
  // The window takes the user's input again (its title bar's controls are
  // usable only while it is the active window).
  Activate(aWindow);
  if (recovertyButton != nullptr) recovertyButton->setButtonEnabled(true);
  if (code != QDialog::Accepted || chosen.isEmpty() || aWindow == nullptr) return;
  recoverySavePathStr = QDir::cleanPath(chosen);

  // The checks, in this order; each warning ends the chain.
  KVRecoveryServices& services = Services(*this);
  if (!services.isWritable(recoverySavePathStr)) {
    beginSheet(
        QStringLiteral("PAGE_FOUR_RECOVERY_NO_COMPETENCE"), [](int) {}, false);
    return;
  }
  if (services.isSameDevice(recoverySavePathStr)) {
    beginSheet(QStringLiteral("PAGE_FOUR_SAVE_SAME_PATH"), [this](int answer) {
      if (answer == 1) {
        QTimer::singleShot(kChooseAgainDelayMs, this, [this] { recovrtyButtonClick(); });
      } else {
        beginRecovery();
      }
    });
    return;
  }
  if (KVRecoveryServices::HasRoomFor(services.freeSpace(recoverySavePathStr), services.selectedStoredSize())) {
    beginRecovery();
    return;
  }
  beginSheet(QStringLiteral("PAGE_FOUR_RECOVERY_NO_SPACE"), [this](int answer) {
    if (answer == 0) beginRecovery();
  });
}

void KVDeletailWindowController::beginRecovery() {
  // The recovery takes every shown, ticked file: the same whichever of the
  // four trees shows them.
  isFinishRecovery = 0;
  isBeginRecovery = 1;
  // The progress window comes with the first news.
  if (!Services(*this).doRecovery(recoverySavePathStr, QString::fromLatin1(kRecoveryNotification))) {
    isFinishRecovery = 1;
    isBeginRecovery = 0;
  }
}

void KVDeletailWindowController::recoveryAction(const platform::Notification&) {
  if (closing_) return;
  KVRecoveryServices& services = Services(*this);
  if (isFinishRecovery != 0) {
    // A stopped recovery finishes the file it was at: the stop window
    // follows its count to the end.
    if (isRecoveryEndSHowWindow == 0 && scanNotEndSaceWC != nullptr) {
      scanNotEndSaceWC->changeRecoveryFilesPoint(static_cast<double>(services.recoveredFiles()), recoverySavePathStr);
    }
    return;
  }
  const bool running = services.isRecoveryRunning();
  if (recoveryProgressWindow == nullptr && running) {
    recoveryProgressWindow = new KVShowScanProgressWindowController(this);
    recoveryProgressWindow->setDelegate(this);
  }
  uint64_t total = 0, current = 0, error = 0;
  const QString name = services.progress(&total, &current, &error);
  if (static_cast<int64_t>(error) > 0 && running) {
    // The destination is full and the recovery has paused itself.
    if (recoveryProgressWindow != nullptr) recoveryProgressWindow->setNoMemeryViewHidden();
  } else if (recoveryProgressWindow != nullptr) {
    const double percent =
        current == 0 || total == 0 ? 0.0 : static_cast<double>(current) * 100.0 / static_cast<double>(total);
    recoveryProgressWindow->changeProgressValue(percent, name);
  }
  if (!running) {
    // Ended by itself (also one that ended before its first news): the end
    // window, once.
    isFinishRecovery = 1;
    isBeginRecovery = 0;
    if (recoveryProgressWindow != nullptr) {
      recoveryProgressWindow->closeWindow();
      recoveryProgressWindow->deleteLater();
      recoveryProgressWindow = nullptr;
    }
    if (isRecoveryEndSHowWindow == 1) showRecoveryEndWindow();
    return;
  }
  if (isBeginRecovery == 1 && recoveryProgressWindow != nullptr) {
    isBeginRecovery = 0;
    recoveryProgressWindow->runModal();
  }
}

void KVDeletailWindowController::stopButtonAction(int value) {
  KVRecoveryServices& services = Services(*this);
  if (value == KVShowScanProgressWindowController::kPauseOrResume) {
    services.pauseOrResume();
    return;
  }
  if (isFinishRecovery != 0) return;
  isFinishRecovery = 1;
  isRecoveryEndSHowWindow = 0;
  isBeginRecovery = 0;
  if (recoveryProgressWindow != nullptr) {
    recoveryProgressWindow->closeWindow();
    recoveryProgressWindow->deleteLater();
    recoveryProgressWindow = nullptr;
  }
  services.stop();
  showRecoveryNotEndWindow();
}

void KVDeletailWindowController::showRecoveryEndWindow() {
  if (scanEndSaveWC != nullptr) scanEndSaveWC->deleteLater();
  scanEndSaveWC = new KVScanEndSaveWindowController(this);
  scanEndSaveWC->setSavePathStr(recoverySavePathStr);
  if (const KVRecoveryServices& services = Services(*this); services.failedFiles) {
    uint64_t tooLarge = 0;
    const uint64_t failed = services.failedFiles(&tooLarge);
    scanEndSaveWC->setFailedFiles(failed, tooLarge, services.failedPaths ? services.failedPaths() : QStringList());
  }
  scanEndSaveWC->runModal([window = QPointer<TCImageWindow>(aWindow)] { Activate(window); });
}

void KVDeletailWindowController::showRecoveryNotEndWindow() {
  if (scanNotEndSaceWC != nullptr) scanNotEndSaceWC->deleteLater();
  scanNotEndSaceWC = new KVScanNotEndSaveWindowController(this);
  // The count as a whole number: no rounding through single precision.
  scanNotEndSaceWC->changeRecoveryFilesPoint(static_cast<double>(Services(*this).recoveredFiles()),
                                             recoverySavePathStr);
  scanNotEndSaceWC->runModal([window = QPointer<TCImageWindow>(aWindow)] { Activate(window); });
}
