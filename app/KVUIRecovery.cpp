#include "app/KVUIRecovery.h"

#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <filesystem>

#include "FileNode.h"
#include "app/KVCPPPublic.h"
#include "app/KVRecoveryFilePath.h"
#include "app/KVUIDeviceData.h"
#include "app/KVUIScan.h"
#include "app/LoadedVolumeJudge.h"
#include "app/ScanResultSaveRestore.h"
#include "base/CatchExeception.h"
#include "enumeration/MountInfo.h"

namespace fs = std::filesystem;

namespace {

using Lock = std::lock_guard<std::mutex>;

uint64_t FileSize(IFileNode* node) {
  NodeTreeGuard tree;
  return node->GetFileSize();
}

std::string ReadLink(const fs::path& path) {
  std::error_code error;
  const fs::path target = fs::canonical(path, error);
  return error ? std::string() : target.string();
}

}  // namespace

KVUIRecovery& KVUIRecovery::instance() {
  static KVUIRecovery recovery;
  // The process's scan lets the copy-out objects go before its controller
  // changes and fills them again after every scan.
  static const bool hooked = [] {
    KVUIScan::instance().SetRecoveryHooks([] { KVUIRecovery::instance().ReleaseDataRecovery(); },
                                          [] { KVUIRecovery::instance().ResetParam(); });
    return true;
  }();
  (void)hooked;
  return recovery;
}

KVUIRecovery::KVUIRecovery(KVUIScan* scan, KVUIDeviceData* devices) : m_scan(scan), m_devices(devices) {}

KVUIRecovery::~KVUIRecovery() {
  if (IsWorkerRunning()) {
    StopOperation(1);
    WaitForThreads(std::chrono::milliseconds(5000));
  }
  // The copy-out objects are the operation's; a worker that never came back
  // still uses them, so they are left to it.
  if (!IsWorkerRunning()) ReleaseDataRecovery();
}

KVUIScan& KVUIRecovery::Scan() { return m_scan != nullptr ? *m_scan : KVUIScan::instance(); }

std::mutex& KVUIRecovery::CopyOutLock(IDataRecovery* copyOut) {
  static std::mutex tableLock;
  static std::map<IDataRecovery*, std::mutex> locks;
  Lock held(tableLock);
  return locks[copyOut];
}

void KVUIRecovery::InitDataRecoveryController() {
  Lock held(m_fieldLock);
  if (m_controller == nullptr) m_controller = Scan().GetRecoveryController();
  if (m_controller == nullptr) return;
  for (int type = 31; type <= SEARCHER_TYPE_NTFS; ++type) {
    m_copyOut[type] = m_controller->GetDataRecovery(static_cast<_tagSearcherType>(type));
  }
  if (Scan().IsDeepScan()) m_deepMap = true;
}

void KVUIRecovery::ResetParam() {
  {
    Lock held(m_fieldLock);
    m_controller = nullptr;
    m_currentNode = nullptr;
  }
  InitDataRecoveryController();
  if (GetStatus() != KVOperationRunning) {
    m_recoveredBytes = 0;
    m_totalSize = 0;
  }
  SetNeedUIUpdate(0);
  SetProgressInfo(_PROGRESS_INFO{});
}

void KVUIRecovery::ReleaseDataRecovery() {
  Lock held(m_fieldLock);
  for (auto& [type, copyOut] : m_copyOut) {
    if (copyOut != nullptr) copyOut->Release();
  }
  m_copyOut.clear();
  m_controller = nullptr;
  m_deepMap = false;
  // Called before the next scan or load lets the nodes go: the name of the
  // last file copied must not be asked of a released node.
  m_currentNode = nullptr;
}

bool KVUIRecovery::CheckWhetherNeedReset() {
  Lock held(m_fieldLock);
  return m_copyOut.empty();
}

IDataRecovery* KVUIRecovery::GetDataRecoveryByType(_tagSearcherType type) {
  Lock held(m_fieldLock);
  const auto it = m_copyOut.find(type);
  return it != m_copyOut.end() ? it->second : nullptr;
}

