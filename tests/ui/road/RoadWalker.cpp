// road_walker --stage=first|again --disk=NAME --lost=NAME --into=FOLDER
//             --result=FILE.rsf --shots=FOLDER --report=FOLDER
//
// The application, started as the program starts it (KVApplicationMain, with
// no argument, as ./run starts it), and a person at its windows who walks
// the road of someone who lost files (RoadUser): one start of the
// application per stage, each ended as a person ends it.
//
//   first: the six categories kept; on the disk page, the disk NAME (an
//     attached image) with its NTFS and FAT32 volumes; the NTFS volume
//     scanned; its folder, type and date trees looked through; a name
//     searched and the search cleared; a deleted folder and two single
//     files ticked and recovered into FOLDER; the result saved as FILE.rsf;
//     the results window closed, which ends the application.
//   again: FILE.rsf loaded from the disk page's title bar and its trees
//     looked through; the same folder and files ticked and recovered from
//     it into FOLDER (as its second recovery there); home to the wizard; the disk NAME of --lost (its table
//     and boot sectors gone) scanned, then deep scanned; its trees looked
//     through, the carved pictures shown as a grid; the window closed.
//
// The user writes a screenshot of every step into --shots and what the
// trees show into --report (STAGE-TREE.tsv: the folder tree's files, one
// line each, and the type and date trees' labels), and says on standard
// output what it does ("road: step: ...") and anything wrong it saw
// ("road: FAULT ..."); a walk that saw a fault, or could not go on, ends with
// status 1.
#include <QApplication>
#include <QDialogButtonBox>
#include <QDir>
#include <QFile>
#include <QFileDialog>
#include <QFontDatabase>
#include <QLineEdit>
#include <QPointer>
#include <QPushButton>
#include <QTextStream>
#include <QToolButton>

#include <cstdio>
#include <cstring>
#include <map>
#include <optional>
#include <string>

#include "RoadLook.h"
#include "RoadUser.h"
#include "app/KVNode.h"
#include "app/KVUIController.h"
#include "app/KVUIDeviceData.h"
#include "platform/SingleInstance.h"
#include "ui/app/KVApplicationMain.h"
#include "ui/widgets/CNGridView.h"
#include "ui/widgets/CNGridViewItem.h"
#include "ui/widgets/CustemOutlineView.h"
#include "ui/widgets/CustomTableView.h"
#include "ui/widgets/KVCustomOutlineView.h"
#include "ui/widgets/KitElidedLabel.h"
#include "ui/widgets/KitSegmentedControl.h"
#include "ui/widgets/MAAttachedWindow.h"
#include "ui/widgets/NewButton.h"
#include "ui/widgets/NewSearchTextFiled.h"
#include "ui/widgets/TCImageButton.h"
#include "ui/widgets/TCImageWindow.h"
#include "ui/widgets/TCWindowButton.h"
#include "ui/widgets/TypeButton.h"
#include "ui/windows/KVDeepScanViewController.h"
#include "ui/windows/KVDeletailWindowController.h"
#include "ui/windows/KVRootWindowController.h"
#include "ui/windows/KVScanEndSaveWindowController.h"
#include "ui/windows/KVSelectDiskViewController.h"
#include "ui/windows/KVSelectTypeViewController.h"
#include "ui/windows/KVShowScanProgressWindowController.h"
#include "ui/windows/KVSmallWindow.h"
#include "ui/windows/KVTabButton.h"

