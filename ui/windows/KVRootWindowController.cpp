#include "ui/windows/KVRootWindowController.h"

#include <QFileDialog>
#include <QFileInfo>
#include <QKeyEvent>
#include <QLabel>

#include <cstdio>

#include "app/KVNode.h"
#include "app/KVUIController.h"
#include "platform/Localized.h"
#include "platform/NotificationCenter.h"
#include "ui/widgets/HVTitlebarView.h"
#include "ui/widgets/TCImageButton.h"
#include "ui/windows/KVProgressWindow.h"
#include "ui/windows/KVSmallWindow.h"

namespace {

const QString kInitFinished = QStringLiteral("aInitFinished");
const QString kShowDetailWindow = QStringLiteral("ShowDetailWindow");

// A single volume counts twice when this much of its disk lies outside it.
constexpr uint64_t kWholeDiskMargin = 100000;

// The wizard is the application's main window: Escape does not close it
// (and so end the application) as it closes the small windows.
class KeepOpenOnEscape : public QObject {
 public:
  explicit KeepOpenOnEscape(QWidget* window) : QObject(window) { window->installEventFilter(this); }

 protected:
  bool eventFilter(QObject* watched, QEvent* event) override {
    if (event->type() == QEvent::KeyPress && static_cast<QKeyEvent*>(event)->key() == Qt::Key_Escape) return true;
    return QObject::eventFilter(watched, event);
  }
};

void Activate(QWidget* window) {
  if (window == nullptr) return;
  window->raise();
  window->activateWindow();
}

}  // namespace

// ---- the rules -----------------------------------------------------------------

KVRootWindowController::DiskPageChoice KVRootWindowController::ChooseDiskPage(const KVDeviceRows& rows) {
  DiskPageChoice choice;
  for (const auto& disk : rows) {
    if (disk == nullptr || disk->numberOfChildren() == 0) continue;
    uint64_t lastCapacity = 0;
    for (size_t k = 0; k < disk->numberOfChildren(); ++k) {
      DiskVolumeNodeData* volume = disk->childAtIndex(k);
      ++choice.candidates;
      lastCapacity = volume->capacity();
      choice.lastVolume = volume;
      if (choice.candidates == 1) choice.firstVolume = volume;
    }
    if (choice.candidates == 1 && disk->capacity() > lastCapacity &&
        disk->capacity() - lastCapacity >= kWholeDiskMargin)
      ++choice.candidates;
  }
  // Without any volume there is nothing to go straight to: the page lets
  // the user pick a disk.
  choice.skipDiskPage = choice.candidates < 2 && !rows.empty() && choice.lastVolume != nullptr;
  return choice;
}

QRect KVRootWindowController::ResultsWindowFrame(const QRect& wizardFrame, const QSize& resultsSize) {
  const int bottom = wizardFrame.y() + wizardFrame.height() + kResultsWindowDrop;
  return {wizardFrame.x(), bottom - resultsSize.height(), resultsSize.width(), resultsSize.height()};
}

// ---- the window ----------------------------------------------------------------

KVRootWindowController::KVRootWindowController(KVWizardServices services, QObject* parent)
    : QObject(parent), services_(std::move(services)) {
  windowDidLoad();
}

KVRootWindowController::~KVRootWindowController() {
  removeObservers();
  // The pages first: their views live in the window.
  selectDiskVC_.reset();
  selectTypeVC_.reset();
  if (aWindow) aWindow->deleteLater();
}

void KVRootWindowController::windowDidLoad() {
  if (services_.isAppRunning && services_.isAppRunning()) {
    std::printf("Clipmender: another process of the application runs; this one ends.\n");
    std::fflush(stdout);
    KVUIController::CloseApp();
  }
  // The extension lists reached the engine at start, before the category
  // filter was first made: the filter reads them only then.
  platform::NotificationCenter::DefaultCenter().AddObserver(
      kShowDetailWindow, this, [this](const platform::Notification&) { showDetailWindow(); });

  aWindow = new KVSmallWindow(QSize(kWidth, kHeight), 8, 1);
  aWindow->center();
  importButton = new TCImageButton(QRect(966, 2, 16, 16), aWindow->titleBarView());
  importButton->setImageStem(QStringLiteral("import"));
  importButton->setToolTip(platform::Localized("PAGE_TWO_IMPORT_BUTTON_TIP"));
  importButton->hide();
  QObject::connect(importButton, &QAbstractButton::clicked, this, [this] { importButtonClick(); });

  showCategoryPage();
  aWindow->setCloseButtonAction([this] { closeWindow(); });
  // Whatever closes the window (its button, the window manager), the
  // application ends with it; a hand-over only hides it.
  aWindow->setClosedHandler([this] {
    if (!handedOver_) platform::NotificationCenter::DefaultCenter().Post(QStringLiteral("appWillTerminate"));
  });
  new KeepOpenOnEscape(aWindow);
  if (services_.releaseDataRecovery) services_.releaseDataRecovery();
}

