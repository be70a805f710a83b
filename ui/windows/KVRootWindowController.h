// The application's first window, the wizard: the category page, then the
// disk page (skipped when there is only one thing to scan), then the hand-
// over to the results window, for a new scan of the picked disk or volume
// or for a scan result loaded from an ".rsf" file (the import button in the
// title bar, shown on the disk step).
//
// The results window is reached through hooks (SetResultsWindowHooks), and
// the application core through KVWizardServices. Closing the wizard with its
// close button (or the window manager's) posts "appWillTerminate"; handing
// over hides it without.
#pragma once

#include <QObject>
#include <QPointer>
#include <QRect>
#include <QString>
#include <QStringList>

#include <functional>
#include <memory>

#include "ui/windows/KVProgressWindow.h"
#include "ui/windows/KVSelectDiskViewController.h"
#include "ui/windows/KVSelectTypeViewController.h"
#include "ui/windows/KVSmallWindow.h"
#include "ui/windows/KVWizardServices.h"

class DiskVolumeNodeData;
class QLabel;
class TCImageButton;

// What the wizard asks of the results window.
struct KVResultsWindowHooks {
  // Continue, a double-click or a skipped disk page: a results window for
  // `row` (its parent name set: the disk's name, or its own for a disk),
  // placed at ResultsWindowFrame(wizardFrame, its size) and shown; it starts
  // its scan 0.3 s later. The pointer keeps the row alive.
  std::function<void(std::shared_ptr<DiskVolumeNodeData> row, const QRect& wizardFrame)> openForScan;
  // A load of `path` has just been started: a results window placed as for
  // a scan but not shown, that follows the load.
  std::function<void(const QString& path, const QRect& wizardFrame)> openForImport;
  // The load ended well ("ShowDetailWindow", and again once the progress
  // window has ended): show that window. Asked twice; the second time it is
  // shown already.
  std::function<void()> showImported;
  // The load failed or was given up: the results window forgets it, closes
  // and goes.
  std::function<void()> discardImport;
};

class KVRootWindowController : public QObject,
                               public KVSelectTypeViewControllerDelegate,
                               public KVSelectDiskViewControllerDelegate {
 public:
  static constexpr int kWidth = 1000;
  static constexpr int kHeight = 560;  // below the 22-point title bar
  // The results window's lower edge sits this far below the wizard's.
  static constexpr int kResultsWindowDrop = 50;
  // The category mask of a loaded result: every category.
  static constexpr uint32_t kImportMask = 0x7f;

  // Pages of the wizard.
  enum Page { kNoPage = 0, kCategoryPage = 2, kDiskStep = 3 };

  // What the disk-page rule makes of a device listing.
  struct DiskPageChoice {
    // Things to scan: every volume, and a disk whose single volume leaves
    // 100000 bytes or more of it unused (the whole disk is offered too).
    int candidates = 0;
    DiskVolumeNodeData* firstVolume = nullptr;
    DiskVolumeNodeData* lastVolume = nullptr;
    // Go straight to the results window with lastVolume.
    bool skipDiskPage = false;
  };
  static DiskPageChoice ChooseDiskPage(const KVDeviceRows& rows);

  // Where the results window goes: its left edge under the wizard's, its
  // lower edge kResultsWindowDrop below the wizard's.
  static QRect ResultsWindowFrame(const QRect& wizardFrame, const QSize& resultsSize);

  // Builds the window and shows the category page (the window itself is
  // shown by showWindow). When another process of the application runs,
  // ends this one at once with status 0 instead.
  explicit KVRootWindowController(KVWizardServices services = KVWizardServices::Default(), QObject* parent = nullptr);
  ~KVRootWindowController() override;

  KVSmallWindow* window() const { return aWindow; }
  void showWindow();

  void SetResultsWindowHooks(KVResultsWindowHooks hooks) { hooks_ = std::move(hooks); }
  // Chooses the ".rsf" file to load, starting in `startPath` (a folder or a
  // file; may be empty); empty when the user cancels. An open panel unless
  // set.
  void SetImportFileChooser(std::function<QString(const QString& startPath)> chooser) { chooser_ = std::move(chooser); }

  int whichPage() const { return whichPage_; }
  uint32_t selectValues() const { return selectValues_; }
  DiskVolumeNodeData* selectVolumeData() const { return selectVolumeData_.get(); }
  KVSelectTypeViewController* selectTypeVC() const { return selectTypeVC_.get(); }
  KVSelectDiskViewController* selectDiskVC() const { return selectDiskVC_.get(); }
  const QString& importFilePath() const { return importFilePath_; }
  // The progress window of the load under way, else null.
  KVProgressWindow* progressWindow() const { return progressWindow_; }
  // Set by the results window when it brings the wizard back.
  int isNotFristLoad() const { return isNotFristLoad_; }
  void setIsNotFristLoad(int value) { isNotFristLoad_ = value; }

  // The close button: the window fades out and the application ends.
  void closeWindow();
  // Moves on: from the category page to the disk step, from the disk step
  // to the results window.
  void selectTypesContinouButtonClick();
  void getDiskData();
  // "aInitFinished": the device list is ready; applies the disk-page rule.
  void InitFinished();
  void backHome();
  void importButtonClick();
  void showDetailWindow();

  // The category page.
  void beginToStartScan() override;
  void changeContinueButtonState(const QStringList& selected) override;
  // The disk page.
  void changeSelectDiskViewContinueButtonEnabled(std::shared_ptr<DiskVolumeNodeData> row) override;
  void doubleClickedListToScan() override;
  void backHomeButtonAction() override;

  QLabel* titleLabel() const;
  TCImageButton* importButton = nullptr;

 private:
  void windowDidLoad();
  void showCategoryPage();
  void handOver();
  void getImportDataForDetialPage();
  QString chooseImportFile();
  void removeObservers();
  // Page slides: immediate, the pages move by the content's width.
  void animationContinueViewFristView(QWidget* first, QWidget* second);
  void animationBackViewFristView(QWidget* first, QWidget* second);

  KVWizardServices services_;
  KVResultsWindowHooks hooks_;
  std::function<QString(const QString&)> chooser_;
  QPointer<KVSmallWindow> aWindow;
  std::unique_ptr<KVSelectTypeViewController> selectTypeVC_;
  std::unique_ptr<KVSelectDiskViewController> selectDiskVC_;
  QPointer<KVProgressWindow> progressWindow_;
  QString importFilePath_;
  std::shared_ptr<DiskVolumeNodeData> selectVolumeData_;
  int whichPage_ = kNoPage;
  uint32_t selectValues_ = 0;
  int isNotFristLoad_ = 0;
  bool importing_ = false;
  bool handedOver_ = false;
};
