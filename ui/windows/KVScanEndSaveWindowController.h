// The window shown when a recovery has finished: a title, a note, the
// destination folder as a link that opens it in the user's file manager,
// links to share the application (each shown only when the build or the
// link table has its address) and an OK button.
//
// KVPathLink, the destination link, is shared with the stop window
// (KVScanNotEndSaveWindowController).
#pragma once

#include <QObject>
#include <QPointer>
#include <QString>
#include <QStringList>

#include <functional>

#include "ui/widgets/KitElidedLabel.h"

class KVSmallWindow;
class QLabel;
class QPlainTextEdit;
class TCImageButton;

// A folder's path drawn as a blue underlined link, cut in the middle when
// it is too long (the whole path is its tool tip); a click opens the folder.
class KVPathLink : public KitElidedLabel {
 public:
  KVPathLink(const QRect& frame, QWidget* parent, std::function<void()> clicked);
  void setPath(const QString& path);

 protected:
  void mouseReleaseEvent(QMouseEvent* event) override;

 private:
  std::function<void()> clicked_;
};

class KVScanEndSaveWindowController : public QObject {
 public:
  static constexpr int kWidth = 440;
  static constexpr int kHeight = 170;

  explicit KVScanEndSaveWindowController(QObject* parent = nullptr);
  ~KVScanEndSaveWindowController() override;

  KVSmallWindow* window() const;

  // The destination folder the link shows and opens.
  void setSavePathStr(const QString& path);
  const QString& savePathStr() const { return savePathStr_; }
  // Says how many files could not be recovered whole, and how many of them
  // the destination's file system refused as too large; nothing when none.
  // `paths` name their copies in the destination: the window grows to list
  // them (below the destination, from it), with how many more the log
  // names when they are fewer than `failed`.
  void setFailedFiles(uint64_t failed, uint64_t tooLarge, const QStringList& paths = {});

  // Shows the window in the middle of the screen, in front of the
  // application's other windows, which take no input until it closes.
  // Returns at once; `closed` runs once it has closed.
  void runModal(std::function<void()> closed = {});

  // Opens the destination folder with the desktop (as the invoking user
  // when the application runs as root); nothing for an empty path.
  void jumpToSavePath();
  void facebookButtonAction();
  void twitterButtonAction();
  void googleAddButtonAction();
  // Closes the window (fading out).
  void okButtonAction();

  KVPathLink* savePathLabel = nullptr;
  QLabel* recoveryEndTitle = nullptr;
  QLabel* recoveryEndNode = nullptr;
  QLabel* failedFilesNote = nullptr;  // hidden while every file was recovered
  // One failed file's copy a line; hidden while no path is known.
  QPlainTextEdit* failedFilesList = nullptr;
  // What the window grows by to show the list.
  static constexpr int kListGrowth = 120;
  TCImageButton* okButton = nullptr;
  // The share links, in the order of their link keys "FaceBookURL",
  // "Twitter" and "GoogleURL".
  TCImageButton* shareButtons[3] = {nullptr, nullptr, nullptr};

  // The OK button of the end and stop windows, at the bottom right.
  static TCImageButton* MakeOkButton(QWidget* content, int width, int height, std::function<void()> action);
  // Opens `path` with the desktop, when it is not empty.
  static void OpenFolder(const QString& path);

 private:
  void windowDidLoad();

  QPointer<KVSmallWindow> aWindow;
  QString savePathStr_;
  bool grown_ = false;
};
