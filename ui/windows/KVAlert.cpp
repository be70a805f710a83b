#include "ui/windows/KVAlert.h"

#include <QApplication>
#include <QPointer>

#include "ui/widgets/KitSheet.h"
#include "ui/windows/KVSmallWindow.h"

namespace KVAlert {

namespace {

using SheetMaker = std::function<KitSheet*(TCImageWindow* host, std::function<void(int)> completion)>;

KitSheet* BeginOn(QWidget* window, const SheetMaker& make, std::function<void(int)> completion, bool withNoButton) {
  if (auto* host = dynamic_cast<TCImageWindow*>(window); host != nullptr && host->isVisible()) {
    return make(host, std::move(completion));
  }
  // A window of its own, the size of the alert's panel below the bar.
  auto* own = new KVSmallWindow(QSize(420, 140), 8);
  own->setAttribute(Qt::WA_DeleteOnClose);
  own->setWindowModality(Qt::ApplicationModal);
  QPointer<KVSmallWindow> guard = own;
  KitSheet* sheet = make(own, [guard, completion = std::move(completion)](int code) {
    if (guard) guard->close();
    if (completion) completion(code);
  });
  const QSize panel = sheet->panel()->size();
  own->setFixedSize(panel.width(), panel.height() + KVSmallWindow::kTitleBarHeight);
  const int closeCode = withNoButton ? 0 : 1;
  QPointer<KitSheet> open = sheet;
  own->setCloseButtonAction([open, closeCode] {
    if (open) open->end(closeCode);
  });
  own->setClosedHandler([open, closeCode] {
    if (open) open->end(closeCode);  // the window manager's close or Escape
  });
  own->center();
  own->fadeIn();
  return sheet;
}

}  // namespace

KitSheet* Begin(QWidget* window, const QString& stem, std::function<void(int)> completion, bool withNoButton) {
  const SheetMaker make = [stem, withNoButton](TCImageWindow* host, std::function<void(int)> done) {
    return KitAlert::BeginSheet(host, stem, std::move(done), withNoButton);
  };
  return BeginOn(window, make, std::move(completion), withNoButton);
}

KitSheet* BeginWithTexts(QWidget* window, const QString& title, const QString& note, const QString& yes,
                         const QString& no, std::function<void(int)> completion, const QString& other) {
  const SheetMaker make = [=](TCImageWindow* host, std::function<void(int)> done) {
    return KitAlert::BeginSheetWithTexts(host, title, note, yes, no, std::move(done), other);
  };
  return BeginOn(window, make, std::move(completion), !no.isEmpty());
}

QWidget* ActiveWindow() {
  QWidget* active = QApplication::activeWindow();
  return dynamic_cast<TCImageWindow*>(active) != nullptr ? active : nullptr;
}

}  // namespace KVAlert
