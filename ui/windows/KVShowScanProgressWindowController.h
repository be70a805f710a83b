// The window that follows a recovery started from the results window. It
// has three panes, exactly one shown at a time:
//   - progress: the bar, the name of the file being copied and a stop
//     button;
//   - the stop question ("Stop recovering?"): shown by the stop button (or
//     any close of the window), which pauses the recovery; No resumes it,
//     Yes stops it;
//   - out of space: shown when the destination is full and the recovery
//     has paused itself; Continue resumes it once the user has freed space
//     (a destination still full pauses it again), Cancel stops it.
// The user's choices go to the delegate as one number: 1 pauses a running
// recovery or resumes a paused one, 2 stops it. The window closes only when
// its owner says so (closeWindow), at the end of the recovery or after a
// stop.
#pragma once

#include <QObject>
#include <QPointer>
#include <QString>

class KitElidedLabel;
class KVProgressView;
class KVSmallWindow;
class QLabel;
class TCImageButton;

class KVShowScanProgressWindowControllerDelegate {
 public:
  virtual ~KVShowScanProgressWindowControllerDelegate() = default;
  // 1: pause or resume; 2: stop.
  virtual void stopButtonAction(int value) = 0;
};

class KVShowScanProgressWindowController : public QObject {
 public:
  static constexpr int kWidth = 440;
  static constexpr int kHeight = 124;
  static constexpr int kPauseOrResume = 1;
  static constexpr int kStop = 2;

  explicit KVShowScanProgressWindowController(QObject* parent = nullptr);
  ~KVShowScanProgressWindowController() override;

  KVSmallWindow* window() const;
  void setDelegate(KVShowScanProgressWindowControllerDelegate* delegate) { delegate_ = delegate; }
  KVShowScanProgressWindowControllerDelegate* delegate() const { return delegate_; }

  // Shows the window in the middle of the screen, in front of the
  // application's other windows, which take no input while it is open.
  // Returns at once.
  void runModal();
  // Closes the window (fading out); nothing else closes it.
  void closeWindow();

  // The bar to `percent` (0 to 100); a null name leaves the last one shown.
  void changeProgressValue(double percent, const QString& name);
  // The destination is full: the out-of-space pane.
  void setNoMemeryViewHidden();

  void stopProgressButtonAction();
  void noButtonAction();
  void yesButtonAction();
  void continueButtonAction();
  void cancelButtonAction();

  // The pane shown now.
  enum class Pane { kProgress, kStopQuestion, kNoSpace };
  Pane shownPane() const;

  // The progress pane.
  QWidget* recoveryProgressView = nullptr;
  QLabel* titleLabel = nullptr;
  KVProgressView* progressBar = nullptr;
  KitElidedLabel* scaningFileName = nullptr;
  TCImageButton* stopButton = nullptr;
  // The stop question.
  QWidget* warningView = nullptr;
  QLabel* warningTitle = nullptr;
  QLabel* warningNode = nullptr;
  TCImageButton* yesButton = nullptr;
  TCImageButton* noButton = nullptr;
  // The out-of-space pane.
  QWidget* noMemeryView = nullptr;
  QLabel* noMemeryTitle = nullptr;
  QLabel* noMemeryNode = nullptr;
  TCImageButton* noMemeryContinueButton = nullptr;
  TCImageButton* noMemeryCancelButton = nullptr;

 private:
  void windowDidLoad();
  void show(Pane pane);
  void tellDelegate(int value);

  QPointer<KVSmallWindow> aWindow;
  KVShowScanProgressWindowControllerDelegate* delegate_ = nullptr;
  bool closing_ = false;
};
