// The application menu, as a menu bar in the title bar of the first window:
// the application's own menu (About, Check for Updates, hiding and showing
// its windows, Quit), the Window menu (Minimize, Zoom) and the Help menu
// (Online Help, Support Center). Its titles come from the string tables;
// About, Check for Updates, the help items and Quit go to the application
// delegate.
//
// Hiding the other applications has no counterpart on the Linux desktops,
// so the menu has no such item. Check for Updates and the help items are
// greyed out in a build without the addresses they need.
#pragma once

#include <QKeyCombination>
#include <QObject>
#include <QPointer>

class KVAppDelegate;
class QAction;
class QMenu;
class QMenuBar;
class QWidget;

class KVMainMenu : public QObject {
 public:
  // Builds the menu bar into `window`; both the delegate and the window must
  // outlive the menu (it is the window's child).
  KVMainMenu(KVAppDelegate* delegate, QWidget* window);

  QMenuBar* menuBar() const { return bar_; }

  // Gives every menu and item its title from the string tables.
  void awakeFromNib();
  // Enables the items that can act in this build.
  void validateMenuItems();

  // Quits as the menu's Quit does, through the delegate of the last menu
  // built (its guard asks first while a scan, load, recovery or save runs);
  // nothing when there is none. The menu lives in the wizard's title bar,
  // and its shortcut acts only there: the other windows call this for
  // their own Ctrl+Q.
  static void quitApplication();
  // Ctrl+Q, named outright: the desktop's own binding for Quit is missing
  // where Qt knows no desktop theme (offscreen, some Wayland sessions).
  static constexpr QKeyCombination kQuitKey{Qt::ControlModifier, Qt::Key_Q};

  // The menus and their items.
  QMenu* application = nullptr;
  QMenu* aWindow = nullptr;
  QMenu* help = nullptr;
  QAction* about = nullptr;
  QAction* checkUpdate = nullptr;
  QAction* hideSelf = nullptr;
  QAction* showAll = nullptr;
  QAction* exit = nullptr;
  QAction* minimize = nullptr;
  QAction* maximize = nullptr;
  QAction* onlineHelp = nullptr;
  QAction* supportCenter = nullptr;

 private:
  KVAppDelegate* delegate_;
  QPointer<QWidget> window_;
  QMenuBar* bar_;
};
