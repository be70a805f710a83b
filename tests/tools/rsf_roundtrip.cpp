// A saved scan result's round trip from the command line, through the
// application core on this machine's devices:
//
//   rsf_roundtrip scan [--deep] [--recover-to DIR] DEVICE OUT.rsf
//   rsf_roundtrip recover [--before-copy COMMAND] IN.rsf DIR
//
// `scan` scans DEVICE as the results window does (a whole disk volume by
// volume, or one volume; every sector with --deep) and saves the result as
// the window saves it; with --recover-to it also copies every file out of the
// fresh scan into DIR, as `recover` does. DEVICE is a disk's node
// (/dev/loop3), a volume's (/dev/loop3p2), or the name a partition's node
// would have when the kernel made none (the application's own volume for
// partition 2 of /dev/loop3).
//
// `recover` loads IN.rsf as the windows load it, then copies every file of
// every tree into DIR/<tree>/<path in the tree>, where <tree> is the tree's
// number, searcher and volume name, and prints one line per file, "ok PATH"
// or "failed PATH" (PATH below DIR), also after a load that reported damage
// (as the windows copy out what such a load shows), then "load error N" and,
// for a file that keeps no identity of its volumes, "load warning: the
// volumes cannot be verified" (the windows' sheet). A load that finds files
// whose clusters went to other files since the scan says how many ("volume
// changed since the scan: N files"); both are read when the load's end is
// announced, as the windows read them. Like a recovery in the windows, the
// copies judge the files against the volume again, as it is when they are
// made: COMMAND, given, runs (through the shell) between the load and the
// copies. A file the destination has no room for is "failed" and the run
// goes on with the next: nothing waits for a user. Both exit non-zero when
// the load or the save reported an error, a file failed, or the scan could
// read its volume only in part (what it found is still saved and copied).
#include <QCoreApplication>
#include <QTimer>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <list>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "DataRecovery.h"
#include "DeviceData.h"
#include "FileNode.h"
#include "app/KVCPPPublic.h"
#include "app/KVSaveAndRestoreNodeOperate.h"
#include "app/KVUIController.h"
#include "app/KVUIDeviceData.h"
#include "app/KVUIRecovery.h"
#include "app/KVUIScan.h"
#include "app/LoadedVolumeJudge.h"
#include "platform/NotificationCenter.h"
#include "scan/CRecoveryController.h"
#include "tree/CDirectoryTreeBuilder.h"

