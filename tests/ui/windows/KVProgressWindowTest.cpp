// The progress window of saving and loading a scan result, alone and under
// the wizard's import: the bar's arithmetic, the end after the finish with
// the failure alert or "ShowDetailWindow", a close before the end, and a
// wizard that stays usable after a load that failed.
#include <gtest/gtest.h>

#include <QFile>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>

#include <limits>

#include "KVWindowsTestSupport.h"
#include "QtTestSupport.h"
#include "WizardTestSupport.h"
#include "app/KVNode.h"
#include "app/ScanResultSaveRestore.h"
#include "platform/Localized.h"
#include "platform/NotificationCenter.h"
#include "ui/widgets/KVProgressView.h"
#include "ui/widgets/TCImageButton.h"
#include "ui/windows/KVProgressWindow.h"
#include "ui/windows/KVRootWindowController.h"
#include "ui/windows/KVSmallWindow.h"

namespace {

using wizardtest::Disk;
using wizardtest::Volume;

const QString kProgress = QStringLiteral("NormalScranValue");
const QString kFinish = QStringLiteral("QueryProgressFinish");
const QString kShowDetail = QStringLiteral("ShowDetailWindow");

// A save or load as the windows see it: its record, and the posts of its
// poller.
struct Operation {
  uint64_t total = 0, current = 0, error = 0;
  int stops = 0;

