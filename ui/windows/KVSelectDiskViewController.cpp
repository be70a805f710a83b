#include "ui/windows/KVSelectDiskViewController.h"

#include <QLabel>
#include <QScrollBar>
#include <QWidget>

#include "app/KVNode.h"
#include "app/KVPublicUtilities.h"
#include "platform/Localized.h"
#include "platform/NotificationCenter.h"
#include "ui/widgets/CustomTableHeaderView.h"
#include "ui/widgets/ImageAndTextCell.h"
#include "ui/widgets/KVCustomOutlineView.h"
#include "ui/widgets/KitImages.h"
#include "ui/widgets/KitStyle.h"
#include "ui/widgets/RFOverlayScrollView.h"
#include "ui/widgets/TCImageButton.h"
#include "ui/windows/KVWizardPage.h"

namespace {

const QString kAttach = QStringLiteral("RefreshAttachDevice");
const QString kDetach = QStringLiteral("RefreshDetachDevice");
const QString kName = QStringLiteral("Name");
const QString kSize = QStringLiteral("Size");
const QString kFileSystem = QStringLiteral("FileSystem");
const QString kSelect = QStringLiteral("select");

DiskVolumeNodeData* Row(void* item) { return static_cast<DiskVolumeNodeData*>(item); }

}  // namespace

const QColor KVSelectDiskViewController::kRowText{175, 186, 219};

KVSelectDiskViewController::KVSelectDiskViewController(KVWizardServices services, QObject* parent)
    : QObject(parent), services_(std::move(services)) {
  view_ = KVWizardPage::MakeView();
  middleLabel = KVWizardPage::MakeBand(view_, QString());
  outlineView = new KVCustomOutlineView(view_);
  outlineView->setGeometry(40, 110, 920, 350);
  outlineView->setExpandsOnDoubleClick(false);  // a double-click scans the row
  const struct {
    const QString& identifier;
    const char* title;
    int width;
  } columns[] = {{kName, "PAGE_THREE_TABLEVIEW_DRIVES", 560},
                 {kSize, "PAGE_THREE_TABLEVIEW_SIZE", 150},
                 {kFileSystem, "PAGE_THREE_TABLEVIEW_FILESYSTEM", 170},
                 {kSelect, "PAGE_THREE_TABLEVIEW_FILESYSTEM", 40}};
  for (const auto& each : columns) {
    KitTableColumn* column = outlineView->addTableColumn(each.identifier, platform::Localized(each.title), each.width);
    auto header = std::make_unique<CustomTableHeaderView>(column->headerCell()->stringValue());
    header->setFont(KitStyle::Font(12));
    column->setHeaderCell(std::move(header));
    KitTextFieldCell* cell = each.identifier == kName || each.identifier == kSelect
                                 ? column->setDataCell(std::make_unique<ImageAndTextCell>())
                                 : static_cast<KitTextFieldCell*>(column->dataCell());
    cell->setFont(KitStyle::Font(13));
  }
  // The kit's thin scrollers over the dark rows: the columns fill the
  // list's width, so only a list longer than the page scrolls, and nothing
  // takes width from the columns.
  scrollView = new RFOverlayScrollView(outlineView);
  backButton = new TCImageButton(QRect(40, 490, 100, 30), view_);
  scanButton = new TCImageButton(QRect(KVWizardPage::kWidth - 140, 490, 100, 30), view_);
  awakeFromNib();
}

KVSelectDiskViewController::~KVSelectDiskViewController() {
  platform::NotificationCenter::DefaultCenter().RemoveObserver(this);
  if (!view_) return;
  // The outline may outlive the page inside a window for a moment.
  outlineView->setDelegate(nullptr);
  outlineView->setDataSource(nullptr);
  if (view_->parent() == nullptr) delete view_;
}

