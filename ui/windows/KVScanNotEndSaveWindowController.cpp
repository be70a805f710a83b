#include "ui/windows/KVScanNotEndSaveWindowController.h"

#include <QLabel>

#include "platform/Localized.h"
#include "ui/widgets/KitStyle.h"
#include "ui/widgets/TCImageButton.h"
#include "ui/windows/KVScanEndSaveWindowController.h"
#include "ui/windows/KVSmallWindow.h"

namespace {

constexpr int kMargin = 24;

}  // namespace

KVScanNotEndSaveWindowController::KVScanNotEndSaveWindowController(QObject* parent) : QObject(parent) {
  aWindow = new KVSmallWindow(QSize(kWidth, kHeight), 13);
  windowDidLoad();
}

KVScanNotEndSaveWindowController::~KVScanNotEndSaveWindowController() {
  // Gone from the screen at once; deleted once any event of its own is over.
  if (!aWindow) return;
  aWindow->hide();
  aWindow->deleteLater();
}

KVSmallWindow* KVScanNotEndSaveWindowController::window() const { return aWindow; }

void KVScanNotEndSaveWindowController::windowDidLoad() {
  QWidget* content = aWindow->contentView();
  showRecoveryNoteLabel = KVSmallWindow::Label(content, QString(), 13, Qt::white, Qt::AlignLeft | Qt::AlignTop, true);
  showRecoveryNoteLabel->setGeometry(kMargin, 18, kWidth - 2 * kMargin, 40);
  savePathLabel = new KVPathLink(QRect(kMargin, 62, kWidth - 2 * kMargin, 20), content, [this] { jumpToSavePath(); });
  okButton = KVScanEndSaveWindowController::MakeOkButton(content, kWidth, kHeight, [this] { okButtonAction(); });
  okButton->setButtonEnabled(true);
}

void KVScanNotEndSaveWindowController::changeRecoveryFilesPoint(double files, const QString& path) {
  showRecoveryNoteLabel->setText(platform::LocalizedFormat("PAGE_FOUR_RECOVER_NOTEND_NODE", {files}));
  savePathLabel->setPath(path);
  savePtahStr_ = path;
}

void KVScanNotEndSaveWindowController::runModal(std::function<void()> closed) {
  aWindow->setClosedHandler(std::move(closed));
  aWindow->showApplicationModal();
}

void KVScanNotEndSaveWindowController::jumpToSavePath() { KVScanEndSaveWindowController::OpenFolder(savePtahStr_); }

void KVScanNotEndSaveWindowController::okButtonAction() {
  if (aWindow) aWindow->close();
}