IDataRecovery* KVUIRecovery::CopyOutFor(IFileNode* node, IRecoveryController* controller, std::string& rawFolders) {
  if (controller->thisType() == RECOVERY_CONTROLLER_DELETED) return Scan().GetFileNodeDataRecover(node);
  const _tagSearcherType type = KVCPPPublic::instance().GetNodeSearcheType(node);
  if (type == SEARCHER_TYPE_RAW && node->GetParent() != nullptr && node->GetParent()->GetFileName() != nullptr) {
    const std::string folder = std::string(node->GetParent()->GetFileName()) + ",";
    if (("," + rawFolders).find("," + folder) == std::string::npos) rawFolders += folder;
  }
  return GetDataRecoveryByType(type);
}

ResultCode KVUIRecovery::DoRecovery(std::string& rawFolders) {
  m_recoveredBytes = 0;
  m_recoveredFiles = 0;
  m_failedFiles = 0;
  m_tooLargeFiles = 0;
  {
    Lock held(m_fieldLock);
    m_failedPaths.clear();
  }
  Scan().SetCurrentScanRecoveryCnt(Scan().GetCurrentScanRecoveryCnt() + 1);
  const std::string folder = GetRecoveryPath();
  ResultCode last = 0;
  std::string raw;
  // A loaded result's files are held against their volumes as they are
  // now: the card may have been written since the load.
  SaveRestoreResult::LoadedVolumeJudge judge(SaveRestoreResult::LastLoadUnverified());
  judge.UseTrees([this] {
    return SaveRestoreResult::LoadedTreesOf(Scan(), [this](IFilesystemNode* root) {
      IRecoveryController* controller;
      {
        Lock held(m_fieldLock);
        controller = m_controller;
      }
      if (controller != nullptr && controller->thisType() == RECOVERY_CONTROLLER_DELETED) {
        return Scan().GetFileNodeDataRecover(root);
      }
      return GetDataRecoveryByType(root->GetSearcheType());
    });
  });
  for (const auto& [category, nodes] : Scan().GetTypeMap()) {
    if (Continued() == 0) break;
    for (IFileNode* node : nodes) {
      if (Continued() == 0) break;
      if (node == nullptr) continue;
      {
        NodeTreeGuard tree;
        if (node->IsNodeShow() == 0 || node->GetCheckedStatus() != CHECKED_STATUS_CHECKED) continue;
      }
      IRecoveryController* controller;
      {
        Lock held(m_fieldLock);
        controller = m_controller;
      }
      if (controller == nullptr || (Scan().IsDeepScan() && !m_deepMap)) {
        ResetParam();
        Lock held(m_fieldLock);
        controller = m_controller;
      }
      if (controller == nullptr) continue;
      IDataRecovery* copyOut = CopyOutFor(node, controller, raw);
      if (copyOut == nullptr) {
        // Nothing can read it: a ticked file that is not copied has failed.
        if (node->IsDirectory() == 0) {
          ++m_failedFiles;
          // Named where its copy would be: the folders made for it are the
          // user's, as for every copy.
          if (char* missing = CreateRecoveryFilePathByNode(node, folder.c_str()); missing != nullptr) {
            NoteFailedFile(missing);
            GiveToInvokingUser(folder, missing);
            std::free(missing);
          }
        }
        continue;
      }
      std::lock_guard<std::mutex> copying(CopyOutLock(copyOut));
      judge.JudgeBeforeCopy(node, copyOut, KVCPPPublic::instance().GetNodeSearcheType(node));
      IFileReader* reader = copyOut->SetRecoverNode(node);
      {
        Lock held(m_fieldLock);
        m_currentNode = node;
      }
      const char* copyingName = node->GetFileName();
      m_copyingName = copyingName != nullptr ? copyingName : "";
      m_copying = true;
      m_lastCurrent = 0;  // positions start again with every file
      char* destination = CreateRecoveryFilePathByNode(node, folder.c_str());
      ResultCode result = 0x0102052F00000005ull;  // no destination path
      bool cut = false;
      const std::string destinationPath = destination != nullptr ? destination : "";
      if (destination != nullptr) {
        result = copyOut->RecoverTo(destination, this, 0);
        std::error_code error;
        const uint64_t size = FileSize(node);
        const uint64_t copied = fs::file_size(destination, error);
        // An empty file's copy answers 0; no reader for any other file (one a
        // load cut to nothing included) fails it, whatever it left behind.
        if (!result::IsFailure(result) && (error || copied < size) && StopAsked()) {
          // The user stopped in the middle of this file: the engine left
          // off where it was, and what it wrote is no recovered file.
          fs::remove(destination, error);
          cut = true;
        }
        // Whatever it holds (an incomplete copy keeps what could be read of
        // a damaged file, counted as failed), a copy made here is the
        // user's, like the folders made for it.
        GiveToInvokingUser(folder, destination);
        std::free(destination);
      }
      m_copying = false;
      if (reader != nullptr) reader->Release();
      if (cut) {
        // Neither recovered nor failed: stopped.
      } else if (result::IsFailure(result)) {
        ++m_failedFiles;
        if (result::Error(result) == result::kErrTooLarge) ++m_tooLargeFiles;
        last = result;
        if (!destinationPath.empty()) {
          NoteFailedFile(destinationPath);
        } else {
          CatchExeception::WriteLog("Recovery: no copy made of %s\r\n", m_copyingName.c_str());
        }
      } else {
        ++m_recoveredFiles;
      }
    }
    rawFolders = raw;
  }
  SetNeedUIUpdate(1);
  EndOperation();
  std::printf("========Recovery finished!==========\n");
  return last;
}

