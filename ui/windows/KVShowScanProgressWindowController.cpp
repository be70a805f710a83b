#include "ui/windows/KVShowScanProgressWindowController.h"

#include <QLabel>

#include "platform/Localized.h"
#include "ui/widgets/KVProgressView.h"
#include "ui/widgets/KitElidedLabel.h"
#include "ui/widgets/KitImages.h"
#include "ui/widgets/KitStyle.h"
#include "ui/widgets/TCImageButton.h"
#include "ui/windows/KVSmallWindow.h"

namespace {

constexpr int kMargin = 24;

// A pane filling the window's area below the title bar.
QWidget* PaneView(QWidget* content) {
  auto* pane = new QWidget(content);
  pane->setGeometry(0, 0, KVShowScanProgressWindowController::kWidth, KVShowScanProgressWindowController::kHeight);
  return pane;
}

// One of the answers: the main one in the accent colour, the other plain.
TCImageButton* Answer(QWidget* pane, const QRect& frame, const char* key, bool main, std::function<void()> action) {
  auto* button = new TCImageButton(frame, pane);
  button->setImageStem(main ? QStringLiteral("pop_button") : QStringLiteral("pop_button_plain"));
  button->setTextWithName(platform::Localized(key), QRect(QPoint(0, 0), frame.size()));
  QObject::connect(button, &QAbstractButton::clicked, pane, std::move(action));
  return button;
}

// A question pane: the warning image, a title, a note, and two answers at
// the bottom right (the main one rightmost).
struct Question {
  QWidget* pane;
  QLabel* title;
  QLabel* note;
};
Question QuestionPane(QWidget* content, const char* titleKey, const char* noteKey) {
  Question question{PaneView(content), nullptr, nullptr};
  auto* icon = new QLabel(question.pane);
  icon->setPixmap(KitImages::Named(QStringLiteral("warning_b")));
  icon->setScaledContents(true);
  icon->setGeometry(kMargin, 16, 36, 36);
  const int left = kMargin + 36 + 14;
  const int width = KVShowScanProgressWindowController::kWidth - left - kMargin;
  question.title = KVSmallWindow::Label(question.pane, platform::Localized(titleKey), 15, Qt::white);
  question.title->setGeometry(left, 14, width, 22);
  question.note = KVSmallWindow::Label(question.pane, platform::Localized(noteKey), 12, KitColors::kHeaderText,
                                       Qt::AlignLeft | Qt::AlignTop, true);
  question.note->setGeometry(left, 38, width, 34);
  return question;
}

QRect AnswerFrame(int fromRight) {
  constexpr int kButtonWidth = 100, kButtonHeight = 28, kGap = 12;
  const int x = KVShowScanProgressWindowController::kWidth - kMargin - kButtonWidth - fromRight * (kButtonWidth + kGap);
  return QRect(x, KVShowScanProgressWindowController::kHeight - 16 - kButtonHeight, kButtonWidth, kButtonHeight);
}

}  // namespace

KVShowScanProgressWindowController::KVShowScanProgressWindowController(QObject* parent) : QObject(parent) {
  aWindow = new KVSmallWindow(QSize(kWidth, kHeight), 13);
  windowDidLoad();
}

KVShowScanProgressWindowController::~KVShowScanProgressWindowController() {
  // Gone from the screen at once; deleted once any event of its own is over.
  if (!aWindow) return;
  aWindow->hide();
  aWindow->deleteLater();
}

KVSmallWindow* KVShowScanProgressWindowController::window() const { return aWindow; }

