// The results window: it runs the scan of the disk or volume the wizard
// chose (or shows a result loaded from a file), shows what was found as four
// trees (by folder, by file type, by creation month, by modification month),
// lists the files of the chosen tree row, and is where the user ticks files,
// searches, previews, exports and recovers.
//
// How the wizard opens it (at `at`, the top-left corner of its frame, or in
// the middle of the screen):
//   - OpenForScan(row): shows the window and starts the quick scan of `row`
//     0.3 s later (the row is copied; the wizard may drop its own).
//   - OpenForImport(path): a window on the result the scan operation is
//     loading (or has loaded) from `path`, started by the wizard just before;
//     shown at once, or (show false) hidden until showWindow() once the load
//     succeeded. A load that failed is given up with clearImportData() and
//     deleting the controller.
// The window owns itself: it goes when it is closed. Closing it while no
// scan runs posts "appWillTerminate" (the application delegate ends the
// process); going home (home button, pulled-out disk, a scan that could not
// start) opens the wizard again through SetRootWindowOpener's function.
//
// The controller's code is split by concern, one source file each:
//   KVDeletailWindowController.cpp   set-up, scan data flow, progress, close, detached disk
//   KVDeletailWindowLayout.cpp       the window's views (split view, outlines, tables, panes, tabs)
//   KVDeletailWindowTitleBar.cpp     the title bar's controls, resizing, the deep-scan bubble
//   KVDeletailWindowOutline.cpp      outline and file-table data sources and delegates
//   KVDeletailWindowViews.cpp        file pane refresh, first row, expansion, empty notes, split limits
//   KVDeletailWindowTicks.cpp        tick boxes, header boxes, ticked-files summary, sorting
//   KVDeletailWindowTrees.cpp        tree-kind tabs, a tree row's tick, the recovery button's entry
//   KVDeletailWindowPreviews.cpp     cover flow and grid
//   KVDeletailWindowSearch.cpp       name search
//   KVDeletailWindowScanControls.cpp pause, stop, home, deep scan
//   KVDeletailWindowExport.cpp       export of the scan result
//   KVDeletailWindowRecovery.cpp     recovery flow
// State is public, as the window's parts (and tests) share it.
#pragma once

#include <QAction>
#include <QObject>
#include <QPoint>
#include <QPointer>
#include <QRect>
#include <QRectF>
#include <QSize>
#include <QString>

#include <atomic>
#include <cstdint>
#include <functional>
#include <initializer_list>
#include <memory>
#include <optional>
#include <vector>

#include "app/KVUIController.h"
#include "app/thumbnails/KVThumbnailQueue.h"
#include "ui/widgets/CNGridView.h"
#include "ui/widgets/CustomTableView.h"
#include "ui/widgets/KitImageFlowView.h"
#include "ui/widgets/KitOutlineView.h"
#include "ui/widgets/KitSheet.h"
#include "ui/widgets/NewButton.h"
#include "ui/widgets/NewSearchTextFiled.h"
#include "ui/windows/KVDeepScanViewController.h"
#include "ui/windows/KVShowScanProgressWindowController.h"

class CNGridViewItemLayout;
class CustemOutlineView;
class DiskVolumeNodeData;
class HVTitlebarView;
class IFileNode;
class KitElidedLabel;
class KitFader;
class KitImageCheckButton;
class KitOwnedTimer;
class KitSegmentedControl;
class KitSpinner;
class KVProgressView;
class KVScanEndSaveWindowController;
class KVScanNotEndSaveWindowController;
struct KVRecoveryServices;
class KVTabButton;
class MAAttachedWindow;
class OpNodeData;
class Photo;
class QColor;
class QFileDialog;
class QSplitter;
class QTimer;
class TCImageButton;
class TCImageWindow;

namespace platform {
struct Notification;
}

