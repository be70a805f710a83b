// What the process does around the application's event loop: apply the
// interface language given on the command line, and keep the machine awake
// while the application runs.
#pragma once

class QTimer;

namespace platform {
class KeepAwake;
}

// Makes `language` the only preferred interface language, stored in the user
// defaults (so it also holds for later starts without an argument). Prints
// "argv = <language>" to standard output and logs the change to standard
// error. A null language changes nothing.
void setCurLanguage(const char* language);

// Starts the keep-awake timer: it fires at once and then every 30 seconds for
// the life of the process, each time making sure an inhibitor is held (see
// platform/KeepAwake.h). Needs the application object; without one, or when
// the timer runs already, nothing happens.
void PreventSleep();

// The timer's callback: asks for an inhibitor unless one is held or on its
// way. `info` is the process's keep-awake object.
void MyTimerCallback(QTimer* timer, void* info);

// Stops the timer and gives the inhibitor back.
void ReleasePreventObj();

// The keep-awake timer, null while none runs.
extern QTimer* timer;

// The keep-awake object behind the timer, null while none runs (tests).
platform::KeepAwake* PreventSleepObject();