namespace {

using Window = KVDeletailWindowController;

struct Road {
  std::string stage;
  QString disk, lost, into, result, shots, report;
};

// The windows the application opened (main thread only).
struct Windows {
  QPointer<KVRootWindowController> root;
  int roots = 0;
  QPointer<Window> results;
  int resultsWindows = 0;
};
Windows g_windows;

std::string S(const QString& text) { return text.toStdString(); }

Window* Results() { return g_windows.results.data(); }

// The results window shows a finished scan or load: its recovery button is
// in, and nothing is being scanned or loaded.
bool Browsing() {
  Window* w = Results();
  return w != nullptr && w->window()->isVisible() && !KVUIController::IsScanRunning() &&
         w->recovertyButton->isVisibleTo(w->window());
}

// ---- the wizard ---------------------------------------------------------

void StartOnTheCategoryPage(RoadUser& u, int roots) {
  u.Until("the wizard", [roots] {
    return g_windows.roots >= roots && g_windows.root && g_windows.root->window()->isVisible() &&
           g_windows.root->selectTypeVC() != nullptr && g_windows.root->selectTypeVC()->startScanButton->isVisible();
  });
  const int chosen = u.See<int>([] {
    KVSelectTypeViewController* page = g_windows.root->selectTypeVC();
    int count = 0;
    for (TypeButton* each : {page->picTypeButton, page->muiscTypeButton, page->videosTypeButton, page->zipTypeButton,
                             page->docTypeButton, page->otherTypeButton})
      count += each->isVisible() && each->isSelect() ? 1 : 0;
    return count;
  });
  if (chosen != 6) u.Saw("the category page shows " + std::to_string(chosen) + " of six categories chosen");
}

void ContinueToTheDiskPage(RoadUser& u) {
  u.Click([] { return g_windows.root->selectTypeVC()->startScanButton; });
  u.Until("the disk page", [] {
    return g_windows.root->selectDiskVC() != nullptr && g_windows.root->selectDiskVC()->view()->isVisible() &&
           g_windows.root->selectDiskVC()->allDiskArr() != nullptr;
  });
}

DiskVolumeNodeData* DiskRowNamed(const QString& name) {
  return roadlook::DiskRow(g_windows.root->selectDiskVC(), name);
}

// Clicks `row` (a disk or a volume) in the disk page's list and waits until
// it is the pick.
void ChooseOnTheDiskPage(RoadUser& u, const std::function<DiskVolumeNodeData*()>& row, const std::string& what) {
  u.Until(what + " listed", [row] { return row() != nullptr; });
  u.Click([] { return g_windows.root->selectDiskVC()->outlineView->viewport(); },
          [row] { return roadlook::RowPoint(g_windows.root->selectDiskVC()->outlineView, row()); });
  u.Until(what + " chosen", [row] { return g_windows.root->selectVolumeData() == row(); });
}

// Continue on the disk page: a results window scans the pick.
void Scan(RoadUser& u, int resultsWindows) {
  u.Click([] { return g_windows.root->selectDiskVC()->scanButton; });
  u.Until("the results window", [resultsWindows] {
    return g_windows.resultsWindows >= resultsWindows && Results() != nullptr && Results()->window()->isVisible();
  });
}

// ---- the results window ------------------------------------------------

KitOutlineView* ShownOutline() {
  Window* w = Results();
  return w->selectTypeCount >= Window::kCreationTree ? w->timeOutlineView : w->outlineView;
}

// Opens every closed row above `row` by its disclosure mark, top down.
void OpenTo(RoadUser& u, const std::function<OpNodeData*()>& row) {
  for (;;) {
    // The highest closed row above the row.
    OpNodeData* closed = u.See<OpNodeData*>([row] {
      OpNodeData* at = row();
      OpNodeData* highest = nullptr;
      for (OpNodeData* up = at != nullptr ? at->parent() : nullptr; up != nullptr; up = up->parent()) {
        if (!ShownOutline()->isItemExpanded(up)) highest = up;
      }
      return highest;
    });
    if (closed == nullptr) return;
    u.Click([] { return ShownOutline()->viewport(); },
            [closed] { return roadlook::DisclosurePoint(ShownOutline(), closed); });
    u.Until(
        "a tree row opening", [closed] { return ShownOutline()->isItemExpanded(closed); }, 10);
  }
}

// Chooses the tree row at `path` (labels from the top) with a click, and
// waits for its files.
void ChooseRow(RoadUser& u, const QStringList& path) {
  const auto row = [path] { return roadlook::RowAt(*Results(), path); };
  u.Until(
      "the tree row " + S(path.join('/')), [row] { return row() != nullptr; }, 20);
  OpenTo(u, row);
  u.Click([] { return ShownOutline()->viewport(); }, [row] { return roadlook::RowPoint(ShownOutline(), row()); });
  u.Until(
      "the tree row " + S(path.join('/')) + " chosen", [row] { return Results()->opDataFile == row(); }, 10);
}

// Chooses the row whose labels, less their counts, are `names`.
void ChooseRowLabelled(RoadUser& u, const QStringList& names) {
  const QStringList labels = u.See<QStringList>([names] {
    QStringList path;
    OpNodeData* at = nullptr;
    for (const QString& name : names) {
      OpNodeData* next = nullptr;
      for (OpNodeData* row : roadlook::TreeRows(*Results())) {
        const QString label = roadlook::RowLabel(*Results(), ShownOutline(), row);
        if (row->parent() == at && (label == name || label.startsWith(name + QLatin1Char('(')))) next = row;
      }
      if (next == nullptr) return QStringList();
      path << roadlook::RowLabel(*Results(), ShownOutline(), next);
      at = next;
    }
    return path;
  });
  if (labels.isEmpty()) u.Fail("no tree row " + S(names.join('/')));
  ChooseRow(u, labels);
}

// Opens every row of the shown tree by its disclosure mark.
void OpenEveryRow(RoadUser& u) {
  for (;;) {
    OpNodeData* closed = u.See<OpNodeData*>([] {
      Window* w = Results();
      for (OpNodeData* row : roadlook::TreeRows(*w)) {
        if (w->isItemExpandable(ShownOutline(), row) && !ShownOutline()->isItemExpanded(row)) {
          bool shown = true;
          for (OpNodeData* up = row->parent(); up != nullptr; up = up->parent())
            shown = shown && ShownOutline()->isItemExpanded(up);
          if (shown) return row;
        }
      }
      return static_cast<OpNodeData*>(nullptr);
    });
    if (closed == nullptr) return;
    u.Click([] { return ShownOutline()->viewport(); },
            [closed] { return roadlook::DisclosurePoint(ShownOutline(), closed); });
    u.Until(
        "a tree row opening", [closed] { return ShownOutline()->isItemExpanded(closed); }, 10);
  }
}

// The tree kind tabs.
void ShowTree(RoadUser& u, int kind) {
  u.Click([kind]() -> QWidget* {
    Window* w = Results();
    switch (kind) {
      case Window::kPathTree:
        return w->pathButton;
      case Window::kTypeTree:
        return w->typeButton;
      case Window::kCreationTree:
        return w->timeButton;
      default:
        return w->modifyButton;
    }
  });
  u.Until(
      "the tree of kind " + std::to_string(kind), [kind] { return Results()->selectTypeCount == kind; }, 10);
}

// The lines of the report for the shown tree: every row's label with its
// depth; with `files`, every row chosen in turn and the files it lists.
QStringList LookThroughTree(RoadUser& u, bool files) {
  QStringList lines;
  std::vector<int> depths;
  const std::vector<OpNodeData*> rows =
      u.See<std::vector<OpNodeData*>>([&depths] { return roadlook::TreeRows(*Results(), &depths); });
  for (size_t k = 0; k < rows.size(); ++k) {
    const QString label = u.See<QString>([&] { return roadlook::RowLabel(*Results(), ShownOutline(), rows[k]); });
    lines << QStringLiteral("row\t%1\t%2").arg(depths[k]).arg(label);
    if (!files) continue;
    OpNodeData* row = rows[k];
    OpenTo(u, [row] { return row; });
    u.Click([] { return ShownOutline()->viewport(); }, [row] { return roadlook::RowPoint(ShownOutline(), row); });
    u.Until(
        "the row " + S(label) + " chosen", [row] { return Results()->opDataFile == row; }, 10);
    for (const QString& file : u.See<QStringList>([] { return roadlook::FileLines(*Results()); }))
      lines << QStringLiteral("file\t") + file;
  }
  return lines;
}

void Report(RoadUser& u, const Road& road, const QString& name, const QStringList& lines) {
  QFile file(QDir(road.report).filePath(name));
  if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate)) u.Fail("cannot write " + S(file.fileName()));
  QTextStream out(&file);
  for (const QString& line : lines) out << line << '\n';
}

