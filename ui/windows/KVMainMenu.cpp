#include "ui/windows/KVMainMenu.h"

#include <QApplication>
#include <QKeySequence>
#include <QMenu>
#include <QMenuBar>

#include <algorithm>

#include "app/KVAppDelegate.h"
#include "platform/Localized.h"
#include "ui/widgets/HVTitlebarView.h"
#include "ui/widgets/KitStyle.h"
#include "ui/widgets/TCImageWindow.h"
#include "ui/widgets/TCWindowButton.h"

namespace {

// Where the bar starts in a title bar: after the three window buttons.
int BarLeft(const TCImageWindow* window) {
  return static_cast<int>(window->trafficLightButtonsLeftMargin()) +
         3 * (TCWindowButton::kSize + static_cast<int>(window->trafficLightSeparation())) + 6;
}

// The delegate Quit goes to, from whichever window asks.
QPointer<KVAppDelegate>& QuitDelegate() {
  static QPointer<KVAppDelegate> delegate;
  return delegate;
}

}  // namespace

KVMainMenu::KVMainMenu(KVAppDelegate* delegate, QWidget* window)
    : QObject(window), delegate_(delegate), window_(window) {
  QuitDelegate() = delegate;
  auto* ours = dynamic_cast<TCImageWindow*>(window);
  bar_ = new QMenuBar(ours != nullptr ? static_cast<QWidget*>(ours->titleBarView()) : window);
  bar_->setNativeMenuBar(false);  // it belongs to the window's own title bar
  bar_->setFont(KitStyle::Font(12));
  QPalette palette = bar_->palette();
  palette.setColor(QPalette::Window, KitColors::kTitleBar);
  for (QPalette::ColorGroup group : {QPalette::Active, QPalette::Inactive}) {
    palette.setColor(group, QPalette::WindowText, KitColors::kHeaderText);
    palette.setColor(group, QPalette::ButtonText, KitColors::kHeaderText);
  }
  bar_->setPalette(palette);

  application = bar_->addMenu(QString());
  about = application->addAction(QString(), this, [this] { delegate_->aboutAction(); });
  checkUpdate = application->addAction(QString(), this, [this] { delegate_->CheckUpAction(); });
  application->addSeparator();
  hideSelf = application->addAction(QString(), this, [] {
    for (QWidget* each : QApplication::topLevelWidgets()) {
      if (each->isWindow() && each->isVisible() && !each->isMinimized()) each->showMinimized();
    }
  });
  showAll = application->addAction(QString(), this, [] {
    for (QWidget* each : QApplication::topLevelWidgets()) {
      if (each->isWindow() && each->isMinimized()) each->showNormal();
    }
  });
  application->addSeparator();
  exit = application->addAction(QString(), this, [this] {
    if (delegate_->applicationShouldTerminate()) delegate_->applicationWillTerminate();
  });
  exit->setShortcut(KVMainMenu::kQuitKey);

  aWindow = bar_->addMenu(QString());
  minimize = aWindow->addAction(QString(), this, [this] {
    if (window_) window_->window()->showMinimized();
  });
  minimize->setShortcut(QKeySequence(Qt::CTRL | Qt::Key_M));
  maximize = aWindow->addAction(QString(), this, [this] {
    if (!window_) return;
    QWidget* top = window_->window();
    top->isMaximized() ? top->showNormal() : top->showMaximized();
  });

  help = bar_->addMenu(QString());
  onlineHelp = help->addAction(QString(), this, [this] { delegate_->onlineHelp(); });
  supportCenter = help->addAction(QString(), this, [this] { delegate_->supportCenterAction(); });

  awakeFromNib();
  validateMenuItems();
  const int height = ours != nullptr ? std::min(22, static_cast<int>(ours->titleBarHeight())) : 22;
  bar_->adjustSize();
  bar_->setGeometry(ours != nullptr ? BarLeft(ours) : 0, 0, bar_->sizeHint().width(), height);
  bar_->show();
}

void KVMainMenu::quitApplication() {
  KVAppDelegate* delegate = QuitDelegate().data();
  if (delegate != nullptr && delegate->applicationShouldTerminate()) delegate->applicationWillTerminate();
}

void KVMainMenu::awakeFromNib() {
  application->setTitle(platform::Localized("WINDOW_TOP_TITLE"));
  aWindow->setTitle(platform::Localized("MENU_WINDOW"));
  help->setTitle(platform::Localized("MENU_HELP"));
  about->setText(platform::LocalizedFormat("MENU_ABOUT_NAME", {platform::Localized("WINDOW_TOP_TITLE")}));
  checkUpdate->setText(platform::Localized("MENU_CHECK_UPDTE"));
  hideSelf->setText(platform::Localized("MENU_HIDEN_SELF"));
  showAll->setText(platform::Localized("MENU_SHOW_ALL"));
  exit->setText(platform::Localized("MENU_EXIT"));
  maximize->setText(platform::Localized("MENU_MAXIMIZE"));
  minimize->setText(platform::Localized("MENU_MINIMIZE"));
  onlineHelp->setText(platform::Localized("MENU_ONLINE_HELP"));
  supportCenter->setText(platform::Localized("MENU_SUPPORT_CENTER"));
  // Menu texts read "&" as a keyboard mnemonic; the translation's are words.
  for (QAction* action : {about, checkUpdate, hideSelf, showAll, exit, maximize, minimize, onlineHelp, supportCenter})
    action->setText(action->text().replace(u'&', QStringLiteral("&&")));
  for (QMenu* menu : {application, aWindow, help}) menu->setTitle(menu->title().replace(u'&', QStringLiteral("&&")));
}

void KVMainMenu::validateMenuItems() {
  checkUpdate->setEnabled(delegate_->canCheckForUpdates());
  const bool hasHelp = KVAppDelegate::hasOnlineHelp();
  onlineHelp->setEnabled(hasHelp);
  supportCenter->setEnabled(hasHelp);
}
