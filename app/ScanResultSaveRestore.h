// Saving the current scan result to an ".rsf" file and loading one back
// (the records are in ScanResultRecords.h).
//
// Saving writes the scan kind, the scanned device and every tree of the
// result with the partition records its copy-out object holds. The file is
// written under a temporary name in the chosen folder and renamed over the
// chosen name only once all of it is written and flushed: a save that fails
// (a full disk, a write error) leaves no file behind, and an older file of
// that name stays as it was.
//
// Loading checks the file (every frame its writer promised is there, and
// the check values of every frame, when it has them: a tree that fails its
// check is left out), finds the device it was made on among this machine's
// devices and checks that it is still laid out as the file places its trees
// and that each volume there is the one its tree was read from
// (LoadedResultPlace: another disk of the same make is passed over, and
// without such a device nothing is loaded: the saved runs would read other
// bytes), and runs the ordinary scan body over that device with a
// KVRestoreScanSink: the recovery controller replays the saved trees
// instead of reading the device, so the loaded result fills the scan's
// indexes exactly as a scan would. A file that keeps no identity of its
// volumes (made before they were kept) loads with a warning.
//
// Each runs on a worker of its operation (KVUIController::DoOperation) and
// reports through the operation's progress record: a start, steps, and one
// closing report whose error field is the outcome (the codes below; 0 for
// success).
#pragma once

#include <QString>

#include <chrono>
#include <cstdint>
#include <string>

#include "app/LoadedResultPlace.h"
#include "app/ScanResultRecords.h"

class IStorageDevice;
class KVSaveAndRestoreNodeOperate;
class KVUIDeviceData;
class KVUIScan;

namespace SaveRestoreResult {

// Outcomes of a save.
inline constexpr uint64_t kSaveNoArchive = 1;
inline constexpr uint64_t kSaveCannotCreate = 2;  // the file cannot be created or put in place
inline constexpr uint64_t kSaveWriteFailed = 3;   // a write failed (the file was removed)
inline constexpr uint64_t kSaveNoDevice = 4;      // no scanned device to describe: nothing could be loaded
inline constexpr uint64_t kSaveRefused = 5;       // a save still runs
inline constexpr uint64_t kSaveStopped = 6;       // stopped before it was whole (the application quit): no file
// Outcomes of a load.
inline constexpr uint64_t kLoadNoArchive = 1;
inline constexpr uint64_t kLoadCannotOpen = 2;
inline constexpr uint64_t kLoadBadHeader = 3;       // not an archive, a damaged header, a status of 0 or above 4
inline constexpr uint64_t kLoadBadScanKind = 4;     // no scan-kind frame, or a damaged one
inline constexpr uint64_t kLoadBadDevice = 5;       // no device frame, a damaged one, a name above 4095 bytes
inline constexpr uint64_t kLoadDeviceNotFound = 6;  // the device is not attached to this machine
inline constexpr uint64_t kLoadDamagedTrees = 7;    // the trees frame is missing
inline constexpr uint64_t kLoadRefused = 8;         // a scan or load still runs
// The device is there but no longer as it was scanned: another capacity, or
// a table that no longer puts a volume where a tree of the result lay.
inline constexpr uint64_t kLoadDeviceChanged = 9;
// The trees frame is damaged: records were left out or cut, or it ended
// early (LastLoadDamage says how much). What could be read is loaded.
inline constexpr uint64_t kLoadDamaged = 10;
// The device is laid out as it was, but a volume where a tree lay is not the
// one the tree was read from (its serial number or fingerprint differs: a
// card formatted again, another card of the same make and size). Nothing
// is loaded.
inline constexpr uint64_t kLoadOtherVolume = 11;

// What a save or a load works on.
struct OperationPara {
  std::string path;
  // The scan whose result is saved, or the scan that replays a load (the
  // load's progress sink).
  KVUIScan* scan = nullptr;
  // The save's progress sink; unused by a load.
  KVSaveAndRestoreNodeOperate* saver = nullptr;
  // The device list the scan's devices come from.
  KVUIDeviceData* devices = nullptr;
};

// Start the body on a worker of the operation (the saver, or the scan for a
// load) with its poller, which posts `postName` while the body runs and after
// it, then "QueryProgressFinish". -1 for an empty path or a missing object;
// -2 when an earlier run of the operation is still there or no thread could
// be made; 0 when started.
int DoSaveScanResult(const OperationPara& para, const QString& postName);
int DoRestoreScanResult(const OperationPara& para, const QString& postName);

// The bodies, on the calling thread, whose operation must be running.
// Answer the error of the closing report.
uint64_t Static_SaveScanResult(const OperationPara& para);
uint64_t Static_RestoreScanResult(const OperationPara& para);

// Whether the body of a load runs (from its start request to its end).
bool IsLoadRunning();
// Stops the save of `saver` and waits up to `wait` for its worker; a worker
// that does not end in time loses its temporary file all the same. True when
// no save runs any more.
bool StopSave(KVSaveAndRestoreNodeOperate& saver, std::chrono::milliseconds wait);

// The outcome of the latest load as soon as it is known (a damaged trees
// frame is known before the scan body has finished); 0 while none is.
uint64_t LastLoadError();
void SetLastLoadError(uint64_t code);
// Whether the latest load showed trees whose volumes nothing in its file
// could tell from others (a file made before volume identities were kept):
// the user is warned that they cannot be verified.
bool LastLoadUnverified();
// What the latest load left out or cut (all 0 before its end and for a load
// without damage).
LoadDamage LastLoadDamage();

}  // namespace SaveRestoreResult
