#include "app/KVUIScan.h"

#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <list>
#include <utility>

#include "DataRecovery.h"
#include "DeviceData.h"
#include "FileNode.h"
#include "RestoreScanSink.h"
#include "StorageDevice.h"
#include "app/KVCPPPublic.h"
#include "app/KVUIDeviceData.h"
#include "base/CatchExeception.h"
#include "recycle/CRecycleNameRestorer.h"
#include "scan/CRecoveryController.h"

using Lock = std::lock_guard<std::recursive_mutex>;

KVUIFilter& KVUIFilter::instance() {
  static KVUIFilter filter;
  return filter;
}

KVUIFilter::KVUIFilter() : m_filter(CreateFilter()) {}

IRecoveryFilter* KVUIFilter::GetFilter() {
  std::lock_guard<std::mutex> held(m_lock);
  return m_filter;
}

void KVUIFilter::ResetFilter(uint32_t mask) {
  std::lock_guard<std::mutex> held(m_lock);
  if (m_filter == nullptr) m_filter = CreateFilter();
  if (m_filter != nullptr) m_filter->SetFilterTypes(mask);
}

KVUIScan& KVUIScan::instance() {
  // Never destroyed: the worker of a scan still running at exit keeps it.
  static KVUIScan* scan = new KVUIScan();
  return *scan;
}

KVUIScan::KVUIScan(KVUIDeviceData* devices, ControllerFactory factory)
    : m_devices(devices), m_factory(std::move(factory)) {
  if (!m_factory) m_factory = CreateRecoveryController;
  // The scans' tree builders give files found in recycle bins their former
  // names.
  CRecycleNameRestorer::Register();
}

KVUIScan::~KVUIScan() {
  if (IsWorkerRunning() || IsPollerRunning()) {
    StopOperation(1);
    WaitForThreads(std::chrono::milliseconds(5000));
  }
  // A worker that never came back still uses the controller: it is left.
  std::unique_lock<std::mutex> scanning(m_scanLock, std::try_to_lock);
  if (!scanning.owns_lock()) return;
  std::lock_guard<std::mutex> searching(m_searchLock);
  ClearData();
  IRecoveryController* controller;
  std::shared_ptr<const void> hold;
  std::shared_ptr<RestoreScanSink> sink;
  {
    Lock held(OperationLock());
    controller = std::exchange(m_controller, nullptr);
    hold = std::move(m_controllerHold);
    sink = std::move(m_controllerSink);
  }
  ReleaseController(controller, std::move(hold), std::move(sink));
}

void KVUIScan::ReleaseResult() {
  std::unique_lock<std::mutex> scanning(m_scanLock, std::try_to_lock);
  if (!scanning.owns_lock()) return;
  std::function<void()> releaseRecovery;
  {
    Lock held(OperationLock());
    releaseRecovery = m_releaseRecoveryCopyOut;
  }
  // The recovery's copy-out objects read through the controller's devices.
  if (releaseRecovery) releaseRecovery();
  IRecoveryController* controller;
  std::shared_ptr<const void> hold, savedHold;
  std::shared_ptr<RestoreScanSink> sink;
  {
    // A search still marking the nodes ends first.
    std::lock_guard<std::mutex> searching(m_searchLock);
    ClearData();
    Lock held(OperationLock());
    controller = std::exchange(m_controller, nullptr);
    hold = std::move(m_controllerHold);
    sink = std::move(m_controllerSink);
    m_savedStorage = nullptr;
    savedHold = std::move(m_savedStorageHold);
  }
  ReleaseController(controller, std::move(hold), std::move(sink));
}

void KVUIScan::SetRecoveryHooks(std::function<void()> releaseCopyOut, std::function<void()> resetParameters) {
  Lock held(OperationLock());
  m_releaseRecoveryCopyOut = std::move(releaseCopyOut);
  m_resetRecovery = std::move(resetParameters);
}

KVUIDeviceData& KVUIScan::Devices() { return m_devices != nullptr ? *m_devices : KVUIDeviceData::instance(); }

bool KVUIScan::IsDisk(IStorageDevice* storage) {
  return storage != nullptr && (storage->GetType() == STORAGE_DEVICE_DISK || Devices().IsDiskStorage(storage));
}

bool KVUIScan::IsMounted(IStorageDevice* storage) {
  if (IsDisk(storage)) return true;
  const CCollectedVolumeDeviceInfoStruct* info = VolumeRecordOf(storage);
  return info != nullptr && info->mounted != 0;
}

