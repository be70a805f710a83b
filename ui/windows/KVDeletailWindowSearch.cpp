// The name search of the results window's title bar.
#include "platform/NotificationCenter.h"
#include "ui/windows/KVDeletailWindowController.h"

// The field is shown; searching from it is not offered yet.
void KVDeletailWindowController::doSearchWithKey(const std::optional<QString>&) {}

void KVDeletailWindowController::SearchTreeView(const platform::Notification&) {}
