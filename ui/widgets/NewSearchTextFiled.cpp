#include "ui/widgets/NewSearchTextFiled.h"

#include <QPainter>
#include <QPainterPath>
#include <QToolButton>

#include <algorithm>

#include "ui/widgets/KitImages.h"
#include "ui/widgets/KitStyle.h"

namespace {
constexpr qreal kBackingRadius = 15.0;
constexpr int kIcon = 16;

QToolButton* IconButton(QWidget* parent, const QString& image) {
  auto* button = new QToolButton(parent);
  button->setAutoRaise(true);
  button->setFocusPolicy(Qt::NoFocus);
  button->setIcon(QIcon(KitImages::Named(image)));
  button->setIconSize(QSize(kIcon, kIcon));
  button->setStyleSheet(QStringLiteral("QToolButton { border: none; background: transparent; }"));
  return button;
}
}  // namespace

NewSearchTextFiled::NewSearchTextFiled(QWidget* parent) : QWidget(parent) {
  resize(200, 24);
  textField_ = new QLineEdit(this);
  textField_->setFrame(false);
  textField_->setFont(KitStyle::Font(13));
  QPalette palette = textField_->palette();
  palette.setColor(QPalette::Base, Qt::transparent);
  palette.setColor(QPalette::Text, KitColors::kLabelText);
  palette.setColor(QPalette::PlaceholderText, KitColors::kPlaceholder);
  textField_->setPalette(palette);
  textField_->setPlaceholderText(QStringLiteral("Search"));
  searchButton_ = IconButton(this, QStringLiteral("search_normal"));
  clearButton_ = IconButton(this, QStringLiteral("search_clear"));
  clearButton_->hide();

  // Only the user's edits count, and focus loss ends nothing: a search
  // starts on Return or the search button.
  connect(textField_, &QLineEdit::textEdited, this, [this](const QString& text) { controlTextDidChange(text); });
  connect(textField_, &QLineEdit::returnPressed, this, [this] { send(textField_->text()); });
  connect(searchButton_, &QToolButton::clicked, this, [this] { doSearchAction(); });
  connect(clearButton_, &QToolButton::clicked, this, [this] { clearTextFieldAction(); });
}

void NewSearchTextFiled::setEnabled(bool enabled) {
  textField_->setEnabled(enabled);
  searchButton_->setEnabled(enabled);
  clearButton_->setEnabled(enabled);
}

void NewSearchTextFiled::setTitleWithMnemonic(const QString&) {
  clearButton_->hide();
  textField_->clear();
}

void NewSearchTextFiled::doSearchAction() { send(textField_->text()); }

void NewSearchTextFiled::clearTextFieldAction() {
  const bool hadText = !textField_->text().isEmpty();
  clearButton_->hide();
  textField_->clear();
  if (hadText) send(std::nullopt);
}

void NewSearchTextFiled::controlTextDidChange(const QString& text) {
  clearButton_->setVisible(!text.isEmpty());
  if (text.isEmpty()) send(std::nullopt);
}

void NewSearchTextFiled::send(const std::optional<QString>& key) {
  if (delegate_ == nullptr) return;
  // An empty field searches for the empty text, which is not "no key".
  delegate_->doSearchWithKey(key.has_value() ? std::optional<QString>(key->isNull() ? QString("") : *key)
                                             : std::nullopt);
}

void NewSearchTextFiled::paintEvent(QPaintEvent*) {
  QPainter painter(this);
  painter.setRenderHint(QPainter::Antialiasing);
  QPainterPath path;
  const qreal radius = std::min(kBackingRadius, height() / 2.0);
  path.addRoundedRect(QRectF(rect()), radius, radius);
  painter.fillPath(path, Qt::black);
}

void NewSearchTextFiled::resizeEvent(QResizeEvent*) {
  const int y = (height() - kIcon) / 2;
  searchButton_->setGeometry(6, y, kIcon, kIcon);
  clearButton_->setGeometry(width() - kIcon - 6, y, kIcon, kIcon);
  textField_->setGeometry(6 + kIcon + 4, 0, width() - 2 * (kIcon + 10), height());
}
