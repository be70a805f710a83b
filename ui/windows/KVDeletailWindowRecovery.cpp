// Recovering the ticked files from the results window.
#include "platform/NotificationCenter.h"
#include "ui/windows/KVDeletailWindowController.h"

// The recovery button is shown, disabled until files are ticked; recovering
// from it is not offered yet.
void KVDeletailWindowController::recovrtyButtonClick() {}

void KVDeletailWindowController::recoveryAction(const platform::Notification&) {}
