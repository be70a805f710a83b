// The wizard's second page: every disk with its volumes in an outline of
// their names (with an icon: an attached image, a USB device or a disk),
// sizes and file systems, Back and Continue. The user picks one disk or
// volume; the page tells its delegate, the root window, of every pick and
// lists the devices again whenever media are attached or detached.
//
// The pick is always a row the page shows: the page highlights and reports
// the same row. A relisting (media come and go while the page shows) finds
// the user's pick again among the new rows, on the same device (its disk's
// device path, which no two attached disks share, then its name, size and
// file system), and keeps the list scrolled so that the pick stays where the
// user saw it. While the picked device is gone the first volume stands in;
// the user's pick comes back with its device. Continue is usable only with a
// pick.
#pragma once

#include <QObject>
#include <QPointer>
#include <QStringList>

#include <memory>
#include <optional>

#include "ui/widgets/KitOutlineView.h"
#include "ui/windows/KVWizardServices.h"

class DiskVolumeNodeData;
class KVCustomOutlineView;
class QLabel;
class QWidget;
class TCImageButton;

class KVSelectDiskViewControllerDelegate {
 public:
  virtual ~KVSelectDiskViewControllerDelegate() = default;
  // The pick changed; null when the selection was cleared. The row stays
  // valid while the pointer is held.
  virtual void changeSelectDiskViewContinueButtonEnabled(std::shared_ptr<DiskVolumeNodeData> row) = 0;
  // Continue was pressed, or a row double-clicked.
  virtual void doubleClickedListToScan() = 0;
  virtual void backHomeButtonAction() = 0;
};

class RFOverlayScrollView;

class KVSelectDiskViewController : public QObject, public IOutlineViewDataSource, public IOutlineViewDelegate {
 public:
  // The text of disk rows and of rows not highlighted; the highlighted
  // row's is white.
  static const QColor kRowText;

  explicit KVSelectDiskViewController(KVWizardServices services, QObject* parent = nullptr);
  // The view goes with the page unless a window took it over.
  ~KVSelectDiskViewController() override;

  QWidget* view() const { return view_; }
  void setDelegate(KVSelectDiskViewControllerDelegate* delegate) { delegate_ = delegate; }

  // The row to pick first (a row of the listing set next); may be null.
  void setSelectDiskVolume(DiskVolumeNodeData* row) { selectDiskVolume_ = row; }
  DiskVolumeNodeData* selectDiskVolume() const { return selectDiskVolume_; }
  void setAllDiskArr(std::shared_ptr<KVDeviceRows> rows);
  const std::shared_ptr<KVDeviceRows>& allDiskArr() const { return allDiskArr_; }
  // The highlighted row, -1 for none.
  int selectedRow() const { return selectedRow_; }

  // Fills the outline from the listing, expands every disk and picks the
  // row set by setSelectDiskVolume.
  void InitFinished();
  // Media came or went: enumerates again and lists the devices anew.
  void RefreshDevice();
  // Lists the devices anew, keeping the pick when it is still there.
  void getDiskValue();
  // Stops following media changes; enableRefreshDevice follows them again.
  void disableRefreshDevice();
  void enableRefreshDevice();
  bool isFollowingMedia() const { return following_; }
  // Stops observing everything.
  void removeNotification();

  // Continue, Back and the outline's double-click.
  void doScanAction();
  void backHomeButtonAction();
  void doubleToScan();

  // The outline's data source: the listing's disks at the top, each disk's
  // volumes under it.
  int numberOfChildrenOfItem(KitOutlineView* outline, void* item) override;
  void* childOfItem(KitOutlineView* outline, int index, void* item) override;
  bool isItemExpandable(KitOutlineView* outline, void* item) override;
  QVariant objectValueForTableColumn(KitOutlineView* outline, KitTableColumn* column, void* item) override;
  // Its delegate.
  void willDisplayCell(KitOutlineView* outline, KitCell* cell, KitTableColumn* column, void* item) override;
  bool shouldSelectItem(KitOutlineView* outline, void* item) override;
  void outlineViewSelectionDidChange(KitOutlineView* outline) override;
  void mouseDownInHeaderOfTableColumn(KitOutlineView* outline, KitTableColumn* column) override;
  void outlineViewItemDidExpand(KitOutlineView* outline, void* item) override;
  void outlineViewItemDidCollapse(KitOutlineView* outline, void* item) override;

  // The icon of a row: an attached image, a USB device, anything else.
  static QString IconName(const DiskVolumeNodeData& row);

  QLabel* middleLabel = nullptr;
  KVCustomOutlineView* outlineView = nullptr;
  TCImageButton* backButton = nullptr;
  TCImageButton* scanButton = nullptr;
  // The list's scrollers, lying over its dark rows.
  RFOverlayScrollView* scrollView = nullptr;

 private:
  // What a row stands for across listings: the device (its disk's path and
  // look) and, for a volume, the volume's place and look on it.
  struct DeviceKey {
    QString diskPath, diskName;
    uint64_t diskCapacity = 0;
    int isDmg = 0, isUsb = 0;
    bool isVolume = false;
    QString name;
    uint64_t capacity = 0;
    int fileSystem = -1, volumeIndex = -1;
  };
  DeviceKey keyOf(const DiskVolumeNodeData& row) const;
  DiskVolumeNodeData* find(const DeviceKey& key) const;

  void awakeFromNib();
  // Makes `row` (may be null) the pick: highlighted, Continue usable, its
  // parent's name set.
  void pick(DiskVolumeNodeData* row);
  void reloadCellBackgroundColor();
  DiskVolumeNodeData* parentOf(const DiskVolumeNodeData* row) const;
  DiskVolumeNodeData* firstVolume() const;
  // The pick, keeping its listing alive.
  std::shared_ptr<DiskVolumeNodeData> sharedPick() const;

  KVWizardServices services_;
  QPointer<QWidget> view_;
  KVSelectDiskViewControllerDelegate* delegate_ = nullptr;
  std::shared_ptr<KVDeviceRows> allDiskArr_;
  DiskVolumeNodeData* selectDiskVolume_ = nullptr;
  // The row the user picked (or the first pick), until the user picks again
  // or clears the pick.
  std::optional<DeviceKey> userPick_;
  int selectedRow_ = -1;
  bool bClickHead_ = false;
  bool following_ = false;
  bool reloading_ = false;
  QStringList rootArr_;
};
