// The large category button of the first page: a state image, the category's
// title under it and a tick box showing whether the category is chosen. The
// page toggles the tick from the button's clicked signal. Given no images, it
// draws as the style's plain button with its title on the control colour.
// KVHandButton is a plain button that shows the pointing hand while the
// pointer is over it.
#pragma once

#include <QAbstractButton>
#include <QPixmap>
#include <QPushButton>

class QLabel;

class TypeButton : public QAbstractButton {
 public:
  explicit TypeButton(const QRect& frame, QWidget* parent = nullptr);

  // Builds the title and the tick box; the category starts chosen.
  void setTextWithName(const QString& title);
  void setImageFromFileNormalName(const QString& normal, const QString& active, const QString& hover,
                                  const QString& disable);
  void changeSelect(bool selected);
  // Usable or not, besides the widget's own enabled state: an unusable
  // button ignores presses and draws its disabled image with a grey title.
  void setButtonEnabled(bool usable);

  bool isSelect() const { return select_; }
  bool isFocus() const { return focus_; }
  bool isTracking() const { return tracking_; }
  QLabel* textField() const { return textField_; }
  QLabel* checkBox() const { return checkBox_; }

 protected:
  void paintEvent(QPaintEvent* event) override;
  void mousePressEvent(QMouseEvent* event) override;
  void mouseReleaseEvent(QMouseEvent* event) override;
  void enterEvent(QEnterEvent* event) override;
  void leaveEvent(QEvent* event) override;

 private:
  bool usable() const { return usable_ && isEnabled(); }
  void setTitleColour(const QColor& colour);

  QPixmap normalImage_, activeImage_, hoverImage_, disableImage_;
  QLabel* textField_ = nullptr;
  QLabel* checkBox_ = nullptr;
  bool tracking_ = false, focus_ = false, usable_ = true, select_ = false;
  QRect dstRect_{20, 0, 50, 50};
};

class KVHandButton : public QPushButton {
 public:
  explicit KVHandButton(QWidget* parent = nullptr);
};
