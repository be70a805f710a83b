// The results window's 90-point title bar: home and deep-scan buttons with
// their captions, the progress box (spinner, bar, found count, time left,
// pause, resume and stop, the selection summary and the recovery button),
// the export button and the search field; how the window keeps its parts in
// place when resized; and the bubble that suggests a deep scan.
#include <QSplitter>

#include "platform/Localized.h"
#include "platform/Resources.h"
#include "ui/widgets/HVTitlebarView.h"
#include "ui/widgets/KVProgressView.h"
#include "ui/widgets/KitAutoresizer.h"
#include "ui/widgets/KitElidedLabel.h"
#include "ui/widgets/KitGeometry.h"
#include "ui/widgets/KitImageView.h"
#include "ui/widgets/KitImages.h"
#include "ui/widgets/KitOwnedTimer.h"
#include "ui/widgets/KitSpinner.h"
#include "ui/widgets/KitStyle.h"
#include "ui/widgets/MAAttachedWindow.h"
#include "ui/widgets/TCImageButton.h"
#include "ui/widgets/TCImageWindow.h"
#include "ui/windows/KVDeletailWindowController.h"

namespace {

using Mask = KitAutoresizer::Mask;

// The captions' blue and the box's lighter blue.
const QColor kCaptionColor(160, 170, 211);
const QColor kBoxTextColor(172, 182, 220);
// Where the bubble sits against its anchor, and how far from it.
constexpr unsigned kPopoverSide = 11;
constexpr float kPopoverDistance = 10;

KitElidedLabel* Label(QWidget* parent, const QString& text, int pixelSize, const QColor& colour,
                      Qt::Alignment alignment) {
  auto* label = new KitElidedLabel(parent);
  label->setText(text);
  label->setFont(KitStyle::Font(pixelSize));
  label->setTextColor(colour);
  label->setAlignment(alignment | Qt::AlignVCenter);
  return label;
}

TCImageButton* StemButton(QWidget* parent, const QString& stem) {
  auto* button = new TCImageButton(parent);
  button->setImageStem(stem);
  return button;
}

}  // namespace

void KVDeletailWindowController::setFrame(QWidget* child, const QRectF& frame, unsigned mask) {
  QWidget* parent = child->parentWidget();
  // The resizer has no meta-object of its own: findChild cannot tell it.
  KitAutoresizer* resizer = nullptr;
  for (QObject* each : parent->children()) {
    if (resizer == nullptr) resizer = dynamic_cast<KitAutoresizer*>(each);
  }
  if (resizer == nullptr) resizer = new KitAutoresizer(parent, true);
  resizer->add(child, KitGeometry::FromBottomLeft(frame, parent->height()), mask);
}