// The folder, type and modification-date trees, into STAGE-TREE.tsv, with a
// screenshot of each; the folder tree is shown again at the end.
void LookThroughTrees(RoadUser& u, const Road& road, const QString& stage) {
  Report(u, road, stage + QStringLiteral("-folders.tsv"), LookThroughTree(u, true));
  ShowTree(u, Window::kTypeTree);
  OpenEveryRow(u);
  Report(u, road, stage + QStringLiteral("-types.tsv"), LookThroughTree(u, false));
  ChooseRowLabelled(u, {QStringLiteral("Pictures"), QStringLiteral("jpg")});
  u.Shot(stage + QStringLiteral("-type-tree"));
  ShowTree(u, Window::kModificationTree);
  OpenEveryRow(u);
  Report(u, road, stage + QStringLiteral("-dates.tsv"), LookThroughTree(u, false));
  ChooseRowLabelled(u, {QStringLiteral("Modified"), QStringLiteral("2023"), QStringLiteral("07")});
  u.Shot(stage + QStringLiteral("-date-tree"));
  ShowTree(u, Window::kPathTree);
}

// Ticks a tree row by its box.
void TickRow(RoadUser& u, const QStringList& path) {
  const auto row = [path] { return roadlook::RowAt(*Results(), path); };
  OpenTo(u, row);
  u.Until(
      "the tick boxes taking a click", [] { return !NewButton::latched(); }, 5);
  u.Click([] { return ShownOutline()->viewport(); }, [row] { return roadlook::TickPoint(ShownOutline(), row()); });
  u.Until(
      "the row " + S(path.join('/')) + " ticked", [row] { return row() != nullptr && row()->state() == 2; }, 10);
}

