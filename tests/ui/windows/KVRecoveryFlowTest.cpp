// The recovery flow of the results window over a recovery of our own that
// the tests drive step by step (its news, a full destination, its end): the
// folder chooser, the checks in their order with the user's answers, the
// progress window's panes, and exactly one end or stop window per recovery.
// Also the free-space rule and the three windows on their own. The real
// recovery, on real mounts, is KVRecoveryLoopTest.cpp.
#include <QElapsedTimer>
#include <QLabel>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QTest>

#include <gtest/gtest.h>

#include <cstdint>
#include <filesystem>

#include "KVDeletailWindowTestSupport.h"
#include "KVRecoveryTestSupport.h"
#include "KVWindowsTestSupport.h"
#include "UiTestSupport.h"
#include "platform/NotificationCenter.h"
#include "support/TestSupport.h"
#include "ui/widgets/KVProgressView.h"
#include "ui/widgets/KitElidedLabel.h"
#include "ui/widgets/TCImageButton.h"
#include "ui/windows/KVRecoveryServices.h"
#include "ui/windows/gallery/ResultsScene.h"

namespace {

using recoverytest::ShownEnd;
using recoverytest::ShownProgress;
using recoverytest::ShownSmallWindows;
using recoverytest::ShownStop;
using resultsscene::Scene;
using resultstest::Answer;
using resultstest::SheetTexts;
using Pane = KVShowScanProgressWindowController::Pane;
namespace fs = std::filesystem;

// The buttons of the window's open sheet: the other one, then the default.
QStringList SheetButtons(KVDeletailWindowController& window) {
  QStringList texts;
  if (window.currentSheet() == nullptr) return texts;
  for (const char* name : {"noButton", "yesButton"}) {
    if (auto* button = window.currentSheet()->panel()->findChild<QPushButton*>(QString::fromLatin1(name)))
      texts << button->text();
  }
  return texts;
}

// A recovery whose state the test sets: what the flow sees through its
// services, and what the flow asked of it.
struct FakeRecovery {
  // The destination.
  bool writable = true;
  bool sameDevice = false;
  int64_t freeBytes = int64_t(1) << 30;
  uint64_t storedBytes = 1000;
  int freeSpaceAsked = 0;
  // The recovery.
  bool accepts = true;
  int starts = 0;
  QString folder;
  bool running = false;
  bool paused = false;
  uint64_t total = 0, current = 0, error = 0;
  QString name;
  int pauseOrResumes = 0;
  int stops = 0;
  uint64_t files = 0;
  uint64_t failed = 0, tooLarge = 0;
  QStringList failedPaths;

  KVRecoveryServices Services() {
    KVRecoveryServices services;
    services.isWritable = [this](const QString&) { return writable; };
    services.isSameDevice = [this](const QString&) { return sameDevice; };
    services.freeSpace = [this](const QString&) {
      ++freeSpaceAsked;
      return freeBytes;
    };
    services.selectedStoredSize = [this] { return storedBytes; };
    services.doRecovery = [this](const QString& to, const QString& postName) {
      EXPECT_EQ(postName, QStringLiteral("DoRecovery"));
      if (!accepts) return false;
      ++starts;
      folder = to;
      running = true;
      return true;
    };
    services.isRecoveryRunning = [this] { return running; };
    services.progress = [this](uint64_t* t, uint64_t* c, uint64_t* e) {
      *t = total;
      *c = current;
      *e = error;
      return name;
    };
    services.pauseOrResume = [this] {
      ++pauseOrResumes;
      paused = !paused;
    };
    services.stop = [this] {
      ++stops;
      running = false;
    };
    services.recoveredFiles = [this] { return files; };
    services.failedFiles = [this](uint64_t* large) {
      *large = tooLarge;
      return failed;
    };
    services.failedPaths = [this] { return failedPaths; };
    return services;
  }

