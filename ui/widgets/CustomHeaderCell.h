// Column header cells. Qt's header views have no cell objects, so a header
// cell here is a painter that the kit's header view (KitHeaderView) calls for
// each column: KitHeaderCell is the plain one every column starts with,
// CustomHeaderCell the dark one of the file lists, and CustomTableHeaderView
// (its own header) the light one of the disk list.
#pragma once

#include <QColor>
#include <QFont>
#include <QRect>
#include <QString>

class QPainter;

class KitHeaderCell {
 public:
  // The text of a header row starts this far in from the column's left edge.
  static constexpr int kTitleInset = 4;

  explicit KitHeaderCell(const QString& title = {});
  virtual ~KitHeaderCell() = default;

  void setStringValue(const QString& title) { title_ = title; }
  const QString& stringValue() const { return title_; }
  void setFont(const QFont& font) { font_ = font; }
  const QFont& font() const { return font_; }
  void setTextColor(const QColor& color) { textColor_ = color; }
  const QColor& textColor() const { return textColor_; }

  // The face, then the title; `highlighted` while the pointer holds the
  // column's header down.
  void drawWithFrame(QPainter* painter, const QRect& frame, bool highlighted) const;
  // The face alone (also what the header shows past its last column).
  virtual void drawBackgroundWithFrame(QPainter* painter, const QRect& frame, bool highlighted) const;
  // The title, left-aligned and centred on the frame's height.
  virtual void drawInteriorWithFrame(QPainter* painter, const QRect& frame) const;

 private:
  QString title_;
  QFont font_;
  QColor textColor_;
};

// The dark header of the file lists: a flat dark fill and the title in the
// kit's light face and light blue, 5 points in from the left and the top. It
// looks the same pressed, and shows no sort arrow.
class CustomHeaderCell : public KitHeaderCell {
 public:
  // Takes the title of the cell it replaces, not its font or colour.
  explicit CustomHeaderCell(const KitHeaderCell& replaced);

  bool ascending() const { return ascending_; }
  qint64 priority() const { return priority_; }

  void drawBackgroundWithFrame(QPainter* painter, const QRect& frame, bool highlighted) const override;
  void drawInteriorWithFrame(QPainter* painter, const QRect& frame) const override;

 private:
  bool ascending_ = true;
  qint64 priority_ = 1;
};
