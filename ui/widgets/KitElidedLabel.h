// A one-line text that never spills out of its frame: what does not fit is
// cut and replaced by an ellipsis (at the tail unless told otherwise), the
// way file names show in grid items, tiles and tree rows. It may fill its
// frame with a background colour first, as the text fields of the layouts
// do. QLabel cannot elide, hence this small widget.
#pragma once

#include <QColor>
#include <QString>
#include <QWidget>

class KitElidedLabel : public QWidget {
 public:
  explicit KitElidedLabel(QWidget* parent = nullptr);
  KitElidedLabel(const QRect& frame, QWidget* parent);

  void setText(const QString& text);
  const QString& text() const { return text_; }
  // The text as drawn now: cut to the frame's width.
  QString shownText() const;

  void setTextColor(const QColor& color);
  const QColor& textColor() const { return textColor_; }
  // An invalid colour (the default) draws no background.
  void setBackgroundColor(const QColor& color);
  const QColor& backgroundColor() const { return backgroundColor_; }
  void setAlignment(Qt::Alignment alignment);
  Qt::Alignment alignment() const { return alignment_; }
  void setElideMode(Qt::TextElideMode mode);
  Qt::TextElideMode elideMode() const { return elideMode_; }

  QSize sizeHint() const override;

 protected:
  void paintEvent(QPaintEvent* event) override;

 private:
  QString text_;
  QColor textColor_{Qt::black};
  QColor backgroundColor_;
  Qt::Alignment alignment_ = Qt::AlignLeft | Qt::AlignVCenter;
  Qt::TextElideMode elideMode_ = Qt::ElideRight;
};
