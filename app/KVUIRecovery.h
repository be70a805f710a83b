// The recovery operation: copies the ticked, shown files of the scan to the
// chosen folder through the engine's copy-out objects, with pause and stop;
// a full destination pauses it until the user frees space and resumes.
//
// Threads: DoRecovery runs on the operation's worker, and the engine calls
// UpdateProgress and Continued there; the counters are read from any thread.
#pragma once

#include <sys/types.h>

#include <atomic>
#include <cstdint>
#include <map>
#include <mutex>
#include <set>
#include <string>
#include <vector>

#include "DataRecovery.h"
#include "EngineTypes.h"
#include "RecoveryController.h"
#include "app/KVUIOperation.h"

class IFileNode;
class KVUIDeviceData;
class KVUIScan;

class KVUIRecovery : public KVUIOperation {
 public:
  // The low word of the engine's report when the destination took fewer
  // bytes than written.
  static constexpr uint32_t kDestinationFull = 0xd03;

  static KVUIRecovery& instance();
  // A recovery of the files of `scan` over the device list `devices` (the
  // process's when null).
  explicit KVUIRecovery(KVUIScan* scan = nullptr, KVUIDeviceData* devices = nullptr);
  ~KVUIRecovery() override;

  // The lock every user of a copy-out object holds from choosing its file
  // (SetRecoverNode) to the end of the copy or read of that file.
  static std::mutex& CopyOutLock(IDataRecovery* copyOut);

  void ResetParam();
  void InitDataRecoveryController();
  void ReleaseDataRecovery();
  bool CheckWhetherNeedReset();
  IDataRecovery* GetDataRecoveryByType(_tagSearcherType type);

  // The worker's body; the names of the carved folders met go to
  // `rawFolders`, each once, followed by ",". Answers the last failure, 0
  // when every copy succeeded.
  ResultCode DoRecovery(std::string& rawFolders);
  int UpdateProgress(_PROGRESS_INFO* info) override;

  void SetRecoveryPath(const char* folder);
  std::string GetRecoveryPath();
  void SetRecoveryTotalSize(uint64_t size);
  uint64_t GetRecoveriedFileSize() const { return m_recoveredBytes.load(); }
  // Files copied whole; failed copies are counted apart, and a copy the
  // user's stop cut short is removed and counted in neither.
  uint64_t GetRecoveriedFilesCnt() const { return m_recoveredFiles.load(); }
  uint64_t GetFailedFilesCnt() const { return m_failedFiles.load(); }
  // Of the failed files, those the destination's file system refused as
  // too large (FAT32 above 4 GiB): no other destination of its kind helps.
  uint64_t GetTooLargeFilesCnt() const { return m_tooLargeFiles.load(); }
  // Where the failed files' copies are (or would be) in the destination, in
  // the order they were tried: the copies a user must not trust. The first
  // kFailedPathsKept only; every one is also written to the log.
  static constexpr size_t kFailedPathsKept = 10000;
  std::vector<std::string> GetFailedFilePaths();
  IFileNode* GetCurrentRecoveryNode();

  // Whether `path` lies on the scanned disk: on any of its partitions, or
  // on a device-mapper, LVM or md device built on it.
  bool RecoveryPathIsSameDevice(const char* path);
  // The disks a block device stands on, by kernel name: itself, the disk of
  // a partition, and whatever its slaves/ lead to, under `sysRoot`.
  static std::set<std::string> BackingDisks(dev_t device, const std::string& sysRoot = "/sys");
  // The block device holding the file system of `path` (through the mount
  // table for file systems with anonymous device numbers); 0 when unknown.
  static dev_t BlockDeviceOfPath(const char* path);

  // The user a privileged run acts for (PKEXEC_UID, else SUDO_UID); -1 when
  // there is none.
  static int64_t InvokingUser();

 private:
  KVUIScan& Scan();
  // Whether the run was stopped (or superseded) since it began.
  bool StopAsked();
  IDataRecovery* CopyOutFor(IFileNode* node, IRecoveryController* controller, std::string& rawFolders);
  void GiveToInvokingUser(const std::string& destination, const std::string& file);
  // Keeps and logs the destination path of a file that failed.
  void NoteFailedFile(const std::string& path);

  KVUIScan* m_scan;
  KVUIDeviceData* m_devices;
  std::mutex m_fieldLock;
  IRecoveryController* m_controller = nullptr;
  std::string m_folder;
  std::map<int, IDataRecovery*> m_copyOut;
  bool m_deepMap = false;
  IFileNode* m_currentNode = nullptr;
  // The file being copied, as the copy's own thread (the worker) sees it:
  // read by the progress it reports, without a lock.
  std::string m_copyingName;
  bool m_copying = false;
  std::atomic<uint64_t> m_totalSize{0};
  std::atomic<uint64_t> m_recoveredBytes{0};
  std::atomic<uint64_t> m_lastCurrent{0};
  std::atomic<uint64_t> m_recoveredFiles{0};
  std::atomic<uint64_t> m_failedFiles{0};
  std::atomic<uint64_t> m_tooLargeFiles{0};
  std::vector<std::string> m_failedPaths;  // under m_fieldLock
};
