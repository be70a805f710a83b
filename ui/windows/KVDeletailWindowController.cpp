// The results window: set-up, the flow from scan notifications to rows and
// progress, the end of a scan, closing and a disk pulled out.
#include "ui/windows/KVDeletailWindowController.h"

#include <QCloseEvent>
#include <QDateTime>
#include <QTimer>

#include <list>
#include <utility>

#include "app/KVNode.h"
#include "app/KVPublicUtilities.h"
#include "app/KVUIDeviceData.h"
#include "platform/Localized.h"
#include "platform/NotificationCenter.h"
#include "ui/widgets/CNGridViewItemLayout.h"
#include "ui/widgets/CustemOutlineView.h"
#include "ui/widgets/KVProgressView.h"
#include "ui/widgets/KitAutoresizer.h"
#include "ui/widgets/KitElidedLabel.h"
#include "ui/widgets/KitFader.h"
#include "ui/widgets/KitImageFlowView.h"
#include "ui/widgets/KitOwnedTimer.h"
#include "ui/widgets/KitSegmentedControl.h"
#include "ui/widgets/KitSheet.h"
#include "ui/widgets/KitSpinner.h"
#include "ui/widgets/TCImageButton.h"
#include "ui/widgets/TCImageWindow.h"
#include "ui/widgets/TCWindowButton.h"
#include "ui/windows/KVAlert.h"
#include "ui/windows/KVMainMenu.h"
#include "ui/windows/KVSmallWindow.h"
#include "ui/windows/KVTabButton.h"

namespace {

constexpr const char* kDetachNotification = "RefreshDetachDevice";
constexpr const char* kSearchNotification = "DoSearchValue";
constexpr const char* kRecoveryNotification = "DoRecovery";

platform::NotificationCenter& Center() { return platform::NotificationCenter::DefaultCenter(); }

// A row of the device list: its scalar fields, no volumes (a scan asks only
// for the indexes).
std::unique_ptr<DiskVolumeNodeData> CopyRow(const DiskVolumeNodeData& row) {
  _DiskVolumeData data;
  data.name = row.name().toStdString();
  data.size = row.capacity();
  data.used = row.used();
  data.diskIndex = row.diskIndex();
  data.volumeIndex = row.volumeIndex();
  data.fileSystem = row.fileSystem();
  data.isDmg = row.isDmg();
  data.isUsb = row.isUsb();
  auto copy = std::make_unique<DiskVolumeNodeData>(data);
  copy->setParentName(row.parentName());
  return copy;
}

// The name the media watcher gives the disk of `diskIndex` when it goes.
QString DiskName(int diskIndex) {
  std::list<_DiskVolumeData> disks;
  KVUIDeviceData::instance().GetAllDeviceInfo(disks);
  for (const _DiskVolumeData& disk : disks) {
    if (disk.diskIndex == diskIndex) return QString::fromStdString(disk.name);
  }
  return {};
}

}  // namespace

namespace {

void Place(QWidget* window, std::optional<QPoint> at) {
  if (at) {
    window->move(*at);
  } else {
    KVSmallWindow::CenterOnScreen(window);
  }
}

}  // namespace

KVDeletailWindowController* KVDeletailWindowController::OpenForScan(const DiskVolumeNodeData& row,
                                                                    std::optional<QPoint> at) {
  auto* controller = new KVDeletailWindowController;
  controller->setSelectDiskVolumeData(row);
  Place(controller->aWindow, at);
  controller->showWindow();
  controller->startTimer_->start(kStartDelayMs, [controller] { controller->getData(); });
  return controller;
}

KVDeletailWindowController* KVDeletailWindowController::OpenForImport(const QString& path, std::optional<QPoint> at,
                                                                      bool show) {
  auto* controller = new KVDeletailWindowController;
  Place(controller->aWindow, at);
  controller->getImportData(path);
  if (show) controller->showWindow();
  return controller;
}

KVDeletailWindowController::KVDeletailWindowController() {
  scanStarter_ = [](const DiskVolumeNodeData* row, const QString& postName) {
    return KVUIController::DoScanWithData(row, postName);
  };
  expandTimer_ = new KitOwnedTimer(this);
  popoverTimer_ = new KitOwnedTimer(this);
  startTimer_ = new KitOwnedTimer(this);
  buildLayout();
  awakeFromNib();
  windowDidLoad();
}

