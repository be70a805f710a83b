// The About window: the application's name, version and purpose, and a
// link to its web page ("AboutURL" of the link table), which is left out
// when the build has no page.
#pragma once

#include <QObject>
#include <QPointer>

class KVLinkLabel;
class KVSmallWindow;
class QLabel;

class KVAboutWindowController : public QObject {
 public:
  static constexpr int kWidth = 360;
  static constexpr int kHeight = 220;

  KVAboutWindowController();
  ~KVAboutWindowController() override;

  KVSmallWindow* window() const { return aWindow; }

  // Opens the web page.
  void linkButtonAction();
  // The close button: fades the window out and closes it.
  void closeWindow();

  QLabel* nameLabel = nullptr;
  QLabel* versionLabel = nullptr;
  KVLinkLabel* aboutlink = nullptr;

 private:
  void windowDidLoad();

  QPointer<KVSmallWindow> aWindow;
};
