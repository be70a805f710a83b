// The single bridge from the windows to the engine. This part runs long
// operations: a worker thread for the operation's body and a poller that
// turns the operation's news into notifications on the main thread.
//
// Starting while the last run still stops: the start is queued, never
// refused. A scan or recovery asked for while the previous run of the same
// operation is stopping (the user stopped it, or the results window gave up
// on a pulled disk, and the engine has not returned yet) answers success at
// once and begins on the same worker as soon as the old body returns. From
// the request on, the status is the new run's (running, so IsScanRunning and
// IsRecoveryRunning answer YES), the old run's reports and found files no
// longer reach the windows, and the poller posts the new run's name, ending
// with one post when the new run ends. Windows therefore treat every start
// the same way: ask, then wait for the notification; they never need to
// retry. A pause or stop asked for before the queued run begins applies to
// it (stopped, it ends at once with nothing found). Only a start while a run
// of the operation is running or paused is refused; the windows never ask
// for one.
#pragma once

#include <QString>
#include <QStringList>

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <vector>

class DiskVolumeNodeData;
class IFileNode;
class IStorageDevice;
class KVUIDeviceData;
class KVUIOperation;
class KVUIRecovery;
class KVUIScan;
class OpNodeData;
class QImage;
struct KVPreview;

// The rows of a result view's top level; type rows are shared with the
// file-type manager, which keeps them between rebuilds.
using KVRowArray = std::vector<std::shared_ptr<OpNodeData>>;

// What the poller watches and what it posts.
struct KVPollArgs {
  KVUIOperation* operation = nullptr;
  QString notificationName;  // "NormalScranValue" for a scan, "DoRecovery" for a recovery
  QString finishName = {};   // posted once after the last post when not empty
  // A scan or recovery window follows its operation through the name alone,
  // so news of the end is posted after the run, and news is held back while
  // the scan rebuilds its result rows (they would be read half built). A
  // save or load window learns the end from finishName and reads nothing
  // but the progress record: it gets news only as the poller sees it during
  // the run (none for a run over before the first look), rebuild or not.
  bool postEndNews = true;
  bool holdDuringRebuild = true;
};

class KVSaveAndRestoreNodeOperate;
class KVUIDeviceData;

class KVUIController {
 public:
  KVUIController() = delete;

  // Starts a run of `pollArgs.operation`: sets its status to running, starts
  // the poller, then `worker` on a thread with a 2 MiB stack. Callers need
  // not set the status first.
  //
  // Whatever way `worker` returns (also by an exception, which is logged),
  // the operation is made idle with news flagged unless the worker did so
  // itself, so the poller always ends and posts the final state.
  //
  // While the earlier run is stopping, `worker` is queued behind it (see the
  // top of this file) and the answer is true. Answers false, and starts
  // nothing, when an earlier run is running or paused, or a thread cannot be
  // made; the status is then idle again unless the earlier run still owns
  // it. When the earlier run has already gone idle and only its threads are
  // winding down, the call waits for them first.
  static bool DoOperation(std::function<void()> worker, const KVPollArgs& pollArgs);

  // The poller's body: every 0.1 s while the operation is neither idle nor
  // exited, takes the news flag and, unless the operation is rebuilding its
  // result rows (IsOpTreeFinished false, then the news is dropped; not with
  // holdDuringRebuild off), posts the name on the main thread. When the
  // operation has ended it posts once more if nothing was posted during the
  // run or news came after the last look, so a window always sees the final
  // state (not with postEndNews off); then finishName, between two log
  // lines.
  static void QueryStatusAndUpdateUI(const KVPollArgs& pollArgs);

  // The scan operation the methods below drive: the process's, or another
  // one (tests).
  static KVUIScan& Scan();
  static void UseScan(KVUIScan* scan);

  // Devices. The device list the methods below use: the process's, or
  // another one (tests).
  static void UseDevices(KVUIDeviceData* devices);
  static void GetDeviceInfoToArray(std::vector<std::unique_ptr<DiskVolumeNodeData>>* rows);
  // Posts `name` on the main thread once the device list is enumerated. A
  // request while an enumeration is queued or under way only waits for it:
  // two quick requests enumerate once (and post once).
  static void NotifiyDeviceInfoAfterInit(const QString& name);
  static void InitDeviceInfoInBgThread();
  // Enumerates afresh on the calling thread and forgets the scan's saved
  // storage. Devices a scan, its controller or its copy-out objects still
  // use stay alive: the scan holds them from the start request to the
  // release of the controller that read them.
  static void RefreshDeviceInfo();