namespace {

namespace fs = std::filesystem;

int Usage(const char* self) {
  std::fprintf(stderr,
               "usage: %s scan [--deep] [--recover-to DIR] DEVICE OUT.rsf\n"
               "       %s recover [--before-copy COMMAND] IN.rsf DIR\n",
               self, self);
  return 64;
}

// A name as one path component: no separators, never "." or "..".
std::string Component(const char* name) {
  std::string out = name != nullptr ? name : "";
  for (char& c : out) {
    if (c == '/' || c == '\0') c = '_';
  }
  if (out.empty() || out == "." || out == "..") out = "_" + out;
  return out;
}

// The engine's controllers, whose tree builders skip the second they wait
// before a tree's first batch for a window to settle its new root: there is
// no window here, and what the trees hold is the same.
KVUIScan::ControllerFactory WithoutPause() {
  return [](_RECOVERY_CONTROLLER_TYPE kind) {
    IRecoveryController* controller = CreateRecoveryController(kind);
    if (auto* base = dynamic_cast<CRecoveryControllerBase*>(controller)) {
      RecoveryControllerParts parts;
      parts.makeTreeBuilder = [](bool restoring) {
        IDirecotryTreeBuilder* builder = CreateTreeBuilder(restoring);
        if (auto* tree = dynamic_cast<CDirectoryTreeBuilder*>(builder)) tree->SetPause({});
        return builder;
      };
      base->SetParts(parts);
    }
    return controller;
  };
}

// The device DEVICE names among this machine's (see the header).
IStorageDevice* FindDevice(KVUIDeviceData& devices, const std::string& path) {
  std::list<_DiskVolumeData> disks;
  devices.GetAllDeviceInfo(disks);
  for (const _DiskVolumeData& disk : disks) {
    if (disk.description == path) return devices.GetDiskStorageByIndex(disk.diskIndex);
  }
  for (const _DiskVolumeData& disk : disks) {
    for (const _DiskVolumeData& volume : disk.children) {
      IStorageDevice* device = devices.GetStorageByDiskVolumeIndex(volume.diskIndex, volume.volumeIndex);
      const CCollectedVolumeDeviceInfoStruct* info = VolumeRecordOf(device);
      if (info == nullptr) continue;
      if (info->bsdName[0] != '\0' && "/dev/" + std::string(info->bsdName) == path) return device;
      // The node the partition would have: the disk's, "p" when the disk's
      // name ends in a digit, and the partition number.
      if (info->partitionNumber > 0) {
        const std::string number = std::to_string(info->partitionNumber);
        const bool digit =
            !disk.description.empty() && std::isdigit(static_cast<unsigned char>(disk.description.back()));
        if (disk.description + (digit ? "p" : "") + number == path) return device;
      }
    }
  }
  return nullptr;
}

// Runs one operation of the controller (a save or a load) to its end and
// answers its error.
uint64_t RunSaveOrLoad(int save, const std::string& path) {
  bool finished = false;
  QObject owner;
  platform::NotificationCenter::DefaultCenter().AddObserver("QueryProgressFinish", &owner,
                                                            [&finished](const platform::Notification&) {
                                                              finished = true;
                                                              QCoreApplication::quit();
                                                            });
  // An operation that never ends is a failure, not a hang.
  QTimer::singleShot(600000, [] { QCoreApplication::exit(3); });
  if (!KVUIController::beginSaveOrRestoreNode(save, QString::fromStdString(path))) {
    std::fprintf(stderr, "the %s did not start\n", save != 0 ? "save" : "load");
  }
  if (!finished && QCoreApplication::exec() != 0) return ~uint64_t{0};
  platform::NotificationCenter::DefaultCenter().RemoveObserver(&owner);
  uint64_t total = 0, current = 0, error = 0;
  KVUIController::GetSaveorRestoreProgress(&total, &current, &error, save);
  return error;
}

// Copies every file of every tree into `folder`, one line per file; answers
// how many failed.
uint64_t RecoverEveryFile(KVUIScan& scan, KVUIDeviceData& devices, const fs::path& folder) {
  KVUIRecovery recovery(&scan, &devices);
  recovery.SetStatus(KVOperationRunning);
  recovery.ResetParam();
  IRecoveryController* controller = scan.GetRecoveryController();
  const bool quick = controller != nullptr && controller->thisType() == RECOVERY_CONTROLLER_DELETED;
  uint64_t failed = 0;
  int number = 0;
  // As a recovery in the windows: a loaded result's files are judged
  // against the volume as it is now.
  SaveRestoreResult::LoadedVolumeJudge judge(KVUIController::IsLoadUnverified());
  judge.UseTrees([&] {
    return SaveRestoreResult::LoadedTreesOf(scan, [&](IFilesystemNode* root) {
      return quick ? scan.GetFileNodeDataRecover(root) : recovery.GetDataRecoveryByType(root->GetSearcheType());
    });
  });
  for (IFilesystemNode* root : scan.GetFileSystemNode()) {
    ++number;
    const std::string tree =
        std::to_string(number) + "-" + std::to_string(root->GetSearcheType()) + "-" + Component(root->GetVolumeName());
    // Depth first, each folder's children in their order; names taken twice
    // in one folder get "~2", "~3"...
    std::vector<std::pair<IFileNode*, fs::path>> stack{{root, fs::path(tree)}};
    while (!stack.empty()) {
      auto [folderNode, at] = stack.back();
      stack.pop_back();
      std::map<std::string, int> taken;
      std::vector<std::pair<IFileNode*, fs::path>> children;
      for (IFileNode* child = folderNode->GetFirstChild(); child != nullptr; child = child->GetNextNode()) {
        std::string name = Component(child->GetFileName());
        if (const int seen = ++taken[name]; seen > 1) name += "~" + std::to_string(seen);
        children.emplace_back(child, at / name);
      }
      for (auto it = children.rbegin(); it != children.rend(); ++it) {
        IFileNode* node = it->first;
        if (node->IsDirectory() != 0) {
          stack.push_back(*it);
          continue;
        }
        const fs::path target = folder / it->second;
        std::error_code error;
        fs::create_directories(target.parent_path(), error);
        IDataRecovery* copyOut = quick
                                     ? scan.GetFileNodeDataRecover(node)
                                     : recovery.GetDataRecoveryByType(KVCPPPublic::instance().GetNodeSearcheType(node));
        bool ok = false;
        if (copyOut != nullptr && !error) {
          std::lock_guard<std::mutex> copying(KVUIRecovery::CopyOutLock(copyOut));
          judge.JudgeBeforeCopy(node, copyOut, root->GetSearcheType());
          IFileReader* reader = copyOut->SetRecoverNode(node);
          // No progress sink: the windows pause a copy on a full destination
          // until the user makes room, but no one here would answer, so a
          // full destination fails this file and the next one is tried.
          const ResultCode result = copyOut->RecoverTo(target.c_str(), nullptr, 0);
          if (reader != nullptr) reader->Release();
          const uint64_t copied = fs::file_size(target, error);
          // Copy-out answers 0 for an empty file; a file without a reader,
          // or one a load cut to nothing, fails.
          ok = !error && copied == node->GetFileSize() && !result::IsFailure(result);
        }
        if (!ok) ++failed;
        std::printf("%s %s\n", ok ? "ok" : "failed", it->second.c_str());
      }
    }
  }
  recovery.ReleaseDataRecovery();
  return failed;
}

int Scan(bool deep, const std::string& recoverTo, const std::string& device, const std::string& out) {
  KVUIDeviceData devices;
  devices.InitDeviceInfo();
  IStorageDevice* storage = FindDevice(devices, device);
  if (storage == nullptr) {
    std::fprintf(stderr, "no device %s on this machine\n", device.c_str());
    return 2;
  }
  KVUIScan scan(&devices, WithoutPause());
  KVSaveAndRestoreNodeOperate saver;
  KVUIController::UseScan(&scan);
  KVUIController::UseSaveDevices(&devices);
  KVUIController::UseSaveOperation(&saver);
  scan.SetDeepScan(deep ? 1 : 0);
  scan.SetStatus(KVOperationRunning);
  const ResultCode scanned = scan.DoScan(storage, nullptr);
  if (scan.GetFileSystemNode().empty()) {
    std::fprintf(stderr, "the scan found nothing (0x%llx)\n", static_cast<unsigned long long>(scanned));
    return 2;
  }
  // A volume read only in part (a damaged root) still gives what it found,
  // as the windows show it; the exit status says the scan was not whole.
  const bool partial = result::IsFailure(scanned);
  if (partial) {
    std::fprintf(stderr, "the scan could not read the volume whole (0x%llx)\n",
                 static_cast<unsigned long long>(scanned));
  }
  const uint64_t saved = RunSaveOrLoad(1, out);
  saver.WaitForThreads(std::chrono::seconds(30));
  uint64_t failed = 0;
  if (!recoverTo.empty()) failed = RecoverEveryFile(scan, devices, recoverTo);
  std::printf("save error %llu\n", static_cast<unsigned long long>(saved));
  KVUIController::UseScan(nullptr);
  KVUIController::UseSaveDevices(nullptr);
  KVUIController::UseSaveOperation(nullptr);
  return saved == 0 && failed == 0 && !partial ? 0 : 1;
}

int Recover(const std::string& in, const std::string& folder, const std::string& beforeCopy) {
  KVUIDeviceData devices;
  KVUIScan scan(&devices, WithoutPause());
  KVUIController::UseScan(&scan);
  KVUIController::UseSaveDevices(&devices);
  const uint64_t loaded = RunSaveOrLoad(0, in);
  // Read as the windows read them: when the load's end is announced.
  const uint64_t changed = KVUIController::GetLoadChangedFiles();
  const bool unverified = KVUIController::IsLoadUnverified();
  scan.WaitForThreads(std::chrono::seconds(60));
  if (changed != 0) {
    std::printf("volume changed since the scan: %llu files\n", static_cast<unsigned long long>(changed));
  }
  std::fflush(stdout);
  if (!beforeCopy.empty() && std::system(beforeCopy.c_str()) != 0) {
    std::fprintf(stderr, "the command before the copies failed: %s\n", beforeCopy.c_str());
  }
  // A load that reports damage shows what it could read, and the windows let
  // the user copy that out: so does this, still answering the error.
  const uint64_t failed = RecoverEveryFile(scan, devices, folder);
  std::printf("load error %llu\n", static_cast<unsigned long long>(loaded));
  if (unverified) std::printf("load warning: the volumes cannot be verified\n");
  KVUIController::UseScan(nullptr);
  KVUIController::UseSaveDevices(nullptr);
  return loaded == 0 && failed == 0 ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
  // A line per file as it ends, also into a pipe: a run killed or stuck
  // midway still shows how far it came.
  std::setvbuf(stdout, nullptr, _IOLBF, 0);
  if (argc < 2) return Usage(argv[0]);
  QCoreApplication app(argc, argv);
  const std::string command = argv[1];
  if (command == "recover") {
    if (argc == 4) return Recover(argv[2], argv[3], "");
    if (argc == 6 && std::strcmp(argv[2], "--before-copy") == 0) return Recover(argv[4], argv[5], argv[3]);
    return Usage(argv[0]);
  }
  if (command != "scan") return Usage(argv[0]);
  bool deep = false;
  std::string recoverTo;
  std::vector<std::string> rest;
  for (int i = 2; i < argc; ++i) {
    if (std::strcmp(argv[i], "--deep") == 0) {
      deep = true;
    } else if (std::strcmp(argv[i], "--recover-to") == 0 && i + 1 < argc) {
      recoverTo = argv[++i];
    } else {
      rest.emplace_back(argv[i]);
    }
  }
  return rest.size() == 2 ? Scan(deep, recoverTo, rest[0], rest[1]) : Usage(argv[0]);
}