  // News as the recovery's poller posts it.
  void Report(uint64_t at, uint64_t of, const QString& file, uint64_t code = 0) {
    current = at;
    total = of;
    name = file;
    error = code;
    platform::NotificationCenter::DefaultCenter().Post(QStringLiteral("DoRecovery"));
  }
  void End() {
    running = false;
    platform::NotificationCenter::DefaultCenter().Post(QStringLiteral("DoRecovery"));
  }
};

// A results window that has scanned the scene's made-up card and recovers
// through `fake`.
struct RecoveryWindow {
  RecoveryWindow() {
    windowtest::Start();
    controller = new KVDeletailWindowController;
    controller->setScanStarter([this](const DiskVolumeNodeData*, const QString& name) { return scene.Start(name); });
    controller->setRecoveryServices(fake.Services());
    controller->showWindow();
    controller->getData();
    EXPECT_TRUE(resultstest::Browsing(*controller));
    controller->popupViewHidden();
  }
  ~RecoveryWindow() {
    delete controller.data();
    recoverytest::NoneOpen();
  }
  KVDeletailWindowController* operator->() const { return controller; }
  KVDeletailWindowController& operator*() const { return *controller; }

  // Recover, then the folder chosen.
  void ChooseDestination(const QString& folder = QStringLiteral("/tmp")) {
    controller->recovertyButton->setButtonEnabled(true);
    controller->recovrtyButtonClick();
    ASSERT_TRUE(recoverytest::ChooseFolder(*controller, folder));
  }
  // Chosen with every check passed: the recovery has started.
  void Start() {
    ASSERT_NO_FATAL_FAILURE(ChooseDestination());
    ASSERT_EQ(fake.starts, 1);
  }

