// The window of every window of the application: frameless, with our own
// dark title bar of a chosen height (22 for dialogs, 90 for the results
// window), our own close, minimise and zoom buttons in it, the content below
// the bar, moving by the bar and, when resizable, resizing by its edges.
// The windows put their own controls into titleBarView(); those controls are
// dimmed and refuse input while the window is not active, and come back in
// the state the window gave them.
#pragma once

#include <QWidget>

#include <array>

class HVTitlebarContainer;
class HVTitlebarView;
class TCWindowButton;

class TCImageWindow : public QWidget {
 public:
  static constexpr double kDefaultTitleBarHeight = 22.0;
  static constexpr double kDefaultLeftMargin = 8.0;
  static constexpr double kDefaultSeparation = 6.0;
  static constexpr int kEdgeGrip = 5;

  explicit TCImageWindow(QWidget* parent = nullptr, bool resizable = false);

  double titleBarHeight() const { return titleBarHeight_; }
  // Lays out at once, unless the height is unchanged.
  void setTitleBarHeight(double height);
  double trafficLightButtonsLeftMargin() const { return leftMargin_; }
  void setTrafficLightButtonsLeftMargin(double margin);
  double trafficLightSeparation() const { return separation_; }
  double topButtonMoveUp() const { return moveUp_; }
  // Only stored: the buttons move at the next layout (resize, move,
  // activation or title change).
  void setTopButtonMoveUp(double points) { moveUp_ = points; }
  bool showsTitle() const { return showsTitle_; }
  void setShowsTitle(bool shows);
  bool showsBaselineSeparator() const { return true; }
  // The desktop's minimise-on-double-click preference; off by default.
  bool minimiseOnDoubleClick() const { return minimiseOnDoubleClick_; }
  void setMinimiseOnDoubleClick(bool on) { minimiseOnDoubleClick_ = on; }

  HVTitlebarView* titleBarView() const { return titleBarView_; }
  HVTitlebarContainer* titleBarContainer() const { return container_; }
  QWidget* contentView() const { return content_; }
  // Takes ownership; the old content view is deleted.
  void setContentView(QWidget* content);
  TCWindowButton* windowButton(int kind) const { return buttons_.at(static_cast<size_t>(kind)); }

  // Where a sheet's top edge goes: the bar's lower edge.
  int sheetTop() const;
  // How many times the bar and content were laid out (tests).
  int layoutCount() const { return layouts_; }

 protected:
  void resizeEvent(QResizeEvent* event) override;
  void moveEvent(QMoveEvent* event) override;
  void changeEvent(QEvent* event) override;

 private:
  void layoutTrafficLightsAndContent();
  void updateTitlebarView();

  double titleBarHeight_ = kDefaultTitleBarHeight;
  double leftMargin_ = kDefaultLeftMargin;
  double separation_ = kDefaultSeparation;
  double topMargin_ = 3.0;
  double moveUp_ = 0.0;
  bool centerTrafficLightButtons_ = true;
  bool showsTitle_ = false;
  bool minimiseOnDoubleClick_ = false;
  int layouts_ = 0;
  HVTitlebarContainer* container_;
  HVTitlebarView* titleBarView_;
  QWidget* content_;
  std::array<TCWindowButton*, 3> buttons_;
  std::array<QWidget*, 3> grips_{};
};
