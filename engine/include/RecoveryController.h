// Recovery controllers: one scan of one device for the application.
//
// A controller makes the directory-tree builder, picks and creates the
// searchers, drives them over the device on the caller's thread, and
// afterwards hands out the copy-out objects that read found files back.
//
// - Deleted-file controller (quick scan): the one quick searcher that matches
//   the volume's file-system type reads the file system's own metadata. A
//   whole disk is quick-scanned by calling StartDataRecovery once per volume
//   on the same controller; every run keeps its own builder and searcher
//   until the controller is released, so the trees of earlier volumes stay
//   valid.
// - Complete controller: every complete searcher examines every 4 MiB block
//   of a volume, read ahead by a caching device on a thread of its own.
// - Partition controller: the complete scan of a whole disk.
//
// Ownership
// - The controller owns its builders (and with them every node handed to
//   the application's IDrirectoryTree), its searchers and its caching
//   devices. It releases the builders first, then the searchers (nodes may
//   point at state the searchers own), then the caching devices.
// - The device, the progress sink, the tree, the filter and the replay source
//   are not owned and must outlive the controller's use of them; the device
//   and the replay source must outlive every copy-out object made from the
//   controller.
// - Copy-out objects from GetDataRecovery belong to the caller, who releases
//   them before releasing the controller: their records may point at state
//   the searchers own.
#pragma once

#include "EngineTypes.h"
#include "ResultCode.h"

class IDataRecovery;
class IDrirectoryTree;
class IProgress;
class IRecoveryFilter;
class IStorageDevice;
class RestoreScanSink;

enum _RECOVERY_CONTROLLER_TYPE : int {
  RECOVERY_CONTROLLER_DELETED = 0,    // quick scan of one volume
  RECOVERY_CONTROLLER_COMPLETE = 1,   // deep scan of a volume
  RECOVERY_CONTROLLER_PARTITION = 2,  // deep scan of a whole disk
  RECOVERY_CONTROLLER_NONE = 3,       // the application's "no controller"; nothing is made for it
};

// The order of the virtual operations is part of the interface.
class IRecoveryController {
 public:
  virtual ~IRecoveryController() = default;
  virtual _RECOVERY_CONTROLLER_TYPE thisType() const = 0;
  // Keeps the category filter that the builders are given (not owned).
  // 0 for null, else 1.
  virtual int Initialize(IRecoveryFilter* filter) = 0;
  // Runs the whole scan of `device` on the caller's thread, reporting to
  // `progress` and handing finished nodes to `tree`.
  virtual ResultCode StartDataRecovery(IStorageDevice* device, IProgress* progress, IDrirectoryTree* tree) = 0;
  // A new copy-out object for the files that the searcher of `type` found,
  // or null; the caller releases it.
  virtual IDataRecovery* GetDataRecovery(_tagSearcherType type) const = 0;
  // Destroys the controller.
  virtual void Release() = 0;
  // Attaches the replay source of a saved scan result (null detaches it),
  // between creation and StartDataRecovery: the controller then feeds its
  // builder from the source instead of reading the device, and initialises
  // copy-out from the source's stored partition records. Not owned.
  virtual void SetRestoreScanSink(RestoreScanSink* sink) = 0;
};

// A new controller of the kind, or null for any other value (3 included).
IRecoveryController* CreateRecoveryController(_RECOVERY_CONTROLLER_TYPE type);