  KVProgressWindow::ProgressSource Source() {
    return [this](uint64_t* t, uint64_t* c, uint64_t* e, int) {
      *t = total;
      *c = current;
      *e = error;
    };
  }
  void Report(uint64_t t, uint64_t c, const QString& name = kProgress) {
    total = t;
    current = c;
    platform::NotificationCenter::DefaultCenter().Post(name);
  }
  void Finish(uint64_t outcome) {
    error = outcome;
    current = total;
    platform::NotificationCenter::DefaultCenter().Post(kFinish);
  }
  // Reports, then the finish, from the event loop (a modal run's).
  void RunLater(uint64_t outcome, int finishAfterMs = 30) {
    QTimer::singleShot(5, [this] { Report(1000, 250); });
    QTimer::singleShot(10, [this] { Report(1000, 700); });
    QTimer::singleShot(finishAfterMs, [this, outcome] { Finish(outcome); });
  }
};

int Observers() {
  auto& center = platform::NotificationCenter::DefaultCenter();
  return center.ObserverCount(kProgress) + center.ObserverCount(kFinish) +
         center.ObserverCount(QStringLiteral("QueryProgressInfo"));
}

TEST(ProgressWindow, TheBarHoldsWithin0And100AndNeverMovesBack) {
  EXPECT_EQ(KVProgressWindow::Percent(200, 50), 25.0);
  EXPECT_EQ(KVProgressWindow::Percent(0, 0), 0.0);
  EXPECT_EQ(KVProgressWindow::Percent(0, 7), 100.0) << "a total of 0 counts as 1, held at 100";
  EXPECT_EQ(KVProgressWindow::Percent(100, 150), 100.0);
  const uint64_t most = std::numeric_limits<uint64_t>::max();
  EXPECT_NEAR(KVProgressWindow::Percent(most, most / 2), 50.0, 1e-9);

  windowtest::Start();
  Operation operation;
  KVProgressWindow progress(operation.Source());
  progress.setStrPostName(kProgress);
  progress.window()->show();
  operation.Report(100, 60);
  EXPECT_EQ(progress.progressValue(), 60.0);
  operation.Report(100, 30);
  EXPECT_EQ(progress.progressValue(), 60.0) << "backwards";
  operation.Report(0, 0);
  EXPECT_EQ(progress.progressValue(), 60.0);
  operation.Report(0, 5);
  EXPECT_EQ(progress.progressValue(), 100.0);
  // Another name is not this window's.
  operation.Report(100, 0, QStringLiteral("QueryProgressInfo"));
  EXPECT_EQ(progress.progressValue(), 100.0);
}

TEST(ProgressWindow, AGoodLoadPostsShowDetailWindowOnceAfterItClosed) {
  windowtest::Start();
  Operation operation;
  KVProgressWindow progress(operation.Source());
  progress.setStrPostName(kProgress);
  progress.setBSave(false);
  progress.window();
  EXPECT_EQ(progress.title->text(), platform::Localized("LOAD_SCAN_RESULT"));
  QObject owner;
  int posts = 0;
  bool closedFirst = true;
  platform::NotificationCenter::DefaultCenter().AddObserver(kShowDetail, &owner, [&](const platform::Notification&) {
    ++posts;
    closedFirst = closedFirst && !progress.window()->isVisible();
  });
  wizardtest::AlertAnswerer alerts(1);
  operation.RunLater(0);
  progress.runModal();
  EXPECT_EQ(progress.getResult(), 1);
  EXPECT_EQ(progress.progressValue(), 100.0);
  EXPECT_EQ(posts, 1);
  EXPECT_TRUE(closedFirst);
  EXPECT_TRUE(alerts.texts.isEmpty());
  EXPECT_EQ(Observers(), 0);
  // A late finish reaches nobody.
  operation.Finish(0);
  qttest::PumpPending();
  EXPECT_EQ(posts, 1);
}

TEST(ProgressWindow, AGoodSavePostsNothingAndAFailedOneSaysSo) {
  windowtest::Start();
  wizardtest::PostCounter shows(kShowDetail);
  for (const uint64_t outcome : {0, 9}) {
    Operation operation;
    KVProgressWindow progress(operation.Source());
    progress.setStrPostName(QStringLiteral("QueryProgressInfo"));
    progress.setBSave(true);
    progress.window();
    EXPECT_EQ(progress.Description->text(), platform::Localized("SAVE_RESULT_WAIT"));
    wizardtest::AlertAnswerer alerts(1);
    QTimer::singleShot(5, [&] { operation.Report(10, 5, QStringLiteral("QueryProgressInfo")); });
    QTimer::singleShot(20, [&] { operation.Finish(outcome); });
    progress.runModal();
    EXPECT_EQ(progress.getResult(), outcome == 0 ? 1 : 0);
    EXPECT_EQ(alerts.texts.size(), outcome == 0 ? 0 : 1);
  }
  EXPECT_EQ(shows.count, 0);
}

TEST(ProgressWindow, NoObserverOutlivesTheWindow) {
  windowtest::Start();
  Operation operation;
  {
    KVProgressWindow progress(operation.Source());
    progress.setStrPostName(kProgress);
    progress.window()->show();
    EXPECT_EQ(Observers(), 2);
  }
  EXPECT_EQ(Observers(), 0);
  operation.Report(10, 5);
  operation.Finish(0);
  qttest::PumpPending();
}

// ---- the wizard's import ---------------------------------------------------------

// A wizard on its disk page whose loads the test runs.
struct Importing {
  Importing()
      : machine({Disk("a", 1000000000, 0, {Volume("one", 1000000000, 3, 0, 0)}),
                 Disk("b", 1000000000, 1, {Volume("two", 1000000000, 3, 1, 0)})}) {
    windowtest::Start();
    KVWizardServices services = machine.Services();
    services.getSavePath = [] { return QStringLiteral("/saved/results"); };
    services.beginSaveOrRestoreNode = [this](int save, const QString& path) {
      loads << QStringLiteral("%1 %2").arg(save).arg(path);
      operation.RunLater(outcome, finishAfterMs);
      return true;
    };
    services.getSaveorRestoreProgress = operation.Source();
    services.stopRestore = [this] { ++operation.stops; };
    services.getLoadDamage = [this](uint64_t* leftOut, uint64_t* cut, uint64_t* unread) {
      *leftOut = damage[0], *cut = damage[1], *unread = damage[2];
      return damaged;
    };
    Open(std::move(services));
  }
  void Open(KVWizardServices services) {
    root = std::make_unique<KVRootWindowController>(std::move(services));
    root->SetResultsWindowHooks(results.Hooks());
    root->SetImportFileChooser([this](const QString& start) {
      starts << start;
      return chosen;
    });
    root->showWindow();
    QTest::mouseClick(root->selectTypeVC()->startScanButton, Qt::LeftButton);
    qttest::PumpUntil([&] { return root->whichPage() == KVRootWindowController::kDiskStep; }, 10);
  }
  void Import() {
    ASSERT_TRUE(root->importButton->isVisible());
    // The title bar takes clicks only in the active window; offscreen
    // nothing hands the activation back once a modal window has gone.
    root->window()->activateWindow();
    qttest::PumpUntil([&] { return root->window()->isActiveWindow(); }, 5);
    QTest::mouseClick(root->importButton, Qt::LeftButton);  // returns once the load's window has ended
  }