bool KVUIScan::IsQuickScannable(IStorageDevice* volume) {
  if (!Devices().IsVolumeStorageSupported(volume)) return false;
  const CCollectedVolumeDeviceInfoStruct* info = VolumeRecordOf(volume);
  return info != nullptr &&
         CDeletedRecoveryController::SearcherTypeOf(static_cast<int>(info->fileSystemType)) != SEARCHER_TYPE_NONE;
}

ResultCode KVUIScan::DoScan(IStorageDevice* storage, RestoreScanSink* restoreSink, bool endRun) {
  CatchExeception::WriteLog("%s:%d started!\r", "DoScan", 41);
  std::function<void()> releaseRecovery, resetRecovery;
  {
    Lock held(OperationLock());
    m_restoreSink = restoreSink;
    m_damagedVolumes = 0;
    releaseRecovery = m_releaseRecoveryCopyOut;
    resetRecovery = m_resetRecovery;
  }
  if (m_startPause != 0) usleep(m_startPause);
  ResultCode result = kNothingScanned;
  {
    std::lock_guard<std::mutex> scanning(m_scanLock);
    if (releaseRecovery) releaseRecovery();
    if (storage != nullptr) {
      SaveScanSorage(storage);
      SetNeedUIUpdate(0);
      const bool deep = IsDeepScan();
      {
        // A search still marking the old nodes ends first.
        std::lock_guard<std::mutex> searching(m_searchLock);
        // Before the controller goes: no index may point into its trees.
        ClearData();
        ResetRecoveryController(GetScanControllerType(storage), storage);
      }
      IRecoveryFilter* filter = KVUIFilter::instance().GetFilter();
      if (!deep && IsDisk(storage)) {
        result = DoDiskQuickScan(storage, filter);
      } else {
        if (filter != nullptr) {
          filter->SetScanType(deep                 ? SCAN_TYPE_DEEP
                              : IsMounted(storage) ? SCAN_TYPE_QUICK_MOUNTED
                                                   : SCAN_TYPE_QUICK_UNMOUNTED);
        }
        result = DoVolumeStorageScan(storage, filter);
      }
      if (resetRecovery) resetRecovery();
    }
    {
      Lock held(OperationLock());
      m_restoreSink = nullptr;
      m_pendingSink.reset();
      m_volumesLeft = 0;
    }
    CatchExeception::WriteLog("%s:%d end!\r", "DoScan", 113);
  }
  // Also when the engine failed without its final report, or nothing could
  // be scanned: the windows wait for the idle status.
  SetEndTime(time(nullptr));
  if (endRun) EndOperation();
  return result;
}

ResultCode KVUIScan::DoRestore(IStorageDevice* storage, std::shared_ptr<RestoreScanSink> restoreSink) {
  RestoreScanSink* sink = restoreSink.get();
  {
    Lock held(OperationLock());
    m_pendingSink = std::move(restoreSink);
  }
  return DoScan(storage, sink, false);
}

ResultCode KVUIScan::DoDiskQuickScan(IStorageDevice* disk, IRecoveryFilter* filter) {
  ResultCode result = kNothingScanned;
  std::list<IStorageDevice*> volumes;
  Devices().GetDiskVolumeStorage(disk, volumes);
  {
    Lock held(OperationLock());
    m_volumesLeft = static_cast<uint32_t>(volumes.size());
  }
  for (IStorageDevice* volume : volumes) {
    {
      Lock held(OperationLock());
      --m_volumesLeft;
    }
    if (!IsQuickScannable(volume)) continue;
    if (filter != nullptr) filter->SetScanType(IsMounted(volume) ? SCAN_TYPE_QUICK_MOUNTED : SCAN_TYPE_QUICK_UNMOUNTED);
    result = DoVolumeStorageScan(volume, filter);
    // A stop ends the whole disk, whatever the volume's scan answered (a
    // stopped quick scan answers success).
    const int status = GetStatus();
    if (status == KVOperationStopping || status == KVOperationIdle || status == KVOperationExited || IsRunEnding()) {
      break;
    }
  }
  return result;
}

