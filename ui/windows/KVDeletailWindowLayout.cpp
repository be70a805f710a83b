// The results window's views below the title bar: a split view with the
// tree-kind tabs and the two outlines on the left, and on the right the
// view switch over the file list, the cover flow (a picture row over a
// second file list) and the grid, which lie over one another.
#include <QGridLayout>
#include <QHBoxLayout>
#include <QSplitter>
#include <QVBoxLayout>

#include "platform/Localized.h"
#include "ui/widgets/CNGridView.h"
#include "ui/widgets/CustemOutlineView.h"
#include "ui/widgets/ImageAndTextCell.h"
#include "ui/widgets/KitFader.h"
#include "ui/widgets/KitImageFlowView.h"
#include "ui/widgets/KitImages.h"
#include "ui/widgets/KitSegmentedControl.h"
#include "ui/widgets/KitStyle.h"
#include "ui/widgets/MyNSApplication.h"
#include "ui/widgets/RFOverlayScrollView.h"
#include "ui/widgets/TCImageWindow.h"
#include "ui/windows/KVDeletailWindowController.h"
#include "ui/windows/KVTabButton.h"

namespace {

constexpr int kTopStripHeight = 40;
constexpr int kLeftPaneWidth = 250;

QWidget* Pane(QWidget* parent) {
  auto* pane = new QWidget(parent);
  pane->setAutoFillBackground(true);
  QPalette palette = pane->palette();
  palette.setColor(QPalette::Window, KitColors::kTitleBar);
  pane->setPalette(palette);
  return pane;
}

// A layout of `owner` without margins or spacing.
template <class Layout>
Layout* Tight(QWidget* owner) {
  auto* layout = new Layout(owner);
  layout->setContentsMargins(0, 0, 0, 0);
  layout->setSpacing(0);
  return layout;
}

QWidget* Holding(QWidget* parent, QWidget* view) {
  auto* holder = new QWidget(parent);
  Tight<QVBoxLayout>(holder)->addWidget(view);
  return holder;
}

// The file list's columns: tick, name (deleted files marked), size, path
// and creation time; together they fit the list of a window at its first
// size, the date whole at the right edge.
void AddFileColumns(CustomTableView* table) {
  table->addTableColumn(QStringLiteral("CheckBox"), {}, 30)->setDataCell(std::make_unique<NewButton>());
  table->addTableColumn(QStringLiteral("Name"), platform::Localized("PAGE_FOUR_TABLEVIEW_NAME"), 200)
      ->setDataCell(std::make_unique<ImageAndTextCell>());
  table->addTableColumn(QStringLiteral("Size"), platform::Localized("PAGE_FOUR_TABLEVIEW_SIZE"), 80);
  table->addTableColumn(QStringLiteral("Path"), platform::Localized("PAGE_FOUR_TABLEVIEW_PATH"), 230);
  table->addTableColumn(QStringLiteral("Created"), platform::Localized("PAGE_FOUR_TABLEVIEW_CREATED"), 170);
  new RFOverlayScrollView(table);
}

}  // namespace

