// The results window over a scan of a made-up volume that can be held part
// way: the scanning and browsing states of the title bar, rows kept across
// reloads, the file pane and its empty note, closing, a pulled-out disk, a
// scan that cannot start, the deep-scan bubble and the split view.
#include <QtTest/qtestspontaneevent.h>
#include <QApplication>
#include <QCloseEvent>
#include <QDateTime>
#include <QHeaderView>
#include <QSplitter>
#include <QTest>
#include <QWindow>

#include <gtest/gtest.h>

#include "FileNode.h"
#include "KVDeletailWindowTestSupport.h"
#include "KVWindowsTestSupport.h"
#include "UiTestSupport.h"
#include "WizardTestSupport.h"
#include "app/KVUIController.h"
#include "app/KVUIDeviceData.h"
#include "app/KVUIScan.h"
#include "platform/UserDefaults.h"
#include "ui/widgets/CustomTableView.h"
#include "ui/widgets/HVTitlebarView.h"
#include "ui/widgets/ImageAndTextCell.h"
#include "ui/widgets/KVProgressView.h"
#include "ui/widgets/KitElidedLabel.h"
#include "ui/widgets/KitImageView.h"
#include "ui/widgets/KitImages.h"
#include "ui/widgets/KitSegmentedControl.h"
#include "ui/widgets/KitSpinner.h"
#include "ui/widgets/MAAttachedWindow.h"
#include "ui/widgets/TCImageWindow.h"
#include "ui/windows/KVTabButton.h"
#include "ui/windows/gallery/ResultsScene.h"