ResultCode KVUIScan::DoVolumeStorageScan(IStorageDevice* storage, IRecoveryFilter* filter) {
  IRecoveryController* controller = GetRecoveryController();
  if (storage == nullptr || controller == nullptr || Continued() == 0) return kVolumeScanNotStarted;
  controller->Initialize(filter);
  const CCollectedVolumeDeviceInfoStruct* info = Devices().GetVolumeInfo(storage);
  uint32_t left;
  {
    Lock held(OperationLock());
    left = m_volumesLeft;
  }
  std::printf("=======scan volumes(%d):(%s)======\n", static_cast<int>(left), info != nullptr ? info->volumeName : "");
  const ResultCode answer = controller->StartDataRecovery(storage, this, this);
  // A quick scan answers the searcher's failure when the volume's own
  // records could not be read whole, having shown whatever they still led
  // to; the windows say so. A stopped scan answers success.
  if (result::IsFailure(answer) && result::Error(answer) != result::kErrCancelled &&
      controller->thisType() == RECOVERY_CONTROLLER_DELETED && !IsRunEnding()) {
    Lock held(OperationLock());
    ++m_damagedVolumes;
  }
  return answer;
}

uint32_t KVUIScan::GetDamagedVolumeCount() {
  Lock held(OperationLock());
  return m_damagedVolumes;
}

void KVUIScan::ResetRecoveryController(_RECOVERY_CONTROLLER_TYPE kind, IStorageDevice* storage) {
  // Taken before the old hold goes, so a device that both scans read is
  // never let go in between.
  std::shared_ptr<const void> hold = Devices().HoldDevices(storage);
  IRecoveryController* old;
  std::shared_ptr<const void> oldHold;
  std::shared_ptr<RestoreScanSink> oldSink;
  {
    Lock held(OperationLock());
    old = std::exchange(m_controller, nullptr);
    oldHold = std::exchange(m_controllerHold, nullptr);
    oldSink = std::exchange(m_controllerSink, nullptr);
  }
  ReleaseController(old, std::move(oldHold), std::move(oldSink));
  IRecoveryController* controller = m_factory(kind);
  Lock held(OperationLock());
  m_controller = controller;
  m_controllerHold = controller != nullptr ? std::move(hold) : nullptr;
  // A sink handed to DoRestore lives as long as the controller that asks it.
  std::shared_ptr<RestoreScanSink> pending = std::exchange(m_pendingSink, nullptr);
  if (m_controller != nullptr && m_restoreSink != nullptr && kind <= RECOVERY_CONTROLLER_PARTITION) {
    m_controller->SetRestoreScanSink(m_restoreSink);
    if (pending.get() == m_restoreSink) m_controllerSink = std::move(pending);
  }
}

void KVUIScan::ReleaseController(IRecoveryController* controller, std::shared_ptr<const void> hold,
                                 std::shared_ptr<RestoreScanSink> sink) {
  if (controller != nullptr) {
    // Its nodes go with it: a walk on another thread finishes first.
    NodeTreeGuard tree;
    controller->Release();
  }
  sink.reset();
  hold.reset();
}

void KVUIScan::SaveScanSorage(IStorageDevice* storage) {
  // Only its record is read later: the controller holds what it reads.
  std::shared_ptr<const void> hold = Devices().KeepDevices(storage);
  Lock held(OperationLock());
  m_savedStorage = storage;
  m_savedStorageHold = std::move(hold);
}

IStorageDevice* KVUIScan::GetSavedStorage() {
  Lock held(OperationLock());
  return m_savedStorage;
}

void KVUIScan::SetDeepScan(int deep) {
  Lock held(OperationLock());
  m_deep = deep != 0 ? 1 : 0;
}

bool KVUIScan::IsDeepScan() {
  Lock held(OperationLock());
  if (m_deep == 0 && m_savedStorage != nullptr && !IsDisk(m_savedStorage)) {
    // No record counts as a known file system.
    const CCollectedVolumeDeviceInfoStruct* info = VolumeRecordOf(m_savedStorage);
    m_deep = info != nullptr && CDeletedRecoveryController::SearcherTypeOf(static_cast<int>(info->fileSystemType)) ==
                                    SEARCHER_TYPE_NONE
                 ? 1
                 : 0;
  }
  return m_deep != 0;
}

_RECOVERY_CONTROLLER_TYPE KVUIScan::GetScanControllerType(IStorageDevice* storage) {
  if (storage == nullptr) return RECOVERY_CONTROLLER_NONE;
  if (!IsDeepScan()) return RECOVERY_CONTROLLER_DELETED;
  return IsDisk(storage) ? RECOVERY_CONTROLLER_PARTITION : RECOVERY_CONTROLLER_COMPLETE;
}

