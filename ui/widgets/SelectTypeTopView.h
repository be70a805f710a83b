// The dark band across the top of the wizard's pages: one flat colour.
#pragma once

#include <QWidget>

class SelectTypeTopView : public QWidget {
 public:
  explicit SelectTypeTopView(QWidget* parent = nullptr);

 protected:
  void paintEvent(QPaintEvent* event) override;
};
