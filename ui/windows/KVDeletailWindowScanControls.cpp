// The scan controls of the results window: pause and resume, stop, going
// back to the wizard and the deep scan.
//
// The title bar follows the user's intent (isPause), the engine the scan's
// own status: a question on the window pauses the scan while it is open and
// a NO returns to what the user had, running or paused.
#include <QCoreApplication>
#include <QParallelAnimationGroup>
#include <QPropertyAnimation>
#include <QTimer>

#include <memory>

#include "app/KVNode.h"
#include "app/KVUIScan.h"
#include "base/CatchExeception.h"
#include "platform/Localized.h"
#include "platform/NotificationCenter.h"
#include "ui/widgets/KVProgressView.h"
#include "ui/widgets/KitAnimations.h"
#include "ui/widgets/KitAutoresizer.h"
#include "ui/widgets/KitElidedLabel.h"
#include "ui/widgets/KitImages.h"
#include "ui/widgets/KitSegmentedControl.h"
#include "ui/widgets/KitSheet.h"
#include "ui/widgets/KitSpinner.h"
#include "ui/widgets/TCImageButton.h"
#include "ui/widgets/TCImageWindow.h"
#include "ui/windows/KVDeletailWindowController.h"

namespace {

constexpr int kStopDelayMs = 500;
constexpr int kDeepScanDelayMs = 200;
constexpr int kRefreshDelayMs = 500;
constexpr int kRootWindowDelayMs = 200;
constexpr int kSlideMs = 400;
const char* const kSearchNotification = "DoSearchValue";

std::function<void()>& RootWindowOpener() {
  static std::function<void()> open;
  return open;
}

platform::NotificationCenter& Center() { return platform::NotificationCenter::DefaultCenter(); }

// Empties the search field and ends the search, as its clear button does.
// False when no search was set: there is nothing to clear, and no search
// is started for nothing.
bool ClearSearch(KVDeletailWindowController& window) {
  if (window.search->textField()->text().isEmpty() && KVUIController::GetSearchString().isEmpty()) return false;
  window.searchClearButtonClick();
  return true;
}

// The list pane, as a click on the view switch's list segment gives it.
void ShowListPane(KVDeletailWindowController& window) {
  window.segment->setSelectedSegment(KVDeletailWindowController::kListMode);
  window.segmentSelect(window.segment);
  window.tableScrollView->show();
  window.tableView->show();
}

// The remaining time and the count of found files, as before any scan.
void ResetProgressLabels(KVDeletailWindowController& window) {
  window.remainTimeLabel->setText(platform::LocalizedFormat("PAGE_FOUR_REMAININGTIME", {QStringLiteral("-:-:-")}));
  window.findFilesLabel->setText(platform::LocalizedFormat("PAGE_FOUR_FILESFOUND", {QStringLiteral("0")}));
  window.progressView->changeProgressValue(0);
}

}  // namespace

void KVDeletailWindowController::SetRootWindowOpener(std::function<void()> open) {
  RootWindowOpener() = std::move(open);
}

// ---- Home ----

void KVDeletailWindowController::backButtonAction() {
  if (isCloseWindow != 0) return;
  if (!KVUIController::IsScanRunning()) {
    doBackHomeAction(1);
    return;
  }
  if (!KVUIController::IsPause()) KVUIController::PauseOrResumeScan();
  beginSheet(QStringLiteral("PAGE_FOUR_SCAN_BACKHOME"), [this](int code) {
    if (code != 1) {
      if (isPause == 0 && KVUIController::IsPause()) KVUIController::PauseOrResumeScan();
      isCanClick = 1;
      return;
    }
    untickAllRows();
    isPause = 0;
    for (TCImageButton* button : {backHomeButton, continueScanButton, stopButton, recovertyButton})
      button->setButtonEnabled(false);
    KVUIController::StopScan(1);
    isCanClick = 0;
    isSelectBackHome = 1;
    // Otherwise the end of the scan brings the window home (getScanProgress).
    if (!KVUIController::IsScanRunning()) doBackHomeAction(1);
  });
}

bool KVDeletailWindowController::SaveScanResult() { return true; }

void KVDeletailWindowController::untickAllRows() {
  for (KVRowArray* rows : {&allDiskArr, &allTypeArr, &allCreatTimeArr, &allModifyTimeArr}) {
    for (const auto& row : *rows) row->setNodeState(0);
  }
}