IRecoveryController* KVUIScan::GetRecoveryController() {
  Lock held(OperationLock());
  return m_controller;
}

bool KVUIScan::IsOpTreeFinished() {
  Lock held(OperationLock());
  return m_treeFinished != 0;
}

void KVUIScan::SetOpTreeFinished(int finished) {
  Lock held(OperationLock());
  m_treeFinished = finished != 0 ? 1 : 0;
}

std::vector<IFilesystemNode*> KVUIScan::GetFileSystemNode() {
  Lock held(OperationLock());
  return m_roots;
}

KVUIScan::TypeIndex KVUIScan::GetTypeMap() {
  Lock held(OperationLock());
  return m_typeIndex;
}

KVUIScan::MonthIndex KVUIScan::GetCreateTimeMap() {
  Lock held(OperationLock());
  return m_creationIndex;
}

KVUIScan::MonthIndex KVUIScan::GetModifyTimeMap() {
  Lock held(OperationLock());
  return m_modificationIndex;
}

KVUIScan::MonthIndex KVUIScan::GetAccessTimeMap() {
  Lock held(OperationLock());
  return m_accessIndex;
}

uint64_t KVUIScan::GetScanFileCnt() {
  Lock held(OperationLock());
  return m_fileCount;
}

uint64_t KVUIScan::GetScanFileSize() {
  Lock held(OperationLock());
  return m_totalSize;
}

IDataRecovery* KVUIScan::GetFileNodeDataRecover(IFileNode* node) {
  IFilesystemNode* root = KVCPPPublic::instance().GetFileSystemNode(node);
  if (root == nullptr) return nullptr;
  Lock held(OperationLock());
  const auto it = m_copyOut.find(root);
  return it == m_copyOut.end() ? nullptr : it->second;
}

void KVUIScan::ReleaseCopyOutLocked() {
  for (auto& [root, copyOut] : m_copyOut) {
    if (copyOut != nullptr) copyOut->Release();
  }
  m_copyOut.clear();
}

void KVUIScan::ReleaseDataRecovery() {
  Lock held(OperationLock());
  ReleaseCopyOutLocked();
}

void KVUIScan::UnselectAllNodes() {
  // The tree lock is never taken under the operation's lock.
  const std::vector<IFilesystemNode*> roots = GetFileSystemNode();
  NodeTreeGuard held;
  for (IFilesystemNode* root : roots) root->SetCheck(CHECKED_STATUS_UNCHECKED);
}

std::string KVUIScan::GetNodeExt(IFileNode* node) {
  const char* name = node != nullptr ? node->GetFileName() : nullptr;
  if (name == nullptr) return std::string();
  const char* dot = std::strrchr(name, '.');
  if (dot == nullptr) return std::string();
  std::string ext(dot + 1);
  for (char& c : ext) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return ext;
}

void KVUIScan::SetCurrentScanRecoveryCnt(int count) {
  Lock held(OperationLock());
  m_recoveryCount = count;
}

int KVUIScan::GetCurrentScanRecoveryCnt() {
  Lock held(OperationLock());
  return m_recoveryCount;
}

uint32_t KVUIScan::GetScanType() {
  Lock held(OperationLock());
  return m_viewType;
}

void KVUIScan::SetScanType(uint32_t viewType) {
  Lock held(OperationLock());
  m_viewType = viewType;
}

void KVUIScan::ClearData() {
  const time_t now = time(nullptr);
  SetStartTime(now);
  SetEndTime(now);
  Lock held(OperationLock());
  m_volumesLeft = 0;
  m_fileCount = 0;
  m_totalSize = 0;
  m_recoveryCount = 0;
  // Copy-out objects are the operation's: they go before their controller.
  ReleaseCopyOutLocked();
  m_roots.clear();
  m_typeIndex.clear();
  m_creationIndex.clear();
  m_modificationIndex.clear();
  m_accessIndex.clear();
}

int KVUIScan::UpdateProgress(_PROGRESS_INFO* info) {
  if (info == nullptr || IsRunEnding()) return 0;
  SetProgressInfo(*info);
  if (info->status == PROGRESS_STATUS_FINISHED) std::printf("=====Scan Progress finished!=====\n");
  SetEndTime(time(nullptr));
  SetNeedUIUpdate(1);
  return 0;
}

