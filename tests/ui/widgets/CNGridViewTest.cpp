// The item grid: its layout arithmetic, recycling of item widgets while
// scrolling, reloads, hover and right-click selection.
#include <QApplication>
#include <QMouseEvent>
#include <QScrollBar>
#include <QTest>

#include <gtest/gtest.h>

#include <set>
#include <string>
#include <vector>

#include "GridTestSupport.h"
#include "UiTestSupport.h"
#include "ui/widgets/CNGridView.h"
#include "ui/widgets/KitElidedLabel.h"

namespace {

constexpr qint64 kNone = kCNNotFound;

CNGridGeometry Geometry(QRectF visible, quint64 count, bool centred = false) {
  CNGridGeometry g;
  g.visible = visible;
  g.count = count;
  g.centred = centred;
  return g;
}

TEST(CNGridGeometryTest, ColumnsRowsAndCells) {
  EXPECT_EQ(Geometry({0, 0, 100, 300}, 5).columns(), 1u);  // narrower than a cell
  const CNGridGeometry g = Geometry({0, 0, 620, 450}, 10, true);
  EXPECT_EQ(g.columns(), 4u);
  EXPECT_EQ(g.allOverRows(), 3u);
  EXPECT_EQ(g.visibleRows(), 3u);
  EXPECT_EQ(g.inset(), 10);
  EXPECT_EQ(g.contentHeight(), 3 * 150 + 20);
  EXPECT_EQ(g.rectForItemAtIndex(5), QRectF(160, 160, 150, 150));
  EXPECT_EQ(Geometry({0, 0, 620, 450}, 10).rectForItemAtIndex(5), QRectF(150, 150, 150, 150));
  // Nothing to show: the margins alone, and no item anywhere.
  const CNGridGeometry empty = Geometry({0, 0, 620, 450}, 0, true);
  EXPECT_EQ(empty.contentHeight(), 20);
  EXPECT_EQ(empty.indexForItemAtPoint({200, 200}), kNone);
  EXPECT_EQ(empty.visibleItemRange().length, 0u);
}

TEST(CNGridGeometryTest, PointsInMarginsAndEmptyCellsHitNothing) {
  const CNGridGeometry g = Geometry({0, 0, 620, 450}, 10, true);  // inset 10, 4 columns
  EXPECT_EQ(g.indexForItemAtPoint({10, 10}), 0);
  EXPECT_EQ(g.indexForItemAtPoint({609.9, 10}), 3);
  EXPECT_EQ(g.indexForItemAtPoint({610, 10}), kNone);  // right of the last column
  EXPECT_EQ(g.indexForItemAtPoint({9, 200}), kNone);   // the left margin
  EXPECT_EQ(g.indexForItemAtPoint({200, 9}), kNone);   // the top margin
  EXPECT_EQ(g.indexForItemAtPoint({170, 320}), 9);
  EXPECT_EQ(g.indexForItemAtPoint({320, 320}), kNone);  // the empty cell after the last item
}

TEST(CNGridGeometryTest, VisibleRangeFollowsTheScrollOffset) {
  using Range = CNGridGeometry::Range;
  EXPECT_EQ(Geometry({0, 100, 600, 450}, 1000).visibleItemRange(), (Range{0, 16}));
  EXPECT_EQ(Geometry({0, 150, 600, 450}, 1000).visibleItemRange(), (Range{0, 16}));
  EXPECT_EQ(Geometry({0, 451, 600, 450}, 1000).visibleItemRange(), (Range{12, 16}));
  EXPECT_EQ(Geometry({0, 451, 600, 450}, 30).visibleItemRange(), (Range{12, 16}));
  EXPECT_EQ(Geometry({0, 700, 600, 450}, 30).visibleItemRange(), (Range{16, 14}));  // cut at the last item
  EXPECT_EQ(Geometry({0, 1000, 600, 450}, 20).visibleItemRange().length, 0u);
  // Rows count from the margin: with a 10-point inset the row starting at
  // 160 is still the second row, and the first is still partly in view.
  EXPECT_EQ(Geometry({0, 160, 620, 450}, 1000, true).visibleItemRange(), (Range{0, 16}));
  EXPECT_EQ(Geometry({0, 309, 620, 450}, 1000, true).visibleItemRange().location, 4u);
  EXPECT_EQ(Geometry({0, 311, 620, 450}, 1000, true).visibleItemRange().location, 8u);
}

// Hands out items from the queue or new ones, recording what it is asked.
class Source : public ICNGridViewDataSource {
 public:
  quint64 numberOfItemsInSection(CNGridView*, qint64) override { return count; }
  CNGridViewItemBase* itemAtIndex(CNGridView* grid, qint64 index, qint64 section) override {
    EXPECT_EQ(section, 0);
    asked.push_back(index);
    CNGridViewItemBase* item = grid->dequeueReusableItemWithIdentifier(CNGridViewItemBase::kCNDefaultItemIdentifier);
    if (item == nullptr) {
      item = new CNGridViewItem;
      ++made;
    } else if (item->representedObject().isValid()) {
      ++dirty;
    }
    EXPECT_FALSE(item->isSelected());
    if (leaveOddEmpty && index % 2) return nullptr;  // taken from the queue, and not given back
    item->setRepresentedObject(index);
    return item;
  }
  bool leaveOddEmpty = false;
  quint64 count = 10000;
  std::vector<qint64> asked;
  int made = 0;
  int dirty = 0;
};

struct Grid : gridtest::WithApp {
  explicit Grid(quint64 count = 10000) {
    source.count = count;
    // A viewport of exactly 600 x 450, beside the scroll bar.
    view.resize(600 + view.verticalScrollBar()->sizeHint().width(), 450);
    view.setDataSource(&source);
    view.show();
    view.reloadData();
    QApplication::processEvents();
  }
  int widgets() const {
    return static_cast<int>(view.viewport()->findChildren<CNGridViewItemBase*>(Qt::FindDirectChildrenOnly).size());
  }
  void scrollTo(int y) { view.verticalScrollBar()->setValue(y); }
  Source source;
  CNGridView view;
};

TEST(CNGridViewTest, ScrollingEndToEndRecyclesAndAsksOnlyForNewItems) {
  Grid grid;
  ASSERT_EQ(grid.view.viewport()->size(), QSize(600, 450));
  const int columns = static_cast<int>(grid.view.columnsInGridView());
  const int bound = (static_cast<int>(grid.view.visibleRowsInGridView()) + 2) * columns;
  ASSERT_EQ(columns, 4);
  ASSERT_EQ(grid.view.verticalScrollBar()->maximum(), 2500 * 150 - 450);

  std::set<qint64> placed(grid.source.asked.begin(), grid.source.asked.end());
  std::vector<int> seen(grid.source.count, 0);
  for (qint64 i : grid.source.asked) ++seen[i];
  for (int y = 0; y <= grid.view.verticalScrollBar()->maximum() + 97; y += 97) {
    grid.source.asked.clear();
    grid.scrollTo(y);
    const QList<qint64> now = grid.view.placedIndexes();
    const CNGridGeometry::Range range = grid.view.visibleItemRange();
    for (qint64 index : grid.source.asked) {
      ++seen[index];
      ASSERT_FALSE(placed.count(index)) << "asked again for " << index << " at " << y;
      ASSERT_GE(static_cast<quint64>(index), range.location);
      ASSERT_LT(static_cast<quint64>(index), range.location + range.length);
    }
    ASSERT_LT(grid.widgets(), bound) << "at " << y;
    ASSERT_EQ(static_cast<quint64>(now.size()), range.length);
    placed = std::set<qint64>(now.begin(), now.end());
  }
  // Every item was shown, each asked for once on the way down.
  for (quint64 i = 0; i < grid.source.count; ++i) ASSERT_EQ(seen[i], 1) << i;
  EXPECT_LT(grid.source.made, bound);
  EXPECT_EQ(grid.source.dirty, 0);
  // The items are where their cells are, in the viewport's coordinates.
  const int offset = grid.view.verticalScrollBar()->value();
  for (qint64 index : grid.view.placedIndexes()) {
    EXPECT_EQ(grid.view.placedItem(index)->geometry(),
              grid.view.rectForItemAtIndex(index).toRect().translated(0, -offset));
  }
  // A jump from the end to the top hands the widgets over once more.
  grid.scrollTo(0);
  EXPECT_LT(grid.widgets(), bound);
  EXPECT_EQ(grid.view.placedIndexes().first(), 0);
}

TEST(CNGridViewTest, AnItemTakenForACellLeftEmptyGoesBackToItsQueue) {
  Grid grid;
  grid.source.leaveOddEmpty = true;
  grid.view.reloadData();
  QApplication::processEvents();
  for (int y = 0; y <= 60000; y += 211) {
    grid.scrollTo(y);
    ASSERT_LT(grid.widgets(), 20) << y;
    ASSERT_EQ(grid.view.placedIndexes().size() + grid.view.queuedItemCount(), grid.widgets()) << y;
  }
  for (qint64 index : grid.view.placedIndexes()) EXPECT_EQ(index % 2, 0);
}

TEST(CNGridViewTest, SelectedItemsStayWhileTheOthersAreRecycled) {
  Grid grid;
  CNGridViewItemBase* chosen = grid.view.placedItem(1);
  ASSERT_NE(chosen, nullptr);
  grid.view.selectItem(chosen);
  const int bound = (static_cast<int>(grid.view.visibleRowsInGridView()) + 2) * 4;
  for (int y = 0; y <= 30000; y += 150) {
    grid.scrollTo(y);
    ASSERT_LE(grid.widgets(), bound) << y;
  }
  EXPECT_EQ(grid.view.placedItem(1), chosen);  // never recycled
  EXPECT_TRUE(chosen->isSelected());
  EXPECT_EQ(grid.view.selectedIndexes(), QList<qint64>{1});
  grid.scrollTo(0);
  EXPECT_EQ(grid.view.placedItem(1), chosen);
}

TEST(CNGridViewTest, ReloadClearsTheSelectionAndPlacesItemsAfterTheEvent) {
  Grid grid;
  std::vector<std::string> log;
  QObject::connect(&grid.view, &CNGridView::gridViewWillDeselectAllItems, [&](const QList<CNGridViewItemBase*>& items) {
    log.push_back("will " + std::to_string(items.size()));
  });
  QObject::connect(&grid.view, &CNGridView::gridViewDidDeselectAllItems, [&] { log.push_back("did"); });
  CNGridViewItemBase* chosen = grid.view.placedItem(2);
  grid.view.selectItem(chosen);
  grid.source.count = 7;
  grid.view.reloadData();
  EXPECT_EQ(log, (std::vector<std::string>{"will 1", "did"}));
  EXPECT_TRUE(grid.view.selectedItems().isEmpty());
  EXPECT_FALSE(chosen->isSelected());
  EXPECT_TRUE(grid.view.placedIndexes().isEmpty());  // the layout pass comes later
  grid.source.asked.clear();
  QApplication::processEvents();
  EXPECT_EQ(grid.view.placedIndexes(), (QList<qint64>{0, 1, 2, 3, 4, 5, 6}));
  EXPECT_EQ(grid.source.asked.size(), 7u);
  EXPECT_EQ(grid.source.made, 16);  // the old widgets were handed out again
  for (qint64 index : grid.view.placedIndexes()) {
    CNGridViewItemBase* item = grid.view.placedItem(index);
    EXPECT_TRUE(item->isVisible());
    EXPECT_EQ(item->graphicsEffect(), nullptr);  // fully opaque with animations off
    EXPECT_EQ(item->index(), index);
  }
  // Recycling works again after the reload.
  grid.source.count = 10000;
  grid.view.reloadData();
  QApplication::processEvents();
  grid.scrollTo(9000);
  EXPECT_LT(grid.widgets(), 20);

  // Without a data source the grid is empty.
  grid.view.setDataSource(nullptr);
  grid.view.reloadData();
  QApplication::processEvents();
  EXPECT_EQ(grid.view.numberOfItems(), 0u);
  EXPECT_EQ(grid.view.verticalScrollBar()->maximum(), 0);
  EXPECT_TRUE(grid.view.placedIndexes().isEmpty());
}

TEST(CNGridViewTest, AWidthChangeMovesEveryPlacedItemToItsNewCell) {
  Grid grid;
  grid.view.resize(300 + grid.view.verticalScrollBar()->sizeHint().width(), 450);
  QApplication::processEvents();
  ASSERT_EQ(grid.view.columnsInGridView(), 2u);
  for (qint64 index : grid.view.placedIndexes()) {
    EXPECT_EQ(grid.view.placedItem(index)->geometry(), grid.view.rectForItemAtIndex(index).toRect()) << index;
  }
  EXPECT_EQ(grid.view.placedIndexes().size(), 8);
  EXPECT_EQ(grid.view.verticalScrollBar()->maximum(), 5000 * 150 - 450);
}

// What the grid announces, signal and delegate alike, in order.
class Recorder : public ICNGridViewDelegate {
 public:
  explicit Recorder(CNGridView* grid) {
    QObject::connect(grid, &CNGridView::gridViewWillHoverItem, [this](qint64 i) { Note("sig hover", i); });
    QObject::connect(grid, &CNGridView::gridViewWillUnhoverItem, [this](qint64 i) { Note("sig unhover", i); });
    QObject::connect(grid, &CNGridView::gridViewWillSelectItem, [this](qint64 i) { Note("sig will select", i); });
    QObject::connect(grid, &CNGridView::gridViewDidSelectItem, [this](qint64 i) { Note("sig did select", i); });
    grid->setDelegate(this);
  }
  void willHoverItemAtIndex(CNGridView*, quint64 i, quint64) override { Note("del hover", static_cast<qint64>(i)); }
  void willUnhoverItemAtIndex(CNGridView*, quint64 i, quint64) override { Note("del unhover", static_cast<qint64>(i)); }
  void didSelectItemAtIndex(CNGridView*, quint64 i, quint64) override {
    Note("del did select", static_cast<qint64>(i));
  }
  void gridViewDidDeselectAllItems(CNGridView*) override { log.push_back("del deselected"); }
  void Note(const char* what, qint64 index) {
    log.push_back(std::string(what) + " " + (index == kNone ? std::string("none") : std::to_string(index)));
  }
  std::vector<std::string> log;
};

// A pointer move as the platform delivers it: to the widget under the
// pointer, passed on to its parents.
void MoveOver(QWidget* widget, QPoint local) {
  QMouseEvent move(QEvent::MouseMove, local, widget->mapToGlobal(local), Qt::NoButton, Qt::NoButton, Qt::NoModifier);
  QApplication::sendEvent(widget, &move);
}

TEST(CNGridViewTest, HoverFollowsThePointerThroughItemsAndEndsWhenItLeaves) {
  Grid grid(6);
  grid.view.activateWindow();
  ASSERT_TRUE(QTest::qWaitForWindowActive(&grid.view));
  Recorder recorder(&grid.view);
  auto* item3 = static_cast<CNGridViewItem*>(grid.view.placedItem(3));
  auto* item4 = static_cast<CNGridViewItem*>(grid.view.placedItem(4));
  MoveOver(item3->titleLabel(), QPoint(5, 5));  // over the label inside item 3
  EXPECT_TRUE(item3->isHovered());
  MoveOver(item4, QPoint(70, 70));
  EXPECT_FALSE(item3->isHovered());
  EXPECT_TRUE(item4->isHovered());
  MoveOver(grid.view.viewport(), QPoint(400, 200));  // the empty cell after item 5
  EXPECT_FALSE(item4->isHovered());
  EXPECT_EQ(recorder.log, (std::vector<std::string>{"sig hover 3", "del hover 3", "sig unhover 3", "del unhover 3",
                                                    "sig hover 4", "del hover 4", "sig unhover 4", "del unhover 4",
                                                    "sig hover none", "del hover none"}));
  MoveOver(item4, QPoint(70, 70));
  ASSERT_TRUE(item4->isHovered());
  QEvent leave(QEvent::Leave);
  QApplication::sendEvent(grid.view.viewport(), &leave);
  EXPECT_FALSE(item4->isHovered());
  EXPECT_EQ(grid.view.hoveredIndex(), kNone);

  grid.view.setUseHover(false);
  recorder.log.clear();
  MoveOver(item3, QPoint(70, 70));
  EXPECT_TRUE(recorder.log.empty());
}

void Click(QWidget* widget, QPoint local, Qt::MouseButton button) {
  QMouseEvent press(QEvent::MouseButtonPress, local, widget->mapToGlobal(local), button, button, Qt::NoModifier);
  QApplication::sendEvent(widget, &press);
  QMouseEvent release(QEvent::MouseButtonRelease, local, widget->mapToGlobal(local), button, Qt::NoButton,
                      Qt::NoModifier);
  QApplication::sendEvent(widget, &release);
}

TEST(CNGridViewTest, RightClickSelectsAloneKeepsASelectionAndClearsOnEmptySpace) {
  Grid grid(6);
  Recorder recorder(&grid.view);
  CNGridViewItemBase* item1 = grid.view.placedItem(1);
  CNGridViewItemBase* item2 = grid.view.placedItem(2);
  Click(item1, QPoint(70, 70), Qt::LeftButton);  // a left click selects nothing
  EXPECT_TRUE(grid.view.selectedItems().isEmpty());
  Click(item1, QPoint(70, 70), Qt::RightButton);
  EXPECT_EQ(grid.view.selectedIndexes(), QList<qint64>{1});
  EXPECT_TRUE(item1->isSelected());
  EXPECT_EQ(recorder.log, (std::vector<std::string>{"sig will select 1", "sig did select 1", "del did select 1"}));
  recorder.log.clear();
  Click(item1, QPoint(20, 20), Qt::RightButton);  // already selected: unchanged
  EXPECT_TRUE(recorder.log.empty());
  Click(item2, QPoint(70, 70), Qt::RightButton);
  EXPECT_EQ(grid.view.selectedIndexes(), QList<qint64>{2});
  EXPECT_FALSE(item1->isSelected());
  EXPECT_TRUE(item2->isSelected());
  Click(grid.view.viewport(), QPoint(400, 200), Qt::RightButton);  // empty space
  EXPECT_TRUE(grid.view.selectedItems().isEmpty());
  EXPECT_FALSE(item2->isSelected());
  EXPECT_EQ(recorder.log.back(), "del deselected");
}

}  // namespace