KVDeletailWindowController::~KVDeletailWindowController() {
  Center().RemoveObserver(this);
  // The loaders end before the views they post to and the nodes they read.
  stopImageLoading();
  stopGridImageLoading();
  if (aWindow != nullptr) {
    QObject::disconnect(aWindow, nullptr, this, nullptr);
    // The views hold pointers into the rows: they go first.
    delete aWindow;
  }
}

void KVDeletailWindowController::awakeFromNib() {
  Center().AddObserver(QString::fromLatin1(kDetachNotification), this,
                       [this](const platform::Notification& n) { RefreshDevice(n); });
  typeButton->setText(platform::Localized("PAGE_FOUR_SELECT_TYPE_BUTTON_TYPE"));
  pathButton->setText(platform::Localized("PAGE_FOUR_SELECT_TYPE_BUTTON_PATH"));
  creatButton->setText(platform::Localized("PAGE_FOUR_SELECT_TYPE_BUTTON_CREATTIME"));
  modifyButton->setText(platform::Localized("PAGE_FOUR_SELECT_TYPE_BUTTON_MODIFYTIME"));
  const QColor tabTitle(174, 184, 222);
  for (KVTabButton* button : {pathButton, typeButton, timeButton, creatButton, modifyButton})
    setButtonTitleColor(button, tabTitle);
  bSave = 0;
  flowSelectedIndex = 0;
  publicItem.reset();
  // The fade-in comes with showWindow(); resizes reach windowDidResize
  // through the event filter.
  rectNew = QRect();
  defaultLayout = hoverLayout = selectionLayout = CNGridViewItemLayout::defaultLayout();
  nImageState = -1;
  gridImageState = -1;
}

void KVDeletailWindowController::windowDidLoad() {
  for (CustomTableView* table : {tableView, coverFlowerTableView}) {
    table->horizontalHeader()->setStretchLastSection(true);
    table->horizontalHeader()->setSectionsMovable(false);
  }
  aWindow->setTitleBarHeight(kTitleBarHeight);
  aWindow->setTrafficLightButtonsLeftMargin(13);
  aWindow->setTopButtonMoveUp(35);
  titleBarView = aWindow->titleBarView();
  isCanClick = 1;
  isCloseWindow = isPause = isImport = 0;
  buildDetailViewWindowTitleBar();
  listViewTableHeaderView();
  changeCoverViewTableHeaderView();
  connectTreeKindButtons();

  allDiskArr.clear();
  allTypeArr.clear();
  allCreatTimeArr.clear();
  allModifyTimeArr.clear();
  arrList.clear();
  photos.clear();
  flowView->setBackgroundColor(Qt::black);

  if (refreshTimer != nullptr) {
    refreshTimer->stop();
    refreshTimer->deleteLater();
    refreshTimer = nullptr;
  }
  viewLoadCnt = 0;
  isDeepScan = KVUIController::IsDeepScan() ? 1 : 0;
  segment->setEnabled(isDeepScan == 0);

  TCWindowButton* close = aWindow->windowButton(static_cast<int>(TCWindowButton::Kind::Close));
  QObject::disconnect(close, &QAbstractButton::clicked, nullptr, nullptr);
  QObject::connect(close, &QAbstractButton::clicked, this, [this] { closeWindow(); });

  quitAction = new QAction(aWindow);
  quitAction->setShortcut(KVMainMenu::kQuitKey);
  QObject::connect(quitAction, &QAction::triggered, this, [] { KVMainMenu::quitApplication(); });
  aWindow->addAction(quitAction);
}

void KVDeletailWindowController::showWindow() {
  if (aWindow == nullptr) return;
  fader_->fadeIn();
  aWindow->raise();
  aWindow->activateWindow();
  if (std::exchange(loadSheetsWaiting_, false) && !closing_) sayUnverifiedLoad();
}

void KVDeletailWindowController::setSelectDiskVolumeData(const DiskVolumeNodeData& row) {
  selectDiskVolumeData = CopyRow(row);
  // Without it a pulled-out disk would go unnoticed: a disk stands for
  // itself, a volume for the disk that holds it.
  if (selectDiskVolumeData->parentName().isEmpty()) {
    selectDiskVolumeData->setParentName(row.volumeIndex() < 0 ? row.name() : DiskName(row.diskIndex()));
  }
}

// ---- Scans ----

