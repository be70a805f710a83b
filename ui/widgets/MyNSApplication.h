// Application-wide edit shortcuts: Ctrl with X, C, V, Z and A, and
// Ctrl+Shift+Z, reach the focused text widget's cut, copy, paste, undo,
// select-all and redo before anything else sees the key, so they work in
// every field whatever menus or shortcuts a window sets up. A key the focused
// widget cannot act on goes on as usual.
#pragma once

#include <QObject>
#include <QSplitter>

class QApplication;

class MyNSApplication : public QObject {
 public:
  // Filters `app`'s key presses for as long as `app` lives.
  static void Install(QApplication* app);

  // The edit action a key press asks for ("copy", "redo"...), or null.
  static const char* ActionFor(int key, Qt::KeyboardModifiers modifiers);

 protected:
  bool eventFilter(QObject* watched, QEvent* event) override;

 private:
  using QObject::QObject;
};

// A split view whose divider is a plain black bar.
class CustemSplitView : public QSplitter {
 public:
  using QSplitter::QSplitter;

 protected:
  QSplitterHandle* createHandle() override;
};
