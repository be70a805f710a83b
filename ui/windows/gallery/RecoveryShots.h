// The recovery's screenshots for the window gallery: the folder chooser, the
// three warnings on the results window (not writable, on the scanned disk,
// not enough free space), the progress window's three panes, and the end
// and stop windows. The results window shows a made-up card; the recovery
// is one the gallery tells what to report.
#pragma once

#include <QString>

#include <functional>

class QWidget;

// `shoot` writes one window's picture under a file name; answers whether
// every picture was written.
bool ShootRecoveryWindows(const std::function<bool(QWidget* window, const QString& file)>& shoot);
