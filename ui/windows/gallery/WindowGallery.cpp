// window_gallery OUTPUT-FOLDER
//
// Writes, for review, a PNG of each small window as the user sees it: the
// About window, the update window's four panes (checking, no network, up to
// date, a new version with its notes), the deep-scan bubble over a window,
// a question asked without a window, the application menu in a title bar,
// the wizard's two pages, the progress window of a load, the results window
// while it scans, once it has scanned, on an empty folder, in each of its four
// trees, as a cover flow and a grid of the card's photos (pictures drawn
// here), and with its scan controls (paused, the stop question, a deep scan,
// the question about saving onto the scanned disk, the progress of a save),
// and the recovery's folder chooser, warnings, progress panes, end and stop
// windows. Runs on any Qt platform: offscreen in the tests, the X server in
// CI. No network and no disk are used: the panes are shown from lists made
// here, the disk page lists a machine made here, the results window scans a
// made-up volume and the recovery is one the gallery drives.
#include <QApplication>
#include <QDeadlineTimer>
#include <QDir>
#include <QFile>
#include <QLabel>
#include <QMenu>
#include <QTemporaryDir>

#include <cstdio>

#include "RecoveryShots.h"
#include "ResultTreeShots.h"
#include "ScanControlShots.h"
#include "WizardShots.h"
#include "app/KVAppDelegate.h"
#include "app/KVNode.h"
#include "platform/Resources.h"
#include "ui/widgets/CustemOutlineView.h"
#include "ui/widgets/HVTitlebarView.h"
#include "ui/widgets/KitAnimations.h"
#include "ui/widgets/KitSegmentedControl.h"
#include "ui/widgets/KitSheet.h"
#include "ui/widgets/KitStyle.h"
#include "ui/widgets/MAAttachedWindow.h"
#include "ui/widgets/TCImageButton.h"
#include "ui/windows/KVAboutWindowController.h"
#include "ui/windows/KVAlert.h"
#include "ui/windows/KVCheckUpdateWindowController.h"
#include "ui/windows/KVDeepScanViewController.h"
#include "ui/windows/KVDeletailWindowController.h"
#include "ui/windows/KVKitServices.h"
#include "ui/windows/KVMainMenu.h"
#include "ui/windows/KVSmallWindow.h"
#include "ui/windows/gallery/ResultsScene.h"
#include "ui/windows/gallery/ScenePictures.h"

