// Edit shortcuts by what lands on the clipboard and in the field, and by
// whether the field itself still saw the key.
#include <QApplication>
#include <QClipboard>
#include <QLineEdit>
#include <QTest>
#include <QTreeView>

#include <gtest/gtest.h>

#include "UiTestSupport.h"
#include "ui/widgets/KitStyle.h"
#include "ui/widgets/MyNSApplication.h"

namespace {

// A field that counts the key presses it is handed, other than the modifier
// keys themselves (the test's clicks press those first).
class CountingField : public QLineEdit {
 public:
  int presses = 0;

 protected:
  void keyPressEvent(QKeyEvent* event) override {
    if (event->text().size() > 0 || event->key() < Qt::Key_Shift || event->key() > Qt::Key_ScrollLock) ++presses;
    QLineEdit::keyPressEvent(event);
  }
};

// The filter, installed once for the whole program.
void InstallOnce() {
  static const bool installed = (MyNSApplication::Install(uitest::App()), true);
  (void)installed;
}

TEST(MyNSApplicationTest, ShortcutsReachTheFocusedField) {
  InstallOnce();
  CountingField field;
  field.show();
  QApplication::setActiveWindow(&field);
  field.setFocus();
  field.setText(QStringLiteral("precious"));
  field.selectAll();

  QTest::keyClick(&field, Qt::Key_C, Qt::ControlModifier);
  EXPECT_EQ(QApplication::clipboard()->text(), QStringLiteral("precious"));
  QTest::keyClick(&field, Qt::Key_X, Qt::ControlModifier);
  EXPECT_TRUE(field.text().isEmpty());
  QTest::keyClick(&field, Qt::Key_V, Qt::ControlModifier);
  QTest::keyClick(&field, Qt::Key_Z, Qt::ControlModifier);
  EXPECT_TRUE(field.text().isEmpty());
  QTest::keyClick(&field, Qt::Key_Z, Qt::ControlModifier | Qt::ShiftModifier);
  EXPECT_EQ(field.text(), QStringLiteral("precious"));
  EXPECT_EQ(field.presses, 0);  // all taken before the field's own handling

  // Ctrl+Alt+C and Shift+Z are not edit shortcuts: the field gets them.
  QTest::keyClick(&field, Qt::Key_C, Qt::ControlModifier | Qt::AltModifier);
  QTest::keyClick(&field, Qt::Key_Z, Qt::ShiftModifier);
  EXPECT_EQ(field.presses, 2);
  EXPECT_TRUE(field.text().endsWith(QLatin1Char('Z'), Qt::CaseInsensitive)) << field.text().toStdString();
}

// A tree has no edit slots: the keys go on to it, and nothing is written to
// the log on their way.
TEST(MyNSApplicationTest, WidgetsWithoutEditSlotsGetTheKeysSilently) {
  InstallOnce();
  static QStringList messages;
  messages.clear();
  const QtMessageHandler before =
      qInstallMessageHandler([](QtMsgType, const QMessageLogContext&, const QString& text) { messages << text; });
  struct CountingTree : QTreeView {
    int presses = 0;
    void keyPressEvent(QKeyEvent* event) override {
      if (event->key() < Qt::Key_Shift || event->key() > Qt::Key_ScrollLock) ++presses;
      QTreeView::keyPressEvent(event);
    }
  } tree;
  tree.show();
  QApplication::setActiveWindow(&tree);
  tree.setFocus();
  for (Qt::Key key : {Qt::Key_C, Qt::Key_X, Qt::Key_V, Qt::Key_Z}) QTest::keyClick(&tree, key, Qt::ControlModifier);
  qInstallMessageHandler(before);
  EXPECT_EQ(tree.presses, 4);
  EXPECT_TRUE(messages.isEmpty()) << messages.join(QLatin1Char('\n')).toStdString();
}

TEST(MyNSApplicationTest, SplitDividerIsBlack) {
  uitest::App();
  CustemSplitView split(Qt::Horizontal);
  split.addWidget(new QWidget);
  split.addWidget(new QWidget);
  split.setHandleWidth(4);
  split.resize(100, 40);
  split.show();
  const QPoint onHandle = split.handle(1)->geometry().center();
  EXPECT_EQ(uitest::ColorAt(&split, onHandle.x(), onHandle.y()), QColor(Qt::black));
}

}  // namespace
