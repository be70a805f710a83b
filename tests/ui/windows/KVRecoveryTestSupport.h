// What the recovery tests of the results window share: answering the folder
// chooser, finding the small windows that are open, and the recovery's own
// windows as the user sees them.
#pragma once

#include <QApplication>
#include <QDialogButtonBox>
#include <QFileDialog>
#include <QPushButton>
#include <QString>

#include <vector>

#include "QtTestSupport.h"
#include "ui/windows/KVDeletailWindowController.h"
#include "ui/windows/KVScanEndSaveWindowController.h"
#include "ui/windows/KVScanNotEndSaveWindowController.h"
#include "ui/windows/KVShowScanProgressWindowController.h"
#include "ui/windows/KVSmallWindow.h"

namespace recoverytest {

// Waits for the window's folder chooser; false when none came.
inline bool PanelOpen(KVDeletailWindowController& window, int seconds = 10) {
  return qttest::PumpUntil([&] { return window.panel && window.panel->isVisible(); }, seconds);
}

// Chooses `folder` in the open chooser, as the user would: goes there and
// presses the chooser's button.
inline bool ChooseFolder(KVDeletailWindowController& window, const QString& folder) {
  if (!PanelOpen(window)) return false;
  window.panel->setDirectory(folder);
  QDialogButtonBox* buttons = window.panel->findChild<QDialogButtonBox*>();
  QPushButton* choose = buttons != nullptr ? buttons->button(QDialogButtonBox::Open) : nullptr;
  // The chooser looks at the folder before it lets it be chosen.
  if (choose == nullptr || !qttest::PumpUntil([&] { return choose->isEnabled(); }, 10)) return false;
  choose->click();
  return !window.panel;
}

inline bool CancelChooser(KVDeletailWindowController& window) {
  if (!PanelOpen(window)) return false;
  QDialogButtonBox* buttons = window.panel->findChild<QDialogButtonBox*>();
  if (buttons == nullptr || buttons->button(QDialogButtonBox::Cancel) == nullptr) return false;
  buttons->button(QDialogButtonBox::Cancel)->click();
  return !window.panel;
}

// The application's small windows that are on the screen now.
inline std::vector<KVSmallWindow*> ShownSmallWindows() {
  std::vector<KVSmallWindow*> shown;
  for (QWidget* each : QApplication::topLevelWidgets()) {
    auto* small = dynamic_cast<KVSmallWindow*>(each);
    if (small != nullptr && small->isVisible()) shown.push_back(small);
  }
  return shown;
}

// The recovery's windows on the screen, when shown.
inline KVShowScanProgressWindowController* ShownProgress(KVDeletailWindowController& window) {
  KVShowScanProgressWindowController* progress = window.recoveryProgressWindow;
  return progress != nullptr && progress->window()->isVisible() ? progress : nullptr;
}
inline KVScanEndSaveWindowController* ShownEnd(KVDeletailWindowController& window) {
  KVScanEndSaveWindowController* end = window.scanEndSaveWC;
  return end != nullptr && end->window()->isVisible() ? end : nullptr;
}
inline KVScanNotEndSaveWindowController* ShownStop(KVDeletailWindowController& window) {
  KVScanNotEndSaveWindowController* stop = window.scanNotEndSaceWC;
  return stop != nullptr && stop->window()->isVisible() ? stop : nullptr;
}

// Waits until no small window is on the screen.
inline bool NoneOpen(int seconds = 10) {
  return qttest::PumpUntil([] { return ShownSmallWindows().empty(); }, seconds);
}

}  // namespace recoverytest
