// The tree-kind tabs of the results window (path, file type, date, and the
// date tab's created and modified choices): a flat button that draws one
// background image stretched over its frame (the chosen tab's, or none) and
// its title centred in a colour of its own. Naming an image that does not
// exist ("" or " ") clears it.
#pragma once

#include <QAbstractButton>
#include <QColor>
#include <QPixmap>

class KVTabButton : public QAbstractButton {
 public:
  explicit KVTabButton(const QString& title, QWidget* parent = nullptr);

  void setImageNamed(const QString& name);
  const QString& imageName() const { return imageName_; }
  void setTitleColor(const QColor& color);
  const QColor& titleColor() const { return titleColor_; }

  QSize sizeHint() const override;

 protected:
  void paintEvent(QPaintEvent* event) override;

 private:
  QString imageName_;
  QPixmap image_;
  QColor titleColor_{Qt::white};
};
