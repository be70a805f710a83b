// The scan operation: runs one engine scan per volume on the operation's
// worker, and indexes what the engine finds (by file-system root, category
// and month of creation and modification) as it arrives, so the windows can
// build result rows from copies of the indexes while the scan goes on.
//
// Threads: DoScan runs on the worker; the engine calls UpdateProgress,
// Continued, ShowFilesystemNode and ShowNodes on that thread too; every
// other operation may be called from any thread. Index writes and copies
// take the operation's lock, one node at a time, so a reader waits for at
// most one node's indexing. The nodes themselves are read and marked under
// the found-file tree lock (NodeTreeLock, FileNode.h), never under the
// operation's lock: whoever holds the tree lock may take the operation's
// lock, never the other way round.
//
// The indexed nodes belong to the engine's recovery controller: the indexes
// and the copy-out objects are emptied before the controller that found
// them is released (at the start of the next scan, or when the operation
// goes), and a search under way is waited for first. They are emptied as
// soon as the next scan or load is asked for, on the thread that asks (the
// main thread, which makes the result rows): rows made after the request
// never hold nodes that its worker is about to release. Rows made before
// it are the windows' to drop before they ask. The controller holds
// the device list's devices it reads (KVUIDeviceData::HoldDevices) from the
// moment it is made until it is released, so a refresh of the list never
// takes them from it, from its copy-out objects or from a scan still
// stopping on a pulled disk, and their medium stays open as long; the saved
// storage only keeps its device's record (KeepDevices). The controller goes
// when the next scan or load starts, or when the user leaves its result
// (ReleaseResult), whichever comes first.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "DirectoryTree.h"
#include "RecoveryController.h"
#include "RecoveryFilter.h"
#include "ResultCode.h"
#include "app/KVUIOperation.h"

class IDataRecovery;
class IStorageDevice;
class KVUIDeviceData;
class RestoreScanSink;

// The owner of the engine's one category filter.
class KVUIFilter {
 public:
  static KVUIFilter& instance();
  IRecoveryFilter* GetFilter();
  // Makes the filter when there is none and sets its category bits.
  void ResetFilter(uint32_t mask);

 private:
  KVUIFilter();
  std::mutex m_lock;
  IRecoveryFilter* m_filter = nullptr;
};

// Result views of the windows.
enum KVViewType : uint32_t {
  KVViewPath = 0,
  KVViewFileType = 1,
  KVViewCreationDate = 2,
  KVViewModificationDate = 3,
  KVViewAccessDate = 4,
};

class KVUIScan : public KVUIOperation, public IDrirectoryTree {
 public:
  using MonthIndex = std::map<int, std::map<int, std::vector<IFileNode*>>>;  // year -> month (1-12) -> files
  using TypeIndex = std::map<_FILTER_TYPE, std::vector<IFileNode*>>;
  using ControllerFactory = std::function<IRecoveryController*(_RECOVERY_CONTROLLER_TYPE)>;

  // Result codes of DoScan besides the engine's.
  static constexpr ResultCode kNothingScanned = 0x0104003100000001ull;
  static constexpr ResultCode kVolumeScanNotStarted = 0x0104012400000001ull;

  // The scan operation of the process.
  static KVUIScan& instance();

  // An operation over `devices` (the machine's model when null) that makes
  // its controllers with `factory` (the engine's when empty).
  explicit KVUIScan(KVUIDeviceData* devices = nullptr, ControllerFactory factory = {});
  // The pause DoScan makes before it starts (80 ms), for the windows to
  // take the new scan in; a program without windows loading thousands of
  // results needs none.
  void SetStartPause(uint32_t microseconds) { m_startPause = microseconds; }
  // Stops a running scan and waits for its worker, then lets the copy-out
  // objects and the controller go.
  ~KVUIScan() override;

  // The calls the recovery operation wants around every scan: its copy-out
  // objects are let go before the controller changes, and its parameters
  // reset afterwards.
  void SetRecoveryHooks(std::function<void()> releaseCopyOut, std::function<void()> resetParameters);