  // Scans. A start while the previous scan still stops is queued behind it
  // (see the top of this file); one while a scan runs or pauses is refused.
  static bool DoScanWithDiskIndex(int disk, int volume, const QString& postName);
  // Empties the type and date trees before a scan's worker starts (they
  // belong to the main thread and hold the last scan's nodes); whatever
  // starts a scan calls it.
  static void EmptyResultTrees();
  static bool DoScanWithData(const DiskVolumeNodeData* row, const QString& postName);
  static bool DoDeepScan(const QString& postName);
  static void DoScanFn(IStorageDevice* storage);
  static void PauseOrResumeScan();
  static void StopScan(int discard);
  static void ResetShouldBuild();
  static bool IsScanRunning();
  static bool IsPause();
  static bool IsDeepScan();
  // See KVUIScan::GetDamagedVolumeCount.
  static uint32_t GetDamagedVolumeCount();
  // Fills both and answers the remaining time as "hh:mm:ss", or "-:-:-" when
  // it cannot be told yet or exceeds 100 hours.
  static QString GetScanProgress(double* percent, uint64_t* fileCount);
  static void GetScanFileSize(uint64_t* size, uint64_t* count);
  static void SetRecoveryType(uint32_t mask);
  // Hands the category extension lists of the type table to the engine; to
  // be called before the first filter is made.
  static void initFileType();
  static bool IsAppRunning();
  // Ends the process with status 0; a save under way is stopped first and
  // waited for a moment (StopSave), so no partial file is left behind.
  [[noreturn]] static void CloseApp();
  static void ReleaseDataRecovery();
  // The user has left the result shown (home): it goes with everything it
  // held, its devices among them (KVUIScan::ReleaseResult).
  static void ReleaseScanResult();
  static int GetCurrentScanRecoveryCnt();

  // Result trees.
  static void SetViewType(int view);
  static int GetScanTreeNodeData(KVRowArray* rows, int clear);
  static void AddNodeToArr(KVRowArray* rows);
  static void AddPathNodeToArray(KVRowArray* rows);
  static void AddTypeNodeToArr(KVRowArray* rows);
  static void AddDateNodeToArray(KVRowArray* rows);
  static bool IsFileNode(IFileNode* node, const KVRowArray& rows);
  // The files shown under a row, by the row's view.
  static int GetFileNodeToArray(std::vector<IFileNode*>* list, OpNodeData* row);
  static bool GetPathInfoToArray(std::vector<IFileNode*>* list, OpNodeData* row);
  static int GetTypeInfoToArray(std::vector<IFileNode*>* list, OpNodeData* row);
  static int GetDateInfoToArray(std::vector<IFileNode*>* list, OpNodeData* row);
  static uint64_t GetNodeChildrenCnt(OpNodeData* row);
  static uint64_t GetTimeNodeChildrenCnt(OpNodeData* row);
  static void setNodeState(OpNodeData* row, const std::vector<IFileNode*>& nodes);
  static void RefreshTypeTreeState(OpNodeData* row);
  static void RefreshTimeTreeState(const KVRowArray& roots);
  static QString getImageForType(const QString& ext);
  static void UnselectedAllNodes();
  // Asked by the results window before it rebuilds the path rows at the end
  // of a scan; the rows are rebuilt from the indexes, so there is nothing to
  // bring up to date.
  static void RefreshData();

  // Name search. Starts a search on its own thread unless one has not been
  // acknowledged yet (StopSearch); posts `postName` on the main thread when
  // the marks are set. A paused scan is searched over the files found so far
  // (see KVUIScan::DoSearch); ticks and tree walks meanwhile wait for one
  // batch of marks at most.
  static bool DoSearchWithString(const QString& key, const QString& postName);
  static void DoSearchFn(const QString& postName);
  static QString GetSearchString();
  static void StopSearch();
  // The shown files of the category index; nothing when there is no key.
  static void GetSearchResultToArr(std::vector<IFileNode*>* list);

