// The outline view of the kit: a tree of rows that a window describes
// through a data source, as the disk list and the folder trees do.
//
// The data source speaks of its own items (`void*`, null for the root): how
// many children an item has, its child at an index, whether it can expand,
// and its value in a column. The view asks for the children of an item only
// while that item is expanded, and for a child only when it shows that row,
// so an item of a million children opens and scrolls at once.
//
// reloadData() asks everything again. Items the data source still shows stay
// expanded and selected, and the view keeps its scroll position. Items from
// before the reload are never handed to the data source again, nor read by
// the view: the window may release them as soon as reloadData() returns
// (before it, the view may still ask about them).
//
// The view paints no selection of its own. The window names the row to paint
// selected (setSelectCellBackgroundColorWithRow) and the view repaints when
// that changes; the view's own selection only drives the keyboard and the
// delegate's shouldSelectItem / outlineViewSelectionDidChange.
#pragma once

#include <QStringList>
#include <QTreeView>

#include <memory>
#include <utility>
#include <vector>

#include "ui/widgets/KitColumnView.h"
#include "ui/widgets/KitOutlineModel.h"

class KitOutlineView;

class IOutlineViewDataSource {
 public:
  virtual ~IOutlineViewDataSource() = default;
  virtual int numberOfChildrenOfItem(KitOutlineView* outline, void* item) = 0;
  // Null shows as an empty row without children.
  virtual void* childOfItem(KitOutlineView* outline, int index, void* item) = 0;
  virtual bool isItemExpandable(KitOutlineView* outline, void* item) = 0;
  virtual QVariant objectValueForTableColumn(KitOutlineView* outline, KitTableColumn* column, void* item) = 0;
};

// Every call has a default that does nothing (or allows).
class IOutlineViewDelegate {
 public:
  virtual ~IOutlineViewDelegate() = default;
  // Dress the column's cell for the item's row, just before it is drawn.
  virtual void willDisplayCell(KitOutlineView*, KitCell*, KitTableColumn*, void*) {}
  // Asked when the user (pointer or keyboard) selects the item's row;
  // currentEvent() tells which event does it.
  virtual bool shouldSelectItem(KitOutlineView*, void*) { return true; }
  virtual void outlineViewSelectionDidChange(KitOutlineView*) {}
  virtual void mouseDownInHeaderOfTableColumn(KitOutlineView*, KitTableColumn*) {}
  virtual void outlineViewItemDidExpand(KitOutlineView*, void*) {}
  virtual void outlineViewItemDidCollapse(KitOutlineView*, void*) {}
};

using KitOutlineViewBase = KitColumnView<QTreeView, IOutlineViewDataSource, IOutlineViewDelegate>;

class KitOutlineView : public KitOutlineViewBase {
  Q_OBJECT

 public:
  explicit KitOutlineView(QWidget* parent = nullptr);

  // The first column added holds the tree's indentation and disclosure marks.
  KitTableColumn* addTableColumn(const QString& identifier, const QString& title = {}, int width = 100);
  void setRowHeight(int height);

  void reloadData() override;
  // Asks the item's values and whether it can expand again; its children
  // stay as they are.
  void reloadItem(void* item);

  // Expanding asks the data source for the item's children; the delegate is
  // told, as when the user does it. An item that cannot expand stays as it is.
  void expandItem(void* item);
  void collapseItem(void* item);
  bool isItemExpanded(void* item) const;
  void* parentForItem(void* item) const;

  // Rows are counted from 0 at the top, over expanded items; -1 for none.
  int numberOfRows() const;
  int rowForItem(void* item) const;
  void* itemAtRow(int row) const;

  // The view's own selection, set without asking the delegate (which is
  // told that it changed); -1 or null clears it.
  void selectRow(int row);
  void selectItem(void* item);
  int selectedRow() const;
  void* selectedItem() const;

  // The row the window paints selected; 0 (the first row) at first, -1 for
  // none. A row that is not shown paints nothing.
  void setSelectCellBackgroundColorWithRow(int row);
  int isSelectRow() const { return isSelectRow_; }
  void setIsSelectRow(int row) { setSelectCellBackgroundColorWithRow(row); }
  // The disk list's note of which rows are disks with volumes; kept for the
  // window, not drawn.
  const QStringList& isRootArr() const { return isRootArr_; }
  void setIsRootArr(const QStringList& rows) { isRootArr_ = rows; }

  void* itemForIndex(const QModelIndex& index) const;
  QModelIndex indexForItem(void* item) const;
  // The column's cell filled for the index's row: the value from the data
  // source, then the delegate's dressing. A tick cell's press filter calls
  // it before it looks where the press landed.
  KitCell* preparedCell(int column, const QModelIndex& index) override;

 signals:
  // A double-click in the rows (clickedRow() says which; -1 below the rows).
  void doubleAction();

 protected:
  // The background of the rows (under the cells); the base fills none.
  virtual void drawBackgroundInRect(QPainter* painter, const QRect& area);
  // The row's own fill under its cells; the base fills the named row blue.
  virtual void drawRowBackground(QPainter* painter, int row, const QRect& rect);

  void paintEvent(QPaintEvent* event) override;
  void mousePressEvent(QMouseEvent* event) override;
  void mouseDoubleClickEvent(QMouseEvent* event) override;
  QItemSelectionModel::SelectionFlags selectionCommand(const QModelIndex& index, const QEvent* event) const override;
  void keyboardSearch(const QString& search) override;
  void keyPressEvent(QKeyEvent* event) override;
  // The disclosure mark of a shown row that can expand.
  void drawBranches(QPainter* painter, const QRect& rect, const QModelIndex& index) const override;

 private:
  using Node = KitOutlineModel::Node;
  // An expanded item and its expanded children, as a reload finds them.
  struct Kept {
    void* item;
    int row;
    std::vector<Kept> children;
  };
  // The items from the root down to one row, with their rows.
  using Chain = std::vector<std::pair<void*, int>>;

  std::vector<Kept> keptExpanded(Node* node) const;
  void restoreExpanded(Node* node, const std::vector<Kept>& kept);
  Chain chainOf(const Node* node) const;
  Node* findChain(const Chain& chain) const;
  // The row of `parent` whose item is `item`, looked for from `hint`
  // outwards; -1 when none.
  int findChildRow(Node* parent, void* item, int hint) const;
  int rowOfIndex(const QModelIndex& index) const;
  QModelIndex indexAtRow(int row) const;

  KitOutlineModel* model_;
  int isSelectRow_ = 0;
  QStringList isRootArr_;
};