  Scene scene{1, 0};
  FakeRecovery fake;
  QPointer<KVDeletailWindowController> controller;
};

TEST(RecoverySpace, NeedsMoreThan105PercentInWholeNumbers) {
  EXPECT_EQ(KVRecoveryServices::SpaceNeeded(0), 0u);
  EXPECT_EQ(KVRecoveryServices::SpaceNeeded(100), 105u);
  EXPECT_EQ(KVRecoveryServices::SpaceNeeded(101), 106u);  // 106.05, truncated
  EXPECT_EQ(KVRecoveryServices::SpaceNeeded(19), 19u);    // 19.95
  // A size of 1 PiB and more needs no floating point, and never wraps.
  EXPECT_EQ(KVRecoveryServices::SpaceNeeded(uint64_t(1) << 50), (uint64_t(1) << 50) / 100 * 105 + 25);
  EXPECT_EQ(KVRecoveryServices::SpaceNeeded(UINT64_MAX), UINT64_MAX);
  EXPECT_EQ(KVRecoveryServices::SpaceNeeded(UINT64_MAX / 105 * 100), UINT64_MAX / 105 * 105);

  EXPECT_FALSE(KVRecoveryServices::HasRoomFor(105, 100)) << "equal is not enough";
  EXPECT_TRUE(KVRecoveryServices::HasRoomFor(106, 100));
  EXPECT_FALSE(KVRecoveryServices::HasRoomFor(106, 101));
  EXPECT_TRUE(KVRecoveryServices::HasRoomFor(1, 0)) << "nothing ticked needs nothing";
  EXPECT_FALSE(KVRecoveryServices::HasRoomFor(0, 0));
  EXPECT_FALSE(KVRecoveryServices::HasRoomFor(-1, 0)) << "unknown free space";
  EXPECT_FALSE(KVRecoveryServices::HasRoomFor(INT64_MAX, UINT64_MAX / 2));
}

// Exactly one pane at a time; the stop button pauses and asks, No resumes
// (the same number), Yes stops; a full destination shows its pane, whose
// Continue resumes and Cancel stops; any close of the window asks too.
TEST(RecoveryProgressWindow, PanesAndTheirAnswers) {
  windowtest::Start();
  struct Recorder : KVShowScanProgressWindowControllerDelegate {
    void stopButtonAction(int value) override { values.push_back(value); }
    std::vector<int> values;
  } delegate;
  KVShowScanProgressWindowController progress;
  progress.setDelegate(&delegate);
  progress.runModal();
  KVSmallWindow* window = progress.window();
  EXPECT_EQ(window->windowModality(), Qt::ApplicationModal);
  const auto shown = [&] {
    int panes = 0;
    for (QWidget* pane : {progress.recoveryProgressView, progress.warningView, progress.noMemeryView})
      panes += pane->isVisibleTo(window) ? 1 : 0;
    return panes;
  };
  EXPECT_EQ(progress.titleLabel->text(), QStringLiteral("Recovering files…"));
  progress.changeProgressValue(37.5, QStringLiteral("<b>Holiday</b>.jpg"));
  EXPECT_DOUBLE_EQ(progress.progressBar->progressValue(), 37.5);
  EXPECT_EQ(progress.scaningFileName->text(), QStringLiteral("<b>Holiday</b>.jpg"));
  progress.changeProgressValue(40, QString());
  EXPECT_EQ(progress.scaningFileName->text(), QStringLiteral("<b>Holiday</b>.jpg")) << "no name keeps the last";
  uitest::SaveArtifact(uitest::Grab(window), QStringLiteral("recovery-progress"));

  EXPECT_EQ(shown(), 1);
  QTest::mouseClick(progress.stopButton, Qt::LeftButton);
  EXPECT_EQ(progress.shownPane(), Pane::kStopQuestion);
  EXPECT_EQ(shown(), 1);
  EXPECT_EQ(progress.warningTitle->text(), QStringLiteral("Stop recovering?"));
  EXPECT_EQ(progress.yesButton->label()->text(), QStringLiteral("Stop"));
  EXPECT_EQ(progress.noButton->label()->text(), QStringLiteral("Continue"));
  uitest::SaveArtifact(uitest::Grab(window), QStringLiteral("recovery-stop-question"));
  // Closing the window while asked does not answer (nor resume) it.
  window->close();
  QTest::mouseClick(progress.noButton, Qt::LeftButton);
  EXPECT_EQ(progress.shownPane(), Pane::kProgress);
  EXPECT_EQ((delegate.values), (std::vector<int>{1, 1}));

  // The window manager's close, or Escape, asks the question like the stop
  // button: a recovery never runs on behind a closed window.
  window->close();
  qttest::PumpPending();
  EXPECT_TRUE(window->isVisible());
  EXPECT_EQ(progress.shownPane(), Pane::kStopQuestion);
  QTest::mouseClick(progress.yesButton, Qt::LeftButton);
  EXPECT_EQ((delegate.values), (std::vector<int>{1, 1, 1, 2}));

  progress.setNoMemeryViewHidden();
  EXPECT_EQ(progress.shownPane(), Pane::kNoSpace);
  EXPECT_EQ(shown(), 1);
  EXPECT_EQ(progress.noMemeryContinueButton->label()->text(), QStringLiteral("Continue"));
  EXPECT_EQ(progress.noMemeryCancelButton->label()->text(), QStringLiteral("Cancel"));
  EXPECT_EQ(progress.noMemeryTitle->text(), QStringLiteral("Not enough free space"));
  uitest::SaveArtifact(uitest::Grab(window), QStringLiteral("recovery-out-of-space"));
  QTest::mouseClick(progress.stopButton, Qt::LeftButton);  // hidden: nothing
  QTest::mouseClick(progress.noMemeryContinueButton, Qt::LeftButton);
  EXPECT_EQ(progress.shownPane(), Pane::kProgress);
  progress.setNoMemeryViewHidden();
  QTest::mouseClick(progress.noMemeryCancelButton, Qt::LeftButton);
  EXPECT_EQ((delegate.values), (std::vector<int>{1, 1, 1, 2, 1, 2}));

  // Only its owner closes it.
  progress.closeWindow();
  EXPECT_TRUE(qttest::PumpUntil([&] { return !window->isVisible(); }));
}

// The end window's link opens the destination folder with the desktop and
// shows the path as plain text; the share links show only with an address
// and open it. The stop window tells the count without rounding it.
TEST(RecoveryEndWindows, LinksAndCounts) {
  windowtest::Start();
  windowtest::UseLinkTable(
      windowtest::LinkTable(1, {{QStringLiteral("Twitter"), QStringLiteral("https://x.invalid/s")}}));
  windowtest::OpenedLinks opened;
  const QString folder = QStringLiteral("/tmp/<i>Recovered</i> photos");
  {
    KVScanEndSaveWindowController end;
    end.setSavePathStr(folder);
    end.runModal();
    EXPECT_EQ(end.window()->windowModality(), Qt::ApplicationModal);
    EXPECT_EQ(end.recoveryEndTitle->text(), QStringLiteral("Recovery finished"));
    EXPECT_EQ(end.savePathLabel->text(), folder);
    EXPECT_TRUE(end.savePathLabel->font().underline());
    EXPECT_TRUE(end.savePathLabel->toolTip().contains(QStringLiteral("&lt;i&gt;Recovered&lt;/i&gt;")));
    EXPECT_FALSE(end.shareButtons[0]->isVisibleTo(end.window()));
    EXPECT_TRUE(end.shareButtons[1]->isVisibleTo(end.window()));
    EXPECT_FALSE(end.shareButtons[2]->isVisibleTo(end.window()));
    uitest::SaveArtifact(uitest::Grab(end.window()), QStringLiteral("recovery-end"));
    QTest::mouseClick(end.savePathLabel, Qt::LeftButton, {}, QPoint(4, 8));
    QTest::mouseClick(end.shareButtons[1], Qt::LeftButton);
    end.facebookButtonAction();  // no address: nothing opens
    ASSERT_EQ(opened.urls().size(), 2);
    EXPECT_EQ(opened.urls()[0], QUrl::fromLocalFile(folder));
    EXPECT_EQ(opened.urls()[1], QUrl(QStringLiteral("https://x.invalid/s")));
    QTest::mouseClick(end.okButton, Qt::LeftButton);
    EXPECT_TRUE(qttest::PumpUntil([&] { return !end.window()->isVisible(); }));
  }
  {
    KVScanNotEndSaveWindowController stop;
    stop.changeRecoveryFilesPoint(3, folder);
    stop.runModal();
    EXPECT_EQ(stop.showRecoveryNoteLabel->text(), QStringLiteral("Recovery stopped. 3 files were recovered to:"));
    uitest::SaveArtifact(uitest::Grab(stop.window()), QStringLiteral("recovery-stopped"));
    // A count past what single precision holds exactly.
    stop.changeRecoveryFilesPoint(16777217, folder);
    EXPECT_TRUE(stop.showRecoveryNoteLabel->text().contains(QStringLiteral(" 16777217 files")));
    stop.jumpToSavePath();
    EXPECT_EQ(opened.urls().size(), 3);
    stop.changeRecoveryFilesPoint(0, QString());
    stop.jumpToSavePath();  // no folder: nothing
    EXPECT_EQ(opened.urls().size(), 3);
    QTest::mouseClick(stop.okButton, Qt::LeftButton);
    EXPECT_TRUE(qttest::PumpUntil([&] { return !stop.window()->isVisible(); }));
  }
}

// The chooser: a sheet on the window that keeps the recovery button
// disabled while open; the first one lies 75 points below the window's
// top, later ones where the last one was left. Cancelling starts nothing.
TEST(RecoveryFlow, TheChooserRemembersWhereItWas) {
  RecoveryWindow window;
  window->recovertyButton->setButtonEnabled(true);
  window->recovrtyButtonClick();
  ASSERT_TRUE(recoverytest::PanelOpen(*window));
  EXPECT_FALSE(window->recovertyButton->isButtonEnabled());
  EXPECT_EQ(window->panel->windowModality(), Qt::WindowModal);
  EXPECT_EQ(window->panel->fileMode(), QFileDialog::Directory);
  EXPECT_EQ(window->panel->labelText(QFileDialog::Accept), QStringLiteral("Recover Here"));
  const QRect frame = window->window()->geometry();
  EXPECT_EQ(window->panel->geometry(), QRect(frame.x(), frame.y() + 75, frame.width(), frame.height() - 75));
  uitest::SaveArtifact(uitest::Grab(window->panel), QStringLiteral("recovery-chooser"));
  window->recovrtyButtonClick();  // one chooser at a time
  window->panel->setGeometry(QRect(frame.x() + 10, frame.y() + 90, 700, 480));
  ASSERT_TRUE(recoverytest::CancelChooser(*window));
  EXPECT_TRUE(window->recovertyButton->isButtonEnabled());
  EXPECT_EQ(window.fake.starts, 0);
  window->recovrtyButtonClick();
  ASSERT_TRUE(recoverytest::PanelOpen(*window));
  EXPECT_EQ(window->panel->geometry(), QRect(frame.x() + 10, frame.y() + 90, 700, 480));
  ASSERT_TRUE(recoverytest::ChooseFolder(*window, QStringLiteral("/tmp/")));
  EXPECT_EQ(window->recoverySavePathStr, QStringLiteral("/tmp"));
  EXPECT_EQ(window.fake.folder, QStringLiteral("/tmp"));
}

// Writable first (an information sheet, nothing else), then the scanned
// disk (Yes chooses again half a second later, No recovers there without
// the free-space check), then free space above 105 % of the stored bytes
// (equal is not enough; No recovers anyway, Yes gives up).
TEST(RecoveryFlow, TheChecksInTheirOrderDoWhatTheUserAnswers) {
  RecoveryWindow window;
  FakeRecovery& fake = window.fake;
  fake.writable = false;
  fake.sameDevice = true;
  ASSERT_NO_FATAL_FAILURE(window.ChooseDestination());
  EXPECT_TRUE(window->recovertyButton->isButtonEnabled());
  EXPECT_TRUE(SheetTexts(*window).contains(QStringLiteral("Clipmender cannot write to this folder")));
  EXPECT_EQ(SheetButtons(*window), (QStringList{QStringLiteral("OK")}));
  uitest::SaveArtifact(uitest::Grab(window->window()), QStringLiteral("recovery-not-writable"));
  ASSERT_TRUE(Answer(*window, 1));
  EXPECT_EQ(fake.starts, 0);
  EXPECT_FALSE(window->panel);

  fake.writable = true;
  ASSERT_NO_FATAL_FAILURE(window.ChooseDestination());
  EXPECT_TRUE(SheetTexts(*window).contains(QStringLiteral("This folder is on the disk you are recovering from")));
  EXPECT_EQ(SheetButtons(*window),
            (QStringList{QStringLiteral("Recover Here Anyway"), QStringLiteral("Choose Another Folder")}));
  uitest::SaveArtifact(uitest::Grab(window->window()), QStringLiteral("recovery-same-disk"));
  QElapsedTimer clock;
  clock.start();
  ASSERT_TRUE(Answer(*window, 1));
  EXPECT_FALSE(window->panel) << "the chooser comes back later";
  ASSERT_TRUE(recoverytest::PanelOpen(*window));
  EXPECT_GE(clock.elapsed(), 450);
  ASSERT_TRUE(recoverytest::ChooseFolder(*window, QStringLiteral("/tmp")));
  ASSERT_TRUE(Answer(*window, 0));  // the same disk again: recover there
  EXPECT_EQ(fake.starts, 1);
  EXPECT_EQ(fake.freeSpaceAsked, 0) << "no free-space check on the scanned disk";
  fake.End();
  ASSERT_NE(ShownEnd(*window), nullptr);
  window->scanEndSaveWC->okButtonAction();
  ASSERT_TRUE(recoverytest::NoneOpen());

  fake.sameDevice = false;
  fake.storedBytes = 1000;
  fake.freeBytes = 1050;  // exactly 105 %
  ASSERT_NO_FATAL_FAILURE(window.ChooseDestination());
  EXPECT_TRUE(SheetTexts(*window).contains(QStringLiteral("Not enough free space")));
  EXPECT_EQ(SheetButtons(*window), (QStringList{QStringLiteral("Continue"), QStringLiteral("Cancel")}));
  uitest::SaveArtifact(uitest::Grab(window->window()), QStringLiteral("recovery-no-space"));
  ASSERT_TRUE(Answer(*window, 1));
  EXPECT_EQ(fake.starts, 1) << "Cancel gives up";
  ASSERT_NO_FATAL_FAILURE(window.ChooseDestination());
  ASSERT_TRUE(Answer(*window, 0));
  EXPECT_EQ(fake.starts, 2) << "Continue recovers anyway";
  fake.End();
  window->scanEndSaveWC->okButtonAction();
  ASSERT_TRUE(recoverytest::NoneOpen());

  fake.freeBytes = 1051;
  ASSERT_NO_FATAL_FAILURE(window.ChooseDestination());
  EXPECT_EQ(window->currentSheet() != nullptr && window->currentSheet()->isOpen(), false);
  EXPECT_EQ(fake.starts, 3);
}

// The first news opens the progress window with the percentage and the
// file's name; the end closes it and opens the end window, once, whatever
// news follows. Closing it leaves no window open.
TEST(RecoveryFlow, ProgressThenOneEndWindow) {
  RecoveryWindow window;
  FakeRecovery& fake = window.fake;
  ASSERT_NO_FATAL_FAILURE(window.Start());
  EXPECT_EQ(window->recoveryProgressWindow, nullptr) << "the window comes with the first news";
  fake.Report(250, 1000, QStringLiteral("IMG_0001.JPG"));
  KVShowScanProgressWindowController* progress = ShownProgress(*window);
  ASSERT_NE(progress, nullptr);
  EXPECT_EQ(progress->window()->windowModality(), Qt::ApplicationModal);
  EXPECT_DOUBLE_EQ(progress->progressBar->progressValue(), 25.0);
  EXPECT_EQ(progress->scaningFileName->text(), QStringLiteral("IMG_0001.JPG"));
  fake.Report(0, 0, QString());
  EXPECT_EQ(window->recoveryProgressWindow, progress) << "one window per recovery";
  EXPECT_DOUBLE_EQ(progress->progressBar->progressValue(), 0.0);
  EXPECT_EQ(progress->scaningFileName->text(), QStringLiteral("IMG_0001.JPG"));
  fake.Report(1000, 1000, QStringLiteral("IMG_0002.JPG"));
  fake.End();
  EXPECT_EQ(window->recoveryProgressWindow, nullptr);
  fake.End();
  fake.End();
  ASSERT_NE(ShownEnd(*window), nullptr);
  EXPECT_EQ(window->scanEndSaveWC->savePathStr(), QStringLiteral("/tmp"));
  EXPECT_FALSE(window->scanEndSaveWC->failedFilesNote->isVisibleTo(window->scanEndSaveWC->window()))
      << "every file was recovered";
  EXPECT_EQ(window->scanNotEndSaceWC, nullptr);
  ASSERT_TRUE(qttest::PumpUntil([] { return ShownSmallWindows().size() == 1; }));
  window->scanEndSaveWC->okButtonAction();
  EXPECT_TRUE(recoverytest::NoneOpen());
  EXPECT_EQ(fake.stops, 0);
  EXPECT_EQ(fake.pauseOrResumes, 0);

  // A recovery over before its first news: no progress window, the end
  // window at once.
  ASSERT_NO_FATAL_FAILURE(window.ChooseDestination());
  EXPECT_EQ(fake.starts, 2);
  fake.End();
  EXPECT_EQ(window->recoveryProgressWindow, nullptr);
  ASSERT_NE(ShownEnd(*window), nullptr);
  ASSERT_TRUE(qttest::PumpUntil([] { return ShownSmallWindows().size() == 1; }));
  window->scanEndSaveWC->okButtonAction();
  EXPECT_TRUE(recoverytest::NoneOpen());

  // Files that failed, one of them too large for the destination: the end
  // window says so.
  fake.failed = 3, fake.tooLarge = 1;
  ASSERT_NO_FATAL_FAILURE(window.ChooseDestination());
  fake.End();
  ASSERT_NE(ShownEnd(*window), nullptr);
  const QLabel* note = window->scanEndSaveWC->failedFilesNote;
  EXPECT_TRUE(note->isVisibleTo(window->scanEndSaveWC->window()));
  EXPECT_TRUE(note->text().startsWith(QStringLiteral("3 files could not be recovered"))) << note->text().toStdString();
  EXPECT_TRUE(note->text().contains(QStringLiteral("1 of them are too large"))) << note->text().toStdString();
  EXPECT_FALSE(window->scanEndSaveWC->failedFilesList->isVisibleTo(window->scanEndSaveWC->window()));
  ASSERT_TRUE(qttest::PumpUntil([] { return ShownSmallWindows().size() == 1; }));
  window->scanEndSaveWC->okButtonAction();
  EXPECT_TRUE(recoverytest::NoneOpen());

  // Two files whose copies are incomplete: the end window names them, from
  // the destination it shows; the window grows to list them, its OK button
  // still inside it.
  fake.failed = 2, fake.tooLarge = 0;
  ASSERT_NO_FATAL_FAILURE(window.ChooseDestination());
  fake.failedPaths = {fake.folder + QStringLiteral("/FAT32/DCIM/100CANON/IMG_0007.JPG"),
                      fake.folder + QStringLiteral("//FAT32/Documents/report.doc")};
  fake.End();
  KVScanEndSaveWindowController* end = ShownEnd(*window);
  ASSERT_NE(end, nullptr);
  EXPECT_TRUE(end->failedFilesNote->text().startsWith(QStringLiteral("2 files could not be recovered")));
  ASSERT_TRUE(end->failedFilesList->isVisibleTo(end->window()));
  EXPECT_EQ(
      end->failedFilesList->toPlainText().split(u'\n'),
      QStringList({QStringLiteral("FAT32/DCIM/100CANON/IMG_0007.JPG"), QStringLiteral("FAT32/Documents/report.doc")}));
  EXPECT_TRUE(end->failedFilesList->isReadOnly());
  EXPECT_EQ(end->window()->height(), KVScanEndSaveWindowController::kHeight + KVSmallWindow::kTitleBarHeight +
                                         KVScanEndSaveWindowController::kListGrowth);
  const QRect inside = end->window()->contentView()->rect();
  for (QWidget* part : {static_cast<QWidget*>(end->okButton), static_cast<QWidget*>(end->failedFilesList),
                        static_cast<QWidget*>(end->failedFilesNote)}) {
    EXPECT_TRUE(inside.contains(part->geometry())) << part->metaObject()->className();
  }
  EXPECT_FALSE(end->failedFilesList->geometry().intersects(end->okButton->geometry()));
  EXPECT_FALSE(end->failedFilesList->geometry().intersects(end->failedFilesNote->geometry()));
  uitest::SaveArtifact(uitest::Grab(end->window()), QStringLiteral("recovery-end-failed"));
  ASSERT_TRUE(qttest::PumpUntil([] { return ShownSmallWindows().size() == 1; }));
  end->okButtonAction();
  EXPECT_TRUE(recoverytest::NoneOpen());

  // More files failed than paths are kept: the list says how many more the
  // log names.
  fake.failed = 5;
  ASSERT_NO_FATAL_FAILURE(window.ChooseDestination());
  fake.End();
  end = ShownEnd(*window);
  ASSERT_NE(end, nullptr);
  const QStringList lines = end->failedFilesList->toPlainText().split(u'\n');
  ASSERT_EQ(lines.size(), 3);
  EXPECT_TRUE(lines.back().contains(QStringLiteral("3 more"))) << lines.back().toStdString();
  ASSERT_TRUE(qttest::PumpUntil([] { return ShownSmallWindows().size() == 1; }));
  end->okButtonAction();
  EXPECT_TRUE(recoverytest::NoneOpen());
  fake.failed = fake.tooLarge = 0;
  fake.failedPaths.clear();

  // A recovery that would not start opens nothing.
  fake.accepts = false;
  ASSERT_NO_FATAL_FAILURE(window.ChooseDestination());
  fake.End();
  EXPECT_TRUE(ShownSmallWindows().empty());
}

// Stop pauses and asks; No resumes; Yes stops and shows the stop window
// with the count, and never the end window, although the stopped recovery
// still sends news and ends.
TEST(RecoveryFlow, AStopShowsTheStopWindowAndNeverTheEndWindow) {
  RecoveryWindow window;
  FakeRecovery& fake = window.fake;
  ASSERT_NO_FATAL_FAILURE(window.Start());
  fake.Report(10, 100, QStringLiteral("a.txt"));
  KVShowScanProgressWindowController* progress = ShownProgress(*window);
  ASSERT_NE(progress, nullptr);
  QTest::mouseClick(progress->stopButton, Qt::LeftButton);
  EXPECT_TRUE(fake.paused);
  QTest::mouseClick(progress->noButton, Qt::LeftButton);
  EXPECT_FALSE(fake.paused);
  QTest::mouseClick(progress->stopButton, Qt::LeftButton);
  fake.Report(20, 100, QStringLiteral("b.txt"));  // news while asked
  EXPECT_EQ(progress->shownPane(), Pane::kStopQuestion);
  fake.files = 7;
  QTest::mouseClick(progress->yesButton, Qt::LeftButton);
  EXPECT_EQ(fake.stops, 1);
  EXPECT_EQ(window->recoveryProgressWindow, nullptr);
  ASSERT_NE(ShownStop(*window), nullptr);
  EXPECT_EQ(window->scanNotEndSaceWC->showRecoveryNoteLabel->text(),
            QStringLiteral("Recovery stopped. 7 files were recovered to:"));
  EXPECT_EQ(window->scanNotEndSaceWC->savePtahStr(), QStringLiteral("/tmp"));
  // The stopped recovery finishes the file it was at: the count follows.
  fake.files = 8;
  fake.End();
  fake.Report(100, 100, QString());
  EXPECT_EQ(window->scanEndSaveWC, nullptr);
  EXPECT_EQ(window->scanNotEndSaceWC->showRecoveryNoteLabel->text(),
            QStringLiteral("Recovery stopped. 8 files were recovered to:"));
  ASSERT_TRUE(qttest::PumpUntil([] { return ShownSmallWindows().size() == 1; }));
  window->scanNotEndSaceWC->okButtonAction();
  EXPECT_TRUE(recoverytest::NoneOpen());

  // The next recovery ends by itself again with the end window.
  ASSERT_NO_FATAL_FAILURE(window.ChooseDestination());
  fake.Report(1, 2, QStringLiteral("c.txt"));
  fake.End();
  ASSERT_NE(ShownEnd(*window), nullptr);
  EXPECT_FALSE(ShownStop(*window));
}

// A full destination: the out-of-space pane while the recovery waits;
// Continue resumes (a destination still full shows the pane again), Cancel
// stops with the stop window.
TEST(RecoveryFlow, AFullDestinationAsksToContinueOrCancel) {
  RecoveryWindow window;
  FakeRecovery& fake = window.fake;
  ASSERT_NO_FATAL_FAILURE(window.Start());
  fake.Report(10, 100, QStringLiteral("big.mov"));
  KVShowScanProgressWindowController* progress = ShownProgress(*window);
  ASSERT_NE(progress, nullptr);
  constexpr uint64_t kShortWrite = 0x010D000000000D03ull;
  fake.paused = true;  // the recovery pauses itself
  fake.Report(10, 100, QStringLiteral("big.mov"), kShortWrite);
  EXPECT_EQ(progress->shownPane(), Pane::kNoSpace);
  EXPECT_DOUBLE_EQ(progress->progressBar->progressValue(), 10.0);
  QTest::mouseClick(progress->noMemeryContinueButton, Qt::LeftButton);
  EXPECT_FALSE(fake.paused);
  EXPECT_EQ(progress->shownPane(), Pane::kProgress);
  fake.paused = true;
  fake.Report(10, 100, QStringLiteral("big.mov"), kShortWrite);
  EXPECT_EQ(progress->shownPane(), Pane::kNoSpace);
  fake.files = 2;
  QTest::mouseClick(progress->noMemeryCancelButton, Qt::LeftButton);
  EXPECT_EQ(fake.stops, 1);
  ASSERT_NE(ShownStop(*window), nullptr);
  EXPECT_TRUE(window->scanNotEndSaceWC->showRecoveryNoteLabel->text().contains(QStringLiteral(" 2 files")));
  fake.End();
  EXPECT_EQ(window->scanEndSaveWC, nullptr);

  // A recovery that ends (stopped elsewhere) while its last news still
  // says the destination was full is ended all the same.
  window->scanNotEndSaceWC->okButtonAction();
  ASSERT_TRUE(recoverytest::NoneOpen());
  ASSERT_NO_FATAL_FAILURE(window.ChooseDestination());
  fake.Report(10, 100, QStringLiteral("big.mov"), kShortWrite);
  ASSERT_NE(ShownProgress(*window), nullptr);
  fake.End();
  EXPECT_EQ(window->recoveryProgressWindow, nullptr);
  EXPECT_NE(ShownEnd(*window), nullptr);
}

// A path typed into the chooser opens the list of completions; one click
// on "Recover Here" closes it and chooses the typed folder.
TEST(RecoveryFlow, OneClickChoosesATypedPath) {
  RecoveryWindow window;
  window->recovertyButton->setButtonEnabled(true);
  window->recovrtyButtonClick();
  ASSERT_TRUE(recoverytest::PanelOpen(*window));
  QFileDialog* chooser = window->panel;
  auto* name = chooser->findChild<QLineEdit*>(QStringLiteral("fileNameEdit"));
  ASSERT_NE(name, nullptr);
  QApplication::setActiveWindow(chooser);
  name->setFocus();
  testsupport::TempDir dir;
  const QString folder = QString::fromStdString(dir.path().string());
  fs::create_directories(dir / "photos");
  fs::create_directories(dir / "photos-old");
  QTest::keyClicks(name, folder + QStringLiteral("/photos"));
  ASSERT_TRUE(qttest::PumpUntil([] { return QApplication::activePopupWidget() != nullptr; }, 10));
  QPushButton* choose = chooser->findChild<QDialogButtonBox*>()->button(QDialogButtonBox::Open);
  ASSERT_TRUE(qttest::PumpUntil([&] { return choose->isEnabled(); }, 10));
  // Through the window, as the pointer's click comes, not to the button.
  QTest::mouseClick(chooser->windowHandle(), Qt::LeftButton, {}, choose->mapTo(chooser, choose->rect().center()));
  qttest::PumpPending();
  EXPECT_EQ(QApplication::activePopupWidget(), nullptr);
  EXPECT_FALSE(window->panel);
  EXPECT_EQ(window.fake.folder, folder + QStringLiteral("/photos"));
}

}  // namespace
