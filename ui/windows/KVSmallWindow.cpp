#include "ui/windows/KVSmallWindow.h"

#include <QCloseEvent>
#include <QGuiApplication>
#include <QKeyEvent>
#include <QMouseEvent>
#include <QScreen>

#include "platform/Localized.h"
#include "ui/widgets/HVTitlebarView.h"
#include "ui/widgets/KitFader.h"
#include "ui/widgets/KitImages.h"
#include "ui/widgets/KitModal.h"
#include "ui/widgets/KitStyle.h"
#include "ui/widgets/TCWindowButton.h"

KVSmallWindow::KVSmallWindow(const QSize& contentSize, double buttonsLeftMargin, double topButtonMoveUp)
    : TCImageWindow(nullptr, false) {
  setTitleBarHeight(kTitleBarHeight);
  setTrafficLightButtonsLeftMargin(buttonsLeftMargin);
  setTopButtonMoveUp(topButtonMoveUp);
  setFixedSize(contentSize.width(), contentSize.height() + kTitleBarHeight);

  headerImage_ = new QLabel(titleBarView());
  headerImage_->setPixmap(KitImages::Named(QStringLiteral("pop_header_bg")));
  headerImage_->setScaledContents(true);  // both axes, independently
  titleLabel_ = new QLabel(platform::Localized("WINDOW_TOP_TITLE"), titleBarView());
  titleLabel_->setTextFormat(Qt::PlainText);
  titleLabel_->setAlignment(Qt::AlignCenter);
  titleLabel_->setFont(KitStyle::Font(13));
  QPalette palette = titleLabel_->palette();
  palette.setColor(QPalette::WindowText, KitColors::kSmallWindowTitle);
  titleLabel_->setPalette(palette);
  // The title never takes the drag that moves the window.
  titleLabel_->setAttribute(Qt::WA_TransparentForMouseEvents);
  headerImage_->setAttribute(Qt::WA_TransparentForMouseEvents);
  layoutHeader();

  fader_ = new KitFader(this);
}

void KVSmallWindow::layoutHeader() {
  const int width = this->width();
  headerImage_->setGeometry(0, 0, width, kTitleBarHeight);
  titleLabel_->setGeometry(0, 3, width, 17);
}

void KVSmallWindow::resizeEvent(QResizeEvent* event) {
  TCImageWindow::resizeEvent(event);
  layoutHeader();
}

void KVSmallWindow::setCloseButtonAction(std::function<void()> action) {
  TCWindowButton* close = windowButton(static_cast<int>(TCWindowButton::Kind::Close));
  QObject::disconnect(close, &QAbstractButton::clicked, nullptr, nullptr);
  QObject::connect(close, &QAbstractButton::clicked, this, [action = std::move(action)] { action(); });
}

void KVSmallWindow::fadeIn() { fader_->fadeIn(); }

void KVSmallWindow::CenterOnScreen(QWidget* window) {
  const QScreen* screen = window->screen() ? window->screen() : QGuiApplication::primaryScreen();
  if (screen == nullptr) return;
  const QRect area = screen->availableGeometry();
  window->move(area.center() - QPoint(window->width() / 2, window->height() / 2));
}

void KVSmallWindow::runModal() {
  modal_ = true;
  fadeIn();
  QPointer<KVSmallWindow> self = this;
  KitModal::RunModal(this);
  if (self) modal_ = false;
}

void KVSmallWindow::showApplicationModal() {
  setWindowModality(Qt::ApplicationModal);
  center();
  fadeIn();
  raise();
  activateWindow();
}

void KVSmallWindow::closeEvent(QCloseEvent* event) {
  // The fader lets only the close at the end of its fade come through.
  TCImageWindow::closeEvent(event);
  if (!event->isAccepted()) return;
  if (modal_) {
    modal_ = false;
    KitModal::StopModal(0);
  }
  if (closed_) {
    auto closed = closed_;  // the handler may replace itself
    closed();
  }
}

void KVSmallWindow::keyPressEvent(QKeyEvent* event) {
  if (event->key() == Qt::Key_Escape && event->modifiers() == Qt::NoModifier) {
    close();
    return;
  }
  TCImageWindow::keyPressEvent(event);
}

QLabel* KVSmallWindow::Label(QWidget* parent, const QString& text, int pixelSize, const QColor& colour,
                             Qt::Alignment alignment, bool wrap) {
  auto* label = new QLabel(parent);
  label->setTextFormat(Qt::PlainText);  // texts from the network or a translation are never markup
  label->setText(text);
  label->setFont(KitStyle::Font(pixelSize));
  label->setAlignment(alignment);
  label->setWordWrap(wrap);
  QPalette palette = label->palette();
  palette.setColor(QPalette::WindowText, colour);
  label->setPalette(palette);
  return label;
}

KVLinkLabel::KVLinkLabel(const QString& text, QWidget* parent, std::function<void()> action)
    : QLabel(parent), action_(std::move(action)) {
  setTextFormat(Qt::PlainText);
  setText(text);
  QFont font = KitStyle::Font(13);
  font.setUnderline(true);
  setFont(font);
  QPalette palette = this->palette();
  palette.setColor(QPalette::WindowText, KitColors::kGlow);
  setPalette(palette);
  setCursor(Qt::PointingHandCursor);
}

void KVLinkLabel::mouseReleaseEvent(QMouseEvent* event) {
  if (event->button() == Qt::LeftButton && rect().contains(event->position().toPoint()) && action_) {
    action_();
    return;
  }
  QLabel::mouseReleaseEvent(event);
}

KVCloseGate::KVCloseGate(QWidget* window, std::function<bool()> mayClose, std::function<void()> asked)
    : QObject(window), mayClose_(std::move(mayClose)), asked_(std::move(asked)) {
  window->installEventFilter(this);
}

bool KVCloseGate::eventFilter(QObject* watched, QEvent* event) {
  if (event->type() == QEvent::Close && !mayClose_()) {
    event->ignore();
    asked_();
    return true;
  }
  return QObject::eventFilter(watched, event);
}