QLabel* KVRootWindowController::titleLabel() const { return aWindow ? aWindow->titleLabel() : nullptr; }

void KVRootWindowController::showWindow() {
  if (!aWindow) return;
  aWindow->fadeIn();
  Activate(aWindow);
}

void KVRootWindowController::closeWindow() {
  if (aWindow) aWindow->close();
}

void KVRootWindowController::removeObservers() { platform::NotificationCenter::DefaultCenter().RemoveObserver(this); }

// ---- pages ---------------------------------------------------------------------

void KVRootWindowController::showCategoryPage() {
  selectTypeVC_ = std::make_unique<KVSelectTypeViewController>();
  selectTypeVC_->setDelegate(this);
  QWidget* view = selectTypeVC_->view();
  view->setParent(aWindow->contentView());
  view->move(0, 0);
  view->show();
  selectTypeVC_->setSelectAllCount(KVSelectTypeViewController::kNone);
  selectTypeVC_->allTypesButtonClick();
  whichPage_ = kCategoryPage;
  importButton->hide();
}

void KVRootWindowController::animationContinueViewFristView(QWidget* first, QWidget* second) {
  second->move(0, 0);
  second->show();
  second->raise();
  first->move(-aWindow->contentView()->width(), 0);
  first->hide();
}

void KVRootWindowController::animationBackViewFristView(QWidget* first, QWidget* second) {
  first->move(0, 0);
  first->show();
  first->raise();
  second->move(aWindow->contentView()->width(), 0);
  second->hide();
}

void KVRootWindowController::beginToStartScan() { selectTypesContinouButtonClick(); }

void KVRootWindowController::changeContinueButtonState(const QStringList& selected) {
  uint32_t mask = 0;
  for (const QString& value : selected) mask |= value.toUInt();
  selectValues_ = mask;
}

void KVRootWindowController::changeSelectDiskViewContinueButtonEnabled(std::shared_ptr<DiskVolumeNodeData> row) {
  if (row) selectVolumeData_ = std::move(row);
}

void KVRootWindowController::doubleClickedListToScan() { selectTypesContinouButtonClick(); }

void KVRootWindowController::backHomeButtonAction() { backHome(); }

void KVRootWindowController::selectTypesContinouButtonClick() {
  if (whichPage_ == kCategoryPage) {
    getDiskData();
  } else if (whichPage_ == kDiskStep) {
    handOver();
  }
}

void KVRootWindowController::getDiskData() {
  removeObservers();
  platform::NotificationCenter::DefaultCenter().AddObserver(kInitFinished, this,
                                                            [this](const platform::Notification&) { InitFinished(); });
  if (services_.notifyDeviceInfoAfterInit) services_.notifyDeviceInfoAfterInit(kInitFinished);
}

void KVRootWindowController::InitFinished() {
  // One listing per Start: a second announcement finds no observer.
  removeObservers();
  auto rows = std::make_shared<KVDeviceRows>();
  if (services_.getDeviceInfoToArray) services_.getDeviceInfoToArray(rows.get());
  const DiskPageChoice choice = ChooseDiskPage(*rows);

  importButton->show();
  whichPage_ = kDiskStep;
  if (services_.setRecoveryType) services_.setRecoveryType(selectValues_);
  selectVolumeData_.reset();

  if (choice.skipDiskPage) {
    for (const auto& disk : *rows) {
      for (size_t k = 0; k < disk->numberOfChildren(); ++k) {
        if (disk->childAtIndex(k) == choice.lastVolume) choice.lastVolume->setParentName(disk->name());
      }
    }
    selectVolumeData_ = std::shared_ptr<DiskVolumeNodeData>(rows, choice.lastVolume);
    handOver();
    return;
  }

  if (selectDiskVC_) {
    // Made anew for every visit; the old one's view goes with it.
    if (QWidget* old = selectDiskVC_->view()) old->deleteLater();
    selectDiskVC_.reset();
  }
  selectDiskVC_ = std::make_unique<KVSelectDiskViewController>(services_);
  selectDiskVC_->setDelegate(this);
  QWidget* view = selectDiskVC_->view();
  view->setParent(aWindow->contentView());
  animationContinueViewFristView(selectTypeVC_->view(), view);
  selectDiskVC_->setSelectDiskVolume(choice.firstVolume);
  selectDiskVC_->setAllDiskArr(std::move(rows));
  selectDiskVC_->InitFinished();
}

