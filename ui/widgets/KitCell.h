// The cells item views draw their rows with. A view keeps one cell per
// column; for each row it paints, it gives the column's cell the row's value,
// lets the window dress the cell for that row (text colour, icon, tick
// image) and has it draw into the row's rectangle. A cell keeps nothing of a
// row beyond that one paint, so thousands of rows cost one cell per column.
#pragma once

#include <QColor>
#include <QFont>
#include <QRect>
#include <QRectF>
#include <QSize>
#include <QString>
#include <QVariant>

class QPainter;

class KitCell {
 public:
  virtual ~KitCell() = default;

  void setObjectValue(const QVariant& value) { objectValue_ = value; }
  const QVariant& objectValue() const { return objectValue_; }
  QString stringValue() const { return objectValue_.toString(); }

  virtual void drawWithFrame(QPainter* painter, const QRect& frame) const = 0;
  // The size the cell's content asks for.
  virtual QSize cellSize() const { return {}; }

 private:
  QVariant objectValue_;
};

// A column's plain cell: its value as one line of text, cut at the tail when
// it does not fit, over an optional background.
class KitTextFieldCell : public KitCell {
 public:
  // The text colour of rows the window does not dress: the kit's light blue
  // on its dark rows.
  static const QColor kDefaultTextColor;
  // Text sits this far in from the cell's left and right edges.
  static constexpr int kTextInset = 2;

  KitTextFieldCell();

  void setFont(const QFont& font) { font_ = font; }
  const QFont& font() const { return font_; }
  void setTextColor(const QColor& color) { textColor_ = color; }
  const QColor& textColor() const { return textColor_; }
  void setAlignment(Qt::Alignment alignment) { alignment_ = alignment; }
  Qt::Alignment alignment() const { return alignment_; }
  void setDrawsBackground(bool draws) { drawsBackground_ = draws; }
  bool drawsBackground() const { return drawsBackground_; }
  void setBackgroundColor(const QColor& color) { backgroundColor_ = color; }
  const QColor& backgroundColor() const { return backgroundColor_; }

  // Where the text goes inside `bounds`.
  virtual QRectF titleRectForBounds(const QRect& bounds) const;
  // The text alone, into the title rectangle of `frame`.
  virtual void drawInteriorWithFrame(QPainter* painter, const QRect& frame) const;
  // Background (when it draws one), then the text.
  void drawWithFrame(QPainter* painter, const QRect& frame) const override;
  QSize cellSize() const override;

 private:
  QFont font_;
  QColor textColor_;
  QColor backgroundColor_;
  Qt::Alignment alignment_ = Qt::AlignLeft;
  bool drawsBackground_ = false;
};
