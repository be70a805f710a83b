#include "GalleryGrid.h"

#include <QApplication>
#include <QDir>
#include <QLinearGradient>
#include <QPainter>
#include <QScrollBar>

#include <cstdio>
#include <memory>
#include <vector>

#include "ui/widgets/BVPrototype.h"
#include "ui/widgets/CNGridView.h"
#include "ui/widgets/KitElidedLabel.h"
#include "ui/widgets/KitImageFlowView.h"
#include "ui/widgets/KitImageView.h"
#include "ui/widgets/KitImages.h"
#include "ui/widgets/KitSegmentedControl.h"
#include "ui/widgets/KitSpinner.h"
#include "ui/widgets/KitStyle.h"
#include "ui/widgets/NewButton.h"

namespace {

bool SaveShot(QWidget* widget, const QDir& out, const QString& file) {
  widget->show();
  QApplication::processEvents();
  QApplication::processEvents();
  const QString path = out.filePath(file);
  if (!widget->grab().toImage().save(path)) {
    std::fprintf(stderr, "kit_gallery: cannot write %s\n", qPrintable(path));
    return false;
  }
  std::printf("%s\n", qPrintable(path));
  return true;
}

// A made-up photograph: a sky, hills and a sun, in colours that change
// with `seed`.
QImage Picture(int seed, QSize size) {
  QImage image(size, QImage::Format_RGB32);
  QPainter painter(&image);
  painter.setRenderHint(QPainter::Antialiasing);
  const int hue = (seed * 47) % 360;
  QLinearGradient sky(0, 0, 0, size.height());
  sky.setColorAt(0, QColor::fromHsv(hue, 120, 240));
  sky.setColorAt(1, QColor::fromHsv((hue + 30) % 360, 60, 255));
  painter.fillRect(image.rect(), sky);
  painter.setPen(Qt::NoPen);
  painter.setBrush(QColor(255, 230, 120));
  painter.drawEllipse(QPointF(size.width() * (0.2 + 0.1 * (seed % 6)), size.height() * 0.3), size.height() * 0.12,
                      size.height() * 0.12);
  painter.setBrush(QColor::fromHsv((hue + 120) % 360, 140, 150));
  QPolygonF hills;
  hills << QPointF(0, size.height());
  for (int x = 0; x <= 8; ++x) {
    hills << QPointF(size.width() * x / 8.0, size.height() * (0.6 + 0.12 * ((x + seed) % 3)));
  }
  hills << QPointF(size.width(), size.height());
  painter.drawPolygon(hills);
  return image;
}

class Row : public IKitRow {
 public:
  explicit Row(int state) : state_(state) {}
  int state() const override { return state_; }

 private:
  int state_;
};

// Forty files; every third one without its thumbnail yet.
class GridSource : public ICNGridViewDataSource {
 public:
  quint64 numberOfItemsInSection(CNGridView*, qint64) override { return 40; }
  CNGridViewItemBase* itemAtIndex(CNGridView* grid, qint64 index, qint64) override {
    auto* item =
        qobject_cast<CNGridViewItem*>(grid->dequeueReusableItemWithIdentifier(QStringLiteral("CNGridViewItem")));
    if (item == nullptr) item = new CNGridViewItem(nullptr, QStringLiteral("CNGridViewItem"));
    const QString name = QStringLiteral("holiday-photo-%1.jpg").arg(index + 1, 3, 10, QLatin1Char('0'));
    item->setItemTitle(name);
    item->titleLabel()->setText(name);
    auto row = std::make_shared<Row>(index % 4 == 1 ? 2 : 0);
    item->setNode(row);
    item->itemButton()->setImage(
        KitImages::Named(row->state() == 2 ? QStringLiteral("checkbox_yes") : QStringLiteral("checkbox_no")));
    if (index % 3 == 2) {
      item->setItemImage(KitImages::Named(QStringLiteral("loading.png")));
    } else {
      item->setItemImage(
          QPixmap::fromImage(Picture(static_cast<int>(index), index % 2 ? QSize(90, 68) : QSize(68, 90))));
    }
    return item;
  }
};

class FlowItem : public IKitImageFlowItem {
 public:
  FlowItem(QString title, QImage image) : title_(std::move(title)), image_(std::move(image)) {}
  QString imageUID() const override { return title_; }
  QString imageTitle() const override { return title_; }
  QImage imageRepresentation() const override { return image_; }

