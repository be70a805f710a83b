// The item model behind KitOutlineView: Qt's model interface over the
// outline's data source. Internal to the kit.
//
// Every row the view has asked about is a Node that holds the data source's
// item (never read, only handed back to the data source). A QModelIndex
// carries its parent's Node, so the view can make indexes for a million rows
// while the data source is asked only for the children it shows.
//
// A reset retires the whole tree of Nodes. Qt may still hold a plain index
// into a retired tree for the rest of the event it is handling, and a
// persistent one made from it until the next reset; so retired trees stay in
// memory, inert (answering nothing and asking the data source nothing),
// until a later reset once control went back to the event loop.
#pragma once

#include <QAbstractItemModel>
#include <QHash>

#include <memory>
#include <vector>

class KitOutlineView;

class KitOutlineModel : public QAbstractItemModel {
 public:
  struct Node {
    void* item = nullptr;
    Node* parent = nullptr;
    int row = 0;
    quint64 generation = 0;
    int count = -1;               // children not asked yet
    signed char expandable = -1;  // not asked yet
    bool empty = false;           // the data source gave no item for this row
    std::vector<std::unique_ptr<Node>> children;
  };

  explicit KitOutlineModel(KitOutlineView* view);
  ~KitOutlineModel() override;

  QModelIndex index(int row, int column, const QModelIndex& parent = {}) const override;
  QModelIndex parent(const QModelIndex& child) const override;
  int rowCount(const QModelIndex& parent = {}) const override;
  int columnCount(const QModelIndex& parent = {}) const override;
  bool hasChildren(const QModelIndex& parent = {}) const override;
  QVariant data(const QModelIndex& index, int role) const override;
  Qt::ItemFlags flags(const QModelIndex& index) const override;
  QVariant headerData(int section, Qt::Orientation orientation, int role) const override;

  Node* root() const { return root_.get(); }
  // The Node an index shows: the root for an invalid index, null for an
  // index from before the last reset.
  Node* nodeOf(const QModelIndex& index) const;
  QModelIndex indexOf(const Node* node, int column = 0) const;
  // Children of `node` as the data source counts them (asked once).
  int childCount(Node* node) const;
  // Child `row` of `node`, asking the data source for it the first time.
  Node* child(Node* node, int row) const;
  // Child `row` of `node` when the caller already has its item.
  Node* adopt(Node* node, int row, void* item) const;
  bool expandable(Node* node) const;
  // A shown item's Node (the first one, should an item show twice).
  Node* find(void* item) const { return byItem_.value(item, nullptr); }
  bool isCurrent(const Node* node) const { return node != nullptr && node->generation == generation_; }
  quint64 generation() const { return generation_; }

  // Starts again from the root, retiring every Node.
  void reset();
  // Forgets what the data source said about `node` itself and repaints it.
  void refresh(Node* node);
  // Around appending a column to the view.
  void beginAppendColumn();
  void endAppendColumn() { endInsertColumns(); }

 private:
  Node* makeChild(Node* node, int row, void* item) const;

  KitOutlineView* view_;
  quint64 generation_ = 1;
  std::unique_ptr<Node> root_;
  // Oldest first. The first `settled_` were retired before the event loop
  // last ran, so no event handler can still hold an index into them.
  std::vector<std::unique_ptr<Node>> retired_;
  size_t settled_ = 0;
  mutable QHash<void*, Node*> byItem_;
};
