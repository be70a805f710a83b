// The scan controls' screenshots for the window gallery: the results window
// paused with a file ticked, the question a stop asks, a deep scan under
// way, the question about saving onto the scanned disk, and the progress
// window of a save.
#pragma once

#include <QString>

#include <functional>

class QWidget;

// `shoot` writes one window's picture under a file name; answers whether
// every picture was written.
bool ShootScanControls(const std::function<bool(QWidget* window, const QString& file)>& shoot);