class KVDeletailWindowController : public QObject,
                                   public IOutlineViewDataSource,
                                   public IOutlineViewDelegate,
                                   public ITableViewDataSource,
                                   public ITableViewDelegate,
                                   public INewButtonDelegate,
                                   public INewSearchTextFiledDelegate,
                                   public KVDeepScanViewControllerDelegate,
                                   public IKitImageFlowDataSource,
                                   public IKitImageFlowDelegate,
                                   public ICNGridViewDataSource,
                                   public ICNGridViewDelegate,
                                   public ICNGridViewItemDelegate,
                                   public KVShowScanProgressWindowControllerDelegate {
 public:
  // The notification a scan (or a load) posts while it has news.
  static constexpr const char* kScanNotification = "NormalScranValue";
  static constexpr int kStartDelayMs = 300;
  static constexpr int kExpandDelayMs = 1000;
  static constexpr int kPopoverLifetimeMs = 8000;
  static constexpr int kTitleBarHeight = 90;
  static constexpr QSize kInitialSize{1000, 640};
  static constexpr QSize kMinimumSize{960, 540};
  // Tree kinds (selectTypeCount) and right-pane modes (selectSegmentCount).
  enum TreeKind : int { kPathTree = 0, kTypeTree = 1, kCreationTree = 2, kModificationTree = 3 };
  enum PaneMode : int { kListMode = 0, kCoverFlowMode = 1, kGridMode = 2 };

  // Starts a scan of a copy of `row` 0.3 s after showing the window.
  static KVDeletailWindowController* OpenForScan(const DiskVolumeNodeData& row, std::optional<QPoint> at = {});
  // A window on the result being loaded from `path`.
  static KVDeletailWindowController* OpenForImport(const QString& path, std::optional<QPoint> at = {},
                                                   bool show = true);
  // How going home reopens the wizard (the application installs it).
  static void SetRootWindowOpener(std::function<void()> open);

  // A hidden window; OpenForScan and OpenForImport show it.
  KVDeletailWindowController();
  // Closes the window if it is still there.
  ~KVDeletailWindowController() override;

  TCImageWindow* window() const { return aWindow; }
  // Shows the window (fading in).
  void showWindow();

  // The chosen disk or volume, copied (its parent name names the disk whose
  // removal ends the scan; filled from the device list when empty).
  void setSelectDiskVolumeData(const DiskVolumeNodeData& row);
  const DiskVolumeNodeData* selectDiskVolumeDataRow() const { return selectDiskVolumeData.get(); }

  // ---- Test seams ----
  // How the scan is asked for: answers whether it started. Defaults to
  // KVUIController::DoScanWithData.
  using ScanStarter = std::function<bool(const DiskVolumeNodeData* row, const QString& postName)>;
  void setScanStarter(ScanStarter starter) { scanStarter_ = std::move(starter); }
  // The sheet open on the window, if any: answer it with end(code).
  KitSheet* currentSheet() const { return sheet_; }
  // How long the deep-scan bubble stays.
  int popoverLifetimeMs = kPopoverLifetimeMs;
  // How the deep scan is asked for: answers whether it started. Defaults to
  // KVUIController::DoDeepScan.
  using DeepScanStarter = std::function<bool(const QString& postName)>;
  void setDeepScanStarter(DeepScanStarter starter) { deepScanStarter_ = std::move(starter); }
  // How the export asks for the file to write (the folder to open in and
  // the proposed name without extension; empty when the user cancels), and
  // whether a folder lies on the scanned disk. Default to a save panel and
  // KVUIController::IsRecoveryToSameDevice.
  using ExportFileChooser = std::function<QString(const QString& folder, const QString& name)>;
  void setExportFileChooser(ExportFileChooser chooser) { exportChooser_ = std::move(chooser); }
  using SameDeviceTest = std::function<bool(const QString& folder)>;
  void setSameDeviceTest(SameDeviceTest test) { sameDevice_ = std::move(test); }

  // ---- Scan data flow, progress and closing (KVDeletailWindowController.cpp) ----
  void getData();
  void getImportData(const QString& path);
  void clearImportData();
  // A loaded result whose file could not vouch for its volumes: said once,
  // then sayVolumeChanged. Both are sheets on this window: while it is
  // hidden (the load runs under the wizard's progress window), they wait
  // until showWindow, rather than come in windows of their own behind it.
  void sayUnverifiedLoad();
  // One scan notification: rows of the shown tree, outlines, progress.
  void DataInitFinished();
  void getScanProgress();
  void setFoundAllFiles();
  // The window's close button (and the window manager's close).
  void closeWindow();
  // "RefreshDetachDevice": the scanned disk went away.
  void RefreshDevice(const platform::Notification& notification);

  // ---- Title bar, resizing and the deep-scan bubble (KVDeletailWindowTitleBar.cpp) ----
  void buildDetailViewWindowTitleBar();
  void changeSelectCountLabelPos();
  void windowDidResize();
  void showPopoverWithViewController(KVDeepScanViewController* controller);
  void popupViewHidden() override;

  // ---- Outline and file tables (KVDeletailWindowOutline.cpp) ----
  int numberOfChildrenOfItem(KitOutlineView* outline, void* item) override;
  void* childOfItem(KitOutlineView* outline, int index, void* item) override;
  bool isItemExpandable(KitOutlineView* outline, void* item) override;
  QVariant objectValueForTableColumn(KitOutlineView* outline, KitTableColumn* column, void* item) override;
  void willDisplayCell(KitOutlineView* outline, KitCell* cell, KitTableColumn* column, void* item) override;
  bool shouldSelectItem(KitOutlineView* outline, void* item) override;
  void outlineViewSelectionDidChange(KitOutlineView* outline) override;
  // Folder (and grouping) children of a row: what the outline shows of it.
  int getNodeDataIsLeaf(OpNodeData* row) const;
  OpNodeData* folderChildAt(OpNodeData* row, int index) const;
  int numberOfRowsInTableView(CustomTableView* table) override;
  QVariant objectValueForTableColumn(CustomTableView* table, KitTableColumn* column, int row) override;
  void willDisplayCell(CustomTableView* table, KitCell* cell, KitTableColumn* column, int row) override;
  bool shouldSelectRow(CustomTableView* table, int row) override;
  // The rows of the shown tree.
  KVRowArray* currentTreeArray();

  // ---- File pane, first row, expansion, notes, split view (KVDeletailWindowViews.cpp) ----
  void refashDetailPageData();
  void SelectRootItem();
  void ExpandeRootItem();
  void showNoValueNote();
  // 0 shows the grid's note, anything else removes it.
  void changeNoValue(int value);
  void setButtonTitleColor(KVTabButton* button, const QColor& color);
  static double splitViewConstrainMinCoordinate(int dividerIndex);
  static double splitViewConstrainMaxCoordinate(int dividerIndex);
  static bool splitViewCanCollapseSubview() { return false; }

  // ---- Ticks, header boxes, summary, sorting (KVDeletailWindowTicks.cpp) ----
  // The header boxes of the two lists, and their rows' tick boxes.
  void listViewTableHeaderView();
  void changeCoverViewTableHeaderView();
  // 0, 1 or 2 for the files under `row` (the file list when null).
  int GetCellNodeState(OpNodeData* row);
  void changeSelectAllButtonState();
  void showSelectFilesCountAndSize();
  void reLoadTableVolumnIndicatorImage();
  // The tick box of the file at `row` of arrList, in a list or (doSelectItem)
  // on a grid tile: ticks or unticks it.
  void nsbuttonCellClick(qint64 row);
  // A header box: ticks every listed file, or unticks them when all are.
  void setAllSelectOrNoSelect();
  // Unticks everything and forgets the chosen row.
  void ClearSelectedFilesInfo();
  // A grid tile's tick changed.
  void reLoadCollectionViewData();
  // A click on a list's column header sorts the list by that column.
  void didClickTableColumn(CustomTableView* table, KitTableColumn* column) override;

  // ---- Tree kinds, tree-row ticks, recovery button (KVDeletailWindowTrees.cpp) ----
  void connectTreeKindButtons();
  void pathButtonClick();
  void typeButtonClick();
  // The creation-date tree (the date tab and its first choice).
  void timeButtonClick();
  void modifyTimeButtonClick();
  // A tree row's tick box.
  void clickButtonAction(NewButton* sender) override;
  // Brings in the recovery button (when hidden) and the ticked-files summary.
  void showRecoveryButton();

  // ---- Cover flow and grid (KVDeletailWindowPreviews.cpp) ----
  // Both return once their loader has stopped (at once when none runs).
  void stopImageLoading();
  void stopGridImageLoading();
  void showGridView();
  void showCoverFlowerViewWithRefresh(int refresh);
  void selectedCoverFlow(qint64 index);
  // Loads the cover flow's thumbnails around `index`, after stopping the
  // loader's last run.
  void coverFlowLoadImageThread(qint64 index);
  // The view switch: list, cover flow or grid.
  void segmentSelect(KitSegmentedControl* sender);
  // Shows arrList anew in the pane of the current view (the cover flow
  // from its first file), then the header boxes and the ticked summary.
  void showFilesInMode();
  qint64 numberOfItemsInImageFlow(KitImageFlowView* view) override;
  const IKitImageFlowItem* imageFlowItemAtIndex(KitImageFlowView* view, qint64 index) override;
  void imageFlowDidSelectItemAtIndex(KitImageFlowView* view, qint64 index) override;
  quint64 numberOfItemsInSection(CNGridView* grid, qint64 section) override;
  CNGridViewItemBase* itemAtIndex(CNGridView* grid, qint64 index, qint64 section) override;
  // A grid tile's tick box: ticks or unticks the file of list row `index`.
  void doSelectItem(qint64 index) override;

  // ---- Name search (KVDeletailWindowSearch.cpp) ----
  void doSearchWithKey(const std::optional<QString>& key) override;
  // Searches for the field's text when it changed.
  void doSearch();
  // Empties the field and searches for the empty text: everything again.
  void searchClearButtonClick();
  // The text searched for: one blank less at either end.
  static QString GetSearchText(const QString& text);
  // "DoSearchValue": a search ended.
  void SearchTreeView(const platform::Notification& notification);

  // ---- Pause, stop, home, deep scan (KVDeletailWindowScanControls.cpp) ----
  void backButtonAction();
  void pauseButtonClick();
  void stopButtonClick();
  void deepSrcanButtonAction();
  // Tears the window down and reopens the wizard 0.2 s later; a non-zero
  // argument asks SaveScanResult first.
  void doBackHomeAction(int save);
  bool SaveScanResult();
  static void showRootWindow();
  // Unticks every row of the four trees.
  void untickAllRows();
  // A confirmed stop, 0.5 s after the answer: the scan stops and still
  // builds the trees of what it found.
  void stopAction();
  // Starts the deep scan the button asked for 0.2 s before.
  void doDeepScanAction();

  // ---- Export (KVDeletailWindowExport.cpp) ----
  void createExportButton(int show);
  void exportButtonAction();
  // Saves the result to `path` under the progress window; true when saved.
  bool saveScanResultTo(const QString& path);

  // ---- Recovery (KVDeletailWindowRecovery.cpp) ----
  // Asks for the destination folder (the chooser is `panel`).
  void recovrtyButtonClick();
  // The chooser closed: 1 with a folder chosen. Then the folder's checks:
  // writable, not on the scanned disk, room for the ticked files.
  void openPanelEnded(int code);
  // Starts the recovery into recoverySavePathStr.
  void beginRecovery();
  // "DoRecovery": news of the recovery.
  void recoveryAction(const platform::Notification& notification);
  // The progress window's answers: 1 pause or resume, 2 stop.
  void stopButtonAction(int value) override;
  void showRecoveryEndWindow();
  void showRecoveryNotEndWindow();
  // Test seam: what the flow asks of the application core (KVUIController
  // and the file system by default).
  void setRecoveryServices(const KVRecoveryServices& services);

  // ---- The chosen disk or volume ----
  std::unique_ptr<DiskVolumeNodeData> selectDiskVolumeData;

  // ---- Tree rows ----
  KVRowArray allDiskArr;        // path tree
  KVRowArray allTypeArr;        // file-type tree
  KVRowArray allCreatTimeArr;   // creation-month tree
  KVRowArray allModifyTimeArr;  // modification-month tree
  qint64 selectTypeCount = kPathTree;
  // Files of the chosen tree row (or of a search): the right pane's rows.
  std::vector<IFileNode*> arrList;
  qint64 selectSegmentCount = kListMode;

  // ---- Selection ----
  OpNodeData* opDataFile = nullptr;  // the chosen tree row
  qint64 selectedRow = -1;           // its outline row until the next selection change
  qint64 selectCellCount = 0;        // row chosen in the cover-flow list
  int isSelectOutlineList = 0;
  KitTableColumn* aTableColumn = nullptr;  // last sorted column
  int isSorted = 0;                        // 1: the next sort is ascending
  int selectedFileCnt = 0;                 // ticked files
  uint64_t selectedFileSize = 0;
  uint64_t selectValue = 0;

  // ---- Previews ----
  std::vector<std::shared_ptr<Photo>> photos;  // cover-flow items, one per row of arrList
  std::shared_ptr<Photo> publicItem;           // the cover flow's placeholder
  qint64 flowSelectedIndex = 0;
  // Loader states: -1 never started, 0 running, 1 stop asked, 2 ended.
  std::atomic<int> nImageState{-1};
  std::atomic<int> gridImageState{-1};
  KVThumbnailQueue coverFlowQueue{nImageState};
  KVThumbnailQueue operationQueue{gridImageState};  // grid thumbnails, one at a time
  QTimer* refreshTimer = nullptr;
  quint64 viewLoadCnt = 0;
  std::shared_ptr<CNGridViewItemLayout> defaultLayout, hoverLayout, selectionLayout;

  // ---- Search ----
  NewSearchTextFiled* search = nullptr;
  QString lastSearchStr;

  // ---- Scan state (flags are 0 or 1) ----
  int isDeepScan = 0;
  int isPause = 0;           // the user paused with the pause button
  int isCanClick = 0;        // home, pause and stop may be used
  int isCloseWindow = 0;     // closing once the stopped scan has ended
  int isSelectBackHome = 0;  // going home once the stopped scan has ended
  int isImport = 0;          // a loaded result is shown
  int bSave = 0;             // the result was exported
  int isCreateTimeTreeRebuild = 0;
  int isModifyTimeTreeRebuild = 0;
  qint64 lastUpdateTime = 0;  // seconds of the last remaining-time update

  // ---- Title bar ----
  TCImageWindow* aWindow = nullptr;
  // Ctrl+Q: quits as the application menu's Quit does (that menu is the
  // wizard's, whose shortcut acts only in its own window).
  QAction* quitAction = nullptr;
  HVTitlebarView* titleBarView = nullptr;
  TCImageButton* backHomeButton = nullptr;
  KitElidedLabel* homeLabel = nullptr;
  TCImageButton* continueButton = nullptr;  // deep scan
  KitElidedLabel* deepScanLabel = nullptr;
  QWidget* abox = nullptr;    // the progress box
  QWidget* subBox = nullptr;  // inside abox: progress, counts, pause, play, stop
  KitSpinner* loadImageView = nullptr;
  KVProgressView* progressView = nullptr;
  TCImageButton* pauseButton = nullptr;
  TCImageButton* continueScanButton = nullptr;  // resume
  TCImageButton* stopButton = nullptr;
  KitElidedLabel* selectFilesLabel = nullptr;
  TCImageButton* recovertyButton = nullptr;
  KitElidedLabel* findFilesLabel = nullptr;
  KitElidedLabel* remainTimeLabel = nullptr;
  TCImageButton* exportButton = nullptr;                    // made when a scan ends
  QWidget* pointButton = nullptr;                           // where the deep-scan bubble points
  KitImageCheckButton* listViewSelectAllButton = nullptr;   // tableView's header box
  KitImageCheckButton* coverViewSelectAllButton = nullptr;  // coverFlowerTableView's header box

  // ---- Tree kinds, split view and panes ----
  KVTabButton* pathButton = nullptr;
  KVTabButton* typeButton = nullptr;
  KVTabButton* timeButton = nullptr;  // the date tab, holding the two date choices
  KVTabButton* creatButton = nullptr;
  KVTabButton* modifyButton = nullptr;
  QSplitter* splistView = nullptr;
  QWidget* splistLeftView = nullptr;
  QWidget* PTOutlineViewBlowView = nullptr;  // holds outlineView (path and type trees)
  QWidget* timeOutlineBlowView = nullptr;    // holds timeOutlineView (date trees)
  CustemOutlineView* outlineView = nullptr;
  CustemOutlineView* timeOutlineView = nullptr;
  KitSegmentedControl* segment = nullptr;  // list, cover flow, grid
  QWidget* tableScrollView = nullptr;      // holds tableView
  CustomTableView* tableView = nullptr;
  QWidget* coverFlower = nullptr;  // holds flowView over coverFlowerTableView
  KitImageFlowView* flowView = nullptr;
  CustomTableView* coverFlowerTableView = nullptr;
  QWidget* gridView = nullptr;  // holds gridMainView
  CNGridView* gridMainView = nullptr;
  QWidget* gridNoValueView = nullptr;  // the grid's empty note, made on demand
  QWidget* nodeView = nullptr;

  // ---- Deep-scan bubble ----
  std::unique_ptr<KVDeepScanViewController> deepScanVC;
  QPointer<MAAttachedWindow> attachedWindow;
  QPointer<QWidget> popView;
  int isClodePopView = 0;

  // ---- Recovery ----
  QPointer<QFileDialog> panel;
  QRect rectNew;
  QString recoverySavePathStr;
  // The three windows are children of the controller: they go with it.
  KVShowScanProgressWindowController* recoveryProgressWindow = nullptr;
  KVScanEndSaveWindowController* scanEndSaveWC = nullptr;
  KVScanNotEndSaveWindowController* scanNotEndSaceWC = nullptr;
  int isBeginRecovery = 0;
  int isFinishRecovery = 1;  // 0 from the start of a recovery until its end is handled
  int isRecoveryEndSHowWindow = 0;
  std::shared_ptr<KVRecoveryServices> recoveryServices;  // null: KVRecoveryServices::Default()

 protected:
  bool eventFilter(QObject* watched, QEvent* event) override;

 private:
  void awakeFromNib();
  void windowDidLoad();
  // The window's views, as a layout file would give them (Layout.cpp).
  void buildLayout();
  // Wires the view switch, the cover flow and the grid (Previews.cpp).
  void connectPreviews();
  // Asks for the scan of selectDiskVolumeData; a refusal is said in a sheet.
  void startScan();
  void scanCouldNotStart();
  // Once a quick scan has ended: when volumes of it could not be read whole,
  // a sheet says so (what was found is shown, or nothing could be) and
  // offers the deep scan. Once per scan.
  void sayDamagedVolumes();
  bool damageSaid_ = false;
  // Once a loaded result is shown, after sayUnverifiedLoad's sheet: when
  // files of it lost their clusters to files written since the scan, a sheet
  // says how many (they stay listed and copy out as failed). Once per load.
  bool unverifiedSaid_ = false;
  void sayVolumeChanged();
  bool changeSaid_ = false;
  bool loadSheetsWaiting_ = false;
  // Starts the polling that posts the loaded result's notifications.
  void startRestorePolling();
  void observeResults();
  // Sheets on this window; the answer comes later.
  void beginSheet(const QString& stem, std::function<void(int)> completion, bool withNoButton = true);
  void beginDetachSheet();
  // Selects `row` in `outline` as a click would, without asking about keys.
  void selectTreeRow(KitOutlineView* outline, OpNodeData* row);
  // Empties arrList and reloads both file tables.
  void clearFileList();
  // Lets every row, the file list and the loaders' nodes go, with the
  // result that found them: before the next scan, or home.
  void dropResultRows();
  void reloadOutlines();
  void reloadTables();
  // The label texts with their values.
  void setRemainingTimeText(const QString& text);
  void setFilesFoundText(const QString& count);
  void setAllFilesSizeText();
  // The window went (closed): the controller follows.
  void windowDestroyed();
  // Shows the tree of `kind` (Trees.cpp).
  void switchTree(int kind);
  void dropBubble();
  // Slides the recovery button out of the progress box, `gap` points past
  // its right edge, as the box widens again; then hides it.
  void slideRecoveryButtonOut(double gap);
  // A deep scan that did not start: says so and shows the last result again.
  void deepScanCouldNotStart();
  static void SetVisible(std::initializer_list<QWidget*> widgets, bool visible);
  // Places `child` at `frame` (origin at its parent's bottom-left corner)
  // and keeps it there by the autoresizing `mask` as the parent resizes.
  static void setFrame(QWidget* child, const QRectF& frame, unsigned mask);

  ScanStarter scanStarter_;
  DeepScanStarter deepScanStarter_;
  ExportFileChooser exportChooser_;
  SameDeviceTest sameDevice_;
  KitFader* fader_ = nullptr;
  QPointer<KitSheet> sheet_;
  KitOwnedTimer* expandTimer_ = nullptr;
  KitOwnedTimer* popoverTimer_ = nullptr;
  KitOwnedTimer* startTimer_ = nullptr;
  // Keeps the tree row of opDataFile alive (its top-level row).
  std::shared_ptr<OpNodeData> opDataFileRoot_;
  bool closing_ = false;
};
