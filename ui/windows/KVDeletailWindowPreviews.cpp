// The results window's picture views: the cover flow (a row of pictures over
// a second file list) and the grid of thumbnails, the switch between them
// and the list, and their loaders.
//
// Thumbnails are read from the scanned medium, which takes time, so both
// views show placeholders first and two loaders fill them in the background,
// each a KVThumbnailQueue: the cover flow's loads the pictures around the
// selection, the grid's the tiles it is asked for, one at a time. A load
// holds what it needs (the file's node, the picture or the tile's guard and
// row): the file list may change under it. Every change of the list stops
// the loaders first; a stop drops the loads not begun and waits for the
// running one, whose posts to the main thread find the window gone or the
// tile showing another file, and then do nothing.
#include <QIcon>

#include "app/KVNode.h"
#include "app/KVUIPreview.h"
#include "ui/widgets/CNGridViewItem.h"
#include "ui/widgets/KitElidedLabel.h"
#include "ui/widgets/KitImageFlowView.h"
#include "ui/widgets/KitImageView.h"
#include "ui/widgets/KitImages.h"
#include "ui/widgets/KitSegmentedControl.h"
#include "ui/windows/KVDeletailWindowController.h"
#include "ui/windows/Photo.h"

namespace {

const QString kGridItemIdentifier = QStringLiteral("CNGridViewItem");
const QString kPlaceholderName = QStringLiteral("Loading...");
constexpr int kIconSide = 128;

// A file of the list as a grid tile sees it: its tick mark, and an identity
// that tells a late thumbnail for it from one for the tile's next file.
class GridRow final : public IKitRow {
 public:
  explicit GridRow(IFileNode* node) : node_(node) {}
  int state() const override { return OpNodeData::fileNodeState(node_); }

 private:
  IFileNode* node_;
};

QPixmap TickImage(int state) {
  return KitImages::Named(state == 2 ? QStringLiteral("checkbox_yes") : QStringLiteral("checkbox_no"));
}

// Main thread: the desktop's icon for a file without a thumbnail, or null
// when the theme has none.
QIcon IconOf(const KVPreview& preview) {
  QIcon icon = QIcon::fromTheme(preview.iconName);
  if (icon.isNull() && !preview.genericIconName.isEmpty()) icon = QIcon::fromTheme(preview.genericIconName);
  return icon;
}

}  // namespace

void KVDeletailWindowController::connectPreviews() {
  flowView->setDataSource(this);
  flowView->setDelegate(this);
  gridMainView->setDataSource(this);
  gridMainView->setDelegate(this);
  QObject::connect(segment, &KitSegmentedControl::segmentClicked, this, [this] { segmentSelect(segment); });
}

// ---- The view switch ----

void KVDeletailWindowController::segmentSelect(KitSegmentedControl* sender) {
  stopImageLoading();
  stopGridImageLoading();
  if (sender == nullptr || sender->selectedSegment() == selectSegmentCount) return;
  selectSegmentCount = sender->selectedSegment();
  // The chosen segment is lit, the others not.
  const char* const images[3][3] = {{"list_focus", "preview_no_hover", "grid_no_hover"},
                                    {"list_no_hover", "preview_focus", "grid_no_hover"},
                                    {"list_no_hover", "preview_no_hover", "grid_focus"}};
  if (selectSegmentCount >= kListMode && selectSegmentCount <= kGridMode) {
    for (int k = 0; k < 3; ++k) {
      sender->setImage(KitImages::Named(QString::fromLatin1(images[selectSegmentCount][k])), k);
    }
  }
  if (selectSegmentCount == kGridMode) viewLoadCnt = 0;
  coverFlower->setVisible(selectSegmentCount == kCoverFlowMode);
  gridView->setVisible(selectSegmentCount == kGridMode);
  reloadOutlines();
  showNoValueNote();
  if (!KVUIController::IsScanRunning()) segment->setEnabled(true);
  if (selectSegmentCount == kCoverFlowMode) photos.clear();
  showFilesInMode();
}

void KVDeletailWindowController::showFilesInMode() {
  switch (selectSegmentCount) {
    case kListMode:
      tableView->reloadData();
      break;
    case kGridMode:
      showGridView();
      break;
    case kCoverFlowMode:
      coverFlowerTableView->reloadData();
      showCoverFlowerViewWithRefresh(1);
      selectedCoverFlow(0);
      break;
    default:
      break;
  }
  changeSelectAllButtonState();
  showSelectFilesCountAndSize();
}

// ---- Cover flow ----

void KVDeletailWindowController::stopImageLoading() { coverFlowQueue.Stop(); }

void KVDeletailWindowController::showCoverFlowerViewWithRefresh(int refresh) {
  if (!publicItem) publicItem = std::make_shared<Photo>(QImage(), kPlaceholderName);
  const qint64 reference = refresh != 0 ? 0 : flowView->selectedIndex();
  if (flowSelectedIndex == reference && !photos.empty()) return;
  if (flowSelectedIndex == -1) flowSelectedIndex = 0;
  // One picture per row, waiting for its thumbnail. Pictures already in
  // place for every row stay (a tick changes no picture).
  if (photos.size() != arrList.size()) {
    photos.clear();
    photos.reserve(arrList.size());
    for (size_t k = 0; k < arrList.size(); ++k)
      photos.push_back(std::make_shared<Photo>(QImage(), publicItem->imageID()));
  }
  flowView->setSelectedIndex(flowSelectedIndex);
  flowView->reloadData();
}

