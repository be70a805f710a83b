#include "ui/windows/KVAboutWindowController.h"

#include "app/KVLinkUrl.h"
#include "platform/Localized.h"
#include "ui/widgets/KitImages.h"
#include "ui/widgets/KitStyle.h"
#include "ui/windows/KVSmallWindow.h"
#include "ui/windows/KVUrlOpener.h"

#ifndef CLIPMENDER_VERSION
#define CLIPMENDER_VERSION ""
#endif

KVAboutWindowController::KVAboutWindowController() {
  aWindow = new KVSmallWindow(QSize(kWidth, kHeight), 8, 1);
  windowDidLoad();
}

KVAboutWindowController::~KVAboutWindowController() {
  if (aWindow) aWindow->deleteLater();
}

void KVAboutWindowController::windowDidLoad() {
  QWidget* content = aWindow->contentView();
  auto* logo = new QLabel(content);
  logo->setPixmap(KitImages::Named(QStringLiteral("logo")));
  logo->setScaledContents(true);
  logo->setGeometry(28, 24, 64, 64);
  nameLabel = KVSmallWindow::Label(content, platform::Localized("WINDOW_TOP_TITLE"), 22, Qt::white);
  nameLabel->setGeometry(112, 30, 230, 28);
  versionLabel =
      KVSmallWindow::Label(content, platform::LocalizedFormat("ABOUT_VERSION", {QStringLiteral(CLIPMENDER_VERSION)}),
                           13, KitColors::kHeaderText);
  versionLabel->setGeometry(112, 62, 230, 20);
  KVSmallWindow::Label(content, platform::Localized("ABOUT_NOTE"), 12, KitColors::kHeaderText,
                       Qt::AlignLeft | Qt::AlignTop, true)
      ->setGeometry(28, 106, 304, 54);
  aboutlink = new KVLinkLabel(platform::Localized("ABOUT_LINK"), content, [this] { linkButtonAction(); });
  aboutlink->setAlignment(Qt::AlignCenter);
  aboutlink->setGeometry(28, 176, 304, 22);
  aboutlink->setVisible(!KVLinkUrl::WebUrl(QStringLiteral("AboutURL")).isEmpty());
  aWindow->setCloseButtonAction([this] { closeWindow(); });
}

void KVAboutWindowController::linkButtonAction() { KVUrlOpener::Open(KVLinkUrl::WebUrl(QStringLiteral("AboutURL"))); }

void KVAboutWindowController::closeWindow() {
  if (aWindow) aWindow->close();
}
