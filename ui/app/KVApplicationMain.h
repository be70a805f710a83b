// The whole program from its command line to the end of its event loop:
// ui/app/main.cpp calls nothing else. A test that starts the application as the
// program starts it calls it too, and watches the windows it opens.
#pragma once

#include <functional>

class KVDeletailWindowController;
class KVRootWindowController;

// What a caller is told as the application opens its windows (on the main
// thread; either may be empty).
struct KVApplicationWatch {
  // The wizard has been shown: the first one, and each one after a results
  // window went home.
  std::function<void(KVRootWindowController* root)> rootWindowShown;
  // The wizard opened a results window, for a scan or for a load (which
  // shows it once the load has ended well).
  std::function<void(KVDeletailWindowController* results)> resultsWindowOpened;
};

// argv[1], when given, is the interface language. Answers the process's exit
// status when the event loop ends; quitting ends the process from within.
int KVApplicationMain(int argc, char** argv, KVApplicationWatch watch = {});
