// What the kit's outline and table views share over their Qt view (QtView):
// the data source and delegate a window hands them, the columns titled by the
// dark header, the rows' one height, the row last pressed, and the gate
// through which the delegate decides on the rows the user selects.
#pragma once

#include <QItemSelectionModel>
#include <QRect>
#include <QString>

#include "ui/widgets/KitItemViews.h"
#include "ui/widgets/KitTableColumn.h"

template <class QtView, class DataSource, class Delegate>
class KitColumnView : public QtView, public IKitCellHost {
 public:
  // Neither is owned. Setting a data source reloads.
  void setDataSource(DataSource* dataSource) {
    dataSource_ = dataSource;
    reloadData();
  }
  DataSource* dataSource() const { return dataSource_; }
  void setDelegate(Delegate* delegate) { delegate_ = delegate; }
  Delegate* delegate() const { return delegate_; }

  const KitTableColumns& tableColumns() const { return columns_; }
  KitTableColumn* tableColumnWithIdentifier(const QString& identifier) const {
    return columns_.withIdentifier(identifier);
  }
  KitHeaderView* headerView() const { return headerView_; }

  int rowHeight() const override { return rowHeight_; }
  // The rectangle of a row across the whole viewport.
  QRect rectOfRow(int row) const {
    return KitItemViews::RowRect(row, rowHeight_, this->verticalOffset(), this->viewport()->width());
  }
  // The row under the pointer at the last press or double-click; -1 for none.
  int clickedRow() const { return clickedRow_; }
  // The event the view is handling while it asks the delegate whether a row
  // may be selected, else null.
  const QEvent* currentEvent() const { return gate_.currentEvent(); }

  // Asks the data source for everything again; the scroll position and the
  // selection stay where the data source still has them.
  virtual void reloadData() = 0;

 protected:
  // The header, `headerHeight` high with its last section stretched, is
  // made here; the view installs it.
  KitColumnView(QWidget* parent, int headerHeight) : QtView(parent) {
    headerView_ = new KitHeaderView(&columns_, this);
    headerView_->setHeaderHeight(headerHeight);
    headerView_->setStretchLastSection(true);
  }
  ~KitColumnView() override {
    // Whatever Qt asks while it takes the view apart goes nowhere.
    dataSource_ = nullptr;
    delegate_ = nullptr;
  }

  QModelIndex selectedIndexOrNone() const {
    const QModelIndexList rows = this->selectionModel()->selectedRows();
    return rows.isEmpty() ? QModelIndex() : rows.first();
  }

  DataSource* dataSource_ = nullptr;
  Delegate* delegate_ = nullptr;
  KitTableColumns columns_;
  KitHeaderView* headerView_;
  int rowHeight_ = KitItemViews::kDefaultRowHeight;
  int clickedRow_ = -1;
  // Set while a reload puts back what the view showed: Qt's notices of it
  // are not the user's doing and do not reach the delegate.
  bool restoring_ = false;
  mutable KitSelectionGate gate_;
};
