#include "ui/widgets/TCWindowButton.h"

namespace {
const char* Stem(TCWindowButton::Kind kind) {
  switch (kind) {
    case TCWindowButton::Kind::Close:
      return "window_close";
    case TCWindowButton::Kind::Minimise:
      return "window_minimise";
    case TCWindowButton::Kind::Zoom:
      break;
  }
  return "window_zoom";
}
}  // namespace

TCWindowButton::TCWindowButton(Kind kind, QWidget* parent) : TCImageButton(parent), kind_(kind) {
  setImageStem(QString::fromLatin1(Stem(kind)));
  setFixedSize(kSize, kSize);
  connect(this, &QAbstractButton::clicked, this, [this] {
    QWidget* w = window();
    switch (kind_) {
      case Kind::Close:
        w->close();
        break;
      case Kind::Minimise:
        w->showMinimized();
        break;
      case Kind::Zoom:
        w->isMaximized() ? w->showNormal() : w->showMaximized();
        break;
    }
  });
}
