// The striped outline of the disk page: background stripes that scroll with
// the rows, the row the window names in the selection blue.
#pragma once

#include "ui/widgets/KitOutlineView.h"

class KVCustomOutlineView : public KitOutlineView {
  Q_OBJECT

 public:
  explicit KVCustomOutlineView(QWidget* parent = nullptr);

 protected:
  void drawBackgroundInRect(QPainter* painter, const QRect& area) override;
};