void KVDeletailWindowController::dropResultRows() {
  // The date rows too, whose month rows hold files of their own.
  stopImageLoading();
  stopGridImageLoading();
  opDataFile = nullptr;
  opDataFileRoot_.reset();
  clearFileList();
  gridMainView->reloadData();
  for (KVRowArray* rows : {&allDiskArr, &allTypeArr, &allCreatTimeArr, &allModifyTimeArr}) rows->clear();
  reloadOutlines();
}

void KVDeletailWindowController::getData() {
  // Before the next scan is asked for: it releases the nodes.
  dropResultRows();
  isDeepScan = 0;
  isCreateTimeTreeRebuild = isModifyTimeTreeRebuild = 1;
  damageSaid_ = false;
  observeResults();
  startScan();
}

void KVDeletailWindowController::startScan() {
  const bool started = scanStarter_ && scanStarter_(selectDiskVolumeData.get(), QString::fromLatin1(kScanNotification));
  if (!started) scanCouldNotStart();
}

void KVDeletailWindowController::sayDamagedVolumes() {
  if (damageSaid_ || KVUIController::GetDamagedVolumeCount() == 0) return;
  damageSaid_ = true;
  uint64_t size = 0, count = 0;
  KVUIController::GetScanFileSize(&size, &count);
  // The sheet says it: the bubble's suggestion would only repeat it.
  popupViewHidden();
  beginSheet(count > 0 ? QStringLiteral("PAGE_FOUR_VOLUME_DAMAGED") : QStringLiteral("PAGE_FOUR_VOLUME_UNREADABLE"),
             [this](int answer) {
               if (answer == 1 && !closing_ && !KVUIController::IsScanRunning()) deepSrcanButtonAction();
             });
}

void KVDeletailWindowController::sayUnverifiedLoad() {
  if (!aWindow->isVisible()) {
    loadSheetsWaiting_ = true;
    return;
  }
  // Its sheet still open (the load's end heard again): its answer says the
  // rest.
  if (unverifiedSaid_ && sheet_ && sheet_->isOpen()) return;
  if (unverifiedSaid_ || !KVUIController::IsLoadUnverified()) {
    sayVolumeChanged();
    return;
  }
  unverifiedSaid_ = true;
  // One sheet at a time: the count of changed files follows this one.
  beginSheet(
      QStringLiteral("PAGE_FOUR_LOAD_UNVERIFIED"),
      [this](int) {
        if (!closing_) sayVolumeChanged();
      },
      false);
}

void KVDeletailWindowController::sayVolumeChanged() {
  if (changeSaid_) return;
  const uint64_t changed = KVUIController::GetLoadChangedFiles();
  if (changed == 0) return;
  changeSaid_ = true;
  sheet_ = KVAlert::BeginWithTexts(aWindow, platform::Localized("PAGE_FOUR_VOLUME_CHANGED_TITLE"),
                                   platform::LocalizedFormat("PAGE_FOUR_VOLUME_CHANGED_NODE",
                                                             {QVariant::fromValue(static_cast<qlonglong>(changed))}),
                                   platform::Localized("PAGE_FOUR_VOLUME_CHANGED_YES_BUTTON"), QString(), [](int) {});
}

// A scan that was refused (the device is gone from the list, or another
// operation holds the engine) would leave the window waiting for news that
// never comes: it says so, and the user goes back to choose again.
void KVDeletailWindowController::scanCouldNotStart() {
  isCanClick = 1;
  loadImageView->stopAnimation();
  beginSheet(
      QStringLiteral("PAGE_FOUR_SCAN_START_FAILED"), [this](int) { doBackHomeAction(0); }, false);
}

void KVDeletailWindowController::getImportData(const QString& /*path*/) {
  isImport = 1;
  unverifiedSaid_ = changeSaid_ = loadSheetsWaiting_ = false;
  SetVisible({findFilesLabel, remainTimeLabel, pauseButton, stopButton, progressView, loadImageView, continueButton,
              deepScanLabel},
             false);
  backHomeButton->setButtonEnabled(true);
  isCreateTimeTreeRebuild = isModifyTimeTreeRebuild = 1;
  startRestorePolling();
  observeResults();
}

// The load (started by the wizard) posts the scan notification while it
// brings rows. A load that is already over posts nothing more: its result
// is shown at once.
void KVDeletailWindowController::startRestorePolling() {
  KVUIController::RestorPostUIUpdate(QString::fromLatin1(kScanNotification), 0);
  uint64_t total = 0, current = 0, error = 0;
  KVUIController::GetSaveorRestoreProgress(&total, &current, &error, 0);
  if (current >= total) QTimer::singleShot(0, this, [this] { DataInitFinished(); });
}