// Ticks the file `name` in the list of the tree row at `folder`.
void TickFile(RoadUser& u, const QStringList& folder, const QString& name) {
  ChooseRow(u, folder);
  const auto row = [name] { return roadlook::FileRow(*Results(), name); };
  u.Until(
      S(name) + " listed", [row] { return row() >= 0; }, 10);
  u.Until(
      "the tick boxes taking a click", [] { return !NewButton::latched(); }, 5);
  u.Click([] { return Results()->tableView->viewport(); },
          [row] { return roadlook::FileTickPoint(Results()->tableView, row()); });
  u.Until(
      S(name) + " ticked",
      [row] {
        const int at = row();
        return at >= 0 && OpNodeData::fileNodeState(Results()->arrList[static_cast<size_t>(at)]) == 2;
      },
      10);
}

// The deep-scan bubble that follows a quick scan, closed by its button.
void CloseTheBubble(RoadUser& u) {
  u.Until(
      "the deep-scan bubble", [] { return Results()->attachedWindow && Results()->attachedWindow->isVisible(); }, 10);
  u.Click([] { return static_cast<QWidget*>(Results()->deepScanVC->closeButton); });
  u.Until(
      "the bubble gone", [] { return !Results()->attachedWindow; }, 10);
}

// Closes the results window with its close button; with nothing running
// that ends the application, and the process with it.
[[noreturn]] void CloseTheResultsWindow(RoadUser& u) {
  u.Step("closing the window");
  if (u.faults() > 0) u.Fail(std::to_string(u.faults()) + " faults seen");
  u.Click([] { return static_cast<QWidget*>(Results()->window()->windowButton(0)); });
  u.Pause(30000);
  u.Fail("the application did not end when its window was closed");
}