void KVDeletailWindowController::buildDetailViewWindowTitleBar() {
  QWidget* bar = titleBarView;
  const double barWidth = bar->width();
  if (backHomeButton == nullptr) {
    backHomeButton = StemButton(bar, QStringLiteral("home"));
    setFrame(backHomeButton, QRectF(28, 30, 32, 32), Mask::kNotSizable);
    backHomeButton->setButtonEnabled(false);
    QObject::connect(backHomeButton, &QAbstractButton::clicked, this, [this] { backButtonAction(); });
    homeLabel = Label(bar, platform::Localized("PAGE_FOUR_BACKHOME_BUTTON"), 13, kCaptionColor, Qt::AlignHCenter);
    setFrame(homeLabel, QRectF(15, 13, 50, 18), Mask::kNotSizable);
  }
  if (continueButton == nullptr) {
    // The bubble points at the deep-scan button's centre.
    pointButton = new QWidget(bar);
    pointButton->setAttribute(Qt::WA_TransparentForMouseEvents);
    setFrame(pointButton, QRectF(110, 30, 32, 32), Mask::kNotSizable);
    continueButton = StemButton(bar, QStringLiteral("deepscan"));
    setFrame(continueButton, QRectF(110, 30, 32, 32), Mask::kNotSizable);
    continueButton->hide();
    QObject::connect(continueButton, &QAbstractButton::clicked, this, [this] { deepSrcanButtonAction(); });
    deepScanLabel = Label(bar, platform::Localized("PAGE_FOUR_DEEPSCAN_BUTTON"), 13, kCaptionColor, Qt::AlignHCenter);
    setFrame(deepScanLabel, QRectF(90, 13, 80, 18), Mask::kNotSizable);
    deepScanLabel->hide();
  }
  if (abox == nullptr) {
    abox = new QWidget(bar);
    setFrame(abox, QRectF(250, 13, 450, 65), Mask::kWidthSizable);
    auto* plate = new KitImageView(abox);
    plate->setImage(KitImages::Named(QStringLiteral("schedule_bg")));
    plate->setImageScaling(KitImageView::kScaleAxesIndependently);
    setFrame(plate, QRectF(QPointF(0, 0), abox->size()), Mask::kWidthSizable | Mask::kHeightSizable);
    subBox = new QWidget(abox);
    setFrame(subBox, QRectF(QPointF(0, 0), abox->size()), Mask::kWidthSizable);

    loadImageView = new KitSpinner(subBox);
    setFrame(loadImageView, QRectF(14, 24, 16, 16), Mask::kNotSizable);
    loadImageView->startAnimation();
    progressView = new KVProgressView(QRect(0, 0, 348, 6), subBox);
    setFrame(progressView, QRectF(40, 19, 348, 6), Mask::kWidthSizable);
    progressView->changeProgressValue(0);

    pauseButton = StemButton(subBox, QStringLiteral("pause"));
    setFrame(pauseButton, QRectF(398, 20, 16, 16), Mask::kMinXMargin);
    pauseButton->setButtonEnabled(false);
    QObject::connect(pauseButton, &QAbstractButton::clicked, this, [this] { pauseButtonClick(); });
    continueScanButton = StemButton(subBox, QStringLiteral("play"));
    setFrame(continueScanButton, QRectF(398, 20, 16, 16), Mask::kMinXMargin);
    continueScanButton->hide();
    QObject::connect(continueScanButton, &QAbstractButton::clicked, this, [this] { pauseButtonClick(); });
    stopButton = StemButton(subBox, QStringLiteral("stop"));
    setFrame(stopButton, QRectF(424, 20, 16, 16), Mask::kMinXMargin);
    stopButton->setButtonEnabled(false);
    QObject::connect(stopButton, &QAbstractButton::clicked, this, [this] { stopButtonClick(); });

    selectFilesLabel = Label(subBox, platform::LocalizedFormat("PAGE_FOUR_SELECT_FILES", {QStringLiteral("0 byte"), 0}),
                             14, kBoxTextColor, Qt::AlignLeft);
    setFrame(selectFilesLabel, QRectF(40, 35, 380, 18), Mask::kWidthSizable);
    selectFilesLabel->hide();

    recovertyButton = StemButton(abox, QStringLiteral("botton_recover"));
    recovertyButton->setTextWithName(platform::Localized("PAGE_FOUR_RECOVERY_BUTTON"), QRect(0, 0, 100, 30));
    setFrame(recovertyButton, QRectF(175, 12, 100, 30), Mask::kMinXMargin);
    recovertyButton->hide();
    recovertyButton->setButtonEnabled(false);
    QObject::connect(recovertyButton, &QAbstractButton::clicked, this, [this] { recovrtyButtonClick(); });

    findFilesLabel = Label(subBox, {}, 12, kBoxTextColor, Qt::AlignLeft);
    setFrame(findFilesLabel, QRectF(40, 30, 180, 17), Mask::kNotSizable);
    remainTimeLabel = Label(subBox, {}, 12, kBoxTextColor, Qt::AlignRight);
    setFrame(remainTimeLabel, QRectF(220, 30, 168, 17), Mask::kMinXMargin);
  }
  if (search == nullptr) {
    search = new NewSearchTextFiled(bar);
    search->setSearchDelegate(this);
    setFrame(search, QRectF(barWidth - 220, 30, 200, 30), Mask::kMinXMargin);
    // Searching waits for the end of the scan.
    search->setEnabled(false);
  }
  // The bar draws no window title, so no mark goes beside one: placed by
  // the title's geometry it stood above the bar's top edge, cut in half.
  changeSelectCountLabelPos();
  setRemainingTimeText(QStringLiteral("-:-:-"));
  setFilesFoundText(QStringLiteral("0"));
  progressView->changeProgressValue(0);
  windowDidResize();
}

// Spanish needs the summary's whole width.
void KVDeletailWindowController::changeSelectCountLabelPos() {
  const QStringList languages = platform::Resources::PreferredLanguages();
  if (!languages.isEmpty() &&
      languages.first().section(QLatin1Char('-'), 0, 0).section(QLatin1Char('_'), 0, 0) == QLatin1String("es")) {
    setFrame(selectFilesLabel, QRectF(0, 30, 550, 15), Mask::kWidthSizable);
  }
}

void KVDeletailWindowController::windowDidResize() {
  if (aWindow == nullptr) return;
  double percent = 0;
  KVUIController::GetScanProgress(&percent, nullptr);
  progressView->changeProgressValue(percent < 1.0 ? 0.0f : static_cast<float>(percent));
  const int leftWidth = splistLeftView->width();
  const int clamped = std::clamp(leftWidth, 223, 400);
  if (clamped != leftWidth && splistView->count() == 2) {
    const int total = splistView->width() - splistView->handleWidth();
    splistView->setSizes({clamped, std::max(0, total - clamped)});
  }
  if (isClodePopView == 0 && popView) {
    // The bubble follows its anchor.
    dropBubble();
    attachedWindow = new MAAttachedWindow(popView, pointButton, aWindow, kPopoverSide, kPopoverDistance);
    popView->show();
    attachedWindow->show();
  }
}

// The bubble holds the view while it shows it; the view stays its
// controller's.
void KVDeletailWindowController::dropBubble() {
  if (!attachedWindow) return;
  attachedWindow->hide();
  if (popView && popView->parentWidget() == attachedWindow) {
    popView->hide();
    popView->setParent(nullptr);
  }
  delete attachedWindow.data();
}

void KVDeletailWindowController::showPopoverWithViewController(KVDeepScanViewController* controller) {
  if (!attachedWindow && controller != nullptr) {
    attachedWindow = new MAAttachedWindow(controller->view(), pointButton, aWindow, kPopoverSide, kPopoverDistance);
    attachedWindow->show();
    attachedWindow->raise();
    popView = controller->view();
  }
  popoverTimer_->start(popoverLifetimeMs, [this] { popupViewHidden(); });
}

void KVDeletailWindowController::popupViewHidden() {
  dropBubble();
  attachedWindow = nullptr;
  isClodePopView = 1;
}