  // The scan body. The operation must be running (KVUIController::
  // DoOperation sets it so). With `restoreSink`, the controller replays the
  // saved result instead of reading the device. Whatever way it returns,
  // the operation ends (idle, with news flagged), unless `endRun` is false.
  ResultCode DoScan(IStorageDevice* storage, RestoreScanSink* restoreSink, bool endRun = true);
  // DoScan replaying a saved result through `restoreSink`, which the
  // controller made for it keeps for as long as it lives (it asks the sink
  // for partition records whenever it makes a copy-out object). The
  // operation goes on running: the load ends it once all it tells of the
  // result (the files changed since the scan, whether its volumes could be
  // verified, its damage) is known, so that no window that hears of its end
  // reads these before they are.
  ResultCode DoRestore(IStorageDevice* storage, std::shared_ptr<RestoreScanSink> restoreSink);
  // The user has left the result (home, another load): its indexes, its
  // copy-out objects and those of the recovery operation, the controller
  // with its nodes and replay sink, and the devices they held go now, so
  // that no medium stays open for a result nobody looks at. Does nothing
  // while a scan or load runs (it is that run's to end).
  void ReleaseResult();

  void SaveScanSorage(IStorageDevice* storage);
  IStorageDevice* GetSavedStorage();
  void SetDeepScan(int deep);
  // The deep flag; a quick request for a volume whose file system no quick
  // searcher reads turns it on, so that volume gets a complete scan.
  bool IsDeepScan();
  _RECOVERY_CONTROLLER_TYPE GetScanControllerType(IStorageDevice* storage);
  IRecoveryController* GetRecoveryController();

  bool IsOpTreeFinished() override;
  void SetOpTreeFinished(int finished) override;

  std::vector<IFilesystemNode*> GetFileSystemNode();
  TypeIndex GetTypeMap();
  MonthIndex GetCreateTimeMap();
  MonthIndex GetModifyTimeMap();
  // Stays empty: access times are not indexed.
  MonthIndex GetAccessTimeMap();
  uint64_t GetScanFileCnt();
  uint64_t GetScanFileSize();
  // Volumes of the last quick scan whose file system could not be read
  // whole (a damaged or unreadable root folder, headers, tables): what they
  // still led to is shown, and a deep scan finds more. A stop is no damage.
  uint32_t GetDamagedVolumeCount();

  // The copy-out object of the node's tree (quick scans only), or null; it
  // stays the operation's.
  IDataRecovery* GetFileNodeDataRecover(IFileNode* node);
  void ReleaseDataRecovery();
  void UnselectAllNodes();
  // The text after the name's last ".", lower-cased; "" when there is none.
  static std::string GetNodeExt(IFileNode* node);

  void SetCurrentScanRecoveryCnt(int count);
  int GetCurrentScanRecoveryCnt();
  uint32_t GetScanType();
  void SetScanType(uint32_t viewType);
  // Empties the indexes, the counters and the copy-out objects.
  void ClearData();

  // The name search. A null key changes nothing; an empty one leaves no key.
  void SetSearchKey(const char* key);
  // The key, "" when there is none.
  std::string GetSearchKey();
  bool HasSearchKey();
  void SetSearching(int searching);
  int IsSearching();
  // Shows every indexed file whose name holds the key (all of them when
  // there is no key) and hides the others; folders follow their files.
  // Works in any state of the scan, over the files indexed when it starts:
  // the marks are set under the tree lock in batches of kSearchBatch files,
  // so ticks and walks on the main thread (and the scan's worker, which a
  // paused scan may still be linking with) wait for one batch at most. The
  // results window searches while the user has paused, and with an empty key
  // when a paused scan resumes, to show every file again. A scan that starts
  // meanwhile waits until the marks are set before it lets the old nodes go.
  // Always true.
  bool DoSearch();
  static constexpr size_t kSearchBatch = 256;
  // For tests: called on the search thread after every batch of marks, with
  // the files marked so far and the files to mark, outside every lock.
  void SetSearchProbe(std::function<void(size_t marked, size_t total)> probe);