void KVShowScanProgressWindowController::windowDidLoad() {
  QWidget* content = aWindow->contentView();

  recoveryProgressView = PaneView(content);
  titleLabel = KVSmallWindow::Label(recoveryProgressView, platform::Localized("PAGE_FOUR_RECOVER_PROGRESS_TITLE"), 15,
                                    Qt::white);
  titleLabel->setGeometry(kMargin, 18, kWidth - 2 * kMargin, 22);
  progressBar = new KVProgressView(QRect(kMargin, 58, kWidth - 2 * kMargin - 32, 12), recoveryProgressView);
  progressBar->changeProgressValue(0);
  stopButton = new TCImageButton(QRect(kWidth - kMargin - 16, 56, 16, 16), recoveryProgressView);
  stopButton->setImageStem(QStringLiteral("stop"));
  QObject::connect(stopButton, &QAbstractButton::clicked, this, [this] { stopProgressButtonAction(); });
  // Names come from the scanned disk: drawn as plain text, cut in the
  // middle so that both the start and the extension show.
  scaningFileName = new KitElidedLabel(QRect(kMargin, 82, kWidth - 2 * kMargin, 18), recoveryProgressView);
  scaningFileName->setFont(KitStyle::Font(12));
  scaningFileName->setTextColor(KitColors::kHeaderText);
  scaningFileName->setElideMode(Qt::ElideMiddle);

  const Question stop = QuestionPane(content, "PAGE_FOUR_RECOVERY_STOP_TITLE", "PAGE_FOUR_RECOVERY_STOP_NODE");
  warningView = stop.pane;
  warningTitle = stop.title;
  warningNode = stop.note;
  yesButton =
      Answer(warningView, AnswerFrame(1), "PAGE_FOUR_RECOVERY_STOP_YES_BUTTON", false, [this] { yesButtonAction(); });
  noButton =
      Answer(warningView, AnswerFrame(0), "PAGE_FOUR_RECOVERY_STOP_NO_BUTTON", true, [this] { noButtonAction(); });

  const Question full = QuestionPane(content, "PAGE_FOUR_RECOVERY_NO_SPACE_TITLE", "PAGE_FOUR_RECOVERY_NO_SPACE_NODE");
  noMemeryView = full.pane;
  noMemeryTitle = full.title;
  noMemeryNode = full.note;
  noMemeryCancelButton = Answer(noMemeryView, AnswerFrame(1), "PAGE_FOUR_RECOVERY_NO_SPACE_YES_BUTTON", false,
                                [this] { cancelButtonAction(); });
  noMemeryContinueButton = Answer(noMemeryView, AnswerFrame(0), "PAGE_FOUR_RECOVERY_NO_SPACE_NO_BUTTON", true,
                                  [this] { continueButtonAction(); });
  for (TCImageButton* button : {yesButton, noButton, noMemeryContinueButton, noMemeryCancelButton})
    button->setButtonEnabled(true);
  show(Pane::kProgress);

  // A recovery is never left running behind a closed window: the close
  // button, Escape and the window manager ask the stop question instead.
  aWindow->setCloseButtonAction([this] { stopProgressButtonAction(); });
  new KVCloseGate(
      aWindow, [this] { return closing_; }, [this] { stopProgressButtonAction(); });
}

void KVShowScanProgressWindowController::runModal() { aWindow->showApplicationModal(); }

void KVShowScanProgressWindowController::closeWindow() {
  if (!aWindow || closing_) return;
  closing_ = true;
  aWindow->close();
}

void KVShowScanProgressWindowController::show(Pane pane) {
  recoveryProgressView->setVisible(pane == Pane::kProgress);
  warningView->setVisible(pane == Pane::kStopQuestion);
  noMemeryView->setVisible(pane == Pane::kNoSpace);
}

KVShowScanProgressWindowController::Pane KVShowScanProgressWindowController::shownPane() const {
  if (warningView->isVisibleTo(aWindow)) return Pane::kStopQuestion;
  if (noMemeryView->isVisibleTo(aWindow)) return Pane::kNoSpace;
  return Pane::kProgress;
}

void KVShowScanProgressWindowController::tellDelegate(int value) {
  if (delegate_ != nullptr) delegate_->stopButtonAction(value);
}

void KVShowScanProgressWindowController::changeProgressValue(double percent, const QString& name) {
  progressBar->changeProgressValue(static_cast<float>(percent));
  if (!name.isNull()) scaningFileName->setText(name);
}

void KVShowScanProgressWindowController::setNoMemeryViewHidden() { show(Pane::kNoSpace); }

void KVShowScanProgressWindowController::stopProgressButtonAction() {
  // Asked once: a second request (the close button while the question is
  // open) would resume the paused recovery.
  if (closing_ || shownPane() != Pane::kProgress) return;
  show(Pane::kStopQuestion);
  tellDelegate(kPauseOrResume);
}

void KVShowScanProgressWindowController::noButtonAction() {
  if (closing_ || shownPane() != Pane::kStopQuestion) return;
  show(Pane::kProgress);
  tellDelegate(kPauseOrResume);
}

void KVShowScanProgressWindowController::yesButtonAction() {
  if (closing_ || shownPane() != Pane::kStopQuestion) return;
  tellDelegate(kStop);
}

void KVShowScanProgressWindowController::continueButtonAction() {
  if (closing_ || shownPane() != Pane::kNoSpace) return;
  show(Pane::kProgress);
  tellDelegate(kPauseOrResume);
}

void KVShowScanProgressWindowController::cancelButtonAction() {
  if (closing_ || shownPane() != Pane::kNoSpace) return;
  tellDelegate(kStop);
}
