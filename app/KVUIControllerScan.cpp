// KVUIController: the device list, scan control and the result trees.
#include <QCoreApplication>
#include <QThread>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <list>
#include <map>
#include <set>
#include <string>

#include "FileNode.h"
#include "FileTypeManager.h"
#include "app/KVCPPPublic.h"
#include "app/KVNode.h"
#include "app/KVRecoveryFilePath.h"
#include "app/KVTimeMgr.h"
#include "app/KVTypeMgr.h"
#include "app/KVUIController.h"
#include "app/KVUIDeviceData.h"
#include "app/KVUIPublic.h"
#include "app/KVUIRecovery.h"
#include "app/KVUIScan.h"
#include "platform/Resources.h"
#include "platform/WorkerThread.h"

namespace {

std::atomic<KVUIScan*> g_scan{nullptr};
std::atomic<KVUIRecovery*> g_recovery{nullptr};

KVUIRecovery& Recovery() {
  KVUIRecovery* recovery = g_recovery.load();
  return recovery != nullptr ? *recovery : KVUIRecovery::instance();
}

// The trees are the main thread's: workers must never touch them.
bool OnMainThread() {
  const QCoreApplication* app = QCoreApplication::instance();
  return app == nullptr || QThread::currentThread() == app->thread();
}

std::atomic<KVUIDeviceData*> g_devices{nullptr};

KVUIDeviceData& Devices() {
  KVUIDeviceData* devices = g_devices.load();
  return devices != nullptr ? *devices : KVUIDeviceData::instance();
}

template <typename F>
void ForEachRow(OpNodeData* row, F&& f) {
  for (OpNodeData::Child& child : row->children()) {
    if (auto* sub = std::get_if<std::unique_ptr<OpNodeData>>(&child); sub != nullptr && *sub != nullptr) f(sub->get());
  }
}

void AppendHandles(OpNodeData* row, std::vector<IFileNode*>* list) {
  for (const OpNodeData::Child& child : row->children()) {
    if (const auto* node = std::get_if<IFileNode*>(&child)) list->push_back(*node);
  }
}

}  // namespace

KVUIScan& KVUIController::Scan() {
  KVUIScan* scan = g_scan.load();
  return scan != nullptr ? *scan : KVUIScan::instance();
}

void KVUIController::UseScan(KVUIScan* scan) { g_scan.store(scan); }

void KVUIController::UseDevices(KVUIDeviceData* devices) { g_devices.store(devices); }

void KVUIController::GetDeviceInfoToArray(std::vector<std::unique_ptr<DiskVolumeNodeData>>* rows) {
  if (rows == nullptr) return;
  std::list<_DiskVolumeData> disks;
  Devices().GetAllDeviceInfo(disks);
  for (const _DiskVolumeData& disk : disks) {
    auto row = std::make_unique<DiskVolumeNodeData>(disk);
    if (!disk.children.empty()) {
      std::vector<std::unique_ptr<DiskVolumeNodeData>> volumes;
      for (const _DiskVolumeData& volume : disk.children)
        volumes.push_back(std::make_unique<DiskVolumeNodeData>(volume));
      row->setSubNode(std::move(volumes));
    }
    rows->push_back(std::move(row));
  }
}

void KVUIController::NotifiyDeviceInfoAfterInit(const QString& name) {
  // Claimed before the enumeration is queued, so a second request meanwhile
  // finds it under way.
  switch (Devices().ClaimEnumeration()) {
    case KVDeviceEnumerating:
      return;  // the enumeration queued or under way posts when it ends
    case KVDeviceReady:
      KVUIPublic::NotifyMainThread(name);
      return;
    default:  // never enumerated, or the last attempt failed: try again
      KVUIPublic::NotifyMainThreadByPostKey(name, [] { InitDeviceInfoInBgThread(); });
  }
}

void KVUIController::InitDeviceInfoInBgThread() { Devices().InitDeviceInfo(); }

void KVUIController::RefreshDeviceInfo() {
  Devices().Clear();
  Devices().InitDeviceInfo();
  // Only the saved storage is forgotten: the scan's controller keeps the
  // devices it reads for as long as it lives.
  Scan().SaveScanSorage(nullptr);
}