void KVUIRecovery::NoteFailedFile(const std::string& path) {
  CatchExeception::WriteLog("Recovery: not recovered whole: %s\r\n", path.c_str());
  Lock held(m_fieldLock);
  if (m_failedPaths.size() < kFailedPathsKept) m_failedPaths.push_back(path);
}

std::vector<std::string> KVUIRecovery::GetFailedFilePaths() {
  Lock held(m_fieldLock);
  return m_failedPaths;
}

bool KVUIRecovery::StopAsked() {
  const int status = GetStatus();
  return IsRunEnding() || (status != KVOperationRunning && status != KVOperationPaused);
}

int KVUIRecovery::UpdateProgress(_PROGRESS_INFO* info) {
  if (info == nullptr) return 1;
  // A recovery superseded by a queued one reports nothing: the counters,
  // and a pause for a full destination, would be the new run's.
  if (IsRunEnding()) return 0;
  const uint64_t last = m_lastCurrent.exchange(info->current);
  if (info->current > last) m_recoveredBytes += info->current - last;
  _PROGRESS_INFO record;
  record.total = m_totalSize;
  record.current = m_recoveredBytes;
  record.error = info->error;
  SetProgressInfo(record);
  if (info->current == info->total && m_copying) {
    // Counted as the engine reports it: this file is the how-manieth tried.
    // The copy's own thread reports it, with the copy-out object locked: the
    // field lock is not taken here, so that no other order of the two arises.
    const unsigned long long ordinal = m_recoveredFiles.load() + m_failedFiles.load() + 1;
    std::printf("===Recvoeried file(%lld):%s=====\n", static_cast<long long>(ordinal), m_copyingName.c_str());
  }
  // A full destination pauses a running copy (the engine writes the same
  // piece again after resume); a stop asked for meanwhile stays a stop.
  if ((info->error & 0xffffffffu) == kDestinationFull && GetStatus() == KVOperationRunning) {
    SetStatus(KVOperationPaused);
  }
  SetNeedUIUpdate(1);
  return 0;
}

void KVUIRecovery::SetRecoveryPath(const char* folder) {
  Lock held(m_fieldLock);
  m_folder = std::string(folder != nullptr ? folder : "") + "/";
}

std::string KVUIRecovery::GetRecoveryPath() {
  Lock held(m_fieldLock);
  return m_folder;
}

