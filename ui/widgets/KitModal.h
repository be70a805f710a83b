// Modal sessions: RunModal shows a window that blocks the others and returns
// when StopModal is called, with its code. Sessions nest (a modal window may
// open from inside the handler of a notification that another modal window
// is waiting on); StopModal always ends the innermost one still running.
#pragma once

class QWidget;

namespace KitModal {

int RunModal(QWidget* window);
// Ends the innermost running session; does nothing when none runs.
void StopModal(int code = 0);
// How many sessions are running.
int Depth();

}  // namespace KitModal