bool KVUIController::DoScanWithDiskIndex(int disk, int volume, const QString& postName) {
  KVUIScan& scan = Scan();
  // A stopping scan is not forced idle here: its engine would read that as
  // leave to go on. DoOperation queues the start behind it instead.
  const int status = scan.GetStatus();
  if (status == KVOperationRunning || status == KVOperationPaused) return false;
  // The device is held from here to the end of the worker's body, however
  // often the list is refreshed meanwhile; the controller holds it after.
  std::shared_ptr<IStorageDevice> storage = Devices().HoldStorageByDiskVolumeIndex(disk, volume);
  if (storage == nullptr) return false;
  EmptyResultTrees();
  // The last scan's indexes and record (its 100 %) go as the run is claimed
  // or queued (KVUIScan::RunRequested): until the engine's first report
  // there is no progress.
  return DoOperation([storage] { DoScanFn(storage.get()); }, KVPollArgs{&scan, postName});
}

void KVUIController::EmptyResultTrees() {
  // The trees belong to the main thread, so they are emptied there, before
  // the worker starts, not by the worker.
  if (!OnMainThread()) return;
  KVTypeMgr::share().clear();
  KVTimeMgr::share().clear();
}

bool KVUIController::DoScanWithData(const DiskVolumeNodeData* row, const QString& postName) {
  if (row == nullptr) return false;
  Scan().SetDeepScan(0);
  return DoScanWithDiskIndex(row->diskIndex(), row->volumeIndex(), postName);
}

bool KVUIController::DoDeepScan(const QString& postName) {
  IStorageDevice* storage = Scan().GetSavedStorage();
  int disk = -1, volume = -1;
  if (storage == nullptr || !Devices().GetDiskVolumeIndexByStorage(storage, disk, volume) || disk < 0) return false;
  Scan().SetDeepScan(1);
  return DoScanWithDiskIndex(disk, volume, postName);
}

void KVUIController::DoScanFn(IStorageDevice* storage) { Scan().DoScan(storage, nullptr); }

void KVUIController::PauseOrResumeScan() { Scan().PauseOrResumeOperation(); }
void KVUIController::StopScan(int discard) { Scan().StopOperation(discard); }
void KVUIController::ResetShouldBuild() { Scan().SetShouldBuildTree(1); }

bool KVUIController::IsScanRunning() {
  const int status = Scan().GetStatus();
  return status >= KVOperationStopping && status <= KVOperationPaused;
}

bool KVUIController::IsPause() { return Scan().GetStatus() == KVOperationPaused; }
bool KVUIController::IsDeepScan() { return Scan().IsDeepScan(); }

uint32_t KVUIController::GetDamagedVolumeCount() { return Scan().GetDamagedVolumeCount(); }

QString KVUIController::GetScanProgress(double* percent, uint64_t* fileCount) {
  KVUIScan& scan = Scan();
  const _PROGRESS_INFO info = scan.GetProgressInfo();
  const uint64_t total = info.total == 0 ? 1 : info.total;
  const double done = static_cast<double>(info.current) * 100.0 / static_cast<double>(total);
  if (percent != nullptr) *percent = done;
  if (fileCount != nullptr) *fileCount = scan.GetScanFileCnt();
  const int64_t elapsed = scan.GetScanElapseTime();
  if (elapsed > 0 && info.current != 0 && done >= 1.0) {
    const unsigned __int128 whole = static_cast<unsigned __int128>(elapsed) * info.total / info.current;
    int64_t remaining =
        static_cast<int64_t>(whole > static_cast<unsigned __int128>(INT64_MAX) ? INT64_MAX : whole) - elapsed;
    if (remaining < 1) remaining = 0;
    const int64_t hours = remaining / 3600;
    if (hours <= 100) {
      return QString::asprintf("%02lld:%02lld:%02lld", static_cast<long long>(hours),
                               static_cast<long long>(remaining % 3600 / 60), static_cast<long long>(remaining % 60));
    }
  }
  return QStringLiteral("-:-:-");
}

void KVUIController::GetScanFileSize(uint64_t* size, uint64_t* count) {
  if (size != nullptr) *size = Scan().GetScanFileSize();
  if (count != nullptr) *count = Scan().GetScanFileCnt();
}

void KVUIController::SetRecoveryType(uint32_t mask) { KVUIFilter::instance().ResetFilter(mask); }

