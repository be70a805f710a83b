// The progress bar by its pixels: the orange reaches as far as the value.
#include <QApplication>

#include <gtest/gtest.h>

#include <limits>

#include "UiTestSupport.h"
#include "ui/widgets/KVProgressView.h"
#include "ui/widgets/KitStyle.h"

namespace {

class KVProgressViewTest : public ::testing::Test {
 protected:
  // Orange at the bar's middle row, x pixels from the left.
  bool OrangeAt(int x) { return uitest::Near(uitest::ColorAt(&view_, x, 3), KitColors::kBarOrange, 8); }

  QApplication* app_ = uitest::App();
  KVProgressView view_{QRect(0, 0, 368, 6)};
};

TEST_F(KVProgressViewTest, OrangeWidthFollowsTheValue) {
  EXPECT_EQ(view_.bar()->width(), 0);
  EXPECT_FALSE(OrangeAt(3));

  view_.changeProgressValue(50);
  EXPECT_EQ(view_.bar()->width(), 184);
  EXPECT_TRUE(OrangeAt(5));
  EXPECT_TRUE(OrangeAt(180));
  EXPECT_FALSE(OrangeAt(190));
  uitest::SaveArtifact(uitest::Grab(&view_), QStringLiteral("kvprogressview-50"));

  // 367.6 of 368 is within a pixel of the end: drawn full.
  view_.changeProgressValue(99.9f);
  EXPECT_EQ(view_.bar()->width(), 368);
  EXPECT_TRUE(OrangeAt(360));

  view_.changeProgressValue(0);
  EXPECT_EQ(view_.bar()->width(), 0);
}

TEST_F(KVProgressViewTest, NonsenseValuesAreHeldInRange) {
  view_.changeProgressValue(250);
  EXPECT_EQ(view_.bar()->width(), 368);
  view_.changeProgressValue(-20);
  EXPECT_EQ(view_.bar()->width(), 0);
  view_.changeProgressValue(std::numeric_limits<float>::quiet_NaN());
  EXPECT_EQ(view_.bar()->width(), 0);
  view_.changeProgressValue(std::numeric_limits<float>::infinity());
  EXPECT_EQ(view_.bar()->width(), 368);
}

TEST_F(KVProgressViewTest, BarFollowsAWiderView) {
  view_.show();
  view_.changeProgressValue(25);
  view_.resize(400, 6);
  EXPECT_EQ(view_.bar()->width(), 100);
}

}  // namespace
