// Which tree the results window shows (by folder, by file type, by creation
// month, by modification month) and how its tabs look; a tree row ticked from
// its box; the recovery button brought in by the first tick of a paused scan.
#include <QParallelAnimationGroup>
#include <QPropertyAnimation>

#include "app/KVNode.h"
#include "ui/widgets/CustemOutlineView.h"
#include "ui/widgets/KVProgressView.h"
#include "ui/widgets/KitAnimations.h"
#include "ui/widgets/KitAutoresizer.h"
#include "ui/widgets/KitElidedLabel.h"
#include "ui/widgets/TCImageButton.h"
#include "ui/windows/KVDeletailWindowController.h"
#include "ui/windows/KVTabButton.h"

namespace {

const QColor kTabTitleColor(174, 184, 222);
constexpr int kSlideMs = 400;
// How far the progress box gives way to the recovery button.
constexpr double kButtonRoom = 100.0;

bool ScanHoldsTheTrees() { return KVUIController::IsScanRunning() && !KVUIController::IsPause(); }

}  // namespace

void KVDeletailWindowController::connectTreeKindButtons() {
  QObject::connect(pathButton, &QAbstractButton::clicked, this, [this] { pathButtonClick(); });
  QObject::connect(typeButton, &QAbstractButton::clicked, this, [this] { typeButtonClick(); });
  // The date tab itself opens the creation tree, as its first choice does.
  QObject::connect(timeButton, &QAbstractButton::clicked, this, [this] { timeButtonClick(); });
  QObject::connect(creatButton, &QAbstractButton::clicked, this, [this] { timeButtonClick(); });
  QObject::connect(modifyButton, &QAbstractButton::clicked, this, [this] { modifyTimeButtonClick(); });
}

namespace {

// The tabs for one tree kind: the chosen tab on "bg_tab"; for a date tree
// the date tab chosen, its other choice on "text_bg" and its own choice's
// title white. A name that names no image clears a tab's.
void ApplyTabLook(KVDeletailWindowController& window, int kind) {
  using Window = KVDeletailWindowController;
  const bool creation = kind == Window::kCreationTree, dates = kind >= Window::kCreationTree;
  KVTabButton* chosen = kind == Window::kPathTree   ? window.pathButton
                        : kind == Window::kTypeTree ? window.typeButton
                                                    : window.timeButton;
  KVTabButton* plate = !dates ? nullptr : creation ? window.modifyButton : window.creatButton;
  for (KVTabButton* tab :
       {window.pathButton, window.typeButton, window.timeButton, window.creatButton, window.modifyButton}) {
    tab->setImageNamed(tab == chosen  ? QStringLiteral("bg_tab")
                       : tab == plate ? QStringLiteral("text_bg")
                                      : QStringLiteral(" "));
  }
  // Away from the date trees neither date choice stays white, as if still
  // chosen.
  for (KVTabButton* tab :
       {window.pathButton, window.typeButton, window.timeButton, window.creatButton, window.modifyButton})
    window.setButtonTitleColor(tab, kTabTitleColor);
  if (dates) {
    window.setButtonTitleColor(plate, kTabTitleColor);
    window.setButtonTitleColor(creation ? window.creatButton : window.modifyButton, Qt::white);
  }
}

}  // namespace