void KVSelectDiskViewController::awakeFromNib() {
  enableRefreshDevice();
  middleLabel->setText(platform::Localized("PAGE_THREE_MIDLLE_STRING"));
  QObject::connect(outlineView, &KitOutlineView::doubleAction, this, [this] { doubleToScan(); });
  backButton->setButtonEnabled(true);
  backButton->setImageStem(QStringLiteral("back"));
  QObject::connect(backButton, &QAbstractButton::clicked, this, [this] { backHomeButtonAction(); });
  // Usable once something is picked.
  scanButton->setButtonEnabled(false);
  scanButton->setImageStem(QStringLiteral("continue"));
  QObject::connect(scanButton, &QAbstractButton::clicked, this, [this] { doScanAction(); });
}

void KVSelectDiskViewController::setAllDiskArr(std::shared_ptr<KVDeviceRows> rows) { allDiskArr_ = std::move(rows); }

// ---- following media -----------------------------------------------------------

void KVSelectDiskViewController::enableRefreshDevice() {
  if (following_) return;
  following_ = true;
  auto& center = platform::NotificationCenter::DefaultCenter();
  for (const QString& name : {kAttach, kDetach})
    center.AddObserver(name, this, [this](const platform::Notification&) { RefreshDevice(); });
}

void KVSelectDiskViewController::disableRefreshDevice() {
  following_ = false;
  auto& center = platform::NotificationCenter::DefaultCenter();
  center.RemoveObserver(this, kAttach);
  center.RemoveObserver(this, kDetach);
}

void KVSelectDiskViewController::removeNotification() {
  following_ = false;
  platform::NotificationCenter::DefaultCenter().RemoveObserver(this);
}

void KVSelectDiskViewController::RefreshDevice() {
  if (services_.refreshDeviceInfo) services_.refreshDeviceInfo();
  getDiskValue();
}

void KVSelectDiskViewController::getDiskValue() {
  // The old rows stay alive until the outline has let go of them.
  const std::shared_ptr<KVDeviceRows> old = allDiskArr_;
  // Where the pick was on screen: the list scrolls with it when rows come or
  // go above it, so that what the user is looking at stays put.
  const int oldScroll = outlineView->verticalScrollBar()->value();
  const int oldRow = selectDiskVolume_ != nullptr ? outlineView->rowForItem(selectDiskVolume_) : -1;
  auto rows = std::make_shared<KVDeviceRows>();
  if (services_.getDeviceInfoToArray) services_.getDeviceInfoToArray(rows.get());
  allDiskArr_ = std::move(rows);
  DiskVolumeNodeData* again = userPick_ ? find(*userPick_) : nullptr;
  selectDiskVolume_ = again != nullptr ? again : firstVolume();
  InitFinished();
  if (again == nullptr) return;
  const int newRow = outlineView->rowForItem(again);
  const int shift = oldRow >= 0 && newRow >= 0 ? (newRow - oldRow) * outlineView->rowHeight() : 0;
  outlineView->verticalScrollBar()->setValue(oldScroll + shift);
}

// ---- the outline -----------------------------------------------------------------

void KVSelectDiskViewController::InitFinished() {
  DiskVolumeNodeData* wanted = selectDiskVolume_;
  // The reload drops the outline's selection of rows that are gone; that is
  // not the user clearing the pick.
  reloading_ = true;
  outlineView->setDelegate(this);
  outlineView->setDataSource(this);
  if (allDiskArr_) {
    for (const auto& disk : *allDiskArr_) outlineView->expandItem(disk.get());
  }
  outlineView->selectItem(wanted);
  reloading_ = false;
  pick(wanted);
  if (!userPick_ && wanted != nullptr) userPick_ = keyOf(*wanted);
  reloadCellBackgroundColor();
  if (delegate_ != nullptr) delegate_->changeSelectDiskViewContinueButtonEnabled(sharedPick());
  outlineView->setFocus();
}

std::shared_ptr<DiskVolumeNodeData> KVSelectDiskViewController::sharedPick() const {
  if (selectDiskVolume_ == nullptr) return nullptr;
  return std::shared_ptr<DiskVolumeNodeData>(allDiskArr_, selectDiskVolume_);
}

void KVSelectDiskViewController::pick(DiskVolumeNodeData* row) {
  selectDiskVolume_ = row;
  selectedRow_ = row != nullptr ? outlineView->rowForItem(row) : -1;
  outlineView->setSelectCellBackgroundColorWithRow(selectedRow_);
  if (row != nullptr) {
    const DiskVolumeNodeData* parent = parentOf(row);
    row->setParentName(parent != nullptr ? parent->name() : row->name());
  }
  scanButton->setButtonEnabled(row != nullptr);
}

