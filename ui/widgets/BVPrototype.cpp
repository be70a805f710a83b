#include "ui/widgets/BVPrototype.h"

#include <QPixmap>

#include "ui/widgets/KitElidedLabel.h"
#include "ui/widgets/KitImageView.h"
#include "ui/widgets/KitImages.h"

BVPrototype::~BVPrototype() { delete view_.data(); }

void BVPrototype::loadView() {
  if (view_) return;
  view_ = new BVView();
  view_->setDelegate(this);
}

void BVPrototype::setRepresentedObject(quint64 node) {
  representedObject_ = node;
  if (!view_) loadView();
  if (delegate_ == nullptr || delegate_->viewLoadCnt() == 0) {
    view_->hide();
    return;
  }
  if (node == 0) return;
  // A tile hidden while nothing was loaded shows again once its host has
  // placed it (a tile without a host would become a window of its own).
  if (view_->parentWidget() != nullptr) view_->setVisible(true);
  view_->setListData(node);
  const IBVFileNodes* nodes = BVServices::FileNodes();
  const QImage thumbnail = nodes ? nodes->thumbnail(node) : QImage();
  view_->imageView()->setImage(thumbnail.isNull() ? KitImages::Named(QStringLiteral("logo"))
                                                  : QPixmap::fromImage(thumbnail));
  const QString name = nodes ? nodes->fileNodeName(node) : QString();
  view_->titleLabel()->setToolTip(name);
  view_->titleLabel()->setText(name);
  const int state = nodes ? nodes->fileNodeState(node) : 0;
  view_->button()->setImage(
      KitImages::Named(state == 2 ? QStringLiteral("checkbox_yes") : QStringLiteral("checkbox_no")));
  view_->deleteIamgeView()->setVisible(nodes != nullptr && nodes->isFileNodeDeleted(node));
}

void BVPrototype::reLoadItemData() {
  if (delegate_) delegate_->reLoadCollectionViewData();
}
