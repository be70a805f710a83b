// What the application delegate's quit guard asks about: the long operation
// under way, as the controller runs it (a scan, the load of a saved result,
// which runs as the scan, a recovery, or a save), whether it is paused, and
// which question to put. A save cannot be paused: it goes on while the
// question shows, and a quit stops it without leaving a file (see
// KVUIController::CloseApp).
#pragma once

#include <QString>

#include <functional>

#include "app/KVAppDelegate.h"

class KVQuitGuard {
 public:
  enum Operation { kNone, kScan, kLoad, kRecovery, kSave };

  // The operation a quit would cut short; a scan or load first, then a
  // recovery, then a save.
  static Operation Running();
  static bool IsOperationRunning() { return Running() != kNone; }
  static bool IsOperationPaused();
  // Pauses or resumes a scan, load or recovery; a save goes on.
  static void PauseOrResumeOperation();
  // The string stem of the question for `operation` (its "_TITLE", "_NODE",
  // "_YES_BUTTON" and "_NO_BUTTON" keys).
  static QString QuestionStem(Operation operation);

  // Puts the guard's hooks into `hooks`: the three above, and a question
  // that `ask` puts with the stem of the running operation (answering true
  // for quitting).
  using Ask = std::function<void(const QString& stem, std::function<void(bool)> answer)>;
  static void Install(KVAppDelegate::Hooks& hooks, Ask ask);
};
