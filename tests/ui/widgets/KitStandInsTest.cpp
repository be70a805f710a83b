// The stand-ins for platform controls: segmented control, scaled image
// view, eliding label and spinner.
#include <QApplication>
#include <QSignalSpy>
#include <QTest>

#include <gtest/gtest.h>

#include "UiTestSupport.h"
#include "ui/widgets/KitElidedLabel.h"
#include "ui/widgets/KitImageView.h"
#include "ui/widgets/KitImages.h"
#include "ui/widgets/KitSegmentedControl.h"
#include "ui/widgets/KitSpinner.h"

namespace {

TEST(KitSegmentedControlTest, ClicksChooseAndAnnounceEverySegmentPressed) {
  uitest::App();
  KitSegmentedControl control(QRect(0, 0, 96, 30), 3, nullptr);
  control.setImage(KitImages::Named(QStringLiteral("list_focus")), 0);
  control.setImage(KitImages::Named(QStringLiteral("preview_no_hover")), 1);
  control.setImage(KitImages::Named(QStringLiteral("grid_no_hover")), 2);
  EXPECT_EQ(control.segmentRect(1), QRectF(32, 0, 32, 30));
  EXPECT_EQ(control.segmentAt({70, 10}), 2);
  EXPECT_EQ(control.segmentAt({96, 10}), -1);
  QSignalSpy clicked(&control, &KitSegmentedControl::segmentClicked);
  QTest::mouseClick(&control, Qt::LeftButton, {}, QPoint(48, 15));
  EXPECT_EQ(control.selectedSegment(), 1);
  QTest::mouseClick(&control, Qt::LeftButton, {}, QPoint(48, 15));  // the chosen one again: still announced
  QTest::mouseClick(&control, Qt::RightButton, {}, QPoint(80, 15));
  ASSERT_EQ(clicked.size(), 2);
  EXPECT_EQ(clicked[1][0].toInt(), 1);
  // The chosen segment has a plate of its own around its image.
  const QColor chosen = uitest::ColorAt(&control, 35, 2);
  EXPECT_NE(chosen, uitest::ColorAt(&control, 67, 2));
  control.setSelectedSegment(2);
  EXPECT_EQ(uitest::ColorAt(&control, 67, 2), chosen);
  control.setSelectedSegment(3);  // no such segment
  EXPECT_EQ(control.selectedSegment(), 2);
  // A fixed width leaves the rest to the others.
  control.setWidth(40, 0);
  EXPECT_EQ(control.segmentRect(2), QRectF(68, 0, 28, 30));
  control.setEnabled(false);
  QTest::mouseClick(&control, Qt::LeftButton, {}, QPoint(20, 15));
  EXPECT_EQ(clicked.size(), 2);
  EXPECT_EQ(control.selectedSegment(), 2);
}

TEST(KitImageViewTest, ScalingsAndAlignments) {
  using V = KitImageView;
  const QRectF frame(0, 0, 40, 40);
  EXPECT_EQ(V::ImageRect({10, 10}, frame, V::kScaleAxesIndependently, V::kAlignTop), frame);
  EXPECT_EQ(V::ImageRect({100, 50}, frame, V::kScaleProportionallyDown, V::kAlignCenter), QRectF(0, 10, 40, 20));
  EXPECT_EQ(V::ImageRect({10, 20}, frame, V::kScaleProportionallyDown, V::kAlignCenter), QRectF(15, 10, 10, 20));
  EXPECT_EQ(V::ImageRect({10, 20}, frame, V::kScaleProportionallyUpOrDown, V::kAlignCenter), QRectF(10, 0, 20, 40));
  EXPECT_EQ(V::ImageRect({16, 16}, frame, V::kScaleNone, V::kAlignTop), QRectF(12, 0, 16, 16));
  EXPECT_EQ(V::ImageRect({16, 16}, frame, V::kScaleNone, V::kAlignBottomRight), QRectF(24, 24, 16, 16));
  EXPECT_EQ(V::ImageRect({16, 16}, frame, V::kScaleNone, V::kAlignLeft), QRectF(0, 12, 16, 16));
  EXPECT_TRUE(V::ImageRect({0, 16}, frame, V::kScaleNone, V::kAlignLeft).isNull());

  uitest::App();
  KitImageView view(QRect(0, 0, 40, 20), nullptr);
  view.setImage(uitest::Solid({10, 10}, Qt::red));
  view.setImageScaling(V::kScaleAxesIndependently);
  EXPECT_EQ(uitest::ColorAt(&view, 39, 19), QColor(Qt::red));
  EXPECT_EQ(uitest::ColorAt(&view, 0, 0), QColor(Qt::red));
  view.setImageScaling(V::kScaleProportionallyDown);
  EXPECT_EQ(uitest::ColorAt(&view, 20, 10), QColor(Qt::red));
  EXPECT_NE(uitest::ColorAt(&view, 5, 10), QColor(Qt::red));
}

TEST(KitElidedLabelTest, LongTextIsCutWhereTheFrameEnds) {
  uitest::App();
  KitElidedLabel label(QRect(0, 0, 80, 18), nullptr);
  label.setText(QStringLiteral("holiday-2019-beach-sunset-panorama.jpeg"));
  const QString tail = label.shownText();
  EXPECT_TRUE(tail.startsWith(QStringLiteral("holi")));
  EXPECT_TRUE(tail.endsWith(QChar(0x2026)));
  EXPECT_LE(label.fontMetrics().horizontalAdvance(tail), 80);
  label.setElideMode(Qt::ElideMiddle);
  EXPECT_TRUE(label.shownText().endsWith(QStringLiteral("jpeg")));
  label.setText(QStringLiteral("a.jpg"));
  EXPECT_EQ(label.shownText(), QStringLiteral("a.jpg"));
  label.setBackgroundColor(QColor(10, 200, 30));
  EXPECT_EQ(uitest::ColorAt(&label, 78, 1), QColor(10, 200, 30));
  // The text's own pixels, in its colour, stay left of the cut.
  label.setTextColor(Qt::black);
  label.setText(QStringLiteral("WWWWWWWWWWWWWWWWWWWWWWWWWW"));
  const QImage image = uitest::Grab(&label);
  bool dark = false;
  for (int x = 0; x < 20 && !dark; ++x) {
    for (int y = 0; y < 18 && !dark; ++y) dark = image.pixelColor(x, y).lightness() < 60;
  }
  EXPECT_TRUE(dark);
}

TEST(KitSpinnerTest, TurnsWhileStartedAndShown) {
  uitest::App();
  KitSpinner spinner(QRect(0, 0, 16, 16), nullptr);
  const QImage first = uitest::Grab(&spinner);
  spinner.advance();
  EXPECT_EQ(spinner.frame(), 1);
  EXPECT_NE(uitest::Grab(&spinner), first);
  for (int i = 1; i < KitSpinner::kSpokes; ++i) spinner.advance();
  EXPECT_EQ(spinner.frame(), 0);
  EXPECT_EQ(uitest::Grab(&spinner), first);

  spinner.startAnimation();  // hidden: nothing turns yet
  QTest::qWait(KitSpinner::kFrameMs * 3);
  EXPECT_EQ(spinner.frame(), 0);
  spinner.show();
  QTest::qWait(KitSpinner::kFrameMs * 4);
  EXPECT_GT(spinner.frame(), 0);
  spinner.stopAnimation();
  const int stopped = spinner.frame();
  QTest::qWait(KitSpinner::kFrameMs * 3);
  EXPECT_EQ(spinner.frame(), stopped);
}

}  // namespace