// Every switch stops the picture loaders and empties the file list first
// (the list and the loaders' items belong to the tree that was shown), then
// fetches the tree's rows as far as the scan's news does not keep them
// current, reloads its outline and, when the tree has rows, opens its top
// rows, brings the grouping rows' ticks in line with the files (a paused or
// ended scan only) and chooses its first row. Without rows nothing is
// chosen.
void KVDeletailWindowController::switchTree(int kind) {
  if (selectTypeCount == kind) return;
  stopImageLoading();
  stopGridImageLoading();
  ApplyTabLook(*this, kind);
  // Both date trees show in the date outline, whichever tree was shown
  // before.
  const bool dates = kind >= kCreationTree;
  timeOutlineBlowView->setVisible(dates);
  PTOutlineViewBlowView->setVisible(!dates);
  selectTypeCount = kind;
  KVUIController::SetViewType(kind);
  clearFileList();
  std::function<void()> refreshTicks;
  if (kind == kPathTree) {
    if (allDiskArr.empty() || KVUIController::IsPause()) {
      KVUIController::RefreshData();
      KVUIController::GetScanTreeNodeData(&allDiskArr, 0);
    }
  } else if (kind == kTypeTree) {
    KVUIController::RefreshData();
    KVUIController::GetScanTreeNodeData(&allTypeArr, 0);
    refreshTicks = [] { KVUIController::RefreshTypeTreeState(nullptr); };
  } else {
    int& rebuild = kind == kCreationTree ? isCreateTimeTreeRebuild : isModifyTimeTreeRebuild;
    KVRowArray& rows = kind == kCreationTree ? allCreatTimeArr : allModifyTimeArr;
    if (rebuild == 1) {
      KVUIController::RefreshData();
      KVUIController::GetScanTreeNodeData(&rows, 0);
      // Fetched for good once the scan has ended.
      if (!KVUIController::IsScanRunning()) rebuild = 0;
    }
    refreshTicks = [&rows] { KVUIController::RefreshTimeTreeState(rows); };
  }

  CustemOutlineView* outline = dates ? timeOutlineView : outlineView;
  outline->reloadData();
  const KVRowArray* rows = currentTreeArray();
  if (rows->empty()) {
    opDataFile = nullptr;
    opDataFileRoot_.reset();
    changeSelectAllButtonState();
    showSelectFilesCountAndSize();
    return;
  }
  ExpandeRootItem();
  if (refreshTicks && !ScanHoldsTheTrees()) {
    refreshTicks();
    outline->reloadData();
  }
  SelectRootItem();
  // The first row is chosen through the path outline's selection; the date
  // outline paints it too.
  outline->setSelectCellBackgroundColorWithRow(outline->rowForItem(opDataFile));
}

void KVDeletailWindowController::pathButtonClick() { switchTree(kPathTree); }

void KVDeletailWindowController::typeButtonClick() { switchTree(kTypeTree); }

void KVDeletailWindowController::timeButtonClick() { switchTree(kCreationTree); }

void KVDeletailWindowController::modifyTimeButtonClick() { switchTree(kModificationTree); }

void KVDeletailWindowController::clickButtonAction(NewButton* sender) {
  if (ScanHoldsTheTrees() || sender == nullptr) return;
  auto* row = static_cast<OpNodeData*>(sender->opNodeData().value<void*>());
  if (row == nullptr) return;
  showRecoveryButton();
  // A partly ticked row is ticked whole; a ticked one is unticked.
  row->setNodeState(row->state() == 2 ? 0 : 2);
  isSelectOutlineList = 1;
  refashDetailPageData();
}

void KVDeletailWindowController::showRecoveryButton() {
  using Mask = KitAutoresizer::Mask;
  if (recovertyButton->isHidden()) {
    // The button comes in from the right while the progress box gives way
    // to it; the pause and stop buttons keep to the box's right edge.
    const double width = subBox->width();
    const QRect boxFrom = subBox->geometry();
    setFrame(recovertyButton, QRectF(width + 110.0, 12.0, 100.0, 30.0), Mask::kMinXMargin);
    const QRect buttonFrom = recovertyButton->geometry();
    recovertyButton->show();
    setFrame(subBox, QRectF(0, 0, width - kButtonRoom, subBox->height()), Mask::kWidthSizable);
    setFrame(recovertyButton, QRectF(width - 105.0, 12.0, 100.0, 30.0), Mask::kMinXMargin);
    if (const int ms = KitAnimations::Duration(kSlideMs); ms > 0) {
      auto* group = new QParallelAnimationGroup(abox);
      for (auto [widget, from] : {std::pair<QWidget*, QRect>{subBox, boxFrom}, {recovertyButton, buttonFrom}}) {
        auto* move = new QPropertyAnimation(widget, "geometry", group);
        move->setDuration(ms);
        move->setStartValue(from);
        move->setEndValue(widget->geometry());
        group->addAnimation(move);
      }
      group->start(QAbstractAnimation::DeleteWhenStopped);
    }
  }
  // Lower and to the left while the paused scan's progress shares the box.
  const bool scanning = KVUIController::IsScanRunning();
  selectFilesLabel->setAlignment((scanning ? Qt::AlignLeft : Qt::AlignHCenter) | Qt::AlignVCenter);
  setFrame(selectFilesLabel, QRectF(40.0, scanning ? 35.0 : 40.0, 380.0, 18.0), Mask::kWidthSizable);
  selectFilesLabel->show();
  findFilesLabel->hide();
  remainTimeLabel->hide();
  double percent = 0;
  KVUIController::GetScanProgress(&percent, nullptr);
  progressView->changeProgressValue(static_cast<float>(percent));
}