namespace {

using resultsscene::PumpUntil;

bool Shoot(QWidget* window, const QDir& out, const QString& file) {
  // The widgets' own painting: the same on any platform, shown or not.
  window->show();
  QApplication::processEvents();
  const QString path = out.filePath(file);
  if (!window->grab().toImage().save(path)) {
    std::fprintf(stderr, "window_gallery: cannot write %s\n", qPrintable(path));
    return false;
  }
  std::printf("%s\n", qPrintable(path));
  return true;
}

// The resources as shipped, with example web addresses so that the links
// show (".invalid" names no real host).
bool UseExampleLinks(const QTemporaryDir& dir) {
  const QString shipped = platform::Resources::Root();
  QFile list(dir.filePath(QStringLiteral("LocalVersionMessage.plist")));
  if (!list.open(QIODevice::WriteOnly)) return false;
  list.write(
      "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<plist version=\"1.0\"><dict>"
      "<key>VersionCheck</key><integer>1</integer><key>en</key><dict>"
      "<key>UpdateURL</key><string>https://clipmender.invalid/download</string>"
      "<key>AboutURL</key><string>https://clipmender.invalid/</string>"
      "<key>FaceBookURL</key><string>https://clipmender.invalid/share/1</string>"
      "<key>Twitter</key><string>https://clipmender.invalid/share/2</string>"
      "<key>GoogleURL</key><string>https://clipmender.invalid/share/3</string>"
      "</dict></dict></plist>\n");
  list.close();
  if (!QFile::link(shipped + QStringLiteral("/strings"), dir.filePath(QStringLiteral("strings")))) return false;
  // The results window's type tree groups by the shipped table.
  if (!QFile::link(shipped + QStringLiteral("/FileType.plist"), dir.filePath(QStringLiteral("FileType.plist"))))
    return false;
  platform::Resources::SetRoot(dir.path());
  return true;
}

// Chooses the folder at `path` (names below the first root) in the outline,
// as a click would.
void ChooseFolder(KVDeletailWindowController& results, const QStringList& path) {
  OpNodeData* row = results.allDiskArr.empty() ? nullptr : results.allDiskArr.front().get();
  for (const QString& name : path) {
    results.outlineView->expandItem(row);
    OpNodeData* next = nullptr;
    for (int k = 0; k < results.getNodeDataIsLeaf(row); ++k) {
      OpNodeData* child = results.folderChildAt(row, k);
      if (child->name() == name) next = child;
    }
    if (next == nullptr) return;
    row = next;
  }
  results.shouldSelectItem(results.outlineView, row);
}

// Shows the results window's view `mode` (list, cover flow, grid) as a
// press on the view switch does, and waits for its thumbnails.
bool ShowView(KVDeletailWindowController& results, int mode) {
  results.segment->setSelectedSegment(mode);
  results.segmentSelect(results.segment);
  const std::atomic<int>& state =
      mode == KVDeletailWindowController::kGridMode ? results.gridImageState : results.nImageState;
  return PumpUntil([&] { return state.load() == KVThumbnailQueue::kEnded; }) &&
         PumpUntil([deadline = QDeadlineTimer(300)] { return deadline.hasExpired(); });
}

// The results window scanning a made-up camera card, then browsing it.
bool ShootResults(const QDir& out) {
  // Every category, as the wizard's first page leaves them.
  KVUIController::SetRecoveryType(0x7f);
  resultsscene::Scene scene(1, 1);
  scene.SetCopyOut(resultsscene::ScenePictures());
  scene.HoldAt(42);
  auto* results = new KVDeletailWindowController;
  results->setScanStarter([&scene](const DiskVolumeNodeData*, const QString& name) { return scene.Start(name); });
  results->showWindow();
  results->getData();
  bool ok = PumpUntil([&] { return scene.IsHeld() && !results->allDiskArr.empty(); });
  ChooseFolder(*results, {QStringLiteral("DCIM"), QStringLiteral("100CANON")});
  ok = ok && Shoot(results->window(), out, QStringLiteral("results-scanning.png"));
  scene.Release();
  ok = ok && PumpUntil([&] { return !KVUIController::IsScanRunning() && results->recovertyButton->isVisible(); });
  ChooseFolder(*results, {QStringLiteral("DCIM"), QStringLiteral("100CANON")});
  ok = ok && Shoot(results->window(), out, QStringLiteral("results-browsing.png"));
  results->popupViewHidden();
  ChooseFolder(*results, {QStringLiteral("Empty folder")});
  ok = ok && Shoot(results->window(), out, QStringLiteral("results-empty-folder.png"));
  ChooseFolder(*results, {QStringLiteral("DCIM"), QStringLiteral("100CANON")});
  ok = ok && ShowView(*results, KVDeletailWindowController::kCoverFlowMode) &&
       Shoot(results->window(), out, QStringLiteral("results-cover-flow.png"));
  ok = ok && ShowView(*results, KVDeletailWindowController::kGridMode) &&
       Shoot(results->window(), out, QStringLiteral("results-grid.png"));
  delete results;
  return ok;
}

}  // namespace