void KVUIController::initFileType() {
  std::map<int, std::string> lists;
  // UTF-8: an extension outside ASCII must not lose its whole list.
  for (int bit : {1, 2, 4, 8, 16}) lists[bit] = KVTypeMgr::share().getTypeString(bit).toUtf8().toStdString();
  CFileTypeManager::Initialze(lists);
}

bool KVUIController::IsAppRunning() { return KVCPPPublic::instance().IsAppRunning(); }
void KVUIController::CloseApp() {
  // What a save leaves must be a whole file or none: it stops at its next
  // record and takes its unfinished file with it.
  StopSave(std::chrono::seconds(5));
  std::exit(0);
}
void KVUIController::ReleaseDataRecovery() {
  Scan().ReleaseDataRecovery();
  Recovery().ReleaseDataRecovery();
}
void KVUIController::ReleaseScanResult() {
  // The type and date trees' rows point into the nodes that go.
  EmptyResultTrees();
  Scan().ReleaseResult();
}
int KVUIController::GetCurrentScanRecoveryCnt() { return Scan().GetCurrentScanRecoveryCnt(); }

// Result trees.

void KVUIController::SetViewType(int view) { Scan().SetScanType(static_cast<uint32_t>(view)); }

int KVUIController::GetScanTreeNodeData(KVRowArray* rows, int clear) {
  if (rows == nullptr) return 0;
  KVUIScan& scan = Scan();
  scan.SetOpTreeFinished(0);
  const bool pathView = scan.GetScanType() == KVViewPath;
  for (IFilesystemNode* root : scan.GetFileSystemNode()) {
    NodeTreeGuard held;
    if (clear != 0) {
      root->ShowNode(1);
      root->SetCheck(CHECKED_STATUS_UNCHECKED);
    }
    if (pathView && !IsFileNode(root, *rows)) {
      auto row = std::make_shared<OpNodeData>(__TreeNodeData__{root->IsDirectory(), root->IsDeleted(), 1, root});
      row->setExpandAble(1);
      rows->push_back(std::move(row));
    }
  }
  AddNodeToArr(rows);
  scan.SetOpTreeFinished(1);
  return 0;
}

void KVUIController::AddNodeToArr(KVRowArray* rows) {
  switch (Scan().GetScanType()) {
    case KVViewPath:
      AddPathNodeToArray(rows);
      break;
    case KVViewFileType:
      AddTypeNodeToArr(rows);
      break;
    case KVViewCreationDate:
    case KVViewModificationDate:
    case KVViewAccessDate:
      AddDateNodeToArray(rows);
      break;
    default:
      break;
  }
}

namespace {

void AddFolderRows(OpNodeData* row, int depth) {
  if (depth > 1024) return;
  IFileNode* node = row->fileNode();
  if (node != nullptr && row->isExpandAble() != 0) {
    std::set<IFileNode*> known;
    for (const OpNodeData::Child& child : row->children()) {
      if (const auto* sub = std::get_if<std::unique_ptr<OpNodeData>>(&child); sub != nullptr && *sub != nullptr) {
        known.insert((*sub)->fileNode());
      }
    }
    // One folder's children at a time under the tree lock, so a running
    // scan waits for one folder at most.
    std::vector<IFileNode*> folders;
    {
      NodeTreeGuard held;
      for (IFileNode* child = node->GetFirstChild(); child != nullptr; child = child->GetNextNode()) {
        if (child->IsDirectory() != 0 && child->IsNodeShow() != 0 && known.count(child) == 0) folders.push_back(child);
      }
    }
    for (IFileNode* child : folders) {
      auto sub = std::make_unique<OpNodeData>(__TreeNodeData__{0, 0, 0, child});
      sub->setExpandAble(1);
      row->addChildObject(std::move(sub));
    }
  }
  ForEachRow(row, [depth](OpNodeData* sub) { AddFolderRows(sub, depth + 1); });
}

}  // namespace

void KVUIController::AddPathNodeToArray(KVRowArray* rows) {
  if (rows == nullptr) return;
  for (const auto& row : *rows) AddFolderRows(row.get(), 0);
}

void KVUIController::AddTypeNodeToArr(KVRowArray* rows) {
  if (rows == nullptr) return;
  rows->clear();
  KVTypeMgr::share().refreshTypeTree(&Scan());
  for (auto& row : KVTypeMgr::share().getRootNode()) rows->push_back(std::move(row));
}

