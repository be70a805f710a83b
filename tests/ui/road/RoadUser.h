// The user at the keyboard of the road's walk: a thread of its own that
// looks at the windows and acts on them as a person does, one thing at a
// time, while the application's main thread runs freely (modal windows and
// their event loops included). What it does to the windows is posted to the
// main thread as input events; what it looks at is read there, between two
// events. It writes what it does and sees to standard output ("road: ..."),
// a screenshot of every step into its folder of shots, and gives up, with a
// screenshot of what it faced, when something it waits for does not come.
#pragma once

#include <QPoint>
#include <QString>
#include <Qt>

#include <functional>
#include <memory>
#include <string>
#include <thread>

class QWidget;

class RoadUser {
 public:
  // Shots are named "PREFIX-NN-name.png".
  RoadUser(QString shots, QString prefix);

  // Starts `walk` on the user's thread (once, from the main thread); when it
  // returns, the user waits for the application to end.
  void Start(std::function<void(RoadUser&)> walk);

  // Runs `look` on the main thread and answers what it answers.
  template <typename T>
  T See(const std::function<T()>& look) {
    T answer{};
    OnMainThread([&] { answer = look(); });
    return answer;
  }
  void See(const std::function<void()>& look) { OnMainThread(look); }

  // Posts `act` to the main thread and waits until it has begun (it may open
  // a modal window, which keeps it from returning until that closes).
  void Do(const std::function<void()>& act);
  // A left click on `widget` at `at` (its middle when null); a press and a
  // release, as the pointer gives them.
  void Click(const std::function<QWidget*()>& widget, std::function<QPoint()> at = {});
  void DoubleClick(const std::function<QWidget*()>& widget, std::function<QPoint()> at);
  // Keys typed into `widget`, one at a time.
  void Type(const std::function<QWidget*()>& widget, const QString& text);
  void Key(const std::function<QWidget*()>& widget, Qt::Key key);

  // Waits until `seen` answers true, looking every 50 ms; gives up after
  // `seconds` with `what` as the reason.
  void Until(const std::string& what, const std::function<bool()>& seen, int seconds = 60);
  // Lets the windows settle for `ms` (a person's glance).
  void Pause(int ms);

  // A new step of the walk: said on standard output.
  void Step(const std::string& name);
  // A screenshot of the screen as it is now, "PREFIX-NN-name.png" in the
  // folder of shots (NN counts the shots).
  void Shot(const QString& name);
  // Something seen that should not be: said now, and the walk fails at its
  // end.
  void Saw(const std::string& fault);
  int faults() const { return faults_; }
  // Gives up: says why, takes a last screenshot and ends the process with
  // status 1.
  [[noreturn]] void Fail(const std::string& why);

 private:
  void OnMainThread(const std::function<void()>& look);

  QString shots_, prefix_;
  int shotCount_ = 0;
  int faults_ = 0;
  std::string step_;
  std::unique_ptr<std::thread> thread_;
};
