// What the results-window tests share: counting posts of a notification,
// answering the window's sheets, finding and choosing folder rows the way
// a click does, and waiting for the end of a scan.
#pragma once

#include <QLabel>
#include <QString>
#include <QStringList>

#include <functional>

#include <gtest/gtest.h>

#include "QtTestSupport.h"
#include "app/KVNode.h"
#include "platform/NotificationCenter.h"
#include "ui/widgets/CustemOutlineView.h"
#include "ui/widgets/KitSheet.h"
#include "ui/widgets/TCImageButton.h"
#include "ui/widgets/TCImageWindow.h"
#include "ui/windows/KVDeletailWindowController.h"

namespace resultstest {

// Waits for the window's sheet and answers it with `code`; false when no
// sheet came.
inline bool Answer(KVDeletailWindowController& window, int code) {
  if (!qttest::PumpUntil([&] { return window.currentSheet() != nullptr && window.currentSheet()->isOpen(); }, 10))
    return false;
  window.currentSheet()->end(code);
  return true;
}

// The texts of the window's open sheet.
inline QStringList SheetTexts(KVDeletailWindowController& window) {
  QStringList texts;
  if (window.currentSheet() == nullptr) return texts;
  for (QLabel* label : window.currentSheet()->panel()->findChildren<QLabel*>()) texts << label->text();
  return texts;
}

// Counts the wizards the window opens while it lives.
class RootWindows {
 public:
  RootWindows() {
    KVDeletailWindowController::SetRootWindowOpener([this] { ++opened_; });
  }
  ~RootWindows() { KVDeletailWindowController::SetRootWindowOpener({}); }
  int opened() const { return opened_; }

 private:
  int opened_ = 0;
};

// The folder row at `path` below `row` (names of folder rows), or null.
inline OpNodeData* FolderAt(KVDeletailWindowController& window, OpNodeData* row, const QStringList& path) {
  for (const QString& name : path) {
    OpNodeData* next = nullptr;
    for (int k = 0; row != nullptr && k < window.getNodeDataIsLeaf(row); ++k) {
      OpNodeData* child = window.folderChildAt(row, k);
      if (child != nullptr && child->name() == name) next = child;
    }
    row = next;
  }
  return row;
}

// Chooses `row` in the outline as a click does, opening its parents first.
inline void Choose(KVDeletailWindowController& window, OpNodeData* row) {
  std::vector<OpNodeData*> chain;
  for (OpNodeData* up = row != nullptr ? row->parent() : nullptr; up != nullptr; up = up->parent()) chain.push_back(up);
  for (auto it = chain.rbegin(); it != chain.rend(); ++it) window.outlineView->expandItem(*it);
  ASSERT_TRUE(window.shouldSelectItem(window.outlineView, row));
}

// Waits until the scan has ended and the window shows its result.
inline bool Browsing(KVDeletailWindowController& window, int seconds = 60) {
  return qttest::PumpUntil(
      [&] { return !KVUIController::IsScanRunning() && window.recovertyButton->isVisibleTo(window.window()); },
      seconds);
}

}  // namespace resultstest
