#include "ui/widgets/BVView.h"

#include "ui/widgets/KitElidedLabel.h"
#include "ui/widgets/KitImageView.h"
#include "ui/widgets/KitImages.h"
#include "ui/widgets/KitServices.h"
#include "ui/widgets/KitStyle.h"

namespace BVServices {
namespace {
const IBVFileNodes* g_nodes = nullptr;
}
void SetFileNodes(const IBVFileNodes* nodes) { g_nodes = nodes; }
const IBVFileNodes* FileNodes() { return g_nodes; }
}  // namespace BVServices

// The frames below are the tile's layout seen from its top-left corner.
BVView::BVView(const QRect& frame, QWidget* parent) : QWidget(parent) {
  setGeometry(QRect(frame.topLeft(), kSize));
  bgImageView_ = new KitImageView(QRect(3, 3, 114, 94), this);
  bgImageView_->setImage(KitImages::Named(QStringLiteral("view_bg_normal")));
  bgImageView_->setImageScaling(KitImageView::kScaleAxesIndependently);
  imageView_ = new KitImageView(QRect(10, 10, 90, 55), this);
  titleLabel_ = new KitElidedLabel(QRect(30, 78, 80, 20), this);
  titleLabel_->setFont(KitStyle::Font(10));
  titleLabel_->setBackgroundColor(KitColors::kControl);
  titleLabel_->setElideMode(Qt::ElideRight);
  button_ = new KitImageCheckButton(QRect(16, 76, 14, 14), this);
  QObject::connect(button_, &QAbstractButton::clicked, this, [this] { changeButtonState(); });
  deleteIamgeView_ = new KitImageView(QRect(90, 49, 16, 16), this);
  deleteIamgeView_->setImage(KitImages::Named(QStringLiteral("deletered")));
  deleteIamgeView_->setImageAlignment(KitImageView::kAlignTop);
  deleteIamgeView_->hide();
}

void BVView::changeButtonState() {
  // Tiles take no ticks while a scan exists at all, even a paused one.
  if (KitServices::ScanState().IsScanRunning()) return;
  const IBVFileNodes* nodes = BVServices::FileNodes();
  // One rule for every tick box of the program: ticked becomes unticked,
  // anything else (a partly ticked folder too) becomes ticked, as in the trees
  // and lists; a tile that unticked a partly ticked folder would do the
  // opposite of the same click beside it.
  const int state = nodes ? nodes->fileNodeState(listData_) : 0;
  const int next = state == 2 ? 0 : 2;
  if (nodes) nodes->setFileNodeWithState(listData_, next);
  button_->setImage(KitImages::Named(next == 2 ? QStringLiteral("checkbox_yes") : QStringLiteral("checkbox_no")));
  if (delegate_) delegate_->reLoadItemData();
}

void BVView::enterEvent(QEnterEvent*) { bgImageView_->setImage(KitImages::Named(QStringLiteral("view_bg_press"))); }

void BVView::leaveEvent(QEvent*) { bgImageView_->setImage(KitImages::Named(QStringLiteral("view_bg_normal"))); }