void KVUIController::AddDateNodeToArray(KVRowArray* rows) {
  if (rows == nullptr) return;
  const int view = static_cast<int>(Scan().GetScanType());
  if (rows->empty()) {
    // A new tree: the manager's year and month rows were the dropped one's
    // (a search or a scan asked for since, refused or not).
    KVTimeMgr::share().clearView(view);
    auto root = std::make_shared<OpNodeData>(__TreeNodeData__{1, 1, 0, nullptr});
    const char* key = view == KVViewCreationDate       ? "CREATE_TIME_ROOT_NAME"
                      : view == KVViewModificationDate ? "MODIFY_TIME_ROOT_NAME"
                                                       : "LAST_ACCESS_TIME_ROOT_NAME";
    root->setFadeName(platform::Resources::LocalizedString(QString::fromLatin1(key)));
    root->setExpandAble(1);
    root->setType(view);
    rows->push_back(std::move(root));
  }
  KVTimeMgr::share().refreshTimeTree(rows->front().get(), &Scan());
}

bool KVUIController::IsFileNode(IFileNode* node, const KVRowArray& rows) {
  for (const auto& row : rows) {
    if (row != nullptr && row->fileNode() == node) return true;
  }
  return false;
}

int KVUIController::GetFileNodeToArray(std::vector<IFileNode*>* list, OpNodeData* row) {
  if (row == nullptr) return 0;
  switch (row->type()) {
    case KVViewPath:
      return GetPathInfoToArray(list, row) ? 1 : 0;
    case KVViewFileType:
      return GetTypeInfoToArray(list, row);
    case KVViewCreationDate:
    case KVViewModificationDate:
    case KVViewAccessDate:
      return GetDateInfoToArray(list, row);
    default:
      return 0;
  }
}

bool KVUIController::GetPathInfoToArray(std::vector<IFileNode*>* list, OpNodeData* row) {
  if (row == nullptr || list == nullptr || !row->isDirect() || row->fileNode() == nullptr) return false;
  list->clear();
  NodeTreeGuard held;
  for (IFileNode* child = row->fileNode()->GetFirstChild(); child != nullptr; child = child->GetNextNode()) {
    if (child->IsDirectory() == 0 && child->IsNodeShow() != 0) list->push_back(child);
  }
  return !list->empty();
}

int KVUIController::GetTypeInfoToArray(std::vector<IFileNode*>* list, OpNodeData* row) {
  if (row == nullptr) return 0;
  std::vector<IFileNode*> scratch;
  if (list == nullptr) list = &scratch;
  list->clear();
  if (row->parent() == nullptr && !KVTypeMgr::share().isOtherNode(row)) return 1;
  AppendHandles(row, list);
  return 0;
}

int KVUIController::GetDateInfoToArray(std::vector<IFileNode*>* list, OpNodeData* row) {
  if (row == nullptr) return 0;
  std::vector<IFileNode*> scratch;
  if (list == nullptr) list = &scratch;
  list->clear();
  // Only month rows hold files; roots and years hold rows.
  if (row->parent() == nullptr || row->parent()->parent() == nullptr) return 0;
  AppendHandles(row, list);
  return 0;
}

uint64_t KVUIController::GetNodeChildrenCnt(OpNodeData* row) { return GetTimeNodeChildrenCnt(row); }

// The files under a row: a month's or an extension's own, a year's over its
// months, a date root's over its years, a category's over its extension
// rows and the files listed beside them (the "other" row holds both).
uint64_t KVUIController::GetTimeNodeChildrenCnt(OpNodeData* row) {
  if (row == nullptr) return 0;
  uint64_t total = 0;
  const bool dateRoot = row->parent() == nullptr && (row->type() == 2 || row->type() == 3);
  for (OpNodeData::Child& child : row->children()) {
    auto* sub = std::get_if<std::unique_ptr<OpNodeData>>(&child);
    if (sub == nullptr) {
      ++total;
    } else if (*sub != nullptr) {
      total += dateRoot ? GetNodeChildrenCnt(sub->get()) : (*sub)->children().size();
    }
  }
  return total;
}