void KVDeletailWindowController::selectedCoverFlow(qint64 index) {
  flowView->setSelectedIndex(index);
  flowSelectedIndex = index;
  coverFlowLoadImageThread(index);
}

void KVDeletailWindowController::coverFlowLoadImageThread(qint64 index) {
  stopImageLoading();
  if (!publicItem || index < 0) return;
  const auto [first, end] =
      KVThumbnailQueue::CoverFlowWindow(static_cast<size_t>(index), std::min(photos.size(), arrList.size()));
  const QString placeholder = publicItem->imageID();
  for (size_t k = first; k < end; ++k) {
    std::shared_ptr<Photo> photo = photos[k];
    IFileNode* node = arrList[k];
    // A picture named once is not loaded again, also when it got no thumbnail.
    if (node == nullptr || photo->imageID() != placeholder) continue;
    const QString name = OpNodeData::fileNodeName(node);
    const auto cell = static_cast<qint64>(k);
    coverFlowQueue.Add([this, photo, node, name, placeholder, cell] {
      if (coverFlowQueue.StopAsked() || photo->imageID() != placeholder) return;
      photo->setName(name);
      const KVPreview preview = KVUIController::GetNSImageByFildNode(node);
      if (!preview.image.isNull()) photo->setImageRepresentation(preview.image);
      // The title changed in any case; icons are made on the main thread.
      QMetaObject::invokeMethod(
          this,
          [this, photo, preview, cell] {
            if (aWindow == nullptr) return;
            if (preview.image.isNull()) {
              const QIcon icon = IconOf(preview);
              if (!icon.isNull()) photo->setImageRepresentation(icon.pixmap(kIconSide, kIconSide).toImage());
            }
            flowView->reloadCellDataAtIndex(cell);
          },
          Qt::QueuedConnection);
    });
  }
}

qint64 KVDeletailWindowController::numberOfItemsInImageFlow(KitImageFlowView*) {
  return static_cast<qint64>(arrList.size());
}

const IKitImageFlowItem* KVDeletailWindowController::imageFlowItemAtIndex(KitImageFlowView*, qint64 index) {
  return index >= 0 && static_cast<size_t>(index) < photos.size() ? photos[static_cast<size_t>(index)].get() : nullptr;
}

void KVDeletailWindowController::imageFlowDidSelectItemAtIndex(KitImageFlowView*, qint64 index) {
  selectedCoverFlow(index);
  if (index < 0 || static_cast<size_t>(index) >= photos.size() || static_cast<size_t>(index) >= arrList.size()) return;
  const int row = static_cast<int>(index);
  for (CustomTableView* table : {tableView, coverFlowerTableView}) {
    if (table->model() != nullptr) table->scrollTo(table->model()->index(row, 0));
  }
  coverFlowerTableView->selectRow(row);
  coverFlowerTableView->setRowNum(row);
  selectCellCount = index;
}

// ---- Grid ----

void KVDeletailWindowController::stopGridImageLoading() { operationQueue.Stop(); }

void KVDeletailWindowController::showGridView() {
  // The grid keeps the control colour whatever colour it is given, and its
  // content never bounces, whatever it is told.
  gridMainView->setBackgroundColor(QColor());
  gridMainView->setScrollElasticity(true);
  gridMainView->reloadDataAnimated(true);
  gridMainView->scrollToPoint(QPointF(0, gridMainView->geometry().y()));
}

quint64 KVDeletailWindowController::numberOfItemsInSection(CNGridView*, qint64) { return arrList.size(); }

CNGridViewItemBase* KVDeletailWindowController::itemAtIndex(CNGridView* grid, qint64 index, qint64) {
  if (index < 0 || static_cast<size_t>(index) >= arrList.size() || arrList[static_cast<size_t>(index)] == nullptr)
    return nullptr;
  IFileNode* node = arrList[static_cast<size_t>(index)];
  auto* item = qobject_cast<CNGridViewItem*>(grid->dequeueReusableItemWithIdentifier(kGridItemIdentifier));
  if (item == nullptr) item = new CNGridViewItem(nullptr, kGridItemIdentifier);
  const QString name = OpNodeData::fileNodeName(node);
  item->setItemTitle(name);
  item->titleLabel()->setText(name);
  item->setItemImage(KitImages::Named(QStringLiteral("loading.png")));
  const KitRowRef row = std::make_shared<GridRow>(node);
  item->setNode(row);
  item->setDelegate(this);
  item->itemButton()->setImage(TickImage(row->state()));

  operationQueue.Add([this, tile = QPointer<CNGridViewItem>(item), row, node] {
    // Only the tile holds the row besides this load while it shows the
    // file: a tile recycled before its load began needs no thumbnail.
    if (operationQueue.StopAsked() || row.use_count() < 2) return;
    const KVPreview preview = KVUIController::GetNSImageByFildNode(node);
    if (!preview.image.isNull()) {
      CNGridViewItem::updateImageViewWithImage(tile, preview.image, row);
    } else if (!preview.iconName.isEmpty()) {
      QMetaObject::invokeMethod(
          this,
          [tile, row, preview] {
            if (!tile || tile->node() != row) return;
            const QIcon icon = IconOf(preview);
            if (!icon.isNull()) tile->setItemImage(icon.pixmap(CNGridViewItem::kThumbnailMax));
          },
          Qt::QueuedConnection);
    }
  });
  return item;
}