void KVRootWindowController::backHome() {
  if (whichPage_ != kDiskStep || importing_) return;
  if (selectDiskVC_) animationBackViewFristView(selectTypeVC_->view(), selectDiskVC_->view());
  whichPage_ = kCategoryPage;
  importButton->hide();
}

void KVRootWindowController::handOver() {
  // Nothing picked, nothing to scan: Continue is not usable then either.
  if (!selectVolumeData_ || importing_) return;
  if (selectDiskVC_) {
    selectDiskVC_->removeNotification();
    selectDiskVC_->disableRefreshDevice();
  }
  const QRect frame = aWindow->frameGeometry();
  handedOver_ = true;
  aWindow->hide();
  importButton->hide();
  removeObservers();
  if (hooks_.openForScan) hooks_.openForScan(selectVolumeData_, frame);
}

// ---- loading a saved result ------------------------------------------------------

QString KVRootWindowController::chooseImportFile() {
  const QString start = services_.getSavePath ? services_.getSavePath() : QString();
  if (chooser_) return chooser_(start);
  QFileDialog panel(aWindow, QString(), QString(), QStringLiteral("*.rsf"));
  panel.setOption(QFileDialog::DontUseNativeDialog);
  panel.setFileMode(QFileDialog::ExistingFile);
  panel.setAcceptMode(QFileDialog::AcceptOpen);
  if (!start.isEmpty()) {
    const QFileInfo where(start);
    if (where.isDir()) {
      panel.setDirectory(start);
    } else {
      panel.setDirectory(where.absolutePath());
      panel.selectFile(start);
    }
  }
  if (panel.exec() != QDialog::Accepted) return {};
  return panel.selectedFiles().value(0);
}

void KVRootWindowController::importButtonClick() {
  if (whichPage_ != kDiskStep || importing_) return;
  const QString path = chooseImportFile();
  if (path.isEmpty()) return;
  if (services_.setRecoveryType) services_.setRecoveryType(kImportMask);
  importFilePath_ = path;
  importButton->hide();
  importing_ = true;
  platform::NotificationCenter::DefaultCenter().AddObserver(
      kShowDetailWindow, this, [this](const platform::Notification&) { showDetailWindow(); });

  auto progress = std::make_unique<KVProgressWindow>(services_.getSaveorRestoreProgress);
  progressWindow_ = progress.get();
  progress->setStrPostName(QStringLiteral("NormalScranValue"));
  progress->setBSave(false);
  progress->setDamageSource(services_.getLoadDamage);
  progress->window()->center();
  getImportDataForDetialPage();
  progress->runModal();
  Activate(aWindow);
  removeObservers();

  if (progress->getResult() == 0) {
    progress.reset();
    if (hooks_.discardImport) hooks_.discardImport();
    // The wizard goes on where it was: the import can be tried again, and
    // the disk page follows media changes again.
    importing_ = false;
    importButton->show();
    if (selectDiskVC_) selectDiskVC_->enableRefreshDevice();
    return;
  }
  progress.reset();
  if (selectDiskVC_) selectDiskVC_->view()->hide();
  handedOver_ = true;
  aWindow->hide();
  if (hooks_.showImported) hooks_.showImported();
  importing_ = false;
}

void KVRootWindowController::getImportDataForDetialPage() {
  if (selectDiskVC_) selectDiskVC_->disableRefreshDevice();
  const bool started = services_.beginSaveOrRestoreNode && services_.beginSaveOrRestoreNode(0, importFilePath_);
  // Only a load that started can be given up; one refused has ended.
  if (started && progressWindow_) progressWindow_->setStopAction(services_.stopRestore);
  if (hooks_.openForImport) hooks_.openForImport(importFilePath_, aWindow->frameGeometry());
}

void KVRootWindowController::showDetailWindow() {
  if (importing_ && hooks_.showImported) hooks_.showImported();
}
