#include "ui/widgets/MyNSApplication.h"

#include <QApplication>
#include <QKeyEvent>
#include <QPainter>

namespace {

class BlackHandle : public QSplitterHandle {
 public:
  using QSplitterHandle::QSplitterHandle;

 protected:
  void paintEvent(QPaintEvent*) override { QPainter(this).fillRect(rect(), Qt::black); }
};

}  // namespace

void MyNSApplication::Install(QApplication* app) { app->installEventFilter(new MyNSApplication(app)); }

const char* MyNSApplication::ActionFor(int key, Qt::KeyboardModifiers modifiers) {
  // The keypad flag says where the key is, not what the user meant.
  modifiers &= ~Qt::KeypadModifier;
  if (modifiers == (Qt::ControlModifier | Qt::ShiftModifier)) return key == Qt::Key_Z ? "redo" : nullptr;
  if (modifiers != Qt::ControlModifier) return nullptr;
  switch (key) {
    case Qt::Key_X:
      return "cut";
    case Qt::Key_C:
      return "copy";
    case Qt::Key_V:
      return "paste";
    case Qt::Key_Z:
      return "undo";
    case Qt::Key_A:
      return "selectAll";
    default:
      return nullptr;
  }
}

bool MyNSApplication::eventFilter(QObject* watched, QEvent* event) {
  if (event->type() != QEvent::KeyPress) return false;
  auto* target = qobject_cast<QWidget*>(watched);
  QWidget* focus = QApplication::focusWidget();
  // Every key press passes here once per object on its way; act only once,
  // when it reaches the focused widget (or its first widget, in a window
  // that is not active).
  if (target == nullptr || (focus != nullptr && target != focus)) return false;
  const auto* key = static_cast<QKeyEvent*>(event);
  const char* action = ActionFor(key->key(), key->modifiers());
  if (action == nullptr) return false;
  // Text widgets have these as slots; anything else (a tree, a table, a
  // grid) lets the key go on. Asked first: invoking a slot the target lacks
  // writes a warning for every key press.
  const QByteArray slot = QByteArray(action) + "()";
  if (target->metaObject()->indexOfMethod(slot.constData()) < 0) return false;
  return QMetaObject::invokeMethod(target, action);
}

QSplitterHandle* CustemSplitView::createHandle() { return new BlackHandle(orientation(), this); }
