#include "ui/widgets/KitOutlineView.h"

#include <QKeyEvent>
#include <QMouseEvent>
#include <QPainter>
#include <QScrollBar>
#include <QSignalBlocker>

#include <algorithm>

#include "ui/widgets/KitStyle.h"

namespace {
// The outline's header height unless a window sets another.
constexpr int kHeaderHeight = 17;
constexpr int kIndentation = 16;
}  // namespace

KitOutlineView::KitOutlineView(QWidget* parent) : KitOutlineViewBase(parent, kHeaderHeight) {
  setHeader(headerView_);
  // The view turns clicks off with sorting, which the kit never does itself.
  headerView_->setSectionsClickable(true);
  model_ = new KitOutlineModel(this);
  setModel(model_);
  setItemDelegate(new KitCellDelegate(this, this));
  KitItemViews::Prepare(this);
  setUniformRowHeights(true);
  setExpandsOnDoubleClick(false);
  setAnimated(false);
  setIndentation(kIndentation);
  connect(this, &QTreeView::expanded, this, [this](const QModelIndex& index) {
    if (!restoring_ && delegate_ != nullptr) delegate_->outlineViewItemDidExpand(this, itemForIndex(index));
  });
  connect(this, &QTreeView::collapsed, this, [this](const QModelIndex& index) {
    if (!restoring_ && delegate_ != nullptr) delegate_->outlineViewItemDidCollapse(this, itemForIndex(index));
  });
  connect(selectionModel(), &QItemSelectionModel::selectionChanged, this, [this] {
    if (!restoring_ && delegate_ != nullptr) delegate_->outlineViewSelectionDidChange(this);
  });
  connect(headerView_, &QHeaderView::sectionPressed, this, [this](int section) {
    if (delegate_ != nullptr) delegate_->mouseDownInHeaderOfTableColumn(this, columns_.at(section));
  });
}

KitTableColumn* KitOutlineView::addTableColumn(const QString& identifier, const QString& title, int width) {
  model_->beginAppendColumn();
  KitTableColumn* column = columns_.append(std::make_unique<KitTableColumn>(identifier, title));
  model_->endAppendColumn();
  setColumnWidth(columns_.count() - 1, width);
  return column;
}

void KitOutlineView::setRowHeight(int height) {
  rowHeight_ = std::max(1, height);
  scheduleDelayedItemsLayout();
  viewport()->update();
}

// ---- reloading -------------------------------------------------------------

std::vector<KitOutlineView::Kept> KitOutlineView::keptExpanded(Node* node) const {
  std::vector<Kept> kept;
  for (const auto& child : node->children) {
    if (child == nullptr || child->empty || !isExpanded(model_->indexOf(child.get()))) continue;
    kept.push_back({child->item, child->row, keptExpanded(child.get())});
  }
  return kept;
}

void KitOutlineView::restoreExpanded(Node* node, const std::vector<Kept>& kept) {
  for (const Kept& entry : kept) {
    const int row = findChildRow(node, entry.item, entry.row);
    if (row < 0) continue;
    Node* child = model_->adopt(node, row, entry.item);
    if (child == nullptr || !model_->expandable(child)) continue;
    setExpanded(model_->indexOf(child), true);
    restoreExpanded(child, entry.children);
  }
}

KitOutlineView::Chain KitOutlineView::chainOf(const Node* node) const {
  Chain chain;
  for (; node != nullptr && node->parent != nullptr; node = node->parent) chain.emplace_back(node->item, node->row);
  std::reverse(chain.begin(), chain.end());
  return chain;
}

KitOutlineModel::Node* KitOutlineView::findChain(const Chain& chain) const {
  Node* node = model_->root();
  for (const auto& [item, hint] : chain) {
    const int row = findChildRow(node, item, hint);
    if (row < 0) return nullptr;
    node = model_->adopt(node, row, item);
  }
  return chain.empty() ? nullptr : node;
}

int KitOutlineView::findChildRow(Node* parent, void* item, int hint) const {
  const int count = model_->childCount(parent);
  if (item == nullptr || count == 0) return -1;
  // Rows not shown yet are asked of the data source without being kept.
  auto itemAt = [&](int row) -> void* {
    const Node* known = parent->children[static_cast<size_t>(row)].get();
    if (known != nullptr) return known->item;
    return dataSource_ != nullptr ? dataSource_->childOfItem(const_cast<KitOutlineView*>(this), row, parent->item)
                                  : nullptr;
  };
  hint = std::clamp(hint, 0, count - 1);
  if (itemAt(hint) == item) return hint;
  for (int distance = 1; hint + distance < count || hint - distance >= 0; ++distance) {
    if (hint + distance < count && itemAt(hint + distance) == item) return hint + distance;
    if (hint - distance >= 0 && itemAt(hint - distance) == item) return hint - distance;
  }
  return -1;
}

