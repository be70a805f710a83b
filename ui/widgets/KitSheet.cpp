#include "ui/widgets/KitSheet.h"

#include <QEvent>
#include <QHBoxLayout>
#include <QKeyEvent>
#include <QLabel>
#include <QMouseEvent>
#include <QPainter>
#include <QPushButton>
#include <QVBoxLayout>

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

KitSheet* BeginSheet(TCImageWindow* window, const QString& stem, std::function<void(int)> completion,
                     bool withNoButton) {
  const auto text = [&stem](const char* suffix) { return KitServices::LocalizedString(stem + QLatin1String(suffix)); };
  return BeginSheetWithTexts(
      window, {text("_TITLE"), text("_NODE"), text("_YES_BUTTON"), withNoButton ? text("_NO_BUTTON") : QString()},
      std::move(completion));
}

KitSheet* BeginSheetWithTexts(TCImageWindow* window, const Texts& texts, std::function<void(int)> completion) {
  const bool withNoButton = !texts.no.isEmpty();
  auto* panel = new QWidget;
  panel->setObjectName(QStringLiteral("alertPanel"));
  QPalette palette = panel->palette();
  palette.setColor(QPalette::Window, KitColors::kControl);
  palette.setColor(QPalette::WindowText, Qt::black);
  panel->setPalette(palette);
  panel->setFixedWidth(420);

  auto* icon = new QLabel;
  icon->setPixmap(KitImages::Named(QStringLiteral("warning_b")));
  icon->setAlignment(Qt::AlignTop);
  auto* title = new QLabel(texts.title);
  title->setTextFormat(Qt::PlainText);
  QFont bold = KitStyle::Font(13);
  bold.setBold(true);
  title->setFont(bold);
  title->setWordWrap(true);
  auto* note = new QLabel(texts.note);
  note->setTextFormat(Qt::PlainText);
  note->setFont(KitStyle::Font(11));
  note->setWordWrap(true);

  auto* buttons = new QHBoxLayout;
  buttons->addStretch();
  QPushButton* no = nullptr;
  if (withNoButton) {
    no = new QPushButton(texts.no);
    no->setObjectName(QStringLiteral("noButton"));
    buttons->addWidget(no);
  }
  auto* yes = new QPushButton(texts.yes);
  yes->setObjectName(QStringLiteral("yesButton"));
  yes->setDefault(true);
  buttons->addWidget(yes);

  auto* text = new QVBoxLayout;
  text->addWidget(title);
  text->addWidget(note);
  text->addStretch();
  text->addLayout(buttons);
  auto* row = new QHBoxLayout(panel);
  row->setContentsMargins(16, 16, 16, 14);
  row->setSpacing(14);
  row->addWidget(icon);
  row->addLayout(text, 1);
  panel->adjustSize();

  KitSheet* sheet = KitSheet::Begin(window, panel, std::move(completion));
  sheet->setKeyCodes(1, withNoButton ? 0 : 1);
  QObject::connect(yes, &QPushButton::clicked, sheet, [sheet] { sheet->end(1); });
  if (no) QObject::connect(no, &QPushButton::clicked, sheet, [sheet] { sheet->end(0); });
  return sheet;
}

}  // namespace KitAlert
