#include "UiTestSupport.h"

#include <QApplication>
#include <QDir>
#include <QEnterEvent>
#include <QPainter>
#include <QWidget>

#include "ui/widgets/KitAnimations.h"
#include "ui/widgets/KitStyle.h"

namespace uitest {

QApplication* App() {
  if (QApplication::instance() == nullptr) {
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
    qputenv("QT_SCALE_FACTOR", "1");
    static int argc = 1;
    static char name[] = "ui-test";
    static char* argv[] = {name, nullptr};
    auto* app = new QApplication(argc, argv);  // lives until the program ends
    KitStyle::ApplyFixedLook(app);
    KitAnimations::SetEnabled(false);
  }
  return qApp;
}

QImage Grab(QWidget* widget) { return widget->grab().toImage(); }

QColor ColorAt(QWidget* widget, int x, int y) { return Grab(widget).pixelColor(x, y); }

bool Near(const QColor& a, const QColor& b, int tolerance) {
  return std::abs(a.red() - b.red()) <= tolerance && std::abs(a.green() - b.green()) <= tolerance &&
         std::abs(a.blue() - b.blue()) <= tolerance && std::abs(a.alpha() - b.alpha()) <= tolerance;
}

QPixmap Solid(const QSize& size, const QColor& color) {
  QPixmap pixmap(size);
  pixmap.fill(color);
  return pixmap;
}

QString SaveArtifact(const QImage& image, const QString& name) {
  const QDir dir(QStringLiteral(UI_TEST_ARTIFACTS));
  QDir().mkpath(dir.path());
  const QString path = dir.filePath(name + QStringLiteral(".png"));
  image.save(path);
  return path;
}

void Enter(QWidget* widget) {
  const QPointF inside(1, 1);
  QEnterEvent event(inside, inside, widget->mapToGlobal(inside));
  QApplication::sendEvent(widget, &event);
}

void Leave(QWidget* widget) {
  QEvent event(QEvent::Leave);
  QApplication::sendEvent(widget, &event);
}

}  // namespace uitest