namespace {

using resultsscene::Scene;
using resultstest::Answer;
using resultstest::Browsing;
using resultstest::Choose;
using resultstest::FolderAt;
using resultstest::Names;
using resultstest::RootWindows;
using resultstest::SceneWindow;
using resultstest::SheetTexts;

// The title bar while scanning: progress and counts, pause and stop usable,
// nothing of the browsing state; the tree fills and keeps what the user
// opened across reloads; at the end the first root is chosen and opened and
// the title bar shows the result.
TEST(ResultsWindow, ScanningThenBrowsing) {
  Scene scene(1, 1);
  scene.HoldAt(42);
  SceneWindow window(scene);
  window->getData();
  ASSERT_TRUE(qttest::PumpUntil([&] { return scene.IsHeld() && window->findFilesLabel->text().endsWith("19"); }));
  EXPECT_EQ(window->findFilesLabel->text(), QStringLiteral("Files found: 19"));
  EXPECT_TRUE(window->remainTimeLabel->text().startsWith(QStringLiteral("Time remaining: ")));
  EXPECT_NEAR(window->progressView->progressValue(), 42.0, 0.01);
  for (TCImageButton* button : {window->pauseButton, window->stopButton, window->backHomeButton})
    EXPECT_TRUE(button->isButtonEnabled());
  EXPECT_FALSE(window->recovertyButton->isVisibleTo(window->window()));
  EXPECT_FALSE(window->continueButton->isVisibleTo(window->window()));
  EXPECT_FALSE(window->search->textField()->isEnabled());
  EXPECT_EQ(window->exportButton, nullptr);
  ASSERT_EQ(window->allDiskArr.size(), 1u);
  EXPECT_EQ(window->allDiskArr.front()->name(), Scene::VolumeName(0));

  // The user opens a folder and chooses another; the scan's reloads keep both.
  OpNodeData* dcim = FolderAt(*window, window->allDiskArr.front().get(), {QStringLiteral("DCIM")});
  OpNodeData* camera = FolderAt(*window, dcim, {QStringLiteral("100CANON")});
  ASSERT_NE(camera, nullptr);
  Choose(*window, camera);
  EXPECT_EQ(window->arrList.size(), static_cast<size_t>(Scene::kCameraFiles));
  uitest::SaveArtifact(uitest::Grab(window->window()), QStringLiteral("results-scanning"));
  for (int k = 0; k < 3; ++k) window->DataInitFinished();
  EXPECT_TRUE(window->outlineView->isItemExpanded(dcim));
  EXPECT_EQ(window->opDataFile, camera);

  // The remaining time is told at most once a second; the count every time.
  window->remainTimeLabel->setText(QStringLiteral("held"));
  window->lastUpdateTime = QDateTime::currentSecsSinceEpoch() + 5;
  window->getScanProgress();
  EXPECT_EQ(window->remainTimeLabel->text(), QStringLiteral("held"));
  EXPECT_EQ(window->findFilesLabel->text(), QStringLiteral("Files found: 19"));
  window->lastUpdateTime = 0;
  window->getScanProgress();
  EXPECT_NE(window->remainTimeLabel->text(), QStringLiteral("held"));

  scene.Release();
  ASSERT_TRUE(Browsing(*window));
  ASSERT_TRUE(qttest::PumpUntil([&] { return window->allDiskArr.size() == 2; }));
  qttest::PumpUntil([] { return false; }, 1);  // the scan's last news
  EXPECT_TRUE(window->outlineView->isItemExpanded(dcim));
  // The first root is chosen and open, and its files are listed.
  OpNodeData* first = window->allDiskArr.front().get();
  EXPECT_EQ(window->opDataFile, first);
  EXPECT_EQ(window->outlineView->isSelectRow(), 0);
  EXPECT_EQ(window->outlineView->selectedItem(), first);
  for (const auto& root : window->allDiskArr) EXPECT_TRUE(window->outlineView->isItemExpanded(root.get()));
  EXPECT_EQ(Names(*window), QStringList{QStringLiteral("readme.txt")});

  // Browsing: the summary, the recovery button (nothing ticked), search,
  // export with its tooltip, the deep-scan offer; no progress any more.
  EXPECT_EQ(window->selectFilesLabel->text(), QStringLiteral("Found 57.82 MB in 21 files"));
  EXPECT_TRUE(window->selectFilesLabel->isVisibleTo(window->window()));
  EXPECT_TRUE(window->recovertyButton->isVisibleTo(window->window()));
  EXPECT_FALSE(window->recovertyButton->isButtonEnabled());
  EXPECT_TRUE(window->search->textField()->isEnabled());
  ASSERT_NE(window->exportButton, nullptr);
  EXPECT_EQ(window->exportButton->toolTip(), QStringLiteral("Save this scan result to a file"));
  EXPECT_TRUE(window->continueButton->isVisibleTo(window->window()));
  EXPECT_TRUE(window->deepScanLabel->isVisibleTo(window->window()));
  EXPECT_NE(window->attachedWindow, nullptr);
  for (QWidget* gone : {static_cast<QWidget*>(window->progressView), static_cast<QWidget*>(window->pauseButton),
                        static_cast<QWidget*>(window->stopButton), static_cast<QWidget*>(window->findFilesLabel),
                        static_cast<QWidget*>(window->remainTimeLabel)})
    EXPECT_FALSE(gone->isVisibleTo(window->window()));
  EXPECT_TRUE(window->backHomeButton->isButtonEnabled());
  EXPECT_TRUE(window->segment->isEnabled());
  uitest::SaveArtifact(uitest::Grab(window->window()), QStringLiteral("results-browsing"));
}

// Folders list their own files with sizes and deleted marks; a folder
// without files of its own shows the note over both lists and the grid.
TEST(ResultsWindow, FoldersListTheirFilesAndAnEmptyOneShowsTheNote) {
  Scene scene(2, 0);
  SceneWindow window(scene);
  ASSERT_TRUE(window.ScanToTheEnd());
  OpNodeData* root = window->allDiskArr.front().get();
  Choose(*window, FolderAt(*window, root, {QStringLiteral("Documents")}));
  EXPECT_EQ(Names(*window), (QStringList{QStringLiteral("Notes.txt"), QStringLiteral("Budget 2023.xls"),
                                         QStringLiteral("Letter to Anna.doc")}));
  EXPECT_FALSE(window->tableView->noValueView() && window->tableView->noValueView()->isVisibleTo(window->tableView));
  EXPECT_EQ(window->gridNoValueView, nullptr);
  ASSERT_EQ(window->tableView->numberOfRows(), 3);
  KitTableColumn* size = window->tableView->tableColumnWithIdentifier(QStringLiteral("Size"));
  KitTableColumn* path = window->tableView->tableColumnWithIdentifier(QStringLiteral("Path"));
  EXPECT_EQ(window->objectValueForTableColumn(window->tableView, size, 1).toString(), QStringLiteral("122.88 KB"));
  EXPECT_EQ(window->objectValueForTableColumn(window->tableView, path, 1).toString(),
            QStringLiteral("/CAMERA/Documents/Budget 2023.xls"));
  EXPECT_FALSE(window->objectValueForTableColumn(window->tableView, size, 3).isValid());
  // Only the deleted file's name carries the mark.
  KitTableColumn* name = window->tableView->tableColumnWithIdentifier(QStringLiteral("Name"));
  auto* cell = static_cast<ImageAndTextCell*>(name->dataCell());
  for (int row = 0; row < 3; ++row) {
    window->willDisplayCell(window->tableView, cell, name, row);
    EXPECT_EQ(!cell->image().isNull(), row == 1) << row;
  }

  for (const QStringList& empty : {QStringList{QStringLiteral("Empty folder")}, QStringList{QStringLiteral("DCIM")}}) {
    Choose(*window, FolderAt(*window, root, empty));
    EXPECT_TRUE(window->arrList.empty()) << qPrintable(empty.join('/'));
    ASSERT_NE(window->tableView->noValueView(), nullptr);
    EXPECT_TRUE(window->tableView->noValueView()->isVisibleTo(window->tableView));
    EXPECT_TRUE(window->coverFlowerTableView->noValueView()->isVisibleTo(window->coverFlowerTableView));
    EXPECT_NE(window->gridNoValueView, nullptr);
  }
  uitest::SaveArtifact(uitest::Grab(window->window()), QStringLiteral("results-empty-folder"));
  // A folder deleted with its files still lists them.
  Choose(*window, FolderAt(*window, root, {QStringLiteral("Old trip")}));
  EXPECT_EQ(Names(*window), (QStringList{QStringLiteral("Sunset.jpg"), QStringLiteral("Beach.jpg")}));
  EXPECT_TRUE(OpNodeData::isFileNodeDeleted(window->arrList.front()));
  EXPECT_EQ(window->gridNoValueView, nullptr);
  // The second volume's files, under its own root.
  Choose(*window, window->allDiskArr.back().get());
  EXPECT_EQ(Names(*window), QStringList{QStringLiteral("archive.zip")});
}

// The outline shows a row's folders only, the i-th folder child for index i
// even where files stand between them, and opens only rows with folders.
TEST(ResultsWindow, OutlineShowsFolderRowsOnly) {
  Scene scene(1, 0);
  SceneWindow window(scene);
  ASSERT_TRUE(window.ScanToTheEnd());
  OpNodeData* root = window->allDiskArr.front().get();
  EXPECT_EQ(window->numberOfChildrenOfItem(window->outlineView, nullptr), 1);
  EXPECT_EQ(window->numberOfChildrenOfItem(window->outlineView, root), 5);
  EXPECT_TRUE(window->isItemExpandable(window->outlineView, root));
  OpNodeData* music = FolderAt(*window, root, {QStringLiteral("Music")});
  EXPECT_EQ(window->numberOfChildrenOfItem(window->outlineView, music), 0);
  EXPECT_FALSE(window->isItemExpandable(window->outlineView, music));
  EXPECT_EQ(window->childOfItem(window->outlineView, 5, root), nullptr);
  EXPECT_EQ(window->childOfItem(window->outlineView, 1, nullptr), nullptr);

  // A grouping row holding a file between two folders.
  __TreeNodeData__ none;
  OpNodeData group(none);
  group.setType(1);
  auto first = std::make_unique<OpNodeData>(none);
  first->setType(1);
  OpNodeData* firstRow = first.get();
  auto second = std::make_unique<OpNodeData>(none);
  second->setType(1);
  OpNodeData* secondRow = second.get();
  group.addChildObject(std::move(first));
  group.addChildObject(window->arrList.front());
  group.addChildObject(std::move(second));
  EXPECT_EQ(window->getNodeDataIsLeaf(&group), 2);
  EXPECT_EQ(window->folderChildAt(&group, 0), firstRow);
  EXPECT_EQ(window->folderChildAt(&group, 1), secondRow);
  EXPECT_EQ(window->folderChildAt(&group, 2), nullptr);

  // Keys other than the arrows never choose a row.
  QTest::keyClick(window->outlineView, Qt::Key_End);
  EXPECT_EQ(window->opDataFile, root);
  window->outlineView->setFocus();
  QTest::keyClick(window->outlineView, Qt::Key_Down);
  EXPECT_EQ(window->opDataFile, window->folderChildAt(root, 0));
}

// Closing while the scan runs pauses it and asks: No resumes it, Yes stops
// it and quits once it has ended. Closing afterwards quits at once.
TEST(ResultsWindow, ClosingAsksWhileScanning) {
  Scene scene(1, 1);
  scene.HoldAt(30);
  SceneWindow window(scene);
  wizardtest::PostCounter quits(QStringLiteral("appWillTerminate"));
  window->getData();
  ASSERT_TRUE(qttest::PumpUntil([&] { return scene.IsHeld(); }));
  window->closeWindow();
  EXPECT_TRUE(KVUIController::IsPause());
  ASSERT_TRUE(Answer(*window, 0));
  EXPECT_FALSE(KVUIController::IsPause());
  EXPECT_TRUE(KVUIController::IsScanRunning());
  EXPECT_TRUE(window->window()->isVisible());

  // The window manager's close asks the same.
  QCloseEvent fromWindowManager;
  QSpontaneKeyEvent::setSpontaneous(&fromWindowManager);
  QApplication::instance()->notify(window->window(), &fromWindowManager);  // sendEvent would unmark it
  EXPECT_FALSE(fromWindowManager.isAccepted());
  EXPECT_TRUE(KVUIController::IsPause());
  ASSERT_TRUE(Answer(*window, 1));
  EXPECT_EQ(window->isCloseWindow, 1);
  for (TCImageButton* button : {window->backHomeButton, window->pauseButton, window->stopButton})
    EXPECT_FALSE(button->isButtonEnabled());
  ASSERT_TRUE(qttest::PumpUntil([&] { return quits.count > 0; }));
  EXPECT_FALSE(KVUIController::IsScanRunning());
  EXPECT_FALSE(window->window()->isVisible());
  qttest::PumpUntil([] { return false; }, 1);
  EXPECT_EQ(quits.count, 1);
  EXPECT_TRUE(window.controller);  // hidden, not gone: the application ends
}

TEST(ResultsWindow, ClosingAfterTheScanQuitsAtOnce) {
  Scene scene(1, 0);
  SceneWindow window(scene);
  wizardtest::PostCounter quits(QStringLiteral("appWillTerminate"));
  ASSERT_TRUE(window.ScanToTheEnd());
  window->closeWindow();
  EXPECT_EQ(window->currentSheet(), nullptr);
  EXPECT_EQ(quits.count, 1);
  EXPECT_FALSE(window->window()->isVisible());
}

// The scanned disk pulled out: the scan stops, the message comes, and its OK
// goes back to the wizard; another disk going changes nothing.
TEST(ResultsWindow, APulledOutDiskStopsTheScanAndGoesHome) {
  Scene scene(1, 1);
  scene.HoldAt(30);
  SceneWindow window(scene);
  RootWindows roots;
  window->getData();
  ASSERT_TRUE(qttest::PumpUntil([&] { return scene.IsHeld(); }));
  auto& center = platform::NotificationCenter::DefaultCenter();
  center.Post(QStringLiteral("RefreshDetachDevice"), QVariantMap{{QStringLiteral("USBPath"), QStringLiteral("OTHER")}});
  EXPECT_EQ(window->currentSheet(), nullptr);
  EXPECT_TRUE(KVUIController::IsScanRunning());
  center.Post(QStringLiteral("RefreshDetachDevice"), QVariantMap{{QStringLiteral("USBPath"), QStringLiteral("CARD")}});
  ASSERT_NE(window->currentSheet(), nullptr);
  EXPECT_EQ(center.ObserverCount(QStringLiteral("RefreshDetachDevice")), 0);
  ASSERT_TRUE(qttest::PumpUntil([] { return !KVUIController::IsScanRunning(); }));
  EXPECT_TRUE(SheetTexts(*window).contains(QStringLiteral("The usb device is detatched!")));
  ASSERT_TRUE(Answer(*window, 1));
  // The window goes, and the wizard comes 0.2 s later.
  ASSERT_TRUE(qttest::PumpUntil([&] { return window.controller.isNull() && roots.opened() == 1; }));
}

// A scan that cannot start says so instead of waiting for news that never
// comes, and its OK goes back to the wizard.
TEST(ResultsWindow, AScanThatCannotStartSaysSo) {
  Scene scene(1, 0);
  SceneWindow window(scene);
  RootWindows roots;
  window->setScanStarter([](const DiskVolumeNodeData*, const QString&) { return false; });
  window->getData();
  ASSERT_NE(window->currentSheet(), nullptr);
  EXPECT_TRUE(SheetTexts(*window).contains(QStringLiteral("The scan could not start")));
  EXPECT_EQ(window->currentSheet()->panel()->findChild<QObject*>(QStringLiteral("noButton")), nullptr);
  ASSERT_TRUE(Answer(*window, 1));
  ASSERT_TRUE(qttest::PumpUntil([&] { return window.controller.isNull() && roots.opened() == 1; }));
}

// The deep-scan bubble follows its anchor while it lives and is gone for
// good once its time is up.
TEST(ResultsWindow, TheDeepScanBubbleFollowsResizesUntilItsTimeIsUp) {
  Scene scene(1, 0);
  SceneWindow window(scene);
  window->popoverLifetimeMs = 600;
  ASSERT_TRUE(window.ScanToTheEnd());
  ASSERT_NE(window->attachedWindow, nullptr);
  const QPointer<MAAttachedWindow> first = window->attachedWindow;
  window->window()->resize(1200, 700);
  QApplication::processEvents();
  ASSERT_NE(window->attachedWindow, nullptr);
  EXPECT_TRUE(first.isNull());
  EXPECT_TRUE(window->attachedWindow->isVisible());
  EXPECT_EQ(window->popView->parentWidget(), window->attachedWindow.data());
  // The search field and the progress box keep to the right edge.
  EXPECT_EQ(window->search->geometry().right(), 1200 - 21);
  EXPECT_EQ(window->abox->width(), 650);
  ASSERT_TRUE(qttest::PumpUntil([&] { return window->isClodePopView == 1; }));
  EXPECT_EQ(window->attachedWindow, nullptr);
  ASSERT_NE(window->popView, nullptr);  // the view stays its controller's
  window->window()->resize(1100, 700);
  QApplication::processEvents();
  EXPECT_EQ(window->attachedWindow, nullptr);
  // Shown once per window: a second end of a scan shows none.
  window->getScanProgress();
  EXPECT_EQ(window->attachedWindow, nullptr);
}

// The left pane keeps between 223 and 400 points, and the divider's limits
// say the same; no pane can collapse. The divider is a black line.
TEST(ResultsWindow, SplitViewLimits) {
  Scene scene(1, 0);
  SceneWindow window(scene);
  EXPECT_EQ(KVDeletailWindowController::splitViewConstrainMinCoordinate(0), 224.0);
  EXPECT_EQ(KVDeletailWindowController::splitViewConstrainMaxCoordinate(0), 400.0);
  EXPECT_EQ(KVDeletailWindowController::splitViewConstrainMinCoordinate(1), 1500.0);
  EXPECT_EQ(KVDeletailWindowController::splitViewConstrainMaxCoordinate(1), 5000.0);
  EXPECT_FALSE(window->splistView->childrenCollapsible());
  window->splistView->setSizes({100, 900});
  EXPECT_GE(window->splistLeftView->width(), 223);
  window->splistView->setSizes({600, 400});
  EXPECT_LE(window->splistLeftView->width(), 400);
  QWidget* divider = window->splistView->handle(1);
  const QPoint middle = divider->mapTo(window->window(), divider->rect().center());
  EXPECT_EQ(uitest::ColorAt(window->window(), middle.x(), middle.y()), QColor(Qt::black));
}

// Where the title bar's controls sit before a scan (frames counted from each
// parent's bottom-left corner, as the bar was drawn), what they say and which
// can be used; and where the summary and the recovery button go after it.
TEST(ResultsWindow, TitleBarControls) {
  Scene scene(1, 0);
  SceneWindow window(scene);
  EXPECT_EQ(window->window()->titleBarHeight(), 90.0);
  EXPECT_EQ(window->window()->size(), KVDeletailWindowController::kInitialSize);
  const auto qt = [](QRect frame, int parentHeight) {
    return QRect(frame.x(), parentHeight - frame.y() - frame.height(), frame.width(), frame.height());
  };
  EXPECT_EQ(window->backHomeButton->geometry(), qt({28, 30, 32, 32}, 90));
  EXPECT_EQ(window->homeLabel->geometry(), qt({15, 13, 50, 18}, 90));
  EXPECT_EQ(window->continueButton->geometry(), qt({110, 30, 32, 32}, 90));
  EXPECT_EQ(window->deepScanLabel->geometry(), qt({90, 13, 80, 18}, 90));
  EXPECT_EQ(window->abox->geometry(), qt({250, 13, 450, 65}, 90));
  EXPECT_EQ(window->search->geometry(), qt({780, 30, 200, 30}, 90));
  EXPECT_EQ(window->subBox->geometry(), QRect(0, 0, 450, 65));
  EXPECT_EQ(window->loadImageView->geometry(), qt({14, 24, 16, 16}, 65));
  EXPECT_EQ(window->progressView->geometry(), qt({40, 19, 348, 6}, 65));
  EXPECT_EQ(window->pauseButton->geometry(), qt({398, 20, 16, 16}, 65));
  EXPECT_EQ(window->continueScanButton->geometry(), qt({398, 20, 16, 16}, 65));
  EXPECT_EQ(window->stopButton->geometry(), qt({424, 20, 16, 16}, 65));
  EXPECT_EQ(window->selectFilesLabel->geometry(), qt({40, 35, 380, 18}, 65));
  EXPECT_EQ(window->findFilesLabel->geometry(), qt({40, 30, 180, 17}, 65));
  EXPECT_EQ(window->remainTimeLabel->geometry(), qt({220, 30, 168, 17}, 65));
  EXPECT_EQ(window->recovertyButton->geometry(), qt({175, 12, 100, 30}, 65));

  EXPECT_EQ(window->homeLabel->text(), QStringLiteral("Home"));
  EXPECT_EQ(window->deepScanLabel->text(), QStringLiteral("Deep Scan"));
  EXPECT_EQ(window->findFilesLabel->text(), QStringLiteral("Files found: 0"));
  EXPECT_EQ(window->remainTimeLabel->text(), QStringLiteral("Time remaining: -:-:-"));
  EXPECT_EQ(window->selectFilesLabel->text(), QStringLiteral("Selected 0 byte in 0 files"));
  EXPECT_EQ(window->recovertyButton->label()->text(), QStringLiteral("Recover"));
  for (TCImageButton* off : {window->backHomeButton, window->pauseButton, window->stopButton, window->recovertyButton})
    EXPECT_FALSE(off->isButtonEnabled());
  for (QWidget* hidden :
       {static_cast<QWidget*>(window->continueButton), static_cast<QWidget*>(window->deepScanLabel),
        static_cast<QWidget*>(window->continueScanButton), static_cast<QWidget*>(window->selectFilesLabel),
        static_cast<QWidget*>(window->recovertyButton)})
    EXPECT_FALSE(hidden->isVisibleTo(window->window()));
  // The tabs: the path tree first, every title in the tabs' blue.
  EXPECT_EQ(window->pathButton->text(), QStringLiteral("Path"));
  EXPECT_EQ(window->typeButton->text(), QStringLiteral("File Type"));
  EXPECT_EQ(window->creatButton->text(), QStringLiteral("Created"));
  EXPECT_EQ(window->modifyButton->text(), QStringLiteral("Modified"));
  EXPECT_EQ(window->pathButton->imageName(), QStringLiteral("bg_tab"));
  EXPECT_EQ(window->modifyButton->titleColor(), QColor(174, 184, 222));
  EXPECT_EQ(window->segment->selectedSegment(), 0);

  ASSERT_TRUE(window.ScanToTheEnd());
  EXPECT_EQ(window->selectFilesLabel->geometry(), qt({40, 40, 380, 18}, 65));
  EXPECT_EQ(window->selectFilesLabel->alignment() & Qt::AlignHorizontal_Mask, Qt::AlignHCenter);
  EXPECT_EQ(window->recovertyButton->geometry(), qt({175, 10, 100, 30}, 65));
  // The export button keeps 34 points from the right edge.
  EXPECT_EQ(window->exportButton->geometry(), qt({966, 70, 16, 16}, 90));
  // The scan's bar painted orange across the box before the scan ended is
  // full now.
  EXPECT_EQ(window->progressView->progressValue(), 100.0);
  // The file list's columns fit the list at the window's first size.
  QApplication::processEvents();
  EXPECT_LE(window->tableView->horizontalHeader()->length(), window->tableView->viewport()->width());
  // Nothing the bar shows is cut by its edges.
  for (QWidget* child : window->titleBarView->findChildren<QWidget*>(Qt::FindDirectChildrenOnly)) {
    if (child->isVisibleTo(window->window())) {
      EXPECT_TRUE(window->titleBarView->rect().contains(child->geometry()))
          << child->metaObject()->className() << " at " << child->x() << "," << child->y();
    }
  }
}

// With Spanish first among the preferred languages the summary takes the
// box's whole width.
TEST(ResultsWindow, SpanishSummaryTakesTheWholeBox) {
  windowtest::Start();
  platform::UserDefaults::Standard().SetPreferredLanguages({QStringLiteral("es-ES")});
  Scene scene(1, 0);
  SceneWindow window(scene);
  platform::UserDefaults::Standard().SetPreferredLanguages({});
  EXPECT_EQ(window->selectFilesLabel->geometry(), QRect(0, 20, 550, 15));
}

// The outline's rows: the tick box by the row's state, the name alone in the
// path tree, the row's kind of icon.
TEST(ResultsWindow, TreeRowCells) {
  Scene scene(1, 0);
  SceneWindow window(scene);
  ASSERT_TRUE(window.ScanToTheEnd());
  OpNodeData* root = window->allDiskArr.front().get();
  OpNodeData* documents = FolderAt(*window, root, {QStringLiteral("Documents")});
  KitTableColumn* column = window->outlineView->tableColumnWithIdentifier(QStringLiteral("Name"));
  auto* cell = static_cast<NewButton*>(column->dataCell());
  const auto dressed = [&](OpNodeData* row) {
    window->willDisplayCell(window->outlineView, cell, column, row);
    return cell->label();
  };
  EXPECT_EQ(dressed(documents), QStringLiteral("Documents"));
  EXPECT_EQ(cell->labelColor(), QColor(160, 170, 211));
  EXPECT_EQ(cell->opNodeData().value<void*>(), documents);
  EXPECT_EQ(cell->iconImage().toImage(), KitImages::Named(QStringLiteral("1IconImage")).toImage());
  dressed(root);
  EXPECT_EQ(cell->iconImage().toImage(), KitImages::Named(QStringLiteral("0IconImage")).toImage());
  // A partly ticked folder shows the partly ticked box.
  OpNodeData::setFileNodeWithState(window->arrList.front(), 2);
  Choose(*window, documents);
  OpNodeData::setFileNodeWithState(window->arrList.front(), 2);
  dressed(documents);
  EXPECT_EQ(documents->state(), 1);
  EXPECT_EQ(window->GetCellNodeState(documents), 1);
  EXPECT_EQ(window->GetCellNodeState(nullptr), 1);
  window->changeSelectAllButtonState();
  EXPECT_EQ(window->listViewSelectAllButton->image().toImage(),
            KitImages::Named(QStringLiteral("checkbox_election")).toImage());
  window->showSelectFilesCountAndSize();
  EXPECT_EQ(window->selectFilesLabel->text(), QStringLiteral("Selected 4.14 KB in 2 files"));
  EXPECT_TRUE(window->recovertyButton->isButtonEnabled());
  window->untickAllRows();
  EXPECT_EQ(window->GetCellNodeState(documents), 0);
}

// A loaded result: no progress, no pause or stop, home usable, the rows
// shown at once; no export button and no deep-scan offer once shown.
TEST(ResultsWindow, LoadedResult) {
  Scene scene(1, 0);
  {
    SceneWindow scanned(scene);
    ASSERT_TRUE(scanned.ScanToTheEnd());
  }
  windowtest::Start();
  QPointer<KVDeletailWindowController> window = KVDeletailWindowController::OpenForImport(QStringLiteral("x.rsf"));
  EXPECT_EQ(window->isImport, 1);
  for (QWidget* hidden : {static_cast<QWidget*>(window->findFilesLabel), static_cast<QWidget*>(window->pauseButton),
                          static_cast<QWidget*>(window->progressView), static_cast<QWidget*>(window->continueButton)})
    EXPECT_FALSE(hidden->isVisibleTo(window->window()));
  EXPECT_TRUE(window->backHomeButton->isButtonEnabled());
  ASSERT_TRUE(Browsing(*window));
  ASSERT_EQ(window->allDiskArr.size(), 1u);
  EXPECT_EQ(window->opDataFile, window->allDiskArr.front().get());
  EXPECT_EQ(window->exportButton, nullptr);
  EXPECT_FALSE(window->continueButton->isVisibleTo(window->window()));
  EXPECT_EQ(window->attachedWindow, nullptr);
  delete window.data();
}

}  // namespace
