#include "ui/widgets/CNGridViewItemLayout.h"

#include "ui/widgets/KitStyle.h"

namespace CNGridViewPalette {

QColor itemBackgroundColor() { return QColor::fromRgbF(0, 0, 0, 0.05f); }
QColor itemBackgroundHoverColor() { return QColor::fromRgbF(0, 0, 0, 0.3f); }
QColor itemSelectionRingColor() { return QColor::fromRgbF(0.346f, 0.531f, 0.792f, 1.0f); }
QColor itemTitleColor() { return QColor::fromRgbF(0.196f, 0.2f, 0.2f, 1.0f); }
QColor itemTitleShadowColor() { return QColor::fromRgbF(1, 1, 1, 0.8f); }

}  // namespace CNGridViewPalette

CNGridViewItemLayout::CNGridViewItemLayout()
    : backgroundColor(CNGridViewPalette::itemBackgroundColor()),
      selectionRingColor(CNGridViewPalette::itemSelectionRingColor()),
      itemTitleTextAttributes{KitStyle::Font(12), CNGridViewPalette::itemTitleColor(),
                              CNGridViewPalette::itemTitleShadowColor(), QPointF(0, -1), Qt::AlignHCenter} {}

std::shared_ptr<CNGridViewItemLayout> CNGridViewItemLayout::defaultLayout() {
  return std::make_shared<CNGridViewItemLayout>();
}