 private:
  QString title_;
  QImage image_;
};

class FlowSource : public IKitImageFlowDataSource {
 public:
  FlowSource() {
    for (int i = 0; i < 30; ++i) {
      const bool loaded = i < 9 || i > 10;
      items_.emplace_back(loaded ? QStringLiteral("IMG_%1.JPG").arg(4000 + i) : QStringLiteral("Loading..."),
                          loaded ? Picture(i, i % 2 ? QSize(320, 240) : QSize(240, 320)) : QImage());
    }
  }
  qint64 numberOfItemsInImageFlow(KitImageFlowView*) override { return static_cast<qint64>(items_.size()); }
  const IKitImageFlowItem* imageFlowItemAtIndex(KitImageFlowView*, qint64 index) override {
    return index >= 0 && index < static_cast<qint64>(items_.size()) ? &items_[index] : nullptr;
  }

 private:
  std::vector<FlowItem> items_;
};

// Files as the tiles see them: name, tick, deleted mark, thumbnail.
class TileNodes : public IBVFileNodes {
 public:
  int fileNodeState(quint64 node) const override { return node == 2 ? 2 : 0; }
  void setFileNodeWithState(quint64, int) const override {}
  QString fileNodeName(quint64 node) const override { return QStringLiteral("scanned-letter-%1.png").arg(node); }
  bool isFileNodeDeleted(quint64 node) const override { return node == 3; }
  QImage thumbnail(quint64 node) const override {
    return node == 4 ? QImage() : Picture(static_cast<int>(node), {90, 60});
  }
};

class Loaded : public IBVPrototypeDelegate {
 public:
  void reLoadCollectionViewData() override {}
  quint64 viewLoadCnt() const override { return 1; }
};

QWidget* Caption(const QString& text, const QRect& frame, QWidget* parent) {
  auto* label = new KitElidedLabel(frame, parent);
  label->setFont(KitStyle::Font(11));
  label->setTextColor(KitColors::kHeaderText);
  label->setText(text);
  return label;
}

QWidget* StandInsPanel(std::vector<std::unique_ptr<BVPrototype>>* tiles) {
  auto* panel = new QWidget;
  panel->resize(640, 420);
  panel->setAutoFillBackground(true);
  QPalette palette = panel->palette();
  palette.setColor(QPalette::Window, KitColors::kStripeA);
  panel->setPalette(palette);

  // The view switch in each of its choices, and disabled.
  Caption(QStringLiteral("segmented control: list, cover flow, grid; disabled"), QRect(20, 8, 400, 16), panel);
  const char* focus[] = {"list_focus", "preview_focus", "grid_focus"};
  const char* idle[] = {"list_no_hover", "preview_no_hover", "grid_no_hover"};
  for (int k = 0; k < 4; ++k) {
    auto* segment = new KitSegmentedControl(QRect(20 + 110 * k, 28, 96, 24), 3, panel);
    const int chosen = k % 3;
    for (int s = 0; s < 3; ++s) {
      segment->setImage(KitImages::Named(QString::fromLatin1(s == chosen ? focus[s] : idle[s])), s);
    }
    segment->setSelectedSegment(chosen);
    segment->setEnabled(k < 3);
  }

  // One picture, wider than its frame, in each scaling.
  Caption(QStringLiteral("image view: stretched, shrunk to fit, own size (top), fitted"), QRect(20, 62, 460, 16),
          panel);
  const QPixmap wide = QPixmap::fromImage(Picture(7, QSize(120, 60)));
  const KitImageView::Scaling scalings[] = {KitImageView::kScaleAxesIndependently,
                                            KitImageView::kScaleProportionallyDown, KitImageView::kScaleNone,
                                            KitImageView::kScaleProportionallyUpOrDown};
  for (int k = 0; k < 4; ++k) {
    auto* frame = new QWidget(panel);
    frame->setGeometry(20 + 110 * k, 82, 90, 70);
    frame->setAutoFillBackground(true);
    QPalette p = frame->palette();
    p.setColor(QPalette::Window, KitColors::kDarkRow);
    frame->setPalette(p);
    auto* view = new KitImageView(QRect(0, 0, 90, 70), frame);
    view->setImage(wide);
    view->setImageScaling(scalings[k]);
    view->setImageAlignment(k == 2 ? KitImageView::kAlignTop : KitImageView::kAlignCenter);
  }

  // Long names cut at the tail, in the middle, and a short one whole.
  Caption(QStringLiteral("eliding labels"), QRect(20, 162, 200, 16), panel);
  const Qt::TextElideMode modes[] = {Qt::ElideRight, Qt::ElideMiddle, Qt::ElideRight};
  const char* texts[] = {"a-very-long-file-name-from-the-camera-roll.jpeg",
                         "a-very-long-file-name-from-the-camera-roll.jpeg", "short.txt"};
  for (int k = 0; k < 3; ++k) {
    auto* label = new KitElidedLabel(QRect(20 + 150 * k, 182, 130, 18), panel);
    label->setFont(KitStyle::Font(11));
    label->setBackgroundColor(KitColors::kControl);
    label->setElideMode(modes[k]);
    label->setText(QString::fromLatin1(texts[k]));
  }

  // The busy wheel at three steps.
  Caption(QStringLiteral("spinner"), QRect(480, 162, 100, 16), panel);
  for (int k = 0; k < 3; ++k) {
    auto* spinner = new KitSpinner(QRect(480 + 26 * k, 182, 16, 16), panel);
    for (int f = 0; f < 3 * k; ++f) spinner->advance();
  }

  // Tree rows: a long title cut where the column ends.
  Caption(QStringLiteral("tree rows (title cut at the column's end)"), QRect(20, 210, 300, 16), panel);
  auto* rows = new KitImageView(QRect(20, 230, 260, 90), panel);
  QPixmap rowImage(260, 90);
  rowImage.fill(KitColors::kDarkRow);
  {
    QPainter painter(&rowImage);
    painter.setFont(KitStyle::Font(12));
    const char* ticks[] = {"checkbox_no", "checkbox_yes", "checkbox_election"};
    const char* names[] = {"Pictures(1204)", "Documents and letters of the last three years(87)", "2019(3)"};
    for (int k = 0; k < 3; ++k) {
      NewButton cell;
      cell.setImage(KitImages::Named(QString::fromLatin1(ticks[k])));
      const QString icon = QStringLiteral("%1IconImage").arg(k == 2 ? 8 : 2 + 4 * k);
      cell.setIconImage(KitImages::Named(icon));
      cell.setLabel(QString::fromLatin1(names[k]));
      cell.drawWithFrame(&painter, QRect(0, 30 * k, 260, 30));
    }
  }
  rows->setImage(rowImage);

  // File tiles: plain, ticked, deleted, without thumbnail, under the pointer.
  Caption(QStringLiteral("file tiles: plain, ticked, deleted, no thumbnail, hovered"), QRect(20, 300 + 28, 420, 16),
          panel);
  static Loaded loaded;
  for (quint64 k = 1; k <= 5; ++k) {
    auto prototype = std::make_unique<BVPrototype>();
    prototype->setDelegate(&loaded);
    prototype->loadView();
    prototype->view()->setParent(panel);
    prototype->view()->move(static_cast<int>(20 + 122 * (k - 1)), 348);
    prototype->setRepresentedObject(k);
    if (k == 5) prototype->view()->bgImageView()->setImage(KitImages::Named(QStringLiteral("view_bg_press")));
    tiles->push_back(std::move(prototype));
  }
  panel->resize(640, 460);
  return panel;
}

}  // namespace