void KVUIController::setNodeState(OpNodeData* row, const std::vector<IFileNode*>& nodes) {
  if (row == nullptr) return;
  NodeTreeGuard held;
  uint64_t sum = 0, count = 0;
  int state = row->state();
  for (IFileNode* node : nodes) {
    if (node == nullptr || node->IsNodeShow() == 0) continue;
    const int status = node->GetCheckedStatus();
    sum += static_cast<uint64_t>(status);
    ++count;
    if (status >= 1) state = 1;
    if (status == 0 && sum > 0 && state == 1) break;
  }
  // Only the row's own mark (and its grouping parents) change: its files
  // already carry theirs.
  row->setParentNodeState(sum == 0 ? 0 : sum == 2 * count ? 2 : 1);
}

void KVUIController::RefreshTypeTreeState(OpNodeData* row) {
  if (row != nullptr) {
    KVTypeMgr::share().setNodeState(row);
  } else {
    KVTypeMgr::share().refreshTypeTreeState();
  }
}

void KVUIController::RefreshTimeTreeState(const KVRowArray& roots) {
  for (const auto& root : roots) {
    if (root == nullptr) continue;
    const int view = root->type();
    const KVUIScan::MonthIndex index = view == KVViewCreationDate       ? Scan().GetCreateTimeMap()
                                       : view == KVViewModificationDate ? Scan().GetModifyTimeMap()
                                                                        : KVUIScan::MonthIndex{};
    ForEachRow(root.get(), [&](OpNodeData* year) {
      ForEachRow(year, [&](OpNodeData* month) {
        int y = 0, m = 0;
        KVCPPPublic::instance().GetYearMonthByTimeT(
            &y, &m, view == KVViewCreationDate ? month->createtime() : month->modifytime());
        static const std::vector<IFileNode*> kNone;
        const auto yearIt = index.find(y);
        const std::vector<IFileNode*>* nodes = &kNone;
        if (yearIt != index.end()) {
          const auto monthIt = yearIt->second.find(m);
          if (monthIt != yearIt->second.end()) nodes = &monthIt->second;
        }
        setNodeState(month, *nodes);
      });
    });
  }
}

QString KVUIController::getImageForType(const QString& ext) { return KVTypeMgr::share().getImageForType(ext); }

void KVUIController::UnselectedAllNodes() { Scan().UnselectAllNodes(); }

void KVUIController::RefreshData() { Scan().RefreshAllData(); }

bool KVUIController::DoSearchWithString(const QString& key, const QString& postName) {
  KVUIScan& scan = Scan();
  if (scan.IsSearching() != 0) {
    std::fprintf(stderr, "++++++++++skip search key:%s++++++++\n", key.toUtf8().constData());
    return false;
  }
  KVTypeMgr::share().setSearch(true);
  KVTimeMgr::share().setSearch(true);
  scan.SetSearching(1);
  scan.SetSearchKey(key.toUtf8().constData());
  if (!platform::StartDetachedThread([postName] { DoSearchFn(postName); }, platform::kOperationStackSize,
                                     "kv-search")) {
    scan.SetSearching(0);
    return false;
  }
  return true;
}

void KVUIController::DoSearchFn(const QString& postName) {
  // The scan's news flag is the scan poller's: the search leaves it alone.
  Scan().DoSearch();
  KVUIPublic::NotifyMainThread(postName);
}

QString KVUIController::GetSearchString() { return QString::fromStdString(Scan().GetSearchKey()); }

void KVUIController::StopSearch() { Scan().SetSearching(0); }

void KVUIController::GetSearchResultToArr(std::vector<IFileNode*>* list) {
  if (list == nullptr || !Scan().HasSearchKey()) return;
  for (const auto& [category, nodes] : Scan().GetTypeMap()) {
    NodeTreeGuard held;
    for (IFileNode* node : nodes) {
      if (node != nullptr && node->IsNodeShow() != 0) list->push_back(node);
    }
  }
}

void KVUIController::UseRecovery(KVUIRecovery* recovery) { g_recovery.store(recovery); }

namespace {

// Calls `each` for every shown, fully ticked file of the category index,
// holding the tree lock.
template <typename Each>
void ForEachSelectedFile(Each each) {
  for (const auto& [category, nodes] : KVUIController::Scan().GetTypeMap()) {
    NodeTreeGuard held;
    for (IFileNode* node : nodes) {
      if (node == nullptr || node->IsNodeShow() == 0 || node->GetCheckedStatus() != CHECKED_STATUS_CHECKED) continue;
      each(node);
    }
  }
}

}  // namespace