void KVDeletailWindowController::observeResults() {
  const struct {
    const char* name;
    std::function<void(const platform::Notification&)> handler;
  } observers[] = {
      {kScanNotification, [this](const platform::Notification&) { DataInitFinished(); }},
      {kSearchNotification, [this](const platform::Notification& n) { SearchTreeView(n); }},
      {kRecoveryNotification, [this](const platform::Notification& n) { recoveryAction(n); }},
  };
  for (const auto& observer : observers) {
    const QString name = QString::fromLatin1(observer.name);
    Center().RemoveObserver(this, name);
    Center().AddObserver(name, this, observer.handler);
  }
}

void KVDeletailWindowController::clearImportData() { Center().RemoveObserver(this); }

void KVDeletailWindowController::DataInitFinished() {
  if (closing_) return;
  if (KVRowArray* rows = currentTreeArray()) KVUIController::GetScanTreeNodeData(rows, 0);
  reloadOutlines();
  getScanProgress();
  if (closing_ || isCloseWindow) return;
  // One expansion a second at most, however often the scan has news.
  if (!expandTimer_->isPending()) expandTimer_->start(kExpandDelayMs, [this] { ExpandeRootItem(); });
  if (!KVUIController::IsScanRunning()) {
    SelectRootItem();
    setFoundAllFiles();
  }
  showNoValueNote();
}

void KVDeletailWindowController::setRemainingTimeText(const QString& text) {
  remainTimeLabel->setText(platform::LocalizedFormat("PAGE_FOUR_REMAININGTIME", {text}));
}

void KVDeletailWindowController::setFilesFoundText(const QString& count) {
  findFilesLabel->setText(platform::LocalizedFormat("PAGE_FOUR_FILESFOUND", {count}));
}

void KVDeletailWindowController::setAllFilesSizeText() {
  uint64_t size = 0, count = 0;
  KVUIController::GetScanFileSize(&size, &count);
  selectFilesLabel->setText(platform::LocalizedFormat(
      "PAGE_FOUR_ALL_FILES_SIZE",
      {KVPublicUtilities::longlongConvertVolSpace(static_cast<long long>(size)), QVariant::fromValue(count)}));
}

void KVDeletailWindowController::getScanProgress() {
  isDeepScan = KVUIController::IsDeepScan() ? 1 : 0;
  segment->setEnabled(isDeepScan == 0 || isPause != 0);
  double percent = 0;
  uint64_t found = 0;
  const QString remaining = KVUIController::GetScanProgress(&percent, &found);
  const qint64 now = QDateTime::currentSecsSinceEpoch();
  if (lastUpdateTime == 0 || now >= lastUpdateTime + 1) {
    setRemainingTimeText(remaining);
    lastUpdateTime = now;
  }
  setFilesFoundText(QString::number(static_cast<qlonglong>(found)));
  progressView->changeProgressValue(percent < 1.0 ? 0.0f : static_cast<float>(percent));

  if (!KVUIController::IsScanRunning()) {
    // The scan ended, was stopped or a load ended: browsing from now on.
    flowView->cacheManager()->freeCache();
    if (selectTypeCount != kPathTree) {
      // The path tree is always brought up to date.
      KVUIController::SetViewType(kPathTree);
      KVUIController::RefreshData();
      KVUIController::GetScanTreeNodeData(&allDiskArr, 0);
      KVUIController::SetViewType(static_cast<int>(selectTypeCount));
    }
    segment->setEnabled(true);
    SetVisible(
        {continueButton, deepScanLabel, progressView, loadImageView, pauseButton, stopButton, continueScanButton},
        false);
    loadImageView->stopAnimation();
    recovertyButton->show();
    selectFilesLabel->setAlignment(Qt::AlignCenter);
    setFrame(selectFilesLabel, QRectF(40, 40, 380, 18), KitAutoresizer::kWidthSizable);
    setFrame(recovertyButton, QRectF(abox->width() / 2.0 - 50, 10, 100, 30),
             KitAutoresizer::kMinXMargin | KitAutoresizer::kMaxXMargin);
    findFilesLabel->hide();
    remainTimeLabel->hide();
    selectFilesLabel->show();
    search->setEnabled(true);
    isDeepScan = KVUIController::IsDeepScan() ? 1 : 0;
    createExportButton(isDeepScan != 0 ? 1 : 0);
    if (isDeepScan == 0 && isImport == 0) {
      continueButton->show();
      deepScanLabel->show();
      if (!deepScanVC) {
        deepScanVC = std::make_unique<KVDeepScanViewController>();
        deepScanVC->setDelegate(this);
        showPopoverWithViewController(deepScanVC.get());
      }
    }
    ExpandeRootItem();
    isCanClick = 1;
    if (isCloseWindow != 0) {
      // Once: later news of the ended scan must not ask again.
      closing_ = true;
      clearImportData();
      aWindow->hide();
      Center().Post(QStringLiteral("appWillTerminate"));
      return;
    }
    if (isSelectBackHome != 0) {
      doBackHomeAction(1);
      return;
    }
    setAllFilesSizeText();
    if (isDeepScan == 0 && isImport == 0) sayDamagedVolumes();
    if (isImport != 0) sayUnverifiedLoad();
  }
  for (TCImageButton* button : {backHomeButton, pauseButton, stopButton}) button->setButtonEnabled(isCanClick != 0);
}

