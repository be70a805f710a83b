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

#include "ui/widgets/KitColumnView.h"

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

using CustomTableViewBase = KitColumnView<QTableView, ITableViewDataSource, ITableViewDelegate>;

class CustomTableView : public CustomTableViewBase {
  Q_OBJECT

 public:
  static constexpr int kHeaderHeight = 25;
  // The key of the empty-list note's text.
  static constexpr const char* kNoValueNoteKey = "PAGE_FOUR_NO_VALUE_NOTE";

  explicit CustomTableView(QWidget* parent = nullptr);

  // Every column gets the dark header cell, made from its plain one.
  KitTableColumn* addTableColumn(const QString& identifier, const QString& title = {}, int width = 100);
  void setRowHeight(int height);

  void reloadData() override;
  int numberOfRows() const;
  int clickedColumn() const { return clickedColumn_; }

  // The view's own selection, set without asking the delegate (which is
  // told that it changed); -1 clears it.
  void selectRow(int row);
  int selectedRow() const;

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

  Model* model_;
  int rowNum_ = 0;
  int clickedColumn_ = -1;
  QPointer<QWidget> noValueView_;
  QLabel* noteText_ = nullptr;
};
