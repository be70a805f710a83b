// Questions built from a string stem: "<stem>_TITLE" is the message,
// "<stem>_NODE" the explanation, "<stem>_YES_BUTTON" the default button
// (answers 1) and "<stem>_NO_BUTTON" the other one (answers 0), with the
// warning image. Asked inside one of the application's windows, the
// question is a sheet on it; without one (quitting from the menu with no
// window open, say) it comes in a small window of its own that blocks the
// others until answered.
#pragma once

#include <QString>

#include <functional>

class KitSheet;
class QWidget;

namespace KVAlert {

// Asks; `completion` gets the answer exactly once, later. Closing the
// alert's own window answers 0 (1 when it has the YES button alone). Answers
// the sheet (its window() is the alert's own window when it has one).
KitSheet* Begin(QWidget* window, const QString& stem, std::function<void(int)> completion, bool withNoButton = true);

// The same from the texts themselves (see KitAlert::BeginSheetWithTexts):
// an empty `no` asks with the YES button alone, and a non-empty `other` adds
// the third button (answers -1). A null `window` asks in the alert's own
// window, which blocks every other window until answered.
KitSheet* BeginWithTexts(QWidget* window, const QString& title, const QString& note, const QString& yes,
                         const QString& no, std::function<void(int)> completion, const QString& other = {});

// The application's window a question should go to: the active one when it
// is one of ours, else none.
QWidget* ActiveWindow();

}  // namespace KVAlert
