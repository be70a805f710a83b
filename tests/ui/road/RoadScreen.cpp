#include "RoadScreen.h"

#include <QApplication>
#include <QGuiApplication>
#include <QPainter>
#include <QPixmap>
#include <QScreen>
#include <QWidget>

#include <algorithm>
#include <vector>

namespace {

// Above the windows the user works in: dialogs, small windows, menus.
int Layer(const QWidget* window) {
  if (window->windowType() == Qt::Popup || window->windowType() == Qt::ToolTip) return 3;
  if (window->isModal() || window->windowType() == Qt::Dialog || window->windowType() == Qt::Sheet) return 2;
  if (window->isActiveWindow()) return 1;
  return 0;
}

}  // namespace

QImage ScreenAsSeen() {
  std::vector<QWidget*> shown;
  QRect area;
  for (QWidget* each : QApplication::topLevelWidgets()) {
    if (!each->isVisible() || each->windowOpacity() == 0.0 || each->size().isEmpty()) continue;
    shown.push_back(each);
    area = area.united(each->frameGeometry());
  }
  if (area.isEmpty()) return QImage(QSize(320, 200), QImage::Format_RGB32);
  area.adjust(-8, -8, 8, 8);
  QScreen* screen = QGuiApplication::primaryScreen();
  if (QGuiApplication::platformName() == QLatin1String("xcb") && screen != nullptr) {
    const QRect on = area.intersected(screen->geometry());
    return screen->grabWindow(0, on.x(), on.y(), on.width(), on.height()).toImage();
  }
  QImage image(area.size(), QImage::Format_RGB32);
  image.fill(QColor(40, 40, 40));
  QPainter painter(&image);
  std::stable_sort(shown.begin(), shown.end(), [](QWidget* a, QWidget* b) { return Layer(a) < Layer(b); });
  for (QWidget* window : shown) painter.drawPixmap(window->geometry().topLeft() - area.topLeft(), window->grab());
  return image;
}
