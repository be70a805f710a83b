// Calls on the main thread (the thread of the QCoreApplication) and
// background work that reports back to it.
#pragma once

#include <functional>

namespace platform {

// Whether the caller runs on the main thread; false without an application.
bool IsMainThread();

// Queues `fn` to the main thread's event loop and returns at once, from any
// thread (also from the main thread itself: the call then runs later, never
// inside the caller). False when there is no application object.
bool RunOnMainThread(std::function<void()> fn);

// Runs `fn` on the main thread and waits for it to finish; on the main thread
// it runs at once. False when there is no application object. The main thread
// must not wait for the caller meanwhile.
bool RunOnMainThreadAndWait(const std::function<void()>& fn);

// Runs `work` on a pooled background thread and then queues `thenOnMain` to
// the main thread (either may be empty).
void RunInBackground(std::function<void()> work, std::function<void()> thenOnMain = {});

}  // namespace platform
