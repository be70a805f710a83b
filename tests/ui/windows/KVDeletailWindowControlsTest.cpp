// The scan controls and the export of the results window over a made-up scan
// that can be held part way: pause and resume (with ticks and a search while
// paused), stop, home, the deep scan (also one that cannot start) and the
// export's save panel, same-disk question and failure; Ctrl+Q through the
// quit guard.
#include <QPushButton>
#include <QTest>

#include <gtest/gtest.h>

#include <filesystem>
#include <vector>

#include "KVDeletailWindowTestSupport.h"
#include "KVWindowsTestSupport.h"
#include "UiTestSupport.h"
#include "WizardTestSupport.h"
#include "app/KVAppDelegate.h"
#include "app/KVNode.h"
#include "app/KVQuitGuard.h"
#include "app/KVUIController.h"
#include "app/KVUIScan.h"
#include "support/TestSupport.h"
#include "ui/widgets/KVProgressView.h"
#include "ui/widgets/KitElidedLabel.h"
#include "ui/widgets/KitImages.h"
#include "ui/widgets/KitSegmentedControl.h"
#include "ui/widgets/MAAttachedWindow.h"
#include "ui/widgets/TCImageWindow.h"
#include "ui/windows/KVMainMenu.h"

namespace {

namespace fs = std::filesystem;
using resultsscene::Scene;
using resultstest::Answer;
using resultstest::Browsing;
using resultstest::Choose;
using resultstest::FolderAt;
using resultstest::SceneWindow;
using resultstest::SheetTexts;

bool Shown(KVDeletailWindowController& window, QWidget* widget) { return widget->isVisibleTo(window.window()); }

void Click(TCImageButton* button) { QTest::mouseClick(button, Qt::LeftButton, {}, QPoint(4, 4)); }

// Chooses the camera folder of the first volume; its files are listed.
void ChooseCamera(KVDeletailWindowController& window) {
  OpNodeData* camera =
      FolderAt(window, window.allDiskArr.front().get(), {QStringLiteral("DCIM"), QStringLiteral("100CANON")});
  ASSERT_NE(camera, nullptr);
  Choose(window, camera);
  ASSERT_EQ(window.arrList.size(), static_cast<size_t>(Scene::kCameraFiles));
}

// Whether the wizard came back, and whether a scan still ran when it did.
struct Wizards {
  Wizards() {
    KVDeletailWindowController::SetRootWindowOpener([this] {
      ++opened;
      if (KVUIController::IsScanRunning()) ++whileScanning;
    });
  }
  ~Wizards() { KVDeletailWindowController::SetRootWindowOpener({}); }
  int opened = 0;
  int whileScanning = 0;
};

// Pause shows play and opens search and the view switch; ticks are taken
// only while paused, and bring the recovery button in; resume takes the
// ticks back, slides the recovery button out and shows the counts again.
TEST(ResultsWindowControls, PauseAndResume) {
  Scene scene(1, 1);
  scene.HoldAt(40);
  SceneWindow window(scene);
  window->getData();
  ASSERT_TRUE(qttest::PumpUntil([&] { return scene.IsHeld() && window->pauseButton->isButtonEnabled(); }));
  ChooseCamera(*window);
  IFileNode* photo = window->arrList.front();
  window->nsbuttonCellClick(0);
  EXPECT_EQ(OpNodeData::fileNodeState(photo), 0);
  EXPECT_FALSE(Shown(*window, window->recovertyButton));

  Click(window->pauseButton);
  EXPECT_TRUE(KVUIController::IsPause());
  EXPECT_EQ(window->isPause, 1);
  EXPECT_FALSE(Shown(*window, window->pauseButton));
  EXPECT_TRUE(Shown(*window, window->continueScanButton));
  EXPECT_TRUE(window->search->textField()->isEnabled());
  EXPECT_TRUE(window->segment->isEnabled());
  window->nsbuttonCellClick(0);
  EXPECT_EQ(OpNodeData::fileNodeState(photo), 2);
  EXPECT_TRUE(window->selectFilesLabel->text().endsWith(QStringLiteral(" in 1 files")));
  EXPECT_TRUE(Shown(*window, window->recovertyButton));
  EXPECT_TRUE(window->recovertyButton->isButtonEnabled());
  const int roomy = window->abox->width();
  EXPECT_EQ(window->subBox->width(), roomy - 100);
  uitest::SaveArtifact(uitest::Grab(window->window()), QStringLiteral("results-paused"));

  Click(window->continueScanButton);
  EXPECT_FALSE(KVUIController::IsPause());
  EXPECT_TRUE(KVUIController::IsScanRunning());
  EXPECT_EQ(window->isPause, 0);
  EXPECT_TRUE(Shown(*window, window->pauseButton));
  EXPECT_FALSE(Shown(*window, window->continueScanButton));
  EXPECT_FALSE(window->search->textField()->isEnabled());
  EXPECT_EQ(OpNodeData::fileNodeState(photo), 0);
  // Out past the box, which has its room back.
  EXPECT_FALSE(Shown(*window, window->recovertyButton));
  EXPECT_EQ(window->subBox->width(), roomy);
  EXPECT_EQ(window->recovertyButton->x(), roomy - 100 + 110);
  EXPECT_TRUE(Shown(*window, window->findFilesLabel));
  EXPECT_TRUE(Shown(*window, window->remainTimeLabel));
  EXPECT_FALSE(Shown(*window, window->selectFilesLabel));
  // The file list is read again half a second later.
  window->arrList.clear();
  ASSERT_TRUE(qttest::PumpUntil([&] { return window->arrList.size() == static_cast<size_t>(Scene::kCameraFiles); }));
  scene.Release();
  EXPECT_TRUE(Browsing(*window));
}

// Resuming ends a search shown while paused, and the scan goes on only once
// that search has set its marks; without a search none is started.
TEST(ResultsWindowControls, ResumingEndsTheSearchFirst) {
  Scene scene(1, 1);
  scene.HoldAt(40);
  SceneWindow window(scene);
  wizardtest::PostCounter searches(QStringLiteral("DoSearchValue"));
  window->getData();
  ASSERT_TRUE(qttest::PumpUntil([&] { return scene.IsHeld(); }));
  window->pauseButtonClick();
  window->pauseButtonClick();
  qttest::PumpPending();
  EXPECT_EQ(searches.count, 0);
  EXPECT_FALSE(KVUIController::IsPause());

  window->pauseButtonClick();
  window->search->textField()->setText(QStringLiteral("IMG"));
  window->search->doSearchAction();
  ASSERT_TRUE(qttest::PumpUntil([&] { return searches.count == 1; }));
  EXPECT_EQ(window->arrList.size(), static_cast<size_t>(Scene::kCameraFiles));

  window->pauseButtonClick();
  EXPECT_TRUE(window->search->textField()->text().isEmpty());
  EXPECT_EQ(window->isPause, 0);
  EXPECT_TRUE(KVUIController::IsPause());  // the marks are still being set
  ASSERT_TRUE(qttest::PumpUntil([] { return !KVUIController::IsPause(); }));
  EXPECT_EQ(searches.count, 2);
  EXPECT_TRUE(KVUIController::GetSearchString().isEmpty());
  scene.Release();
  EXPECT_TRUE(Browsing(*window));
}

// Stop pauses and asks: No returns to what the user had (running, or
// paused); Yes stops, keeping every file found so far.
TEST(ResultsWindowControls, StopAsksAndKeepsWhatWasFound) {
  Scene scene(1, 1);
  scene.HoldAt(40);
  SceneWindow window(scene);
  window->getData();
  ASSERT_TRUE(qttest::PumpUntil([&] { return scene.IsHeld() && window->stopButton->isButtonEnabled(); }));
  ChooseCamera(*window);

  Click(window->stopButton);
  EXPECT_TRUE(KVUIController::IsPause());
  EXPECT_TRUE(SheetTexts(*window).contains(QStringLiteral("Stop the scan?")));
  EXPECT_EQ(window->stopButton->image().toImage(), KitImages::Named(QStringLiteral("del_normal")).toImage());
  ASSERT_TRUE(Answer(*window, 0));
  EXPECT_FALSE(KVUIController::IsPause());
  EXPECT_EQ(window->isCanClick, 1);

  Click(window->pauseButton);
  Click(window->stopButton);
  ASSERT_TRUE(Answer(*window, 0));
  EXPECT_TRUE(KVUIController::IsPause());
  EXPECT_EQ(window->isPause, 1);
  EXPECT_TRUE(Shown(*window, window->continueScanButton));

  window->nsbuttonCellClick(0);
  ASSERT_TRUE(Shown(*window, window->recovertyButton));
  Click(window->stopButton);
  uitest::SaveArtifact(uitest::Grab(window->window()), QStringLiteral("results-stop-question"));
  ASSERT_TRUE(Answer(*window, 1));
  for (TCImageButton* off :
       {window->pauseButton, window->continueScanButton, window->stopButton, window->backHomeButton})
    EXPECT_FALSE(off->isButtonEnabled());
  EXPECT_FALSE(window->search->textField()->isEnabled());
  EXPECT_FALSE(Shown(*window, window->recovertyButton));
  // Ten points left of where resuming puts it.
  EXPECT_EQ(window->recovertyButton->x(), window->abox->width() - 100 + 100);
  EXPECT_EQ(window->isPause, 0);
  // The stop itself comes half a second later.
  EXPECT_TRUE(KVUIController::IsScanRunning());
  ASSERT_TRUE(Browsing(*window));
  qttest::PumpUntil([] { return false; }, 1);  // the scan's last news
  uint64_t size = 0, files = 0;
  KVUIController::GetScanFileSize(&size, &files);
  EXPECT_EQ(files, 19u);
  EXPECT_TRUE(window->selectFilesLabel->text().endsWith(QStringLiteral(" in 19 files")));
  ASSERT_EQ(window->allDiskArr.size(), 1u);
  EXPECT_EQ(window->allDiskArr.front()->name(), Scene::VolumeName(0));
  ChooseCamera(*window);
  // After the end a press on pause is taken as a stop; nothing changes.
  window->pauseButtonClick();
  EXPECT_FALSE(KVUIController::IsScanRunning());
  EXPECT_TRUE(Shown(*window, window->recovertyButton));
}

// Home: at once when no scan runs; while one runs it pauses and asks, No
// returns to what the user had, and Yes goes back only once the scan has
// ended.
TEST(ResultsWindowControls, HomeAsksWhileScanningAndWaitsForTheEnd) {
  {
    Scene scene(1, 0);
    SceneWindow window(scene);
    Wizards wizards;
    ASSERT_TRUE(window.ScanToTheEnd());
    Click(window->backHomeButton);
    EXPECT_EQ(window->currentSheet(), nullptr);
    ASSERT_TRUE(qttest::PumpUntil([&] { return window.controller.isNull() && wizards.opened == 1; }));
  }
  Scene scene(1, 1);
  scene.HoldAt(40);
  SceneWindow window(scene);
  Wizards wizards;
  window->getData();
  ASSERT_TRUE(qttest::PumpUntil([&] { return scene.IsHeld() && window->backHomeButton->isButtonEnabled(); }));
  Click(window->backHomeButton);
  EXPECT_TRUE(KVUIController::IsPause());
  EXPECT_TRUE(SheetTexts(*window).contains(QStringLiteral("Go back to the start?")));
  ASSERT_TRUE(Answer(*window, 0));
  EXPECT_FALSE(KVUIController::IsPause());
  Click(window->pauseButton);
  Click(window->backHomeButton);
  ASSERT_TRUE(Answer(*window, 0));
  EXPECT_TRUE(KVUIController::IsPause());

  Click(window->backHomeButton);
  ASSERT_TRUE(Answer(*window, 1));
  EXPECT_EQ(window->isSelectBackHome, 1);
  EXPECT_EQ(window->isCanClick, 0);
  for (TCImageButton* off : {window->backHomeButton, window->continueScanButton, window->stopButton})
    EXPECT_FALSE(off->isButtonEnabled());
  ASSERT_TRUE(qttest::PumpUntil([&] { return window.controller.isNull() && wizards.opened == 1; }));
  EXPECT_EQ(wizards.whileScanning, 0);
}

// The scanned disk pulled out: its OK goes home once the stopped scan has
// ended, whenever it is answered.
TEST(ResultsWindowControls, APulledOutDiskGoesHomeAfterTheScanEnded) {
  Scene scene(1, 1);
  scene.HoldAt(40);
  SceneWindow window(scene);
  Wizards wizards;
  window->getData();
  ASSERT_TRUE(qttest::PumpUntil([&] { return scene.IsHeld(); }));
  platform::NotificationCenter::DefaultCenter().Post(QStringLiteral("RefreshDetachDevice"),
                                                     QVariantMap{{QStringLiteral("USBPath"), QStringLiteral("CARD")}});
  ASSERT_TRUE(Answer(*window, 1));
  ASSERT_TRUE(qttest::PumpUntil([&] { return window.controller.isNull() && wizards.opened == 1; }));
  EXPECT_EQ(wizards.whileScanning, 0);
}

// The deep scan: the bubble goes, the trees and the list are emptied, the
// list view is forced and locked while the scan runs unpaused; at its end
// there is no deep-scan offer and the export button says nothing.
TEST(ResultsWindowControls, DeepScan) {
  Scene scene(2, 0);
  SceneWindow window(scene);
  ASSERT_TRUE(window.ScanToTheEnd());
  ASSERT_NE(window->attachedWindow, nullptr);
  ChooseCamera(*window);
  const auto showGrid = [&] {
    window->selectSegmentCount = KVDeletailWindowController::kGridMode;
    window->segment->setSelectedSegment(KVDeletailWindowController::kGridMode);
    window->tableScrollView->hide();
    window->gridView->show();
  };
  showGrid();
  int asked = 0;
  window->setDeepScanStarter([&](const QString& name) {
    ++asked;
    scene.scan().SetDeepScan(1);
    scene.HoldAt(50);
    return scene.Start(name);
  });
  Click(window->continueButton);
  EXPECT_EQ(window->attachedWindow, nullptr);
  EXPECT_EQ(window->isClodePopView, 1);
  EXPECT_TRUE(window->allDiskArr.empty());
  EXPECT_TRUE(window->arrList.empty());
  EXPECT_EQ(window->opDataFile, nullptr);
  EXPECT_EQ(window->selectSegmentCount, KVDeletailWindowController::kListMode);
  EXPECT_EQ(window->segment->selectedSegment(), KVDeletailWindowController::kListMode);
  EXPECT_TRUE(Shown(*window, window->tableScrollView));
  EXPECT_FALSE(Shown(*window, window->gridView));
  for (QWidget* gone : {static_cast<QWidget*>(window->exportButton), static_cast<QWidget*>(window->continueButton),
                        static_cast<QWidget*>(window->deepScanLabel), static_cast<QWidget*>(window->recovertyButton),
                        static_cast<QWidget*>(window->selectFilesLabel)})
    EXPECT_FALSE(Shown(*window, gone));
  for (QWidget* back : {static_cast<QWidget*>(window->progressView), static_cast<QWidget*>(window->pauseButton),
                        static_cast<QWidget*>(window->stopButton), static_cast<QWidget*>(window->findFilesLabel),
                        static_cast<QWidget*>(window->remainTimeLabel)})
    EXPECT_TRUE(Shown(*window, back));
  EXPECT_EQ(window->findFilesLabel->text(), QStringLiteral("Files found: 0"));
  EXPECT_EQ(window->remainTimeLabel->text(), QStringLiteral("Time remaining: -:-:-"));
  EXPECT_FALSE(window->search->textField()->isEnabled());
  EXPECT_EQ(asked, 0);  // 0.2 s later

  ASSERT_TRUE(qttest::PumpUntil([&] { return scene.IsHeld() && window->pauseButton->isButtonEnabled(); }));
  EXPECT_EQ(asked, 1);
  EXPECT_EQ(window->isDeepScan, 1);
  EXPECT_EQ(window->bSave, 0);
  EXPECT_FALSE(window->segment->isEnabled());
  uitest::SaveArtifact(uitest::Grab(window->window()), QStringLiteral("results-deep-scanning"));
  Click(window->pauseButton);
  EXPECT_TRUE(window->segment->isEnabled());
  showGrid();
  Click(window->continueScanButton);
  EXPECT_FALSE(window->segment->isEnabled());
  EXPECT_EQ(window->selectSegmentCount, KVDeletailWindowController::kListMode);
  EXPECT_FALSE(Shown(*window, window->gridView));

  scene.Release();
  ASSERT_TRUE(Browsing(*window));
  qttest::PumpUntil([] { return false; }, 1);
  EXPECT_EQ(window->allDiskArr.size(), 2u);
  EXPECT_FALSE(Shown(*window, window->continueButton));
  EXPECT_FALSE(Shown(*window, window->deepScanLabel));
  ASSERT_NE(window->exportButton, nullptr);
  EXPECT_TRUE(Shown(*window, window->exportButton));
  EXPECT_TRUE(window->exportButton->toolTip().isEmpty());
  EXPECT_TRUE(window->segment->isEnabled());
}

// A deep scan that cannot start says so, and the last result is back with
// its offer of a deep scan.
TEST(ResultsWindowControls, ADeepScanThatCannotStartShowsTheLastResultAgain) {
  Scene scene(2, 0);
  SceneWindow window(scene);
  ASSERT_TRUE(window.ScanToTheEnd());
  window->setDeepScanStarter([](const QString&) { return false; });
  window->deepSrcanButtonAction();
  EXPECT_TRUE(window->allDiskArr.empty());
  ASSERT_TRUE(qttest::PumpUntil([&] { return window->currentSheet() != nullptr; }, 5));
  EXPECT_TRUE(SheetTexts(*window).contains(QStringLiteral("The deep scan could not start")));
  EXPECT_EQ(window->allDiskArr.size(), 2u);
  EXPECT_NE(window->opDataFile, nullptr);
  EXPECT_TRUE(Shown(*window, window->continueButton));
  EXPECT_TRUE(window->continueButton->isButtonEnabled());
  EXPECT_TRUE(Shown(*window, window->exportButton));
  EXPECT_FALSE(window->exportButton->toolTip().isEmpty());
  EXPECT_TRUE(window->backHomeButton->isButtonEnabled());
  EXPECT_FALSE(Shown(*window, window->pauseButton));
  EXPECT_FALSE(KVUIController::IsDeepScan());
  ASSERT_TRUE(Answer(*window, 1));
}

// The export: the save panel opens in the default folder with the proposed
// name; cancelled, nothing is saved. A folder on the scanned disk asks:
// change destination (as often as wanted), cancel, or save there all the
// same. A save that fails says so, leaves no file and is not remembered.
TEST(ResultsWindowControls, ExportAsksAboutTheScannedDiskAndReportsAFailedSave) {
  Scene scene(1, 0);
  SceneWindow window(scene);
  ASSERT_TRUE(window.ScanToTheEnd());
  EXPECT_EQ(window->exportButton->toolTip(), QStringLiteral("Save this scan result to a file"));
  testsupport::TempDir dir;
  const QString onDisk = QString::fromStdString((dir / "scanned").string());
  const QString elsewhere = QString::fromStdString((dir / "missing" / "folder").string());
  fs::create_directories(dir / "scanned");
  QStringList chosen;
  std::vector<std::pair<QString, QString>> asked;
  window->setExportFileChooser([&](const QString& folder, const QString& name) {
    asked.emplace_back(folder, name);
    return chosen.isEmpty() ? QString() : chosen.takeFirst();
  });
  window->setSameDeviceTest([&](const QString& folder) { return folder == onDisk; });
  wizardtest::PostCounter saves(QStringLiteral("QueryProgressFinish"));
  const QString remembered = KVUIController::GetSavePath();

  Click(window->exportButton);
  ASSERT_EQ(asked.size(), 1u);
  EXPECT_EQ(asked[0].first, KVUIController::GetDefaultSavePath());
  EXPECT_EQ(asked[0].second, KVUIController::GetSaveFileName());
  EXPECT_FALSE(asked[0].second.contains(QLatin1Char('/')));
  EXPECT_EQ(window->currentSheet(), nullptr);

  // Change destination twice, then give up.
  chosen = {onDisk + "/a", onDisk + "/b.rsf", onDisk + "/c.rsf"};
  window->exportButtonAction();
  for (int round = 0; round < 2; ++round) {
    ASSERT_NE(window->currentSheet(), nullptr);
    const QStringList texts = SheetTexts(*window);
    EXPECT_TRUE(texts.contains(QStringLiteral("This folder is on the disk being scanned")));
    QWidget* panel = window->currentSheet()->panel();
    for (const auto& [name, text] : {std::pair<const char*, const char*>{"yesButton", "Change Destination"},
                                     {"noButton", "No"},
                                     {"otherButton", "Yes"}}) {
      auto* button = panel->findChild<QPushButton*>(QString::fromLatin1(name));
      ASSERT_NE(button, nullptr) << name;
      EXPECT_EQ(button->text(), QString::fromLatin1(text));
    }
    // Its own window, blocking every window until answered, wide enough
    // for its buttons.
    QWidget* alert = window->currentSheet()->window();
    EXPECT_NE(alert, window->window());
    EXPECT_EQ(alert->windowModality(), Qt::ApplicationModal);
    EXPECT_TRUE(alert->isVisible());
    EXPECT_EQ(windowtest::CutButtons(panel).join(u'|'), QString());
    if (round == 0) uitest::SaveArtifact(uitest::Grab(alert), QStringLiteral("results-export-same-disk"));
    ASSERT_TRUE(Answer(*window, 1));
    ASSERT_TRUE(
        qttest::PumpUntil([&] { return window->currentSheet() != nullptr && window->currentSheet()->isOpen(); }, 5));
  }
  EXPECT_EQ(asked.size(), 4u);
  ASSERT_TRUE(Answer(*window, 0));
  qttest::PumpPending();
  EXPECT_EQ(saves.count, 0);
  EXPECT_TRUE(fs::is_empty(dir / "scanned"));

  // Save there all the same: the made-up scan's disk cannot be described,
  // so the save fails, as a save into a folder that does not exist does.
  const auto failureShown = [&](wizardtest::AlertAnswerer& alerts) {
    if (!qttest::PumpUntil([&] { return !alerts.texts.isEmpty(); })) return false;
    qttest::PumpPending();
    return alerts.texts.front().contains(QStringLiteral("could not be read or written"));
  };
  chosen = {onDisk + "/anyway.rsf"};
  window->exportButtonAction();
  ASSERT_NE(window->currentSheet(), nullptr);
  window->currentSheet()->end(-1);
  {
    wizardtest::AlertAnswerer alerts(1);
    EXPECT_TRUE(failureShown(alerts));
  }
  chosen = {elsewhere + "/gone.rsf"};
  {
    wizardtest::AlertAnswerer alerts(1);
    window->exportButtonAction();
    EXPECT_TRUE(failureShown(alerts));
  }
  EXPECT_FALSE(fs::exists(dir / "missing"));
  EXPECT_EQ(saves.count, 2);
  EXPECT_TRUE(fs::is_empty(dir / "scanned"));
  EXPECT_EQ(window->bSave, 0);
  EXPECT_EQ(KVUIController::GetSavePath(), remembered);
}

// Ctrl+Q in the results window quits as the application menu's Quit does,
// though that menu is the hidden wizard's: while the scan runs the quit guard
// pauses it and asks, and declining resumes it; once it has ended the
// application ends at once.
TEST(ResultsWindowControls, CtrlQQuitsThroughTheQuitGuard) {
  Scene scene(1, 1);
  scene.HoldAt(40);
  SceneWindow window(scene);
  QStringList asked;
  std::function<void(bool)> answer;
  int closed = 0;
  KVAppDelegate::Hooks hooks;
  KVQuitGuard::Install(hooks, [&](const QString& stem, std::function<void(bool)> give) {
    asked << stem;
    answer = std::move(give);
  });
  hooks.closeApp = [&] { ++closed; };
  KVAppDelegate delegate(hooks);
  TCImageWindow wizard;
  KVMainMenu menu(&delegate, &wizard);
  ASSERT_FALSE(wizard.isVisible());
  const auto quit = [&] {
    QApplication::setActiveWindow(window->window());
    QTest::keyClick(window->window(), Qt::Key_Q, Qt::ControlModifier);
  };

  window->getData();
  ASSERT_TRUE(qttest::PumpUntil([&] { return scene.IsHeld() && window->pauseButton->isButtonEnabled(); }));
  quit();
  ASSERT_EQ(asked, QStringList{QStringLiteral("PAGE_FOUR_SCAN_STOP")});
  EXPECT_TRUE(KVUIController::IsPause());
  EXPECT_EQ(closed, 0);
  answer(false);
  EXPECT_FALSE(KVUIController::IsPause());
  EXPECT_TRUE(KVUIController::IsScanRunning());
  EXPECT_EQ(closed, 0);

  scene.Release();
  ASSERT_TRUE(Browsing(*window));
  quit();
  EXPECT_EQ(asked.size(), 1);
  EXPECT_EQ(closed, 1);
}

}  // namespace
