// The look of grid items: a plain record of colours and measures whose
// defaults come from the grid's palette. An item draws its selection ring
// from its layout, or from the default layout when it was given none.
#pragma once

#include <QColor>
#include <QFont>
#include <QPointF>

#include <memory>

namespace CNGridViewPalette {

QColor itemBackgroundColor();       // black at 0.05
QColor itemBackgroundHoverColor();  // black at 0.3
QColor itemSelectionRingColor();    // a mid blue
QColor itemTitleColor();            // near black
QColor itemTitleShadowColor();      // white at 0.8

}  // namespace CNGridViewPalette

class CNGridViewItemLayout {
 public:
  static constexpr double kDefaultSelectionRingLineWidth = 3.0;
  static constexpr double kDefaultContentInset = 3.0;
  static constexpr double kDefaultItemBorderRadius = 5.0;

  // How item titles are drawn: font, colour, a shadow one point below, and
  // centred.
  struct TitleTextAttributes {
    QFont font;
    QColor foregroundColor;
    QColor shadowColor;
    QPointF shadowOffset;
    Qt::Alignment alignment;
  };

  CNGridViewItemLayout();
  static std::shared_ptr<CNGridViewItemLayout> defaultLayout();

  int visibleContentMask = 3;
  QColor backgroundColor;
  QColor selectionRingColor;
  double selectionRingLineWidth = kDefaultSelectionRingLineWidth;
  unsigned contentInset = static_cast<unsigned>(kDefaultContentInset);
  unsigned itemBorderRadius = static_cast<unsigned>(kDefaultItemBorderRadius);
  TitleTextAttributes itemTitleTextAttributes;
};
