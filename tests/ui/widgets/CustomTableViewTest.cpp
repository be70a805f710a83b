// The file table over a lazy stand-in list: what it asks, what a reload
// keeps, the named row, the dark header and the empty-list note.
#include <QApplication>
#include <QLabel>
#include <QScrollBar>
#include <QTest>

#include <gtest/gtest.h>

#include "StandInSources.h"
#include "UiTestSupport.h"
#include "ui/widgets/CustomTableView.h"
#include "ui/widgets/ImageAndTextCell.h"
#include "ui/widgets/KitServices.h"
#include "ui/widgets/KitStyle.h"

namespace {

using standin::List;

constexpr int kRow = 39;
constexpr int kHeader = CustomTableView::kHeaderHeight;

std::unique_ptr<CustomTableView> Shown(List* list, int height = 300) {
  auto view = std::make_unique<CustomTableView>();
  view->addTableColumn(QStringLiteral("Name"), QStringLiteral("Name"), 150)
      ->setDataCell(std::make_unique<ImageAndTextCell>());
  view->addTableColumn(QStringLiteral("Size"), QStringLiteral("Size"), 100);
  view->resize(400, height);
  view->setDataSource(list);
  view->show();
  QApplication::processEvents();
  uitest::Grab(view.get());
  return view;
}

TEST(CustomTableViewTest, AMillionRowsOpenAndScrollAskingOnlyForShownRows) {
  uitest::App();
  List list(1000000);
  auto view = Shown(&list);
  const int shown = (300 - kHeader) / kRow + 1;
  ASSERT_FALSE(list.asked.empty());
  EXPECT_LE(*list.asked.rbegin(), shown);
  list.asked.clear();
  view->verticalScrollBar()->setValue(700000 * kRow);
  uitest::Grab(view.get());
  ASSERT_FALSE(list.asked.empty());
  EXPECT_GE(*list.asked.begin(), 700000);
  EXPECT_LE(*list.asked.rbegin(), 700000 + shown);
  EXPECT_EQ(view->numberOfRows(), 1000000);
}

class Recorder : public ITableViewDelegate {
 public:
  void willDisplayCell(CustomTableView*, KitCell* cell, KitTableColumn* column, int row) override {
    if (column->identifier() == QLatin1String("Name")) {
      static_cast<ImageAndTextCell*>(cell)->setImage(row % 2 == 0 ? uitest::Solid(QSize(16, 16), Qt::red) : QPixmap());
    }
  }
  bool shouldSelectRow(CustomTableView* table, int row) override {
    asked.push_back(row);
    if (reloadWhileDeciding) table->reloadData();
    table->setRowNum(row);
    return allow;
  }
  void tableViewSelectionDidChange(CustomTableView*) override { ++selectionChanges; }
  void mouseDownInHeaderOfTableColumn(CustomTableView*, KitTableColumn* column) override {
    pressed.push_back(column->identifier());
  }
  void didClickTableColumn(CustomTableView*, KitTableColumn* column) override {
    clicked.push_back(column->identifier());
  }
  std::vector<int> asked;
  std::vector<QString> pressed, clicked;
  int selectionChanges = 0;
  bool allow = true;
  bool reloadWhileDeciding = false;
};

TEST(CustomTableViewTest, AReloadKeepsScrollAndTheSelectedRowWhileItExists) {
  uitest::App();
  List list(500);
  auto view = Shown(&list);
  Recorder recorder;
  view->setDelegate(&recorder);
  view->selectRow(40);
  recorder.selectionChanges = 0;
  view->verticalScrollBar()->setValue(1234);
  list.rows = 800;
  view->reloadData();
  EXPECT_EQ(view->verticalScrollBar()->value(), 1234);
  EXPECT_EQ(view->selectedRow(), 40);
  EXPECT_EQ(recorder.selectionChanges, 0);

  list.rows = 30;  // the list shrank under the selection and the scroll
  view->reloadData();
  uitest::Grab(view.get());
  EXPECT_EQ(view->selectedRow(), -1);
  EXPECT_EQ(recorder.selectionChanges, 1);
  EXPECT_EQ(view->verticalScrollBar()->value(), view->verticalScrollBar()->maximum());
}

TEST(CustomTableViewTest, SelectingAsksTheDelegateWhichMayReload) {
  uitest::App();
  List list(20);
  auto view = Shown(&list);
  Recorder recorder;
  recorder.reloadWhileDeciding = true;
  view->setDelegate(&recorder);
  view->setFocus();
  QTest::mouseClick(view->viewport(), Qt::LeftButton, {}, QPoint(60, 2 * kRow + 10));
  EXPECT_EQ(view->selectedRow(), 2);
  EXPECT_EQ(view->clickedRow(), 2);
  QTest::keyClick(view.get(), Qt::Key_Down);
  QTest::keyClick(view.get(), Qt::Key_Down);
  EXPECT_EQ(view->selectedRow(), 4);
  EXPECT_EQ(recorder.asked, (std::vector<int>{2, 3, 4}));
  recorder.allow = false;
  QTest::keyClick(view.get(), Qt::Key_Up);
  EXPECT_EQ(view->selectedRow(), 4);
  EXPECT_EQ(view->rowNum(), 3) << "the delegate named the row it refused";
}

TEST(CustomTableViewTest, HeaderPressesAndClicksCarryTheColumn) {
  uitest::App();
  List list(5);
  auto view = Shown(&list);
  Recorder recorder;
  view->setDelegate(&recorder);
  QTest::mouseClick(view->headerView()->viewport(), Qt::LeftButton, {}, QPoint(200, 10));
  EXPECT_EQ(recorder.pressed, std::vector<QString>{QStringLiteral("Size")});
  EXPECT_EQ(recorder.clicked, std::vector<QString>{QStringLiteral("Size")});
  EXPECT_EQ(view->tableColumnWithIdentifier(QStringLiteral("Size")), view->tableColumns().at(1));
  int doubles = 0;
  QObject::connect(view.get(), &CustomTableView::doubleAction, [&] { ++doubles; });
  QTest::mouseDClick(view->viewport(), Qt::LeftButton, {}, QPoint(60, 10));
  EXPECT_EQ(doubles, 1);
}

// ---- pixels -----------------------------------------------------------------

TEST(CustomTableViewTest, DarkHeaderStripesAndTheNamedRow) {
  uitest::App();
  List list(3);
  auto view = Shown(&list);
  EXPECT_EQ(view->headerView()->height(), 25);
  EXPECT_EQ(view->viewport()->geometry().top(), 25);
  // The header: dark, with its title in the light blue somewhere in it.
  const QImage header = uitest::Grab(view->headerView());
  EXPECT_TRUE(uitest::Near(header.pixelColor(140, 2), KitColors::kDarkRow, 3));
  EXPECT_TRUE(uitest::Near(header.pixelColor(390, 20), KitColors::kDarkRow, 3)) << "past the last column";
  bool title = false;
  for (int x = 5; x < 40 && !title; ++x) {
    for (int y = 5; y < 20 && !title; ++y) title = uitest::Near(header.pixelColor(x, y), KitColors::kHeaderText, 40);
  }
  EXPECT_TRUE(title);

  // Row 0 is named at first; stripes below the rows too.
  const QImage rows = uitest::Grab(view->viewport());
  EXPECT_TRUE(uitest::Near(rows.pixelColor(300, 5), KitColors::kSelectedRow));
  EXPECT_TRUE(uitest::Near(rows.pixelColor(300, kRow + 5), KitColors::kStripeB));
  EXPECT_TRUE(uitest::Near(rows.pixelColor(300, 2 * kRow + 5), KitColors::kStripeA));
  EXPECT_TRUE(uitest::Near(rows.pixelColor(300, 4 * kRow + 5), KitColors::kStripeA)) << "below the last row";
  view->selectRow(1);
  view->setRowNum(2);
  const QImage named = uitest::Grab(view->viewport());
  EXPECT_TRUE(uitest::Near(named.pixelColor(300, 5), KitColors::kStripeA));
  EXPECT_TRUE(uitest::Near(named.pixelColor(300, kRow + 5), KitColors::kStripeB)) << "no selection of its own";
  EXPECT_TRUE(uitest::Near(named.pixelColor(300, 2 * kRow + 5), KitColors::kSelectedRow));
  view->setRowNum(3);  // beyond the list
  EXPECT_TRUE(uitest::Near(uitest::ColorAt(view->viewport(), 300, 3 * kRow + 5), KitColors::kStripeB));
  uitest::SaveArtifact(uitest::Grab(view.get()), QStringLiteral("custom-table-view"));
}

class Strings : public IKitStrings {
 public:
  QString LocalizedString(const QString& key) const override { return QStringLiteral("[%1]").arg(key); }
};

TEST(CustomTableViewTest, TheEmptyListNoteIsMadeOnceAndStaysCentred) {
  uitest::App();
  const Strings strings;
  KitServices::SetStrings(&strings);
  List list(0);
  auto view = Shown(&list);
  view->changeNoValue(true);  // nothing to take away
  EXPECT_EQ(view->noValueView(), nullptr);
  view->changeNoValue(false);
  QWidget* note = view->noValueView();
  ASSERT_NE(note, nullptr);
  view->changeNoValue(false);
  EXPECT_EQ(view->noValueView(), note);
  EXPECT_EQ(view->findChildren<QLabel*>().size(), 2);
  EXPECT_EQ(note->geometry(), view->viewport()->geometry());
  auto* text = note->findChildren<QLabel*>().back();
  EXPECT_EQ(text->text(), QStringLiteral("[PAGE_FOUR_NO_VALUE_NOTE]"));
  EXPECT_EQ(text->geometry(), QRect(0, (300 - kHeader) / 2, 400, 20));
  EXPECT_TRUE(uitest::Near(text->palette().color(QPalette::WindowText), KitColors::kNoteText));

  view->resize(600, 400);
  QApplication::processEvents();
  EXPECT_EQ(note->geometry(), view->viewport()->geometry());
  EXPECT_EQ(text->geometry(), QRect(100, (400 - kHeader) / 2, 400, 20));
  // The plate lies around the text alone, and the text on it: the list's
  // edges and the text's ground stay the list's own dark.
  auto* plate = note->findChildren<QLabel*>().front();
  EXPECT_EQ(plate->geometry(), text->geometry().adjusted(0, -15, 0, 15));
  EXPECT_FALSE(text->autoFillBackground());
  const QImage shown = uitest::Grab(view.get());
  const QPoint inList = view->viewport()->mapTo(view.get(), QPoint(2, 2));
  EXPECT_LT(qGray(shown.pixel(inList)), 80);
  const QPoint besideText = view->viewport()->mapTo(view.get(), text->geometry().topLeft() + QPoint(4, 4));
  EXPECT_LT(qGray(shown.pixel(besideText)), 80);
  uitest::SaveArtifact(uitest::Grab(view.get()), QStringLiteral("custom-table-view-empty"));

  view->changeNoValue(true);
  QApplication::processEvents();
  EXPECT_EQ(view->noValueView(), nullptr);
  EXPECT_TRUE(view->findChildren<QLabel*>().isEmpty());
  KitServices::SetStrings(nullptr);
}

}  // namespace