void KitOutlineView::reloadData() {
  const std::vector<Kept> kept = keptExpanded(model_->root());
  const Chain selected = chainOf(model_->nodeOf(selectedIndexOrNone()));
  const int vertical = verticalScrollBar()->value();
  const int horizontal = horizontalScrollBar()->value();

  restoring_ = true;
  model_->reset();
  restoreExpanded(model_->root(), kept);
  bool keptSelection = false;
  if (Node* node = findChain(selected); node != nullptr) {
    const QSignalBlocker quiet(selectionModel());
    selectionModel()->setCurrentIndex(model_->indexOf(node),
                                      QItemSelectionModel::ClearAndSelect | QItemSelectionModel::Rows);
    keptSelection = true;
  }
  executeDelayedItemsLayout();
  verticalScrollBar()->setValue(vertical);
  horizontalScrollBar()->setValue(horizontal);
  restoring_ = false;
  viewport()->update();
  if (!selected.empty() && !keptSelection && delegate_ != nullptr) delegate_->outlineViewSelectionDidChange(this);
}

void KitOutlineView::reloadItem(void* item) {
  if (Node* node = model_->find(item); node != nullptr) model_->refresh(node);
}

// ---- items and rows ----------------------------------------------------------

void* KitOutlineView::itemForIndex(const QModelIndex& index) const {
  const Node* node = index.isValid() ? model_->nodeOf(index) : nullptr;
  return node != nullptr ? node->item : nullptr;
}

QModelIndex KitOutlineView::indexForItem(void* item) const {
  if (item == nullptr) return {};
  if (const Node* node = model_->find(item); node != nullptr) return model_->indexOf(node);
  // Not shown yet: look among the children of the root and of the expanded
  // items, the rows the view shows or will show once scrolled to.
  std::vector<Node*> levels{model_->root()};
  while (!levels.empty()) {
    Node* level = levels.back();
    levels.pop_back();
    const int row = findChildRow(level, item, 0);
    if (row >= 0) return model_->indexOf(model_->adopt(level, row, item));
    for (const auto& child : level->children) {
      if (child != nullptr && !child->empty && isExpanded(model_->indexOf(child.get()))) levels.push_back(child.get());
    }
  }
  return {};
}

void KitOutlineView::expandItem(void* item) {
  const QModelIndex index = indexForItem(item);
  Node* node = model_->nodeOf(index);
  if (index.isValid() && node != nullptr && model_->expandable(node)) expand(index);
}

void KitOutlineView::collapseItem(void* item) {
  const QModelIndex index = indexForItem(item);
  if (index.isValid()) collapse(index);
}

bool KitOutlineView::isItemExpanded(void* item) const {
  const Node* node = model_->find(item);
  return node != nullptr && isExpanded(model_->indexOf(node));
}

void* KitOutlineView::parentForItem(void* item) const {
  const Node* node = model_->find(item);
  return node != nullptr && node->parent != nullptr ? node->parent->item : nullptr;
}

int KitOutlineView::numberOfRows() const {
  std::vector<Node*> levels{model_->root()};
  int rows = 0;
  while (!levels.empty()) {
    Node* level = levels.back();
    levels.pop_back();
    rows += model_->childCount(level);
    for (const auto& child : level->children) {
      if (child != nullptr && !child->empty && isExpanded(model_->indexOf(child.get()))) levels.push_back(child.get());
    }
  }
  return rows;
}

int KitOutlineView::rowOfIndex(const QModelIndex& index) const {
  const QRect rect = visualRect(index);
  if (!index.isValid() || rect.isNull()) return -1;
  return (rect.top() + verticalOffset()) / rowHeight_;
}

QModelIndex KitOutlineView::indexAtRow(int row) const {
  if (row < 0 || columns_.count() == 0) return {};
  const int x = std::max(0, headerView_->sectionViewportPosition(0));
  const QModelIndex index = indexAt(QPoint(x, row * rowHeight_ - verticalOffset() + rowHeight_ / 2));
  return index.isValid() ? index.siblingAtColumn(0) : QModelIndex();
}

int KitOutlineView::rowForItem(void* item) const { return rowOfIndex(indexForItem(item)); }

void* KitOutlineView::itemAtRow(int row) const { return itemForIndex(indexAtRow(row)); }

void KitOutlineView::selectRow(int row) {
  const QModelIndex index = indexAtRow(row);
  if (!index.isValid()) {
    clearSelection();
    return;
  }
  selectionModel()->setCurrentIndex(index, QItemSelectionModel::ClearAndSelect | QItemSelectionModel::Rows);
}

void KitOutlineView::selectItem(void* item) {
  const QModelIndex index = indexForItem(item);
  if (!index.isValid()) {
    clearSelection();
    return;
  }
  selectionModel()->setCurrentIndex(index, QItemSelectionModel::ClearAndSelect | QItemSelectionModel::Rows);
}

int KitOutlineView::selectedRow() const { return rowOfIndex(selectedIndexOrNone()); }

void* KitOutlineView::selectedItem() const { return itemForIndex(selectedIndexOrNone()); }

void KitOutlineView::setSelectCellBackgroundColorWithRow(int row) {
  if (row == isSelectRow_) return;
  isSelectRow_ = row;
  viewport()->update();
}

