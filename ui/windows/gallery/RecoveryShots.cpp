#include "ui/windows/gallery/RecoveryShots.h"

#include <QDir>
#include <QFileDialog>
#include <QStringList>

#include "platform/NotificationCenter.h"
#include "ui/widgets/KitSheet.h"
#include "ui/widgets/TCImageButton.h"
#include "ui/windows/KVDeletailWindowController.h"
#include "ui/windows/KVRecoveryServices.h"
#include "ui/windows/KVScanEndSaveWindowController.h"
#include "ui/windows/KVScanNotEndSaveWindowController.h"
#include "ui/windows/KVShowScanProgressWindowController.h"
#include "ui/windows/KVSmallWindow.h"
#include "ui/windows/gallery/ResultsScene.h"

namespace {

const auto Until = resultsscene::PumpUntil;

// What the gallery's recovery says: a destination as the test of the
// moment wants it, and a recovery of 120 files under way.
struct Told {
  bool writable = true;
  bool sameDevice = false;
  int64_t freeBytes = int64_t(1) << 40;
  bool running = false;
  uint64_t error = 0;
  // Copies that are not the files whole, by their paths in the destination.
  QStringList failed;

  KVRecoveryServices Services() {
    KVRecoveryServices services;
    services.isWritable = [this](const QString&) { return writable; };
    services.isSameDevice = [this](const QString&) { return sameDevice; };
    services.freeSpace = [this](const QString&) { return freeBytes; };
    services.selectedStoredSize = [] { return uint64_t(48) << 20; };
    services.doRecovery = [this](const QString&, const QString&) { return running = true; };
    services.isRecoveryRunning = [this] { return running; };
    services.progress = [this](uint64_t* total, uint64_t* current, uint64_t* error_) {
      *total = uint64_t(48) << 20;
      *current = uint64_t(29) << 20;
      *error_ = error;
      return QStringLiteral("IMG_4031.JPG");
    };
    services.pauseOrResume = [] {};
    services.stop = [this] { running = false; };
    services.recoveredFiles = [] { return uint64_t(73); };
    services.failedFiles = [this](uint64_t* tooLarge) {
      *tooLarge = 0;
      return uint64_t(failed.size());
    };
    services.failedPaths = [this] { return failed; };
    return services;
  }
  static void News() { platform::NotificationCenter::DefaultCenter().Post(QStringLiteral("DoRecovery")); }
};

}  // namespace

bool ShootRecoveryWindows(const std::function<bool(QWidget* window, const QString& file)>& shoot) {
  resultsscene::Scene scene(1, 0);
  Told told;
  auto* results = new KVDeletailWindowController;
  results->setScanStarter([&scene](const DiskVolumeNodeData*, const QString& name) { return scene.Start(name); });
  results->setRecoveryServices(told.Services());
  results->showWindow();
  results->getData();
  bool ok = Until([&] { return !KVUIController::IsScanRunning() && results->recovertyButton->isVisible(); });
  results->popupViewHidden();
  const auto choose = [&] {
    results->recovertyButton->setButtonEnabled(true);
    results->recovrtyButtonClick();
    if (!results->panel) return false;
    results->panel->setDirectory(QDir::tempPath());
    results->openPanelEnded(QDialog::Accepted);
    return true;
  };
  const auto sheet = [&](const QString& file) {
    const bool shot = results->currentSheet() != nullptr && shoot(results->window(), file);
    if (results->currentSheet() != nullptr) results->currentSheet()->end(1);
    return shot;
  };

  results->recovertyButton->setButtonEnabled(true);
  results->recovrtyButtonClick();
  ok = ok && results->panel && shoot(results->panel, QStringLiteral("recovery-chooser.png"));
  if (results->panel) results->panel->reject();
  told.writable = false;
  ok = ok && choose() && sheet(QStringLiteral("recovery-not-writable.png"));
  told.writable = true;
  told.sameDevice = true;
  ok = ok && choose() && sheet(QStringLiteral("recovery-same-disk.png"));
  Until([&] { return results->panel != nullptr; });  // Yes chooses again
  if (results->panel) results->panel->reject();
  told.sameDevice = false;
  told.freeBytes = 4 << 20;
  ok = ok && choose() && sheet(QStringLiteral("recovery-no-space.png"));

  // A recovery under way: its progress, the stop question, a full
  // destination; then the windows that end it.
  told.freeBytes = int64_t(1) << 40;
  ok = ok && choose();
  Told::News();
  KVShowScanProgressWindowController* progress = results->recoveryProgressWindow;
  ok = ok && progress != nullptr && shoot(progress->window(), QStringLiteral("recovery-progress.png"));
  if (progress != nullptr) {
    progress->stopProgressButtonAction();
    ok = shoot(progress->window(), QStringLiteral("recovery-stop-question.png")) && ok;
    progress->noButtonAction();
    told.error = 0x010D000000000D03ull;
    Told::News();
    ok = shoot(progress->window(), QStringLiteral("recovery-out-of-space.png")) && ok;
    progress->cancelButtonAction();
  }
  ok = ok && results->scanNotEndSaceWC != nullptr &&
       shoot(results->scanNotEndSaceWC->window(), QStringLiteral("recovery-stopped.png"));
  if (results->scanNotEndSaceWC != nullptr) results->scanNotEndSaceWC->okButtonAction();
  told.error = 0;
  ok = ok && choose();
  told.running = false;
  Told::News();
  ok = ok && results->scanEndSaveWC != nullptr &&
       shoot(results->scanEndSaveWC->window(), QStringLiteral("recovery-end.png"));
  if (results->scanEndSaveWC != nullptr) results->scanEndSaveWC->okButtonAction();
  // Two copies the volume could not vouch for, named for the user.
  const QString to = QDir::tempPath() + QStringLiteral("/FAT32");
  told.failed = {to + QStringLiteral("/DCIM/100CANON/IMG_4017.JPG"),
                 to + QStringLiteral("/Documents/Budget 2026.xlsx")};
  ok = ok && Until([&] { return results->scanEndSaveWC == nullptr || !results->scanEndSaveWC->window()->isVisible(); });
  ok = ok && choose();
  told.running = false;
  Told::News();
  ok = ok && results->scanEndSaveWC != nullptr &&
       shoot(results->scanEndSaveWC->window(), QStringLiteral("recovery-end-failed.png"));
  if (results->scanEndSaveWC != nullptr) results->scanEndSaveWC->okButtonAction();
  delete results;
  return ok;
}
