// The outline views over a lazy stand-in data source: what they ask, what a
// reload keeps, item lifetime across reloads, the named row and the stripes.
#include <QApplication>
#include <QKeyEvent>
#include <QScrollBar>
#include <QTest>

#include <gtest/gtest.h>

#include "StandInSources.h"
#include "UiTestSupport.h"
#include "ui/widgets/CustemOutlineView.h"
#include "ui/widgets/ImageAndTextCell.h"
#include "ui/widgets/KVCustomOutlineView.h"
#include "ui/widgets/KitImages.h"
#include "ui/widgets/KitStyle.h"
#include "ui/widgets/NewButton.h"

namespace {

using standin::Row;
using standin::Tree;

constexpr int kRow = 39;
constexpr int kHeader = 17;

// An outline of one column, shown at `height`.
template <class View = KVCustomOutlineView>
std::unique_ptr<View> Shown(Tree* tree, int height = 300) {
  auto view = std::make_unique<View>();
  view->addTableColumn(QStringLiteral("Name"), QStringLiteral("Name"), 200);
  view->resize(320, height);
  view->setDataSource(tree);
  view->show();
  QApplication::processEvents();
  uitest::Grab(view.get());  // paints, as the screen would
  return view;
}

int Scroll(QTreeView* view) { return view->verticalScrollBar()->value(); }

// Expanding, reloading and painting ask only for the rows the view shows.
TEST(KitOutlineViewTest, AMillionRowsOpenAndScrollAskingOnlyForShownRows) {
  uitest::App();
  Tree tree(1000000);
  auto view = Shown(&tree);
  const int shown = (300 - kHeader) / kRow + 1;
  ASSERT_FALSE(tree.asked.empty());
  EXPECT_LE(*tree.asked.rbegin(), shown + 1);
  EXPECT_EQ(view->numberOfRows(), 1000000);

  tree.asked.clear();
  view->verticalScrollBar()->setValue(500000 * kRow);
  uitest::Grab(view.get());
  ASSERT_FALSE(tree.asked.empty());
  EXPECT_GE(*tree.asked.begin(), 499999);
  EXPECT_LE(*tree.asked.rbegin(), 500000 + shown + 1);
  EXPECT_EQ(view->itemAtRow(500000), tree.at(nullptr, 500000));
  EXPECT_EQ(view->rowForItem(tree.at(nullptr, 500001)), 500001);

  // The last row, and a reload there.
  tree.asked.clear();
  view->verticalScrollBar()->setValue(view->verticalScrollBar()->maximum());
  view->reloadData();
  uitest::Grab(view.get());
  EXPECT_GE(*tree.asked.begin(), 1000000 - shown - 1);
  EXPECT_EQ(tree.asked.count(999999), 1u);
  EXPECT_EQ(tree.deadAsks, 0);
}

// "Can expand" and "how many children" are separate questions: a row may
// expand to no children, and its children are counted only once expanded.
TEST(KitOutlineViewTest, ChildrenAreCountedOnlyOnceARowExpands) {
  uitest::App();
  Tree tree(3);
  Row* big = tree.folder(nullptr, 0, 100000);
  Row* empty = tree.folder(nullptr, 1, 0);
  auto view = Shown(&tree);
  EXPECT_EQ(tree.countAsks, 1);  // the root only
  EXPECT_EQ(big->made.size(), 0u);

  view->expandItem(big);
  uitest::Grab(view.get());
  EXPECT_TRUE(view->isItemExpanded(big));
  EXPECT_EQ(view->numberOfRows(), 3 + 100000);
  EXPECT_LE(big->made.size(), 10u);  // the children on screen
  EXPECT_EQ(view->parentForItem(tree.at(big, 2)), big);
  EXPECT_EQ(view->rowForItem(empty), 100001);

  view->expandItem(empty);
  EXPECT_TRUE(view->isItemExpanded(empty));
  EXPECT_EQ(view->numberOfRows(), 3 + 100000);
  // A plain row does not expand.
  view->expandItem(tree.at(nullptr, 2));
  EXPECT_FALSE(view->isItemExpanded(tree.at(nullptr, 2)));
}

class Recorder : public IOutlineViewDelegate {
 public:
  void outlineViewItemDidExpand(KitOutlineView*, void* item) override { expanded.push_back(item); }
  void outlineViewItemDidCollapse(KitOutlineView*, void* item) override { collapsed.push_back(item); }
  void outlineViewSelectionDidChange(KitOutlineView*) override { ++selectionChanges; }
  bool shouldSelectItem(KitOutlineView* view, void* item) override {
    asked.push_back(item);
    events.push_back(view->currentEvent() != nullptr ? view->currentEvent()->type() : QEvent::None);
    if (onSelect) onSelect(view, item);
    return allow;
  }
  void mouseDownInHeaderOfTableColumn(KitOutlineView*, KitTableColumn* column) override {
    headers.push_back(column->identifier());
  }
  std::vector<void*> expanded, collapsed, asked;
  std::vector<QEvent::Type> events;
  std::vector<QString> headers;
  std::function<void(KitOutlineView*, void*)> onSelect;
  int selectionChanges = 0;
  bool allow = true;
};

// A reload keeps expanded items (found again where they moved), the scroll
// position and the selection, without telling the delegate anything.
TEST(KitOutlineViewTest, AReloadKeepsExpansionScrollAndSelection) {
  uitest::App();
  Tree tree(200);
  Row* a = tree.folder(nullptr, 3, 50);
  Row* nested = tree.folder(a, 7, 20);
  Row* b = tree.folder(nullptr, 150, 10);
  auto view = Shown(&tree);
  Recorder recorder;
  view->setDelegate(&recorder);
  view->expandItem(a);
  view->expandItem(nested);
  view->expandItem(b);
  recorder.expanded.clear();
  view->selectItem(tree.at(b, 4));
  recorder.selectionChanges = 0;
  view->verticalScrollBar()->setValue(4321);

  // Rows come and go above and between the expanded ones, and a row is
  // rebuilt as a new object.
  tree.insert(nullptr, 0);
  tree.insert(nullptr, 0);
  tree.remove(nullptr, 100);
  tree.replace(nullptr, 10);
  view->reloadData();
  tree.releaseReplaced();
  uitest::Grab(view.get());

  EXPECT_TRUE(view->isItemExpanded(a));
  EXPECT_TRUE(view->isItemExpanded(nested));
  EXPECT_TRUE(view->isItemExpanded(b));
  EXPECT_EQ(view->rowForItem(a), 5);
  EXPECT_EQ(view->rowForItem(b), 2 + 150 - 1 + 50 + 20);
  EXPECT_EQ(view->selectedItem(), tree.at(b, 4));
  EXPECT_EQ(Scroll(view.get()), 4321);
  EXPECT_TRUE(recorder.expanded.empty());
  EXPECT_EQ(recorder.selectionChanges, 0);
  EXPECT_EQ(tree.deadAsks, 0);
}

// A rebuilt object is a new item: it comes back collapsed (the old one is
// gone), and its old object is never asked about again.
TEST(KitOutlineViewTest, ReplacedItemsAreNeverTouchedAfterTheReload) {
  uitest::App();
  Tree tree(20);
  Row* old = tree.folder(nullptr, 2, 30);
  auto view = Shown(&tree);
  Recorder recorder;
  view->setDelegate(&recorder);
  view->expandItem(old);
  view->selectItem(tree.at(old, 1));
  recorder.selectionChanges = 0;
  Row* fresh = tree.replace(nullptr, 2);
  view->reloadData();
  tree.releaseReplaced();  // `old` and its children are freed here
  for (int k = 0; k < 3; ++k) {
    uitest::Grab(view.get());
    QApplication::processEvents();
  }
  EXPECT_FALSE(view->isItemExpanded(fresh));
  EXPECT_EQ(view->selectedItem(), nullptr);
  EXPECT_EQ(recorder.selectionChanges, 1) << "the selected row went away";
  EXPECT_EQ(view->numberOfRows(), 20);
  EXPECT_EQ(tree.deadAsks, 0);
}

// A scan's pace: the tree grows and parts of it are rebuilt ten times a
// second for ten seconds (a hundred reloads, driven without waiting), while
// the user's expansions and scroll position stay put.
TEST(KitOutlineViewTest, ReloadsTenTimesASecondForTenSecondsKeepTheUsersView) {
  uitest::App();
  Tree tree(40);
  Row* disk = tree.folder(nullptr, 0, 30);
  Row* photos = tree.folder(disk, 4, 60);
  Row* lost = tree.folder(nullptr, 39, 5);
  auto view = Shown(&tree, 400);
  view->expandItem(disk);
  view->expandItem(photos);
  view->expandItem(lost);
  view->verticalScrollBar()->setValue(1000);
  Row* hidden = tree.folder(disk, 9, 3);  // collapsed by the user

  for (int tick = 0; tick < 100; ++tick) {
    tree.at(nullptr, 0)->count += 1;  // new folders under the disk
    photos->count += 3;               // new files in an expanded folder
    tree.root()->count += tick % 10 == 0 ? 1 : 0;
    if (tick % 7 == 0) tree.replace(disk, 20);  // a folder rebuilt
    if (tick == 50) tree.insert(nullptr, 1);    // a new volume above `lost`
    view->reloadData();
    tree.releaseReplaced();
    uitest::Grab(view.get());
    QApplication::processEvents();
    ASSERT_EQ(Scroll(view.get()), 1000) << "tick " << tick;
    ASSERT_TRUE(view->isItemExpanded(disk) && view->isItemExpanded(photos) && view->isItemExpanded(lost))
        << "tick " << tick;
    ASSERT_FALSE(view->isItemExpanded(hidden));
  }
  EXPECT_EQ(view->numberOfRows(), tree.root()->count + disk->count + photos->count + lost->count);
  EXPECT_EQ(tree.deadAsks, 0);
}

// A delegate that reloads the outline while it decides about a selection (as
// the results window does) still gets the row selected, by pointer and by
// keyboard, and the arrow keys keep moving on from it.
TEST(KitOutlineViewTest, ADelegateMayReloadWhileItDecidesASelection) {
  uitest::App();
  Tree tree(30);
  auto view = Shown(&tree);
  Recorder recorder;
  recorder.onSelect = [](KitOutlineView* outline, void*) { outline->reloadData(); };
  view->setDelegate(&recorder);
  view->setFocus();

  const QRect second = view->visualRect(view->indexForItem(tree.at(nullptr, 1)));
  QTest::mouseClick(view->viewport(), Qt::LeftButton, {}, second.center());
  EXPECT_EQ(view->selectedItem(), tree.at(nullptr, 1));
  for (int k = 0; k < 3; ++k) QTest::keyClick(view.get(), Qt::Key_Down);
  EXPECT_EQ(view->selectedItem(), tree.at(nullptr, 4));
  ASSERT_EQ(recorder.asked.size(), 4u);
  EXPECT_EQ(recorder.events.front(), QEvent::MouseButtonPress);
  EXPECT_EQ(recorder.events.back(), QEvent::KeyPress);

  // Refused: nothing changes.
  recorder.allow = false;
  QTest::keyClick(view.get(), Qt::Key_Down);
  EXPECT_EQ(view->selectedItem(), tree.at(nullptr, 4));
  EXPECT_EQ(tree.deadAsks, 0);
}

TEST(KitOutlineViewTest, ClicksOnHeadersEmptySpaceAndRowsReachTheWindow) {
  uitest::App();
  Tree tree(3);
  auto view = Shown(&tree);
  Recorder recorder;
  view->setDelegate(&recorder);
  int doubles = 0;
  QObject::connect(view.get(), &KitOutlineView::doubleAction, [&] { ++doubles; });

  QTest::mousePress(view->headerView()->viewport(), Qt::LeftButton, {}, QPoint(20, 8));
  EXPECT_EQ(view->headerView()->pressedSection(), 0);
  QTest::mouseRelease(view->headerView()->viewport(), Qt::LeftButton, {}, QPoint(20, 8));
  EXPECT_EQ(recorder.headers, std::vector<QString>{QStringLiteral("Name")});

  const QPoint first = view->visualRect(view->indexForItem(tree.at(nullptr, 0))).center();
  QTest::mouseDClick(view->viewport(), Qt::LeftButton, {}, first);
  EXPECT_EQ(doubles, 1);
  EXPECT_EQ(view->clickedRow(), 0);
  EXPECT_EQ(view->selectedRow(), 0);

  // Empty space below the rows clears the selection, and the delegate hears.
  recorder.selectionChanges = 0;
  QTest::mouseClick(view->viewport(), Qt::LeftButton, {}, QPoint(50, 3 * kRow + 20));
  EXPECT_EQ(view->selectedRow(), -1);
  EXPECT_EQ(view->clickedRow(), -1);
  EXPECT_EQ(recorder.selectionChanges, 1);
}

// The window dresses each cell as it is drawn; the tick cell takes presses
// in its tick area without selecting the row.
class Dresser : public IOutlineViewDelegate, public INewButtonDelegate {
 public:
  void willDisplayCell(KitOutlineView*, KitCell* cell, KitTableColumn*, void* item) override {
    auto* button = static_cast<NewButton*>(cell);
    button->setLabel(static_cast<Row*>(item)->name);
    button->setOpNodeData(QVariant::fromValue(item));
    button->setImage(uitest::Solid(QSize(13, 13), Qt::green));
  }
  void clickButtonAction(NewButton* sender) override { ticked.push_back(sender->opNodeData().value<void*>()); }
  std::vector<void*> ticked;
};

TEST(KitOutlineViewTest, TheTickCellSitsInTheOutlinesRows) {
  uitest::App();
  QTest::qWait(NewButton::kLatchMs + 20);
  Tree tree(5);
  KVCustomOutlineView view;
  auto* name = view.addTableColumn(QStringLiteral("Name"));
  NewButton* cell = name->setDataCell(std::make_unique<NewButton>());
  Dresser dresser;
  cell->setDelegate(&dresser);
  view.setDelegate(&dresser);
  view.setRootIsDecorated(false);
  view.resize(300, 250);
  view.setDataSource(&tree);
  view.show();
  new KitCheckCellFilter(&view, cell, 0,
                         [&view](NewButton*, const QModelIndex& index) { view.preparedCell(0, index); });
  view.selectRow(0);
  const QRect row = view.visualRect(view.indexForItem(tree.at(nullptr, 2)));
  // The tick image is drawn at the cell's left edge.
  EXPECT_TRUE(uitest::Near(uitest::ColorAt(view.viewport(), row.x() + 5, row.center().y()), Qt::green));
  QTest::mouseClick(view.viewport(), Qt::LeftButton, {}, QPoint(row.x() + 5, row.center().y()));
  EXPECT_EQ(dresser.ticked, std::vector<void*>{tree.at(nullptr, 2)});
  EXPECT_EQ(view.selectedRow(), 0);
  QTest::qWait(NewButton::kLatchMs + 20);
}

// ---- pixels -----------------------------------------------------------------

QColor At(KitOutlineView* view, int x, int y) { return uitest::ColorAt(view->viewport(), x, y); }

TEST(KitOutlineViewTest, TheNamedRowPaintsBlueAndNoSelectionShows) {
  uitest::App();
  Tree tree(4);
  auto view = Shown<CustemOutlineView>(&tree);
  EXPECT_EQ(view->isSelectRow(), 0);
  EXPECT_TRUE(uitest::Near(At(view.get(), 150, 5), KitColors::kSelectedRow));
  EXPECT_TRUE(uitest::Near(At(view.get(), 150, kRow + 5), KitColors::kDarkRow));

  view->selectRow(1);  // the view's own selection shows nothing
  view->setSelectCellBackgroundColorWithRow(2);
  EXPECT_TRUE(uitest::Near(At(view.get(), 150, 5), KitColors::kDarkRow));
  EXPECT_TRUE(uitest::Near(At(view.get(), 150, kRow + 5), KitColors::kDarkRow));
  EXPECT_TRUE(uitest::Near(At(view.get(), 150, 2 * kRow + 5), KitColors::kSelectedRow));
  EXPECT_TRUE(uitest::Near(At(view.get(), 2, 2 * kRow + 5), KitColors::kSelectedRow)) << "across the whole width";

  for (int none : {-1, 4, 40}) {
    view->setSelectCellBackgroundColorWithRow(none);
    for (int row = 0; row < 6; ++row) {
      EXPECT_TRUE(uitest::Near(At(view.get(), 150, row * kRow + 5), KitColors::kDarkRow)) << none << " " << row;
    }
  }
  uitest::SaveArtifact(uitest::Grab(view.get()), QStringLiteral("custem-outline-view"));
}

TEST(KitOutlineViewTest, StripesAlternateFromTheTopAndMoveWithScrolling) {
  uitest::App();
  Tree tree(100);
  auto view = Shown(&tree);
  view->setSelectCellBackgroundColorWithRow(-1);
  for (int k = 0; k < 6; ++k) {
    const QColor expected = k % 2 == 0 ? KitColors::kStripeA : KitColors::kStripeB;
    EXPECT_TRUE(uitest::Near(At(view.get(), 150, k * kRow + 1), expected)) << k;
    EXPECT_TRUE(uitest::Near(At(view.get(), 150, k * kRow + kRow - 1), expected)) << k;
  }
  // Scrolled by 50: stripe 1 (B) starts at the top, stripe 2 (A) at y = 28.
  view->verticalScrollBar()->setValue(50);
  EXPECT_TRUE(uitest::Near(At(view.get(), 150, 5), KitColors::kStripeB));
  EXPECT_TRUE(uitest::Near(At(view.get(), 150, 2 * kRow - 50 + 1), KitColors::kStripeA));
  // The named row scrolls with its row.
  view->setSelectCellBackgroundColorWithRow(3);
  EXPECT_TRUE(uitest::Near(At(view.get(), 150, 3 * kRow - 50 + 5), KitColors::kSelectedRow));
  uitest::SaveArtifact(uitest::Grab(view.get()), QStringLiteral("kvcustom-outline-view"));
}

// Painting a row never asks for more painting: left alone, the view rests.
TEST(KitOutlineViewTest, AnIdleViewStopsRepainting) {
  uitest::App();
  Tree tree(50);
  auto view = Shown(&tree);
  uitest::PaintCounter counter;
  view->viewport()->installEventFilter(&counter);
  view->setSelectCellBackgroundColorWithRow(1);
  view->viewport()->repaint();
  QTest::qWait(50);
  const int settled = counter.paints;
  EXPECT_GE(settled, 1);
  QTest::qWait(200);
  EXPECT_EQ(counter.paints, settled);
  // Naming the same row again repaints nothing; another row repaints.
  view->setSelectCellBackgroundColorWithRow(1);
  QTest::qWait(20);
  EXPECT_EQ(counter.paints, settled);
  view->setSelectCellBackgroundColorWithRow(2);
  QTest::qWait(20);
  EXPECT_GT(counter.paints, settled);
}

}  // namespace
