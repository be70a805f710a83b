// The columns of the kit's outline and table views, and the header view that
// draws them. A column has an identifier (the windows tell columns apart by
// it: "Name", "Size", "CheckBox"...), a header cell that draws its title and
// a data cell that draws its rows (see KitCell.h).
#pragma once

#include <QHeaderView>
#include <QPixmap>
#include <QString>

#include <memory>
#include <vector>

#include "ui/widgets/CustomHeaderCell.h"
#include "ui/widgets/KitCell.h"

class KitTableColumn {
 public:
  // A plain header cell showing `title` and a plain text cell.
  explicit KitTableColumn(const QString& identifier, const QString& title = {});

  const QString& identifier() const { return identifier_; }
  KitHeaderCell* headerCell() const { return headerCell_.get(); }
  void setHeaderCell(std::unique_ptr<KitHeaderCell> cell);
  // The cell that draws every row of the column; the column owns it.
  KitCell* dataCell() const { return dataCell_.get(); }
  // Answers the cell, still owned by the column.
  template <class Cell>
  Cell* setDataCell(std::unique_ptr<Cell> cell) {
    Cell* raw = cell.get();
    dataCell_ = std::move(cell);
    return raw;
  }
  // The sort arrow a window hands the column. The kit's headers draw none;
  // the windows still read back which one they set.
  void setIndicatorImage(const QPixmap& image) { indicator_ = image; }
  const QPixmap& indicatorImage() const { return indicator_; }

 private:
  QString identifier_;
  std::unique_ptr<KitHeaderCell> headerCell_;
  std::unique_ptr<KitCell> dataCell_;
  QPixmap indicator_;
};

// The ordered columns of one view.
class KitTableColumns {
 public:
  int count() const { return static_cast<int>(columns_.size()); }
  KitTableColumn* at(int index) const;
  KitTableColumn* withIdentifier(const QString& identifier) const;
  int indexOf(const KitTableColumn* column) const;
  KitTableColumn* append(std::unique_ptr<KitTableColumn> column);

 private:
  std::vector<std::unique_ptr<KitTableColumn>> columns_;
};

// A header that draws each section with its column's header cell, the cell
// highlighted while pressed; the width past the last column is drawn as an
// empty header of the last column's kind.
class KitHeaderView : public QHeaderView {
 public:
  KitHeaderView(const KitTableColumns* columns, QWidget* parent);

  void setHeaderHeight(int height);
  // The section the pointer holds down, -1 for none.
  int pressedSection() const { return pressed_; }

 protected:
  void paintEvent(QPaintEvent* event) override;
  void mousePressEvent(QMouseEvent* event) override;
  void mouseReleaseEvent(QMouseEvent* event) override;

 private:
  const KitTableColumns* columns_;
  int pressed_ = -1;
};