void KVDeletailWindowController::buildLayout() {
  aWindow = new TCImageWindow(nullptr, true);
  aWindow->setAttribute(Qt::WA_DeleteOnClose);
  aWindow->setWindowTitle(platform::Localized("WINDOW_TOP_TITLE"));
  aWindow->setTitleBarHeight(kTitleBarHeight);
  aWindow->setMinimumSize(kMinimumSize);
  aWindow->resize(kInitialSize);
  fader_ = new KitFader(aWindow);
  // After the fader's: this filter sees a close first.
  aWindow->installEventFilter(this);
  QObject::connect(aWindow, &QObject::destroyed, this, [this] { windowDestroyed(); });

  QWidget* content = Pane(nullptr);
  aWindow->setContentView(content);
  auto* contentLayout = Tight<QVBoxLayout>(content);
  // The divider is the kit's black line between the two dark panes.
  splistView = new CustemSplitView(Qt::Horizontal, content);
  splistView->setChildrenCollapsible(splitViewCanCollapseSubview());
  splistView->setHandleWidth(1);
  contentLayout->addWidget(splistView);

  // Left: the tree-kind tabs, the date tab holding its two choices, over the
  // outline of the path and type trees and the outline of the date trees.
  splistLeftView = Pane(splistView);
  splistLeftView->setMinimumWidth(static_cast<int>(splitViewConstrainMinCoordinate(0)));
  splistLeftView->setMaximumWidth(static_cast<int>(splitViewConstrainMaxCoordinate(0)));
  auto* left = Tight<QVBoxLayout>(splistLeftView);
  auto* tabs = new QWidget(splistLeftView);
  tabs->setFixedHeight(kTopStripHeight);
  auto* tabRow = Tight<QHBoxLayout>(tabs);
  pathButton = new KVTabButton(QString(), tabs);
  typeButton = new KVTabButton(QString(), tabs);
  timeButton = new KVTabButton(QString(), tabs);
  // The date tab's two choices side by side, each a line of the tab's
  // height: stacked, two lines of text did not fit the strip.
  auto* dates = Tight<QHBoxLayout>(timeButton);
  dates->setContentsMargins(2, 4, 2, 4);
  dates->setSpacing(2);
  creatButton = new KVTabButton(QString(), timeButton);
  modifyButton = new KVTabButton(QString(), timeButton);
  for (KVTabButton* choice : {creatButton, modifyButton}) {
    choice->setFont(KitStyle::Font(11));
    dates->addWidget(choice, 1);
  }
  tabRow->addWidget(pathButton, 2);
  tabRow->addWidget(typeButton, 3);
  tabRow->addWidget(timeButton, 5);
  pathButton->setImageNamed(QStringLiteral("bg_tab"));  // the path tree comes first
  left->addWidget(tabs);

  outlineView = new CustemOutlineView;
  timeOutlineView = new CustemOutlineView;
  for (CustemOutlineView* outline : {outlineView, timeOutlineView}) {
    outline->setHeaderHidden(true);
    auto* cell = outline->addTableColumn(QStringLiteral("Name"))->setDataCell(std::make_unique<NewButton>());
    // A press on a row's tick box goes to the box, not to the selection.
    new KitCheckCellFilter(outline, cell, 0,
                           [outline](NewButton*, const QModelIndex& index) { outline->preparedCell(0, index); });
    new RFOverlayScrollView(outline);
  }
  PTOutlineViewBlowView = Holding(splistLeftView, outlineView);
  timeOutlineBlowView = Holding(splistLeftView, timeOutlineView);
  timeOutlineBlowView->hide();
  left->addWidget(PTOutlineViewBlowView, 1);
  left->addWidget(timeOutlineBlowView, 1);

  // Right: the view switch over the three panes.
  QWidget* right = Pane(splistView);
  auto* rightLayout = Tight<QVBoxLayout>(right);
  auto* strip = new QWidget(right);
  strip->setFixedHeight(kTopStripHeight);
  auto* stripRow = Tight<QHBoxLayout>(strip);
  stripRow->setContentsMargins(0, 0, 12, 0);
  stripRow->addStretch();
  segment = new KitSegmentedControl(QRect(0, 0, 96, 24), 3, strip);
  segment->setFixedSize(96, 24);
  const char* const segmentImages[] = {"list_focus", "preview_no_hover", "grid_no_hover"};
  for (int k = 0; k < 3; ++k) segment->setImage(KitImages::Named(QString::fromLatin1(segmentImages[k])), k);
  segment->setSelectedSegment(kListMode);
  stripRow->addWidget(segment);
  rightLayout->addWidget(strip);

  auto* panes = new QWidget(right);
  auto* stack = Tight<QGridLayout>(panes);
  tableView = new CustomTableView;
  AddFileColumns(tableView);
  tableScrollView = Holding(panes, tableView);

  flowView = new KitImageFlowView;
  coverFlowerTableView = new CustomTableView;
  AddFileColumns(coverFlowerTableView);
  coverFlower = new QWidget(panes);
  auto* flowLayout = Tight<QVBoxLayout>(coverFlower);
  flowLayout->addWidget(flowView, 3);
  flowLayout->addWidget(coverFlowerTableView, 2);

  gridMainView = new CNGridView;
  gridView = Holding(panes, gridMainView);
  for (QWidget* pane : {tableScrollView, coverFlower, gridView}) stack->addWidget(pane, 0, 0);
  coverFlower->hide();
  gridView->hide();
  rightLayout->addWidget(panes, 1);

  splistView->addWidget(splistLeftView);
  splistView->addWidget(right);
  splistView->setStretchFactor(1, 1);
  splistView->setSizes({kLeftPaneWidth, kInitialSize.width() - kLeftPaneWidth});

  for (CustemOutlineView* outline : {outlineView, timeOutlineView}) {
    outline->setDataSource(this);
    outline->setDelegate(this);
  }
  for (CustomTableView* table : {tableView, coverFlowerTableView}) {
    table->setDataSource(this);
    table->setDelegate(this);
  }
  connectPreviews();
}
