// The dark outline of the results window: every row in the dark row colour,
// the row the window names in the selection blue.
#pragma once

#include "ui/widgets/KitOutlineView.h"

class CustemOutlineView : public KitOutlineView {
  Q_OBJECT

 public:
  explicit CustemOutlineView(QWidget* parent = nullptr);

 protected:
  void drawBackgroundInRect(QPainter* painter, const QRect& area) override;
};
