// KVUIController: saving and loading scan results.
#include <QCoreApplication>
#include <QDir>
#include <QThread>

#include <atomic>
#include <mutex>

#include "SystemTime.h"
#include "app/KVSafeFileName.h"
#include "app/KVSaveAndRestoreNodeOperate.h"
#include "app/KVTimeMgr.h"
#include "app/KVTypeMgr.h"
#include "app/KVUIController.h"
#include "app/KVUIDeviceData.h"
#include "app/KVUIPublic.h"
#include "app/KVUIScan.h"
#include "app/LoadedVolumeJudge.h"
#include "app/ScanResultSaveRestore.h"
#include "base/Utility.h"
#include "platform/Resources.h"
#include "platform/UserDefaults.h"

namespace {

std::atomic<KVSaveAndRestoreNodeOperate*> g_saver{nullptr};
std::atomic<KVUIDeviceData*> g_devices{nullptr};

// The names the pollers post, by kind (0 load, 1 save).
std::mutex g_namesLock;
QString g_postNames[2] = {QStringLiteral("NormalScranValue"), QStringLiteral("QueryProgressInfo")};

KVSaveAndRestoreNodeOperate& Saver() {
  KVSaveAndRestoreNodeOperate* saver = g_saver.load();
  return saver != nullptr ? *saver : KVSaveAndRestoreNodeOperate::instance();
}

KVUIDeviceData& Devices() {
  KVUIDeviceData* devices = g_devices.load();
  return devices != nullptr ? *devices : KVUIDeviceData::instance();
}

QString PostName(int save) {
  std::lock_guard<std::mutex> held(g_namesLock);
  return g_postNames[save != 0 ? 1 : 0];
}

bool OnMainThread() {
  const QCoreApplication* app = QCoreApplication::instance();
  return app == nullptr || QThread::currentThread() == app->thread();
}

// Room for the extension the window adds.
constexpr size_t kExtensionRoom = 4;

}  // namespace

void KVUIController::UseSaveOperation(KVSaveAndRestoreNodeOperate* operation) { g_saver.store(operation); }
void KVUIController::UseSaveDevices(KVUIDeviceData* devices) { g_devices.store(devices); }

bool KVUIController::beginSaveOrRestoreNode(int save, const QString& path) {
  SaveRestoreResult::OperationPara para;
  para.path = path.toUtf8().toStdString();
  para.scan = &Scan();
  para.saver = &Saver();
  para.devices = &Devices();
  int started;
  if (save != 0) {
    // The trees are saved as they stand: not while a scan still grows them.
    started = Scan().IsOperationExit() ? SaveRestoreResult::DoSaveScanResult(para, PostName(1)) : -2;
    if (started != 0 && Saver().IsOperationExit()) {
      _PROGRESS_INFO refused;
      refused.status = PROGRESS_STATUS_FINISHED;
      refused.total = refused.current = 100;
      refused.error = para.path.empty() ? SaveRestoreResult::kSaveCannotCreate : SaveRestoreResult::kSaveRefused;
      Saver().SetProgressInfo(refused);
    }
  } else {
    KVUIScan& scan = Scan();
    // A scan still running (stopping included) keeps its controller: the
    // load would replace it under the scan's feet. One that has ended and is
    // only winding down is waited for.
    if (!scan.IsOperationExit()) {
      started = -2;
    } else {
      if (OnMainThread()) {
        KVTypeMgr::share().clear();
        KVTimeMgr::share().clear();
      }
      // The last scan's files and finished record go as the load is
      // claimed (KVUIScan::RunRequested), before its worker starts.
      started = SaveRestoreResult::DoRestoreScanResult(para, PostName(0));
    }
    if (started != 0) {
      SaveRestoreResult::SetLastLoadError(para.path.empty() ? SaveRestoreResult::kLoadCannotOpen
                                                            : SaveRestoreResult::kLoadRefused);
    }
  }
  // The window waits for the end of what it asked for; it has come.
  if (started != 0) KVUIPublic::NotifyMainThread(QStringLiteral("QueryProgressFinish"));
  return started == 0;
}