// Ticks the deleted folder "Pictures/Holiday 2023" and two single files of
// the volume's folder tree and recovers them into --into, through the
// folder chooser, the progress window and the end window. `what` begins the
// names of the steps and shots.
void TickAndRecover(RoadUser& u, const Road& road, const QString& volume, const QString& what) {
  u.Step(S(what) + "ticking");
  TickRow(u, {volume, QStringLiteral("Pictures"), QStringLiteral("Holiday 2023")});
  TickFile(u, {volume, QStringLiteral("Documents"), QStringLiteral("Diary")}, QStringLiteral("diary-2022.txt"));
  TickFile(u, {volume, QStringLiteral("Projects")}, QStringLiteral("model.bin"));
  u.Until(
      "five files ticked", [] { return Results()->selectedFileCnt == 5; }, 10);
  u.Shot(what + QStringLiteral("ticked"));

  u.Step(S(what) + "recovering");
  u.Click([] { return Results()->recovertyButton; });
  u.Until("the folder chooser", [] { return Results()->panel && Results()->panel->isVisible(); });
  // The chooser's answer: the folder, chosen with its own button.
  u.Do([&road] {
    QFileDialog* chooser = Results()->panel;
    chooser->setDirectory(road.into);
  });
  u.Shot(what + QStringLiteral("chooser"));
  u.Until("the chooser's button", [] {
    QDialogButtonBox* buttons = Results()->panel->findChild<QDialogButtonBox*>();
    return buttons != nullptr && buttons->button(QDialogButtonBox::Open) != nullptr &&
           buttons->button(QDialogButtonBox::Open)->isEnabled();
  });
  u.Click([] { return Results()->panel->findChild<QDialogButtonBox*>()->button(QDialogButtonBox::Open); });
  bool progressSeen = false;
  for (int k = 0; k < 3000; ++k) {
    const int seen = u.See<int>([] {
      Window* w = Results();
      if (w->scanEndSaveWC != nullptr && w->scanEndSaveWC->window()->isVisible()) return 2;
      return w->recoveryProgressWindow != nullptr && w->recoveryProgressWindow->window()->isVisible() ? 1 : 0;
    });
    if (seen == 1 && !progressSeen) {
      progressSeen = true;
      u.Shot(what + QStringLiteral("recovering"));
    }
    if (seen == 2) break;
    u.Pause(20);
  }
  u.Until("the end window",
          [] { return Results()->scanEndSaveWC != nullptr && Results()->scanEndSaveWC->window()->isVisible(); });
  std::printf("road: the progress window was seen: %s\n", progressSeen ? "yes" : "no");
  u.Pause(500);
  u.Shot(what + QStringLiteral("recovered"));
  u.Click([] { return Results()->scanEndSaveWC->okButton; });
  u.Until("the end window closing",
          [] { return Results()->scanEndSaveWC == nullptr || !Results()->scanEndSaveWC->window()->isVisible(); });
}

// ---- the walks ------------------------------------------------------------

