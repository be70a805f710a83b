// The results window's four trees for the window gallery, over a scan of
// the made-up camera card: the path tree with a folder partly ticked, the
// type tree with an extension ticked, and the creation and modification
// trees with their months opened.
#pragma once

#include <QString>

#include <functional>

class QWidget;

// `shoot` writes one window's picture under a file name; answers whether
// every picture was written.
bool ShootResultTrees(const std::function<bool(QWidget* window, const QString& file)>& shoot);