bool SaveGridGalleryPages(const QDir& out) {
  bool ok = true;

  GridSource gridSource;
  CNGridView grid;
  grid.resize(620, 470);
  grid.setDataSource(&gridSource);
  grid.reloadData();
  QApplication::processEvents();
  grid.show();
  QApplication::processEvents();
  if (CNGridViewItemBase* item = grid.placedItem(5)) grid.selectItem(item);
  if (CNGridViewItemBase* item = grid.placedItem(6)) item->setHovered(true);
  ok = SaveShot(&grid, out, QStringLiteral("grid.png")) && ok;

  FlowSource flowSource;
  KitImageFlowView flow;
  flow.resize(760, 340);
  flow.setDataSource(&flowSource);
  flow.setSelectedIndex(8);
  ok = SaveShot(&flow, out, QStringLiteral("coverflow.png")) && ok;
  flow.setSelectedIndex(10);
  ok = SaveShot(&flow, out, QStringLiteral("coverflow-placeholder.png")) && ok;

  const TileNodes nodes;
  BVServices::SetFileNodes(&nodes);
  std::vector<std::unique_ptr<BVPrototype>> tiles;
  QWidget* panel = StandInsPanel(&tiles);
  ok = SaveShot(panel, out, QStringLiteral("standins.png")) && ok;
  tiles.clear();
  delete panel;
  BVServices::SetFileNodes(nullptr);
  return ok;
}
