// The small modal window that follows the saving of a scan result to an
// ".rsf" file or the loading of one. The caller starts the operation, makes
// this window, runs it modally and, when the run returns, asks getResult()
// whether the operation succeeded. The window follows the operation only
// through notifications on the main thread: the caller's progress name
// ("NormalScranValue" when loading, "QueryProgressInfo" when saving) and
// "QueryProgressFinish". Half a second after the finish it closes, showing
// the failure alert first when the operation failed; after a good load it
// posts "ShowDetailWindow", once, when it has closed.
//
// The bar runs from 0 to 100 and never moves back, whatever the reports
// say (a total of 0, values going backwards or past the total). A close
// asked for before the finish (the close button, Escape, the window
// manager) ends the window only when the operation has ended too: a load
// is asked to stop (when the caller gave a way to) and counts as failed; a
// save runs to its end and counts as it ends. So the window never leaves an
// operation running behind it, and no notification reaches it once it is
// gone: it stops observing when it closes, and when it is destroyed.
#pragma once

#include <QObject>
#include <QPointer>
#include <QString>

#include <cstdint>
#include <functional>

class KVProgressView;
class KVSmallWindow;
class QLabel;
class QTimer;

class KVProgressWindow : public QObject {
 public:
  static constexpr int kWidth = 420;
  static constexpr int kHeight = 128;
  static constexpr int kFinishDelayMs = 500;

  using ProgressSource = std::function<void(uint64_t* total, uint64_t* current, uint64_t* error, int save)>;

  // `progress` reads the operation's record (the application core's when
  // empty).
  explicit KVProgressWindow(ProgressSource progress = {}, QObject* parent = nullptr);
  ~KVProgressWindow() override;

  // Both must be set before window() is first called.
  void setStrPostName(const QString& name) { strPostName_ = name; }
  const QString& strPostName() const { return strPostName_; }
  void setBSave(bool save) { bSave_ = save; }
  bool bSave() const { return bSave_; }
  // Whether a load that ended with an error found its file damaged and
  // shows what it could read (the application core's when not set): the
  // window then says how much was left out and counts as a success.
  using DamageSource = std::function<bool(uint64_t* leftOut, uint64_t* cut, uint64_t* unreadBytes)>;
  void setDamageSource(DamageSource damage) { damage_ = std::move(damage); }
  // The text that says how much of a damaged file was left out.
  static QString DamageText(uint64_t leftOut, uint64_t cut, uint64_t unreadBytes);
  // How to stop the load an early close gives up (none: it runs to its end).
  void setStopAction(std::function<void()> stop) { stop_ = std::move(stop); }

  // Builds the window on the first call; the observations start then.
  KVSmallWindow* window();
  // Runs the window modally; returns when it has closed.
  void runModal();
  // 1 when the operation ended without error (and was not given up), else 0.
  int getResult() const { return bSucess_ ? 1 : 0; }
  bool isFinished() const { return bFinish_; }
  // The bar's value, 0 to 100.
  double progressValue() const;

  // The progress notification: moves the bar on.
  void changeProgressValue();
  // "QueryProgressFinish": the operation ended; the window ends half a
  // second later.
  void ProgressFinish();
  void onTimer();
  // The close button: ends the window, or asks for its end (see above).
  void closeWindow();

  // The percentage a report stands for: current x 100 / total (a total of
  // 0 counts as 1), held within 0 and 100.
  static double Percent(uint64_t total, uint64_t current);

  QLabel* title = nullptr;
  QLabel* Description = nullptr;
  KVProgressView* progress = nullptr;

 private:
  void windowDidLoad();
  void stopObserving();
  void endWindow();
  void closed();

  ProgressSource progress_;
  std::function<void()> stop_;
  DamageSource damage_;
  QString damageText_;  // set when the load found its file damaged
  // The failure alert's text: a load refused because another volume lies
  // where a tree was read has its own.
  const char* failureKey_ = "READ_RSF_FAILED";
  QPointer<KVSmallWindow> aWindow;
  QTimer* timer_ = nullptr;
  QString strPostName_;
  bool bSave_ = false;
  bool bFinish_ = false;
  bool bSucess_ = false;
  bool closeAsked_ = false;
  bool ending_ = false;
  bool posted_ = false;
};
