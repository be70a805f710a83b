// The scan controls of the results window: pause and resume, stop, going
// back to the wizard and the deep scan.
#include <QCoreApplication>
#include <QTimer>

#include "app/KVNode.h"
#include "base/CatchExeception.h"
#include "platform/Localized.h"
#include "platform/NotificationCenter.h"
#include "ui/widgets/KVProgressView.h"
#include "ui/widgets/KitElidedLabel.h"
#include "ui/widgets/TCImageWindow.h"
#include "ui/windows/KVDeletailWindowController.h"

namespace {

std::function<void()>& RootWindowOpener() {
  static std::function<void()> open;
  return open;
}

}  // namespace

void KVDeletailWindowController::SetRootWindowOpener(std::function<void()> open) {
  RootWindowOpener() = std::move(open);
}

// Pausing, stopping, going home with the button and the deep scan are not
// offered from the title bar yet.
void KVDeletailWindowController::backButtonAction() {}
void KVDeletailWindowController::pauseButtonClick() {}
void KVDeletailWindowController::stopButtonClick() {}
void KVDeletailWindowController::deepSrcanButtonAction() {}

bool KVDeletailWindowController::SaveScanResult() { return true; }

void KVDeletailWindowController::untickAllRows() {
  for (KVRowArray* rows : {&allDiskArr, &allTypeArr, &allCreatTimeArr, &allModifyTimeArr}) {
    for (const auto& row : *rows) row->setNodeState(0);
  }
}

void KVDeletailWindowController::doBackHomeAction(int save) {
  if (save != 0 && !SaveScanResult()) return;
  untickAllRows();
  stopImageLoading();
  stopGridImageLoading();
  CatchExeception::WriteLog("begin back home\n");
  platform::NotificationCenter::DefaultCenter().Post(QStringLiteral("SetLangauageMemu"));
  if (refreshTimer != nullptr) {
    refreshTimer->deleteLater();
    refreshTimer = nullptr;
    viewLoadCnt = 0;
  }
  clearFileList();
  isSelectOutlineList = 1;
  selectTypeCount = kPathTree;
  KVUIController::SetViewType(kPathTree);
  setRemainingTimeText(QStringLiteral("-:-:-"));
  setFilesFoundText(QStringLiteral("0"));
  progressView->changeProgressValue(0);
  platform::NotificationCenter::DefaultCenter().RemoveObserver(this);
  closing_ = true;
  if (aWindow != nullptr) aWindow->close();
  // The window and its controller are gone by then.
  QTimer::singleShot(200, QCoreApplication::instance(), [] { showRootWindow(); });
  CatchExeception::WriteLog("finish back home\n");
}

void KVDeletailWindowController::showRootWindow() {
  if (RootWindowOpener()) RootWindowOpener()();
  KVUIController::RefreshDeviceInfo();
}