void KVDeletailWindowController::doBackHomeAction(int save) {
  if (KVUIController::IsScanRunning()) {
    // A scan still stopping (a pulled-out disk) holds the devices the new
    // wizard would list: the window goes once it has ended, as after a
    // confirmed home (getScanProgress comes back here).
    KVUIController::StopScan(1);
    isCanClick = 0;
    isSelectBackHome = 1;
    for (TCImageButton* button : {backHomeButton, pauseButton, continueScanButton, stopButton})
      button->setButtonEnabled(false);
    return;
  }
  if (save != 0 && !SaveScanResult()) return;
  untickAllRows();
  CatchExeception::WriteLog("begin back home\n");
  Center().Post(QStringLiteral("SetLangauageMemu"));
  if (refreshTimer != nullptr) {
    refreshTimer->deleteLater();
    refreshTimer = nullptr;
    viewLoadCnt = 0;
  }
  isSelectOutlineList = 1;
  selectTypeCount = kPathTree;
  KVUIController::SetViewType(kPathTree);
  ResetProgressLabels(*this);
  Center().RemoveObserver(this);
  // The result is left: its rows first, then the result itself, so that no
  // medium stays open for it (a loop device can be detached, a card pulled
  // out and seen to go).
  dropResultRows();
  KVUIController::ReleaseScanResult();
  closing_ = true;
  if (aWindow != nullptr) aWindow->close();
  // The window and its controller are gone by then.
  QTimer::singleShot(kRootWindowDelayMs, QCoreApplication::instance(), [] { showRootWindow(); });
  CatchExeception::WriteLog("finish back home\n");
}

void KVDeletailWindowController::showRootWindow() {
  if (RootWindowOpener()) RootWindowOpener()();
  KVUIController::RefreshDeviceInfo();
}

// ---- Pause and resume ----

void KVDeletailWindowController::pauseButtonClick() {
  if (!KVUIController::IsScanRunning()) {
    // The scan ended before the press: taken as a stop, then its end.
    isPause = 0;
    KVUIController::StopScan(1);
    isCanClick = 0;
    getScanProgress();
    return;
  }
  const bool resuming = isPause != 0;
  // A search shown while paused ends on resuming, so that the files the
  // scan goes on to find show; the scan goes on once its marks are set.
  const bool clearing = ClearSearch(*this);
  stopImageLoading();
  stopGridImageLoading();
  isPause = resuming ? 0 : 1;
  const auto resumeIfStillAsked = [this] {
    const bool asking = sheet_ && sheet_->isOpen();
    if (isPause == 0 && !asking && KVUIController::IsPause()) KVUIController::PauseOrResumeScan();
  };
  if (!resuming) {
    if (!KVUIController::IsPause()) KVUIController::PauseOrResumeScan();
  } else if (clearing && KVUIController::Scan().IsSearching() != 0) {
    auto id = std::make_shared<platform::ObserverId>(0);
    *id = Center().AddObserver(QString::fromLatin1(kSearchNotification), this,
                               [id, resumeIfStillAsked](const platform::Notification&) {
                                 Center().RemoveObserver(*id);
                                 resumeIfStillAsked();
                               });
  } else {
    resumeIfStillAsked();
  }
  isDeepScan = KVUIController::IsDeepScan() ? 1 : 0;
  if (isDeepScan != 0 && resuming) {
    // The picture views read the files while a deep scan adds them.
    segment->setEnabled(false);
    ShowListPane(*this);
  } else {
    segment->setEnabled(true);
  }
  if (resuming) {
    untickAllRows();
    pauseButton->show();
    continueScanButton->hide();
    search->setEnabled(false);
    if (recovertyButton->isVisible()) slideRecoveryButtonOut(110.0);
    selectFilesLabel->hide();
    findFilesLabel->show();
    remainTimeLabel->show();
    QTimer::singleShot(kRefreshDelayMs, this, [this] {
      if (!closing_) refashDetailPageData();
    });
  } else {
    isCanClick = 1;
    pauseButton->hide();
    continueScanButton->show();
    search->setEnabled(true);
  }
}

void KVDeletailWindowController::slideRecoveryButtonOut(double gap) {
  const double width = subBox->width();
  const QRectF box(0, 0, width + 100.0, subBox->height());
  const QRectF button(width + gap, 17.0, 100.0, 30.0);
  TCImageButton* sliding = recovertyButton;
  QWidget* holder = subBox;
  const auto settle = [this, box, button, sliding, holder] {
    setFrame(holder, box, KitAutoresizer::kWidthSizable);
    setFrame(sliding, button, KitAutoresizer::kMinXMargin);
    sliding->hide();
  };
  const int duration = KitAnimations::Duration(kSlideMs);
  if (duration <= 0) {
    settle();
    return;
  }
  // Frames count from the bottom; the widgets' geometry from the top.
  const auto qt = [](const QRectF& frame, const QWidget* parent) {
    return QRectF(frame.x(), parent->height() - frame.y() - frame.height(), frame.width(), frame.height()).toRect();
  };
  auto* group = new QParallelAnimationGroup(subBox);
  for (const auto& [widget, frame] : {std::pair<QWidget*, QRectF>{holder, box}, {sliding, button}}) {
    auto* move = new QPropertyAnimation(widget, "geometry", group);
    move->setDuration(duration);
    move->setEndValue(qt(frame, widget->parentWidget()));
    group->addAnimation(move);
  }
  QObject::connect(group, &QAbstractAnimation::finished, this, settle);
  group->start(QAbstractAnimation::DeleteWhenStopped);
}

