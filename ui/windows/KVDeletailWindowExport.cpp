// Saving the scan result from the results window to an ".rsf" file: the
// file is chosen in a save panel (the default save folder, the device's name
// and the time as the name), a folder on the scanned disk is warned about,
// and the save runs under the progress window. The application core writes
// the file under a temporary name and puts it in place only when whole, so
// a failed save leaves nothing behind; the progress window says it failed,
// and only a file saved whole is remembered for the next import.
#include <QFileDialog>
#include <QFileInfo>
#include <QPointer>
#include <QTimer>

#include "base/CatchExeception.h"
#include "platform/Localized.h"
#include "ui/widgets/HVTitlebarView.h"
#include "ui/widgets/KitAutoresizer.h"
#include "ui/widgets/KitSheet.h"
#include "ui/widgets/TCImageButton.h"
#include "ui/widgets/TCImageWindow.h"
#include "ui/windows/KVAlert.h"
#include "ui/windows/KVDeletailWindowController.h"
#include "ui/windows/KVProgressWindow.h"
#include "ui/windows/KVSmallWindow.h"

namespace {

const QString kSaveProgress = QStringLiteral("QueryProgressInfo");
const QString kExtension = QStringLiteral(".rsf");

QString SavePanel(QWidget* parent, const QString& folder, const QString& name) {
  QFileDialog panel(parent, QString(), folder, QLatin1Char('*') + kExtension);
  panel.setOption(QFileDialog::DontUseNativeDialog);
  panel.setAcceptMode(QFileDialog::AcceptSave);
  panel.setFileMode(QFileDialog::AnyFile);
  panel.setDefaultSuffix(kExtension.mid(1));
  panel.selectFile(name);
  if (panel.exec() != QDialog::Accepted) return {};
  return panel.selectedFiles().value(0);
}

}  // namespace

// The button comes with the end of a scan, never for a loaded result; only
// a quick scan's result has the tooltip on it.
void KVDeletailWindowController::createExportButton(int show) {
  if (isImport != 0) return;
  if (exportButton == nullptr) {
    exportButton = new TCImageButton(titleBarView);
    exportButton->setImageStem(QStringLiteral("export"));
    // 34 points from the right edge (x 966 in a bar 1000 wide), whatever the
    // bar's width when the scan ends.
    setFrame(exportButton, QRectF(titleBarView->width() - 34, 70, 16, 16), KitAutoresizer::kMinXMargin);
    QObject::connect(exportButton, &QAbstractButton::clicked, this, [this] { exportButtonAction(); });
    exportButton->show();
  }
  exportButton->setToolTip(show == 0 ? platform::Localized("PAGE_FOUR_SAVE_BUTTON_TIP") : QString());
  if (show == 1) exportButton->show();
}

void KVDeletailWindowController::exportButtonAction() {
  const QString folder = KVUIController::GetDefaultSavePath();
  const QString name = KVUIController::GetSaveFileName();
  QString path = exportChooser_ ? exportChooser_(folder, name) : SavePanel(aWindow, folder, name);
  if (path.isEmpty()) return;
  if (!path.endsWith(kExtension, Qt::CaseInsensitive)) path += kExtension;
  const QString chosenFolder = QFileInfo(path).absolutePath();
  const bool sameDevice =
      sameDevice_ ? sameDevice_(chosenFolder) : KVUIController::IsRecoveryToSameDevice(chosenFolder);
  if (!sameDevice) {
    saveScanResultTo(path);
    return;
  }
  // 1 chooses again, 0 gives up, -1 saves there all the same. The answer
  // is acted on once the alert has gone. The alert has a window of its own
  // that holds every window of the application until answered.
  sheet_ = KVAlert::BeginWithTexts(
      nullptr, platform::Localized("SAVE_SAME_DISK_WARNING"), platform::Localized("SAVE_SAME_DISK_PROMPT"),
      platform::Localized("CHANG_DESTINATION"), platform::Localized("PAGE_FOUR_SCAN_STOP_NO_BUTTON"),
      [this, path](int code) {
        if (code == 1) {
          QTimer::singleShot(0, this, [this] { exportButtonAction(); });
        } else if (code == -1) {
          QTimer::singleShot(0, this, [this, path] { saveScanResultTo(path); });
        }
      },
      platform::Localized("PAGE_FOUR_SCAN_STOP_YES_BUTTON"));
}

bool KVDeletailWindowController::saveScanResultTo(const QString& path) {
  CatchExeception::WriteLog("Call Logic code save file %s\n", path.toUtf8().constData());
  // Observing before the save starts: its end cannot pass unseen.
  KVProgressWindow progress;
  progress.setStrPostName(kSaveProgress);
  progress.setBSave(true);
  progress.window()->center();
  KVUIController::RestorPostUIUpdate(kSaveProgress, 1);
  KVUIController::beginSaveOrRestoreNode(1, path);
  const QPointer<KVDeletailWindowController> self = this;
  progress.runModal();
  if (!self) return false;
  if (aWindow != nullptr) {
    aWindow->raise();
    aWindow->activateWindow();
  }
  if (progress.getResult() == 0) return false;
  bSave = 1;
  KVUIController::SavePathToPList(path);
  return true;
}