int main(int argc, char** argv) {
  // What the windows log goes to a folder of the gallery's own, not the
  // user's log.
  QTemporaryDir work;
  if (work.isValid()) qputenv("CLIPMENDER_WORK_DIR", work.path().toLocal8Bit());
  QApplication app(argc, argv);
  if (argc != 2) {
    std::fprintf(stderr, "usage: window_gallery OUTPUT-FOLDER\n");
    return 2;
  }
  KitStyle::ApplyFixedLook(&app);
  KitAnimations::SetEnabled(false);
  KVKitServices::Install();
  // The file types by extension, from the shipped type table, as the
  // application reads them at start.
  KVUIController::initFileType();
  const QDir out(QString::fromLocal8Bit(argv[1]));
  QTemporaryDir resources;
  if (!QDir().mkpath(out.path()) || !resources.isValid() || !UseExampleLinks(resources)) {
    std::fprintf(stderr, "window_gallery: cannot prepare %s\n", argv[1]);
    return 1;
  }
  bool ok = true;

  {
    KVAboutWindowController about;
    ok = Shoot(about.window(), out, QStringLiteral("about.png")) && ok;
  }
  {
    KVCheckUpdateWindowController update;  // no update address here: the check ends at once
    update.window()->show();
    const struct {
      QVariant list;
      const char* file;
    } panes[] = {
        {QVariant(), "update-no-network.png"},
        {QVariantMap{{QStringLiteral("VersionCheck"), 1}}, "update-up-to-date.png"},
        {QVariantMap{{QStringLiteral("VersionCheck"), 2},
                     {QStringLiteral("Version"), QStringLiteral("0.2.0")},
                     {QStringLiteral("1"), QStringLiteral("Finds photos on exFAT memory cards faster.")},
                     {QStringLiteral("2"), QStringLiteral("Recovered files keep their modification times, also "
                                                          "when the destination folder is on another disk.")},
                     {QStringLiteral("3"), QStringLiteral("<b>Notes</b> are shown as plain text.")}},
         "update-new-version.png"},
    };
    for (const auto& pane : panes) {
      update.whatIsNewVersionDiff(pane.list);
      ok = Shoot(update.window(), out, QString::fromLatin1(pane.file)) && ok;
    }
    update.checkProgressView->show();
    for (QWidget* other : {update.noNetworkView, update.noUpdateView, update.haveUpdateView}) other->hide();
    ok = Shoot(update.window(), out, QStringLiteral("update-checking.png")) && ok;
  }
  {
    // The bubble as the results window shows it: pointing at its deep-scan
    // button in a 90-point title bar.
    TCImageWindow window(nullptr, true);
    window.setTitleBarHeight(90);
    window.resize(560, 220);
    auto* deep = new TCImageButton(QRect(100, 30, 32, 32), window.titleBarView());
    deep->setImageStem(QStringLiteral("deepscan"));
    KVDeepScanViewController popover;
    auto* bubble = new MAAttachedWindow(popover.view(), deep, &window, 11, 10);
    bubble->show();
    ok = Shoot(&window, out, QStringLiteral("deepscan-popover.png")) && ok;
  }
  {
    QWidget* alert = KVAlert::Begin(nullptr, QStringLiteral("PAGE_FOUR_SCAN_STOP"), [](int) {})->window();
    ok = Shoot(alert, out, QStringLiteral("alert-without-window.png")) && ok;
    alert->close();
  }
  {
    KVAppDelegate delegate({});
    TCImageWindow window(nullptr, true);
    window.resize(560, 200);
    KVMainMenu menu(&delegate, &window);
    ok = Shoot(&window, out, QStringLiteral("main-menu.png")) && ok;
    menu.application->popup(window.mapToGlobal(QPoint(90, 22)));
    ok = Shoot(menu.application, out, QStringLiteral("main-menu-open.png")) && ok;
    menu.application->hide();
  }
  ok = ShootWizardWindows([&out](QWidget* window, const QString& file) { return Shoot(window, out, file); }) && ok;
  ok = ShootResults(out) && ok;
  ok = ShootResultTrees([&out](QWidget* window, const QString& file) { return Shoot(window, out, file); }) && ok;
  ok = ShootRecoveryWindows([&out](QWidget* window, const QString& file) { return Shoot(window, out, file); }) && ok;
  ok = ShootScanControls([&out](QWidget* window, const QString& file) { return Shoot(window, out, file); }) && ok;
  return ok ? 0 : 1;
}