  // Nothing to bring up to date: the rows are built from the indexes.
  void RefreshAllData();

  // IProgress: a copy of the record, and news. The operation ends when
  // DoScan returns, not at the engine's final report: a searcher may report
  // its end and go on, and a failing one may never report it.
  int UpdateProgress(_PROGRESS_INFO* info) override;
  // IDrirectoryTree. A run superseded by a queued one (IsRunEnding) neither
  // reports nor indexes: the windows wait for the new run's files.
  int ShowNodes(IFileNode** nodes, unsigned count, int lostNodes) override;
  int ShowFilesystemNode(IFilesystemNode* root) override;

 protected:
  // Empties the indexes, the counters, the copy-out objects and the
  // progress of the last run when the next one is asked for.
  void RunRequested() override;

 private:
  KVUIDeviceData& Devices();
  bool IsDisk(IStorageDevice* storage);
  bool IsMounted(IStorageDevice* storage);
  // Whether a whole-disk quick scan scans this volume: a volume the device
  // list offers and whose file system a quick searcher reads.
  bool IsQuickScannable(IStorageDevice* volume);
  ResultCode DoDiskQuickScan(IStorageDevice* disk, IRecoveryFilter* filter);
  ResultCode DoVolumeStorageScan(IStorageDevice* storage, IRecoveryFilter* filter);
  // The controller for a scan of `storage`, holding the devices listed with
  // it; the old one goes first, with its hold.
  void ResetRecoveryController(_RECOVERY_CONTROLLER_TYPE kind, IStorageDevice* storage);
  // Releases the controller, then its replay sink and its hold; neither
  // lock is held.
  static void ReleaseController(IRecoveryController* controller, std::shared_ptr<const void> hold,
                                std::shared_ptr<RestoreScanSink> sink);
  void ReleaseCopyOutLocked();

  KVUIDeviceData* m_devices;
  ControllerFactory m_factory;
  uint32_t m_startPause = 80000;
  std::function<void()> m_releaseRecoveryCopyOut;
  std::function<void()> m_resetRecovery;

  // Under the operation's lock.
  RestoreScanSink* m_restoreSink = nullptr;
  IStorageDevice* m_savedStorage = nullptr;
  std::shared_ptr<const void> m_savedStorageHold;  // keeps the device list's devices alive (not open)
  IRecoveryController* m_controller = nullptr;
  std::shared_ptr<const void> m_controllerHold;       // the devices m_controller reads
  std::shared_ptr<RestoreScanSink> m_controllerSink;  // the replay m_controller asks, kept for it
  std::shared_ptr<RestoreScanSink> m_pendingSink;     // DoRestore's, until its controller is made
  uint32_t m_deep = 0;
  uint32_t m_treeFinished = 1;
  std::vector<IFilesystemNode*> m_roots;
  MonthIndex m_creationIndex, m_modificationIndex, m_accessIndex;
  TypeIndex m_typeIndex;
  uint32_t m_viewType = KVViewPath;
  uint32_t m_volumesLeft = 0;
  uint32_t m_damagedVolumes = 0;
  uint64_t m_fileCount = 0;
  uint64_t m_totalSize = 0;
  int m_recoveryCount = 0;
  std::map<IFilesystemNode*, IDataRecovery*> m_copyOut;
  std::optional<std::string> m_searchKey;
  uint32_t m_searching = 0;
  std::function<void(size_t, size_t)> m_searchProbe;

  // Held for the whole of DoScan: one scan (or load) at a time.
  std::mutex m_scanLock;
  // Held by DoSearch while it marks, and by DoScan while it empties the
  // indexes and lets the old controller (with its nodes) go.
  std::mutex m_searchLock;
};