void KVDeletailWindowController::setFoundAllFiles() { setAllFilesSizeText(); }

// ---- Closing ----

void KVDeletailWindowController::closeWindow() {
  if (isCloseWindow != 0 || closing_) return;
  if (KVUIController::IsScanRunning()) {
    if (!KVUIController::IsPause()) KVUIController::PauseOrResumeScan();
    beginSheet(QStringLiteral("PAGE_FOUR_SCAN_STOP"), [this](int code) {
      if (code == 1) {
        KVUIController::StopScan(1);
        isCanClick = 0;
        isCloseWindow = 1;
        isPause = 0;
        getScanProgress();
        for (TCImageButton* button : {backHomeButton, pauseButton, stopButton, continueScanButton})
          button->setButtonEnabled(false);
      } else {
        if (isPause == 0) KVUIController::PauseOrResumeScan();
        isCanClick = 1;
      }
    });
    return;
  }
  if (!SaveScanResult()) return;
  stopImageLoading();
  stopGridImageLoading();
  closing_ = true;
  clearImportData();
  aWindow->hide();
  Center().Post(QStringLiteral("appWillTerminate"));
}

void KVDeletailWindowController::RefreshDevice(const platform::Notification& notification) {
  const QString gone = notification.object.toMap().value(QStringLiteral("USBPath")).toString();
  if (!selectDiskVolumeData || gone.isEmpty() || gone != selectDiskVolumeData->parentName()) return;
  KVUIController::StopScan(1);
  beginDetachSheet();
  Center().RemoveObserver(this, QString::fromLatin1(kDetachNotification));
}

// The detach message is the same in every language.
void KVDeletailWindowController::beginDetachSheet() {
  sheet_ =
      KitAlert::BeginSheetWithTexts(aWindow, QStringLiteral("Message"), QStringLiteral("The usb device is detatched!"),
                                    QStringLiteral("OK"), {}, [this](int code) {
                                      if (code == 1) doBackHomeAction(0);
                                    });
}

void KVDeletailWindowController::beginSheet(const QString& stem, std::function<void(int)> completion,
                                            bool withNoButton) {
  sheet_ = KVAlert::Begin(aWindow, stem, std::move(completion), withNoButton);
}

bool KVDeletailWindowController::eventFilter(QObject* watched, QEvent* event) {
  if (watched == aWindow) {
    if (event->type() == QEvent::Resize) {
      windowDidResize();
    } else if (event->type() == QEvent::Close && event->spontaneous()) {
      // The window manager's close asks like the close button; the window's
      // own closes go on to their fade.
      event->ignore();
      closeWindow();
      return true;
    }
  }
  return QObject::eventFilter(watched, event);
}

void KVDeletailWindowController::windowDestroyed() {
  // Its views went with it: nothing may reach them any more.
  aWindow = nullptr;
  closing_ = true;
  Center().RemoveObserver(this);
  for (KitOwnedTimer* timer : {expandTimer_, popoverTimer_, startTimer_}) timer->cancel();
  deleteLater();
}

void KVDeletailWindowController::SetVisible(std::initializer_list<QWidget*> widgets, bool visible) {
  for (QWidget* widget : widgets) widget->setVisible(visible);
}
