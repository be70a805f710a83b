// The frame every small window of the application shares (About, update,
// progress and end windows): a 22-point title bar covered by the image
// "pop_header_bg" with the application's name centred on it, a fade in when
// shown and a fade out before it closes, and a close button that may be
// rewired to its controller. Escape and the window manager's close fade it
// out like the close button.
//
// Run modally, the window ends its modal session when it closes; whoever
// asked for the close, the closed handler runs once the window is gone.
#pragma once

#include <QLabel>
#include <QPointer>

#include <functional>

#include "ui/widgets/TCImageWindow.h"

class KitFader;

class KVSmallWindow : public TCImageWindow {
 public:
  static constexpr int kTitleBarHeight = 22;

  // A window whose area below the bar is `contentSize`; the window buttons
  // sit `buttonsLeftMargin` from the left edge, `topButtonMoveUp` higher.
  KVSmallWindow(const QSize& contentSize, double buttonsLeftMargin, double topButtonMoveUp = 0);

  QLabel* titleLabel() const { return titleLabel_; }
  QLabel* headerImage() const { return headerImage_; }

  // A click on the close button calls `action` instead of closing.
  void setCloseButtonAction(std::function<void()> action);
  // Runs once the window has closed, after its fade.
  void setClosedHandler(std::function<void()> handler) { closed_ = std::move(handler); }

  // Shows the window, fading in when it was hidden.
  void fadeIn();
  // Centres the window on its screen's free area.
  void center() { CenterOnScreen(this); }
  static void CenterOnScreen(QWidget* window);
  // Shows the window modally; returns once it has closed.
  void runModal();
  bool isRunningModal() const { return modal_; }
  // Shows the window in the middle of the screen, in front of the others,
  // which take no input while it is open; returns at once.
  void showApplicationModal();

  // A plain-text label of the small windows: DejaVu at `pixelSize`, in
  // `colour`, wrapping when `wrap`.
  static QLabel* Label(QWidget* parent, const QString& text, int pixelSize, const QColor& colour,
                       Qt::Alignment alignment = Qt::AlignLeft | Qt::AlignVCenter, bool wrap = false);

 protected:
  void closeEvent(QCloseEvent* event) override;
  void keyPressEvent(QKeyEvent* event) override;
  void resizeEvent(QResizeEvent* event) override;

 private:
  void layoutHeader();

  QLabel* headerImage_;
  QLabel* titleLabel_;
  KitFader* fader_;
  std::function<void()> closed_;
  bool modal_ = false;
};

// An underlined text that acts as a web link: a click calls the action.
class KVLinkLabel : public QLabel {
 public:
  KVLinkLabel(const QString& text, QWidget* parent, std::function<void()> action);

 protected:
  void mouseReleaseEvent(QMouseEvent* event) override;

 private:
  std::function<void()> action_;
};

// Holds the closes of a window (its close button, Escape, the window
// manager, close()) that `mayClose` does not allow: each calls `asked`
// instead. Owned by the window; the window's own fade only sees the closes
// let through.
class KVCloseGate : public QObject {
 public:
  KVCloseGate(QWidget* window, std::function<bool()> mayClose, std::function<void()> asked);

 protected:
  bool eventFilter(QObject* watched, QEvent* event) override;

 private:
  std::function<bool()> mayClose_;
  std::function<void()> asked_;
};