std::vector<IFileNode*> KVUIController::GetSelectedFilesAndSize(uint64_t* size) {
  std::vector<IFileNode*> files;
  ForEachSelectedFile([&](IFileNode* node) {
    files.push_back(node);
    if (size != nullptr) *size += node->GetFileSize();
  });
  return files;
}

void KVUIController::GetSelectedFilesAmout(int* count, uint64_t* size) {
  uint64_t bytes = 0;
  const size_t files = GetSelectedFilesAndSize(&bytes).size();
  if (count != nullptr) *count = static_cast<int>(files);
  if (size != nullptr) *size += bytes;
  Recovery().SetRecoveryTotalSize(bytes);
}

uint64_t KVUIController::GetSelectedStoredSize() {
  uint64_t bytes = 0;
  ForEachSelectedFile([&](IFileNode* node) {
    auto* stored = dynamic_cast<CFileNode*>(node);
    const uint64_t size = stored != nullptr ? stored->GetStoredSize() : node->GetFileSize();
    // Held at the top: a sum that wrapped would pass any check.
    bytes = size > UINT64_MAX - bytes ? UINT64_MAX : bytes + size;
  });
  return bytes;
}

uint64_t KVUIController::DoRecovery(const QString& folder, const QString& postName) {
  constexpr uint64_t kNoFolder = 0x0102052F00000001ull;
  constexpr uint64_t kRunning = 0x0102052F00000002ull;
  if (folder.isEmpty()) return kNoFolder;
  KVUIRecovery& recovery = Recovery();
  const int status = recovery.GetStatus();
  if (status == KVOperationRunning || status == KVOperationPaused) return kRunning;
  // Set by the body, so that a recovery still stopping keeps its own folder
  // until it has returned (a start meanwhile is queued behind it).
  const std::string path = folder.toUtf8().toStdString();
  const auto body = [&recovery, path] {
    recovery.SetRecoveryPath(path.c_str());
    KVRecoveryFolderNumbers::Shared().Clear();
    std::string rawFolders;
    recovery.DoRecovery(rawFolders);
  };
  return DoOperation(body, KVPollArgs{&recovery, postName}) ? 0 : kRunning;
}

void KVUIController::DoRecoveryFn() {
  std::string rawFolders;
  Recovery().DoRecovery(rawFolders);
}

QString KVUIController::GetRecoveryProgressTotal(uint64_t* total, uint64_t* current, uint64_t* error) {
  const _PROGRESS_INFO info = Recovery().GetProgressInfo();
  if (total != nullptr) *total = info.total;
  if (current != nullptr) *current = info.current;
  if (error != nullptr) *error = info.error;
  IFileNode* node = Recovery().GetCurrentRecoveryNode();
  return node != nullptr ? OpNodeData::fileNodeName(node) : QString();
}

bool KVUIController::IsRecoveryRunning() {
  const int status = Recovery().GetStatus();
  return status == KVOperationRunning || status == KVOperationPaused;
}

bool KVUIController::IsRecoveryPaused() { return Recovery().GetStatus() == KVOperationPaused; }

void KVUIController::StopRecvoery() { Recovery().StopOperation(1); }
void KVUIController::PauseOrResumeRecovery() { Recovery().PauseOrResumeOperation(); }

bool KVUIController::IsRecoveryToSameDevice(const QString& path) {
  return Recovery().RecoveryPathIsSameDevice(path.toUtf8().constData());
}

uint64_t KVUIController::GetRecoveridedSize() { return Recovery().GetRecoveriedFileSize(); }
uint64_t KVUIController::GetRecoveridedFiles() { return Recovery().GetRecoveriedFilesCnt(); }

uint64_t KVUIController::GetFailedRecoveryFiles(uint64_t* tooLarge) {
  if (tooLarge != nullptr) *tooLarge = Recovery().GetTooLargeFilesCnt();
  return Recovery().GetFailedFilesCnt();
}

QStringList KVUIController::GetFailedRecoveryPaths() {
  QStringList paths;
  for (const std::string& path : Recovery().GetFailedFilePaths()) paths << QString::fromStdString(path);
  return paths;
}
