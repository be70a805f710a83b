// The striped file list of the results window (list mode and under the
// cover flow): rows a window describes through a data source by row number,
// the dark header of 25 points, and a note over the list when it is empty.
//
// The data source is asked for a row's values only while that row is shown,
// so a list of a million files opens and scrolls at once. reloadData() asks
// everything again and keeps the scroll position and the selected row (when
// it still exists).
//
// The view paints no selection of its own: the window names the row to paint
// selected (setRowNum) and the view repaints when that changes.
#pragma once

#include <QPointer>
#include <QTableView>

#include "ui/widgets/KitItemViews.h"
#include "ui/widgets/KitTableColumn.h"

class CustomTableView;
class QLabel;

class ITableViewDataSource {
 public:
  virtual ~ITableViewDataSource() = default;
  virtual int numberOfRowsInTableView(CustomTableView* table) = 0;
  // Asked only for rows below the count the data source gave last.
  virtual QVariant objectValueForTableColumn(CustomTableView* table, KitTableColumn* column, int row) = 0;
};

// Every call has a default that does nothing (or allows).
class ITableViewDelegate {
 public:
  virtual ~ITableViewDelegate() = default;
  virtual void willDisplayCell(CustomTableView*, KitCell*, KitTableColumn*, int) {}
  // Asked when the user (pointer or keyboard) selects the row;
  // currentEvent() tells which event does it.
  virtual bool shouldSelectRow(CustomTableView*, int) { return true; }
  virtual void tableViewSelectionDidChange(CustomTableView*) {}
  virtual void mouseDownInHeaderOfTableColumn(CustomTableView*, KitTableColumn*) {}
  // A click (press and release) on the column's header.
  virtual void didClickTableColumn(CustomTableView*, KitTableColumn*) {}
};

class CustomTableView : public QTableView, public IKitCellHost {
  Q_OBJECT

 public:
  static constexpr int kHeaderHeight = 25;
  // The key of the empty-list note's text.
  static constexpr const char* kNoValueNoteKey = "PAGE_FOUR_NO_VALUE_NOTE";

  explicit CustomTableView(QWidget* parent = nullptr);
  ~CustomTableView() override;

  // Neither is owned. Setting a data source reloads.
  void setDataSource(ITableViewDataSource* dataSource);
  ITableViewDataSource* dataSource() const { return dataSource_; }
  void setDelegate(ITableViewDelegate* delegate) { delegate_ = delegate; }
  ITableViewDelegate* delegate() const { return delegate_; }

  // Every column gets the dark header cell, made from its plain one.
  KitTableColumn* addTableColumn(const QString& identifier, const QString& title = {}, int width = 100);
  const KitTableColumns& tableColumns() const { return columns_; }
  KitTableColumn* tableColumnWithIdentifier(const QString& identifier) const;
  KitHeaderView* headerView() const { return headerView_; }

  int rowHeight() const override { return rowHeight_; }
  void setRowHeight(int height);

  void reloadData();
  int numberOfRows() const;
  QRect rectOfRow(int row) const;
  // The row under the pointer at the last press or double-click, -1 for none.
  int clickedRow() const { return clickedRow_; }
  int clickedColumn() const { return clickedColumn_; }

  // The view's own selection, set without asking the delegate (which is
  // told that it changed); -1 clears it.
  void selectRow(int row);
  int selectedRow() const;
  const QEvent* currentEvent() const { return gate_.currentEvent(); }

  // The row the window paints selected; 0 (the first row) at first, -1 for
  // none. A row beyond the list paints nothing.
  void setRowNum(int row);
  int rowNum() const { return rowNum_; }

  // false shows the note that the list is empty, over the whole list; true
  // takes it away. Showing it twice makes one note.
  void changeNoValue(bool hasValues);
  QWidget* noValueView() const { return noValueView_; }

  KitCell* preparedCell(int column, const QModelIndex& index) override;

 signals:
  // A double-click in the rows (clickedRow() says which; -1 below the rows).
  void doubleAction();

 protected:
  void paintEvent(QPaintEvent* event) override;
  void mousePressEvent(QMouseEvent* event) override;
  void mouseDoubleClickEvent(QMouseEvent* event) override;
  void updateGeometries() override;
  QItemSelectionModel::SelectionFlags selectionCommand(const QModelIndex& index, const QEvent* event) const override;
  void keyboardSearch(const QString& search) override;
  void keyPressEvent(QKeyEvent* event) override;

 private:
  class Model;

  void layoutNote();
  QModelIndex selectedIndexOrNone() const;

  ITableViewDataSource* dataSource_ = nullptr;
  ITableViewDelegate* delegate_ = nullptr;
  KitTableColumns columns_;
  KitHeaderView* headerView_;
  Model* model_;
  int rowHeight_ = KitItemViews::kDefaultRowHeight;
  int rowNum_ = 0;
  int clickedRow_ = -1;
  int clickedColumn_ = -1;
  bool restoring_ = false;
  mutable KitSelectionGate gate_;
  QPointer<QWidget> noValueView_;
  QLabel* noteText_ = nullptr;
};