void WalkFirst(RoadUser& u, const Road& road) {
  u.Step("the category page");
  StartOnTheCategoryPage(u, 1);
  u.Pause(600);  // the window fades in
  u.Shot(QStringLiteral("categories"));
  ContinueToTheDiskPage(u);

  u.Step("the disk page");
  const auto disk = [&road] { return DiskRowNamed(road.disk); };
  u.Until("the disk " + S(road.disk) + " with two volumes",
          [disk] { return disk() != nullptr && disk()->numberOfChildren() == 2; });
  const QStringList systems = u.See<QStringList>([disk] {
    KVSelectDiskViewController* page = g_windows.root->selectDiskVC();
    return QStringList{roadlook::DiskColumn(page, "FileSystem", disk()->childAtIndex(0)),
                       roadlook::DiskColumn(page, "FileSystem", disk()->childAtIndex(1))};
  });
  if (systems != QStringList{QStringLiteral("NTFS"), QStringLiteral("FAT32")})
    u.Saw("the disk's volumes show as " + S(systems.join(", ")));
  ChooseOnTheDiskPage(
      u, [disk] { return disk() != nullptr ? disk()->childAtIndex(0) : nullptr; }, "the NTFS volume");
  u.Shot(QStringLiteral("disks"));
  Scan(u, 1);

  u.Step("the scan");
  u.Shot(QStringLiteral("scan-starts"));
  // The scan is short: the user looks as often as the window refreshes.
  bool filledWhileScanning = false;
  for (int k = 0; k < 600 && !u.See<bool>(Browsing); ++k) {
    filledWhileScanning = filledWhileScanning ||
                          u.See<bool>([] { return KVUIController::IsScanRunning() && !Results()->allDiskArr.empty(); });
    u.Pause(20);
  }
  u.Until("the end of the scan", Browsing, 60);
  std::printf("road: the folder tree filled while the scan ran: %s\n", filledWhileScanning ? "yes" : "no");
  u.Pause(1200);  // the first folder opens
  u.Shot(QStringLiteral("scanned"));
  CloseTheBubble(u);

  u.Step("the folder tree");
  const QString volume = u.See<QString>([] { return Results()->allDiskArr.front()->name(); });
  LookThroughTrees(u, road, QStringLiteral("first"));
  ChooseRow(u, {volume, QStringLiteral("Pictures"), QStringLiteral("Holiday 2023")});
  // The Japanese name drawn in its own letters, not as boxes.
  if (!u.See<bool>([] { return !QFontDatabase::families(QFontDatabase::Japanese).isEmpty(); }))
    u.Saw("no font draws the Japanese file name");
  u.Shot(QStringLiteral("deleted-folder"));

  u.Step("searching a name");
  u.Click([] { return Results()->search->textField(); });
  u.Type([] { return Results()->search->textField(); }, QStringLiteral("sunset"));
  u.Key([] { return Results()->search->textField(); }, Qt::Key_Return);
  u.Until(
      "the search's result",
      [] {
        const QStringList files = roadlook::FileLines(*Results());
        return files.size() == 1 && files.front().contains(QStringLiteral("/sunset.jpg\t"));
      },
      30);
  u.Shot(QStringLiteral("search"));
  u.Click([] { return Results()->search->clearButton(); });
  u.Until(
      "everything shown again",
      [] {
        return Results()->search->textField()->text().isEmpty() && Results()->allDiskArr.size() == 1 &&
               !roadlook::TreeRows(*Results()).empty();
      },
      30);
  u.Shot(QStringLiteral("search-cleared"));

  TickAndRecover(u, road, volume, QString());

  u.Step("saving the result");
  u.See([&road] { Results()->setExportFileChooser([&road](const QString&, const QString&) { return road.result; }); });
  u.Click([] { return Results()->exportButton; });
  u.Until("the saved result", [&road] {
    bool progress = false;
    for (QWidget* each : QApplication::topLevelWidgets())
      progress = progress || (dynamic_cast<KVSmallWindow*>(each) && each->isVisible());
    return !progress && QFile::exists(road.result);
  });
  u.Shot(QStringLiteral("saved"));
  CloseTheResultsWindow(u);
}

