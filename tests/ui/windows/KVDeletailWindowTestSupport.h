// What the results-window tests share: a window on the made-up scene or on a
// device, answering the window's sheets, finding, choosing and ticking rows
// the way a click does, and waiting for the end of a scan.
#pragma once

#include <QLabel>
#include <QPointer>
#include <QString>
#include <QStringList>

#include <cstdint>
#include <cstdlib>
#include <ctime>
#include <functional>
#include <map>
#include <string>

#include <gtest/gtest.h>

#include "KVWindowsTestSupport.h"
#include "QtTestSupport.h"
#include "WizardTestSupport.h"
#include "app/KVNode.h"
#include "app/KVUIDeviceData.h"
#include "platform/NotificationCenter.h"
#include "ui/widgets/CustemOutlineView.h"
#include "ui/widgets/KitSheet.h"
#include "ui/widgets/TCImageButton.h"
#include "ui/widgets/TCImageWindow.h"
#include "ui/windows/KVDeletailWindowController.h"
#include "ui/windows/gallery/ResultsScene.h"

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

// An entry of the path tree as the window lists it.
struct Listed {
  bool folder = false;
  bool deleted = false;
  int64_t size = -1;
  bool operator==(const Listed&) const = default;
};

// Every folder row below `row` and the files each lists when chosen, by
// path from the root ("a/b"), as a user clicking through the tree sees them;
// a folder named `skipAtTop` right below `row` is left out.
inline void ClickThrough(KVDeletailWindowController& window, OpNodeData* row, const std::string& path,
                         std::multimap<std::string, Listed>& shown, const std::string& skipAtTop = {}, int depth = 0) {
  ASSERT_LT(depth, 64);
  Choose(window, row);
  for (IFileNode* file : window.arrList) {
    const std::string name = OpNodeData::fileNodeName(file).toStdString();
    shown.emplace(path.empty() ? name : path + "/" + name,
                  Listed{false, OpNodeData::isFileNodeDeleted(file), static_cast<int64_t>(OpNodeData(file).size())});
  }
  for (int k = 0; k < window.getNodeDataIsLeaf(row); ++k) {
    OpNodeData* folder = window.folderChildAt(row, k);
    const std::string name = folder->name().toStdString();
    if (depth == 0 && !skipAtTop.empty() && name == skipAtTop) continue;
    const std::string sub = path.empty() ? name : path + "/" + name;
    shown.emplace(sub, Listed{true, folder->isDeleted(), -1});
    ClickThrough(window, folder, sub, shown, skipAtTop, depth + 1);
  }
}

// The application for a window on a real scan: FAT keeps local times, so
// the zone is the one the peers ran in; every category is looked for.
inline void StartForScans() {
  ::setenv("TZ", "UTC", 1);
  ::tzset();
  windowtest::Start();
  KVUIController::initFileType();
  KVUIController::SetRecoveryType(0x7f);
}

// Waits until the scan has ended and the window shows its result.
inline bool Browsing(KVDeletailWindowController& window, int seconds = 60) {
  return qttest::PumpUntil(
      [&] { return !KVUIController::IsScanRunning() && window.recovertyButton->isVisibleTo(window.window()); },
      seconds);
}

// Clicks the tick box of `row` in `outline`, as the box's cell reports it.
inline void TickRow(KVDeletailWindowController& window, KitOutlineView* outline, OpNodeData* row) {
  KitTableColumn* column = outline->tableColumnWithIdentifier(QStringLiteral("Name"));
  auto* cell = static_cast<NewButton*>(column->dataCell());
  window.willDisplayCell(outline, cell, column, row);
  window.clickButtonAction(cell);
}

// The grouping rows below `row` (a type or date tree's rows).
inline std::vector<OpNodeData*> SubRows(OpNodeData* row) {
  std::vector<OpNodeData*> rows;
  for (auto& child : row->children()) {
    if (auto* sub = std::get_if<std::unique_ptr<OpNodeData>>(&child)) rows.push_back(sub->get());
  }
  return rows;
}

// A results window scanning the disk at `devicePath` (its first volume, or
// the disk when it has none) as the wizard hands it over; null when the
// device list does not hold it.
inline KVDeletailWindowController* OpenOnDevice(const std::string& devicePath) {
  KVUIController::RefreshDeviceInfo();
  const int disk = wizardtest::DiskIndexOf(devicePath);
  std::vector<std::unique_ptr<DiskVolumeNodeData>> rows;
  KVUIController::GetDeviceInfoToArray(&rows);
  for (const auto& row : rows) {
    if (row->diskIndex() == disk && disk >= 0)
      return KVDeletailWindowController::OpenForScan(row->numberOfChildren() > 0 ? *row->childAtIndex(0) : *row);
  }
  return nullptr;
}

// A window whose scans are the scene's (ResultsScene.h); the disk it scans
// is called "CARD".
struct SceneWindow {
  explicit SceneWindow(resultsscene::Scene& scene) {
    windowtest::Start();
    _DiskVolumeData disk;
    disk.name = "CARD";
    disk.diskIndex = 7;
    disk.volumeIndex = 0;
    DiskVolumeNodeData row(disk);
    row.setParentName(QStringLiteral("CARD"));
    controller = new KVDeletailWindowController;
    controller->setSelectDiskVolumeData(row);
    controller->setScanStarter([&scene](const DiskVolumeNodeData* asked, const QString& name) {
      EXPECT_EQ(asked->parentName(), QStringLiteral("CARD"));
      return scene.Start(name);
    });
    controller->showWindow();
  }
  ~SceneWindow() { delete controller.data(); }
  // Scans, and waits until the window shows the result.
  bool ScanToTheEnd() {
    controller->getData();
    return Browsing(*controller);
  }
  KVDeletailWindowController* operator->() const { return controller; }
  KVDeletailWindowController& operator*() const { return *controller; }

  QPointer<KVDeletailWindowController> controller;
};

inline QStringList Names(const KVDeletailWindowController& window) {
  QStringList names;
  for (IFileNode* file : window.arrList) names << OpNodeData::fileNodeName(file);
  return names;
}

}  // namespace resultstest
