#include "ui/windows/KVDeepScanViewController.h"

#include <QLabel>

#include "platform/Localized.h"
#include "ui/widgets/KitStyle.h"
#include "ui/widgets/TCImageButton.h"
#include "ui/windows/KVSmallWindow.h"

KVDeepScanViewController::KVDeepScanViewController(QObject* parent) : QObject(parent) {
  view_ = new QWidget;
  view_->resize(kWidth, kHeight);
  deepScanNodeLabel =
      KVSmallWindow::Label(view_, QString(), 12, KitColors::kNoteText, Qt::AlignLeft | Qt::AlignVCenter, true);
  deepScanNodeLabel->setGeometry(10, 6, kWidth - 38, kHeight - 12);
  closeButton = new TCImageButton(QRect(kWidth - 20, 8, 12, 12), view_);
  const QString image = QStringLiteral("popover_close");
  closeButton->setImageFromFileNormalName(image, image, image, image);
  QObject::connect(closeButton, &QAbstractButton::clicked, this, [this] { closeButtonAction(); });
  awakeFromNib();
}

KVDeepScanViewController::~KVDeepScanViewController() {
  if (view_ && view_->parent() == nullptr) delete view_;
}

void KVDeepScanViewController::awakeFromNib() {
  deepScanNodeLabel->setText(platform::Localized("PAGE_FOUR_DEEPSCAN_NODE"));
}

void KVDeepScanViewController::closeButtonAction() {
  if (delegate_ != nullptr) delegate_->popupViewHidden();
}