int KVUIScan::ShowFilesystemNode(IFilesystemNode* root) {
  if (root == nullptr) return 0;
  const char* name = root->GetFileName();
  std::printf("=====ShowFileSystemNodes:%s\n", name != nullptr ? name : "");
  if (root->IsDirectory() == 0) return 0;
  {
    Lock held(OperationLock());
    if (IsRunEnding()) return 0;
    if (m_controller != nullptr && m_controller->thisType() == RECOVERY_CONTROLLER_DELETED) {
      IDataRecovery*& slot = m_copyOut[root];
      if (slot != nullptr) slot->Release();
      slot = m_controller->GetDataRecovery(KVCPPPublic::instance().GetNodeSearcheType(root));
    }
    m_roots.push_back(root);
  }
  SetNeedUIUpdate(1);
  return 1;
}

int KVUIScan::ShowNodes(IFileNode** nodes, unsigned count, int /*lostNodes*/) {
  if (nodes == nullptr || count == 0) return 0;
  IRecoveryFilter* filter = KVUIFilter::instance().GetFilter();
  KVCPPPublic& helpers = KVCPPPublic::instance();
  for (unsigned i = 0; i < count; ++i) {
    IFileNode* node = nodes[i];
    if (node == nullptr || node->IsDirectory() != 0) continue;
    Lock held(OperationLock());
    if (IsRunEnding()) return 0;
    ++m_fileCount;
    int year = 0, month = 0;
    if (const uint64_t created = node->GetCreationTime(); created != 0) {
      helpers.GetYearMonthByFileTime(&year, &month, created);
      m_creationIndex[year][month].push_back(node);
    }
    if (const uint64_t modified = node->GetModificationTime(); modified != 0) {
      helpers.GetYearMonthByFileTime(&year, &month, modified);
      m_modificationIndex[year][month].push_back(node);
    }
    if (filter != nullptr) m_typeIndex[filter->GetNodeFileType(node)].push_back(node);
    m_totalSize += node->GetFileSize();
  }
  SetNeedUIUpdate(1);
  return 1;
}

void KVUIScan::SetSearchKey(const char* key) {
  if (key == nullptr) return;
  Lock held(OperationLock());
  m_searchKey = *key != '\0' ? std::optional<std::string>(key) : std::nullopt;
}

std::string KVUIScan::GetSearchKey() {
  Lock held(OperationLock());
  return m_searchKey.value_or(std::string());
}

bool KVUIScan::HasSearchKey() {
  Lock held(OperationLock());
  return m_searchKey.has_value();
}

void KVUIScan::SetSearching(int searching) {
  Lock held(OperationLock());
  m_searching = searching != 0 ? 1 : 0;
}

int KVUIScan::IsSearching() {
  Lock held(OperationLock());
  return static_cast<int>(m_searching);
}

void KVUIScan::SetSearchProbe(std::function<void(size_t, size_t)> probe) {
  Lock held(OperationLock());
  m_searchProbe = std::move(probe);
}

bool KVUIScan::DoSearch() {
  // The nodes stay while this is held: a new scan waits before it lets them go.
  std::lock_guard<std::mutex> searching(m_searchLock);
  const std::string key = GetSearchKey();
  std::function<void(size_t, size_t)> probe;
  {
    Lock held(OperationLock());
    probe = m_searchProbe;
  }
  // Names never change once a file is indexed: they are matched without a
  // lock, and only the marks are set under the tree lock.
  std::vector<std::pair<IFileNode*, int>> marks;
  KVCPPPublic& helpers = KVCPPPublic::instance();
  for (const auto& [category, nodes] : GetTypeMap()) {
    for (IFileNode* node : nodes) {
      if (node != nullptr) marks.emplace_back(node, helpers.IsStringInFileNode(key.c_str(), node) ? 1 : 0);
    }
  }
  for (size_t at = 0; at < marks.size();) {
    const size_t end = std::min(marks.size(), at + kSearchBatch);
    {
      NodeTreeGuard held;
      for (; at < end; ++at) marks[at].first->ShowNode(marks[at].second);
    }
    if (probe) probe(at, marks.size());
  }
  return true;
}

void KVUIScan::RefreshAllData() {}

void KVUIScan::RunRequested() {
  ClearData();
  SetProgressInfo(_PROGRESS_INFO{});
}