void KVUIRecovery::SetRecoveryTotalSize(uint64_t size) { m_totalSize = size; }

IFileNode* KVUIRecovery::GetCurrentRecoveryNode() {
  Lock held(m_fieldLock);
  return m_currentNode;
}

int64_t KVUIRecovery::InvokingUser() {
  for (const char* name : {"PKEXEC_UID", "SUDO_UID"}) {
    const char* text = std::getenv(name);
    if (text == nullptr || *text == '\0') continue;
    char* end = nullptr;
    errno = 0;
    const long long uid = std::strtoll(text, &end, 10);
    if (errno == 0 && *end == '\0' && uid >= 0 && uid < (1ll << 32) - 1) return uid;
  }
  return -1;
}

void KVUIRecovery::GiveToInvokingUser(const std::string& destination, const std::string& file) {
  const int64_t uid = InvokingUser();
  if (uid < 0 || geteuid() != 0) return;
  // The file and the folders made for it, below the chosen folder; a copy
  // that could not be made leaves its folders all the same.
  const std::string base = fs::path(destination).lexically_normal().string();
  for (fs::path at = fs::path(file).lexically_normal();
       at.string().size() > base.size() && at.string().compare(0, base.size(), base) == 0; at = at.parent_path()) {
    if (lchown(at.c_str(), static_cast<uid_t>(uid), static_cast<gid_t>(-1)) != 0 && errno != ENOENT) break;
  }
}

std::set<std::string> KVUIRecovery::BackingDisks(dev_t device, const std::string& sysRoot) {
  std::set<std::string> names;
  std::vector<std::string> pending;
  const std::string start =
      ReadLink(sysRoot + "/dev/block/" + std::to_string(major(device)) + ":" + std::to_string(minor(device)));
  if (!start.empty()) pending.push_back(start);
  while (!pending.empty() && names.size() < 4096) {
    const fs::path at = pending.back();
    pending.pop_back();
    if (!names.insert(at.filename().string()).second) continue;
    std::error_code error;
    if (fs::exists(at / "partition", error)) pending.push_back(at.parent_path().string());
    for (const auto& slave : fs::directory_iterator(at / "slaves", error)) {
      const std::string target = ReadLink(slave.path());
      if (!target.empty()) pending.push_back(target);
    }
  }
  return names;
}

dev_t KVUIRecovery::BlockDeviceOfPath(const char* path) {
  struct stat info {};
  if (path == nullptr || stat(path, &info) != 0) return 0;
  if (major(info.st_dev) != 0) return info.st_dev;
  // Anonymous device numbers (btrfs, overlay, tmpfs): the mount's source.
  std::vector<MountEntry> table;
  if (!ReadMountInfo("/proc/self/mountinfo", table)) return 0;
  for (const MountEntry& entry : table) {
    if (entry.major != major(info.st_dev) || entry.minor != minor(info.st_dev)) continue;
    struct stat source {};
    if (entry.source.rfind("/dev/", 0) == 0 && stat(entry.source.c_str(), &source) == 0 && S_ISBLK(source.st_mode)) {
      return source.st_rdev;
    }
  }
  return 0;
}

bool KVUIRecovery::RecoveryPathIsSameDevice(const char* path) {
  IStorageDevice* storage = Scan().GetSavedStorage();
  if (path == nullptr || storage == nullptr) return false;
  KVUIDeviceData& devices = m_devices != nullptr ? *m_devices : KVUIDeviceData::instance();
  IStorageDevice* disk = devices.IsDiskStorage(storage) ? storage : devices.GetDiskStorageByVolumeStorage(storage);
  _DiskVolumeData record;
  if (disk == nullptr || devices.GetDiskDataByStorage(disk, record) == 0 || record.description.empty()) return false;
  const dev_t device = BlockDeviceOfPath(path);
  if (device == 0) return false;
  const std::set<std::string> disks = BackingDisks(device);
  return disks.count(fs::path(record.description).filename().string()) != 0;
}