  wizardtest::Machine machine;
  Operation operation;
  uint64_t outcome = 0;
  bool damaged = false;
  uint64_t damage[3] = {};
  int finishAfterMs = 30;
  QString chosen = QStringLiteral("/saved/results/scan.rsf");
  QStringList starts, loads;
  wizardtest::ResultsWindow results;
  std::unique_ptr<KVRootWindowController> root;
};

TEST(WizardImport, ACancelledChoiceChangesNothing) {
  Importing wizard;
  wizard.chosen.clear();
  wizard.Import();
  EXPECT_EQ(wizard.starts, QStringList{"/saved/results"}) << "the panel opens where results were saved";
  EXPECT_TRUE(wizard.loads.isEmpty());
  EXPECT_EQ(wizard.machine.masks, std::vector<uint32_t>{63});
  EXPECT_TRUE(wizard.root->importButton->isVisible());
}

TEST(WizardImport, AGoodLoadShowsItsResultsInPlaceOfTheWizard) {
  Importing wizard;
  wizardtest::PostCounter shows(kShowDetail);
  wizardtest::PostCounter quits(QStringLiteral("appWillTerminate"));
  wizard.Import();
  EXPECT_EQ(wizard.loads, QStringList{"0 /saved/results/scan.rsf"});
  EXPECT_EQ(wizard.machine.masks, (std::vector<uint32_t>{63, KVRootWindowController::kImportMask}));
  EXPECT_EQ(wizard.results.imports, QStringList{"/saved/results/scan.rsf"});
  EXPECT_EQ(shows.count, 1);
  EXPECT_GE(wizard.results.shows, 1);
  EXPECT_EQ(wizard.results.discards, 0);
  EXPECT_TRUE(wizard.results.scans.empty());
  EXPECT_FALSE(wizard.root->window()->isVisible());
  qttest::PumpPending();
  EXPECT_EQ(quits.count, 0);
  EXPECT_EQ(Observers(), 0);
}

TEST(WizardImport, AFailedLoadShowsTheAlertAndTheWizardGoesOn) {
  Importing wizard;
  wizard.outcome = 6;
  wizardtest::AlertAnswerer alerts(1);
  wizard.Import();
  ASSERT_EQ(alerts.texts.size(), 1);
  EXPECT_TRUE(alerts.texts[0].contains(platform::Localized("READ_RSF_FAILED")));
  EXPECT_EQ(wizard.results.discards, 1);
  EXPECT_EQ(wizard.results.shows, 0);
  EXPECT_TRUE(wizard.root->window()->isVisible());
  EXPECT_EQ(wizard.root->whichPage(), KVRootWindowController::kDiskStep);
  EXPECT_TRUE(wizard.root->importButton->isVisible());
  EXPECT_TRUE(wizard.root->selectDiskVC()->isFollowingMedia());
  // Still usable: another import, then a scan.
  wizard.outcome = 0;
  wizard.Import();
  EXPECT_EQ(wizard.loads.size(), 2);
  EXPECT_GE(wizard.results.shows, 1);
  wizard.results.shows = 0;
  wizard.Open(wizard.machine.Services());
  QTest::mouseClick(wizard.root->selectDiskVC()->scanButton, Qt::LeftButton);
  ASSERT_EQ(wizard.results.scans.size(), 1u);
  EXPECT_EQ(wizard.results.scans[0]->name(), "one");
}

// Another volume where a tree was read: the alert names that, and nothing
// is shown.
TEST(WizardImport, ALoadRefusedForAnotherVolumeSaysSo) {
  Importing wizard;
  wizard.outcome = SaveRestoreResult::kLoadOtherVolume;
  wizardtest::AlertAnswerer alerts(1);
  wizard.Import();
  ASSERT_EQ(alerts.texts.size(), 1);
  EXPECT_TRUE(alerts.texts[0].contains(platform::Localized("LOAD_RSF_OTHER_VOLUME")));
  EXPECT_NE(platform::Localized("LOAD_RSF_OTHER_VOLUME"), "LOAD_RSF_OTHER_VOLUME") << "the string table has it";
  // Every line of it inside the alert's window.
  EXPECT_TRUE(alerts.clipped.isEmpty()) << alerts.clipped.join(u'|').toStdString();
  EXPECT_EQ(wizard.results.discards, 1);
  EXPECT_EQ(wizard.results.shows, 0);
  EXPECT_TRUE(wizard.root->window()->isVisible());
}

// A file found damaged: the alert says how much of it was left out, and the
// results show what could be read.
TEST(WizardImport, ADamagedFileSaysHowMuchWasLeftOutAndShowsTheRest) {
  for (const uint64_t unread : {uint64_t{0}, uint64_t{3} << 20}) {
    Importing wizard;
    wizard.outcome = 9;
    wizard.damaged = true;
    wizard.damage[0] = 17, wizard.damage[1] = 4, wizard.damage[2] = unread;
    wizardtest::AlertAnswerer alerts(1);
    wizardtest::PostCounter shows(kShowDetail);
    wizard.Import();
    ASSERT_EQ(alerts.texts.size(), 1);
    EXPECT_FALSE(alerts.texts[0].contains(platform::Localized("READ_RSF_FAILED")));
    EXPECT_TRUE(alerts.texts[0].contains(QStringLiteral("17 ")) && alerts.texts[0].contains(QStringLiteral(" 4 ")))
        << alerts.texts[0].toStdString();
    EXPECT_EQ(alerts.texts[0].contains(QStringLiteral("3")), unread != 0) << alerts.texts[0].toStdString();
    EXPECT_EQ(shows.count, 1);
    EXPECT_EQ(wizard.results.discards, 0);
    EXPECT_FALSE(wizard.root->window()->isVisible());
  }
}

TEST(WizardImport, ALoadGivenUpIsStoppedAndDiscarded) {
  Importing wizard;
  wizard.finishAfterMs = 200;  // the load ends well all the same
  wizardtest::AlertAnswerer alerts(1);
  bool openAfterCloses = false;
  QTimer::singleShot(20, [&] {
    KVProgressWindow* progress = wizard.root->progressWindow();
    if (progress == nullptr) return;
    // The close button, the window manager and Escape: the window waits for
    // the load's end.
    progress->closeWindow();
    progress->window()->close();
    QTest::keyClick(progress->window(), Qt::Key_Escape);
    QTimer::singleShot(50, [&, progress] { openAfterCloses = progress->window()->isVisible(); });
  });
  wizard.Import();
  EXPECT_TRUE(openAfterCloses);
  EXPECT_EQ(wizard.operation.stops, 1);
  EXPECT_EQ(wizard.results.discards, 1);
  EXPECT_EQ(wizard.results.shows, 0);
  EXPECT_TRUE(alerts.texts.isEmpty());
  EXPECT_TRUE(wizard.root->window()->isVisible());
  EXPECT_EQ(Observers(), 0);
}

TEST(WizardImport, ACorruptFileFailsWithTheAlert) {
  Importing wizard;
  QTemporaryDir dir;
  QFile file(dir.filePath(QStringLiteral("corrupt.rsf")));
  ASSERT_TRUE(file.open(QIODevice::WriteOnly));
  file.write(QByteArray(4096, '\x5a'));
  file.close();
  // The application core's own loader.
  KVWizardServices services = wizard.machine.Services();
  const KVWizardServices core = KVWizardServices::Default();
  services.beginSaveOrRestoreNode = core.beginSaveOrRestoreNode;
  services.getSaveorRestoreProgress = core.getSaveorRestoreProgress;
  services.stopRestore = core.stopRestore;
  wizard.Open(std::move(services));
  wizard.chosen = file.fileName();
  wizardtest::AlertAnswerer alerts(1);
  wizard.Import();
  ASSERT_EQ(alerts.texts.size(), 1);
  EXPECT_TRUE(alerts.texts[0].contains(platform::Localized("READ_RSF_FAILED")));
  EXPECT_EQ(wizard.results.discards, 1);
  EXPECT_TRUE(wizard.root->window()->isVisible());
  EXPECT_TRUE(wizard.root->importButton->isVisible());
}

}  // namespace
