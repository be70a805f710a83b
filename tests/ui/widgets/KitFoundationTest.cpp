// Frame conversion, autoresizing, owned timers and the animation switch.
#include <QApplication>
#include <QFontInfo>
#include <QPointer>
#include <QStyle>
#include <QTest>
#include <QWidget>

#include <gtest/gtest.h>

#include <memory>

#include "QtTestSupport.h"
#include "UiTestSupport.h"
#include "ui/widgets/KitAnimations.h"
#include "ui/widgets/KitAutoresizer.h"
#include "ui/widgets/KitGeometry.h"
#include "ui/widgets/KitOwnedTimer.h"
#include "ui/widgets/KitStyle.h"

namespace {

using Mask = KitAutoresizer::Mask;

TEST(KitGeometryTest, BottomLeftFramesBecomeTopLeftAndBack) {
  EXPECT_EQ(KitGeometry::FromBottomLeft(QRectF(28, 30, 32, 32), 90), QRectF(28, 28, 32, 32));
  EXPECT_EQ(KitGeometry::FromBottomLeft(QRectF(0, 0, 100, 22), 22), QRectF(0, 0, 100, 22));
  const QRectF frame(3.5, 10.25, 20, 7.5);
  EXPECT_EQ(KitGeometry::FromBottomLeft(KitGeometry::FromBottomLeft(frame, 60), 60), frame);
  EXPECT_EQ(KitGeometry::FromBottomLeftRounded(QRectF(0.5, 0.4, 10.2, 9.8), 100), QRect(1, 90, 10, 10));
}

TEST(KitAutoresizerTest, ParentGrowthGoesToTheFlexibleParts) {
  const QRectF frame(100, 20, 50, 30);  // Qt coordinates in a 300 x 100 parent
  const QSizeF from(300, 100), to(400, 160);
  auto resized = [&](unsigned mask, bool bottomLeft = true) {
    return KitAutoresizer::Resized(frame, from, to, mask, bottomLeft);
  };
  // Nothing flexible: pinned to the left and to the layout's origin edge.
  EXPECT_EQ(resized(Mask::kNotSizable), QRectF(100, 80, 50, 30));
  EXPECT_EQ(resized(Mask::kNotSizable, false), QRectF(100, 20, 50, 30));
  // A flexible left margin keeps the right distance.
  EXPECT_EQ(resized(Mask::kMinXMargin).x(), 200);
  EXPECT_EQ(resized(Mask::kWidthSizable).width(), 150);
  // Both side margins flexible: the growth is shared 100 : 150.
  EXPECT_EQ(resized(Mask::kMinXMargin | Mask::kMaxXMargin).x(), 140);
  // Bottom-left layouts: the top margin is the "maximum y" one.
  EXPECT_EQ(resized(Mask::kMaxYMargin), QRectF(100, 80, 50, 30));
  EXPECT_EQ(resized(Mask::kMinYMargin), QRectF(100, 20, 50, 30));
  EXPECT_EQ(resized(Mask::kHeightSizable), QRectF(100, 20, 50, 90));
  // Top-left layouts: the top margin is the "minimum y" one.
  EXPECT_EQ(resized(Mask::kMinYMargin, false), QRectF(100, 80, 50, 30));
  // A size never goes below zero.
  EXPECT_EQ(KitAutoresizer::Resized(frame, from, QSizeF(200, 100), Mask::kWidthSizable, true).width(), 0);
}

TEST(KitAutoresizerTest, ChildrenFollowTheirParentWithoutDrift) {
  uitest::App();
  QWidget parent;
  parent.resize(300, 100);
  parent.show();  // a hidden widget's resizes arrive only when it is shown
  KitAutoresizer resizer(&parent);
  auto* right = new QWidget(&parent);
  auto* middle = new QWidget(&parent);
  resizer.add(right, QRectF(250, 10, 40, 20), Mask::kMinXMargin | Mask::kMinYMargin);
  resizer.add(middle, QRectF(100, 10, 50, 20), Mask::kMinXMargin | Mask::kMaxXMargin | Mask::kMinYMargin);
  parent.resize(500, 100);
  EXPECT_EQ(right->geometry(), QRect(450, 10, 40, 20));
  for (int width : {333, 517, 301, 299, 300}) parent.resize(width, 100);
  EXPECT_EQ(right->geometry(), QRect(250, 10, 40, 20));
  EXPECT_EQ(middle->geometry(), QRect(100, 10, 50, 20));
  delete middle;  // a child that goes away is forgotten
  parent.resize(320, 100);
  EXPECT_EQ(right->geometry(), QRect(270, 10, 40, 20));
}

TEST(KitOwnedTimerTest, DelayedCallsNeverOutliveTheirOwner) {
  uitest::App();
  auto calls = std::make_shared<int>(0);
  auto owner = std::make_unique<QObject>();
  auto* timer = new KitOwnedTimer(owner.get());
  timer->start(1, [calls] { ++*calls; });
  timer->start(1, [calls] { *calls += 10; });  // replaces the pending call
  EXPECT_TRUE(qttest::PumpUntil([&] { return !timer->isPending(); }));
  EXPECT_EQ(*calls, 10);

  timer->start(1, [calls] { ++*calls; });
  timer->cancel();
  timer->start(5, [calls] { ++*calls; });
  owner.reset();  // the timer dies with its owner; the call never comes
  qttest::PumpPending();
  QTest::qWait(20);
  EXPECT_EQ(*calls, 10);

  // A call may destroy the owner of the timer that runs it.
  auto second = std::make_unique<QObject>();
  QPointer<QObject> watch = second.get();
  auto* self = new KitOwnedTimer(second.get());
  QObject* raw = second.release();
  self->start(0, [raw] { delete raw; });
  EXPECT_TRUE(qttest::PumpUntil([&] { return watch.isNull(); }));
}

TEST(KitAnimationsTest, TheSwitchTurnsDurationsToZero) {
  const bool was = KitAnimations::Enabled();
  KitAnimations::SetEnabled(true);
  EXPECT_EQ(KitAnimations::Duration(300), 300);
  KitAnimations::SetEnabled(false);
  EXPECT_EQ(KitAnimations::Duration(300), 0);
  KitAnimations::SetEnabled(was);
}

TEST(KitStyleTest, FixedLookAndColourConversion) {
  uitest::App();
  EXPECT_EQ(QApplication::style()->name(), QStringLiteral("fusion"));
  EXPECT_EQ(QApplication::font().family(), QStringLiteral("DejaVu Sans"));
  EXPECT_EQ(QFontInfo(KitStyle::Font(14)).family(), QStringLiteral("DejaVu Sans"));  // installed, not substituted
  EXPECT_EQ(KitStyle::Font(14).pixelSize(), 14);
  const QColor converted = HV_CGColorCreate(QColor::fromHsv(210, 200, 250, 128));
  EXPECT_EQ(converted.spec(), QColor::Rgb);
  EXPECT_EQ(converted.rgba(), QColor::fromHsv(210, 200, 250, 128).rgba());
}

}  // namespace