// ---- Stop ----

void KVDeletailWindowController::stopButtonClick() {
  if (isCloseWindow != 0) return;
  stopButton->setImage(
      KitImages::Named(stopButton->isChecked() ? QStringLiteral("del_press") : QStringLiteral("del_normal")));
  if (isPause == 0 && !KVUIController::IsPause()) KVUIController::PauseOrResumeScan();
  beginSheet(QStringLiteral("PAGE_FOUR_SCAN_STOP"), [this](int code) {
    if (code != 1) {
      if (isPause == 0) {
        if (KVUIController::IsPause()) KVUIController::PauseOrResumeScan();
        isCanClick = 1;
      }
      return;
    }
    untickAllRows();
    if (recovertyButton->isVisible() && isPause != 0) slideRecoveryButtonOut(100.0);
    isPause = 0;
    search->setEnabled(false);
    recovertyButton->hide();
    for (TCImageButton* button : {pauseButton, continueScanButton, stopButton, backHomeButton})
      button->setButtonEnabled(false);
    QTimer::singleShot(kStopDelayMs, this, [this] {
      if (!closing_) stopAction();
    });
  });
}

void KVDeletailWindowController::stopAction() {
  // Building the trees of what was found keeps every file found so far.
  KVUIController::StopScan(0);
  // Before the refresh: the buttons stay off until the scan has ended.
  isCanClick = 0;
  getScanProgress();
  continueScanButton->setButtonEnabled(false);
}

// ---- Deep scan ----

void KVDeletailWindowController::deepSrcanButtonAction() {
  untickAllRows();
  popupViewHidden();
  stopImageLoading();
  stopGridImageLoading();
  ResetProgressLabels(*this);
  showNoValueNote();
  isCanClick = 1;
  isPause = 0;
  isDeepScan = 1;
  segment->setEnabled(true);
  ShowListPane(*this);

  SetVisible({selectFilesLabel, deepScanLabel, recovertyButton}, false);
  continueButton->setButtonEnabled(false);
  continueButton->hide();
  if (exportButton != nullptr) exportButton->hide();
  SetVisible({progressView, loadImageView, pauseButton, stopButton, findFilesLabel, remainTimeLabel}, true);
  continueScanButton->hide();
  loadImageView->startAnimation();
  // The last result's search goes with its rows.
  ClearSearch(*this);
  search->setEnabled(false);

  // Nothing may point into the rows once the deep scan lets the last
  // result's nodes go.
  opDataFile = nullptr;
  opDataFileRoot_.reset();
  clearFileList();
  for (KVRowArray* rows : {&allDiskArr, &allTypeArr, &allCreatTimeArr, &allModifyTimeArr}) rows->clear();
  reloadOutlines();
  QTimer::singleShot(kDeepScanDelayMs, this, [this] {
    if (!closing_) doDeepScanAction();
  });
}

void KVDeletailWindowController::doDeepScanAction() {
  ClearSelectedFilesInfo();
  for (TCImageButton* button : {backHomeButton, pauseButton, stopButton}) button->setButtonEnabled(false);
  continueScanButton->setButtonEnabled(true);
  isCreateTimeTreeRebuild = isModifyTimeTreeRebuild = 1;
  bSave = 0;
  KVUIController::ResetShouldBuild();
  const QString name = QString::fromLatin1(kScanNotification);
  const bool started = deepScanStarter_ ? deepScanStarter_(name) : KVUIController::DoDeepScan(name);
  if (!started) deepScanCouldNotStart();
}

// Without a start the window would wait, its buttons off, for news that
// never comes. The last scan's result is still the scan operation's: its
// rows come back and the window is browsing again.
void KVDeletailWindowController::deepScanCouldNotStart() {
  KVUIController::Scan().SetDeepScan(0);
  DataInitFinished();
  continueButton->setButtonEnabled(true);
  if (exportButton != nullptr) exportButton->show();
  beginSheet(
      QStringLiteral("PAGE_FOUR_DEEPSCAN_START_FAILED"), [](int) {}, false);
}
