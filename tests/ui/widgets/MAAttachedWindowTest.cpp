// The bubble's placement: the worked figures of a known case, every side's
// arrow tip against its anchor, the automatic choice at a window's edges, and
// a bubble whose anchor is gone.
#include <QApplication>
#include <QLabel>
#include <QPushButton>

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>

#include "UiTestSupport.h"
#include "ui/widgets/MAAttachedWindow.h"

namespace {

const bubble::Metrics kDefault;

TEST(BubbleGeometryTest, KnownCaseBelowExtendingRight) {
  const bubble::Geometry g = bubble::Place(kDefault, QSizeF(100, 40), QPointF(200, 300), 11, 10);
  EXPECT_EQ(g.window.size(), QSizeF(104, 54));
  EXPECT_EQ(g.view, QRectF(2, 2, 100, 40));
  EXPECT_FLOAT_EQ(g.arrowInset, 15.5f);
  EXPECT_EQ(g.window.topLeft(), QPointF(184.5, 236));
}

TEST(BubbleGeometryTest, EveryArrowTipPointsAtItsAnchor) {
  const QPointF anchor(400, 300);
  const float d = 10;
  for (unsigned side = 0; side < 12; ++side) {
    const bubble::Geometry g = bubble::Place(kDefault, QSizeF(100, 40), anchor, side, d);
    const QPainterPath path = bubble::Outline(kDefault, g, side);
    // The tip lies `d` short of the anchor, towards the bubble, within a
    // pixel on each axis (the outline keeps to pixel centres).
    QPointF tip = anchor;
    switch (side) {
      case 0:
      case 4:
      case 5:
        tip.rx() -= d;
        break;
      case 2:
      case 6:
      case 7:
        tip.rx() += d;
        break;
      case 3:
      case 8:
      case 9:
        tip.ry() += d;
        break;
      default:
        tip.ry() -= d;
        break;
    }
    double nearest = 1e9;
    for (int k = 0; k < path.elementCount(); ++k) {
      const QPointF onScreen = g.window.topLeft() + QPointF(path.elementAt(k));
      nearest = std::min(nearest, std::max(std::abs(onScreen.x() - tip.x()), std::abs(onScreen.y() - tip.y())));
    }
    EXPECT_LE(nearest, 1.0) << "side " << side;
    EXPECT_FALSE(g.window.contains(anchor)) << "side " << side;
  }
}

TEST(BubbleGeometryTest, AutomaticChoiceFollowsTheRoom) {
  const QRectF screen(0, 0, 800, 600);
  const QSizeF view(100, 40);
  // Room below; the window's left edge is right of where a centred bubble
  // would start, so the bubble extends rightwards from the point.
  EXPECT_EQ(bubble::BestSide(kDefault, view, QPointF(400, 300), 10, screen, QRectF(360, 200, 400, 300)), 11u);
  // Room below, well inside the window: centred below.
  EXPECT_EQ(bubble::BestSide(kDefault, view, QPointF(400, 300), 10, screen, screen), 1u);
  // Near the window's right edge: below, extending leftwards.
  EXPECT_EQ(bubble::BestSide(kDefault, view, QPointF(780, 300), 10, screen, screen), 10u);
  // No room below: to the right, extending upwards.
  EXPECT_EQ(bubble::BestSide(kDefault, view, QPointF(400, 20), 10, screen, screen), 6u);
  // No room below nor right: to the left, extending upwards.
  EXPECT_EQ(bubble::BestSide(kDefault, view, QPointF(750, 20), 10, screen, screen), 4u);
}

TEST(MAAttachedWindowTest, OverlayPointsAtTheButtonAndHidesWithoutIt) {
  uitest::App();
  QWidget window;
  window.resize(400, 300);
  auto* button = new QPushButton(QStringLiteral("Deep"), &window);
  button->setGeometry(100, 50, 80, 30);
  auto* note = new QLabel(QStringLiteral("Try a deeper scan"));
  note->resize(150, 30);
  auto* bubbleWindow = new MAAttachedWindow(note, button, &window, 11, 10);
  EXPECT_EQ(bubbleWindow->parentWidget(), &window);
  // Top-down: the bubble starts `distance` below the button's centre.
  EXPECT_EQ(bubbleWindow->geometry().top(), 65 + 10);
  EXPECT_NEAR(bubbleWindow->geometry().left(), 140 - 15.5, 1);
  window.show();
  bubbleWindow->show();
  EXPECT_TRUE(bubbleWindow->isVisible());
  uitest::SaveArtifact(uitest::Grab(&window), QStringLiteral("maattachedwindow"));
  bubbleWindow->hide();
  delete button;
  bubbleWindow->show();
  EXPECT_FALSE(bubbleWindow->isVisible());
}

// The bubble casts a soft shadow on the window around it, darkest at its
// edge and gone a little way off, and leaves its own fill as it is.
TEST(MAAttachedWindowTest, CastsAShadowAroundItself) {
  uitest::App();
  const QColor ground(200, 200, 200);
  QWidget window;
  window.resize(400, 300);
  window.setAutoFillBackground(true);
  QPalette palette;
  palette.setColor(QPalette::Window, ground);
  window.setPalette(palette);
  auto* button = new QPushButton(QStringLiteral("Deep"), &window);
  button->setGeometry(100, 50, 80, 30);
  auto* note = new QWidget;
  note->resize(150, 30);
  auto* bubbleWindow = new MAAttachedWindow(note, button, &window, 11, 10);
  window.show();
  bubbleWindow->show();
  const QRect frame = bubbleWindow->geometry();
  const QImage shown = uitest::Grab(&window);
  const int middle = frame.center().x();
  const QColor below = shown.pixelColor(middle, frame.bottom() + 2);
  const QColor right = shown.pixelColor(frame.right() + 2, frame.center().y());
  EXPECT_LT(below.red(), ground.red() - 20) << below.name().toStdString();
  EXPECT_LT(right.red(), ground.red() - 10) << right.name().toStdString();
  EXPECT_GT(below.red(), 100) << "a shadow, not a wall";
  EXPECT_EQ(shown.pixelColor(middle, frame.bottom() + 20), ground);
  EXPECT_EQ(shown.pixelColor(frame.right() + 20, frame.center().y()), ground);
  // Inside: white 0.1 at 0.75 over the ground, no darker.
  const QColor fill = shown.pixelColor(middle, frame.center().y());
  EXPECT_TRUE(uitest::Near(fill, QColor(69, 69, 69), 2)) << fill.name().toStdString();
  uitest::SaveArtifact(shown, QStringLiteral("maattachedwindow-shadow"));
  bubbleWindow->hide();
  EXPECT_EQ(uitest::Grab(&window).pixelColor(middle, frame.bottom() + 2), ground);
}

}  // namespace