int KVSelectDiskViewController::numberOfChildrenOfItem(KitOutlineView*, void* item) {
  if (item == nullptr) return allDiskArr_ ? static_cast<int>(allDiskArr_->size()) : 0;
  return static_cast<int>(Row(item)->numberOfChildren());
}

void* KVSelectDiskViewController::childOfItem(KitOutlineView*, int index, void* item) {
  if (item == nullptr) {
    if (!allDiskArr_ || index < 0 || static_cast<size_t>(index) >= allDiskArr_->size()) return nullptr;
    return (*allDiskArr_)[static_cast<size_t>(index)].get();
  }
  return index < 0 ? nullptr : Row(item)->childAtIndex(static_cast<size_t>(index));
}

bool KVSelectDiskViewController::isItemExpandable(KitOutlineView* outline, void* item) {
  return numberOfChildrenOfItem(outline, item) > 0;
}

QVariant KVSelectDiskViewController::objectValueForTableColumn(KitOutlineView*, KitTableColumn* column, void* item) {
  const DiskVolumeNodeData* row = Row(item);
  if (row == nullptr) return {};
  const QString& identifier = column->identifier();
  if (identifier == kName) return row->name();
  if (identifier == kSize) return KVPublicUtilities::longlongDiskSize(static_cast<long long>(row->capacity()));
  if (identifier == kFileSystem) return KVPublicUtilities::fileSystemTypeForInt(row->fileSystem(), row->isDmg());
  return {};
}

QString KVSelectDiskViewController::IconName(const DiskVolumeNodeData& row) {
  if (row.isDmg() != 0) return QStringLiteral("mirror_image");
  if (row.isUsb() != 0) return QStringLiteral("usb.png");
  return QStringLiteral("0IconImage");
}

void KVSelectDiskViewController::willDisplayCell(KitOutlineView* outline, KitCell* cell, KitTableColumn* column,
                                                 void* item) {
  if (item == nullptr) return;
  const int row = outline->rowForItem(item);
  const bool highlighted = row >= 0 && row == outline->isSelectRow();
  auto* text = static_cast<KitTextFieldCell*>(cell);
  text->setTextColor(highlighted ? QColor(Qt::white) : kRowText);
  if (column->identifier() == kName) {
    static_cast<ImageAndTextCell*>(cell)->setImage(KitImages::Named(IconName(*Row(item))));
  } else if (column->identifier() == kSelect) {
    static_cast<ImageAndTextCell*>(cell)->setImage(
        KitImages::Named(highlighted ? QStringLiteral("select") : QStringLiteral(" ")));
  }
}

bool KVSelectDiskViewController::shouldSelectItem(KitOutlineView*, void* item) {
  bClickHead_ = false;
  pick(Row(item));
  if (selectDiskVolume_ != nullptr) userPick_ = keyOf(*selectDiskVolume_);
  return true;
}

void KVSelectDiskViewController::outlineViewSelectionDidChange(KitOutlineView* outline) {
  if (reloading_) return;
  if (outline->selectedItem() == nullptr) {  // cleared: a click on empty space
    pick(nullptr);
    userPick_.reset();
  }
  if (delegate_ != nullptr) delegate_->changeSelectDiskViewContinueButtonEnabled(sharedPick());
}

void KVSelectDiskViewController::mouseDownInHeaderOfTableColumn(KitOutlineView*, KitTableColumn*) {
  bClickHead_ = true;
}

void KVSelectDiskViewController::outlineViewItemDidExpand(KitOutlineView*, void*) { reloadCellBackgroundColor(); }

void KVSelectDiskViewController::outlineViewItemDidCollapse(KitOutlineView*, void*) { reloadCellBackgroundColor(); }

