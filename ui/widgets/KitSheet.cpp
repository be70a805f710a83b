#include "ui/widgets/KitSheet.h"

#include <QEvent>
#include <QHBoxLayout>
#include <QKeyEvent>
#include <QLabel>
#include <QMouseEvent>
#include <QPainter>
#include <QPushButton>
#include <QVBoxLayout>

#include <algorithm>

#include "ui/widgets/KitImages.h"
#include "ui/widgets/KitServices.h"
#include "ui/widgets/KitStyle.h"
#include "ui/widgets/TCImageWindow.h"

KitSheet* KitSheet::Begin(TCImageWindow* window, QWidget* panel, std::function<void(int)> completion) {
  return new KitSheet(window, panel, std::move(completion));
}

KitSheet::KitSheet(TCImageWindow* window, QWidget* panel, std::function<void(int)> completion)
    : QWidget(window), window_(window), panel_(panel), completion_(std::move(completion)) {
  panel_->setParent(this);
  panel_->setAutoFillBackground(true);
  if (!panel_->testAttribute(Qt::WA_Resized)) panel_->adjustSize();
  window_->installEventFilter(this);
  place();
  show();
  raise();
  panel_->show();
  panel_->setFocus();
}

void KitSheet::place() {
  setGeometry(window_->rect());
  const QSize size = panel_->size();
  panel_->setGeometry((width() - size.width()) / 2, window_->sheetTop(), size.width(), size.height());
}

void KitSheet::end(int code) {
  if (ended_) return;
  ended_ = true;
  window_->removeEventFilter(this);
  hide();
  auto completion = std::move(completion_);
  deleteLater();
  if (completion) completion(code);
}

bool KitSheet::eventFilter(QObject* watched, QEvent* event) {
  if (watched == window_ && event->type() == QEvent::Resize) place();
  return QWidget::eventFilter(watched, event);
}

void KitSheet::paintEvent(QPaintEvent*) {
  // Dims the content under the sheet; the bar stays as it is.
  QPainter painter(this);
  painter.fillRect(QRect(0, window_->sheetTop(), width(), height() - window_->sheetTop()), QColor(0, 0, 0, 90));
}

// Presses outside the panel stop here instead of reaching the window.
void KitSheet::mousePressEvent(QMouseEvent* event) { event->accept(); }
void KitSheet::mouseReleaseEvent(QMouseEvent* event) { event->accept(); }
void KitSheet::mouseDoubleClickEvent(QMouseEvent* event) { event->accept(); }

void KitSheet::keyPressEvent(QKeyEvent* event) {
  const bool isReturn = event->key() == Qt::Key_Return || event->key() == Qt::Key_Enter;
  const int code = isReturn ? returnCode_ : event->key() == Qt::Key_Escape ? escapeCode_ : -1;
  if (code < 0) return QWidget::keyPressEvent(event);
  end(code);
}

namespace KitAlert {

namespace {
constexpr int kAlertWidth = 420;
}  // namespace

KitSheet* BeginSheetWithTexts(TCImageWindow* window, const QString& title, const QString& note, const QString& yes,
                              const QString& no, std::function<void(int)> completion, const QString& other) {
  auto* panel = new QWidget;
  panel->setObjectName(QStringLiteral("alertPanel"));
  QPalette palette = panel->palette();
  palette.setColor(QPalette::Window, KitColors::kControl);
  palette.setColor(QPalette::WindowText, Qt::black);
  panel->setPalette(palette);

  auto* icon = new QLabel;
  icon->setPixmap(KitImages::Named(QStringLiteral("warning_b")));
  icon->setAlignment(Qt::AlignTop);
  auto* text = new QVBoxLayout;
  if (!title.isEmpty()) {
    auto* titleLabel = new QLabel(title);
    QFont bold = KitStyle::Font(13);
    bold.setBold(true);
    titleLabel->setFont(bold);
    titleLabel->setWordWrap(true);
    text->addWidget(titleLabel);
  }
  if (!note.isEmpty()) {
    auto* noteLabel = new QLabel(note);
    noteLabel->setFont(KitStyle::Font(title.isEmpty() ? 13 : 11));
    noteLabel->setWordWrap(true);
    text->addWidget(noteLabel);
  }

  auto* buttons = new QHBoxLayout;
  QPushButton* otherButton = nullptr;
  if (!other.isEmpty()) {
    otherButton = new QPushButton(other);
    otherButton->setObjectName(QStringLiteral("otherButton"));
    buttons->addWidget(otherButton);
  }
  buttons->addStretch();
  QPushButton* noButton = nullptr;
  if (!no.isEmpty()) {
    noButton = new QPushButton(no);
    noButton->setObjectName(QStringLiteral("noButton"));
    buttons->addWidget(noButton);
  }
  auto* yesButton = new QPushButton(yes);
  yesButton->setObjectName(QStringLiteral("yesButton"));
  yesButton->setDefault(true);
  buttons->addWidget(yesButton);

  text->addStretch();
  text->addLayout(buttons);
  auto* row = new QHBoxLayout(panel);
  row->setContentsMargins(16, 16, 16, 14);
  row->setSpacing(14);
  row->addWidget(icon);
  row->addLayout(text, 1);
  // 420 wide, or wider where the buttons side by side, or the longest word
  // of a text (which cannot wrap), need more in the language shown.
  int textWidth = buttons->sizeHint().width();
  for (QLabel* label : panel->findChildren<QLabel*>()) {
    if (label == icon) continue;
    for (const QString& word : label->text().split(QLatin1Char(' '), Qt::SkipEmptyParts))
      textWidth = std::max(textWidth, label->fontMetrics().horizontalAdvance(word));
  }
  const QMargins margins = row->contentsMargins();
  const int needed = margins.left() + icon->sizeHint().width() + row->spacing() + textWidth + margins.right();
  const int width = std::max(kAlertWidth, needed);
  panel->setFixedWidth(width);
  // As tall as its texts wrapped at that width: a height taken from the size
  // hint, which wraps them at a width of its own, leaves a long text's first
  // and last lines outside the panel.
  panel->setFixedHeight(std::max(row->totalHeightForWidth(width), row->totalMinimumSize().height()));

  KitSheet* sheet = KitSheet::Begin(window, panel, std::move(completion));
  sheet->setKeyCodes(1, noButton != nullptr ? 0 : 1);
  QObject::connect(yesButton, &QPushButton::clicked, sheet, [sheet] { sheet->end(1); });
  if (noButton) QObject::connect(noButton, &QPushButton::clicked, sheet, [sheet] { sheet->end(0); });
  if (otherButton) QObject::connect(otherButton, &QPushButton::clicked, sheet, [sheet] { sheet->end(-1); });
  return sheet;
}

KitSheet* BeginSheet(TCImageWindow* window, const QString& stem, std::function<void(int)> completion,
                     bool withNoButton) {
  return BeginSheetWithTexts(
      window, KitServices::LocalizedString(stem + QLatin1String("_TITLE")),
      KitServices::LocalizedString(stem + QLatin1String("_NODE")),
      KitServices::LocalizedString(stem + QLatin1String("_YES_BUTTON")),
      withNoButton ? KitServices::LocalizedString(stem + QLatin1String("_NO_BUTTON")) : QString(),
      std::move(completion));
}

}  // namespace KitAlert
