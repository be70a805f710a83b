// The update window: it fetches the remote version list ("IniURL" of the
// link table) and shows one of three panes: the update server cannot be
// reached, the application is up to date, or the newer version with its
// numbered release notes and a link to the download page ("UpdateURL").
// While the list is on its way, a fourth pane says the check is running.
//
// The remote list is a property list with "VersionCheck" (compared with the
// local "LocalVersionMessage"'s), "Version" (the new version's name) and the
// notes under "1", "2", ... Everything in it comes from the network and is
// shown as plain text.
#pragma once

#include <QObject>
#include <QPointer>
#include <QStringList>
#include <QVariantMap>

class KVSmallWindow;
class QLabel;
class QProgressBar;
class QScrollArea;
class QWidget;

// The application delegate: told when an update window that the start-up
// check opened has closed, so that the wizard follows.
class KVCheckUpdateWindowControllerDelegate {
 public:
  virtual ~KVCheckUpdateWindowControllerDelegate() = default;
  virtual void runRootWindow() = 0;
};

class KVCheckUpdateWindowController : public QObject {
 public:
  // Release notes shown at most, and the longest note shown whole.
  static constexpr int kMaxNotes = 100;
  static constexpr int kMaxNoteLength = 2000;
  // The longest version name shown whole.
  static constexpr int kMaxVersionLength = 40;
  // No data for this long ends the fetch of the remote list.
  static constexpr int kFetchTimeoutMs = 10000;
  // The window's area below its bar.
  static constexpr int kWidth = 420;
  static constexpr int kHeight = 290;

  KVCheckUpdateWindowController();
  ~KVCheckUpdateWindowController() override;

  KVSmallWindow* window() const { return aWindow; }

  // Not owned. Set when the start-up check made the window: every way the
  // window closes then ends in the delegate's runRootWindow.
  void setDelegate(KVCheckUpdateWindowControllerDelegate* delegate) { delegate_ = delegate; }
  KVCheckUpdateWindowControllerDelegate* delegate() const { return delegate_; }

  // Starts a check (the checking pane until the list arrives); every showing
  // of the window checks again.
  void getVersionChange();
  // Shows the pane the remote list asks for; an invalid list (it could not
  // be fetched or read) gives the no-network pane.
  void whatIsNewVersionDiff(const QVariant& remote);
  // The no-network pane alone.
  void showNoNetwork();
  // Opens the download page.
  void updateClickHereAction();
  // The close button: fades the window out and closes it.
  void closeWindow();

  // The release notes of a remote list: the texts under "1", "2", ... in
  // that order, without empty or non-text entries and other keys, at most
  // kMaxNotes, each cut to kMaxNoteLength characters.
  static QStringList ReleaseNotes(const QVariantMap& remote);
  // The height `text` takes in `font` when wrapped at `width`.
  static int heightForStringDrawing(const QString& text, const QFont& font, int width);

  // The panes, for tests and screenshots.
  QWidget* checkProgressView = nullptr;
  QWidget* noNetworkView = nullptr;
  QWidget* noUpdateView = nullptr;
  QWidget* haveUpdateView = nullptr;
  QLabel* versionLabel = nullptr;
  QScrollArea* changeValueScrollView = nullptr;
  QWidget* showVersionScrollView = nullptr;
  QLabel* updateLink = nullptr;
  QProgressBar* progressBar = nullptr;

 private:
  void windowDidLoad();
  void showOnly(QWidget* pane);

  QPointer<KVSmallWindow> aWindow;
  KVCheckUpdateWindowControllerDelegate* delegate_ = nullptr;
  // Answers of an earlier check that arrive late are dropped.
  int generation_ = 0;
};
