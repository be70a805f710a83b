#include "ui/widgets/KitStyle.h"

#include <QApplication>
#include <QPalette>
#include <QStyleFactory>

namespace KitStyle {

QFont Font(int pixelSize, bool light) {
  QFont font(QStringLiteral("DejaVu Sans"));
  font.setPixelSize(pixelSize);
  if (light) {
    font.setFamily(QStringLiteral("DejaVu Sans Light"));
    font.setWeight(QFont::ExtraLight);
  }
  font.setHintingPreference(QFont::PreferNoHinting);
  return font;
}

void ApplyFixedLook(QApplication* app) {
  app->setStyle(QStyleFactory::create(QStringLiteral("Fusion")));
  QPalette palette;
  palette.setColor(QPalette::Window, KitColors::kTitleBar);
  palette.setColor(QPalette::WindowText, Qt::white);
  palette.setColor(QPalette::Base, KitColors::kDarkRow);
  palette.setColor(QPalette::AlternateBase, KitColors::kStripeA);
  palette.setColor(QPalette::Text, Qt::white);
  palette.setColor(QPalette::PlaceholderText, KitColors::kPlaceholder);
  palette.setColor(QPalette::Button, KitColors::kControl);
  palette.setColor(QPalette::ButtonText, Qt::black);
  palette.setColor(QPalette::Highlight, KitColors::kSelectedRow);
  palette.setColor(QPalette::HighlightedText, Qt::white);
  palette.setColor(QPalette::ToolTipBase, KitColors::kControl);
  palette.setColor(QPalette::ToolTipText, Qt::black);
  palette.setColor(QPalette::Disabled, QPalette::WindowText, KitColors::kLabelTextDisabled);
  palette.setColor(QPalette::Disabled, QPalette::Text, KitColors::kLabelTextDisabled);
  palette.setColor(QPalette::Disabled, QPalette::ButtonText, KitColors::kLabelTextDisabled);
  QApplication::setPalette(palette);
  QApplication::setFont(Font(13));
}

}  // namespace KitStyle

QColor HV_CGColorCreate(const QColor& color) { return color.toRgb(); }
