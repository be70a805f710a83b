// Test set-up for widgets: the program's one QApplication (offscreen, Fusion,
// the kit's palette and DejaVu fonts, animations off), pixel sampling at
// known points, and screenshots kept in the build tree for review. Tests
// compare colours at points, never whole images with text in them: text
// renders differently from machine to machine.
#pragma once

#include <QColor>
#include <QEvent>
#include <QImage>
#include <QObject>
#include <QPixmap>
#include <QString>

class QApplication;
class QWidget;

namespace uitest {

// Made on the first call with QT_QPA_PLATFORM=offscreen (unless the
// environment names another platform) and kept until the program ends.
QApplication* App();

// What `widget` paints, as an image at scale 1.
QImage Grab(QWidget* widget);
// The colour `widget` paints at (x, y).
QColor ColorAt(QWidget* widget, int x, int y);
// Whether two colours differ by at most `tolerance` in each component.
bool Near(const QColor& a, const QColor& b, int tolerance = 2);

// A pixmap of one colour, for widgets drawn from images.
QPixmap Solid(const QSize& size, const QColor& color);

// Writes `image` as "<build>/test-artifacts/<name>.png"; answers the path.
QString SaveArtifact(const QImage& image, const QString& name);

// The events a pointer sends when it enters or leaves a widget.
void Enter(QWidget* widget);
void Leave(QWidget* widget);

// Counts the paint events of the widgets it is installed on as an event
// filter.
class PaintCounter : public QObject {
 public:
  bool eventFilter(QObject*, QEvent* event) override {
    if (event->type() == QEvent::Paint) ++paints;
    return false;
  }
  int paints = 0;
};

}  // namespace uitest