  // Recovery. The selection is every shown, fully ticked file.
  static std::vector<IFileNode*> GetSelectedFilesAndSize(uint64_t* size);
  static void GetSelectedFilesAmout(int* count, uint64_t* size);
  // The bytes a recovery of the selection writes: the stored bytes of its
  // files (holes of sparse files left out, sizes that were damaged on disk
  // already cut to what their runs hold), for the destination's free-space
  // check.
  static uint64_t GetSelectedStoredSize();
  // Starts copying the selection into `folder`: 0, or an error when the
  // folder is empty or a recovery's worker still runs.
  static uint64_t DoRecovery(const QString& folder, const QString& postName);
  static void DoRecoveryFn();
  // The name of the file being copied, "" when none.
  static QString GetRecoveryProgressTotal(uint64_t* total, uint64_t* current, uint64_t* error);
  static bool IsRecoveryRunning();
  static bool IsRecoveryPaused();
  static void StopRecvoery();
  static void PauseOrResumeRecovery();
  static bool IsRecoveryToSameDevice(const QString& path);
  static uint64_t GetRecoveridedSize();
  static uint64_t GetRecoveridedFiles();
  // Files of the last recovery that could not be copied whole, and in
  // `tooLarge` (may be null) those of them the destination refused as too
  // large for its file system.
  static uint64_t GetFailedRecoveryFiles(uint64_t* tooLarge);
  // Where those files' copies are in the destination (the first
  // KVUIRecovery::kFailedPathsKept of them).
  static QStringList GetFailedRecoveryPaths();
  // The recovery operation the methods above drive (tests may swap it).
  static void UseRecovery(KVUIRecovery* recovery);

  // Previews of found files (app/KVUIControllerPreview.cpp, in the library
  // app_previews; what they give, and from which threads: KVUIPreview.h).
  // The thumbnail of a found file, else its type's icon name; a null
  // preview for a null node, before the category filter exists, and for a
  // video whose name has no extension.
  static KVPreview GetNSImageByFildNode(IFileNode* node);
  // The same for a node handle (a child of a row that is no row).
  static KVPreview GetNSImageByFildNodeNSNumber(uintptr_t handle);
  // The same for a row's node; a null preview for a null row.
  static KVPreview GetNSImageByNode(const OpNodeData* row);
  // A frame of the video file at `path`; null when none can be made.
  static QImage getVideoThumbFromPath(const QString& path);

  // Saving and loading scan results (KVUIControllerSave.cpp).
  // Starts saving the scan's result to `path` (save 1) or loading the file
  // at `path` (save 0). The poller posts the name RestorPostUIUpdate gave for
  // that kind ("QueryProgressInfo" for a save, "NormalScranValue" for a load
  // unless told otherwise), then "QueryProgressFinish". A load empties the
  // scan and, on the main thread, the type and date trees first. False, with
  // "QueryProgressFinish" posted at once, when it cannot start (a save, scan
  // or load still runs: a save needs the scan finished).
  static bool beginSaveOrRestoreNode(int save, const QString& path);
  // Names the notification the poller of the next (or the running) save or
  // load posts. The operation's status is left alone: the run itself sets it
  // when it starts, so a load that ended before this call stays ended.
  static void RestorPostUIUpdate(const QString& name, int save);
  // The save's (save 1) or the load's record: total, current (equal to the
  // total once the operation is over) and the outcome (0 success).
  static void GetSaveorRestoreProgress(uint64_t* total, uint64_t* current, uint64_t* error, int save);
  // Whether the last load found its file damaged and loaded what it could
  // read; then the records it left out and cut and the bytes at the end of
  // the file it could not read.
  static bool GetLoadDamage(uint64_t* leftOut, uint64_t* cut, uint64_t* unreadBytes);
  // Whether the last load showed trees whose volumes its file could not
  // vouch for (a file made before volume identities were kept).
  static bool IsLoadUnverified();
  // How many files of the last load had lost their clusters to other files
  // since the scan (the volume was written to meanwhile): they stay listed
  // and answer incomplete when copied. 0 for none.
  static uint64_t GetLoadChangedFiles();
  // Whether a save (save 1) or a load (save 0) of a scan result is under
  // way. A load runs as the scan: IsScanRunning answers YES for it too.
  static bool IsSaveOrRestoreRunning(int save);
  // Stops a save under way and waits up to `wait` for it to go. A save that
  // stops writes no file (an older file of its name stays as it was); when
  // it does not end in time its temporary file is removed all the same and
  // false is the answer. True when no save runs any more.
  static bool StopSave(std::chrono::milliseconds wait);
  // The folder (or file) of the last save, remembered in the user's settings.
  static void SavePathToPList(const QString& folder);
  static QString GetSavePath();
  // "SaveScan" in the working folder, made when missing.
  static QString GetDefaultSavePath();
  // The scanned device's name and the local time, as a safe file name
  // without extension.
  static QString GetSaveFileName();
  // The save operation and device list these methods use (tests may swap
  // them; null for the process's).
  static void UseSaveOperation(KVSaveAndRestoreNodeOperate* operation);
  static void UseSaveDevices(KVUIDeviceData* devices);
};