void KVUIController::RestorPostUIUpdate(const QString& name, int save) {
  std::lock_guard<std::mutex> held(g_namesLock);
  g_postNames[save != 0 ? 1 : 0] = name;
}

void KVUIController::GetSaveorRestoreProgress(uint64_t* total, uint64_t* current, uint64_t* error, int save) {
  KVUIOperation& operation = save != 0 ? static_cast<KVUIOperation&>(Saver()) : static_cast<KVUIOperation&>(Scan());
  const _PROGRESS_INFO info = operation.GetProgressInfo();
  uint64_t outcome = info.error;
  if (save == 0 && outcome == 0) outcome = SaveRestoreResult::LastLoadError();
  const bool over = info.status == PROGRESS_STATUS_FINISHED || operation.IsOperationExit();
  if (total != nullptr) *total = info.total;
  if (current != nullptr) *current = over ? info.total : info.current;
  if (error != nullptr) *error = outcome;
}

bool KVUIController::GetLoadDamage(uint64_t* leftOut, uint64_t* cut, uint64_t* unreadBytes) {
  if (SaveRestoreResult::LastLoadError() != SaveRestoreResult::kLoadDamaged) return false;
  const SaveRestoreResult::LoadDamage damage = SaveRestoreResult::LastLoadDamage();
  if (leftOut != nullptr) *leftOut = damage.leftOut;
  if (cut != nullptr) *cut = damage.cut;
  if (unreadBytes != nullptr) *unreadBytes = damage.unreadBytes;
  return true;
}

bool KVUIController::IsLoadUnverified() { return SaveRestoreResult::LastLoadUnverified(); }
uint64_t KVUIController::GetLoadChangedFiles() { return SaveRestoreResult::LastLoadChangedFiles(); }

bool KVUIController::IsSaveOrRestoreRunning(int save) {
  if (save == 0) return SaveRestoreResult::IsLoadRunning();
  KVSaveAndRestoreNodeOperate& saver = Saver();
  return !saver.IsOperationExit() || saver.IsWorkerRunning();
}

bool KVUIController::StopSave(std::chrono::milliseconds wait) { return SaveRestoreResult::StopSave(Saver(), wait); }

void KVUIController::SavePathToPList(const QString& folder) {
  platform::UserDefaults& defaults = platform::UserDefaults::Standard();
  defaults.SetValue(QLatin1String(platform::UserDefaults::kSavePathKey), folder);
  defaults.Synchronize();
}

QString KVUIController::GetSavePath() {
  return platform::UserDefaults::Standard().Value(QLatin1String(platform::UserDefaults::kSavePathKey)).toString();
}

QString KVUIController::GetDefaultSavePath() {
  const QString path = QString::fromUtf8(GetAppWorkPath()) + QStringLiteral("/SaveScan");
  QDir().mkdir(path);
  return path;
}

QString KVUIController::GetSaveFileName() {
  std::string device;
  if (IStorageDevice* storage = Scan().GetSavedStorage()) {
    SaveRestoreResult::DeviceRecord record;
    if (SaveRestoreResult::DescribeDevice(storage, Devices(), record)) device = record.name;
  }
  if (device.empty()) {
    device = platform::Resources::LocalizedString(QStringLiteral("DEVICE_NAME_UNTITILED")).toUtf8().toStdString();
  }
  _SYSTEMTIME now{};
  GetLocalTime(&now);
  char when[64];
  std::snprintf(when, sizeof when, "%02d-%02d-%04d at %02d_%02d_%02d", now.wMonth, now.wDay, now.wYear, now.wHour,
                now.wMinute, now.wSecond);
  // A device name may hold anything, "/" included.
  const std::string name = KVSafeFileName(device + "_" + when);
  return QString::fromStdString(std::string(SaveRestoreResult::CutUtf8(name, kKVMaxFileNameBytes - kExtensionRoom)));
}
