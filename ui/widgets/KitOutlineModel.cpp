#include "ui/widgets/KitOutlineModel.h"

#include <QTimer>

#include <algorithm>

#include "ui/widgets/KitOutlineView.h"

KitOutlineModel::KitOutlineModel(KitOutlineView* view) : QAbstractItemModel(view), view_(view) {
  root_ = std::make_unique<Node>();
  root_->generation = generation_;
}

KitOutlineModel::~KitOutlineModel() = default;

KitOutlineModel::Node* KitOutlineModel::nodeOf(const QModelIndex& index) const {
  if (!index.isValid()) return root_.get();
  auto* parent = static_cast<Node*>(index.internalPointer());
  if (!isCurrent(parent) || index.row() >= childCount(parent)) return nullptr;
  return child(parent, index.row());
}

QModelIndex KitOutlineModel::indexOf(const Node* node, int column) const {
  if (node == nullptr || node == root_.get() || !isCurrent(node)) return {};
  return createIndex(node->row, column, node->parent);
}

int KitOutlineModel::childCount(Node* node) const {
  if (node->count < 0) {
    // A data source that asks the view about rows while it counts sees none
    // here yet, rather than counting again.
    node->count = 0;
    int count = 0;
    IOutlineViewDataSource* source = view_->dataSource();
    if (source != nullptr && !node->empty) count = std::max(0, source->numberOfChildrenOfItem(view_, node->item));
    node->count = count;
    node->children.resize(static_cast<size_t>(count));
  }
  return node->count;
}

KitOutlineModel::Node* KitOutlineModel::makeChild(Node* node, int row, void* item) const {
  auto made = std::make_unique<Node>();
  made->item = item;
  made->parent = node;
  made->row = row;
  made->generation = generation_;
  made->empty = item == nullptr;
  if (item != nullptr && !byItem_.contains(item)) byItem_.insert(item, made.get());
  node->children[static_cast<size_t>(row)] = std::move(made);
  return node->children[static_cast<size_t>(row)].get();
}

KitOutlineModel::Node* KitOutlineModel::child(Node* node, int row) const {
  if (row < 0 || row >= childCount(node)) return nullptr;
  Node* existing = node->children[static_cast<size_t>(row)].get();
  if (existing != nullptr) return existing;
  IOutlineViewDataSource* source = view_->dataSource();
  void* item = source != nullptr ? source->childOfItem(view_, row, node->item) : nullptr;
  return makeChild(node, row, item);
}

KitOutlineModel::Node* KitOutlineModel::adopt(Node* node, int row, void* item) const {
  if (row < 0 || row >= childCount(node)) return nullptr;
  Node* existing = node->children[static_cast<size_t>(row)].get();
  return existing != nullptr ? existing : makeChild(node, row, item);
}

bool KitOutlineModel::expandable(Node* node) const {
  if (node->expandable < 0) {
    IOutlineViewDataSource* source = view_->dataSource();
    node->expandable = !node->empty && source != nullptr && source->isItemExpandable(view_, node->item) ? 1 : 0;
  }
  return node->expandable != 0;
}

QModelIndex KitOutlineModel::index(int row, int column, const QModelIndex& parent) const {
  if (row < 0 || column < 0 || column >= columnCount() || parent.column() > 0) return {};
  Node* node = nodeOf(parent);
  if (node == nullptr || row >= childCount(node)) return {};
  // The index names its parent's Node: making it asks nothing of the data
  // source, however many rows the view lays out.
  return createIndex(row, column, node);
}

QModelIndex KitOutlineModel::parent(const QModelIndex& child) const {
  if (!child.isValid()) return {};
  auto* parent = static_cast<Node*>(child.internalPointer());
  if (!isCurrent(parent)) return {};
  return indexOf(parent);
}

int KitOutlineModel::rowCount(const QModelIndex& parent) const {
  if (parent.column() > 0) return 0;
  Node* node = nodeOf(parent);
  return node != nullptr ? childCount(node) : 0;
}

int KitOutlineModel::columnCount(const QModelIndex&) const { return view_->tableColumns().count(); }

bool KitOutlineModel::hasChildren(const QModelIndex& parent) const {
  if (parent.column() > 0) return false;
  if (!parent.isValid()) return childCount(root_.get()) > 0;
  // Qt's tree view asks this of every row it lays out, shown or not. A row
  // not asked about yet may have children, as far as anyone knows here; the
  // view asks the data source for the rows it shows (KitOutlineView draws
  // their disclosure marks itself). A row's children are counted only once
  // it is expanded.
  auto* parentNode = static_cast<Node*>(parent.internalPointer());
  if (!isCurrent(parentNode) || parent.row() >= childCount(parentNode)) return false;
  Node* node = parentNode->children[static_cast<size_t>(parent.row())].get();
  return node == nullptr || expandable(node);
}

QVariant KitOutlineModel::data(const QModelIndex& index, int role) const {
  if (role != Qt::DisplayRole) return {};
  Node* node = nodeOf(index);
  IOutlineViewDataSource* source = view_->dataSource();
  KitTableColumn* column = view_->tableColumns().at(index.column());
  if (node == nullptr || node->empty || source == nullptr || column == nullptr) return {};
  return source->objectValueForTableColumn(view_, column, node->item);
}

Qt::ItemFlags KitOutlineModel::flags(const QModelIndex& index) const {
  if (!index.isValid() || !isCurrent(static_cast<Node*>(index.internalPointer()))) return Qt::NoItemFlags;
  return Qt::ItemIsEnabled | Qt::ItemIsSelectable;
}

QVariant KitOutlineModel::headerData(int section, Qt::Orientation orientation, int role) const {
  KitTableColumn* column = view_->tableColumns().at(section);
  if (orientation != Qt::Horizontal || role != Qt::DisplayRole || column == nullptr) return {};
  return column->headerCell()->stringValue();
}

void KitOutlineModel::reset() {
  beginResetModel();
  ++generation_;
  byItem_.clear();
  retired_.push_back(std::move(root_));
  root_ = std::make_unique<Node>();
  root_->generation = generation_;
  endResetModel();
  // Persistent indexes into the retired trees are invalid now, and the
  // settled ones are on no handler's stack: they can go. Only the first reset
  // after the event loop ran finds any settled, so the count a pending call
  // below took stays the count of trees retired before it.
  retired_.erase(retired_.begin(), retired_.begin() + static_cast<std::ptrdiff_t>(settled_));
  settled_ = 0;
  const size_t retired = retired_.size();
  QTimer::singleShot(0, this, [this, retired] { settled_ = std::max(settled_, std::min(retired, retired_.size())); });
}

void KitOutlineModel::refresh(Node* node) {
  if (!isCurrent(node) || node == root_.get()) return;
  node->expandable = -1;
  emit dataChanged(indexOf(node, 0), indexOf(node, std::max(0, columnCount() - 1)));
}

void KitOutlineModel::beginAppendColumn() {
  const int at = columnCount();
  beginInsertColumns({}, at, at);
}
