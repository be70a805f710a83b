// What the tests of the grid, its items, the tiles and the cover flow
// share: a scan state the test sets, rows with a tick mark, and images of
// one colour that tell their index.
#pragma once

#include <QColor>
#include <QImage>

#include <memory>

#include "UiTestSupport.h"
#include "ui/widgets/KitRow.h"
#include "ui/widgets/KitServices.h"

namespace gridtest {

// A first base of fixtures that hold widgets: the application object comes
// before any of their members.
struct WithApp {
  WithApp() { uitest::App(); }
};

// Installed for the test's lifetime; the kit sees "no scan" afterwards.
class ScanStub : public IKitScanState {
 public:
  ScanStub() { KitServices::SetScanState(this); }
  ~ScanStub() override { KitServices::SetScanState(nullptr); }
  ScanStub(const ScanStub&) = delete;
  ScanStub& operator=(const ScanStub&) = delete;
  bool IsScanRunning() const override { return running; }
  bool IsPause() const override { return paused; }
  bool running = false;
  bool paused = false;
};

class Row : public IKitRow {
 public:
  explicit Row(int state = 0) : mark(state) {}
  int state() const override { return mark; }
  int mark;
};

inline std::shared_ptr<Row> MakeRow(int state = 0) { return std::make_shared<Row>(state); }

// A distinct opaque colour per index.
inline QColor IndexColor(qint64 index) {
  return QColor(
      QColor::fromHsv(static_cast<int>((index * 37) % 360), 200, 60 + static_cast<int>(index * 13 % 190)).rgb());
}

inline QImage SolidImage(const QSize& size, const QColor& color) {
  QImage image(size, QImage::Format_RGB32);
  image.fill(color);
  return image;
}

}  // namespace gridtest
