#include "ScanControlShots.h"

#include <QApplication>

#include "app/KVUIScan.h"
#include "platform/NotificationCenter.h"
#include "ui/widgets/CustemOutlineView.h"
#include "ui/widgets/KitSheet.h"
#include "ui/widgets/TCImageButton.h"
#include "ui/windows/KVDeletailWindowController.h"
#include "ui/windows/KVProgressWindow.h"
#include "ui/windows/KVSmallWindow.h"
#include "ui/windows/gallery/ResultsScene.h"

namespace {

using resultsscene::PumpUntil;

// The files of the first volume's root folder.
void ChooseFirstRoot(KVDeletailWindowController& results) {
  if (!results.allDiskArr.empty()) results.shouldSelectItem(results.outlineView, results.allDiskArr.front().get());
}

}  // namespace

bool ShootScanControls(const std::function<bool(QWidget* window, const QString& file)>& shoot) {
  resultsscene::Scene scene(1, 1);
  scene.HoldAt(64);
  auto* results = new KVDeletailWindowController;
  results->setScanStarter([&scene](const DiskVolumeNodeData*, const QString& name) { return scene.Start(name); });
  results->showWindow();
  results->getData();
  bool ok = PumpUntil([&] { return scene.IsHeld() && results->pauseButton->isButtonEnabled(); });

  // Paused, with a file ticked.
  results->pauseButtonClick();
  ChooseFirstRoot(*results);
  results->nsbuttonCellClick(0);
  ok = ok && shoot(results->window(), QStringLiteral("results-paused.png"));

  results->stopButtonClick();
  ok = ok && shoot(results->window(), QStringLiteral("results-stop-question.png"));
  if (results->currentSheet() != nullptr) results->currentSheet()->end(0);
  results->pauseButtonClick();
  scene.Release();
  ok = ok && PumpUntil([&] { return !KVUIController::IsScanRunning() && results->recovertyButton->isVisible(); });

  // A deep scan under way, held where its block pass would be.
  results->setDeepScanStarter([&scene](const QString& name) {
    scene.scan().SetDeepScan(1);
    scene.HoldAt(37);
    return scene.Start(name);
  });
  results->deepSrcanButtonAction();
  ok = ok && PumpUntil([&] { return scene.IsHeld() && results->pauseButton->isButtonEnabled(); });
  ok = ok && shoot(results->window(), QStringLiteral("results-deep-scanning.png"));
  scene.Release();
  ok = ok && PumpUntil([&] { return !KVUIController::IsScanRunning() && results->recovertyButton->isVisible(); });

  // Saving onto the scanned disk asks first, in an alert of its own.
  results->setExportFileChooser([](const QString& folder, const QString& name) { return folder + "/" + name; });
  results->setSameDeviceTest([](const QString&) { return true; });
  results->exportButtonAction();
  ok = ok && results->currentSheet() != nullptr &&
       shoot(results->currentSheet()->window(), QStringLiteral("results-export-same-disk.png"));
  if (results->currentSheet() != nullptr) results->currentSheet()->end(0);
  delete results;

  // A save at 42 %.
  KVProgressWindow progress([](uint64_t* total, uint64_t* current, uint64_t* error, int) {
    *total = 1000;
    *current = 420;
    *error = 0;
  });
  progress.setStrPostName(QStringLiteral("QueryProgressInfo"));
  progress.setBSave(true);
  progress.window()->show();
  platform::NotificationCenter::DefaultCenter().Post(QStringLiteral("QueryProgressInfo"));
  ok = shoot(progress.window(), QStringLiteral("progress-save.png")) && ok;
  progress.window()->hide();
  return ok;
}
