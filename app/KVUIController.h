// The single bridge from the windows to the engine. This part runs long
// operations: a worker thread for the operation's body and a poller that
// turns the operation's news into notifications on the main thread.
#pragma once

#include <QString>

#include <functional>

class KVUIOperation;

// What the poller watches and what it posts.
struct KVPollArgs {
  KVUIOperation* operation = nullptr;
  QString notificationName;  // "NormalScranValue" for a scan, "DoRecovery" for a recovery
};

class KVUIController {
 public:
  KVUIController() = delete;

  // Starts a run of `pollArgs.operation`: sets its status to running, starts
  // the poller, then `worker` on a thread with a 2 MiB stack. Callers need
  // not set the status first.
  //
  // Whatever way `worker` returns (also by an exception, which is logged),
  // the operation is made idle with news flagged unless the worker did so
  // itself, so the poller always ends and posts the final state.
  //
  // Answers false, and starts nothing, when a worker or poller of an earlier
  // run of the operation is still there (a stopped engine that has not
  // returned yet) or a thread cannot be made; the status is then idle again
  // unless the earlier run still owns it. When the earlier run has already
  // gone idle and only its threads are winding down, the call waits for
  // them first.
  static bool DoOperation(std::function<void()> worker, const KVPollArgs& pollArgs);

  // The poller's body: every 0.1 s while the operation is neither idle nor
  // exited, takes the news flag and, unless the operation is rebuilding its
  // result rows (IsOpTreeFinished false, then the news is dropped), posts the
  // name on the main thread. When the operation has ended it posts once more
  // if nothing was posted during the run or news came after the last look,
  // so a window always sees the final state.
  static void QueryStatusAndUpdateUI(const KVPollArgs& pollArgs);
};
