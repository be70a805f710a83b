#include "ui/windows/KVSelectTypeViewController.h"

#include <QLabel>
#include <QWidget>

#include "platform/Localized.h"
#include "ui/widgets/KitImageView.h"
#include "ui/widgets/KitImages.h"
#include "ui/widgets/KitStyle.h"
#include "ui/widgets/TCImageButton.h"
#include "ui/widgets/TypeButton.h"
#include "ui/windows/KVSmallWindow.h"
#include "ui/windows/KVWizardPage.h"

namespace {

// A category button's tag is its category's bit position among the filter
// bits; the page records 1 shifted left by it.
const char* const kTag = "tag";

QString ValueOf(const TypeButton* button) { return QString::number(1 << button->property(kTag).toInt()); }

// The six buttons across the page, left to right.
constexpr int kButtonTop = 170;
constexpr int kButtonWidth = 90;
constexpr int kButtonHeight = 92;
constexpr int kButtonStep = 140;
constexpr int kButtonsLeft = (KVWizardPage::kWidth - (5 * kButtonStep + kButtonWidth)) / 2;

}  // namespace

KVSelectTypeViewController::KVSelectTypeViewController(QObject* parent) : QObject(parent) {
  view_ = KVWizardPage::MakeView();
  midlleLabel = KVWizardPage::MakeBand(view_, QString());

  const struct {
    TypeButton** button;
    int tag;
  } buttons[] = {{&picTypeButton, 0}, {&muiscTypeButton, 1}, {&videosTypeButton, 2},
                 {&zipTypeButton, 3}, {&docTypeButton, 4},   {&otherTypeButton, 5}};
  for (const auto& each : buttons) {
    *each.button =
        new TypeButton(QRect(kButtonsLeft + each.tag * kButtonStep, kButtonTop, kButtonWidth, kButtonHeight), view_);
    (*each.button)->setProperty(kTag, each.tag);
  }

  alltypesButton = new KitImageCheckButton(QRect(0, 326, 16, 16), view_);
  alltypesLabel = KVSmallWindow::Label(view_, QString(), 14, KitColors::kCategoryTitle);
  startScanButton = new TCImageButton(QRect((KVWizardPage::kWidth - 140) / 2, 420, 140, 40), view_);
  awakeFromNib();
}

KVSelectTypeViewController::~KVSelectTypeViewController() {
  if (view_ && view_->parent() == nullptr) delete view_;
}

std::array<TypeButton*, 6> KVSelectTypeViewController::buttonsInOrder() const {
  return {docTypeButton, muiscTypeButton, zipTypeButton, picTypeButton, videosTypeButton, otherTypeButton};
}

void KVSelectTypeViewController::awakeFromNib() {
  alltypesLabel->setText(platform::Localized("PAGE_TWO_ALLTYPES"));
  midlleLabel->setText(platform::Localized("PAGE_TWO_MIDLLE_STRING"));
  // The box and its text, centred together under the buttons.
  const int labelWidth = alltypesLabel->fontMetrics().horizontalAdvance(alltypesLabel->text()) + 4;
  const int left = (KVWizardPage::kWidth - (16 + 8 + labelWidth)) / 2;
  alltypesButton->move(left, alltypesButton->y());
  alltypesLabel->setGeometry(left + 24, 322, labelWidth, 24);
  QObject::connect(alltypesButton, &QAbstractButton::clicked, this, [this] { allTypesButtonClick(); });
  showAllState(selectAllCount_);

  startScanButton->setButtonEnabled(true);
  startScanButton->setImageStem(QStringLiteral("start"));
  QObject::connect(startScanButton, &QAbstractButton::clicked, this, [this] { beginToStartScan(); });

  const struct {
    TypeButton* button;
    const char* stem;
    const char* title;
  } looks[] = {{docTypeButton, "icon_document", "PAGE_TWO_DOCUMENT_TITLE"},
               {muiscTypeButton, "icon_audio", "PAGE_TWO_MUSIC_TITLE"},
               {zipTypeButton, "icon_archive", "PAGE_TWO_ARCHIVE_TITLE"},
               {picTypeButton, "icon_graphics", "PAGE_TWO_PICTURE_TITLE"},
               {videosTypeButton, "icon_video", "PAGE_TWO_MOVIE_TITLE"},
               {otherTypeButton, "icon_other", "PAGE_TWO_OTHER_TITLE"}};
  for (const auto& look : looks) {
    const KitImages::Stem images = KitImages::StemNames(QLatin1String(look.stem));
    look.button->setButtonEnabled(true);
    look.button->setImageFromFileNormalName(images.normal, images.press, images.hover, images.disable);
    look.button->setTextWithName(platform::Localized(look.title));
    TypeButton* button = look.button;
    QObject::connect(button, &QAbstractButton::clicked, this, [this, button] { selectButtonClick(button); });
  }
}

void KVSelectTypeViewController::showAllState(int state) {
  selectAllCount_ = state;
  allTypesImage_ = state == kNone  ? QStringLiteral("checkbox_no")
                   : state == kAll ? QStringLiteral("checkbox_yes")
                                   : QStringLiteral("checkbox_election");
  alltypesButton->setImage(KitImages::Named(allTypesImage_));
}

void KVSelectTypeViewController::reportSelection() {
  if (delegate_ != nullptr) delegate_->changeContinueButtonState(selectArr_);
}

void KVSelectTypeViewController::selectButtonClick(TypeButton* sender) {
  if (sender == nullptr) return;
  sender->changeSelect(!sender->isSelect());
  changeAllSelectState(sender);
}

void KVSelectTypeViewController::changeAllSelectState(TypeButton* button) {
  const QString value = ValueOf(button);
  if (button->isSelect()) {
    if (!selectArr_.contains(value)) selectArr_.append(value);
  } else {
    selectArr_.removeAll(value);
  }
  const qsizetype ticked = selectArr_.size();
  showAllState(ticked == 0 ? kNone : ticked == 6 ? kAll : kSome);
  startScanButton->setButtonEnabled(ticked != 0);
  reportSelection();
}

void KVSelectTypeViewController::allTypesButtonClick() {
  selectArr_.clear();
  const bool tickAll = selectAllCount_ != kAll;
  showAllState(tickAll ? kAll : kNone);
  for (TypeButton* button : buttonsInOrder()) button->changeSelect(tickAll);
  if (tickAll) {
    for (const char* value : {"1", "2", "4", "8", "16", "32"}) selectArr_.append(QLatin1String(value));
  }
  startScanButton->setButtonEnabled(tickAll);
  reportSelection();
}

void KVSelectTypeViewController::beginToStartScan() {
  if (delegate_ != nullptr) delegate_->beginToStartScan();
}