void WalkAgain(RoadUser& u, const Road& road) {
  u.Step("the category page, started again");
  StartOnTheCategoryPage(u, 1);
  ContinueToTheDiskPage(u);

  u.Step("loading the saved result");
  u.See([&road] { g_windows.root->SetImportFileChooser([&road](const QString&) { return road.result; }); });
  u.Click([] { return g_windows.root->importButton; });
  u.Until("the loaded result", [] { return g_windows.resultsWindows >= 1 && Browsing(); });
  u.Pause(1200);
  u.Shot(QStringLiteral("loaded"));
  LookThroughTrees(u, road, QStringLiteral("again"));
  // The loaded result gives back the same files as the scan did.
  const QString volume = u.See<QString>([] { return Results()->allDiskArr.front()->name(); });
  TickAndRecover(u, road, volume, QStringLiteral("loaded-"));

  u.Step("home to the wizard");
  u.Click([] { return Results()->backHomeButton; });
  StartOnTheCategoryPage(u, 2);
  ContinueToTheDiskPage(u);
  ChooseOnTheDiskPage(
      u, [&road] { return DiskRowNamed(road.lost); }, "the disk without its table");
  u.Shot(QStringLiteral("lost-disk"));
  Scan(u, 2);
  u.Until("the end of the quick scan", Browsing, 60);
  u.Pause(500);
  u.Shot(QStringLiteral("quick-scan-of-lost-disk"));

  u.Step("the deep scan");
  u.Until("the deep-scan button", [] { return Results()->continueButton->isVisible(); });
  u.Click([] { return Results()->continueButton; });
  u.Until(
      "the deep scan running", [] { return KVUIController::IsScanRunning(); }, 20);
  u.Until("the end of the deep scan", Browsing, 300);
  u.Pause(1200);
  u.Shot(QStringLiteral("deep-scanned"));
  Report(u, road, QStringLiteral("deep-folders.tsv"), LookThroughTree(u, true));

  u.Step("the carved pictures as a grid");
  const QStringList pictures = u.See<QStringList>([] {
    for (OpNodeData* row : roadlook::TreeRows(*Results())) {
      if (row->name() == QLatin1String("jpg") && row->parent() != nullptr)
        return QStringList{row->parent()->name(), row->name()};
    }
    return QStringList();
  });
  if (pictures.isEmpty()) u.Fail("no folder of carved pictures");
  ChooseRow(u, pictures);
  u.Click([] { return Results()->segment; },
          [] { return Results()->segment->segmentRect(Window::kGridMode).center().toPoint(); });
  u.Until("the grid's thumbnails", [] {
    return Results()->selectSegmentCount == Window::kGridMode &&
           Results()->gridImageState.load() == KVThumbnailQueue::kEnded;
  });
  u.Pause(800);
  u.Shot(QStringLiteral("carved-pictures"));
  CloseTheResultsWindow(u);
}

}  // namespace

int main(int argc, char** argv) {
  Road road;
  for (int k = 1; k < argc; ++k) {
    const std::string arg = argv[k];
    const auto value = [&](const char* key) -> std::optional<QString> {
      const std::string prefix = std::string("--") + key + "=";
      if (arg.rfind(prefix, 0) != 0) return std::nullopt;
      return QString::fromStdString(arg.substr(prefix.size()));
    };
    if (auto v = value("stage")) road.stage = v->toStdString();
    if (auto v = value("disk")) road.disk = *v;
    if (auto v = value("lost")) road.lost = *v;
    if (auto v = value("into")) road.into = *v;
    if (auto v = value("result")) road.result = *v;
    if (auto v = value("shots")) road.shots = *v;
    if (auto v = value("report")) road.report = *v;
  }
  if ((road.stage != "first" && road.stage != "again") || road.disk.isEmpty() || road.shots.isEmpty() ||
      road.report.isEmpty() || road.result.isEmpty()) {
    std::fprintf(stderr,
                 "usage: %s --stage=first|again --disk=NAME --lost=NAME --into=FOLDER --result=FILE.rsf "
                 "--shots=FOLDER --report=FOLDER\n",
                 argv[0]);
    return 2;
  }
  // The application lets one copy of itself run at a time: beside another
  // it would end before its first window, with nothing walked.
  if (platform::IsOtherInstanceRunning()) {
    std::printf(
        "road: FAULT another copy of %s runs: the application ends at once beside it; close it and walk "
        "again\n",
        platform::kProductName);
    return 1;
  }
  QDir().mkpath(road.report);
  // The shots of the two starts side by side, in the order they were taken.
  static RoadUser user(road.shots, road.stage == "first" ? QStringLiteral("1") : QStringLiteral("2"));
  KVApplicationWatch watch;
  watch.rootWindowShown = [&road](KVRootWindowController* root) {
    g_windows.root = root;
    if (++g_windows.roots == 1)
      user.Start([&road](RoadUser& u) {
        if (road.stage == "first") {
          WalkFirst(u, road);
        } else {
          WalkAgain(u, road);
        }
      });
  };
  watch.resultsWindowOpened = [](Window* results) {
    g_windows.results = results;
    ++g_windows.resultsWindows;
  };
  // As ./run starts the program: no interface language given.
  return KVApplicationMain(1, argv, std::move(watch));
}
