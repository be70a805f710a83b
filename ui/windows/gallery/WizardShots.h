// The wizard's screenshots for the window gallery: the category page, the
// disk page over a machine of three disks, and the progress window of a
// load under way.
#pragma once

#include <QDir>
#include <QString>

#include <functional>

class QWidget;

// `shoot` writes one window's picture under a file name; answers whether
// every picture was written.
bool ShootWizardWindows(const std::function<bool(QWidget* window, const QString& file)>& shoot);