void KVSelectDiskViewController::reloadCellBackgroundColor() {
  // Rows move as disks open and close: the highlight follows the pick (none
  // while the pick is inside a closed disk).
  selectedRow_ = selectDiskVolume_ != nullptr ? outlineView->rowForItem(selectDiskVolume_) : -1;
  outlineView->setSelectCellBackgroundColorWithRow(selectedRow_);
  rootArr_.clear();
  const int rows = outlineView->numberOfRows();
  for (int row = 0; row < rows; ++row) {
    const DiskVolumeNodeData* item = Row(outlineView->itemAtRow(row));
    if (item != nullptr && item->numberOfChildren() > 0) rootArr_.append(QString::number(row));
  }
  outlineView->setIsRootArr(rootArr_);
  outlineView->viewport()->update();
}

// ---- actions ---------------------------------------------------------------------

void KVSelectDiskViewController::doScanAction() {
  if (selectDiskVolume_ != nullptr && delegate_ != nullptr) delegate_->doubleClickedListToScan();
}

void KVSelectDiskViewController::backHomeButtonAction() {
  if (delegate_ != nullptr) delegate_->backHomeButtonAction();
}

void KVSelectDiskViewController::doubleToScan() {
  // A double-click on a column header or on empty space starts nothing.
  if (outlineView->isSelectRow() != -1 && !bClickHead_) doScanAction();
}

// ---- rows ------------------------------------------------------------------------

DiskVolumeNodeData* KVSelectDiskViewController::parentOf(const DiskVolumeNodeData* row) const {
  if (row == nullptr || !allDiskArr_) return nullptr;
  for (const auto& disk : *allDiskArr_) {
    for (size_t k = 0; k < disk->numberOfChildren(); ++k) {
      if (disk->childAtIndex(k) == row) return disk.get();
    }
  }
  return nullptr;
}

DiskVolumeNodeData* KVSelectDiskViewController::firstVolume() const {
  if (!allDiskArr_) return nullptr;
  for (const auto& disk : *allDiskArr_) {
    if (disk->numberOfChildren() > 0) return disk->childAtIndex(0);
  }
  return nullptr;
}

KVSelectDiskViewController::DeviceKey KVSelectDiskViewController::keyOf(const DiskVolumeNodeData& row) const {
  const DiskVolumeNodeData* parent = parentOf(&row);
  const DiskVolumeNodeData& disk = parent != nullptr ? *parent : row;
  DeviceKey key;
  key.diskPath = disk.devicePath();
  key.diskName = disk.name();
  key.diskCapacity = disk.capacity();
  key.isDmg = disk.isDmg();
  key.isUsb = disk.isUsb();
  key.isVolume = parent != nullptr;
  key.name = row.name();
  key.capacity = row.capacity();
  key.fileSystem = row.fileSystem();
  key.volumeIndex = row.volumeIndex();
  return key;
}

DiskVolumeNodeData* KVSelectDiskViewController::find(const DeviceKey& key) const {
  if (!allDiskArr_) return nullptr;
  // Names are not enough: two images of one name, or two sticks of one
  // model, list alike, and disk indexes are handed out afresh by every
  // listing (a device attached anywhere moves the others). The device path
  // tells disks apart while they stay attached; a path given to another
  // medium meanwhile lists another name or size.
  DiskVolumeNodeData* disk = nullptr;
  for (const auto& each : *allDiskArr_) {
    if (each->name() != key.diskName || each->capacity() != key.diskCapacity || each->isDmg() != key.isDmg ||
        each->isUsb() != key.isUsb)
      continue;
    if (!key.diskPath.isEmpty() && !each->devicePath().isEmpty() && each->devicePath() != key.diskPath) continue;
    disk = each.get();
    break;
  }
  if (disk == nullptr || !key.isVolume) return disk;
  // The volume at its place on the disk, else one that looks the same
  // (a table read again may number its volumes otherwise).
  DiskVolumeNodeData* alike = nullptr;
  for (size_t k = 0; k < disk->numberOfChildren(); ++k) {
    DiskVolumeNodeData* volume = disk->childAtIndex(k);
    if (volume->name() != key.name || volume->capacity() != key.capacity || volume->fileSystem() != key.fileSystem)
      continue;
    if (volume->volumeIndex() == key.volumeIndex) return volume;
    if (alike == nullptr) alike = volume;
  }
  return alike;
}
