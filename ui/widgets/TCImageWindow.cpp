#include "ui/widgets/TCImageWindow.h"

#include <QMouseEvent>
#include <QWindow>

#include <cmath>

#include "ui/widgets/HVTitlebarView.h"
#include "ui/widgets/KitStyle.h"
#include "ui/widgets/TCWindowButton.h"

namespace {

// An invisible strip along an edge of a resizable window: the window manager
// resizes where it can, else we do it by hand.
class EdgeGrip : public QWidget {
 public:
  EdgeGrip(Qt::Edges edges, QWidget* window) : QWidget(window), edges_(edges) {
    setCursor(edges == Qt::RightEdge    ? Qt::SizeHorCursor
              : edges == Qt::BottomEdge ? Qt::SizeVerCursor
                                        : Qt::SizeFDiagCursor);
  }

 protected:
  void mousePressEvent(QMouseEvent* event) override {
    if (event->button() != Qt::LeftButton) return;
    QWidget* w = window();
    byHand_ = !(w->windowHandle() && w->windowHandle()->startSystemResize(edges_));
    pressGlobal_ = event->globalPosition().toPoint();
    startSize_ = w->size();
  }
  void mouseMoveEvent(QMouseEvent* event) override {
    if (!byHand_ || !(event->buttons() & Qt::LeftButton)) return;
    const QPoint delta = event->globalPosition().toPoint() - pressGlobal_;
    QSize size = startSize_;
    if (edges_ & Qt::RightEdge) size.rwidth() += delta.x();
    if (edges_ & Qt::BottomEdge) size.rheight() += delta.y();
    window()->resize(size.expandedTo(window()->minimumSize()));
  }
  void mouseReleaseEvent(QMouseEvent*) override { byHand_ = false; }

 private:
  Qt::Edges edges_;
  bool byHand_ = false;
  QPoint pressGlobal_;
  QSize startSize_;
};

}  // namespace

TCImageWindow::TCImageWindow(QWidget* parent, bool resizable) : QWidget(parent, Qt::Window | Qt::FramelessWindowHint) {
  setAutoFillBackground(true);
  container_ = new HVTitlebarContainer(this);
  titleBarView_ = new HVTitlebarView(this, container_);
  content_ = new QWidget(this);
  buttons_ = {new TCWindowButton(TCWindowButton::Kind::Close, container_),
              new TCWindowButton(TCWindowButton::Kind::Minimise, container_),
              new TCWindowButton(TCWindowButton::Kind::Zoom, container_)};
  if (resizable) {
    grips_ = {new EdgeGrip(Qt::RightEdge, this), new EdgeGrip(Qt::BottomEdge, this),
              new EdgeGrip(Qt::RightEdge | Qt::BottomEdge, this)};
  } else {
    buttons_[2]->hide();
  }
  resize(400, 300);
  layoutTrafficLightsAndContent();
}

void TCImageWindow::setTitleBarHeight(double height) {
  if (height == titleBarHeight_) return;
  titleBarHeight_ = height;
  layoutTrafficLightsAndContent();
}

void TCImageWindow::setTrafficLightButtonsLeftMargin(double margin) {
  if (margin == leftMargin_) return;
  leftMargin_ = margin;
  layoutTrafficLightsAndContent();
}

void TCImageWindow::setShowsTitle(bool shows) {
  if (shows == showsTitle_) return;
  showsTitle_ = shows;
  titleBarView_->update();
}

void TCImageWindow::setContentView(QWidget* content) {
  if (content == content_) return;
  delete content_;
  content_ = content;
  content_->setParent(this);
  content_->show();
  layoutTrafficLightsAndContent();
}

int TCImageWindow::sheetTop() const { return static_cast<int>(std::lround(titleBarHeight_)); }

void TCImageWindow::layoutTrafficLightsAndContent() {
  ++layouts_;
  const int w = width(), h = height();
  const int bar = sheetTop();
  container_->setGeometry(0, 0, w, bar);
  titleBarView_->setGeometry(0, 0, w, bar);
  // The buttons' places are worked out with y counted upwards from the
  // window's bottom edge (the layout the windows were designed in), then
  // turned into Qt's top-left coordinates.
  const double size = TCWindowButton::kSize;
  const double containerY = h - titleBarHeight_;
  const double baseY = centerTrafficLightButtons_ ? std::round(containerY + titleBarHeight_ * 0.5 - size * 0.5)
                                                  : containerY + titleBarHeight_ - size - topMargin_;
  const double y = baseY + moveUp_;
  double x = leftMargin_;
  for (TCWindowButton* button : buttons_) {
    button->move(static_cast<int>(std::lround(x)), static_cast<int>(std::lround(h - y - size)));
    button->raise();
    x += size + separation_;
  }
  content_->setGeometry(0, bar, w, std::max(0, h - bar));
  if (grips_[0]) {
    grips_[0]->setGeometry(w - kEdgeGrip, bar, kEdgeGrip, h - bar - kEdgeGrip);
    grips_[1]->setGeometry(0, h - kEdgeGrip, w - kEdgeGrip, kEdgeGrip);
    grips_[2]->setGeometry(w - kEdgeGrip, h - kEdgeGrip, kEdgeGrip, kEdgeGrip);
    for (QWidget* grip : grips_) grip->raise();
  }
  titleBarView_->update();
}

void TCImageWindow::updateTitlebarView() {
  // Disabling the bar view disables every control in it for as long as the
  // window is inactive; enabling it again gives each control back the state
  // its window set (Qt keeps a child's own disabled state apart), so a
  // control the window turned off stays off.
  titleBarView_->setEnabled(isActiveWindow());
  titleBarView_->update();
}

void TCImageWindow::resizeEvent(QResizeEvent* event) {
  QWidget::resizeEvent(event);
  layoutTrafficLightsAndContent();
}

void TCImageWindow::moveEvent(QMoveEvent* event) {
  QWidget::moveEvent(event);
  layoutTrafficLightsAndContent();
}

void TCImageWindow::changeEvent(QEvent* event) {
  QWidget::changeEvent(event);
  if (event->type() == QEvent::ActivationChange) {
    updateTitlebarView();
    layoutTrafficLightsAndContent();
  } else if (event->type() == QEvent::WindowTitleChange) {
    layoutTrafficLightsAndContent();
  }
}