KitCell* KitOutlineView::preparedCell(int column, const QModelIndex& index) {
  KitTableColumn* tableColumn = columns_.at(column);
  const Node* node = model_->nodeOf(index);
  if (tableColumn == nullptr || tableColumn->dataCell() == nullptr || node == nullptr || node->empty ||
      dataSource_ == nullptr) {
    return nullptr;
  }
  KitCell* cell = tableColumn->dataCell();
  cell->setObjectValue(dataSource_->objectValueForTableColumn(this, tableColumn, node->item));
  if (delegate_ != nullptr) delegate_->willDisplayCell(this, cell, tableColumn, node->item);
  return cell;
}

// ---- painting and events -------------------------------------------------------

void KitOutlineView::drawBackgroundInRect(QPainter*, const QRect&) {}

void KitOutlineView::drawRowBackground(QPainter* painter, int row, const QRect& rect) {
  if (row == isSelectRow_) painter->fillRect(rect, KitColors::kSelectedRow);
}

void KitOutlineView::paintEvent(QPaintEvent* event) {
  {
    QPainter painter(viewport());
    const QRect area = event->rect();
    drawBackgroundInRect(&painter, area);
    // Only rows the view shows get a fill; a named row beyond them paints
    // nothing.
    const int first = std::max(0, (area.top() + verticalOffset()) / rowHeight_);
    const int last = (area.bottom() + verticalOffset()) / rowHeight_;
    for (int row = first; row <= last; ++row) {
      const QRect rect = rectOfRow(row);
      if (!indexAtRow(row).isValid()) break;
      drawRowBackground(&painter, row, rect);
    }
  }
  QTreeView::paintEvent(event);
}

void KitOutlineView::mousePressEvent(QMouseEvent* event) {
  gate_.pressStarting();
  const QModelIndex index = indexAt(event->position().toPoint());
  clickedRow_ = rowOfIndex(index);
  // A press below the rows clears the selection.
  if (event->button() == Qt::LeftButton && !index.isValid()) clearSelection();
  QTreeView::mousePressEvent(event);
}

void KitOutlineView::mouseDoubleClickEvent(QMouseEvent* event) {
  clickedRow_ = rowOfIndex(indexAt(event->position().toPoint()));
  QTreeView::mouseDoubleClickEvent(event);
  if (event->button() == Qt::LeftButton) emit doubleAction();
}

QItemSelectionModel::SelectionFlags KitOutlineView::selectionCommand(const QModelIndex& index,
                                                                     const QEvent* event) const {
  const QItemSelectionModel::SelectionFlags flags = QTreeView::selectionCommand(index, event);
  if (delegate_ == nullptr) return flags;
  return gate_.filter(selectionModel(), index, event, flags, [&](bool* reloaded) {
    const Node* node = model_->nodeOf(index);
    if (node == nullptr || node->empty) return false;
    // The delegate acts on the view as it decides (it names the row to
    // paint, and may reload the view), as it would outside of the view's
    // handling of an event.
    auto* self = const_cast<KitOutlineView*>(this);
    const Chain chain = chainOf(node);
    const quint64 generation = model_->generation();
    if (!delegate_->shouldSelectItem(self, node->item)) return false;
    if (model_->generation() != generation) {
      *reloaded = true;
      if (const Node* now = findChain(chain); now != nullptr) {
        self->selectionModel()->setCurrentIndex(model_->indexOf(now),
                                                QItemSelectionModel::ClearAndSelect | QItemSelectionModel::Rows);
      }
    }
    return true;
  });
}

void KitOutlineView::drawBranches(QPainter* painter, const QRect& rect, const QModelIndex& index) const {
  Node* node = model_->nodeOf(index);
  if (node == nullptr || rect.width() < indentation() || !model_->expandable(node)) return;
  // A small triangle in the last indentation step: pointing right while
  // closed, down while open.
  const QRectF box(rect.right() + 1 - indentation(), rect.top(), indentation(), rect.height());
  const QPointF centre = box.center();
  constexpr qreal kHalf = 4;
  QPolygonF triangle;
  if (isExpanded(index)) {
    triangle << centre + QPointF(-kHalf, -kHalf / 2) << centre + QPointF(kHalf, -kHalf / 2)
             << centre + QPointF(0, kHalf);
  } else {
    triangle << centre + QPointF(-kHalf / 2, -kHalf) << centre + QPointF(kHalf, 0)
             << centre + QPointF(-kHalf / 2, kHalf);
  }
  painter->save();
  painter->setRenderHint(QPainter::Antialiasing);
  painter->setPen(Qt::NoPen);
  painter->setBrush(KitColors::kHeaderText);
  painter->drawPolygon(triangle);
  painter->restore();
}

// Qt expands every descendant on "*": on a scan's trees that could be
// millions of rows, so the key does nothing here.
void KitOutlineView::keyPressEvent(QKeyEvent* event) {
  if (event->key() == Qt::Key_Asterisk) {
    event->accept();
    return;
  }
  QTreeView::keyPressEvent(event);
  KitItemViews::KeepCursorOnSelection(this);
}

// Typing does not select rows by their text: the windows decide which keys
// select, and a million rows are not searched.
void KitOutlineView::keyboardSearch(const QString&) {}
