// The name cell of the results window's folder outline: the row's tick box
// at the left edge, its icon and its title. A press on the tick area tells
// the delegate, which toggles the row's check state; anywhere else the cell
// reports no hit, so the outline handles the press as usual.
#pragma once

#include <QAbstractItemView>
#include <QColor>
#include <QFontMetrics>
#include <QObject>
#include <QPixmap>
#include <QPointer>
#include <QRect>
#include <QString>
#include <QVariant>

#include <functional>

#include "ui/widgets/KitCell.h"

class NewButton;

class INewButtonDelegate {
 public:
  virtual ~INewButtonDelegate() = default;
  virtual void clickButtonAction(NewButton* sender) = 0;
};

// A cell, so that an outline's or a table's column can draw its rows with it.
class NewButton : public KitCell {
 public:
  // How long an accepted click blocks further clicks on every row: one
  // press can reach the cell twice (press and double-click).
  static constexpr int kLatchMs = 200;
  static constexpr QSize kTickArea{15, 30};

  void setLabel(const QString& label) { label_ = label; }
  const QString& label() const { return label_; }
  // How the title is drawn: its colour (a pale blue unless told otherwise)
  // and where a title too long for the cell is cut (at the tail unless told
  // otherwise); Qt::ElideNone clips it at the cell's edge.
  void setLabelColor(const QColor& color) { labelColor_ = color; }
  const QColor& labelColor() const { return labelColor_; }
  void setLabelElideMode(Qt::TextElideMode mode) { labelElideMode_ = mode; }
  Qt::TextElideMode labelElideMode() const { return labelElideMode_; }
  // The title as drawn in `cell`.
  QString shownLabel(const QFontMetrics& metrics, const QRect& cell) const;
  void setIconImage(const QPixmap& icon) { icon_ = icon; }
  const QPixmap& iconImage() const { return icon_; }
  // The tick-box image ("checkbox_no", "checkbox_yes", "checkbox_election").
  void setImage(const QPixmap& tick) { tick_ = tick; }
  void setOpNodeData(const QVariant& row) { opNodeData_ = row; }
  const QVariant& opNodeData() const { return opNodeData_; }
  void setDelegate(INewButtonDelegate* delegate) { delegate_ = delegate; }

  QRect iconImageRectForBounds(const QRect& cell) const;
  // Where the icon is drawn inside that box: at its own size, centred, or
  // shrunk to fit when larger.
  QRect iconDrawnRectForBounds(const QRect& cell) const;
  QRect imageRectForBounds(const QRect& cell) const;
  void drawWithFrame(QPainter* painter, const QRect& cell) const override;

  // `point` in the same coordinates as `cell`. Answers whether the press
  // landed in the tick area and was taken (the delegate told).
  bool hitTest(const QPoint& point, const QRect& cell);

  static bool latched();

 private:
  QString label_;
  QColor labelColor_{160, 170, 211};
  Qt::TextElideMode labelElideMode_ = Qt::ElideRight;
  QPixmap icon_, tick_;
  QVariant opNodeData_;
  INewButtonDelegate* delegate_ = nullptr;
};

// Routes presses on an item view's viewport through a NewButton for column
// `column`, before the view sees them: a press taken by the tick area never
// reaches the view, so the selection stays as it was. `prepare` fills the
// cell for the row pressed (as for drawing it).
class KitCheckCellFilter : public QObject {
 public:
  KitCheckCellFilter(QAbstractItemView* view, NewButton* cell, int column,
                     std::function<void(NewButton*, const QModelIndex&)> prepare);

 protected:
  bool eventFilter(QObject* watched, QEvent* event) override;

 private:
  QPointer<QAbstractItemView> view_;
  NewButton* cell_;
  int column_;
  std::function<void(NewButton*, const QModelIndex&)> prepare_;
};
