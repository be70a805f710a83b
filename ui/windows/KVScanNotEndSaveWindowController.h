// The window shown when the user stopped a recovery: how many files were
// recovered before the stop, the destination folder as a link that opens
// it, and an OK button.
#pragma once

#include <QObject>
#include <QPointer>
#include <QString>

#include <functional>

class KVPathLink;
class KVSmallWindow;
class QLabel;
class TCImageButton;

class KVScanNotEndSaveWindowController : public QObject {
 public:
  static constexpr int kWidth = 440;
  static constexpr int kHeight = 150;

  explicit KVScanNotEndSaveWindowController(QObject* parent = nullptr);
  ~KVScanNotEndSaveWindowController() override;

  KVSmallWindow* window() const;

  // The note with `files` (a count, shown without decimals) and the
  // destination `path`.
  void changeRecoveryFilesPoint(double files, const QString& path);
  const QString& savePtahStr() const { return savePtahStr_; }

  // As the end window's (KVScanEndSaveWindowController).
  void runModal(std::function<void()> closed = {});
  void jumpToSavePath();
  void okButtonAction();

  QLabel* showRecoveryNoteLabel = nullptr;
  KVPathLink* savePathLabel = nullptr;
  TCImageButton* okButton = nullptr;

 private:
  void windowDidLoad();

  QPointer<KVSmallWindow> aWindow;
  QString savePtahStr_;
};
