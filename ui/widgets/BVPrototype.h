// The item of a collection of file tiles: it makes its tile (BVView) and
// fills it from the file node it represents. Every item has a tile of its
// own. While the host has loaded nothing yet (its load count is 0) the
// tile stays hidden.
#pragma once

#include <QPointer>

#include "ui/widgets/BVView.h"

class IBVPrototypeDelegate {
 public:
  virtual ~IBVPrototypeDelegate() = default;
  // A tile's tick changed: the host redraws the collection.
  virtual void reLoadCollectionViewData() = 0;
  // How many items the host has loaded so far.
  virtual quint64 viewLoadCnt() const = 0;
};

class BVPrototype : public IBVViewDelegate {
 public:
  BVPrototype() = default;
  ~BVPrototype() override;
  BVPrototype(const BVPrototype&) = delete;
  BVPrototype& operator=(const BVPrototype&) = delete;

  // Makes the tile (once) at 120 x 100; the host places it.
  void loadView();
  BVView* view() const { return view_; }
  // Fills the tile from the file node `node` (0 for none).
  void setRepresentedObject(quint64 node);
  quint64 representedObject() const { return representedObject_; }

  void reLoadItemData() override;

  IBVPrototypeDelegate* delegate() const { return delegate_; }
  void setDelegate(IBVPrototypeDelegate* delegate) { delegate_ = delegate; }

 private:
  QPointer<BVView> view_;
  quint64 representedObject_ = 0;
  IBVPrototypeDelegate* delegate_ = nullptr;
};
