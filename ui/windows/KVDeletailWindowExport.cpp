// Saving the scan result from the results window to an ".rsf" file.
#include "platform/Localized.h"
#include "ui/widgets/HVTitlebarView.h"
#include "ui/widgets/KitAutoresizer.h"
#include "ui/widgets/TCImageButton.h"
#include "ui/windows/KVDeletailWindowController.h"

// The button comes with the end of a scan, never for a loaded result; a
// deep scan's result has no tooltip on it.
void KVDeletailWindowController::createExportButton(int show) {
  if (isImport != 0) return;
  if (exportButton == nullptr) {
    exportButton = new TCImageButton(titleBarView);
    exportButton->setImageStem(QStringLiteral("export"));
    // 34 points from the right edge (x 966 in a bar 1000 wide), whatever the
    // bar's width when the scan ends.
    setFrame(exportButton, QRectF(titleBarView->width() - 34, 70, 16, 16), KitAutoresizer::kMinXMargin);
    if (show == 0) exportButton->setToolTip(platform::Localized("PAGE_FOUR_SAVE_BUTTON_TIP"));
    QObject::connect(exportButton, &QAbstractButton::clicked, this, [this] { exportButtonAction(); });
    exportButton->show();
  }
  if (show == 1) exportButton->show();
}

// Saving from the button is not offered yet.
void KVDeletailWindowController::exportButtonAction() {}
