// Overlay scrollers over an outline, a table and a plain scroll area: where
// they lie, how the knob looks, and how they fade and come back.
#include <QApplication>
#include <QLabel>
#include <QScrollArea>
#include <QScrollBar>
#include <QTest>
#include <QTimer>
#include <QWheelEvent>

#include <gtest/gtest.h>

#include "StandInSources.h"
#include "UiTestSupport.h"
#include "ui/widgets/CustomTableView.h"
#include "ui/widgets/KVCustomOutlineView.h"
#include "ui/widgets/KitAnimations.h"
#include "ui/widgets/KitStyle.h"
#include "ui/widgets/RFOverlayScrollView.h"
#include "ui/widgets/RFOverlayScroller.h"

namespace {

std::unique_ptr<QScrollArea> PlainArea() {
  uitest::App();
  auto area = std::make_unique<QScrollArea>();
  auto* content = new QLabel;
  content->setFixedSize(900, 2000);
  area->setWidget(content);
  area->setFrameShape(QFrame::NoFrame);
  area->resize(300, 200);
  return area;
}

// Overlay scrollers on `view`, shown.
RFOverlayScrollView* ShownWithOverlay(QAbstractScrollArea* view) {
  auto* overlay = new RFOverlayScrollView(view);
  view->show();
  QApplication::processEvents();
  return overlay;
}

// An outline and a table of `rows` rows in one column, 300 x 200 each.
struct Views {
  explicit Views(int rows) : tree(rows), list(rows) {
    outline.addTableColumn(QStringLiteral("Name"));
    outline.resize(300, 200);
    outline.setDataSource(&tree);
    table.addTableColumn(QStringLiteral("Name"));
    table.resize(300, 200);
    table.setDataSource(&list);
  }
  standin::Tree tree;
  KVCustomOutlineView outline;
  standin::List list;
  CustomTableView table;
};

TEST(RFOverlayScrollViewTest, ScrollersLieOverTheContentBelowATablesHeader) {
  auto area = PlainArea();
  RFOverlayScrollView* overlay = ShownWithOverlay(area.get());
  EXPECT_EQ(overlay->headerOffset(), 0);
  EXPECT_EQ(area->viewport()->geometry(), QRect(0, 0, 300, 200)) << "the content keeps the whole area";
  EXPECT_EQ(overlay->verticalScroller()->geometry(), QRect(285, 0, 15, 200));
  EXPECT_EQ(overlay->horizontalScroller()->geometry(), QRect(0, 188, 285, 12));

  Views views(100);
  RFOverlayScrollView* outlineOverlay = ShownWithOverlay(&views.outline);
  EXPECT_EQ(outlineOverlay->headerOffset(), 17);
  EXPECT_EQ(outlineOverlay->verticalScroller()->geometry(), QRect(285, 17, 15, 183));
  EXPECT_FALSE(outlineOverlay->horizontalScroller()->isVisible()) << "nothing to scroll sideways";
  views.outline.setHeaderHidden(true);
  QApplication::processEvents();
  EXPECT_EQ(outlineOverlay->headerOffset(), 0);

  RFOverlayScrollView* tableOverlay = ShownWithOverlay(&views.table);
  EXPECT_EQ(tableOverlay->verticalScroller()->geometry(), QRect(285, 25, 15, 175));
  // Children added later stay under the scrollers.
  views.table.changeNoValue(false);
  const QObjectList children = views.table.children();
  const auto last = [&](QObject* o) { return children.indexOf(o) > children.indexOf(views.table.noValueView()); };
  EXPECT_TRUE(last(tableOverlay->verticalScroller()) && last(tableOverlay->horizontalScroller()));
}

TEST(RFOverlayScrollViewTest, TheKnobIsAThinGreyBarAndDrivesTheContent) {
  auto area = PlainArea();
  RFOverlayScrollView* overlay = ShownWithOverlay(area.get());
  RFOverlayScroller* vertical = overlay->verticalScroller();
  const QRect knob = vertical->knobRect();
  EXPECT_EQ(knob.x(), 5);
  EXPECT_EQ(knob.width(), 5);
  EXPECT_EQ(knob.y(), 0);
  EXPECT_EQ(knob.height(), 200 * 200 / 2000);
  EXPECT_EQ(overlay->horizontalScroller()->knobRect().y(), 5);
  EXPECT_EQ(overlay->horizontalScroller()->knobRect().height(), 5);

  // In the area's pixels: knob grey, no track beside it.
  EXPECT_TRUE(uitest::Near(uitest::ColorAt(area.get(), 285 + 7, 10), KitColors::kKnob));
  EXPECT_FALSE(uitest::Near(uitest::ColorAt(area.get(), 285 + 2, 10), KitColors::kKnob));
  EXPECT_FALSE(uitest::Near(uitest::ColorAt(area.get(), 285 + 7, 150), KitColors::kKnob));

  // The overlay and the area's own bar move together, both ways.
  vertical->setValue(900);
  EXPECT_EQ(area->verticalScrollBar()->value(), 900);
  area->verticalScrollBar()->setValue(300);
  EXPECT_EQ(vertical->value(), 300);
  EXPECT_EQ(vertical->knobRect().y(), vertical->style()->sliderPositionFromValue(0, 1800, 300, 200 - 20));
  // Dragging the knob scrolls the content.
  const QPoint grip = vertical->knobRect().center();
  QTest::mousePress(vertical, Qt::LeftButton, {}, grip);
  QTest::mouseMove(vertical, grip + QPoint(0, 40));
  QTest::mouseRelease(vertical, Qt::LeftButton, {}, grip + QPoint(0, 40));
  EXPECT_GT(area->verticalScrollBar()->value(), 300);
}

QColor KnobPixel(QAbstractScrollArea* area, RFOverlayScroller* scroller) {
  const QRect knob = scroller->knobRect().translated(scroller->pos());
  return uitest::ColorAt(area, knob.center().x(), knob.center().y());
}

TEST(RFOverlayScrollViewTest, ScrollersFadeAfterRestAndComeBackOnScrollOrHover) {
  auto area = PlainArea();
  RFOverlayScrollView* overlay = ShownWithOverlay(area.get());
  RFOverlayScroller* vertical = overlay->verticalScroller();
  EXPECT_TRUE(vertical->isFadePending());

  // Two scrolls within the rest leave one pending fade, which runs 1.5 s
  // after the last one.
  QWheelEvent wheel(QPointF(100, 100), area->mapToGlobal(QPointF(100, 100)), {}, QPoint(0, -120), Qt::NoButton,
                    Qt::NoModifier, Qt::NoScrollPhase, false);
  QApplication::sendEvent(area->viewport(), &wheel);
  EXPECT_GT(area->verticalScrollBar()->value(), 0);
  QTest::qWait(1000);
  QApplication::sendEvent(area->viewport(), &wheel);
  EXPECT_EQ(vertical->findChildren<QTimer*>().size(), 1u);
  QTest::qWait(1000);
  EXPECT_EQ(vertical->alphaValue(), 1.0);
  EXPECT_TRUE(uitest::Near(KnobPixel(area.get(), vertical), KitColors::kKnob));
  QTest::qWait(700);
  EXPECT_FALSE(vertical->isFadePending());
  EXPECT_EQ(vertical->alphaValue(), 0.0);
  const QColor content = uitest::ColorAt(area.get(), 150, 100);
  EXPECT_EQ(KnobPixel(area.get(), vertical), content) << "faded away";

  vertical->setValue(vertical->value() + 50);  // a scroll brings it back
  EXPECT_TRUE(uitest::Near(KnobPixel(area.get(), vertical), KitColors::kKnob));
  EXPECT_TRUE(vertical->isFadePending());

  // Over the scroller it stays, and leaving fades it at once.
  uitest::Enter(vertical);
  EXPECT_FALSE(vertical->isFadePending());
  vertical->fadeOut();
  EXPECT_EQ(vertical->alphaValue(), 1.0);
  uitest::Leave(vertical);
  EXPECT_EQ(vertical->alphaValue(), 0.0);
}

// A scan reloads the views ten times a second without the user scrolling:
// faded scrollers stay faded.
TEST(RFOverlayScrollViewTest, ReloadsDoNotWakeFadedScrollers) {
  uitest::App();
  Views views(300);
  for (QAbstractItemView* view : std::initializer_list<QAbstractItemView*>{&views.outline, &views.table}) {
    RFOverlayScrollView* overlay = ShownWithOverlay(view);
    overlay->verticalScroller()->setValue(2000);
    overlay->verticalScroller()->fadeOut();
    for (int k = 0; k < 5; ++k) {
      views.tree.root()->count += 10;
      views.list.rows += 10;
      if (view == &views.outline) views.outline.reloadData();
      if (view == &views.table) views.table.reloadData();
      QApplication::processEvents();
    }
    EXPECT_EQ(view->verticalScrollBar()->value(), 2000);
    EXPECT_EQ(overlay->verticalScroller()->alphaValue(), 0.0);
    EXPECT_FALSE(overlay->verticalScroller()->isFadePending());
  }
}

// With animations on, the fade takes its time and then stops: a resting
// view paints nothing more.
TEST(RFOverlayScrollViewTest, AFadeEndsAndTheScrollerRests) {
  auto area = PlainArea();
  KitAnimations::SetEnabled(true);
  RFOverlayScrollView* overlay = ShownWithOverlay(area.get());
  RFOverlayScroller* vertical = overlay->verticalScroller();
  vertical->fadeOut();
  QTest::qWait(RFOverlayScroller::kFadeMs / 3);
  EXPECT_GT(vertical->alphaValue(), 0.0);
  EXPECT_LT(vertical->alphaValue(), 1.0);
  QTest::qWait(RFOverlayScroller::kFadeMs);
  EXPECT_EQ(vertical->alphaValue(), 0.0);
  KitAnimations::SetEnabled(false);
}

}  // namespace
